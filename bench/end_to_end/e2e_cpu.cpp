// CPU of every process the end-to-end benchmark measures, kept per process as last seen.
#include "e2e_cpu.h"

#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace e2e {

double cpu_of(const struct rusage &use) {
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

ProcessCpu::ProcessCpu(size_t log_offset, pid_t supervisor) : log_offset_(log_offset) {
    note(supervisor, "daemon's supervisor");
}

void ProcessCpu::note(pid_t pid, const std::string &label) {
    if (pid <= 0)
        return;
    auto it = seen_.find(pid);
    if (it != seen_.end() && it->second.label == label)
        return;
    if (it != seen_.end())  // the pid was taken over by a process of another kind
        gone_[it->second.label] += it->second.cpu;
    seen_[pid] = Seen{label, 0, false};
}

// Start lines read "... ] processing <kind>[ queue] - pid <n>".
void ProcessCpu::read_log() {
    std::ifstream in(vtt::daemon_log(), std::ios::binary);
    if (!in || !in.seekg(static_cast<std::streamoff>(log_offset_)))
        return;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t complete = text.rfind('\n');
    if (complete == std::string::npos)
        return;
    for (size_t at = text.find("] processing "); at < complete; at = text.find("] processing ", at + 1)) {
        const std::string line = text.substr(at + 13, text.find('\n', at) - at - 13);
        const size_t p = line.find(" - pid ");
        if (p == std::string::npos)
            continue;
        std::string kind = line.substr(0, p);
        if (kind.size() > 6 && kind.compare(kind.size() - 6, 6, " queue") == 0)
            kind.resize(kind.size() - 6);
        const pid_t pid = static_cast<pid_t>(std::atol(line.c_str() + p + 7));
        // A restarted worker may get the pid of one that ended: it starts from nothing.
        auto it = seen_.find(pid);
        if (it != seen_.end()) {
            gone_[it->second.label] += it->second.cpu;
            seen_.erase(it);
        }
        note(pid, "worker " + kind);
    }
    log_offset_ += complete + 1;
}

void ProcessCpu::sample(const std::vector<pid_t> &skip) {
    read_log();
    note(vtb::server_pid("gearmand.pid"), "gearmand");
    note(vtb::server_pid("mysql.pid"), "mariadb");
    for (pid_t p : vtt::children_of(getpid()))
        if (std::find(skip.begin(), skip.end(), p) == skip.end())
            note(p, "initial-state walk");
    for (auto &s : seen_)
        if (!s.second.final)
            s.second.cpu = std::max(s.second.cpu, vtb::cpu_of(s.first));  // 0 once it is gone
}

void ProcessCpu::ended(pid_t pid, const std::string &label, const struct rusage &use) {
    auto it = seen_.find(pid);
    if (it != seen_.end() && it->second.final) {  // a pid taken again after its first process ended
        gone_[it->second.label] += it->second.cpu;
        seen_.erase(it);
    }
    note(pid, label);
    Seen &s = seen_[pid];
    s.cpu = std::max(s.cpu, cpu_of(use));
    s.final = true;
}

std::map<std::string, double> ProcessCpu::totals() const {
    std::map<std::string, double> out = gone_;
    for (const auto &s : seen_)
        out[s.second.label] += s.second.cpu;
    return out;
}

}  // namespace e2e
