/* Performance-data value inserts into the per-host tables, creating a host's table on first use. */
#include "vt_perfdata.h"
#include "vt_db.h"
#include "vt_batch_tx.h"
#include "vt_log.h"
#include "vt_util.h"

#include <string>

/* A statement that finds the host's table missing makes it (only for a real host id: the table
 * is named after it) and runs once more; a failure is logged once, with its last error. */
extern "C" int vt_perfdata_insert_data(const char *statement, int host_id, int length)
{
    return vt::guarded("vt_perfdata_insert_data", -2, [&] {
        int status = 0;
        mysql_free_result(db_query_exec_real(statement, "vtperf", &status, 0, length));
        if (status == 0)
            return status;
        std::string text;
        unsigned err = db_last_error(&text);
        int host = -1;
        if (host_id > 0 && vt::create_missing_host_tables(err, text, &host)) {
            mysql_free_result(db_query_exec_real(statement, "vtperf", &status, 0, length));
            if (status == 0)
                return status;
            err = db_last_error(&text);
        }
        vt_logf("%s: MYSQL ERROR: mysql_query;%u;%s;%.*s", VTMODULE ? VTMODULE : "", err, text.c_str(), length,
                statement);
        return status;
    });
}
