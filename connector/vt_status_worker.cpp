/* Status workers: execute the SQL statements of the two status queues in vantor4. */
#include "vt_worker.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

namespace {
/* Runs one statement job. The statement is what precedes any NUL in the workload, and
 * exactly that many bytes are sent. A failing statement is kept in the failed-SQL file;
 * the job is reported done either way, since handing it back would only fail again. */
void *run_status_job(gearman_job_st *job, size_t *result_size, gearman_return_t *ret_ptr) noexcept
{
    if (result_size)
        *result_size = 0;
    try {
        std::string stmt = vt_job_workload_text(job);
        int status = 0;
        MYSQL_RES *res = db_query_exec_real(stmt.c_str(), "vantor4", &status, 1, static_cast<int>(stmt.size()));
        if (status != 0)
            vt_write_failed_sql(stmt.c_str());
        else
            mysql_free_result(res);
    } catch (...) {
        vt::log_caught("status job dropped");
    }
    if (ret_ptr)
        *ret_ptr = GEARMAN_SUCCESS;
    return nullptr;
}
}  // namespace

extern "C" void *vt_process_gearman_status(gearman_job_st *job, void *, size_t *result_size, gearman_return_t *ret_ptr)
{
    return run_status_job(job, result_size, ret_ptr);
}

extern "C" void *vt_process_gearman_statuspri(gearman_job_st *job, void *, size_t *result_size,
                                              gearman_return_t *ret_ptr)
{
    return run_status_job(job, result_size, ret_ptr);
}

extern "C" pid_t vt_vtstatus_gm_dispatcher(void)
{
    return vt::guarded("vt_vtstatus_gm_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_start_queue_worker("vtdb_vtstatus", vt_process_gearman_status,
                                     "ERROR Could not fork for status gearman processing", nullptr, nullptr);
    });
}

extern "C" pid_t vt_vtstatuspri_gm_dispatcher(void)
{
    return vt::guarded("vt_vtstatuspri_gm_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_start_queue_worker("vtdb_statuspri", vt_process_gearman_statuspri,
                                     "ERROR Could not fork for statuspri gearman processing", nullptr, nullptr);
    });
}
