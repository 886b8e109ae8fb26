// Fixture for the record callbacks: the module loaded and its event-loop callbacks registered.
#ifndef VT_TEST_RECORDS_FIXTURE_H
#define VT_TEST_RECORDS_FIXTURE_H

#include <ctime>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace vtr {

inline const std::vector<std::string> &queues() {
    static const std::vector<std::string> q = {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata", "vt_eventguard"};
    return q;
}

// The database's escaping of a text inside single quotes, written out independently.
inline std::string quoted(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'' || c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "'";
}

inline std::string date(time_t t) {
    char buf[32];
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "'%Y-%m-%d %H:%M:%S'", &tm);
    return buf;
}

class RecordsTest : public vtm::ModuleTest {
protected:
    void SetUp() override {
        vtm::ModuleTest::SetUp();
        for (const std::string &q : queues())
            vtt::gearman_drain(q);
    }
    void TearDown() override {
        vtm::ModuleTest::TearDown();
        for (const std::string &q : queues())
            vtt::gearman_drain(q);
    }
    // Loads the module (with the event-guard flag file when asked) and starts the event
    // loop with whatever objects exist; the start's own status jobs are dropped.
    void start(bool event_guard = false, const std::string &args = "") {
        if (event_guard)
            vtt::write_file(vtt::path("/etc/vt_event_guard_active"), "");
        ASSERT_NE(nullptr, load(args)) << standin::last_load_error();
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        ASSERT_EQ(4u, status_jobs(4).size());
    }
    // Every job waiting on queue (none expected beyond these).
    std::vector<std::string> jobs(const std::string &queue, size_t expected) {
        return vtt::gearman_take(queue, expected, 5000);
    }
    long waiting(const std::string &queue) { return vtt::gearman_queued(queue); }

    // A host with its id, as configured for this system.
    host *add_host(const std::string &name, const char *id) {
        host *h = standin::add_host(name);
        if (id)
            standin::add_custom_variable(h, "_HOST_ID", id);
        return h;
    }
    service *add_service(host *h, const std::string &desc, const char *host_id, const char *service_id) {
        service *s = standin::add_service(h, desc);
        if (host_id)
            standin::add_custom_variable(s, "_HOST_ID", host_id);
        if (service_id)
            standin::add_custom_variable(s, "_SERVICE_ID", service_id);
        return s;
    }
};

}  // namespace vtr

#endif
