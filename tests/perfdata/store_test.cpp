// Performance-data store against the private MariaDB and gearmand: registry, limit, value rows,
// failed inserts, and worker processes serving the queue.
#include "test_support.h"
#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_perfdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using vtt::Row;

std::string record(long long t, int host, const std::string &service, const std::string &perf)
{
    return std::to_string(t) + "\t" + std::to_string(host) + "\t" + service + "\t" + perf;
}

std::string col(const Row &r, size_t i) { return r.at(i) ? *r.at(i) : "NULL"; }

// Ends the worker processes a test started, however the test ends.
struct Workers {
    std::vector<pid_t> pids;
    ~Workers() { vtt::kill_and_reap(pids); }
};

class PerfdataStore : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        vtt::init_runtime("vantorconnector");
        vtt::Sql sql;
        sql.exec("TRUNCATE TABLE vtcfg.service_metric");
        for (const Row &r : sql.rows("SELECT table_name FROM information_schema.tables WHERE table_schema='vtperf' "
                                     "AND table_name LIKE 'service\\_perf\\_%'"))
            sql.exec("DROP TABLE vtperf.`" + col(r, 0) + "`");
        ASSERT_EQ(db_connect(), 0);
    }

    void SetUp() override { VT_MAX_METRICS = 100; }
    void TearDown() override { VT_MAX_METRICS = 100; }

    // A host with no metrics, no value table and no status rows.
    void fresh_host(int host)
    {
        sql.exec("DELETE FROM vtcfg.service_metric WHERE host_id=" + std::to_string(host));
        sql.exec("DELETE FROM vantor4.service_status WHERE host_id=" + std::to_string(host));
        sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_" + std::to_string(host));
    }
    void status_row(int host, int service, const char *name, const char *description)
    {
        auto q = [](const char *s) { return s ? "'" + std::string(s) + "'" : std::string("NULL"); };
        sql.exec("INSERT INTO vantor4.service_status (host_id, service_id, host_name, service_description) VALUES (" +
                 std::to_string(host) + "," + std::to_string(service) + "," + q(name) + "," + q(description) + ")");
    }
    // metric_id, metric, unit, value_min, value_max of a host's registered metrics.
    std::vector<Row> metrics(int host)
    {
        return sql.rows("SELECT metric_id, metric, unit, value_min, value_max, service_id FROM vtcfg.service_metric "
                        "WHERE host_id=" + std::to_string(host) + " ORDER BY metric_id");
    }
    // metric name, perf_value, warning, critical, baseline, lower, upper, service_id, entry time.
    std::vector<Row> values(int host)
    {
        return sql.rows("SELECT m.metric, v.perf_value, v.warning, v.critical, v.baseline, v.lower_limit, "
                        "v.upper_limit, v.service_id, UNIX_TIMESTAMP(v.entry_time), v.metric_id FROM "
                        "vtperf.service_perf_" + std::to_string(host) + " v LEFT JOIN vtcfg.service_metric m ON "
                        "m.metric_id = v.metric_id ORDER BY v.entry_time, m.metric_id");
    }
    bool table_exists(int host)
    {
        return sql.count("information_schema.tables WHERE table_schema='vtperf' AND table_name='service_perf_" +
                         std::to_string(host) + "'") == 1;
    }
    // One worker of the queue, counted once the job server lists it.
    static pid_t start_worker(Workers &w)
    {
        if (!job_servers_root)
            vtdb_populate_job_servers_list();
        const pid_t p = vt_perfdata_gm_dispatcher();
        if (p <= 0)
            return p;
        w.pids.push_back(p);
        return vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == 1; }, 15000) ? p : -1;
    }
    std::string log_text() { return vtt::read_file(logfile); }
    std::string failed_sql() { return vtt::read_file(VT_FAILED_SQL_FILE); }

    vtt::Sql sql;
};

TEST_F(PerfdataStore, StoresTheTypicalExamples)
{
    const int host = 101;
    fresh_host(host);
    status_row(host, 1, "srv01", "Load");
    std::string failed_before = failed_sql();

    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "load1=0.5;5;10;0 load5=0.3;4;8;0").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", "'disk /'=45%;80;90;0;100").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000120, host, "1", "time=12ms").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000180, host, "1", "a=U;1;2 b=3").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000240, host, "1", std::string(80, 'L') + "=1").c_str()), 0);
    // A record without performance data is refused and stores nothing.
    EXPECT_EQ(vt_process_perfdata((std::to_string(1700000300) + "\t101\t1").c_str()), -2);

    auto m = metrics(host);
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(col(m[0], 1), "load1");
    EXPECT_EQ(col(m[0], 2), "");
    EXPECT_EQ(col(m[0], 3), "0");
    EXPECT_EQ(col(m[0], 4), "NULL");
    EXPECT_EQ(col(m[2], 1), "disk /");
    EXPECT_EQ(col(m[2], 2), "%");
    EXPECT_EQ(col(m[2], 4), "100");
    EXPECT_EQ(col(m[3], 1), "time");
    EXPECT_EQ(col(m[3], 2), "ms");
    EXPECT_EQ(col(m[4], 1), std::string(74, 'L'));

    auto v = values(host);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(col(v[0], 0), "load1");
    EXPECT_EQ(col(v[0], 1), "0.5");
    EXPECT_EQ(col(v[0], 2), "5");
    EXPECT_EQ(col(v[0], 3), "10");
    EXPECT_EQ(col(v[0], 4), "NULL");
    EXPECT_EQ(col(v[0], 7), "1");
    EXPECT_EQ(col(v[0], 8), "1700000000");
    EXPECT_EQ(col(v[1], 0), "load5");
    EXPECT_EQ(col(v[1], 1), "0.3");
    EXPECT_EQ(col(v[2], 0), "disk /");
    EXPECT_EQ(col(v[2], 1), "45");
    EXPECT_EQ(col(v[2], 3), "90");
    EXPECT_EQ(col(v[3], 0), "time");
    EXPECT_EQ(col(v[3], 1), "12");
    for (size_t i = 2; i <= 6; ++i)
        EXPECT_EQ(col(v[3], i), "NULL") << i;
    EXPECT_EQ(col(v[4], 0), std::string(74, 'L'));
    EXPECT_EQ(failed_sql(), failed_before);
}

TEST_F(PerfdataStore, FirstValueForANewHostCreatesItsTable)
{
    const int host = 102;
    fresh_host(host);
    status_row(host, 5, "srv02", "Ping");
    ASSERT_FALSE(table_exists(host));
    std::string failed_before = failed_sql();
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "5", "rta=0.25ms;100;500;0").c_str()), 0);
    EXPECT_TRUE(table_exists(host));
    auto v = values(host);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(col(v[0], 0), "rta");
    EXPECT_EQ(col(v[0], 1), "0.25");
    EXPECT_EQ(failed_sql(), failed_before);
}

TEST_F(PerfdataStore, HostRecordsUseServiceIdMinusOne)
{
    const int host = 103;
    fresh_host(host);
    status_row(host, -1, "srv03", nullptr);
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "HOST", "rta=1.5ms;3000;5000;0 pl=0%;80;100").c_str()), 0);
    auto m = metrics(host);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(col(m[0], 5), "-1");
    auto v = values(host);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(col(v[0], 7), "-1");
    EXPECT_EQ(col(v[1], 7), "-1");
    EXPECT_EQ(col(v[0], 9), col(m[0], 0));
}

TEST_F(PerfdataStore, UnitsAndLabelsCannotBreakStatements)
{
    const int host = 104;
    fresh_host(host);
    status_row(host, 1, "win01", "Disks");
    std::string failed_before = failed_sql();
    std::string perf = "x=1\\ y=2a'b\\c \"quoted\"=3\" 'C:\\ used %'=55%;90;95 trail\\=4 u=5\\' s=6''; w=7\\\\";
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", perf).c_str()), 0);
    auto m = metrics(host);
    std::vector<std::pair<std::string, std::string>> got;
    for (const Row &r : m)
        got.emplace_back(col(r, 1), col(r, 2));
    std::vector<std::pair<std::string, std::string>> want = {
        {"x", "\\"},          {"y", "ab\\c"},  {"\"quoted\"", ""}, {"C:\\ used %", "%"},
        {"trail\\", ""},      {"u", "\\"},     {"s", ""},          {"w", "\\\\"},
    };
    EXPECT_EQ(got, want);
    auto v = values(host);
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(col(v[0], 1), "1");
    EXPECT_EQ(col(v[3], 1), "55");
    EXPECT_EQ(failed_sql(), failed_before);

    // A second value with the same odd units is a known metric: no new rows.
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", perf).c_str()), 0);
    EXPECT_EQ(metrics(host).size(), 8u);
    EXPECT_EQ(values(host).size(), 16u);
}

TEST_F(PerfdataStore, NonFiniteFieldsAreStoredAsNull)
{
    const int host = 105;
    fresh_host(host);
    status_row(host, 1, "srv05", "Odd");
    std::string failed_before = failed_sql();
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "m=1;inf;nan;1e999;5;6;-inf;2").c_str()), 0);
    auto v = values(host);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(col(v[0], 1), "1");
    EXPECT_EQ(col(v[0], 2), "NULL");
    EXPECT_EQ(col(v[0], 3), "NULL");
    EXPECT_EQ(col(v[0], 4), "6");
    EXPECT_EQ(col(v[0], 5), "NULL");
    EXPECT_EQ(col(v[0], 6), "2");
    auto m = metrics(host);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(col(m[0], 3), "NULL");
    EXPECT_EQ(col(m[0], 4), "5");
    EXPECT_EQ(failed_sql(), failed_before);
}

TEST_F(PerfdataStore, LimitRefusesNewMetricsButKeepsKnownOnes)
{
    const int host = 106;
    fresh_host(host);
    status_row(host, 1, "web01", "HTTP");
    status_row(host, 2, nullptr, nullptr);
    VT_MAX_METRICS = 3;
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "m1=1 m2=2 m3=3").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", "m1=1 m2=2 m4=4 m3=3").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000120, host, "1", "m4=4 m5=5").c_str()), 0);
    EXPECT_EQ(metrics(host).size(), 3u);
    auto v = values(host);
    ASSERT_EQ(v.size(), 6u);
    for (const Row &r : v)
        EXPECT_NE(col(r, 0), "m4");
    std::string log = log_text();
    EXPECT_NE(log.find("ERROR: metric m4 denied - H web01/106 & SVC HTTP/1 have already 3 metrics"), std::string::npos);
    EXPECT_NE(log.find("ERROR: metric m5 denied - H web01/106 & SVC HTTP/1 have already 3 metrics"), std::string::npos);

    // Another service of the host has its own count; absent names are written as empty texts.
    VT_MAX_METRICS = 1;
    EXPECT_EQ(vt_process_perfdata(record(1700000180, host, "2", "q1=1 q2=2").c_str()), 0);
    EXPECT_NE(log_text().find("ERROR: metric q2 denied - H /106 & SVC /2 have already 1 metrics"), std::string::npos);
    EXPECT_EQ(metrics(host).size(), 4u);
}

TEST_F(PerfdataStore, ChangedUnitOrRangeReRegistersTheMetric)
{
    const int host = 107;
    fresh_host(host);
    status_row(host, 1, "srv07", "Temp");
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "temp=20C;30;40;0;100").c_str()), 0);
    auto first = metrics(host);
    ASSERT_EQ(first.size(), 1u);
    const std::string id = col(first[0], 0);

    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", "temp=70F;86;104;0;100").c_str()), 0);
    auto m = metrics(host);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(col(m[0], 0), id);
    EXPECT_EQ(col(m[0], 2), "F");

    EXPECT_EQ(vt_process_perfdata(record(1700000120, host, "1", "temp=71F;86;104;-40;250").c_str()), 0);
    m = metrics(host);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(col(m[0], 3), "-40");
    EXPECT_EQ(col(m[0], 4), "250");

    // An unchanged metric is known from the registry: only its value is written, so a change
    // made in the database behind the worker's back stays.
    sql.exec("UPDATE vtcfg.service_metric SET unit='K' WHERE metric_id=" + id);
    EXPECT_EQ(vt_process_perfdata(record(1700000180, host, "1", "temp=72F;86;104;-40;250").c_str()), 0);
    EXPECT_EQ(col(metrics(host)[0], 2), "K");

    auto v = values(host);
    ASSERT_EQ(v.size(), 4u);
    for (const Row &r : v)
        EXPECT_EQ(col(r, 9), id);
}

TEST_F(PerfdataStore, RegistryLoadsFromTheDatabase)
{
    const int host = 108;
    fresh_host(host);
    status_row(host, 1, "db01", "Connections");
    status_row(host, 2, "db01", "Locks");
    sql.exec("INSERT INTO vtcfg.service_metric (host_id, service_id, metric, unit, value_min, value_max) VALUES "
             "(108, 1, 'active', 'c', 0, 500), (108, 1, 'idle', NULL, NULL, NULL), (108, 2, 'waits', 's', 1.5, NULL),"
             " (108, 3, 'orphan', '', 0, 0)");
    const std::string active_id = sql.scalar("SELECT metric_id FROM vtcfg.service_metric WHERE metric='active' AND host_id=108");
    ASSERT_EQ(vtdb_populate_metric_list(), 0);

    metric_node *n = vt_find_metric_id(host, 1, "active");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::to_string(n->metric_id), active_id);
    EXPECT_STREQ(n->unit, "c");
    EXPECT_EQ(n->value_min, 0.0);
    EXPECT_EQ(n->value_max, 500.0);
    EXPECT_STREQ(n->host_name, "db01");
    EXPECT_STREQ(n->service_description, "Connections");
    n = vt_find_metric_id(host, 1, "idle");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->unit, nullptr);
    EXPECT_EQ(n->value_max, 0.0);
    ASSERT_NE(vt_find_metric_id(host, 2, "waits"), nullptr);
    EXPECT_EQ(vt_find_metric_id(host, 2, "active"), nullptr);
    // Metrics of services without a status row are loaded too, without names.
    n = vt_find_metric_id(host, 3, "orphan");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->host_name, nullptr);

    int count = -1;
    metric_node *last = vt_count_metric_per_host_service(host, 1, &count);
    EXPECT_EQ(count, 2);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->host_id, host);
    EXPECT_EQ(last->service_id, 1);
    EXPECT_EQ(vt_count_metric_per_host_service(host, 9, &count), nullptr);
    EXPECT_EQ(count, 0);

    // A node without a unit differs from any parsed unit: the metric is registered again and
    // the node learns the unit.
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "idle=4").c_str()), 0);
    EXPECT_EQ(sql.scalar("SELECT unit FROM vtcfg.service_metric WHERE metric='idle' AND host_id=108"), "");
    EXPECT_STREQ(vt_find_metric_id(host, 1, "idle")->unit, "");

    // Appending keeps list order: the first node of a name is the one found.
    auto *extra = static_cast<metric_node *>(calloc(1, sizeof(metric_node)));
    extra->metric = strdup("active");
    extra->host_id = host;
    extra->service_id = 1;
    extra->metric_id = 1;
    vtdb_add_metric_node(extra);
    EXPECT_EQ(metric_last, extra);
    EXPECT_EQ(std::to_string(vt_find_metric_id(host, 1, "active")->metric_id), active_id);
    vt_count_metric_per_host_service(host, 1, &count);
    EXPECT_EQ(count, 3);
}

TEST_F(PerfdataStore, LongTextIsCutAtTheBlankBeforeTheCutMetric)
{
    const int host = 109;
    fresh_host(host);
    status_row(host, 1, "srv09", "Many");
    // "first=1;2;3 z=000...0;1 " fills the text up to 10 bytes before the cut.
    auto filler = [](size_t upto) {
        std::string head = "first=1;2;3 z=";
        std::string tail = ";1 ";
        return head + std::string(upto - head.size() - tail.size(), '0') + tail;
    };
    std::string prefix = filler(VT_PERFDATA_MAX_TEXT - 10);
    ASSERT_EQ(prefix.size(), static_cast<size_t>(VT_PERFDATA_MAX_TEXT - 10));
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", prefix + "victim_label_crossing=9;9;9").c_str()), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", prefix + "last=7;8;123456789 after=1").c_str()), 0);
    auto v = values(host);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(col(v[0], 0), "first");
    EXPECT_EQ(col(v[1], 0), "z");
    EXPECT_EQ(col(v[4], 0), "last");
    EXPECT_EQ(col(v[4], 1), "7");
    EXPECT_EQ(col(v[4], 2), "8");
    EXPECT_EQ(col(v[4], 3), "1");
    for (const Row &r : metrics(host))
        EXPECT_TRUE(col(r, 1) != "victim_label_crossing" && col(r, 1) != "after") << col(r, 1);
}

TEST_F(PerfdataStore, TimesAndIdsBeyond32Bits)
{
    const int host = 110;
    fresh_host(host);
    status_row(host, 1, "srv10", "Future");
    sql.exec("ALTER TABLE vtcfg.service_metric AUTO_INCREMENT=5000000000");
    EXPECT_EQ(vt_process_perfdata(record(2147483647LL, host, "1", "big=1").c_str()), 0);
    auto m = metrics(host);
    ASSERT_EQ(m.size(), 1u);
    const std::string id = col(m[0], 0);
    EXPECT_GE(std::stoull(id), 5000000000ULL);
    auto v = values(host);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(col(v[0], 9), id);
    EXPECT_EQ(col(v[0], 8), "2147483647");

    // A value insert that fails twice is kept in the failed-SQL file, with the time in full.
    sql.exec("DROP TABLE vtperf.service_perf_110");
    sql.exec("CREATE TABLE vtperf.service_perf_110 (unrelated INT)");
    std::string failed_before = failed_sql();
    EXPECT_EQ(vt_process_perfdata(record(4102444800LL, host, "1", "big=2").c_str()), 0);
    std::string added = failed_sql().substr(failed_before.size());
    EXPECT_EQ(added,
              "INSERT INTO vtperf.service_perf_110 (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,"
              "\tcritical,\tbaseline,\tlower_limit,\tupper_limit) VALUES (\tfrom_unixtime(4102444800),\t'1',\t'" +
                  id + "',\t'2',\t NULL, \t NULL, \t NULL, \t NULL, \t NULL );\n");
}

// INSERT statements the store's own connection has sent so far.
long inserts_sent()
{
    long n = -1;
    if (mysql_query(&dbHandle, "SHOW SESSION STATUS LIKE 'Com_insert'") == 0) {
        MYSQL_RES *r = mysql_store_result(&dbHandle);
        if (MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr)
            n = std::atol(row[1]);
        mysql_free_result(r);
    }
    return n;
}

// A record's values go in one statement with one row per metric, NULL where a field is
// absent; the metrics before a point where parsing stops are stored; a failing statement is
// kept whole, as one line that stores the record when replayed.
TEST_F(PerfdataStore, RecordIsStoredWithOneInsertAndKeptWhole)
{
    const int host = 116;
    fresh_host(host);
    status_row(host, 1, "srv16", "Rows");
    const std::string perf = "a=1;2;3;4;5;6;7;8 b=2ms c=3%;;;;;;;9";
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", perf).c_str()), 0);
    ASSERT_EQ(metrics(host).size(), 3u);
    const long before = inserts_sent();
    ASSERT_GE(before, 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", perf).c_str()), 0);
    EXPECT_EQ(inserts_sent() - before, 1) << "one statement for the three values of known metrics";
    auto v = values(host);
    ASSERT_EQ(v.size(), 6u);
    const std::vector<std::vector<std::string>> want = {
        {"a", "1", "2", "3", "6", "7", "8"},
        {"b", "2", "NULL", "NULL", "NULL", "NULL", "NULL"},
        {"c", "3", "NULL", "NULL", "NULL", "NULL", "9"},
    };
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t k = 0; k < 7; ++k)
            EXPECT_EQ(col(v[i], k), want[i % 3][k]) << "row " << i << " column " << k;

    // Parsing stops at c's value: a and b are still stored, together.
    EXPECT_EQ(vt_process_perfdata(record(1700000120, host, "1", "a=10 b=20 c=U d=40").c_str()), 0);
    EXPECT_EQ(sql.count("vtperf.service_perf_116 WHERE UNIX_TIMESTAMP(entry_time)=1700000120"), 2);

    // The insert fails: the whole record is one line of the failed-SQL file.
    const std::string ids[] = {col(metrics(host)[0], 0), col(metrics(host)[1], 0)};
    sql.exec("RENAME TABLE vtperf.service_perf_116 TO vtperf.service_perf_116_kept");
    sql.exec("CREATE TABLE vtperf.service_perf_116 (unrelated INT)");
    const std::string failed_before = failed_sql();
    EXPECT_EQ(vt_process_perfdata(record(1700000180, host, "1", "a=11;1 b=21").c_str()), 0);
    const std::string line =
        "INSERT INTO vtperf.service_perf_116 (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,"
        "\tcritical,\tbaseline,\tlower_limit,\tupper_limit) VALUES (\tfrom_unixtime(1700000180),\t'1',\t'" + ids[0] +
        "',\t'11',\t 1.000, \t NULL, \t NULL, \t NULL, \t NULL ), (\tfrom_unixtime(1700000180),\t'1',\t'" + ids[1] +
        "',\t'21',\t NULL, \t NULL, \t NULL, \t NULL, \t NULL );";
    EXPECT_EQ(failed_sql().substr(failed_before.size()), line + "\n");

    // Replayed once the table is right again, the line stores both rows.
    sql.exec("DROP TABLE vtperf.service_perf_116");
    sql.exec("RENAME TABLE vtperf.service_perf_116_kept TO vtperf.service_perf_116");
    EXPECT_EQ(vt_perfdata_insert_data(line.c_str(), host, static_cast<int>(line.size())), 0);
    v = values(host);
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(col(v[8], 0) + "=" + col(v[8], 1) + ";" + col(v[8], 2), "a=11;1");
    EXPECT_EQ(col(v[9], 0) + "=" + col(v[9], 1) + ";" + col(v[9], 2), "b=21;NULL");
}

TEST_F(PerfdataStore, PerfdataErrorsFileIsAppended)
{
    std::string before = vtt::read_file(VT_PERFDATA_ERRORS);
    vt_write_perfdata_errors("first problem");
    vt_write_perfdata_errors("second\tproblem");
    EXPECT_EQ(vtt::read_file(VT_PERFDATA_ERRORS), before + "first problem\nsecond\tproblem\n");

    // A line cut short by a full file system is taken back, not left to merge with the next.
    const std::string whole = vtt::read_file(VT_PERFDATA_ERRORS);
    const std::string big(5000, 'e');
    pid_t k = fork();
    if (k == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {whole.size() + 100, whole.size() + 100};
        setrlimit(RLIMIT_FSIZE, &lim);
        vt_write_perfdata_errors(big.c_str());
        _exit(0);
    }
    waitpid(k, nullptr, 0);
    vt_write_perfdata_errors("after");
    EXPECT_EQ(vtt::read_file(VT_PERFDATA_ERRORS), whole + "after\n");
}

// Labels are found in the registry again after a restart (a fresh load from the database),
// whatever their backslashes; a label cut at the byte limit is stored, found and used whole.
TEST_F(PerfdataStore, LabelsAreFoundAgainAfterARestart)
{
    const int host = 113;
    fresh_host(host);
    status_row(host, 1, "win13", "Disks");
    // Stored names: C:\ used, a\\b, x\ (as the parser registers the labels below).
    sql.exec("INSERT INTO vtcfg.service_metric (host_id, service_id, metric, unit, value_min, value_max) VALUES "
             "(113, 1, 'C:\\\\ used', '', 0, 0), (113, 1, 'a\\\\\\\\b', '', 0, 0), (113, 1, 'x\\\\', '', 0, 0)");
    ASSERT_EQ(vtdb_populate_metric_list(), 0);
    VT_MAX_METRICS = 3;  // the service is at its limit: an unknown label would be refused
    std::string log_before = log_text();
    EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", "'C:\\ used'=1 a\\\\b=2 x\\=3").c_str()), 0);
    auto v = values(host);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(col(v[0], 0), "C:\\ used");
    EXPECT_EQ(col(v[1], 0), "a\\\\b");
    EXPECT_EQ(col(v[2], 0), "x\\");
    EXPECT_EQ(log_text().find("denied", log_before.size()), std::string::npos);
    int count = 0;
    vt_count_metric_per_host_service(host, 1, &count);
    EXPECT_EQ(count, 3);  // found, not looked up and added again

    // A cut inside a two-byte character: the name ends before it.
    VT_MAX_METRICS = 100;
    const std::string label = std::string(73, 'u') + "\xc3\xa9" + "tail";
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(vt_process_perfdata(record(1700000060 + i, host, "1", label + "=" + std::to_string(i)).c_str()), 0);
    const std::string id = sql.scalar("SELECT metric_id FROM vtcfg.service_metric WHERE host_id=113 AND metric='" +
                                      std::string(73, 'u') + "'");
    ASSERT_NE(id, "");
    EXPECT_EQ(sql.count("vtperf.service_perf_113 WHERE metric_id=" + id), 2);

    // A Latin-1 label is registered as its UTF-8 text, and found by it after a restart.
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            ASSERT_EQ(vtdb_populate_metric_list(), 0);
        }
        EXPECT_EQ(vt_process_perfdata(record(1700000070 + i, host, "1", "Temp\xe4=2" + std::to_string(i) + "\xb0").c_str()), 0);
    }
    const std::string latin = sql.scalar("SELECT GROUP_CONCAT(CONCAT(metric_id, ':', HEX(unit))) FROM "
                                         "vtcfg.service_metric WHERE host_id=113 AND HEX(metric)='54656D70C3A4'");
    ASSERT_NE(latin.find(':'), std::string::npos) << "the Latin-1 label was not registered as UTF-8";
    ASSERT_EQ(latin.find(','), std::string::npos) << "registered once: " << latin;
    EXPECT_EQ(latin.substr(latin.find(':')), ":C2B0");
    EXPECT_EQ(sql.count("vtperf.service_perf_113 WHERE metric_id=" + latin.substr(0, latin.find(':'))), 2);
    EXPECT_EQ(log_text().find("ERROR", log_before.size()), std::string::npos);
}

// A record whose host id is not a positive int in decimal digits is dropped with one line:
// it would name a table ("service_perf_-3"), wrap, or become host 0.
TEST_F(PerfdataStore, RecordsWithUnusableHostIdsAreDropped)
{
    auto perf_tables = [&] {
        return sql.count("information_schema.tables WHERE table_schema='vtperf' AND table_name LIKE 'service\\_perf\\_%'");
    };
    const long tables_before = perf_tables();
    const std::string failed_before = failed_sql();
    for (const char *id : {"-3", "0", "2147483648", "99999999999", "x7", "7x", "+7", " 7", "0x10"}) {
        SCOPED_TRACE(id);
        size_t offset = log_text().size();
        std::string rec = std::string("1700000000\t") + id + "\t1\tm=1";
        EXPECT_EQ(vt_process_perfdata(rec.c_str()), -2);
        std::string added = log_text().substr(offset);
        EXPECT_NE(added.find(std::string("ERROR perfdata record dropped - host id '") + id +
                             "' is not a positive decimal number\n"),
                  std::string::npos);
        EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 1);
    }
    EXPECT_EQ(perf_tables(), tables_before);
    EXPECT_EQ(failed_sql(), failed_before);
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id <= 0"), 0);
}

// A value that is not one number is never written as text into a statement: the text stops
// there, as for a value outside the value class; non-numeric thresholds are stored as NULL.
TEST_F(PerfdataStore, OnlyNumbersReachTheStatements)
{
    const int host = 114;
    fresh_host(host);
    status_row(host, 1, "srv14", "Odd values");
    const std::string failed_before = failed_sql();
    for (const char *perf : {"a=. z=1", "a=- z=1", "a=.. z=1", "a=1.2.3 z=1", "a=1-2 z=1"})
        EXPECT_EQ(vt_process_perfdata(record(1700000000, host, "1", perf).c_str()), 0) << perf;
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=114"), 0);
    EXPECT_EQ(vt_process_perfdata(record(1700000060, host, "1", "t=5;10:20;1.2.3;~;@1:9;-;x;+7").c_str()), 0);
    auto v = values(host);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(col(v[0], 1), "5");
    for (size_t i = 2; i <= 5; ++i)
        EXPECT_EQ(col(v[0], i), "NULL") << i;
    EXPECT_EQ(col(v[0], 6), "7");
    EXPECT_EQ(failed_sql(), failed_before);

    // A metric handed to the store directly is refused the same way.
    perfdata_job job{1700000120, host, 1, nullptr};
    char label[] = "direct", value[] = "1.2.3", unit[] = "";
    perf_metric m{};
    m.label = label;
    m.value = value;
    m.unit = unit;
    EXPECT_EQ(vtdb_store_perfdata(&job, &m), -2);
    EXPECT_EQ(values(host).size(), 1u);
    EXPECT_EQ(failed_sql(), failed_before);

    // A value beyond the column's range is dropped alone; the rest of its record is stored.
    const size_t log_offset = log_text().size();
    EXPECT_EQ(vt_process_perfdata(record(1700000180, host, "1", "t=6 huge=1" + std::string(400, '0') + " t=8").c_str()), 0);
    EXPECT_EQ(sql.count("vtperf.service_perf_114 WHERE UNIX_TIMESTAMP(entry_time)=1700000180"), 2);
    EXPECT_NE(log_text().find("ERROR perfdata dropped - value of metric huge is out of range", log_offset),
              std::string::npos);
    EXPECT_EQ(failed_sql(), failed_before);
}

// Running out of memory inside an entry point gives its failure result, never an exception
// thrown into the caller's C frames.
TEST_F(PerfdataStore, EntryPointsDegradeWhenMemoryRunsOut)
{
    const std::string rec = record(1700000000, 115, "1", "m=1;2;3");
    int result = 0;
    EXPECT_FALSE(vtt::throws_without_memory([&] { result = vt_process_perfdata(rec.c_str()); }));
    EXPECT_EQ(result, -2);
    const char stmt[] = "INSERT INTO no_such_table VALUES (1)";
    EXPECT_FALSE(vtt::throws_without_memory([&] { result = vt_perfdata_insert_data(stmt, 115, sizeof stmt - 1); }));
    EXPECT_EQ(result, -2);
    EXPECT_FALSE(vtt::throws_without_memory([&] { result = vtdb_populate_metric_list(); }));
    EXPECT_EQ(result, -2);
    EXPECT_FALSE(vtt::throws_without_memory([] { vt_write_perfdata_errors("a line of some length to keep"); }));
}

// A counter of the server's statements (SHOW GLOBAL STATUS is not one of those counted).
long server_count(vtt::Sql &sql, const std::string &name)
{
    return std::stol(sql.rows("SHOW GLOBAL STATUS LIKE '" + name + "'").at(0).at(1).value_or("0"));
}

// Workers racing on new metrics register each once, and a new metric costs each worker at most
// one registration and one read for all the metrics of its service, not a round per metric.
// The service has no status row yet: its values still carry their metrics' ids.
TEST_F(PerfdataStore, WorkersServeTheQueueAndRegisterEachMetricOnce)
{
    const int host = 111;
    fresh_host(host);
    // With the value table in place, every insert the workers send is counted once.
    sql.exec("CREATE TABLE vtperf.service_perf_111 LIKE vtperf.service_perf");
    vtt::gearman_drain("vtdb_perfdata");
    if (!job_servers_root)
        vtdb_populate_job_servers_list();
    vtt::load_sandbox_key();  // the workers verify the signed records, as the daemon's do
    Workers w;
    for (int i = 0; i < 2; ++i) {
        pid_t p = vt_perfdata_gm_dispatcher();
        ASSERT_GT(p, 0);
        w.pids.push_back(p);
    }
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == 2; }, 15000));
    std::string log = log_text();
    for (pid_t p : w.pids)
        EXPECT_NE(log.find("processing vtdb_perfdata queue - pid " + std::to_string(p)), std::string::npos);
    const long selects_before = server_count(sql, "Com_select");
    const long inserts_before = server_count(sql, "Com_insert");

    // Every record names the same 20 new metrics, so both workers race to register them.
    const int records = 60;
    for (int r = 0; r < records; ++r) {
        std::string perf;
        for (int i = 0; i < 20; ++i)
            perf += "n" + std::to_string(i) + "=" + std::to_string(r) + "ms;50;100;0 ";
        vtt::gearman_submit("vtdb_perfdata", record(1700000000 + r, host, "1", perf), true);
    }
    vtt::gearman_submit("vtdb_perfdata", record(1700000000, host, "HOST", "rta=0.5ms;100;200;0"), true);
    vtt::gearman_submit("vtdb_perfdata", "garbage without tabs", true);
    const long expected = records * 20 + 1;
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].total == 0; }, 60000));
    // Two services, two workers: each worker at most one registration and one read a service.
    EXPECT_LE(server_count(sql, "Com_select") - selects_before, 2 * 2);
    EXPECT_LE(server_count(sql, "Com_insert") - inserts_before, (records + 1) + 2 * 2);
    EXPECT_EQ(sql.count("vtperf.service_perf_111"), expected);
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=111 AND service_id=1"), 20);
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=111 AND service_id=-1 AND metric='rta'"), 1);
    // Every value carries its metric's registered id.
    EXPECT_EQ(sql.count("vtperf.service_perf_111 v LEFT JOIN vtcfg.service_metric m ON m.metric_id=v.metric_id "
                        "WHERE m.metric_id IS NULL OR m.service_id <> v.service_id"),
              0);
    EXPECT_EQ(sql.count("vtperf.service_perf_111 WHERE service_id=-1"), 1);
}

TEST_F(PerfdataStore, WorkerWaitsForTheDatabaseBeforeTakingJobs)
{
    const int host = 112;
    fresh_host(host);
    status_row(host, 1, "srv12", "Late");
    sql.exec("INSERT INTO vtcfg.service_metric (host_id, service_id, metric, unit, value_min, value_max) VALUES "
             "(112, 1, 'known', 'B', 0, 10)");
    if (!job_servers_root)
        vtdb_populate_job_servers_list();
    size_t log_offset = log_text().size();
    vtt::mariadb_stop();
    Workers w;
    pid_t p = vt_perfdata_gm_dispatcher();
    ASSERT_GT(p, 0);
    w.pids.push_back(p);
    const std::string retry = "ERROR Could not load metric list - retring in 5 seconds";
    bool retried = vtt::wait_until([&] { return log_text().find(retry, log_offset) != std::string::npos; }, 20000);
    long serving = vtt::gearman_status()["vtdb_perfdata"].workers;
    vtt::mariadb_start();
    ASSERT_TRUE(retried);
    EXPECT_EQ(serving, 0);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].workers == 1; }, 20000));
    EXPECT_NE(log_text().find("processing vtdb_perfdata queue - pid " + std::to_string(p), log_offset),
              std::string::npos);

    vtt::Sql after;
    vtt::gearman_submit("vtdb_perfdata", record(1700000000, host, "1", "known=5B;;;0;10"), true);
    ASSERT_TRUE(vtt::wait_until([&] {
        return after.count("information_schema.tables WHERE table_schema='vtperf' AND table_name='service_perf_112'") == 1 &&
               after.count("vtperf.service_perf_112") == 1;
    }, 20000));
    EXPECT_EQ(after.count("vtcfg.service_metric WHERE host_id=112"), 1);
}

// The records of a batch go in one transaction, a record for a host without its table included.
TEST_F(PerfdataStore, BatchOfRecordsIsStoredInOneTransaction)
{
    const int known = 121, fresh = 122;
    fresh_host(known);
    fresh_host(fresh);
    ASSERT_EQ(vt_process_perfdata(record(1700000000, known, "1", "a=1 b=2").c_str()), 0);
    vtt::gearman_drain("vtdb_perfdata");
    Workers w;
    pid_t p = start_worker(w);
    ASSERT_GT(p, 0);
    const long commits_before = server_count(sql, "Com_commit");
    std::string batch;
    const std::vector<std::string> records = {
        record(1700000060, known, "1", "a=3 b=4"), record(1700000060, fresh, "1", "c=5"),
        record(1700000120, known, "1", "a=6 b=7"), record(1700000120, known, "2", "a=8")};
    for (const std::string &r : records)
        vt::batch_append(batch, r.data(), r.size());
    vtt::gearman_submit("vtdb_perfdata", batch, true);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].total == 0; }, 20000));
    EXPECT_EQ(server_count(sql, "Com_commit") - commits_before, 1);
    EXPECT_EQ(sql.count("vtperf.service_perf_121"), 2 + 4 + 1);
    ASSERT_TRUE(table_exists(fresh));
    EXPECT_EQ(sql.count("vtperf.service_perf_122 v JOIN vtcfg.service_metric m ON m.metric_id = v.metric_id AND "
                        "m.metric = 'c' WHERE v.perf_value = 5"),
              1);
}

// A batch of services seen for the first time, as at a first start: their new metrics are
// registered with one statement and read back with one read, however many services, and each
// value lands under its own metric's id; a service near the limit is still held to it, and a
// metric registered meanwhile by another worker is taken as it is.
TEST_F(PerfdataStore, NewServicesOfABatchRegisterTogether)
{
    const int host = 124;
    fresh_host(host);
    sql.exec("CREATE TABLE vtperf.service_perf_124 LIKE vtperf.service_perf");
    vtt::gearman_drain("vtdb_perfdata");
    Workers w;
    pid_t p = start_worker(w);
    ASSERT_GT(p, 0);
    // Registered by another worker since this one loaded its registry.
    sql.exec("INSERT INTO vtcfg.service_metric (host_id, service_id, metric, unit) VALUES (124, 3, 'load', '')");
    const std::string other_id = sql.scalar("SELECT metric_id FROM vtcfg.service_metric WHERE host_id=124 AND "
                                            "service_id=3");
    std::string batch;
    std::vector<std::string> records;
    for (int svc = 1; svc <= 20; ++svc)
        records.push_back(record(1700000000, host, std::to_string(svc), "load=" + std::to_string(svc) + " users=3"));
    // The same service twice in one batch, with a metric more the second time.
    records.push_back(record(1700000060, host, "1", "load=7 users=4 procs=90"));
    for (const std::string &r : records)
        vt::batch_append(batch, r.data(), r.size());
    const long selects_before = server_count(sql, "Com_select");
    const long inserts_before = server_count(sql, "Com_insert");
    vtt::gearman_submit("vtdb_perfdata", batch, true);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].total == 0; }, 20000));
    EXPECT_EQ(server_count(sql, "Com_select") - selects_before, 1);
    EXPECT_EQ(server_count(sql, "Com_insert") - inserts_before, 1 + static_cast<long>(records.size()));
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=124"), 20 * 2 + 1);
    EXPECT_EQ(sql.scalar("SELECT metric_id FROM vtcfg.service_metric WHERE host_id=124 AND service_id=3 AND "
                         "metric='load'"),
              other_id);
    EXPECT_EQ(sql.count("vtperf.service_perf_124"), 20 * 2 + 3);
    EXPECT_EQ(sql.count("vtperf.service_perf_124 v JOIN vtcfg.service_metric m ON m.metric_id=v.metric_id AND "
                        "m.service_id=v.service_id AND m.host_id=124"),
              20 * 2 + 3);
    EXPECT_EQ(sql.count("vtperf.service_perf_124 v JOIN vtcfg.service_metric m ON m.metric_id=v.metric_id WHERE "
                        "m.metric='load' AND v.perf_value=v.service_id AND UNIX_TIMESTAMP(v.entry_time)=1700000000"),
              20);

    // A record that could take its service beyond the limit registers on its own, counting
    // what others registered first; the batch's other records still register together.
    w.pids.clear();
    vtt::kill_and_reap({p});
    VT_MAX_METRICS = 3;
    ASSERT_GT(start_worker(w), 0);
    sql.exec("INSERT INTO vtcfg.service_metric (host_id, service_id, metric) VALUES (124, 30, 'a'), (124, 30, 'b')");
    batch.clear();
    for (const std::string &r :
         {record(1700000120, host, "30", "a=1 b=2 c=3 d=4"), record(1700000120, host, "31", "x=1")})
        vt::batch_append(batch, r.data(), r.size());
    vtt::gearman_submit("vtdb_perfdata", batch, true);
    ASSERT_TRUE(vtt::wait_until([] { return vtt::gearman_status()["vtdb_perfdata"].total == 0; }, 20000));
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=124 AND service_id=30"), 3);
    EXPECT_EQ(sql.count("vtcfg.service_metric WHERE host_id=124 AND service_id=31"), 1);
    EXPECT_EQ(sql.count("vtperf.service_perf_124 WHERE service_id IN (30, 31)"), 4);
    EXPECT_NE(log_text().find("ERROR: metric d denied"), std::string::npos);
}

// Values older than the retention are deleted a chunk at a time; newer ones stay.
TEST_F(PerfdataStore, RetentionDeletesOldValuesInChunks)
{
    const int host = 123;
    fresh_host(host);
    ASSERT_EQ(vt_process_perfdata(record(std::time(nullptr), host, "1", "new=1 new2=2").c_str()), 0);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(vt_process_perfdata(record(std::time(nullptr) - (40 + i) * 86400, host, "1", "old=1").c_str()), 0);
    ASSERT_EQ(vt_process_perfdata(record(std::time(nullptr) - 20 * 86400, host, "1", "recent=1").c_str()), 0);
    const long deletes_before = server_count(sql, "Com_delete");
    PERFDATA_RETENTION_DAYS = 30;
    VT_RETENTION_CHUNK = 3;
    VT_RETENTION_PAUSE_MS = 0;
    VT_RETENTION_INTERVAL_S = 3600;
    Workers w;
    pid_t p = vt_perfdata_retention_dispatcher();
    PERFDATA_RETENTION_DAYS = 0;
    ASSERT_GT(p, 0);
    w.pids.push_back(p);
    EXPECT_TRUE(vtt::wait_until([&] { return sql.count("vtperf.service_perf_123 WHERE perf_value IS NOT NULL") == 3; },
                                20000));
    EXPECT_TRUE(vtt::wait_until([&] { return log_text().find("perfdata retention: deleted ") != std::string::npos; },
                                10000));
    // 7 old rows, 3 a statement: at least 3 deletes for this table alone.
    EXPECT_GE(server_count(sql, "Com_delete") - deletes_before, 3);
    EXPECT_EQ(sql.count("vtperf.service_perf_123 v JOIN vtcfg.service_metric m ON m.metric_id = v.metric_id WHERE "
                        "m.metric = 'old'"),
              0);
}

}  // namespace
