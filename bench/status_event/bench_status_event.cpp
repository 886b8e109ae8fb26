// Engine-thread cost per status event: the whole service-status callback of vtdb.so (in the
// stand-in engine) with gearmand running, refusing and hung, with its jobs signed and unsigned,
// against the raw synchronous submission of the same statement bytes (plain and signed) in the
// same run; and the statement building alone.
#include "standin.h"
#include "test_support.h"
#include "vantor_config.h"
#include "vtdb_status.h"
#include "vt_sign.h"

#include <libgearman/gearman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <string>
#include <vector>

// The benchmark's own copy of the status callbacks submits through this: it keeps the
// statement instead of sending it, so that only the building is timed.
extern "C" {
char *export_date = const_cast<char *>("'2026-12-08 12:00:00'");
static size_t built_bytes = 0;
int vt_send_gearman_job(const char *, const char *text) {
    built_bytes += std::char_traits<char>::length(text);
    return 0;
}
}

namespace {

using Clock = std::chrono::steady_clock;
using Callback = int (*)(int, void *);

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<service *> make_services(int hosts, int per_host) {
    std::vector<service *> out;
    for (int h = 0; h < hosts; h++) {
        const std::string hid = std::to_string(90000 + h);
        host *hst = standin::add_host("bench-host-" + hid);
        standin::add_custom_variable(hst, "_HOST_ID", hid);
        standin::set_text(hst->icon_image, "server.png");
        for (int k = 0; k < per_host; k++) {
            service *s = standin::add_service(hst, "bench service " + std::to_string(k));
            standin::add_custom_variable(s, "_HOST_ID", hid);
            standin::add_custom_variable(s, "_SERVICE_ID", std::to_string(h * per_host + k + 1));
            standin::set_text(s->plugin_output, "OK - 'disk C:\\' at 42% used, all \"fine\"");
            standin::set_text(s->long_plugin_output, "first line\nsecond line");
            standin::set_text(s->perf_data, "time=0.012s;1;2;0; size=1234B;;;0; load1=0.50;5;10;0; users=3;;;; "
                                            "'disk C:'=42%;80;90;0;100");
            standin::set_text(s->check_command, "check_disk!80!90");
            standin::set_text(s->check_period, "24x7");
            standin::set_text(s->notification_period, "24x7");
            s->last_check = time(nullptr);
            s->next_check = s->last_check + 60;
            s->last_state_change = s->last_check - 3600;
            out.push_back(s);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int per_round = argc > 1 ? std::atoi(argv[1]) : 20000;
    vtt::init_runtime("bench_status_event");
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_vtstatus");
    standin::reset_settings();
    nebmodule *mod = standin::load_module(VTDB_MODULE_PATH);
    if (!mod) {
        std::fprintf(stderr, "module not loaded: %s\n", standin::last_load_error().c_str());
        return 1;
    }
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);  // registers; no objects to walk yet
    vtt::gearman_take("vtdb_vtstatus", 4, 5000);  // its four statements leave through the sender
    const std::vector<service *> services = make_services(10, 100);
    auto module_cb = reinterpret_cast<Callback>(standin::module_symbol(mod, "vtdb_handle_service_status"));

    // The statement bytes the module sends for each service, for the raw baseline.
    std::vector<nebstruct_service_status_data> records(services.size());
    for (size_t i = 0; i < services.size(); i++) {
        records[i].type = NEBTYPE_SERVICESTATUS_UPDATE;
        records[i].object_ptr = services[i];
        module_cb(NEBCALLBACK_SERVICE_STATUS_DATA, &records[i]);
    }
    const std::vector<std::string> statements = vtt::gearman_take("vtdb_vtstatus", services.size(), 30000);
    if (statements.size() != services.size()) {
        std::fprintf(stderr, "captured %zu of %zu statements\n", statements.size(), services.size());
        return 1;
    }

    // Each event timed on its own, as the engine's thread pays it: the module's whole
    // callback with the job server running, refusing (stopped) and hung (SIGSTOP), at a
    // steady rate, against the raw synchronous submission of the same bytes (what every event
    // cost the engine's thread when the module submitted there itself).
    const int rate = 4000;  // events a second, above the 100,000 services at 60 s of a large site
    auto paced = [&](const std::function<bool(int)> &one) {
        std::vector<double> each;
        each.reserve(static_cast<size_t>(per_round));
        const Clock::time_point begin = Clock::now();
        for (int i = 0; i < per_round; i++) {
            std::this_thread::sleep_until(begin + std::chrono::microseconds(1000000LL * i / rate));
            const Clock::time_point t = Clock::now();
            if (!one(i))
                return std::vector<double>();
            each.push_back(since(t) * 1e6);
        }
        std::sort(each.begin(), each.end());
        return each;
    };
    auto module_event = [&](int i) {
        module_cb(NEBCALLBACK_SERVICE_STATUS_DATA, &records[static_cast<size_t>(i) % records.size()]);
        return true;
    };
    gearman_client_st *raw = gearman_client_create(nullptr);
    gearman_client_add_server(raw, "127.0.0.1", VANTOR_GEARMAN_PORT);
    gearman_client_set_timeout(raw, 2000);
    auto raw_event = [&](int i) {
        const std::string &s = statements[static_cast<size_t>(i) % statements.size()];
        gearman_job_handle_t h;
        if (gearman_client_do_background(raw, "vtdb_vtstatus", nullptr, s.data(), s.size(), h) == GEARMAN_SUCCESS)
            return true;
        std::fprintf(stderr, "raw submission failed: %s\n", gearman_client_error(raw));
        return false;
    };
    // The same, signed on this thread: what signing would cost the engine's thread if the
    // module signed there rather than on its sender's thread.
    auto raw_signed_event = [&](int i) {
        const std::string s = vtt::signed_job("vtdb_vtstatus", statements[static_cast<size_t>(i) % statements.size()]);
        gearman_job_handle_t h;
        if (gearman_client_do_background(raw, "vtdb_vtstatus", nullptr, s.data(), s.size(), h) == GEARMAN_SUCCESS)
            return true;
        std::fprintf(stderr, "raw submission failed: %s\n", gearman_client_error(raw));
        return false;
    };
    auto show = [&](const char *what, const std::vector<double> &each) {
        if (each.empty())
            return;
        std::printf("  %-44s median %7.1f us, 99th percentile %8.1f us, worst %9.1f us\n", what,
                    each[each.size() / 2], each[each.size() * 99 / 100], each.back());
    };
    std::printf("engine-thread cost per service-status event, %d events at %d a second each (%zu-byte statements):\n",
                per_round, rate, statements[0].size());
    const std::vector<double> baseline = paced(raw_event);
    const std::vector<double> baseline_signed = paced(raw_signed_event);
    vtt::gearman_drain("vtdb_vtstatus");
    const std::vector<double> running = paced(module_event);
    vtt::gearmand_stop();
    const std::vector<double> refusing = paced(module_event);
    vtt::gearmand_start();
    vtt::gearmand_pause();
    const std::vector<double> hung = paced(module_event);
    vtt::gearmand_resume();
    // Without a key the module's sender submits the plain statements (a module never loads
    // without one: this is the benchmark's only way to the unsigned figure). The module's
    // copy of the key is dropped through its own symbol, in case it has one of its own.
    using Forget = void (*)();
    if (auto forget = reinterpret_cast<Forget>(standin::module_symbol(mod, "_ZN2vt14forget_job_keyEv")))
        forget();
    vt::forget_job_key();
    const std::vector<double> running_unsigned = paced(module_event);
    vtt::gearman_drain("vtdb_vtstatus");
    gearman_client_free(raw);
    show("raw synchronous submission (baseline)", baseline);
    show("raw synchronous submission, signed here", baseline_signed);
    show("module, job server running", running);
    show("module, job server running, unsigned jobs", running_unsigned);
    show("module, job server refusing", refusing);
    show("module, job server hung (SIGSTOP)", hung);
    if (!baseline.empty() && !running.empty())
        std::printf("  medians against the baseline: running %.3f, refusing %.3f, hung %.3f\n",
                    running[running.size() / 2] / baseline[baseline.size() / 2],
                    refusing[refusing.size() / 2] / baseline[baseline.size() / 2],
                    hung[hung.size() / 2] / baseline[baseline.size() / 2]);
    if (!running.empty() && !running_unsigned.empty())
        std::printf("  module signed against unsigned (medians): %.3f\n",
                    running[running.size() / 2] / running_unsigned[running_unsigned.size() / 2]);

    // Building alone: the same callback code compiled in here, submitting nowhere.
    const int build_n = 100000;
    Clock::time_point t = Clock::now();
    for (int i = 0; i < build_n; i++)
        vtdb_handle_service_status(NEBCALLBACK_SERVICE_STATUS_DATA, &records[static_cast<size_t>(i) % records.size()]);
    const double build_us = since(t) / build_n * 1e6;

    std::printf("statement building alone (ids, escapes, dates, format): %.2f us per event (%zu bytes built)\n",
                build_us, built_bytes / build_n);
    // What the refused and hung parts left: the module dumps it at unload; the dumps go.
    standin::unload_module(mod);
    for (const std::string &f : vtt::list_dir(vtt::path("/var/delayed-messages")))
        vtt::remove_file(vtt::path("/var/delayed-messages/" + f));
    vtt::gearman_drain("vtdb_vtstatus");
    return 0;
}
