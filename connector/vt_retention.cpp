/* Performance-value retention: a child of the daemon that deletes values older than the setting. */
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

int PERFDATA_RETENTION_DAYS = 0;
int VT_RETENTION_CHUNK = 10000;
double VT_RETENTION_PAUSE = 0.5;
double VT_RETENTION_INTERVAL = 3600;

namespace {

std::vector<std::string> value_tables()
{
    std::vector<std::string> tables;
    int status = 0;
    vt::Result res(db_query_exec("SELECT table_name FROM information_schema.tables WHERE table_schema='vtperf' AND "
                                 "table_name LIKE 'service\\_perf\\_%'",
                                 "vtperf", &status, 1));
    while (MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr)
        if (row[0] && vt::all_digits(row[0] + 13))
            tables.push_back(row[0]);
    return tables;
}

/* Deletes one table's values older than days, a chunk at a time: each DELETE holds its locks
 * only for a chunk, and the pause between chunks leaves the database to the workers. The
 * cut-off is fixed for the pass, so rows arriving meanwhile are never touched. Returns the
 * rows deleted; stops at the first failure (logged). */
unsigned long long purge_table(const std::string &table, const std::string &cutoff)
{
    const std::string q = "DELETE FROM vtperf.`" + table + "` WHERE entry_time < " + cutoff + " LIMIT " +
                          std::to_string(VT_RETENTION_CHUNK);
    unsigned long long total = 0;
    for (;;) {
        int status = 0;
        mysql_free_result(db_query_exec(q.c_str(), "vtperf", &status, 1));
        if (status != 0)
            return total;
        const unsigned long long n = mysql_affected_rows(&dbHandle);
        total += n;
        if (n < static_cast<unsigned long long>(VT_RETENTION_CHUNK))
            return total;
        vt_sleep_seconds(VT_RETENTION_PAUSE);
    }
}

/* One pass over every host's value table. */
void purge_pass()
{
    int status = 0;
    const std::string q = "SELECT DATE_FORMAT(NOW() - INTERVAL " + std::to_string(PERFDATA_RETENTION_DAYS) +
                          " DAY, '''%Y-%m-%d %H:%i:%s''')";
    vt::Result res(db_query_exec(q.c_str(), "vtperf", &status, 1));
    MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
    if (!row || !row[0])
        return;
    const std::string cutoff = row[0];
    unsigned long long total = 0;
    for (const std::string &t : value_tables()) {
        total += purge_table(t, cutoff);
        vt_sleep_seconds(VT_RETENTION_PAUSE);
    }
    if (total > 0)
        vt_logf("perfdata retention: deleted %llu values older than %s", total, cutoff.c_str());
}

}  // namespace

extern "C" pid_t vt_perfdata_retention_dispatcher(void)
{
    return vt_fork_child("perfdata retention", "ERROR Could not fork for perfdata retention", [] {
        db_connect();
        vt_logf("processing perfdata retention of %d days - pid %d", PERFDATA_RETENTION_DAYS,
                static_cast<int>(getpid()));
        for (;;) {
            if (PERFDATA_RETENTION_DAYS > 0)
                purge_pass();
            vt_sleep_seconds(VT_RETENTION_INTERVAL);
        }
        return 0;
    }, DEBUG != 0);
}
