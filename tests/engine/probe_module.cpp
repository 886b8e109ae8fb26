// A minimal broker module for the stand-in's loading tests.
//
// Its argument string chooses what it does: "refuse" fails the init after registering,
// "leave" keeps one callback registered at unload, "answer=N" makes its callbacks return N.
#include <naemon/naemon.h>

#include <cstdlib>
#include <cstring>

#ifndef PROBE_API_VERSION
#define PROBE_API_VERSION CURRENT_NEB_API_VERSION
#endif

extern "C" {
int __neb_api_version = PROBE_API_VERSION;
int probe_calls = 0;
void *probe_handle = nullptr;  // what nebmodule_init received
}

namespace {
int answer = 0;
bool leave = false;

int probe_callback(int, void *) {
    probe_calls++;
    return answer;
}
}  // namespace

extern "C" int nebmodule_init(int, char *args, void *handle) {
    const char *a = args ? args : "";
    if (const char *p = strstr(a, "answer="))
        answer = atoi(p + 7);
    leave = strstr(a, "leave") != nullptr;
    probe_handle = handle;
    neb_set_module_info(handle, NEBMODULE_MODINFO_TITLE, const_cast<char *>("probe"));
    neb_register_callback(NEBCALLBACK_PROCESS_DATA, handle, 0, probe_callback);
    neb_register_callback(NEBCALLBACK_AGGREGATED_STATUS_DATA, handle, 0, probe_callback);
    nm_log(NSLOG_INFO_MESSAGE, "probe init %s", a);
    return strstr(a, "refuse") ? 1 : 0;
}

extern "C" int nebmodule_deinit(int, int) {
    neb_deregister_callback(NEBCALLBACK_PROCESS_DATA, reinterpret_cast<void *>(probe_callback));
    if (!leave)
        neb_deregister_callback(NEBCALLBACK_AGGREGATED_STATUS_DATA, reinterpret_cast<void *>(probe_callback));
    nm_log(NSLOG_INFO_MESSAGE, "probe deinit");
    return 0;
}
