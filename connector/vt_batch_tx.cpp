/* One batch of statements in one transaction, for the status workers and the perfdata store. */
#include "vt_batch_tx.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

#include <cstdlib>
#include <cstring>
#include <set>

namespace vt {
namespace {

constexpr unsigned kLockWaitTimeout = 1205;
constexpr unsigned kDeadlock = 1213; /* also how a cluster reports a failed certification */
constexpr unsigned kNoSuchTable = 1146;
/* Runs of one batch in a transaction before its statements go one by one. A deadlock rolls
 * back only the loser, so the run after it normally goes through. */
constexpr int kBatchRuns = 3;

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

enum class Outcome { Committed, Lost, MissingTable, Unknown, NotStarted };

struct Run {
    Outcome outcome = Outcome::Lost;
    std::vector<Failure> failures;
    std::string lost_text;
    MissingTable missing;
};

class BatchRunner {
public:
    explicit BatchRunner(const BatchSpec &spec) : spec_(spec), stmts_(*spec.statements) {}

    bool run()
    {
        for (int runs = 0; runs < kBatchRuns;) {
            Run r = run_once();
            switch (r.outcome) {
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
                            spec_.what, stmts_.size(), r.lost_text.c_str());
                continue;
            case Outcome::Unknown:
                vt_logf("ERROR %s: the commit of %zu statements got no answer (%s), they are kept in the failed-SQL "
                        "file",
                        spec_.what, stmts_.size(), r.lost_text.c_str());
                for (const std::string &s : stmts_)
                    vt_write_failed_sql(s.c_str());
                return false;
            case Outcome::NotStarted:
                runs = kBatchRuns;
                break;
            }
        }
        vt_logf("%s of %zu statements lost its transaction: running them one by one", spec_.what, stmts_.size());
        for (size_t i = 0; i < stmts_.size(); ++i)
            spec_.run_alone(i);
        return false;
    }

private:
    MYSQL_RES *control(const char *stmt, int *status)
    {
        return db_query_once(stmt, spec_.schema, status, std::strlen(stmt));
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
        MYSQL_RES *res = db_query_once(stmt.c_str(), spec_.schema, &status, stmt.size());
        if (status == 0) {
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
        mysql_free_result(db_query_exec("START TRANSACTION", spec_.schema, &status, 1));
        if (status != 0) {
            r.outcome = Outcome::NotStarted;
            return r;
        }
        thread_ = mysql_thread_id(&dbHandle);
        for (const BatchUnit &u : spec_.units) {
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
                if (s == Sent::Failed && err_ != 1062)
                    r.failures.push_back(Failure{i, err_, text_});
            }
        }
        if (!spec_.last.empty()) {
            const Sent s = send(spec_.last, &r);
            if (s != Sent::Ok) {
                if (s == Sent::Failed)
                    r.lost_text = std::to_string(err_) + " " + text_;
                r.outcome = Outcome::Lost;
                return r;
            }
        }
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

    const BatchSpec &spec_;
    const std::vector<std::string> &stmts_;
    unsigned long thread_ = 0;
    unsigned err_ = 0;
    std::string text_;
    std::set<std::string> created_, given_up_;
};

}  // namespace

bool run_batch(const BatchSpec &spec)
{
    if (!spec.statements || spec.statements->empty())
        return true;
    return BatchRunner(spec).run();
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
