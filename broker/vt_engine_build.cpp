// The guard against an engine build whose host and service objects the module would misread.
#include "vt_engine_build.h"

#include <dlfcn.h>

#include <cstddef>
#include <string>

#include "vt_engine.h"
#include "vt_log.h"
#include "vt_util.h"

extern "C" const struct vtdb_engine_build_info vtdb_engine_build = {
    VT_ENGINE_VERSION, VT_ENGINE_HAS_DISPLAY_STATUS, static_cast<unsigned int>(sizeof(host)),
    static_cast<unsigned int>(sizeof(service))};

namespace {

// Counts of the engine's object table (the third and the sixth member: hosts, services).
constexpr size_t kHostCountIndex = 2;
constexpr size_t kServiceCountIndex = 5;

enum class Probe { same, differs, unknown };

// Compares the module's view of array[0]->next with array[1], for an engine object array of
// count objects.
template <typename T> Probe probe_chain(const char *array_symbol, unsigned int count) {
    if (count < 2)
        return Probe::unknown;
    T *const *const *array = static_cast<T *const *const *>(dlsym(RTLD_DEFAULT, array_symbol));
    if (!array || !*array || !(*array)[0] || !(*array)[1])
        return Probe::unknown;
    return (*array)[0]->next == (*array)[1] ? Probe::same : Probe::differs;
}

}  // namespace

bool vt_engine_build_matches() {
    const auto *counts = static_cast<const unsigned int *>(dlsym(RTLD_DEFAULT, "num_objects"));
    Probe hosts = Probe::unknown, services = Probe::unknown;
    if (counts) {
        hosts = probe_chain<host>("host_ary", counts[kHostCountIndex]);
        services = probe_chain<service>("service_ary", counts[kServiceCountIndex]);
    }
    if (hosts == Probe::differs || services == Probe::differs) {
        const std::string line = vt::format(
            "vtdb: built for engine version %s %s (host object %u bytes, service object %u bytes), but this "
            "engine's hosts and services are laid out otherwise (%s): not loaded. Rebuild the module against this "
            "engine's headers (VTDB_ENGINE=system).",
            VT_ENGINE_VERSION, VT_ENGINE_HAS_DISPLAY_STATUS ? "with display_status" : "without display_status",
            vtdb_engine_build.host_size, vtdb_engine_build.service_size,
            VT_ENGINE_HAS_DISPLAY_STATUS ? "an engine without display_status" : "an engine with display_status");
        nm_log(NSLOG_RUNTIME_ERROR, "%s", line.c_str());
        vt_write_to_log(line.c_str());
        return false;
    }
    if (hosts == Probe::unknown && services == Probe::unknown)
        vt_logf("vtdb: the layout of the engine's objects could not be compared with this build (engine %s, %s "
                "display_status, host %u bytes, service %u bytes): fewer than two hosts and two services, or no "
                "object arrays exported",
                vtdb_engine_build.version, vtdb_engine_build.display_status ? "with" : "without",
                vtdb_engine_build.host_size, vtdb_engine_build.service_size);
    return true;
}
