// The module built for an engine whose objects have no display_status: it keeps the value itself.
#include <string>
#include <vector>

#include "vt_upsert.h"
#include "module_fixture.h"

namespace {

class StockDisplayStatus : public vtm::ModuleTest {
protected:
    void SetUp() override {
        vtm::ModuleTest::SetUp();
        sql.exec("CREATE TABLE IF NOT EXISTS vantor4.service_state_change_502 LIKE vantor4.service_state_change");
        sql.exec("DELETE FROM vantor4.service_state_change_502");
        hst = standin::add_host("h2");
        standin::add_custom_variable(hst, "_HOST_ID", "502");
        for (service **s : {&disk, &load_svc}) {
            *s = standin::add_service(hst, s == &disk ? "disk" : "load");
            standin::add_custom_variable(*s, "_HOST_ID", "502");
            standin::add_custom_variable(*s, "_SERVICE_ID", s == &disk ? "11" : "12");
        }
        start();
    }
    void start() {
        ASSERT_NE(nullptr, load()) << standin::last_load_error();
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        // The start's statements leave through the sender a moment later: take them, so
        // that the next status row read is the one the test raises.
        ASSERT_EQ(4u, vtt::gearman_take("vtdb_vtstatus", 4, 5000).size());
        vtt::gearman_drain("vtdb_statuspri");
    }
    // The display_status value of the status row the module writes for the object (the row's
    // last value but the event's order).
    template <typename Object> std::string row_value(Object *o, int (*raise_status)(Object *, int), int type) {
        raise_status(o, type);
        const std::vector<std::string> jobs = status_jobs(1);
        if (jobs.size() != 1)
            return "<" + std::to_string(jobs.size()) + " jobs>";
        vt::UpsertRow r;
        if (!vt::parse_upsert(jobs[0], &r))
            return "<not an upsert>";
        const std::string row(r.row.substr(0, r.row.size() - 1));
        const size_t order = row.rfind(','), before = order == std::string::npos ? order : row.rfind(',', order - 1);
        return before == std::string::npos ? "<none>" : row.substr(before + 1, order - before - 1);
    }
    std::string service_value(service *s) { return row_value(s, standin::raise_service_status, NEBTYPE_SERVICESTATUS_UPDATE); }
    std::string host_value() { return row_value(hst, standin::raise_host_status, NEBTYPE_HOSTSTATUS_UPDATE); }

    vtt::Sql sql;
    host *hst = nullptr;
    service *disk = nullptr, *load_svc = nullptr;
};

TEST_F(StockDisplayStatus, DowntimeAndAcknowledgementAreKeptPerObjectUntilUnload) {
    EXPECT_EQ("0", service_value(disk));
    EXPECT_EQ("0", host_value());

    nebstruct_downtime_data dd{};
    dd.type = NEBTYPE_DOWNTIME_START;
    dd.timestamp = standin::now();
    dd.host_name = const_cast<char *>("h2");
    dd.service_description = const_cast<char *>("disk");
    dd.comment_data = const_cast<char *>("patching");
    dd.downtime_id = 78;
    EXPECT_EQ(0, standin::raise(NEBCALLBACK_DOWNTIME_DATA, &dd));
    for (const std::string &j : vtt::gearman_take("vtdb_vtstatus", 3, 5000))
        sql.exec(j);
    // The history row of the start and the later status row both carry it; the member the
    // module cannot see stays as the engine has it.
    EXPECT_EQ("1", sql.scalar("SELECT display_status FROM vantor4.service_state_change_502 WHERE service_id=11"));
    EXPECT_EQ("1", service_value(disk));
    EXPECT_EQ(0, disk->display_status);
    EXPECT_EQ("0", service_value(load_svc));
    EXPECT_EQ("0", host_value());

    // An acknowledgement leaves a downtime's 1 as it is.
    nebstruct_acknowledgement_data ad{};
    ad.type = NEBTYPE_ACKNOWLEDGEMENT_ADD;
    ad.timestamp = standin::now();
    ad.host_name = const_cast<char *>("h2");
    ad.service_description = const_cast<char *>("disk");
    ad.comment_data = const_cast<char *>("seen");
    EXPECT_EQ(0, standin::raise(NEBCALLBACK_ACKNOWLEDGEMENT_DATA, &ad));
    vtt::gearman_take("vtdb_vtstatus", 100, 1500);  // whatever the acknowledgement sent
    EXPECT_EQ("1", service_value(disk));

    // A new load starts from the engine's fresh objects.
    unload();
    start();
    EXPECT_EQ("0", service_value(disk));
}

// The engine restores downtimes in effect from its retention without announcing their start,
// and before the module listens: at the event loop's start each object in downtime shows it.
TEST_F(StockDisplayStatus, ObjectsInDowntimeWhenTheEventLoopStartsShowIt) {
    unload();
    disk->scheduled_downtime_depth = 1;
    hst->scheduled_downtime_depth = 2;
    start();
    EXPECT_EQ("1", service_value(disk));
    EXPECT_EQ("1", host_value());
    EXPECT_EQ("0", service_value(load_svc));
}

}  // namespace
