// The rows of the end-to-end benchmark: the engine's ledger, the audit rows and the reconcile.
#include "e2e_rows.h"

#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace e2e {

namespace {

const char *const kAudit = "vt_test.ledger_status";

double wall_seconds() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

long long number(const std::optional<std::string> &v) { return v ? std::atoll(v->c_str()) : 0; }

}  // namespace

void prepare_audit_table(vtt::Sql &sql) {
    sql.exec("CREATE DATABASE IF NOT EXISTS vt_test");
    sql.exec(std::string("CREATE TABLE IF NOT EXISTS ") + kAudit +
             " (kind VARCHAR(20) NOT NULL, host_id INT NULL, service_id INT NULL, seq VARCHAR(24) NULL, "
             "KEY ledger_status_seq (kind, seq)) ENGINE=InnoDB");
    sql.exec(std::string("TRUNCATE TABLE ") + kAudit);  // so that the next statement rebuilds nothing
    sql.exec(std::string("ALTER TABLE ") + kAudit +
             " ADD COLUMN IF NOT EXISTS id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,"
             " ADD COLUMN IF NOT EXISTS landed TIMESTAMP(6) NOT NULL DEFAULT CURRENT_TIMESTAMP(6)");
}

void RowLedger::read_events() {
    std::ifstream in(path_, std::ios::binary);
    if (!in || !in.seekg(static_cast<std::streamoff>(offset_)))
        return;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t complete = text.rfind('\n');
    if (complete == std::string::npos)
        return;
    const double now = wall_seconds();
    for (size_t at = 0; at <= complete; at = text.find('\n', at) + 1) {
        // "<kind>\t<seq>\t<host id>\t<service id>"
        if (text.compare(at, 12, "host_status\t") == 0 || text.compare(at, 15, "service_status\t") == 0) {
            const unsigned long long seq = std::strtoull(text.c_str() + text.find('\t', at) + 1, nullptr, 10);
            event_time_.emplace(seq, now);  // a repeated event keeps the time of the first
            sent_++;
        }
    }
    offset_ += complete + 1;
}

// Audit ids are handed out as rows are inserted, and a transaction may commit after one that
// took later ids: the newest ids are counted again each time, and only those some batches
// behind the newest are taken as settled.
void RowLedger::count_landed(vtt::Sql &sql) {
    const long long kUnsettled = 20000;
    const std::string from = std::string(" FROM ") + kAudit + " WHERE id > " + std::to_string(settled_id_);
    const auto r = sql.rows("SELECT COUNT(seq), MAX(id)" + from);
    if (r.empty() || r[0].size() != 2)
        return;
    landed_ = settled_ + static_cast<long>(number(r[0][0]));
    const long long settle_to = number(r[0][1]) - kUnsettled;
    if (settle_to > settled_id_) {
        settled_ += std::atol(sql.scalar("SELECT COUNT(seq)" + from + " AND id <= " + std::to_string(settle_to)).c_str());
        settled_id_ = settle_to;
    }
}

Delays RowLedger::delays(vtt::Sql &sql) const {
    std::vector<double> d;
    for (const vtt::Row &r : sql.rows(std::string("SELECT seq, UNIX_TIMESTAMP(MIN(landed)) FROM ") + kAudit +
                                      " WHERE seq IS NOT NULL GROUP BY kind, seq")) {
        if (r.size() != 2 || !r[0] || !r[1])
            continue;
        const auto e = event_time_.find(std::strtoull(r[0]->c_str(), nullptr, 10));
        if (e != event_time_.end())
            d.push_back(std::max(0.0, std::atof(r[1]->c_str()) - e->second));  // within the 10 ms of a read
    }
    Delays out;
    out.timed = static_cast<long>(d.size());
    if (d.empty())
        return out;
    std::sort(d.begin(), d.end());
    out.median = d[d.size() / 2];
    out.p99 = d[std::min(d.size() - 1, d.size() * 99 / 100)];
    out.max = d.back();
    return out;
}

Reconciled reconcile(const std::string &sim, const std::string &ledger, const std::string &out_path) {
    Reconciled r;
    const pid_t p = vtt::spawn_simulator(sim, {"--reconcile", ledger, "--settle", "60"}, out_path);
    int status = 0;
    if (p <= 0 || waitpid(p, &status, 0) != p || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return r;
    r.table = vtt::read_file(out_path);
    std::istringstream in(r.table);
    std::string line;
    while (std::getline(in, line))
        if (std::sscanf(line.c_str(), " all %ld %ld %ld %ld %ld", &r.sent, &r.landed, &r.duplicated, &r.kept,
                        &r.lost) == 5)
            r.ok = true;
    return r;
}

long delayed_messages_replayed(size_t log_offset) {
    const std::string log = vtt::read_file(vtt::daemon_log());
    long n = 0;
    for (size_t at = log.find("] processed ", log_offset); at != std::string::npos;
         at = log.find("] processed ", at + 1)) {
        long m = 0;
        if (std::sscanf(log.c_str() + at, "] processed %ld delayed messages", &m) == 1)
            n += m;
    }
    return n;
}

}  // namespace e2e
