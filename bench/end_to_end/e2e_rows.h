// The rows of the end-to-end benchmark: what the simulated engine's ledger says it published,
// when, and how much of it reached the database and how fast.
#ifndef VT_BENCH_E2E_ROWS_H
#define VT_BENCH_E2E_ROWS_H

#include "test_support.h"

#include <string>
#include <unordered_map>

namespace e2e {

// The audit table the ledger's triggers fill with a row per executed status statement, given
// two columns of the benchmark's own: a running id, to count new rows cheaply, and the time
// the statement that wrote the row started (its transaction commits a few milliseconds
// later). The ledger makes the table only when it is missing and empties it at its start, so
// an engine of another checkout fills the same columns.
void prepare_audit_table(vtt::Sql &sql);

struct Delays {
    long timed = 0;                       // status rows with an event time
    double median = 0, p99 = 0, max = 0;  // seconds
};

// The ledger file as the engine writes it. Each line is flushed at its event, so the time
// this reads a status event's line first (every 10 ms) stands for the time of the event.
class RowLedger {
public:
    explicit RowLedger(std::string path) : path_(std::move(path)) {}

    // Reads the lines appended since the last call.
    void read_events();
    // Counts the status rows landed since the last call (a query over the new audit rows).
    void count_landed(vtt::Sql &sql);

    long status_sent() const { return sent_; }
    long status_landed() const { return landed_; }
    // Of every status event whose row landed, the time from the event to the start of the
    // first statement that wrote it.
    Delays delays(vtt::Sql &sql) const;

private:
    std::string path_;
    size_t offset_ = 0;
    std::unordered_map<unsigned long long, double> event_time_;  // seq -> wall-clock seconds
    long sent_ = 0;
    long long settled_id_ = 0;  // the audit rows up to this id are counted in settled_
    long settled_ = 0;
    long landed_ = 0;
};

// What the ledger's reconcile found: the lines it printed and its total.
struct Reconciled {
    bool ok = false;  // it ran and printed its total
    long sent = 0, landed = 0, duplicated = 0, kept = 0, lost = 0;
    std::string table;
};
// Runs sim --reconcile on the ledger (its output to out_path), which waits up to a minute for
// missing rows and removes the ledger's triggers.
Reconciled reconcile(const std::string &sim, const std::string &ledger, const std::string &out_path);

// Messages the daemon's replay carried from dump files back into the queues, from its log
// lines since offset.
long delayed_messages_replayed(size_t log_offset);

}  // namespace e2e

#endif
