/* One batch of statements in one transaction, for the status workers and the perfdata store. */
#include "vt_batch_tx.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>

namespace vt {
namespace {

constexpr unsigned kLockWaitTimeout = 1205;
constexpr unsigned kDeadlock = 1213; /* also how a cluster reports a failed certification */
constexpr unsigned kNoSuchTable = 1146;
constexpr unsigned kNoSuchProcedure = 1305;
constexpr unsigned kDuplicateKey = 1062;
/* Set once the database lacks the procedure that records a batch with its commit. */
bool commit_procedure_missing = false;
/* Runs of one batch in a transaction before its statements go one by one. A deadlock rolls
 * back only the loser, so the run after it normally goes through. */
constexpr int kBatchRuns = 3;
/* How long a worker waits for another that runs a copy of its batch statement by statement. */
constexpr int kFallbackLockSeconds = 60;

/* Errors after which the transaction is gone (or, for a lock wait timeout, holds a statement
 * less than the batch), so that nothing of it may be committed. */
bool loses_transaction(unsigned err)
{
    return err == kDeadlock || err == kLockWaitTimeout || db_connection_lost(err);
}

/* The per-host table an error says is missing, as schema, kind and host id. */
struct MissingTable {
    std::string schema, table;
    int host = -1;
};

bool missing_table(unsigned err, const std::string &text, MissingTable *out)
{
    if (err != kNoSuchTable)
        return false;
    static const struct {
        const char *schema, *prefix;
    } kinds[] = {{"vantor4", "host_state_change_"}, {"vantor4", "service_state_change_"}, {"vtperf", "service_perf_"}};
    for (const auto &k : kinds) {
        const std::string name = std::string(k.schema) + "." + k.prefix;
        const size_t at = text.find("'" + name);
        if (at == std::string::npos)
            continue;
        const char *digits = text.c_str() + at + 1 + name.size();
        char *end = nullptr;
        const long id = std::strtol(digits, &end, 10);
        if (end == digits || *end != '\'' || id < 0 || id > 2147483647L || (digits[0] == '0' && end - digits > 1))
            continue;
        out->schema = k.schema;
        out->table = std::string(k.prefix) + std::to_string(id);
        out->host = static_cast<int>(id);
        return true;
    }
    return false;
}

void free_all_results(MYSQL_RES *first)
{
    mysql_free_result(first);
    while (mysql_more_results(&dbHandle) && mysql_next_result(&dbHandle) == 0)
        mysql_free_result(mysql_store_result(&dbHandle));
}

/* The longest range of sequence numbers one record row holds: a message's record can then
 * only lie in rows whose first number is at most this far below it, which keeps every look-up
 * a short range of the primary key however many rows a run has. */
constexpr unsigned long long kRangeSpan = 256;

/* One record row: numbers first..last of a run. */
struct Range {
    std::string run;
    unsigned long long first, last;
};

/* The identities as ranges of consecutive numbers per run, none longer than kRangeSpan. */
std::vector<Range> ranges_of(std::vector<const MessageId *> ids)
{
    std::sort(ids.begin(), ids.end(), [](const MessageId *a, const MessageId *b) {
        return a->run != b->run ? a->run < b->run : a->seq < b->seq;
    });
    std::vector<Range> out;
    for (const MessageId *id : ids) {
        if (!out.empty() && out.back().run == id->run && id->seq <= out.back().last)
            continue; /* the same message twice in a batch */
        if (!out.empty() && out.back().run == id->run && id->seq == out.back().last + 1 &&
            out.back().last - out.back().first + 1 < kRangeSpan) {
            out.back().last = id->seq;
            continue;
        }
        out.push_back(Range{id->run, id->seq, id->seq});
    }
    return out;
}

/* The condition on vtcfg.message_done's rows that overlap range r of queue q (escaped). */
std::string overlapping(const std::string &q, const Range &r)
{
    const unsigned long long low = r.first >= kRangeSpan ? r.first - kRangeSpan : 0;
    return format("run_id='%s' AND queue='%s' AND first_seq BETWEEN %llu AND %llu AND last_seq >= %llu",
                  r.run.c_str(), q.c_str(), low, r.last, r.first);
}

/* One statement that records every range not yet recorded; the rows it inserts tell whether
 * any was. The read of each NOT EXISTS locks what it read, so two workers running the same
 * batch cannot both insert: one waits, and then finds the other's row (or deadlocks, which
 * runs its batch again). */
std::string record_statement(const std::string &q, const std::vector<Range> &ranges)
{
    std::string sql = "INSERT INTO vtcfg.message_done (run_id, queue, first_seq, last_seq) ";
    for (size_t i = 0; i < ranges.size(); ++i) {
        const Range &r = ranges[i];
        if (i)
            sql += " UNION ALL ";
        sql += format("SELECT '%s', '%s', %llu, %llu FROM DUAL WHERE NOT EXISTS (SELECT 1 FROM vtcfg.message_done "
                      "WHERE %s)",
                      r.run.c_str(), q.c_str(), r.first, r.last, overlapping(q, r).c_str());
    }
    return sql;
}

}  // namespace

void log_skipped(const char *what, size_t count)
{
    /* Anyone who can submit jobs can bring old ones again as often as they like: the log says
     * so at most once a minute, with the count since the last line. */
    constexpr time_t kEverySeconds = 60;
    static unsigned long long skipped = 0;
    static time_t logged = 0;
    skipped += count;
    if (skipped == 0)
        return;
    const time_t now = time(nullptr);
    if (logged != 0 && now >= logged && now - logged < kEverySeconds)
        return;
    vt_logf("%s: skipped %llu messages carried out before (delivered or replayed again) since the last such line",
            what, skipped);
    logged = now;
    skipped = 0;
}

namespace {

void log_failure(unsigned err, const std::string &text, const std::string &stmt)
{
    vt_logf("%s: MYSQL ERROR: mysql_query;%u;%s;%s", VTMODULE ? VTMODULE : "", err, text.c_str(), stmt.c_str());
}

/* A statement of the batch that failed on its own: kept once the batch has committed. */
struct Failure {
    size_t index;
    unsigned err;
    std::string text;
};

enum class Outcome { Committed, Lost, MissingTable, Unknown, NotStarted, Repeat, NotRecorded };

struct Run {
    Outcome outcome = Outcome::Lost;
    std::vector<Failure> failures;
    std::string lost_text;
    MissingTable missing;
};

class BatchRunner {
public:
    /* single: the batch is one message of a larger one that fell back to its messages. */
    explicit BatchRunner(const BatchPlan &batch, bool single = false)
        : batch_(batch), stmts_(*batch.statements), units_(batch.units), queue_(vt_escape_sql_text(batch.queue.c_str())),
          single_(single)
    {
        batch_.ids.resize(stmts_.size());
        plan_record();
    }

    bool run()
    {
        int repeats = 0;
        for (int runs = 0; runs < kBatchRuns;) {
            if (units_.empty())
                return true; /* every message was carried out before */
            Run r = run_once();
            switch (r.outcome) {
            case Outcome::Repeat:
                /* Some of it was carried out before (a job delivered again, a dump replayed):
                 * what was is dropped and the rest runs with a record of its own. */
                end_transaction();
                if (++repeats > kBatchRuns || !drop_recorded()) {
                    runs = kBatchRuns;
                    break;
                }
                continue;
            case Outcome::NotRecorded:
                end_transaction();
                if (vt_throttle_allows(1))
                    vt_logf("ERROR %s: could not record its messages as carried out (%s): run without the record; "
                            "apply sql/upgrade-message-done.sql",
                            batch_.what, r.lost_text.c_str());
                record_.clear();
                continue;
            case Outcome::Committed:
                for (const Failure &f : r.failures) {
                    log_failure(f.err, f.text, stmts_[f.index]);
                    vt_write_failed_sql(stmts_[f.index].c_str());
                }
                return true;
            case Outcome::MissingTable:
                /* Not a run lost: the batch could not have gone through without the table. */
                end_transaction();
                created_.insert(r.missing.schema + "." + r.missing.table);
                if (!make_tables(r.missing))
                    given_up_.insert(r.missing.schema + "." + r.missing.table);
                continue;
            case Outcome::Lost:
                end_transaction();
                if (++runs < kBatchRuns)
                    vt_logf("%s of %zu statements: its transaction was lost (%s), running it again from its start",
                            batch_.what, stmts_.size(), r.lost_text.c_str());
                continue;
            case Outcome::Unknown:
                vt_logf("ERROR %s: the commit of %zu statements got no answer (%s), they are kept in the failed-SQL "
                        "file",
                        batch_.what, stmts_.size(), r.lost_text.c_str());
                for (const BatchUnit &u : units_)
                    for (size_t i : u.members)
                        vt_write_failed_sql(stmts_[i].c_str());
                return false;
            case Outcome::NotStarted:
                runs = kBatchRuns;
                break;
            }
        }
        vt_logf("%s of %zu statements lost its transaction: running them one by one", batch_.what, stmts_.size());
        if (!ranges_.empty() && !single_) {
            /* Copies of one batch held by two workers deadlock each other's record alike. Each
             * message then goes in a transaction of its own with its record, so that whichever
             * worker carries a message out first, the other finds it recorded. */
            for (const BatchUnit &u : units_)
                for (size_t i : u.members) {
                    BatchPlan one = batch_;
                    one.units = {BatchUnit{std::string(), {i}}};
                    one.also_done.clear();
                    BatchRunner(one, true).run();
                }
            for (const MessageId &id : batch_.also_done)
                record_message(batch_.queue, id);
            return false;
        }
        /* One message whose transaction was lost time and again: the message's lock keeps a
         * copy another worker holds from running beside it, and the one after drops what the
         * other carried out meanwhile. */
        std::optional<MessageLock> lock;
        if (!ranges_.empty()) {
            MessageId first;
            first.run = ranges_.front().run;
            first.seq = ranges_.front().first;
            lock.emplace(batch_.queue, first, kFallbackLockSeconds);
            drop_recorded();
        }
        for (const BatchUnit &u : units_)
            for (size_t i : u.members)
                batch_.run_alone(i);
        record_after();
        return false;
    }

private:
    /* The identities still to run, as ranges, and the statement recording them. */
    void plan_record()
    {
        std::vector<const MessageId *> ids;
        for (const BatchUnit &u : units_)
            for (size_t i : u.members)
                if (batch_.ids[i].valid())
                    ids.push_back(&batch_.ids[i]);
        for (const MessageId &id : batch_.also_done)
            if (id.valid())
                ids.push_back(&id);
        ranges_ = ranges_of(ids);
        record_ = ranges_.empty() ? std::string() : record_statement(queue_, ranges_);
    }

    /* After a run found part of the batch recorded: reads which of its messages are, and drops
     * their statements. False when that cannot be read. */
    bool drop_recorded()
    {
        std::string where;
        for (const Range &r : ranges_)
            where += (where.empty() ? "(" : " OR (") + overlapping(queue_, r) + ")";
        const std::string sql = "SELECT run_id, first_seq, last_seq FROM vtcfg.message_done WHERE " + where;
        int status = 0;
        Result res(db_query_once(sql.c_str(), batch_.schema, &status, sql.size()));
        if (status != 0 || !res) {
            vt_logf("ERROR %s: could not read which of its messages were carried out before", batch_.what);
            return false;
        }
        std::multimap<std::string, std::pair<unsigned long long, unsigned long long>> done;
        while (MYSQL_ROW row = mysql_fetch_row(res.get()))
            if (row[0] && row[1] && row[2])
                done.emplace(row[0], std::make_pair(std::strtoull(row[1], nullptr, 10), std::strtoull(row[2], nullptr, 10)));
        auto recorded = [&](const MessageId &id) {
            if (!id.valid())
                return false;
            auto span = done.equal_range(id.run);
            for (auto it = span.first; it != span.second; ++it)
                if (id.seq >= it->second.first && id.seq <= it->second.second)
                    return true;
            return false;
        };
        size_t dropped = 0;
        std::vector<BatchUnit> kept;
        for (const BatchUnit &u : units_) {
            BatchUnit k;
            for (size_t i : u.members) {
                if (recorded(batch_.ids[i]))
                    ++dropped;
                else
                    k.members.push_back(i);
            }
            if (k.members.empty())
                continue;
            if (k.members.size() == u.members.size()) {
                kept.push_back(u);
                continue;
            }
            /* The merged statement stood for all of them: the rest go one by one. */
            for (size_t i : k.members)
                kept.push_back(BatchUnit{std::string(), {i}});
        }
        units_.swap(kept);
        batch_.also_done.erase(std::remove_if(batch_.also_done.begin(), batch_.also_done.end(), recorded),
                              batch_.also_done.end());
        log_skipped(batch_.what, dropped);
        plan_record();
        return true;
    }

    /* After the statements ran one by one: their messages are recorded on their own. */
    void record_after()
    {
        if (record_.empty())
            return;
        int status = 0;
        free_all_results(control(record_.c_str(), &status));
    }

    MYSQL_RES *control(const char *stmt, int *status)
    {
        return db_query_once(stmt, batch_.schema, status, std::strlen(stmt));
    }

    /* Rolls back what is left of the transaction. When that cannot be done on a live session
     * the session is closed: the next START TRANSACTION would commit what it holds. */
    void end_transaction()
    {
        int status = 0;
        mysql_free_result(control("ROLLBACK", &status));
        if (status != 0 && !db_connection_lost(db_last_error(nullptr)))
            db_disconnect();
    }

    bool make_tables(const MissingTable &m)
    {
        int host = -1;
        std::string text = "Table '" + m.schema + "." + m.table + "' doesn't exist";
        return create_missing_host_tables(kNoSuchTable, text, &host);
    }

    /* Whether the session still holds the transaction opened on thread_: after a success the
     * reply said so; after a failure (an error reply says nothing) the server is asked. */
    bool in_transaction(bool failed)
    {
        if (mysql_thread_id(&dbHandle) != thread_)
            return false;
        if (!failed)
            return (dbHandle.server_status & SERVER_STATUS_IN_TRANS) != 0;
        int status = 0;
        Result res(control("SELECT @@in_transaction", &status));
        MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
        return row && row[0] && row[0][0] == '1';
    }

    enum class Sent { Ok, Failed, Lost, Missing };

    /* Sends one statement of the run. On Failed, err_/text_ hold its error. */
    Sent send(const std::string &stmt, Run *r)
    {
        int status = 0;
        MYSQL_RES *res = db_query_once(stmt.c_str(), batch_.schema, &status, stmt.size());
        if (status == 0) {
            affected_ = mysql_affected_rows(&dbHandle);
            free_all_results(res);
            if (in_transaction(false))
                return Sent::Ok;
            r->lost_text = "the transaction ended with a statement";
            return Sent::Lost;
        }
        err_ = db_last_error(&text_);
        if (loses_transaction(err_)) {
            r->lost_text = std::to_string(err_) + " " + text_;
            return Sent::Lost;
        }
        MissingTable m;
        if (missing_table(err_, text_, &m) && !given_up_.count(m.schema + "." + m.table) &&
            !created_.count(m.schema + "." + m.table)) {
            r->missing = m;
            return Sent::Missing;
        }
        if (!in_transaction(true)) {
            r->lost_text = "the transaction ended with a failing statement";
            return Sent::Lost;
        }
        return Sent::Failed;
    }

    /* Whether what happened to a statement ends this run of the batch: its transaction is
     * gone, or a per-host table is missing (made outside any transaction, then run again). */
    static bool ends_run(Sent s, Run *r)
    {
        if (s == Sent::Lost)
            r->outcome = Outcome::Lost;
        else if (s == Sent::Missing)
            r->outcome = Outcome::MissingTable;
        else
            return false;
        return true;
    }

    Run run_once()
    {
        Run r;
        int status = 0;
        mysql_free_result(db_query_exec("START TRANSACTION", batch_.schema, &status, 1));
        if (status != 0) {
            r.outcome = Outcome::NotStarted;
            return r;
        }
        thread_ = mysql_thread_id(&dbHandle);
        const bool at_commit = records_at_commit();
        if (!record_.empty() && !at_commit) {
            const Sent sent = send(record_, &r);
            if (sent != Sent::Ok || affected_ != static_cast<my_ulonglong>(ranges_.size())) {
                if (sent == Sent::Lost) {
                    r.outcome = Outcome::Lost;
                } else if (sent == Sent::Ok || (sent == Sent::Failed && err_ == kDuplicateKey)) {
                    r.outcome = Outcome::Repeat;
                } else {
                    r.outcome = Outcome::NotRecorded;
                    r.lost_text = std::to_string(err_) + " " + text_;
                }
                return r;
            }
        }
        for (const BatchUnit &u : units_) {
            if (!u.merged.empty()) {
                const Sent s = send(u.merged, &r);
                if (s == Sent::Ok)
                    continue;
                if (ends_run(s, &r))
                    return r;
                /* it failed on its own: its members go one by one */
            }
            for (size_t i : u.members) {
                const Sent s = send(stmts_[i], &r);
                if (ends_run(s, &r))
                    return r;
                /* A duplicate key is what a single statement would shrug off as well. */
                if (s == Sent::Failed && err_ != kDuplicateKey)
                    r.failures.push_back(Failure{i, err_, text_});
            }
        }
        if (!batch_.last.empty()) {
            const Sent s = send(batch_.last, &r);
            if (s != Sent::Ok) {
                if (s == Sent::Failed)
                    r.lost_text = std::to_string(err_) + " " + text_;
                r.outcome = Outcome::Lost;
                return r;
            }
        }
        if (at_commit)
            return commit_recorded(r);
        mysql_free_result(control("COMMIT", &status));
        if (status == 0) {
            r.outcome = Outcome::Committed;
            return r;
        }
        err_ = db_last_error(&text_);
        r.lost_text = std::to_string(err_) + " " + text_;
        /* A deadlock or a failed certification at the commit rolled it all back; any other
         * failure of the commit leaves its outcome unknown. */
        r.outcome = err_ == kDeadlock || err_ == kLockWaitTimeout ? Outcome::Lost : Outcome::Unknown;
        return r;
    }

    /* Whether the record goes with the commit, in the procedure that does both: one round trip
     * less than a statement of its own, and its locks are held only for the commit. It takes
     * one range, which a batch of one module's job is. */
    bool records_at_commit() const { return !record_.empty() && ranges_.size() == 1 && !commit_procedure_missing; }

    /* The end of a run whose record goes with the commit. */
    Run &commit_recorded(Run &r)
    {
        const Range &range = ranges_.front();
        const std::string call = format("CALL vantor4.vt_commit_recorded('%s', '%s', %llu, %llu, %llu)",
                                        range.run.c_str(), queue_.c_str(), range.first, range.last, kRangeSpan);
        int status = 0;
        free_all_results(control(call.c_str(), &status));
        if (status == 0) {
            r.outcome = in_transaction(false) ? Outcome::Lost : Outcome::Committed;
            if (r.outcome == Outcome::Lost)
                r.lost_text = "the transaction was still open after the procedure's commit";
            return r;
        }
        err_ = db_last_error(&text_);
        r.lost_text = std::to_string(err_) + " " + text_;
        if (err_ == kDuplicateKey) {
            r.outcome = Outcome::Repeat; /* recorded before: nothing was committed */
        } else if (err_ == kNoSuchProcedure) {
            commit_procedure_missing = true;
            vt_logf("ERROR %s: vantor4.vt_commit_recorded is missing, the record of carried-out messages costs a "
                    "statement of its own; apply sql/upgrade-record-at-commit.sql",
                    batch_.what);
            r.outcome = Outcome::Lost;
        } else if (err_ == kNoSuchTable) {
            r.outcome = Outcome::NotRecorded;
        } else if (loses_transaction(err_) || in_transaction(true)) {
            r.outcome = Outcome::Lost; /* rolled back, or nothing of it committed yet */
        } else {
            r.outcome = Outcome::Unknown; /* the commit itself failed */
        }
        return r;
    }

    BatchPlan batch_;
    const std::vector<std::string> &stmts_;
    std::vector<BatchUnit> units_; /* what is left to run */
    std::string queue_;            /* escaped */
    bool single_ = false;
    std::vector<Range> ranges_;
    std::string record_; /* empty: nothing to record */
    my_ulonglong affected_ = 0;
    unsigned long thread_ = 0;
    unsigned err_ = 0;
    std::string text_;
    std::set<std::string> created_, given_up_;
};

}  // namespace

bool run_batch(const BatchPlan &batch)
{
    if (!batch.statements || batch.statements->empty())
        return true;
    return BatchRunner(batch).run();
}

bool message_recorded(const std::string &queue, const MessageId &id)
{
    if (!id.valid())
        return false;
    const std::string sql = "SELECT 1 FROM vtcfg.message_done WHERE " +
                            overlapping(vt_escape_sql_text(queue.c_str()), Range{id.run, id.seq, id.seq}) + " LIMIT 1";
    int status = 0;
    Result res(db_query_exec(sql.c_str(), "vtcfg", &status, 1));
    return status == 0 && res && mysql_fetch_row(res.get()) != nullptr;
}

bool record_message(const std::string &queue, const MessageId &id)
{
    if (!id.valid())
        return true;
    const std::string sql = format("INSERT IGNORE INTO vtcfg.message_done (run_id, queue, first_seq, last_seq) VALUES "
                                   "('%s', '%s', %llu, %llu)",
                                   id.run.c_str(), vt_escape_sql_text(queue.c_str()).c_str(), id.seq, id.seq);
    int status = 0;
    free_all_results(db_query_exec(sql.c_str(), "vtcfg", &status, 1));
    return status == 0;
}

MessageLock::MessageLock(const std::string &queue, const MessageId &id, int wait_seconds)
{
    if (!id.valid())
        return;
    const std::string name = "vt-" + vt_escape_sql_text(queue.c_str()) + "-" + id.run + "-" + std::to_string(id.seq);
    const std::string sql = format("SELECT GET_LOCK('%s', %d)", name.c_str(), wait_seconds);
    int status = 0;
    Result res(db_query_exec(sql.c_str(), "vtcfg", &status, 1));
    MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
    if (row && row[0] && row[0][0] == '1') {
        name_ = name;
        thread_ = mysql_thread_id(&dbHandle);
    } else if (status == 0) {
        /* (A failing database has logged its own line.) */
        vt_logf("ERROR %s message %s %llu: another worker held its lock for %d seconds: it runs all the same",
                queue.c_str(), id.run.c_str(), id.seq, wait_seconds);
    }
}

MessageLock::~MessageLock()
{
    /* A new session holds no lock of the old one: nothing to release then. */
    if (name_.empty() || mysql_thread_id(&dbHandle) != thread_)
        return;
    const std::string sql = format("DO RELEASE_LOCK('%s')", name_.c_str());
    int status = 0;
    mysql_free_result(db_query_exec(sql.c_str(), "vtcfg", &status, 1));
}

void prune_message_record()
{
    constexpr time_t kEverySeconds = 3600;
    constexpr int kRowsPerStatement = 10000;
    constexpr int kStatementsPerPrune = 100;
    static time_t last = 0;
    const time_t now = time(nullptr);
    if (VT_MESSAGE_WINDOW_DAYS <= 0 || (last != 0 && now >= last && now - last < kEverySeconds))
        return;
    last = now;
    const std::string sql = format("DELETE FROM vtcfg.message_done WHERE done_at < NOW() - INTERVAL %d DAY LIMIT %d",
                                   VT_MESSAGE_WINDOW_DAYS, kRowsPerStatement);
    for (int i = 0; i < kStatementsPerPrune; ++i) {
        int status = 0;
        mysql_free_result(db_query_exec(sql.c_str(), "vtcfg", &status, 1));
        if (status != 0 || mysql_affected_rows(&dbHandle) < static_cast<my_ulonglong>(kRowsPerStatement))
            return;
    }
}

bool create_missing_host_tables(unsigned err, const std::string &text, int *host)
{
    MissingTable m;
    if (!missing_table(err, text, &m))
        return false;
    const std::string call = m.schema == "vtperf"
                                 ? format("CREATE TABLE IF NOT EXISTS vtperf.service_perf_%d LIKE vtperf.service_perf",
                                          m.host)
                                 : format("CALL vantor4.vt_create_host_tables(%d)", m.host);
    int status = 0;
    free_all_results(db_query_exec(call.c_str(), m.schema.c_str(), &status, 1));
    if (status != 0) {
        vt_logf("ERROR could not create the tables of host %d (%s.%s is missing): its statements are kept in the "
                "failed-SQL file; create them and replay it",
                m.host, m.schema.c_str(), m.table.c_str());
        return false;
    }
    vt_logf("%s.%s was missing: created the tables of host %d", m.schema.c_str(), m.table.c_str(), m.host);
    if (host)
        *host = m.host;
    return true;
}

}  // namespace vt
