/* One batch of statements in one transaction, for the status workers and the perfdata store. */
#ifndef VT_BATCH_TX_H
#define VT_BATCH_TX_H

#include "vt_message_id.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vt {

/* What a batch sends in one round trip: one of its statements, or several of them merged into
 * one statement that stands for them all. */
struct BatchUnit {
    std::string merged;          /* empty: the one member is sent as it stands */
    std::vector<size_t> members; /* indexes into the batch's statements, in batch order */
};

struct BatchPlan {
    const char *schema = "vantor4"; /* selected while the batch runs */
    const char *what = "batch";     /* names the batch in log lines ("status batch") */
    const std::vector<std::string> *statements = nullptr;
    std::vector<BatchUnit> units; /* every statement in exactly one unit, in batch order */
    /* Runs statement index on its own, outside any transaction, as a single job would (keeping
     * it in the failed-SQL file when it fails). */
    std::function<void(size_t index)> run_alone;
    /* Sent last inside the transaction when not empty: what must commit with the batch or not
     * at all. A failure of its own loses the transaction. */
    std::string last;
    /* The queue the batch's messages came from, and their identities: ids[i] of statement i
     * (empty run: it carries none). When any has one, the helper records the batch's messages as
     * carried out (vtcfg.message_done) inside its transaction, with one statement sent first,
     * and skips the statements of messages already recorded. */
    std::string queue;
    std::vector<MessageId> ids;
    /* Identities of messages of the batch that brought no statement: recorded all the same, so
     * that the batch's numbers stay in a few ranges. */
    std::vector<MessageId> also_done;
};

/* Runs the batch in one transaction and commits it. After every statement it makes sure the
 * transaction is still the one it opened (the server reports it in every reply); nothing is
 * ever sent twice inside it. A statement that fails on its own is kept in the failed-SQL file
 * (and logged) once the batch has committed; a merged statement that fails for any reason runs
 * as its members, one by one in its place. A lost transaction (deadlock, lock wait timeout,
 * lost session, a certification failure of a cluster) is rolled back and the whole batch run
 * again from its start in a new one, a bounded number of times; then every statement runs
 * alone through run_alone. A statement that finds a host's per-host table missing makes the
 * host's tables (outside the transaction: creating a table commits) and the batch runs again.
 * When the commit's answer is lost its outcome is unknown: the statements are kept in the
 * failed-SQL file. Returns whether the batch committed as one (false: run alone, or kept). */
bool run_batch(const BatchPlan &batch);

/* For a message whose effect lies outside the database (a notification's command): whether it
 * is recorded as carried out in queue. False when it cannot be told (the database is away):
 * rather twice than never. */
bool message_recorded(const std::string &queue, const MessageId &id);
/* Records the message as carried out (logged when it cannot be). False when it could not be. */
bool record_message(const std::string &queue, const MessageId &id);
/* Holds a lock named after the message for this session, waiting up to wait_seconds for
 * another session holding it: while one worker carries a message out, a copy of it taken by
 * another waits, and then finds it recorded. The lock goes with the session, so a copy runs
 * when the holder died. Releases it on destruction. */
class MessageLock {
public:
    MessageLock(const std::string &queue, const MessageId &id, int wait_seconds);
    ~MessageLock();
    MessageLock(const MessageLock &) = delete;
    MessageLock &operator=(const MessageLock &) = delete;

private:
    std::string name_; /* empty: not held */
    unsigned long thread_ = 0;
};
/* Logs that count messages of what were skipped as carried out before, at most once a minute
 * (with the count since the last line), so that a flood of copies cannot fill the log. */
void log_skipped(const char *what, size_t count);
/* Deletes the records older than message_window_days, at most once an hour (the first call at
 * once), a bounded number of rows per statement. Outside any transaction. */
void prune_message_record();

/* When err and text (a statement's error) say a per-host table is missing (host_state_change_<id>,
 * service_state_change_<id> of vantor4, service_perf_<id> of vtperf), makes that host's tables,
 * logs one line naming them and the cause, and gives the host id. False otherwise, or when they
 * could not be made (logged). Never call it inside a transaction: creating a table commits it. */
bool create_missing_host_tables(unsigned err, const std::string &text, int *host);

}  // namespace vt

#endif
