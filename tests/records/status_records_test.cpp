// Status rows and check results: the exact job texts, their effects, and the rows in MariaDB.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "vt_batch.h"
#include "vt_upsert.h"
#include "vt_util.h"

#include "records_fixture.h"

namespace {

using vtr::date;
using vtr::quoted;

using vt::format;

std::string q(const char *text) { return text ? quoted(text) : "NULL"; }
std::string d(time_t t) { return t ? date(t) : "NULL"; }

// The host statement as the front ends' schema expects it, from the engine's object.
std::string expected_host(const host *h, const char *id, const std::string &export_date) {
    const char *f =
        "INSERT INTO vantor4.host_status( host_id,host_name,problem_has_been_acknowledged,acknowledgement_type,"
        "check_type,current_state,last_state,last_hard_state,plugin_output,long_plugin_output,perf_data,"
        "state_type,current_attempt,latency,execution_time,notifications_enabled,next_check,last_check,"
        "last_state_change,scheduled_downtime_depth,is_flapping,total_services,modified_attributes,check_command,"
        "check_period,notification_period,check_interval,retry_interval,event_handler,max_attempts,"
        "active_checks_enabled,passive_checks_enabled,event_handler_enabled,flap_detection_enabled,"
        "process_performance_data,obsess_over_host,notes_url,action_url,icon_image,export_date,display_status,"
        "event_usec) "
        "VALUES( %s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,%d,%.03f,%.03f,%d,%s,%s,%s,%d,%d,'%d','%lu',%s,%s,%s,'%.06f',"
        "'%.06f',%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%d,N) ON DUPLICATE KEY UPDATE %s;";
    const std::string update = vtt::guarded_update(
        {"host_name", "problem_has_been_acknowledged", "acknowledgement_type", "check_type", "current_state",
         "last_state", "last_hard_state", "plugin_output", "long_plugin_output", "perf_data", "state_type",
         "current_attempt", "latency", "execution_time", "notifications_enabled", "next_check", "last_check",
         "last_state_change", "scheduled_downtime_depth", "is_flapping", "total_services", "modified_attributes",
         "check_command", "check_period", "notification_period", "check_interval", "retry_interval", "event_handler",
         "max_attempts", "active_checks_enabled", "passive_checks_enabled", "event_handler_enabled",
         "flap_detection_enabled", "process_performance_data", "obsess_over_host", "notes_url", "action_url",
         "icon_image", "export_date", "display_status"});
    const std::string name = q(h->name), out = q(h->plugin_output), lout = q(h->long_plugin_output),
                      perf = q(h->perf_data), cmd = q(h->check_command), cp = q(h->check_period),
                      np = q(h->notification_period), eh = q(h->event_handler), nu = q(h->notes_url),
                      au = q(h->action_url), ii = q(h->icon_image), next = d(h->next_check), last = d(h->last_check),
                      chg = d(h->last_state_change);
    return format(f, id, name.c_str(), h->problem_has_been_acknowledged, h->acknowledgement_type, h->check_type,
               h->current_state, h->last_state, h->last_hard_state, out.c_str(), lout.c_str(), perf.c_str(),
               h->state_type, h->current_attempt, h->latency, h->execution_time, h->notifications_enabled,
               next.c_str(), last.c_str(), chg.c_str(), h->scheduled_downtime_depth, h->is_flapping,
               h->total_services, h->modified_attributes, cmd.c_str(), cp.c_str(), np.c_str(), h->check_interval,
               h->retry_interval, eh.c_str(), h->max_attempts, h->checks_enabled, h->accept_passive_checks,
               h->event_handler_enabled, h->flap_detection_enabled, h->process_performance_data, h->obsess,
               nu.c_str(), au.c_str(), ii.c_str(), export_date.c_str(), h->display_status, update.c_str());
}

std::string expected_service(const service *s, const char *hid, const char *sid, const std::string &export_date) {
    const char *f =
        "INSERT INTO vantor4.service_status(    host_id,    service_id,    host_name,    service_description,    "
        "problem_has_been_acknowledged,    acknowledgement_type,    check_type,    current_state,    last_state,    "
        "last_hard_state,    plugin_output,    long_plugin_output,    perf_data,    state_type,    next_check,    "
        "last_check,    current_attempt,    last_notification,    next_notification,    last_state_change,    "
        "latency,    execution_time,    scheduled_downtime_depth,    is_flapping,    modified_attributes,    "
        "check_command,    check_period,    notification_period,    check_interval,    retry_interval,    "
        "event_handler,    max_attempts,    notifications_enabled,    active_checks_enabled,    "
        "passive_checks_enabled,    event_handler_enabled,    flap_detection_enabled,    obsess_over_service,    "
        "notes_url,    action_url,    icon_image,    host_icon_image,    export_date,    display_status,    "
        "event_usec) VALUES( "
        "%s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,%s,%s,%d,%s,%s,%s,%.03f,%.03f,%d,%d,%lu,%s,%s,%s,%.06f,%.06f,%s,"
        "%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%s,%d,N) ON DUPLICATE KEY UPDATE %s;";
    const std::string update = vtt::guarded_update(
        {"host_name", "service_description", "problem_has_been_acknowledged", "acknowledgement_type", "check_type",
         "current_state", "last_state", "last_hard_state", "plugin_output", "long_plugin_output", "perf_data",
         "state_type", "next_check", "last_check", "current_attempt", "last_notification", "next_notification",
         "last_state_change", "latency", "execution_time", "scheduled_downtime_depth", "is_flapping",
         "modified_attributes", "check_command", "check_period", "notification_period", "check_interval",
         "retry_interval", "event_handler", "max_attempts", "notifications_enabled", "active_checks_enabled",
         "passive_checks_enabled", "event_handler_enabled", "flap_detection_enabled", "obsess_over_service",
         "notes_url", "action_url", "icon_image", "host_icon_image", "export_date", "display_status"});
    const std::string hn = q(s->host_name), desc = q(s->description), out = q(s->plugin_output),
                      lout = q(s->long_plugin_output), perf = q(s->perf_data), cmd = q(s->check_command),
                      cp = q(s->check_period), np = q(s->notification_period), eh = q(s->event_handler),
                      nu = q(s->notes_url), au = q(s->action_url), ii = q(s->icon_image),
                      hii = q(s->host_ptr->icon_image), next = d(s->next_check), last = d(s->last_check),
                      ln = d(s->last_notification), nn = d(s->next_notification), chg = d(s->last_state_change);
    const char *e = export_date.c_str();
    return format(f, hid, sid, hn.c_str(), desc.c_str(), s->problem_has_been_acknowledged, s->acknowledgement_type,
               s->check_type, s->current_state, s->last_state, s->last_hard_state, out.c_str(), lout.c_str(),
               perf.c_str(), s->state_type, next.c_str(), last.c_str(), s->current_attempt, ln.c_str(), nn.c_str(),
               chg.c_str(), s->latency, s->execution_time, s->scheduled_downtime_depth, s->is_flapping,
               s->modified_attributes, cmd.c_str(), cp.c_str(), np.c_str(), s->check_interval, s->retry_interval,
               eh.c_str(), s->max_attempts, s->notifications_enabled, s->checks_enabled, s->accept_passive_checks,
               s->event_handler_enabled, s->flap_detection_enabled, s->obsess, nu.c_str(), au.c_str(), ii.c_str(),
               hii.c_str(), e, s->display_status, update.c_str());
}

// The value a marked status upsert gives column in its row ("" when there is none).
std::string row_value(const std::string &stmt, const std::string &column) {
    vt::UpsertRow r;
    if (!vt::parse_upsert(stmt, &r))
        return "";
    const std::vector<std::string_view> cols = vt::upsert_columns(r.head);
    std::vector<std::string> values(1);
    bool quoted_text = false;
    for (size_t i = 1; i + 1 < r.row.size(); ++i) {
        const char c = r.row[i];
        if (quoted_text && c == '\\' && i + 2 < r.row.size()) {
            values.back() += c;
            values.back() += r.row[++i];
            continue;
        }
        if (c == '\'')
            quoted_text = !quoted_text;
        if (c == ',' && !quoted_text)
            values.emplace_back();
        else if (c != ' ' || quoted_text)
            values.back() += c;
    }
    for (size_t i = 0; i < cols.size() && i < values.size(); ++i)
        if (cols[i] == column)
            return values[i];
    return "";
}

const char *const TRICKY = "it's \"quoted\" C:\\dir\\ 100%s";
const char *const TRICKY_LONG = "line one\nline 'two' \\n not a break";

// Every member set, texts with quotes and backslashes.
template <typename T> void fill(T *o, time_t base) {
    for (char **m : {&o->plugin_output, &o->perf_data, &o->check_command, &o->check_period,
                     &o->notification_period, &o->event_handler, &o->notes_url, &o->action_url, &o->icon_image})
        standin::set_text(*m, TRICKY);
    standin::set_text(o->long_plugin_output, TRICKY_LONG);
    o->problem_has_been_acknowledged = 1;
    o->acknowledgement_type = 2;
    o->check_type = 1;
    o->current_state = 2;
    o->last_state = 1;
    o->last_hard_state = 2;
    o->state_type = 0;
    o->current_attempt = 2;
    o->latency = 0.1234;
    o->execution_time = 12.3456;
    o->next_check = base + 60;
    o->last_check = base;
    o->last_state_change = base - 3600;
    o->scheduled_downtime_depth = 1;
    o->is_flapping = 1;
    o->modified_attributes = 4294967297UL;
    o->check_interval = 1.5;
    o->retry_interval = 0.25;
    o->max_attempts = 4;
    o->display_status = 3;
}

using StatusRecords = vtr::RecordsTest;

TEST_F(StatusRecords, StatementTextsByteForByteWithEveryMemberAndWithEveryTextAbsent) {
    start();
    const std::string export_date = *sym<char *>("export_date");
    ASSERT_EQ(21u, export_date.size());
    const time_t base = 1700000000;
    host *full = add_host("full 'host'", "41");
    host *bare = add_host("bare", "42");
    service *sfull = add_service(full, "svc \"full\"", "41", "7");
    service *sbare = add_service(bare, "svc bare", "42", "8");
    fill(full, base);
    fill(sfull, base);
    sfull->last_notification = base - 10;
    sfull->next_notification = base + 10;
    full->total_services = 12;

    for (host *h : {full, bare})
        EXPECT_EQ(0, standin::raise_host_status(h));
    for (service *s : {sfull, sbare})
        EXPECT_EQ(0, standin::raise_service_status(s));
    std::vector<std::string> got = status_jobs(4);
    ASSERT_EQ(4u, got.size());
    // Each is marked as an upsert that a worker may merge; behind the mark, the statement.
    for (std::string &g : got) {
        vt::UpsertRow row;
        ASSERT_TRUE(vt::parse_upsert(g, &row)) << g;
        const size_t end = g.find("*/");
        EXPECT_EQ(g.substr(end + 2, row.head.size()), std::string(row.head));
        EXPECT_EQ(0, row.head.find("INSERT INTO vantor4."));
        g.erase(0, end + 2);
    }
    EXPECT_EQ(expected_host(full, "41", export_date), vtt::mask_event_order(got[0]));
    EXPECT_EQ(expected_host(bare, "42", export_date), vtt::mask_event_order(got[1]));
    EXPECT_EQ(expected_service(sfull, "41", "7", export_date), vtt::mask_event_order(got[2]));
    EXPECT_EQ(expected_service(sbare, "42", "8", export_date), vtt::mask_event_order(got[3]));
}

TEST_F(StatusRecords, StateTypeRulesAndMissingIds) {
    start();
    host *up = add_host("soft-up", "43");
    host *down = add_host("soft-down", "44");
    service *ok = add_service(up, "soft-ok", "43", "9");
    up->state_type = 0;
    down->state_type = 0;
    down->current_state = 1;
    ok->state_type = 0;
    standin::raise_host_status(up);
    standin::raise_host_status(down);
    standin::raise_service_status(ok);
    std::vector<std::string> got = status_jobs(3);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(1, up->state_type) << "the engine's host keeps the hard state type";
    EXPECT_EQ("1", row_value(got[0], "state_type"));
    EXPECT_EQ(0, down->state_type);
    EXPECT_EQ("0", row_value(got[1], "state_type"));
    EXPECT_EQ(0, ok->state_type);
    EXPECT_EQ("0", row_value(got[2], "state_type"));

    // Objects without ids: a line in the module log, no job, -2.
    host *anon = add_host("anonymous", nullptr);
    service *no_sid = add_service(up, "no-service-id", "43", nullptr);
    service *no_hid = add_service(up, "no-host-id", nullptr, "10");
    EXPECT_EQ(-2, standin::raise_host_status(anon));
    EXPECT_EQ(-2, standin::raise_service_status(no_sid));
    EXPECT_EQ(-2, standin::raise_service_status(no_hid));
    EXPECT_EQ(1u, log_count("vtdb_handle_host_status: could not find host_id for anonymous"));
    EXPECT_EQ(1u, log_count("vt_service_data: could not find host_id or service_id for soft-up - no-service-id"));
    EXPECT_EQ(1u, log_count("vt_service_data: could not find host_id or service_id for soft-up - no-host-id"));
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
}

TEST_F(StatusRecords, CheckResultsFeedPerfdataAndTheEventGuard) {
    start(true);
    host *h = add_host("checked", "45");
    standin::set_text(h->check_command, "check-host");
    standin::set_text(h->plugin_output, "PING 'ok'");
    service *none = add_service(h, "no-perf", "45", "11");
    service *empty = add_service(h, "empty-perf", "45", "12");
    service *quote = add_service(h, "quoted-perf", "45", "13");
    for (service *s : {none, empty})
        standin::set_text(s->plugin_output, "OK");
    standin::set_text(empty->perf_data, "");
    standin::set_text(quote->perf_data, "'a b'=1;2;3");
    standin::set_text(quote->plugin_output, "it's");
    for (service *s : {none, empty, quote})
        s->last_check = 1700000000;

    // Check initiations produce nothing.
    standin::raise_service_check(quote, NEBTYPE_SERVICECHECK_INITIATE);
    standin::raise_host_check(h, NEBTYPE_HOSTCHECK_INITIATE);
    for (service *s : {none, empty, quote})
        EXPECT_EQ(0, standin::raise_service_check(s));
    EXPECT_EQ(0, standin::raise_host_check(h));

    const std::vector<std::string> perf = jobs("vtdb_perfdata", 2);
    ASSERT_EQ(2u, perf.size());
    EXPECT_EQ("1700000000\t45\t12\t", perf[0]);
    EXPECT_EQ("1700000000\t45\t13\t'a b'=1;2;3", perf[1]);
    const std::vector<std::string> guard = jobs("vt_eventguard", 4);
    ASSERT_EQ(4u, guard.size());
    EXPECT_EQ("45^11^vantor^0^'OK'^", guard[0]) << "no perfdata: an empty sixth field";
    EXPECT_EQ("45^12^vantor^0^'OK'^''", guard[1]);
    EXPECT_EQ("45^13^vantor^0^'it\\'s'^'\\'a b\\'=1;2;3'", guard[2]);
    EXPECT_EQ("45^0^'check-host'^'PING \\'ok\\''", guard[3]);
    for (const char *queue : {"vtdb_perfdata", "vt_eventguard", "vtdb_vtstatus"})
        EXPECT_EQ(0, waiting(queue)) << queue;
}

TEST_F(StatusRecords, NoEventGuardWithoutTheFlagFileAtLoad) {
    start(false);
    vtt::write_file(vtt::path("/etc/vt_event_guard_active"), "");  // too late: read at load only
    host *h = add_host("plain", "46");
    service *s = add_service(h, "plain-svc", "46", "14");
    standin::raise_host_check(h);
    standin::raise_service_check(s);
    EXPECT_EQ(0, waiting("vt_eventguard"));
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
    EXPECT_EQ(0, waiting("vtdb_perfdata")) << "a service without perfdata sends none";
}

// The statements executed by the daemon: rows as the front ends read them.
TEST_F(StatusRecords, DaemonWritesStatusHistoryAndPerfdataRows) {
    vtt::Sql sql;
    sql.exec("CALL vantor4.vt_create_host_tables(47)");
    sql.exec("DELETE FROM vantor4.host_status WHERE host_id=47");
    sql.exec("DELETE FROM vantor4.service_status WHERE host_id=47");
    sql.exec("DELETE FROM vantor4.service_state_change_47");
    sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_47");
    start();
    const vtt::ScopedDaemon daemon("vtstatus_workers=3\nperfdata_workers=4\nnotify_workers=2\n");
    ASSERT_GT(daemon.pid(), 0);
    host *h = add_host("db-host", "47");
    service *s = add_service(h, "db-svc", "47", "15");
    standin::set_text(h->plugin_output, TRICKY);
    standin::set_text(h->long_plugin_output, TRICKY_LONG);
    h->state_type = 0;
    standin::set_text(s->plugin_output, TRICKY);
    standin::set_text(s->perf_data, "load=1.5;5;10;0; 'disk C:'=42%;80;90;0;100");
    s->current_state = 2;
    s->last_check = time(nullptr);
    standin::raise_state_change(nullptr, s);
    standin::raise_service_check(s);
    standin::raise_host_status(h);
    standin::raise_service_status(s);
    standin::raise_host_status(h);  // the second updates the row the first inserted

    auto row = [&](const std::string &sqltext) { return sql.scalar(sqltext); };
    EXPECT_TRUE(vtt::wait_until(
        [&] { return row("SELECT COUNT(*) FROM vantor4.service_status WHERE host_id=47 AND service_id=15") == "1"; },
        20000));
    EXPECT_TRUE(vtt::wait_until([&] { return row("SELECT COUNT(*) FROM vantor4.service_state_change_47") == "1"; },
                                20000));
    EXPECT_EQ("1", row("SELECT COUNT(*) FROM vantor4.host_status WHERE host_id=47"));
    EXPECT_EQ(TRICKY, row("SELECT plugin_output FROM vantor4.host_status WHERE host_id=47"));
    EXPECT_EQ(TRICKY_LONG, row("SELECT long_plugin_output FROM vantor4.host_status WHERE host_id=47"));
    EXPECT_EQ("1|NULL|db-host", row("SELECT CONCAT_WS('|', state_type, IFNULL(last_check,'NULL'), host_name) "
                                    "FROM vantor4.host_status WHERE host_id=47"));
    EXPECT_EQ(TRICKY, row("SELECT plugin_output FROM vantor4.service_status WHERE service_id=15"));
    EXPECT_EQ("15|2|1|0", row("SELECT CONCAT_WS('|', service_id, current_state, state_type, initial_log_state) "
                              "FROM vantor4.service_state_change_47"));
    EXPECT_TRUE(vtt::wait_until(
        [&] {
            return row("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA='vtperf' AND "
                       "TABLE_NAME='service_perf_47'") == "1" &&
                   row("SELECT COUNT(*) FROM vtperf.service_perf_47") == "2";
        },
        20000));
}

// The rows of every status table of hosts first to first + 2, every column as text.
std::vector<vtt::Row> status_rows(vtt::Sql &sql, int first) {
    std::vector<vtt::Row> all;
    const std::string where = format(" WHERE host_id BETWEEN %d AND %d ORDER BY ", first, first + 2);
    for (const std::string &query : {"SELECT * FROM vantor4.host_status" + where + "host_id",
                                     "SELECT * FROM vantor4.service_status" + where + "host_id, service_id"})
        for (vtt::Row &r : sql.rows(query))
            all.push_back(std::move(r));
    return all;
}

long global_inserts(vtt::Sql &sql) {
    return std::stol(sql.rows("SHOW GLOBAL STATUS LIKE 'Com_insert'").at(0).at(1).value_or("0"));
}

// One stream of status events (objects updated several times, texts that need escaping,
// texts appearing and vanishing, a statement of another kind between them) leaves exactly
// the same rows whether its statements run one by one or as the status workers run a batch,
// merging the upserts of each table into one statement.
TEST_F(StatusRecords, MergedUpsertsLeaveTheRowsOfTheSingleStatements) {
    start();
    const int first = 71;
    std::vector<host *> hosts;
    std::vector<service *> services;
    for (int h = 0; h < 3; ++h) {
        const std::string hid = std::to_string(first + h);
        hosts.push_back(add_host(("merge-host-" + hid).c_str(), hid.c_str()));
        for (int s = 0; s < 2; ++s)
            services.push_back(add_service(hosts.back(), ("svc " + std::to_string(s)).c_str(), hid.c_str(),
                                           std::to_string(s + 1).c_str()));
    }
    const time_t base = 1700000000;
    std::vector<std::string> barrier_after;  // a statement of another kind after event i
    size_t events = 0;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < hosts.size(); ++i) {
            host *h = hosts[i];
            if ((round + i) % 2 == 0)
                fill(h, base + round * 60);
            else
                standin::set_text(h->plugin_output, nullptr);
            h->current_state = static_cast<int>((round + i) % 3);
            h->latency = 0.001 * static_cast<double>(round + i);
            EXPECT_EQ(0, standin::raise_host_status(h));
            ++events;
        }
        for (size_t i = 0; i < services.size(); ++i) {
            service *s = services[i];
            fill(s, base + round * 60 + static_cast<time_t>(i));
            if (round == 1 && i % 2 == 1)
                standin::set_text(s->long_plugin_output, nullptr);
            s->current_attempt = round + 1;
            s->display_status = round;
            EXPECT_EQ(0, standin::raise_service_status(s));
            ++events;
            if (round == 1 && i == 2) {  // the same service again at once, changed
                standin::set_text(s->plugin_output, "second 'event' \\\\ of the round");
                s->current_state = 3;
                EXPECT_EQ(0, standin::raise_service_status(s));
                ++events;
            }
        }
    }
    std::vector<std::string> stmts = status_jobs(events);
    ASSERT_EQ(events, stmts.size());
    // A statement that is not an upsert stays between the rows before and after it.
    stmts.insert(stmts.begin() + static_cast<long>(stmts.size() / 2),
                 format("UPDATE vantor4.service_status SET plugin_output='between' WHERE host_id=%d", first));

    vtt::Sql sql;
    auto clear = [&] {
        sql.exec(format("DELETE FROM vantor4.host_status WHERE host_id BETWEEN %d AND %d", first, first + 2));
        sql.exec(format("DELETE FROM vantor4.service_status WHERE host_id BETWEEN %d AND %d", first, first + 2));
    };
    clear();
    for (const std::string &st : stmts)
        sql.exec(st);
    const std::vector<vtt::Row> single = status_rows(sql, first);
    ASSERT_EQ(9u, single.size());
    clear();

    std::string batch;
    for (const std::string &st : stmts)
        vt::batch_append(batch, st.data(), st.size());
    vtt::gearman_submit("vtdb_vtstatus", batch);
    const long inserts_before = global_inserts(sql);
    {
        vtt::ScopedDaemon daemon;
        ASSERT_GT(daemon.pid(), 0);
        ASSERT_TRUE(vtt::wait_until([&] { return vtt::gearman_queued("vtdb_vtstatus") == 0; }, 20000));
        ASSERT_TRUE(vtt::wait_until([&] { return status_rows(sql, first).size() == 9u; }, 20000));
    }
    EXPECT_EQ(single, status_rows(sql, first));
    // Two tables, two runs of upserts around the update: four inserts, not one per event.
    EXPECT_EQ(4, global_inserts(sql) - inserts_before);
    clear();
}

// Status rows of several events in any order of arrival show the newest event: when a later
// event's statement ran first (a dump file replayed after newer results went straight through,
// or two status workers running batches of one object in the other order), the older one
// leaves the row as it is; in the single statements and in the merged ones alike.
TEST_F(StatusRecords, AnOlderStatusEventNeverReplacesANewerRow) {
    start();
    host *h = add_host("order-host", "81");
    service *s = add_service(h, "order-svc", "81", "1");
    const time_t second = time(nullptr) + 5;
    auto raise_at = [&](int state, const char *output, long usec) {
        h->current_state = state ? 1 : 0;
        s->current_state = state;
        standin::set_text(h->plugin_output, output);
        standin::set_text(s->plugin_output, output);
        nebstruct_host_status_data hs{};
        hs.type = NEBTYPE_HOSTSTATUS_UPDATE;
        hs.timestamp = {second, usec};
        hs.object_ptr = h;
        nebstruct_service_status_data ss{};
        ss.type = NEBTYPE_SERVICESTATUS_UPDATE;
        ss.timestamp = {second, usec};
        ss.object_ptr = s;
        EXPECT_EQ(0, standin::raise(NEBCALLBACK_HOST_STATUS_DATA, &hs));
        EXPECT_EQ(0, standin::raise(NEBCALLBACK_SERVICE_STATUS_DATA, &ss));
    };
    raise_at(2, "old CRITICAL", 100000);
    raise_at(0, "new OK", 900000);
    const std::vector<std::string> got = status_jobs(4);
    ASSERT_EQ(4u, got.size());
    const std::string &old_host = got[0], &old_service = got[1], &new_host = got[2], &new_service = got[3];

    vtt::Sql sql;
    auto clear = [&] {
        sql.exec("DELETE FROM vantor4.host_status WHERE host_id=81");
        sql.exec("DELETE FROM vantor4.service_status WHERE host_id=81");
    };
    auto rows = [&] {
        return sql.scalar("SELECT CONCAT_WS('|', h.current_state, h.plugin_output, s.current_state, s.plugin_output, "
                          "h.event_usec) FROM vantor4.host_status h JOIN vantor4.service_status s USING (host_id) "
                          "WHERE h.host_id=81");
    };
    const std::string newest = "0|new OK|0|new OK|" + std::to_string(second) + "900000";

    // One by one, in either order.
    clear();
    for (const std::string *st : {&new_host, &new_service, &old_host, &old_service})
        sql.exec(*st);
    EXPECT_EQ(newest, rows());
    clear();
    for (const std::string *st : {&old_host, &old_service, &new_host, &new_service})
        sql.exec(*st);
    EXPECT_EQ(newest, rows());

    clear();
    vtt::ScopedDaemon daemon("vtstatus_workers=1\n");
    ASSERT_GT(daemon.pid(), 0);
    // Merged: one batch with both events of each object, the newer first.
    std::string batch;
    for (const std::string *st : {&new_host, &new_service, &old_host, &old_service})
        vt::batch_append(batch, st->data(), st->size());
    const long inserts_before = global_inserts(sql);
    vtt::gearman_submit("vtdb_vtstatus", batch);
    ASSERT_TRUE(vtt::wait_until([&] { return !rows().empty(); }, 20000));
    EXPECT_EQ(newest, rows());
    EXPECT_EQ(2, global_inserts(sql) - inserts_before) << "each table's two rows in one statement";

    // Single jobs, the newer carried out first, as by another worker ahead of this one.
    clear();
    vtt::gearman_submit_all("vtdb_vtstatus", {new_host, new_service});
    ASSERT_TRUE(vtt::wait_until([&] { return !rows().empty(); }, 20000));
    vtt::gearman_submit_all("vtdb_vtstatus", {old_host, old_service,
                                              "UPDATE vantor4.host_status SET host_name='after' WHERE host_id=81"});
    ASSERT_TRUE(vtt::wait_until(
        [&] { return sql.scalar("SELECT host_name FROM vantor4.host_status WHERE host_id=81") == "after"; }, 20000));
    EXPECT_EQ(newest, rows());
    clear();
}

// A status dumped during a job-server outage (at the engine's stop) and replayed only after a
// newer result of the same objects, from the engine's next start, went straight through leaves
// the newer row.
TEST_F(StatusRecords, AStatusDumpedInAnOutageAndReplayedLateLeavesTheNewerRow) {
    start();
    host *h = add_host("outage-host", "82");
    service *s = add_service(h, "outage-svc", "82", "1");
    vtt::Sql sql;
    sql.exec("DELETE FROM vantor4.host_status WHERE host_id=82");
    sql.exec("DELETE FROM vantor4.service_status WHERE host_id=82");
    auto set = [&](int state, const char *output) {
        h->current_state = state ? 1 : 0;
        s->current_state = state;
        standin::set_text(h->plugin_output, output);
        standin::set_text(s->plugin_output, output);
        EXPECT_EQ(0, standin::raise_host_status(h));
        EXPECT_EQ(0, standin::raise_service_status(s));
    };
    auto rows = [&] {
        return sql.scalar("SELECT CONCAT_WS('|', h.current_state, h.plugin_output, s.current_state, s.plugin_output) "
                          "FROM vantor4.host_status h JOIN vantor4.service_status s USING (host_id) "
                          "WHERE h.host_id=82");
    };
    const std::string dir = vtt::path("/var/delayed-messages");
    std::vector<std::string> dumped;
    // The outage lasts until the engine stops: the module dumps what it kept at unload.
    vtt::gearmand_stop();
    set(2, "old CRITICAL");
    unload();
    const bool have_dump = vtt::wait_until(
        [&] {
            dumped = vtt::list_dir(dir);
            long lines = 0;
            for (const std::string &f : dumped)
                lines += vtt::count_lines_containing(dir + "/" + f, "old CRITICAL");
            return lines == 2;
        },
        10000);
    vtt::gearmand_start();
    ASSERT_TRUE(have_dump) << "the outage's statements are in a dump file";
    start();
    // Held back from the replay until the newer result has landed.
    for (const std::string &f : dumped)
        ASSERT_EQ(0, rename((dir + "/" + f).c_str(), vtt::path("/var/held-" + f).c_str()));

    vtt::ScopedDaemon daemon;
    ASSERT_GT(daemon.pid(), 0);
    set(0, "new OK");
    ASSERT_TRUE(vtt::wait_until([&] { return rows() == "0|new OK|0|new OK"; }, 20000)) << rows();
    const size_t log_from = vtt::read_file(vtt::daemon_log()).size();
    for (const std::string &f : dumped)
        ASSERT_EQ(0, rename(vtt::path("/var/held-" + f).c_str(), (dir + "/" + f).c_str()));
    ASSERT_TRUE(vtt::wait_until(
        [&] {
            return vtt::list_dir(dir).empty() &&
                   vtt::count_since(vtt::daemon_log(), log_from, "processed 2 delayed messages") > 0;
        },
        30000))
        << "the dump is replayed";
    EXPECT_EQ("0|new OK|0|new OK", rows());
}

}  // namespace
