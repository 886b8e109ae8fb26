/* Status workers: execute the SQL statements of the two status queues in vantor4. */
#include "vt_worker.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

namespace {
/* Runs one statement as a single job does: a failing statement is kept in the failed-SQL
 * file (the database layer has logged it; a duplicate key counts as done). */
void run_statement(const std::string &stmt)
{
    int status = 0;
    MYSQL_RES *res = db_query_exec_real(stmt.c_str(), "vantor4", &status, 1, static_cast<int>(stmt.size()));
    if (status != 0)
        vt_write_failed_sql(stmt.c_str());
    else
        mysql_free_result(res);
}

/* A statement that only controls the batch's transaction. True when it ran. */
bool control(const char *stmt, int log_error)
{
    int status = 0;
    mysql_free_result(db_query_exec(stmt, "vantor4", &status, log_error));
    return status == 0;
}

/* Whether the session still has the transaction the batch opened on connection thread: a
 * reconnect or a deadlock (which rolls the whole transaction back) ends it, and what ran in
 * it before is gone. */
bool transaction_intact(unsigned long thread)
{
    if (mysql_thread_id(&dbHandle) != thread)
        return false;
    int status = 0;
    vt::Result res(db_query_exec("SELECT @@in_transaction", "vantor4", &status, 0));
    MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
    return row && row[0] && row[0][0] == '1' && mysql_thread_id(&dbHandle) == thread;
}

/* Runs the statements of a batch in one transaction: one commit for all of them instead of
 * one each. A statement that fails is handled as a single job's would be, and the others
 * still run. When the transaction is lost on the way, the statements not yet kept are run
 * again one by one, each as a single job (a statement that ran after the loss may then be
 * stored twice, never not at all). When the commit itself fails its outcome is unknown: the
 * statements are kept in the failed-SQL file, as a single statement whose answer was lost. */
void run_status_batch(const std::vector<std::string> &stmts)
{
    std::vector<bool> kept(stmts.size(), false);
    bool intact = control("START TRANSACTION", 1);
    const unsigned long thread = mysql_thread_id(&dbHandle);
    for (size_t i = 0; intact && i < stmts.size(); ++i) {
        int status = 0;
        MYSQL_RES *res =
            db_query_exec_real(stmts[i].c_str(), "vantor4", &status, 1, static_cast<int>(stmts[i].size()));
        if (status == 0) {
            mysql_free_result(res);
            continue;
        }
        intact = transaction_intact(thread);
        if (intact) {
            vt_write_failed_sql(stmts[i].c_str());
            kept[i] = true;
        }
    }
    if (intact && transaction_intact(thread)) {
        if (control("COMMIT", 1))
            return;
        vt_logf("ERROR status batch: the commit of %zu statements failed, they are kept in the failed-SQL file",
                stmts.size());
        for (size_t i = 0; i < stmts.size(); ++i)
            if (!kept[i])
                vt_write_failed_sql(stmts[i].c_str());
        return;
    }
    control("ROLLBACK", 0);
    vt_logf("status batch of %zu statements lost its transaction: running them one by one", stmts.size());
    for (size_t i = 0; i < stmts.size(); ++i)
        if (!kept[i])
            run_statement(stmts[i]);
}

void prepare_status_worker()
{
    vt_set_batch_runner([](const std::vector<std::string> &stmts) {
        try {
            run_status_batch(stmts);
        } catch (...) {
            vt::log_caught("status batch");
        }
    });
}

/* Runs one statement job. The statement is what precedes any NUL in the workload, and
 * exactly that many bytes are sent. A failing statement is kept in the failed-SQL file;
 * the job is reported done either way, since handing it back would only fail again. */
void *run_status_job(gearman_job_st *job, size_t *result_size, gearman_return_t *ret_ptr) noexcept
{
    if (result_size)
        *result_size = 0;
    try {
        run_statement(vt_job_workload_text(job));
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
                                     "ERROR Could not fork for status gearman processing", prepare_status_worker,
                                     nullptr);
    });
}

extern "C" pid_t vt_vtstatuspri_gm_dispatcher(void)
{
    return vt::guarded("vt_vtstatuspri_gm_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_start_queue_worker("vtdb_statuspri", vt_process_gearman_statuspri,
                                     "ERROR Could not fork for statuspri gearman processing",
                                     prepare_status_worker, nullptr);
    });
}
