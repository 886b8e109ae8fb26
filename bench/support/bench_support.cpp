// Helpers of the benchmarks that measure the database: its settings, CPU and status counters.
#include "bench_support.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vtb {

std::string default_db_cnf() { return std::string(VT_SOURCE_DIR) + "/etc/mariadb/vantor.cnf"; }

std::string sized_db_cnf(int services)
{
    const std::string shipped = default_db_cnf();
    if (services <= kShippedServices)
        return shipped;
    // The shipped file's rules (docs/sizing.md): three tables a host of ten services and room
    // for 10,000 more, two files an open table, 850 MB of buffer pool for 10,000 services; the
    // pool at most half of this machine's memory, which also runs the engine and the workers.
    const long long hosts = (services + 9) / 10;
    const long long tables = 3 * hosts + 10000;
    const long long files = 2 * tables + 10000;
    const long long mb = std::min<long long>(850LL * services / 10000,
                                             static_cast<long long>(sysconf(_SC_PHYS_PAGES)) / 2 *
                                                 sysconf(_SC_PAGESIZE) / (1024 * 1024));
    const std::string path = std::string(VT_TEST_STATE_DIR) + "/vantor-" + std::to_string(services) + ".cnf";
    // The later line of a setting wins: the shipped file, then the scaled values.
    const std::string text = vtt::read_file(shipped) + "\n# Scaled for " + std::to_string(services) +
                             " services by the benchmark.\n[mariadbd]\ntable_definition_cache = " +
                             std::to_string(tables) + "\ntable_open_cache = " + std::to_string(tables) +
                             "\ninnodb_open_files = " + std::to_string(tables) + "\nopen_files_limit = " +
                             std::to_string(files) + "\ninnodb_buffer_pool_size = " + std::to_string(mb) + "M\n";
    if (vtt::read_file(path) != text)
        vtt::write_file(path, text);
    // The server cannot open more files than the limit it inherits; as root the benchmark
    // raises it, as a unit's LimitNOFILE would.
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_max < static_cast<rlim_t>(files)) {
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(files);
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
            std::printf("cannot raise the open-files limit to %lld (%s): the server's table cache stays below "
                        "its setting\n",
                        files, std::strerror(errno));
    }
    return path;
}

std::unique_ptr<vtt::Sql> database_with(const std::string &cnf)
{
    // The services script reads the variable; its children (the server) need not.
    if (cnf == "small")
        unsetenv("VT_MARIADB_CNF");
    else
        setenv("VT_MARIADB_CNF", cnf.c_str(), 1);
    vtt::mariadb_start();
    unsetenv("VT_MARIADB_CNF");
    auto sql = std::make_unique<vtt::Sql>();
    // What the figures were measured with: a limit of open files below the settings (in a
    // container, say) lowers the table cache, and shows here.
    std::printf("database settings (%s):", cnf.c_str());
    const char *names[] = {"innodb_buffer_pool_size", "innodb_log_file_size", "innodb_flush_log_at_trx_commit",
                           "table_definition_cache", "table_open_cache", "innodb_open_files", "open_files_limit",
                           "max_connections"};
    for (const char *v : names)
        std::printf(" %s=%s", v, sql->scalar(std::string("SELECT @@") + v).c_str());
    std::printf("\n");
    return sql;
}

double cpu_of(pid_t pid)
{
    std::string stat = vtt::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    unsigned long long u = 0, k = 0;
    if (at == std::string::npos ||
        std::sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &u, &k) != 2)
        return 0;
    return static_cast<double>(u + k) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double wait_for_quiet(pid_t pid, double max_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    // Below 5 % of a core over 5 s: the flushing and purging of earlier work is done.
    while (elapsed() < max_seconds) {
        const double before = cpu_of(pid);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        if (cpu_of(pid) - before < 0.25)
            return elapsed();
    }
    return -1;
}

pid_t server_pid(const std::string &pid_file)
{
    return static_cast<pid_t>(std::atol(vtt::read_file(std::string(VT_TEST_STATE_DIR) + "/" + pid_file).c_str()));
}

Counters db_counters(vtt::Sql &sql)
{
    Counters c;
    for (const vtt::Row &r : sql.rows("SHOW GLOBAL STATUS"))
        if (r.size() == 2 && r[0] && r[1])
            c[*r[0]] = std::atof(r[1]->c_str());
    return c;
}

double delta(const Counters &before, const Counters &after, const std::string &name)
{
    const auto a = before.find(name), b = after.find(name);
    return (b == after.end() ? 0 : b->second) - (a == before.end() ? 0 : a->second);
}

bool parse_command_line(int argc, char **argv, std::vector<int *> positional,
                        const std::map<std::string, std::function<bool(const char *)>> &options)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const auto option = options.find(a);
        if (option != options.end()) {
            if (i + 1 >= argc || !option->second(argv[++i]))
                return false;
        } else if (!a.empty() && a[0] != '-' && !positional.empty()) {
            *positional.front() = std::atoi(a.c_str());
            positional.erase(positional.begin());
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace vtb
