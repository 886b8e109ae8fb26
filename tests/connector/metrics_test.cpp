// The daemon's metrics page against the real servers: its counters agree with the rows that landed.
#include "test_support.h"
#include "vt_batch.h"
#include "vantor_config.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Another port than any other suite's servers use: derived from this build's job server.
int metrics_port()
{
    return vtt::gearman_port() + 2000;
}

// The whole answer to one request, or "" when nothing answers.
std::string http_get(const std::string &request_line)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(metrics_port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string req = request_line + "\r\nHost: localhost\r\n\r\n";
        if (write(fd, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
            char buf[8192];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                answer.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return answer;
}

std::string page()
{
    const std::string answer = http_get("GET /metrics HTTP/1.1");
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

// The value of the sample "name" (with its labels, as the page writes them), -1 when absent.
double sample(const std::string &text, const std::string &name)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + " ") == 0)
            return std::stod(line.substr(name.size() + 1));
    return -1;
}

class Metrics : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void SetUp() override
    {
        vtt::init_runtime("vantorconnector");
        conf_saved = vtt::read_file(VT_CONNECTOR_CONF);
        vtt::write_file(VT_CONNECTOR_CONF, "vtstatus_workers=1\nperfdata_workers=1\nnotify_workers=0\nmetrics_listen=127.0.0.1:" +
                                               std::to_string(metrics_port()) + "\n");
        vtt::remove_file(VT_FAILED_SQL_FILE);
        sql.exec("CREATE TABLE IF NOT EXISTS vt_test.metric_rows (k INT PRIMARY KEY, v TEXT)");
        sql.exec("DELETE FROM vt_test.metric_rows");
        sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_731");
        vtt::gearmand_start();
        for (const char *q : {"vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata"})
            vtt::gearman_drain(q);
        supervisor = vtt::start_daemon();
    }
    void TearDown() override
    {
        vtt::stop_daemon(supervisor);
        vtt::write_file(VT_CONNECTOR_CONF, conf_saved);
        sql.exec("DROP TABLE IF EXISTS vtperf.service_perf_731");
    }
    static std::string insert(int k) { return "INSERT INTO vt_test.metric_rows VALUES (" + std::to_string(k) + ", 'm')"; }
    // Waits until the page shows name at value (the counters of a job are added once it is done).
    bool shows(const std::string &name, double value)
    {
        return vtt::wait_until([&] { return sample(page(), name) == value; }, 15000);
    }
    vtt::Sql sql;
    std::string conf_saved;
    pid_t supervisor = 0;
};

TEST_F(Metrics, CountersAgreeWithTheRowsThatLanded)
{
    ASSERT_GT(supervisor, 0);
    ASSERT_TRUE(vtt::wait_until([] { return !page().empty(); }, 15000)) << "no metrics page";

    // Three signed single statements, a signed batch of four, two unsigned jobs and a forged one.
    for (int k = 1; k <= 3; ++k)
        vtt::gearman_submit("vtdb_vtstatus", insert(k));
    std::string batch;
    for (int k = 4; k <= 7; ++k) {
        const std::string s = insert(k);
        vt::batch_append(batch, s.data(), s.size());
    }
    vtt::gearman_submit("vtdb_vtstatus", batch);
    vtt::gearman_submit_unsigned("vtdb_vtstatus", insert(20));
    vtt::gearman_submit_unsigned("vtdb_vtstatus", insert(21));
    std::string forged = vtt::signed_job("vtdb_vtstatus", insert(22));
    forged[forged.size() - 3] = '9';
    vtt::gearman_submit_unsigned("vtdb_vtstatus", forged);
    // One statement that fails: it is kept in the failed-SQL file and counted as such.
    vtt::gearman_submit("vtdb_vtstatus", "INSERT INTO vt_test.no_such_table VALUES (1)");
    vtt::gearman_submit("vtdb_vtstatus", insert(8));

    ASSERT_TRUE(vtt::wait_until([&] { return sql.count("vt_test.metric_rows") == 8; }, 15000));
    ASSERT_TRUE(shows("vantor_jobs_taken_total{queue=\"vtdb_vtstatus\"}", 9));
    const std::string text = page();
    EXPECT_EQ(9, sample(text, "vantor_messages_total{queue=\"vtdb_vtstatus\"}"));  // 8 rows and the failure
    EXPECT_EQ(1, sample(text, "vantor_messages_failed_total{queue=\"vtdb_vtstatus\"}"));
    EXPECT_EQ(1, vtt::count_lines_containing(VT_FAILED_SQL_FILE, "no_such_table"));
    EXPECT_EQ(2, sample(text, "vantor_jobs_refused_total{queue=\"vtdb_vtstatus\",reason=\"unsigned\"}"));
    EXPECT_EQ(1, sample(text, "vantor_jobs_refused_total{queue=\"vtdb_vtstatus\",reason=\"bad_signature\"}"));
    EXPECT_EQ(0, sample(text, "vantor_jobs_refused_total{queue=\"vtdb_perfdata\",reason=\"unsigned\"}"));
    // Six accepted jobs went through the batch histogram; their waits were measured from the
    // signature's time stamp, so none is older than this test.
    EXPECT_EQ(6, sample(text, "vantor_batch_seconds_count{queue=\"vtdb_vtstatus\"}"));
    EXPECT_EQ(6, sample(text, "vantor_job_wait_seconds_count{queue=\"vtdb_vtstatus\"}"));
    EXPECT_EQ(6, sample(text, "vantor_job_wait_seconds_bucket{queue=\"vtdb_vtstatus\",le=\"60\"}"));
    EXPECT_GT(sample(text, "vantor_last_job_taken_timestamp_seconds{queue=\"vtdb_vtstatus\"}"), 0);

    // A record of two values lands as two rows, and the page says two.
    vtt::gearman_submit("vtdb_perfdata", std::to_string(time(nullptr)) + "\t731\t5\tload=1.5;3;4 users=7", true);
    ASSERT_TRUE(vtt::wait_until([&] {
        try {
            return sql.count("vtperf.service_perf_731") == 2;
        } catch (...) {
            return false;  // the table is made with the first value
        }
    }, 15000));
    EXPECT_TRUE(shows("vantor_values_stored_total", 2));
    EXPECT_EQ(1, sample(page(), "vantor_jobs_taken_total{queue=\"vtdb_perfdata\"}"));
}

TEST_F(Metrics, RestartsAreCountedAndThePageIsValidExpositionText)
{
    ASSERT_GT(supervisor, 0);
    ASSERT_TRUE(vtt::wait_until([] { return !page().empty(); }, 15000)) << "no metrics page";
    EXPECT_EQ(0, sample(page(), "vantor_child_restarts_total{kind=\"status_worker\"}"));
    // The status worker announced itself: kill it, and the restart is counted.
    pid_t worker = 0;
    ASSERT_TRUE(vtt::wait_until([&] {
        const std::string log = vtt::read_file(vtt::daemon_log());
        const size_t at = log.rfind("processing vtdb_vtstatus queue - pid ");
        if (at != std::string::npos)
            worker = std::atoi(log.c_str() + at + std::strlen("processing vtdb_vtstatus queue - pid "));
        return worker > 0;
    }, 10000));
    kill(worker, SIGKILL);
    EXPECT_TRUE(shows("vantor_child_restarts_total{kind=\"status_worker\"}", 1));

    // The killed metrics child comes back and counts itself, the counters kept: they live in
    // memory the supervisor shares, not in the child.
    pid_t server = 0;
    for (pid_t kid : vtt::children_of(supervisor)) {
        const std::string cmdline_log = vtt::read_file(vtt::daemon_log());
        if (cmdline_log.find("serving metrics on 127.0.0.1:" + std::to_string(metrics_port()) + " - pid " +
                             std::to_string(kid)) != std::string::npos)
            server = kid;
    }
    ASSERT_GT(server, 0);
    kill(server, SIGKILL);
    EXPECT_TRUE(shows("vantor_child_restarts_total{kind=\"metrics\"}", 1));
    EXPECT_EQ(1, sample(page(), "vantor_child_restarts_total{kind=\"status_worker\"}"));

    // Only the page is served.
    EXPECT_NE(std::string::npos, http_get("GET / HTTP/1.1").find(" 404 "));
    EXPECT_NE(std::string::npos, http_get("POST /metrics HTTP/1.1").find(" 405 "));

    // Prometheus' own checker reads the page as valid exposition text.
    const std::string file = vtt::path("/var/metrics-page.txt");
    vtt::write_file(file, page());
    const int rc = std::system(("promtool check metrics < " + file + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(0, rc) << "promtool check metrics refused the page: " << vtt::read_file(file).substr(0, 2000);
    vtt::remove_file(file);
}

}  // namespace
