/* Retention: a child of the daemon that deletes performance values and history rows older than their settings. */
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

int PERFDATA_RETENTION_DAYS = 0;
int VT_STATE_HISTORY_RETENTION_DAYS = 0;
int VT_ACKNOWLEDGEMENT_RETENTION_DAYS = 0;
int VT_NOTIFICATION_RETENTION_DAYS = 0;
int VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS = 0;
int VT_FLAPPING_RETENTION_DAYS = 0;
int VT_RETENTION_CHUNK = 5000;
int VT_RETENTION_PAUSE_MS = 200;
int VT_RETENTION_INTERVAL_S = 3600;

namespace {

/* What one setting expires: the tables (a name, or a prefix that per-host tables carry with
 * their host id), the index column whose range holds the expired rows, and the condition on
 * the cut-off ("%s" stands for it). The DELETE reads that index from its start up to the
 * cut-off, in the index's order: it touches what it deletes and no row that stays, which a
 * condition on an unindexed column could not promise. */
struct Expiry {
    const char *what;
    const int *days;
    const char *schema;
    std::vector<std::string> tables;
    bool per_host;
    const char *column;
    bool milliseconds;     // the column holds ms since the epoch, not a DATETIME
    const char *condition; // each "%s" stands for the cut-off
};

const std::vector<Expiry> &expiries()
{
    static const std::vector<Expiry> all = {
        {"values", &PERFDATA_RETENTION_DAYS, "vtperf", {"service_perf_"}, true, "entry_time", false,
         "entry_time < %s"},
        /* The rows with a comment record acknowledgements and downtime starts: a setting of their own. */
        {"state changes", &VT_STATE_HISTORY_RETENTION_DAYS, "vantor4", {"host_state_change_", "service_state_change_"},
         true, "entry_time_ms", true, "entry_time_ms < %s AND `comment` IS NULL"},
        {"acknowledgement and downtime records", &VT_ACKNOWLEDGEMENT_RETENTION_DAYS, "vantor4",
         {"host_state_change_", "service_state_change_"}, true, "entry_time_ms", true,
         "entry_time_ms < %s AND `comment` IS NOT NULL"},
        {"notifications", &VT_NOTIFICATION_RETENTION_DAYS, "vantor4", {"host_notification", "service_notification"},
         false, "entry_time", false, "entry_time < %s"},
        {"flapping records", &VT_FLAPPING_RETENTION_DAYS, "vantor4", {"host_flapping", "service_flapping"}, false,
         "entry_time", false, "entry_time < %s"},
        /* A comment without expiry ends when the engine deletes it, and its row goes then. */
        {"ended comments", &VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS, "vantor4", {"host_comment", "service_comment"},
         false, "expire_time", false, "expire_time < %s AND expires <> 0"},
        /* The mark of a deleted comment only has to outlast an add of it still on its way. */
        {"comment deletions", &VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS, "vantor4",
         {"host_comment_deleted", "service_comment_deleted"}, false, "deleted_time", false, "deleted_time < %s"},
        /* A flexible downtime may start as late as its end_time and then lasts its duration. */
        {"ended downtimes", &VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS, "vantor4", {"host_downtime", "service_downtime"},
         false, "end_time", false,
         "end_time < %s AND (`fixed` <> 0 OR end_time + INTERVAL IFNULL(duration, 0) SECOND < %s)"},
    };
    return all;
}

/* The condition with the cut-off in place of each "%s". */
std::string with_cutoff(const char *condition, const std::string &cutoff)
{
    std::string out = condition;
    for (size_t at = out.find("%s"); at != std::string::npos; at = out.find("%s", at + cutoff.size()))
        out.replace(at, 2, cutoff);
    return out;
}

/* A table and whether an index starts with the expiry's column. */
struct Table {
    std::string name;
    bool indexed;
};

std::string quoted(const char *text)
{
    char *q = nullptr;
    vt_escape_string_for_mysql(text, &q);
    vt::CString owner(q);
    return q ? std::string(q) : std::string("NULL");
}

/* The tables of one expiry, with or without their index (one query for all of them). */
std::vector<Table> tables_of(const Expiry &e)
{
    std::vector<Table> found;
    for (const std::string &t : e.tables) {
        std::string like;
        for (char c : t) {
            if (c == '_')
                like += '\\';
            like += c;
        }
        const std::string q =
            "SELECT t.table_name, MAX(s.column_name IS NOT NULL) FROM information_schema.tables t LEFT JOIN "
            "information_schema.statistics s ON s.table_schema = t.table_schema AND s.table_name = t.table_name AND "
            "s.seq_in_index = 1 AND s.column_name = " + quoted(e.column) +
            " WHERE t.table_schema = " + quoted(e.schema) + " AND t.table_type = 'BASE TABLE' AND t.table_name " +
            (e.per_host ? "LIKE " + quoted((like + "%").c_str()) : "= " + quoted(t.c_str())) +
            " GROUP BY t.table_name";
        int status = 0;
        vt::Result res(db_query_exec(q.c_str(), e.schema, &status, 1));
        while (MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr) {
            if (!row[0] || (e.per_host && !vt::all_digits(row[0] + t.size())))
                continue;
            found.push_back({row[0], row[1] && row[1][0] == '1'});
        }
    }
    return found;
}

/* The cut-off of an expiry as the server sees the time now: a date literal, or ms since the
 * epoch. Fixed for the pass, so rows arriving meanwhile are never touched. Empty on failure. */
std::string cutoff_of(const Expiry &e)
{
    const std::string then = "NOW() - INTERVAL " + std::to_string(*e.days) + " DAY";
    const std::string q = e.milliseconds ? "SELECT CAST(UNIX_TIMESTAMP(" + then + ") AS UNSIGNED) * 1000"
                                         : "SELECT DATE_FORMAT(" + then + ", '''%Y-%m-%d %H:%i:%s''')";
    int status = 0;
    vt::Result res(db_query_exec(q.c_str(), e.schema, &status, 1));
    MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
    return row && row[0] ? std::string(row[0]) : std::string();
}

/* Deletes one table's expired rows a chunk at a time, each DELETE its own short transaction
 * under READ COMMITTED, so that it locks only the rows it deletes and no gap a writer inserts
 * into; the pause after each DELETE that found rows bounds the rate (tables with nothing
 * expired cost one index probe and no pause). Without the index the rows are found
 * by reading the table, in chunks as before. Returns the rows deleted; stops at the first
 * failure (logged). */
unsigned long long purge_table(const Expiry &e, const Table &t, const std::string &cutoff)
{
    std::string q = "DELETE FROM `" + std::string(e.schema) + "`.`" + t.name + "` WHERE " +
                    with_cutoff(e.condition, cutoff);
    if (t.indexed)
        q += std::string(" ORDER BY ") + e.column;
    q += " LIMIT " + std::to_string(VT_RETENTION_CHUNK);
    unsigned long long total = 0;
    for (;;) {
        int status = 0;
        mysql_free_result(db_query_exec("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED", e.schema, &status, 1));
        if (status != 0)
            return total;
        mysql_free_result(db_query_exec(q.c_str(), e.schema, &status, 1));
        if (status != 0)
            return total;
        const unsigned long long n = mysql_affected_rows(&dbHandle);
        total += n;
        vt::metrics::retention_deleted(n);
        if (n > 0)
            vt_sleep_seconds(VT_RETENTION_PAUSE_MS / 1000.0);
        if (n < static_cast<unsigned long long>(VT_RETENTION_CHUNK))
            return total;
    }
}

/* One pass of one expiry over all its tables. */
void purge(const Expiry &e)
{
    const std::string cutoff = cutoff_of(e);
    if (cutoff.empty())
        return;
    unsigned long long total = 0;
    int unindexed = 0;
    std::string first_unindexed;
    for (const Table &t : tables_of(e)) {
        if (!t.indexed && unindexed++ == 0)
            first_unindexed = t.name;
        total += purge_table(e, t, cutoff);
    }
    if (unindexed > 0)
        vt_logf("WARNING retention of %s: %d tables of %s have no index on %s (%s the first), so each of their "
                "passes reads them whole and holds up their writers; apply sql/upgrade-retention-index.sql",
                e.what, unindexed, e.schema, e.column, first_unindexed.c_str());
    if (total == 0)
        return;
    if (e.days == &PERFDATA_RETENTION_DAYS)
        vt_logf("perfdata retention: deleted %llu values older than %s", total, cutoff.c_str());
    else
        vt_logf("history retention: deleted %llu %s older than %d days", total, e.what, *e.days);
}

/* The child's life: a pass over every expiry that is set, then the interval's pause. */
[[noreturn]] void retention_loop()
{
    db_connect();
    vt_logf("processing perfdata retention of %d days - pid %d", PERFDATA_RETENTION_DAYS,
            static_cast<int>(getpid()));
    vt_logf("processing history retention - state changes %d, acknowledgements %d, notifications %d, ended "
            "comments and downtimes %d, flapping %d days (0 keeps) - pid %d",
            VT_STATE_HISTORY_RETENTION_DAYS, VT_ACKNOWLEDGEMENT_RETENTION_DAYS, VT_NOTIFICATION_RETENTION_DAYS,
            VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS, VT_FLAPPING_RETENTION_DAYS, static_cast<int>(getpid()));
    for (;;) {
        for (const Expiry &e : expiries())
            if (*e.days > 0)
                purge(e);
        vt_sleep_seconds(VT_RETENTION_INTERVAL_S);
    }
}

}  // namespace

extern "C" int vt_retention_wanted(void)
{
    for (const Expiry &e : expiries())
        if (*e.days > 0)
            return 1;
    return 0;
}

extern "C" pid_t vt_perfdata_retention_dispatcher(void)
{
    return vt_fork_child("perfdata retention", "ERROR Could not fork for perfdata retention", [] {
        retention_loop();
        return 0;
    }, DEBUG != 0);
}
