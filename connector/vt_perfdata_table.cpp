/* Performance-data value inserts into the per-host tables, creating a host's table on first use. */
#include "vt_perfdata.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

#include <string>

extern "C" int vt_perfdata_insert_data(const char *statement, int host_id, int length)
{
    return vt::guarded("vt_perfdata_insert_data", -2, [&] {
        int status = 0;
        mysql_free_result(db_query_exec_real(statement, "vtperf", &status, 0, length));
        /* The table is named after the host id: only a real id may create one. */
        if (status == -2 && host_id > 0) {
            std::string create = vt::format("CREATE TABLE IF NOT EXISTS service_perf_%d LIKE service_perf;", host_id);
            int create_status = 0;
            mysql_free_result(db_query_exec(create.c_str(), "vtperf", &create_status, 1));
            mysql_free_result(db_query_exec_real(statement, "vtperf", &status, 1, length));
        }
        return status;
    });
}
