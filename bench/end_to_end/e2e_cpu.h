// CPU of every process the end-to-end benchmark measures, kept per process as last seen, so
// that a process that ended during a run neither loses what it had used nor counts negative.
#ifndef VT_BENCH_E2E_CPU_H
#define VT_BENCH_E2E_CPU_H

#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// CPU seconds (user and system) in a resource usage record.
double cpu_of(const struct rusage &use);

class ProcessCpu {
public:
    // The daemon's workers are found by their start lines in its log from log_offset on
    // (restarted workers log theirs too); supervisor is the daemon's main process.
    ProcessCpu(size_t log_offset, pid_t supervisor);

    // Reads the start lines logged since the last call, then the CPU of every known process
    // that still runs (the job server, MariaDB, the daemon and each worker) and of the
    // benchmark's live children other than those in skip, under "initial-state walk" (the
    // walk runs in a grandchild of the engine, left to the benchmark, which collects
    // orphans). A process that has ended keeps the value it was last seen with.
    void sample(const std::vector<pid_t> &skip);
    // The exact total of a process that ended, from the record wait4 gave for it.
    void ended(pid_t pid, const std::string &label, const struct rusage &use);

    // The CPU seconds of every process by label, as last seen.
    std::map<std::string, double> totals() const;

private:
    struct Seen {
        std::string label;
        double cpu = 0;
        bool final = false;
    };
    void note(pid_t pid, const std::string &label);
    void read_log();

    size_t log_offset_;
    std::map<pid_t, Seen> seen_;
    std::map<std::string, double> gone_;  // processes whose pid a later process took over
};

}  // namespace e2e

#endif
