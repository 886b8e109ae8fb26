// Parts of the simulated engine: its objects, database provisioning and command pipe.
#ifndef VANTOR_ENGINE_SIM_H
#define VANTOR_ENGINE_SIM_H

#include "standin.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    int hosts = 3;               // generated hosts
    int services = 2;            // services per host
    int first_host_id = 1;       // database id of the first host
    int seconds = 0;             // run time; 0 runs until SIGTERM or SIGINT
    int status_interval = 5;     // seconds between status dumps
    bool provision = true;       // write the vtcfg rows and history tables first
    bool show_status = false;    // print the program-status row before shutting down
    std::string module;          // path of the module to load
    std::string ledger;          // keep a ledger of what was published in this file
    std::string reconcile;       // only compare this ledger with the database, then exit
    int settle = 60;             // how long the comparison waits for missing rows
};

// The generated configuration: hosts "sim-host-<n>" with services "sim-service-<k>", the
// contacts and commands they use. Ids are in the custom variables _HOST_ID and _SERVICE_ID.
struct World {
    std::vector<host *> hosts;
    std::vector<service *> services;
    std::vector<contact *> contacts;
    std::vector<command *> commands;
    std::vector<int> host_ids;
};

World build_world(const Options &opt);

// ---- Checks (sim_checks.cpp): every host and service gets a result on its interval. ----

struct CheckOptions {
    int interval = 10;        // seconds between two checks of one object; 0 runs no checks
    int change_percent = 2;   // chance in percent that a result differs from the one before
    int metrics = 5;          // performance-data metrics per service result
};

// Called for every state change the checks produce (svc NULL for a host change), after the
// state-change event and before the check-result and status events of that check: where the
// engine sends its notifications. The object already holds its new state.
using StateChangeListener = std::function<void(host *hst, service *svc)>;
void add_state_change_listener(StateChangeListener listener);

// Runs the checks of a world at a steady rate: each object once per interval, the objects
// spread evenly over it. For each check it raises, as the engine does: check initiated, the
// state change (if any) and its listeners, check processed, the object's status.
class CheckActivity {
public:
    CheckActivity(const World &world, const CheckOptions &options);
    // Runs every check due by now.
    void run_due();
    long checks() const { return checks_; }
    long state_changes() const { return state_changes_; }
    // Checks due by now on the schedule (more than checks() when the simulation fell behind).
    long long due() const;

private:
    void check_host(host *h);
    void check_service(service *s);

    std::vector<host *> hosts_;
    std::vector<service *> services_;
    CheckOptions options_;
    double started_;     // monotonic seconds
    long long done_ = 0;  // checks run since the start
    long checks_ = 0;
    long state_changes_ = 0;
};

// ---- Notifications (sim_notify.cpp). ----

// Makes hard state changes notify every contact of the object by each of its notification
// methods, as the engine does (method start and end events). The notification commands
// append their line, with the user that ran them, to file, which is created writable by all.
void enable_notifications(const World &world, const std::string &file);
// Contact notification methods raised, and how many of them a module took over.
long notifications_sent();
long notifications_taken_over();

// Connection parameters read from db.php.
struct DbSettings {
    std::string host, user, password;
    unsigned int port = 3306;
};

// Reads db.php; false (with error set) when the file cannot be read or lacks DBHOST.
bool read_db_settings(const std::string &path, DbSettings &out, std::string &error);

// Writes what the database needs for the world: a vtcfg row for each contact and command
// (when no row of that name exists) and each host's history tables. False with error set
// when a statement fails.
bool provision(const World &world, const DbSettings &db, std::string &error);

// Prints the program-status row of the status database (as the connector daemon wrote it)
// to out. False with error set when it cannot be read.
bool print_program_status(const DbSettings &db, FILE *out, std::string &error);

// The engine's command pipe: a named pipe read without blocking. Each complete line is
// handed to the line handler.
class CommandPipe {
public:
    CommandPipe() = default;
    ~CommandPipe();
    CommandPipe(const CommandPipe &) = delete;
    CommandPipe &operator=(const CommandPipe &) = delete;
    // Creates the pipe if needed and opens it. False with error set on failure.
    bool open(const std::string &path, std::string &error);
    // Waits up to timeout_ms for input and hands over every complete line.
    void poll(int timeout_ms, const std::function<void(const std::string &)> &on_line);
    void close();

private:
    std::string path_;
    std::string pending_;
    int read_fd_ = -1;
    int keep_fd_ = -1;  // a writer of our own, so the pipe never reports end of file
    bool created_ = false;
};

// Carries out a command-pipe line "[time] NAME;args" as the engine does for comments,
// acknowledgements and scheduled downtimes, raising their events. False for a malformed
// line or an unknown host or service; other commands are left to the external-command event.
bool handle_command(const std::string &line);
// Starts the scheduled downtimes whose start has come and stops those whose end has.
void downtime_tick();

}  // namespace sim

#endif
