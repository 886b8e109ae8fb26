// Comments, downtimes and acknowledgements: the statements the module queues,
// run against the schema.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "module_fixture.h"
#include "vt_batch.h"
#include "vt_upsert.h"

namespace {

// The update list of a downtime row, written out independently of the code
// under test.
const std::string kDowntimeUpdate =
    vtt::guarded_update({"type", "entry_time", "contact_id", "comment_data", "start_time", "end_time", "fixed",
                         "duration", "triggered_by", "attr"});

// A marked upsert of keys key columns without its mark, its order value written
// as N; empty when the mark is missing or does not fit.
std::string unmarked(const std::string &stmt, int keys) {
    vt::UpsertRow r;
    if (!vt::parse_upsert(stmt, &r) || r.keys != keys)
        return std::string();
    return vtt::mask_event_order(stmt.substr(stmt.find("*/") + 2));
}

class CommentsTest : public vtm::ModuleTest {
protected:
    void SetUp() override {
        vtm::ModuleTest::SetUp();
        sql.exec("DELETE FROM vtcfg.nagios_contacts WHERE contact_id=7");
        sql.exec("INSERT INTO vtcfg.nagios_contacts (contact_id, contact_name, "
                 "alias) VALUES (7, 'jdoe', 'John Doe')");
        sql.exec("DELETE FROM vantor4.host_comment WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.service_comment WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.service_downtime WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.host_downtime WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.host_comment_deleted WHERE comment_id "
                 "BETWEEN 4700 AND 4799");
        sql.exec("DELETE FROM vantor4.service_comment_deleted WHERE comment_id "
                 "BETWEEN 4700 AND 4799");
        sql.exec("CREATE TABLE IF NOT EXISTS vantor4.service_state_change_501 LIKE "
                 "vantor4.service_state_change");
        sql.exec("CREATE TABLE IF NOT EXISTS vantor4.host_state_change_501 LIKE "
                 "vantor4.host_state_change");
        hst = standin::add_host("h1");
        standin::add_custom_variable(hst, "_HOST_ID", "501");
        svc = standin::add_service(hst, "disk");
        standin::add_custom_variable(svc, "_HOST_ID", "501");
        standin::add_custom_variable(svc, "_SERVICE_ID", "9");
        standin::add_contact("jdoe", "John Doe");
        ASSERT_NE(nullptr, load()) << standin::last_load_error();
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        ASSERT_EQ(4u, vtt::gearman_take("vtdb_vtstatus", 4, 5000).size());
    }
    void TearDown() override {
        vtm::ModuleTest::TearDown();
        sql.exec("DELETE FROM vtcfg.nagios_contacts WHERE contact_id=7");
    }

    // Raises record, takes what the module queued and runs each statement against
    // the schema, so a statement the tables refuse fails the test as surely as a
    // wrong text. With run false the statements are only taken, for the test to
    // run them as it likes.
    template <typename Record>
    std::vector<std::string> raise(int callback, Record &rec, int expect_rc = 0, bool run = true) {
        rec.timestamp = standin::now();
        EXPECT_EQ(expect_rc, standin::raise(callback, &rec));
        // The jobs leave the module within its batching delay (100 ms).
        std::vector<std::string> jobs = vtt::gearman_take("vtdb_vtstatus", 10, 600);
        if (run)
            for (const std::string &j : jobs)
                sql.exec(j);
        return jobs;
    }
    std::vector<std::string> comment(int type, int comment_type, int entry_type, const char *text, int expires = 0,
                                     unsigned long id = 4711, bool run = true) {
        nebstruct_comment_data cd{};
        cd.type = type;
        cd.comment_type = comment_type;
        cd.host_name = const_cast<char *>("h1");
        cd.service_description = const_cast<char *>(comment_type == SERVICE_COMMENT ? "disk" : "");
        cd.author_name = const_cast<char *>("John Doe");
        cd.comment_data = const_cast<char *>(text);
        cd.persistent = 1;
        cd.source = 1;
        cd.entry_type = entry_type;
        cd.expires = expires;
        cd.comment_id = id;
        return raise(NEBCALLBACK_COMMENT_DATA, cd, 0, run);
    }
    std::string history_comment(const char *table) {
        return sql.scalar(std::string("SELECT comment FROM vantor4.") + table + " ORDER BY entry_time_ms DESC LIMIT 1");
    }

    vtt::Sql sql;
    host *hst = nullptr;
    service *svc = nullptr;
};

TEST_F(CommentsTest, CommentRowsAcknowledgementFormAndDeletion) {
    struct Case {
        int entry_type;
        const char *text;
        int event_expires;
        const char *values;  // the row after host id, service id and entry time
    };
    const Case cases[] = {
        {4, "2030-01-31 18:00:00#|#disk replaced", 0, "7,'disk replaced',1,1,4,1,'2030-01-31 18:00:00',4711"},
        {4, "0000-00-00 00:00:00#|#forever", 1, "7,'forever',1,1,4,0,NULL,4711"},
        {4, "2030-01-31 18:00:00#|#", 0, "7,'',1,1,4,1,'2030-01-31 18:00:00',4711"},
        {4, "2030-01-31 18:00:00 no marker", 1, "7,'2030-01-31 18:00:00 no marker',1,1,4,1,NULL,4711"},
        {4, "2030-01-31 18:00:00#", 0, "7,'2030-01-31 18:00:00#',1,1,4,0,NULL,4711"},
        {4, nullptr, 0, "7,NULL,1,1,4,0,NULL,4711"},
        {1, "it's 2030-01-31 18:00:00#|#x", 0, "7,'it\\'s 2030-01-31 18:00:00#|#x',1,1,1,0,NULL,4711"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        sql.exec("DELETE FROM vantor4.service_comment WHERE comment_id=4711");
        const auto jobs = comment(NEBTYPE_COMMENT_ADD, SERVICE_COMMENT, c.entry_type, c.text, c.event_expires);
        ASSERT_EQ(c.entry_type == 4 ? 2u : 1u, jobs.size());
        EXPECT_EQ(std::string("INSERT INTO vantor4.service_comment SELECT 501,9,NULL,") + c.values +
                      " FROM DUAL WHERE NOT EXISTS (SELECT 1 FROM "
                      "vantor4.service_comment_deleted WHERE "
                      "comment_id=4711 AND event_usec>=N);",
                  vtt::mask_event_order(jobs[0]));
        if (c.entry_type == 4) {
            EXPECT_EQ("UPDATE vantor4.service_status SET "
                      "problem_has_been_acknowledged=1 WHERE host_id='501' AND "
                      "service_id='9' AND event_usec<=N;",
                      vtt::mask_event_order(jobs[1]));
        }
    }
    EXPECT_EQ("1|1|0|", sql.scalar("SELECT CONCAT_WS('|', COUNT(*), entry_type, expires, "
                                   "IFNULL(expire_time, '')) "
                                   "FROM vantor4.service_comment WHERE comment_id=4711"));

    // Host comments: an acknowledgement updates the host row; a deletion needs no
    // lookup.
    auto jobs = comment(NEBTYPE_COMMENT_ADD, HOST_COMMENT, 4, "2030-01-31 18:00:00#|#cabled", 0, 4712);
    ASSERT_EQ(2u, jobs.size());
    EXPECT_EQ("INSERT INTO vantor4.host_comment SELECT "
              "501,NULL,7,'cabled',1,1,4,1,'2030-01-31 18:00:00',4712 FROM "
              "DUAL WHERE NOT EXISTS (SELECT 1 FROM vantor4.host_comment_deleted "
              "WHERE comment_id=4712 AND "
              "event_usec>=N);",
              vtt::mask_event_order(jobs[0]));
    EXPECT_EQ("UPDATE vantor4.host_status SET problem_has_been_acknowledged=1 "
              "WHERE host_id='501' AND event_usec<=N;",
              vtt::mask_event_order(jobs[1]));
    nebstruct_comment_data del{};
    del.type = NEBTYPE_COMMENT_DELETE;
    del.comment_type = HOST_COMMENT;
    del.host_name = const_cast<char *>("no-such-host");
    del.comment_id = 4712;
    jobs = raise(NEBCALLBACK_COMMENT_DATA, del);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ("CALL vantor4.vt_delete_comment(0,4712,N);", vtt::mask_event_order(jobs[0]));
    EXPECT_EQ(0, sql.count("vantor4.host_comment WHERE comment_id=4712"));
    EXPECT_EQ(1, sql.count("vantor4.host_comment_deleted WHERE comment_id=4712"));

    // Loaded comments, other comment kinds and unknown objects write nothing.
    EXPECT_TRUE(comment(NEBTYPE_COMMENT_LOAD, SERVICE_COMMENT, 1, "from retention").empty());
    EXPECT_TRUE(comment(NEBTYPE_COMMENT_ADD, 3, 1, "odd kind").empty());
    nebstruct_comment_data unknown{};
    unknown.type = NEBTYPE_COMMENT_ADD;
    unknown.comment_type = SERVICE_COMMENT;
    unknown.host_name = const_cast<char *>("h1");
    unknown.service_description = const_cast<char *>("nope");
    EXPECT_TRUE(raise(NEBCALLBACK_COMMENT_DATA, unknown, -2).empty());
}

TEST_F(CommentsTest, DowntimeRowsKeepTheLatestEvent) {
    nebstruct_downtime_data dd{};
    dd.host_name = const_cast<char *>("h1");
    dd.service_description = const_cast<char *>("disk");
    dd.author_name = const_cast<char *>("John Doe");
    dd.comment_data = const_cast<char *>("patching");
    dd.fixed = 1;
    dd.duration = 3600;
    dd.downtime_id = 77;
    dd.attr = 0;

    dd.type = NEBTYPE_DOWNTIME_DELETE;
    EXPECT_TRUE(raise(NEBCALLBACK_DOWNTIME_DATA, dd).empty());

    dd.type = NEBTYPE_DOWNTIME_ADD;
    auto jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ("INSERT INTO "
              "vantor4.service_downtime(downtime_id,host_id,service_id,type,"
              "entry_time,contact_id,comment_data,"
              "start_time,end_time,fixed,duration,triggered_by,attr,event_usec) "
              "VALUES(77,501,9,1100,NULL,7,"
              "'patching - Author: jdoe / John Doe',NULL,NULL,1,3600,0,0,N) ON "
              "DUPLICATE KEY UPDATE " +
                  kDowntimeUpdate + ";",
              unmarked(jobs[0], 3));

    // Loaded while the engine has it running: stored as started.
    standin::add_downtime(SERVICE_DOWNTIME, 77, "h1", "disk", 1);
    dd.type = NEBTYPE_DOWNTIME_LOAD;
    jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_NE(std::string::npos, jobs[0].find(" VALUES(77,501,9,1103,")) << jobs[0];

    // Started: the service shows the downtime and its history row names the
    // author.
    svc->display_status = 3;
    dd.type = NEBTYPE_DOWNTIME_START;
    jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd);
    EXPECT_EQ(1, svc->display_status);
    EXPECT_EQ(2u, jobs.size());
    EXPECT_EQ("patching - Author: jdoe / John Doe", history_comment("service_state_change_501"));

    // Stopped early: the end is the moment it stopped, not the scheduled end.
    dd.end_time = 2000000000;
    dd.type = NEBTYPE_DOWNTIME_STOP;
    jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_NE(std::string::npos, jobs[0].find(",NULL,FROM_UNIXTIME(")) << jobs[0];
    EXPECT_EQ("1104|1", sql.scalar("SELECT CONCAT_WS('|', type, "
                                   "ABS(UNIX_TIMESTAMP(end_time) - UNIX_TIMESTAMP()) < 5) "
                                   "FROM vantor4.service_downtime WHERE downtime_id=77"));
    EXPECT_EQ(1, sql.count("vantor4.service_downtime WHERE host_id=501"));

    // A host downtime without a comment, by an author no contact has.
    dd.service_description = nullptr;
    dd.comment_data = nullptr;
    dd.author_name = const_cast<char *>("X");
    dd.end_time = 0;
    dd.type = NEBTYPE_DOWNTIME_ADD;
    dd.downtime_id = 78;
    jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd);
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ("INSERT INTO "
              "vantor4.host_downtime(downtime_id,host_id,type,entry_time,contact_"
              "id,comment_data,"
              "start_time,end_time,fixed,duration,triggered_by,attr,event_usec) "
              "VALUES(78,501,1100,NULL,-2,"
              "'Author: X',NULL,NULL,1,3600,0,0,N) ON DUPLICATE KEY UPDATE " +
                  kDowntimeUpdate + ";",
              unmarked(jobs[0], 2));
    EXPECT_EQ(1, sql.count("vantor4.host_downtime WHERE host_id=501 AND "
                           "downtime_id=78 AND type=1100"));
}

// Statements of one comment or downtime reach the server in any order: run one
// by one (as by two workers, or after a replay of a dump file) or in one batch
// of a status worker, where the downtime rows go in one statement. Whatever the
// order, the outcome is the one of the order in which the events happened.
TEST_F(CommentsTest, LateAddsDoNotBringBackWhatEnded) {
    nebstruct_downtime_data dd{};
    dd.host_name = const_cast<char *>("h1");
    dd.service_description = const_cast<char *>("disk");
    dd.comment_data = const_cast<char *>("patching");
    dd.fixed = 1;
    dd.duration = 3600;
    dd.downtime_id = 79;
    auto downtime = [&](int type) {
        dd.type = type;
        std::vector<std::string> jobs = raise(NEBCALLBACK_DOWNTIME_DATA, dd, 0, false);
        EXPECT_FALSE(jobs.empty());
        return jobs.empty() ? std::string() : jobs.back();  // a start also writes a history row first
    };
    const std::string dt_add = downtime(NEBTYPE_DOWNTIME_ADD), dt_start = downtime(NEBTYPE_DOWNTIME_START),
                      dt_stop = downtime(NEBTYPE_DOWNTIME_STOP);
    auto only = [](const std::vector<std::string> &jobs) { return jobs.size() == 1 ? jobs[0] : std::string(); };
    const std::string svc_add = only(comment(NEBTYPE_COMMENT_ADD, SERVICE_COMMENT, 1, "note", 0, 4721, false));
    const std::string svc_del = only(comment(NEBTYPE_COMMENT_DELETE, SERVICE_COMMENT, 1, "note", 0, 4721, false));
    const std::string host_add = only(comment(NEBTYPE_COMMENT_ADD, HOST_COMMENT, 1, "note", 0, 4722, false));
    const std::string host_del = only(comment(NEBTYPE_COMMENT_DELETE, HOST_COMMENT, 1, "note", 0, 4722, false));
    for (const std::string *st : {&dt_add, &dt_start, &dt_stop, &svc_add, &svc_del, &host_add, &host_del})
        ASSERT_FALSE(st->empty());

    auto clear = [&] {
        sql.exec("DELETE FROM vantor4.service_downtime WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.service_comment WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.host_comment WHERE host_id=501");
        sql.exec("DELETE FROM vantor4.service_comment_deleted WHERE comment_id "
                 "BETWEEN 4700 AND 4799");
        sql.exec("DELETE FROM vantor4.host_comment_deleted WHERE comment_id "
                 "BETWEEN 4700 AND 4799");
    };
    // type of downtime 79 | current service comments | current host comments
    auto state = [&] {
        return sql.scalar("SELECT CONCAT_WS('|', IFNULL((SELECT type FROM "
                          "vantor4.service_downtime WHERE "
                          "downtime_id=79 AND host_id=501), 'none'), (SELECT "
                          "COUNT(*) FROM vantor4.service_comment "
                          "WHERE comment_id=4721), (SELECT COUNT(*) FROM "
                          "vantor4.host_comment WHERE comment_id=4722))");
    };
    auto run_all = [&](const std::vector<const std::string *> &order) {
        for (const std::string *st : order)
            sql.exec(*st);
    };

    // In the order of the events.
    clear();
    run_all({&dt_add, &svc_add, &host_add});
    EXPECT_EQ("1100|1|1", state());
    run_all({&dt_start, &dt_stop, &svc_del, &host_del});
    EXPECT_EQ("1104|0|0", state());
    // Adds that arrive again afterwards (a replayed dump file) do not bring
    // anything back.
    run_all({&dt_add, &dt_start, &svc_add, &host_add});
    EXPECT_EQ("1104|0|0", state());

    // One by one, the ends first.
    clear();
    run_all({&dt_stop, &svc_del, &host_del, &dt_start, &host_add, &dt_add, &svc_add});
    EXPECT_EQ("1104|0|0", state());
    EXPECT_EQ("1|1", sql.scalar("SELECT CONCAT_WS('|', (SELECT COUNT(*) FROM "
                                "vantor4.service_comment_deleted WHERE "
                                "comment_id=4721), (SELECT COUNT(*) FROM "
                                "vantor4.host_comment_deleted WHERE "
                                "comment_id=4722))"));

    // In one batch of a status worker, the ends first; the downtime's stop comes
    // last in time, so its row tells when the batch has run.
    clear();
    vtt::ScopedDaemon daemon("vtstatus_workers=1\n");
    ASSERT_GT(daemon.pid(), 0);
    std::string batch;
    for (const std::string *st : {&svc_del, &host_del, &dt_stop, &dt_start, &svc_add, &dt_add, &host_add})
        vt::batch_append(batch, st->data(), st->size());
    vtt::gearman_submit("vtdb_vtstatus", batch);
    ASSERT_TRUE(vtt::wait_until([&] { return sql.count("vantor4.service_downtime WHERE downtime_id=79") > 0; }, 20000));
    EXPECT_EQ("1104|0|0", state());
}

TEST_F(CommentsTest, AcknowledgementMarksTheObjectAndNamesAuthorAndExpiry) {
    struct Case {
        const char *author;
        const char *text;
        int display_before, display_after;
        const char *history;
    };
    const Case cases[] = {
        {"jdoe", "2030-01-31 18:00:00#|#disk replaced", 3, 2,
         "disk replaced - Author: jdoe / John Doe - Expires on: 2030-01-31 "
         "18:00:00"},
        {"X", "0000-00-00 00:00:00#|#disk replaced", 1, 1, "disk replaced - Author: X"},
        {nullptr, "plain words", 2, 2, "plain words"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        svc->display_status = c.display_before;
        svc->problem_has_been_acknowledged = 0;
        nebstruct_acknowledgement_data ad{};
        ad.type = NEBTYPE_ACKNOWLEDGEMENT_ADD;
        ad.host_name = const_cast<char *>("h1");
        ad.service_description = const_cast<char *>("disk");
        ad.author_name = const_cast<char *>(c.author);
        ad.comment_data = const_cast<char *>(c.text);
        raise(NEBCALLBACK_ACKNOWLEDGEMENT_DATA, ad);
        EXPECT_EQ(1, svc->problem_has_been_acknowledged);
        EXPECT_EQ(c.display_after, svc->display_status);
        EXPECT_EQ(c.history, history_comment("service_state_change_501"));
    }
    // Host acknowledgements, and events other than an added one.
    hst->display_status = 4;
    nebstruct_acknowledgement_data ad{};
    ad.type = NEBTYPE_ACKNOWLEDGEMENT_ADD;
    ad.host_name = const_cast<char *>("h1");
    ad.comment_data = const_cast<char *>("rebooting");
    raise(NEBCALLBACK_ACKNOWLEDGEMENT_DATA, ad);
    EXPECT_EQ(2, hst->display_status);
    EXPECT_EQ(1, hst->problem_has_been_acknowledged);
    EXPECT_EQ("rebooting", history_comment("host_state_change_501"));
    hst->display_status = 4;
    ad.type = NEBTYPE_ACKNOWLEDGEMENT_ADD + 1;
    EXPECT_TRUE(raise(NEBCALLBACK_ACKNOWLEDGEMENT_DATA, ad).empty());
    EXPECT_EQ(4, hst->display_status);
}

}  // namespace
