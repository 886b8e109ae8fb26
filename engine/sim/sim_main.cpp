// The simulated engine: loads the module into the stand-in engine and plays an engine's life.
/* usage: vantor-engine-sim [--hosts N] [--services M] [--seconds S] [--module PATH]
 *                          [--status-interval S] [--first-host-id N] [--no-provision]
 *                          [--show-status] [--check-interval S] [--change-percent P]
 *                          [--metrics N] [--ledger FILE]
 *        vantor-engine-sim --reconcile FILE [--settle S] */
#include "sim.h"
#include "sim_ledger.h"

#include "standin.h"
#include "vantor_config.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;

extern "C" void on_stop_signal(int) { stop_requested = 1; }

void usage(FILE *to) {
    fprintf(to,
            "usage: vantor-engine-sim [--hosts N] [--services M] [--seconds S] [--module PATH]\n"
            "                         [--status-interval S] [--first-host-id N] [--no-provision]\n"
            "                         [--show-status] [--check-interval S] [--change-percent P]\n"
            "                         [--metrics N] [--ledger FILE]\n"
            "       vantor-engine-sim --reconcile FILE [--settle S]\n"
            "  --hosts N            generated hosts (default 3)\n"
            "  --services M         services per host (default 2)\n"
            "  --seconds S          run time, 0 until SIGTERM/SIGINT (default 0)\n"
            "  --module PATH        module to load (default: the build's vtdb.so)\n"
            "  --status-interval S  seconds between status dumps (default 5)\n"
            "  --first-host-id N    database id of the first host (default 1)\n"
            "  --no-provision       do not write vtcfg rows and history tables\n"
            "  --show-status        print the program-status row before shutting down\n"
            "  --check-interval S   seconds between checks of each host and service, 0 for none\n"
            "                       (default 10)\n"
            "  --change-percent P   chance of a changed result per check (default 2)\n"
            "  --metrics N          performance-data metrics per service result (default 5)\n"
            "  --ledger FILE        stamp each check output with a sequence number and write\n"
            "                       down every row the database is owed\n"
            "  --reconcile FILE     compare a ledger with the database and the kept files,\n"
            "                       print sent/landed/duplicated/kept/lost; status 1 on loss\n"
            "  --settle S           wait up to S seconds for missing rows (default 60)\n");
}

bool parse_int(const char *s, int min, int &out) {
    char *end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < min || v > 1000000)
        return false;
    out = static_cast<int>(v);
    return true;
}

// Returns 0 when parsed, 2 on a usage error, 1 for --help.
int parse_options(int argc, char **argv, sim::Options &opt, sim::CheckOptions &checks) {
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 1;
        } else if (a == "--no-provision") {
            opt.provision = false;
        } else if (a == "--show-status") {
            opt.show_status = true;
        } else if (a == "--hosts") {
            ok = (v = value()) && parse_int(v, 0, opt.hosts);
        } else if (a == "--services") {
            ok = (v = value()) && parse_int(v, 0, opt.services);
        } else if (a == "--seconds") {
            ok = (v = value()) && parse_int(v, 0, opt.seconds);
        } else if (a == "--status-interval") {
            ok = (v = value()) && parse_int(v, 1, opt.status_interval);
        } else if (a == "--first-host-id") {
            ok = (v = value()) && parse_int(v, 0, opt.first_host_id);
        } else if (a == "--check-interval") {
            ok = (v = value()) && parse_int(v, 0, checks.interval);
        } else if (a == "--change-percent") {
            ok = (v = value()) && parse_int(v, 0, checks.change_percent) && checks.change_percent <= 100;
        } else if (a == "--metrics") {
            ok = (v = value()) && parse_int(v, 0, checks.metrics);
        } else if (a == "--ledger" || a == "--reconcile") {
            ok = (v = value()) != nullptr;
            if (ok)
                (a == "--ledger" ? opt.ledger : opt.reconcile) = v;
        } else if (a == "--settle") {
            ok = (v = value()) && parse_int(v, 0, opt.settle);
        } else if (a == "--module") {
            ok = (v = value()) != nullptr;
            if (ok)
                opt.module = v;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "vantor-engine-sim: bad argument %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    return 0;
}

// Something the engine does every interval seconds while its event loop runs. Later
// activities (check results, state changes, notifications) are added to the list in main.
struct Periodic {
    const char *name;
    int interval;
    time_t next_due;
    std::function<void()> run;
};

void status_dump() {
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_STARTDUMP);
    standin::raise_aggregated_status(NEBTYPE_AGGREGATEDSTATUS_ENDDUMP);
}

void on_command_line(const std::string &line) {
    nm_log(NSLOG_EXTERNAL_COMMAND, "EXTERNAL COMMAND: %s", line.c_str());
    if (!standin::raise_command_line(line) || !sim::handle_command(line))
        nm_log(NSLOG_RUNTIME_WARNING, "Warning: malformed external command '%s' ignored", line.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    sim::Options opt;
    opt.module = VT_DEFAULT_MODULE;
    sim::CheckOptions check_options;
    if (int rc = parse_options(argc, argv, opt, check_options))
        return rc == 1 ? 0 : 2;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!opt.reconcile.empty()) {
        sim::DbSettings db;
        std::string error;
        sim::ReconcileOptions ro;
        ro.settle_seconds = opt.settle;
        long lost = -1;
        if (sim::read_db_settings(VT_DB_CONF_FILE, db, error))
            lost = sim::reconcile(opt.reconcile, db, ro, stdout, error);
        if (lost < 0)
            fprintf(stderr, "vantor-engine-sim: cannot reconcile: %s\n", error.c_str());
        return lost < 0 ? 2 : lost > 0 ? 1 : 0;
    }

    standin::reset_settings();
    standin::set_log_file(VT_PATH("/var/vantor-engine-sim.log"));
    nagios_pid = static_cast<int>(getpid());
    program_start = time(nullptr);
    daemon_mode = 0;

    sim::World world = sim::build_world(opt);
    sim::DbSettings db;
    bool have_db = false;
    if (opt.provision || opt.show_status || !opt.ledger.empty()) {
        std::string error;
        have_db = sim::read_db_settings(VT_DB_CONF_FILE, db, error);
        if (!have_db || (opt.provision && !sim::provision(world, db, error))) {
            fprintf(stderr, "vantor-engine-sim: database settings or provisioning failed: %s\n", error.c_str());
            return 2;
        }
    }

    if (!opt.ledger.empty()) {
        std::string error;
        if (!sim::ledger_open(opt.ledger, db, error)) {
            fprintf(stderr, "vantor-engine-sim: cannot keep the ledger: %s\n", error.c_str());
            return 2;
        }
    }

    nebmodule *mod = standin::load_module(opt.module);
    if (!mod) {
        fprintf(stderr, "vantor-engine-sim: %s: %s\n", opt.module.c_str(), standin::last_load_error().c_str());
        return 1;
    }
    nm_log(NSLOG_INFO_MESSAGE, "Event broker module '%s' initialized successfully.", opt.module.c_str());

    sim::CommandPipe pipe;
    std::string pipe_error;
    if (!pipe.open(VT_CMD_PIPE, pipe_error))
        fprintf(stderr, "vantor-engine-sim: no command pipe: %s\n", pipe_error.c_str());

    // A start as the engine goes through it.
    standin::raise_process_event(NEBTYPE_PROCESS_PRELAUNCH);
    standin::raise_process_event(NEBTYPE_PROCESS_START);
    standin::raise_retention(NEBTYPE_RETENTIONDATA_STARTLOAD);
    standin::raise_retention(NEBTYPE_RETENTIONDATA_ENDLOAD);
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    printf("vantor-engine-sim: pid %d, %d hosts with %d services each, module %s, command pipe %s\n",
           nagios_pid, opt.hosts, opt.services, opt.module.c_str(), VT_CMD_PIPE);
    fflush(stdout);

    const time_t started = time(nullptr);
    sim::CheckActivity checks(world, check_options);
    std::vector<Periodic> activities = {
        {"status dump", opt.status_interval, started + opt.status_interval, status_dump},
        {"downtimes", 1, started + 1, sim::downtime_tick},
        {"checks", 0, started, [&checks] { checks.run_due(); }},
    };
    while (!stop_requested) {
        const time_t now = time(nullptr);
        if (opt.seconds > 0 && now - started >= opt.seconds)
            break;
        for (Periodic &p : activities)
            if (now >= p.next_due) {
                p.run();
                p.next_due = now + p.interval;
            }
        pipe.poll(50, on_command_line);
    }

    if (opt.show_status && have_db) {
        std::string error;
        if (!sim::print_program_status(db, stdout, error))
            fprintf(stderr, "vantor-engine-sim: cannot read the program-status row: %s\n", error.c_str());
        fflush(stdout);
    }

    // A shutdown as the engine goes through it.
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPEND);
    standin::raise_retention(NEBTYPE_RETENTIONDATA_STARTSAVE);
    standin::raise_retention(NEBTYPE_RETENTIONDATA_ENDSAVE);
    standin::raise_process_event(NEBTYPE_PROCESS_SHUTDOWN);
    pipe.close();
    standin::UnloadResult r = standin::unload_module(mod);
    if (r.callbacks_left)
        fprintf(stderr, "vantor-engine-sim: the module left %zu callbacks registered\n", r.callbacks_left);
    sim::ledger_close();
    standin::reset_objects();
    printf("vantor-engine-sim: %ld checks (%lld due), %ld state changes\n", checks.checks(), checks.due(),
           checks.state_changes());
    printf("vantor-engine-sim: stopped after %ld seconds\n", static_cast<long>(time(nullptr) - started));
    return 0;
}
