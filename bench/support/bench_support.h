// Helpers of the benchmarks that measure the database: its settings, CPU and status counters.
#ifndef VT_BENCH_SUPPORT_H
#define VT_BENCH_SUPPORT_H

#include "test_support.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <sys/types.h>

namespace vtb {

// The checkout's production server settings, which the benchmarks run with by default.
std::string default_db_cnf();
// The services the shipped settings are made for.
constexpr int kShippedServices = 100000;
// The shipped settings for a number of services: the shipped file up to kShippedServices, and
// above it a copy in the servers' state folder with the table caches, the open-files limit and
// the buffer pool scaled as the sizing rules say (the limit of this process raised to match).
std::string sized_db_cnf(int services);

// Starts the build's private MariaDB with the settings of cnf (a server configuration file, or
// "small" for the tests' own settings), restarting it when it runs with others, and prints the
// settings it runs with. Returns an admin connection to it.
std::unique_ptr<vtt::Sql> database_with(const std::string &cnf);

// CPU seconds (user and system) a live process has used, 0 when it cannot be read.
double cpu_of(pid_t pid);
// Waits until the process has used less than 5 % of a core for 5 s (a server done with the
// background work of what came before), at most max_seconds. Returns the seconds waited, -1
// when it did not become quiet.
double wait_for_quiet(pid_t pid, double max_seconds);
// The pid written in a file of the private servers' state folder ("mysql.pid", "gearmand.pid").
pid_t server_pid(const std::string &pid_file);

// The server's global status counters by name, and the change of one between two readings.
using Counters = std::map<std::string, double>;
Counters db_counters(vtt::Sql &sql);
double delta(const Counters &before, const Counters &after, const std::string &name);

// Reads the command line: bare numbers into the positional values in order, and each option of
// options (with one value) through its handler, which returns false for a value it refuses.
// False on anything else (the caller prints its usage).
bool parse_command_line(int argc, char **argv, std::vector<int *> positional,
                        const std::map<std::string, std::function<bool(const char *)>> &options);

}  // namespace vtb

#endif
