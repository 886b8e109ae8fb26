// State history rows and the initial-state walk at the event-loop start.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>

#include "records_fixture.h"

namespace {

using vtr::date;
using vtr::quoted;

using LogState = int (*)(int, void *, const char *, const char *, unsigned long long, unsigned long long);
using CheckHost = int (*)(host *, const char *);

// Children of this process that ended and were never collected.
size_t zombies() {
    size_t n = 0;
    for (const std::string &name : vtt::list_dir("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = vtt::read_file("/proc/" + name + "/stat");
        const size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        std::istringstream f(stat.substr(close_paren + 2));
        char state = 0;
        long parent = 0;
        f >> state >> parent;
        if (parent == getpid() && state == 'Z')
            n++;
    }
    return n;
}

class History : public vtr::RecordsTest {
protected:
    // hosts x services objects with ids from first_id on and no history tables, so that
    // every comparison fails and every object gets a row.
    void big_world(int hosts, int services, int first_id) {
        vtt::Sql sql;
        for (int i = 0; i < hosts; i++) {
            const std::string id = std::to_string(first_id + i);
            host *h = add_host("big-" + id, id.c_str());
            for (int k = 0; k < services; k++)
                add_service(h, "svc-" + std::to_string(k), id.c_str(), std::to_string(k + 1).c_str());
        }
    }
    size_t line_of(const std::string &needle) {
        std::istringstream in(vtt::read_file(vtm::module_log()));
        std::string line;
        for (size_t n = 1; std::getline(in, line); n++)
            if (line.find(needle) != std::string::npos)
                return n;
        return 0;
    }
};

const char *const HOST_ROW = "INSERT INTO vantor4.host_state_change_%s (entry_time, current_state, state_type, "
                             "current_attempt, plugin_output, initial_log_state, display_status, sla_breach_end, "
                             "comment, long_plugin_output, entry_time_ms) VALUES ";
const char *const SERVICE_ROW = "INSERT INTO vantor4.service_state_change_%s (entry_time, service_id, "
                                "current_state, state_type, current_attempt, plugin_output, initial_log_state, "
                                "display_status, sla_breach_end, comment, long_plugin_output, entry_time_ms) VALUES ";

std::string head(const char *f, const char *id) {
    std::string s = f;
    return s.replace(s.find("%s"), 2, id);
}

TEST_F(History, StateChangesAndStalkedObjects) {
    start();
    host *h = add_host("hist-host", "50");
    service *s = add_service(h, "hist-svc", "50", "20");
    service *stalked = add_service(h, "stalked", "50", "21");
    stalked->stalking_options = 1;
    standin::set_text(h->plugin_output, "UP 'x'");
    h->state_type = 0;  // UP and soft: recorded hard, the engine's object left alone
    s->current_state = 2;
    s->state_type = 0;
    standin::set_text(s->plugin_output, "CRIT");
    standin::set_text(s->long_plugin_output, "long");
    standin::set_text(stalked->perf_data, "x=1");

    standin::raise_state_change_at(h, nullptr, {1700000000, 123456});
    standin::raise_state_change_at(nullptr, s, {0, 987654});
    standin::raise_state_change(h, nullptr, NEBTYPE_STATECHANGE_START);
    standin::raise_state_change(nullptr, stalked);
    standin::raise_service_check_at(stalked, {1700000001, 0});
    auto log_state = reinterpret_cast<LogState>(standin::module_symbol(mod, "vtdb_log_state"));
    ASSERT_NE(nullptr, log_state);
    EXPECT_EQ(0, log_state(1, s, nullptr, "'a comment'", 1700000002, 5000));

    const std::vector<std::string> got = status_jobs(4);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(head(HOST_ROW, "50") + "(" + date(1700000000) + ",0,1,1,'UP \\'x\\'',0,0,NULL,NULL,NULL,1700000000123);",
              got[0]);
    EXPECT_EQ(0, h->state_type);
    EXPECT_EQ(head(SERVICE_ROW, "50") + "(NULL,20,2,0,1,'CRIT',0,0,NULL,NULL,'long',987);", got[1]);
    EXPECT_EQ(head(SERVICE_ROW, "50") + "(" + date(1700000001) + ",21,0,1,1,NULL,0,0,NULL,NULL,NULL,1700000001000);",
              got[2])
        << "a stalked service gets its row from the check result";
    EXPECT_EQ(head(SERVICE_ROW, "50") + "(" + date(1700000002) +
                  ",20,2,0,1,'CRIT',0,0,NULL,'a comment','long',1700000002005);",
              got[3]);
    EXPECT_EQ(1u, jobs("vtdb_perfdata", 1).size()) << "the stalked service's perfdata follows its row";

    host *anon = add_host("anon", nullptr);
    anon->display_status = 3;
    EXPECT_EQ(-2, log_state(0, anon, nullptr, nullptr, 1, 0));
    EXPECT_EQ(1u, log_count("vtdb_handle_state_change: could not find host_id anon - 3"));
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
}

TEST_F(History, InitialStatesOnlyForChangedObjectsOneStatementPerHost) {
    vtt::Sql sql;
    sql.exec("CALL vantor4.vt_create_host_tables(51)");
    sql.exec("DELETE FROM vantor4.host_state_change_51");
    sql.exec("DELETE FROM vantor4.service_state_change_51");
    sql.exec("DROP TABLE IF EXISTS vantor4.host_state_change_52, vantor4.service_state_change_52");
    // Hosts 51 and 52 are new to the registry: the walk makes their history tables.
    sql.exec("DELETE FROM vtcfg.host_registry WHERE host_id IN (51, 52) OR host_name LIKE 'init-%'");
    sql.exec("DELETE FROM vtcfg.service_registry WHERE host_id IN (51, 52, 53) OR host_name LIKE 'init-%'");
    // Last rows: the host as it is; service 31 as it is, 32 differs only in the attempt,
    // 33 has none, 34 differs in its state; 35 is stalked.
    sql.exec("INSERT INTO vantor4.host_state_change_51 (current_state, state_type, current_attempt, entry_time_ms) "
             "VALUES (1,1,1,1), (0,1,1,2)");
    sql.exec("INSERT INTO vantor4.service_state_change_51 (service_id, current_state, state_type, current_attempt, "
             "entry_time_ms) VALUES (31,0,1,1,5), (32,0,1,2,5), (34,2,1,3,1), (34,0,1,1,2), (35,0,0,0,1)");
    host *h = add_host("init-51", "51");
    service *svc[5];
    for (int i = 0; i < 5; i++)
        svc[i] = add_service(h, "s" + std::to_string(31 + i), "51", std::to_string(31 + i).c_str());
    svc[3]->current_state = 2;
    svc[3]->current_attempt = 3;
    svc[3]->state_type = 1;
    standin::set_text(svc[3]->plugin_output, "it's down");
    svc[4]->stalking_options = 4;
    host *missing = add_host("init-52", "52");
    add_service(missing, "s1", "52", "36");

    // The engine's own database connection, open before the walk.
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    // Added after the load, this host has no id.
    host *anon = add_host("init-anon", nullptr);
    add_service(anon, "s1", "53", "37");
    auto check_host = reinterpret_cast<CheckHost>(standin::module_symbol(mod, "vtdb_check_host_last_state"));
    EXPECT_EQ(0, check_host(h, "51"));
    const std::string engine_conn = sql.scalar("SELECT GROUP_CONCAT(ID) FROM information_schema.PROCESSLIST "
                                               "WHERE USER='vantor'");
    ASSERT_FALSE(engine_conn.empty());
    h->state_type = 0;  // UP: compared and written as hard
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    EXPECT_EQ(0u, zombies()) << "the walk's intermediate process is collected at once";
    ASSERT_EQ(4u, status_jobs(4).size());
    ASSERT_TRUE(vtt::wait_until([&] { return log_count("Initial states totals: hosts: 3 / services 7") == 1; },
                                20000));

    const std::vector<std::string> rows = jobs("vtdb_statuspri", 3);
    ASSERT_EQ(3u, rows.size());
    const std::string t = vtr::date(time(nullptr)).substr(0, 11);  // the day; the time is the walk's
    ASSERT_EQ(0u, rows[0].find(head(SERVICE_ROW, "51") + "(" + t)) << rows[0];
    const size_t ms_at = rows[0].rfind(',') + 1;
    const std::string ms = rows[0].substr(ms_at, rows[0].size() - ms_at - 2);
    const size_t stamp_at = head(SERVICE_ROW, "51").size() + 1;
    const std::string stamp = rows[0].substr(stamp_at, 21);
    EXPECT_EQ(head(SERVICE_ROW, "51") + "(" + stamp + ",32,0,1,1,NULL,1,0,NULL,NULL,NULL," + ms + "),(" + stamp +
                  ",33,0,1,1,NULL,1,0,NULL,NULL,NULL," + ms + "),(" + stamp + ",34,2,1,3," + quoted("it's down") +
                  ",1,0,NULL,NULL,NULL," + ms + ");",
              rows[0]);
    EXPECT_EQ(0u, rows[1].find(head(HOST_ROW, "52") + "(" + stamp + ",0,1,1,NULL,1,0,NULL,NULL,NULL," + ms + ");"))
        << rows[1];
    EXPECT_EQ(0u, rows[2].find(head(SERVICE_ROW, "52") + "(" + stamp + ",36,")) << rows[2];
    EXPECT_EQ(0, h->state_type) << "the walk changes only its own copy of the engine";
    // The object without ids was neither compared nor written, and host 52, new to the
    // registry, had its tables made before its comparison: no query failed.
    EXPECT_EQ(0u, log_count("MYSQL ERROR"));
    EXPECT_EQ(2, sql.count("information_schema.tables WHERE table_schema='vantor4' AND table_name IN "
                           "('host_state_change_52', 'service_state_change_52')"));

    // The engine's connections are untouched: its database session still exists, and its
    // job-server client still submits.
    EXPECT_EQ(engine_conn, sql.scalar("SELECT GROUP_CONCAT(ID) FROM information_schema.PROCESSLIST WHERE "
                                      "USER='vantor' AND ID IN (" + engine_conn + ")"));
    h->state_type = 1;
    EXPECT_EQ(0, check_host(h, "51"));
    EXPECT_EQ(0, standin::raise_host_status(h));
    EXPECT_EQ(1u, status_jobs(1).size());
    auto count_delayed = reinterpret_cast<int (*)()>(standin::module_symbol(mod, "get_count_delayed"));
    EXPECT_EQ(0, count_delayed());
    EXPECT_EQ(0u, zombies());
}

TEST_F(History, WithoutTheDatabaseEveryObjectGetsItsRowAtOnce) {
    big_world(2, 2, 3000);
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    vtt::mariadb_stop();
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    const bool done =
        vtt::wait_until([&] { return log_count("Initial states totals: hosts: 2 / services 4") == 1; }, 10000);
    vtt::mariadb_start();
    ASSERT_TRUE(done) << "the walk waited for the database";
    EXPECT_EQ(1u, log_count("database unreachable, every object gets its initial row"));
    EXPECT_EQ(4u, jobs("vtdb_statuspri", 4).size());
}

// A first start writes a row for every object: they reach the job server a batch at a time,
// not one job each, and every one of them arrives.
TEST_F(History, TheWalksRowsGoInBatches) {
    big_world(300, 2, 3200);
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    vtt::mariadb_stop();  // no comparison: every object gets its row, as fast as the walk goes
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    const bool done =
        vtt::wait_until([&] { return log_count("Initial states totals: hosts: 300 / services 600") == 1; }, 20000);
    vtt::mariadb_start();
    ASSERT_TRUE(done);
    // 300 host rows and 300 statements of service rows, at most 200 messages a job (and a
    // batch that waited a second goes as it is).
    const long queued = waiting("vtdb_statuspri");
    EXPECT_GE(queued, 3);
    EXPECT_LE(queued, 6);
    const std::vector<std::string> rows = jobs("vtdb_statuspri", 600);
    ASSERT_EQ(600u, rows.size());
    EXPECT_EQ(0u, rows[0].find(head(HOST_ROW, "3200"))) << rows[0];
    EXPECT_EQ(0u, rows[1].find(head(SERVICE_ROW, "3200"))) << rows[1];
    EXPECT_EQ(0u, rows[599].find(head(SERVICE_ROW, "3499"))) << rows[599];
}

TEST_F(History, ARestartEndsTheOlderWalk) {
    big_world(600, 4, 3000);
    start();
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);  // SIGHUP: the event loop starts again
    ASSERT_TRUE(vtt::wait_until([&] { return log_count("Initial states totals: hosts: 600 / services 2400") == 1; },
                                60000));
    EXPECT_EQ(1u, log_count("Log initial states - naemon restarted, bye"));
    EXPECT_LT(line_of("naemon restarted, bye"), line_of("Initial states totals"))
        << "the newer walk runs once the older one has stopped";
    EXPECT_EQ(0u, zombies());
}

TEST_F(History, TheEngineEndingStopsTheWalk) {
    const pid_t engine = fork();
    ASSERT_GE(engine, 0);
    if (engine == 0) {
        big_world(600, 4, 3000);
        if (!load())
            _exit(1);
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        pause();
        _exit(0);
    }
    ASSERT_TRUE(vtt::wait_until([&] { return log_count("MYSQL ERROR") > 0; }, 20000));
    kill(engine, SIGKILL);
    int status = 0;
    waitpid(engine, &status, 0);
    EXPECT_TRUE(vtt::wait_until([&] { return log_count("Log initial states - naemon restarted, bye") == 1; }, 20000));
    EXPECT_EQ(0u, log_count("Initial states totals"));
    // What the walk submitted before it stopped stays submitted; nothing is left in memory.
    EXPECT_EQ(0u, vtt::list_dir(vtt::path("/var/delayed-messages")).size());
}

// An open descriptor of this process, as the engine holds its sockets and pipes, and an
// exclusive lock on a file for as long as it lives.
struct Locked {
    explicit Locked(const std::string &file) : fd(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        EXPECT_EQ(0, flock(fd, LOCK_EX)) << file;
    }
    ~Locked() { close(fd); }
    int fd;
};

// The walk keeps nothing of the engine's open while it runs (here it waits for the lock of
// an older walk), and a dump lock held by another process when it ends does not lose its
// rows: they reach the dump once the lock is free.
TEST_F(History, TheWalkHoldsNoEngineDescriptorAndWaitsForTheDumpLock) {
    big_world(3, 2, 3100);
    ASSERT_NE(nullptr, load()) << standin::last_load_error();
    int engine_pipe[2];
    ASSERT_EQ(0, pipe(engine_pipe));
    auto walk_lock = std::make_unique<Locked>(vtt::path("/var/vtdb-initial-states.lock"));
    auto dump_lock = std::make_unique<Locked>(vtt::path("/var/delayed-messages.dump"));
    vtt::gearmand_stop();  // every row the walk makes goes to its delayed queue
    standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
    close(engine_pipe[1]);
    struct pollfd p = {engine_pipe[0], POLLIN, 0};
    EXPECT_EQ(1, poll(&p, 1, 5000)) << "the walk holds the engine's pipe open";
    close(engine_pipe[0]);
    EXPECT_EQ(0u, log_count("Initial states totals"));

    walk_lock.reset();
    ASSERT_TRUE(vtt::wait_until([&] { return log_count("Initial states totals: hosts: 3 / services 6") == 1; },
                                20000));
    usleep(1500 * 1000);
    dump_lock.reset();
    auto walk_lines = [] {
        long n = 0;
        for (const std::string &f : vtt::list_dir(vtt::path("/var/delayed-messages")))
            n += vtt::count_lines_containing(vtt::path("/var/delayed-messages/" + f), "vtdb_statuspri\t");
        return n;
    };
    EXPECT_TRUE(vtt::wait_until([&] { return walk_lines() == 6; }, 5000)) << walk_lines();
    EXPECT_EQ(0u, log_count("unable to dump messages"));
}

// A database that stalls while the walk compares neither keeps the walk alive after the
// engine has gone nor holds it up.
TEST_F(History, AStalledDatabaseDoesNotKeepTheWalk) {
    const pid_t engine = fork();
    ASSERT_GE(engine, 0);
    if (engine == 0) {
        big_world(600, 4, 3000);
        if (!load())
            _exit(1);
        standin::raise_process_event(NEBTYPE_PROCESS_EVENTLOOPSTART);
        pause();
        _exit(0);
    }
    ASSERT_TRUE(vtt::wait_until([&] { return log_count("MYSQL ERROR") > 0; }, 20000));
    {
        vtt::MariadbPaused stalled;
        usleep(500 * 1000);  // the walk, comparing object after object, is now stuck in one
        kill(engine, SIGKILL);
        waitpid(engine, nullptr, 0);
        EXPECT_TRUE(vtt::wait_until([&] { return log_count("Log initial states - naemon restarted, bye") == 1; },
                                    20000));
    }
    EXPECT_EQ(1u, log_count("database stalled, every further object gets its initial row"));
}

}  // namespace
