// The module's load in the stand-in engine with hosts x services objects that carry no ids: a
// first start (every object new to the registry) and a restart (every object registered),
// against the load with no objects at all, measured in the same run.
#include "standin.h"
#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// The objects of one engine start; names carry the run so that the first start is a first one.
void objects(int hosts, int per_host, const std::string &run) {
    standin::reset_objects();
    for (int i = 0; i < hosts; i++) {
        host *h = standin::add_host("bench-reg-" + run + "-" + std::to_string(i));
        for (int k = 0; k < per_host; k++)
            standin::add_service(h, "service-" + std::to_string(k));
    }
}

// Seconds one load of the module takes; the module is unloaded again.
double load_seconds() {
    const Clock::time_point t = Clock::now();
    nebmodule *mod = standin::load_module(VTDB_MODULE_PATH);
    const double s = std::chrono::duration<double>(Clock::now() - t).count();
    if (!mod) {
        std::fprintf(stderr, "the module did not load: %s\n", standin::last_load_error().c_str());
        std::exit(1);
    }
    standin::unload_module(mod);
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int hosts = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int per_host = argc > 2 ? std::atoi(argv[2]) : 10;
    vtt::init_runtime("bench_registry");
    vtt::gearmand_start();
    const std::string run = std::to_string(time(nullptr));
    // Rows of earlier runs would make every read longer than a real registry of this size.
    vtt::Sql sql;
    sql.exec("DELETE FROM vtcfg.host_registry WHERE host_name LIKE 'bench-reg-%' OR former_name LIKE 'bench-reg-%'");
    sql.exec("DELETE FROM vtcfg.service_registry WHERE host_name LIKE 'bench-reg-%' OR former_name LIKE 'bench-reg-%'");

    standin::reset_objects();
    const double empty = load_seconds();
    objects(hosts, per_host, run);
    const double first = load_seconds();
    objects(hosts, per_host, run);
    const double restart = load_seconds();
    standin::reset_objects();
    const double empty_again = load_seconds();
    const double baseline = (empty + empty_again) / 2;
    std::printf("%d hosts, %d services\n", hosts, hosts * per_host);
    std::printf("load without objects   %.3f s (%.3f and %.3f)\n", baseline, empty, empty_again);
    std::printf("first start            %.3f s: %.3f s added\n", first, first - baseline);
    std::printf("restart                %.3f s: %.3f s added\n", restart, restart - baseline);
    std::printf("(the module's own figure for each load is its \"Ids assigned in\" line in vtdb.log)\n");
    return 0;
}
