/* Status workers: execute the SQL statements of the two status queues in vantor4. */
#include "vt_worker.h"
#include "vt_batch_tx.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_upsert.h"
#include "vt_util.h"

#include <string_view>

namespace {
using Unit = vt::BatchUnit;

/* Runs one statement as a single job does: a failing statement is kept in the failed-SQL
 * file (logged; a duplicate key counts as done). One that finds its host's history tables
 * missing makes them and runs again. */
void run_statement(const std::string &stmt)
{
    int status = 0;
    MYSQL_RES *res = db_query_exec_real(stmt.c_str(), "vantor4", &status, 0, static_cast<int>(stmt.size()));
    if (status == 0) {
        mysql_free_result(res);
        return;
    }
    std::string text;
    unsigned err = db_last_error(&text);
    int host = -1;
    if (vt::create_missing_host_tables(err, text, &host)) {
        res = db_query_exec_real(stmt.c_str(), "vantor4", &status, 0, static_cast<int>(stmt.size()));
        if (status == 0) {
            mysql_free_result(res);
            return;
        }
        err = db_last_error(&text);
    }
    vt_logf("%s: MYSQL ERROR: mysql_query;%u;%s;%s", VTMODULE ? VTMODULE : "", err, text.c_str(), stmt.c_str());
    vt_write_failed_sql(stmt.c_str());
}

/* Groups the marked upserts of a batch by their head. A statement that is not a marked upsert
 * keeps its place between what comes before and after it; around it, each table's rows go in
 * one statement at the place of its first row. Rows of one table in a different form (another
 * column list) also close the group, so that no row can overtake another of its table. */
std::vector<Unit> plan_batch(const std::vector<std::string> &stmts)
{
    std::vector<Unit> units;
    struct Group {
        std::string_view table, head;
        int keys;
        size_t unit;
        std::vector<std::string_view> rows;
    };
    std::vector<Group> open;
    auto close_groups = [&] {
        for (Group &g : open)
            if (g.rows.size() > 1)
                units[g.unit].merged = vt::merged_upsert(g.head, g.keys, g.rows);
        open.clear();
    };
    for (size_t i = 0; i < stmts.size(); ++i) {
        vt::UpsertRow r;
        if (!vt::parse_upsert(stmts[i], &r)) {
            close_groups();
            units.push_back(Unit{std::string(), {i}});
            continue;
        }
        const std::string_view table = vt::upsert_table(r.head);
        Group *g = nullptr;
        for (Group &o : open)
            if (o.table == table)
                g = &o;
        if (g && (g->head != r.head || g->keys != r.keys)) {
            close_groups();
            g = nullptr;
        }
        if (!g) {
            open.push_back(Group{table, r.head, r.keys, units.size(), {}});
            units.push_back(Unit{});
            g = &open.back();
        }
        g->rows.push_back(r.row);
        units[g->unit].members.push_back(i);
    }
    close_groups();
    /* A group whose head could not be merged is sent statement by statement. */
    std::vector<Unit> out;
    out.reserve(units.size());
    for (Unit &u : units) {
        if (u.members.size() > 1 && u.merged.empty()) {
            for (size_t m : u.members)
                out.push_back(Unit{std::string(), {m}});
        } else {
            out.push_back(std::move(u));
        }
    }
    return out;
}

/* Runs the statements of a batch in one transaction, recording their messages as carried out
 * and skipping those carried out before: one commit for all of them instead of
 * one each, and the rows of marked upserts of one table in one statement (vt::run_batch says
 * what happens on the way). */
void run_status_batch(const std::string &queue, const std::vector<std::string> &stmts,
                      const std::vector<vt::MessageId> &ids)
{
    vt::BatchPlan batch;
    batch.queue = queue;
    batch.ids = ids;
    batch.schema = "vantor4";
    batch.what = "status batch";
    batch.statements = &stmts;
    batch.units = plan_batch(stmts);
    batch.run_alone = [&stmts](size_t i) { run_statement(stmts[i]); };
    vt::run_batch(batch);
}

void prepare_status_worker()
{
    vt_set_batch_runner([](const std::string &queue, const std::vector<std::string> &stmts,
                           const std::vector<vt::MessageId> &ids) {
        try {
            run_status_batch(queue, stmts, ids);
            vt::prune_message_record();
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
