/* Status workers: execute the SQL statements of the two status queues in vantor4. */
#include "vt_worker.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_upsert.h"
#include "vt_util.h"

#include <string_view>

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

/* What a batch sends: one statement of the batch, or the rows of several marked upserts of
 * one table merged into one statement. */
struct Unit {
    std::string merged;          /* empty: the one member is sent as it stands */
    std::vector<size_t> members; /* indexes into the batch, in batch order */
};

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

/* Runs the statements of a batch in one transaction: one commit for all of them instead of
 * one each, and the rows of marked upserts of one table in one statement. A statement that
 * fails is handled as a single job's would be, and the others still run; when a merged
 * statement fails, its statements run one by one in the same transaction, so that the one
 * at fault is logged and kept alone. When the transaction is lost on the way, the statements
 * not yet kept are run again one by one, each as a single job (a statement that ran after the
 * loss may then be stored twice, never not at all). When the commit itself fails its outcome
 * is unknown: the statements are kept in the failed-SQL file, as a single statement whose
 * answer was lost. */
void run_status_batch(const std::vector<std::string> &stmts)
{
    const std::vector<Unit> units = plan_batch(stmts);
    std::vector<bool> kept(stmts.size(), false);
    bool intact = vt_batch_control("START TRANSACTION", "vantor4", 1);
    bool last_failed = false;
    const unsigned long thread = mysql_thread_id(&dbHandle);
    auto run_one = [&](size_t i) {
        int status = 0;
        MYSQL_RES *res =
            db_query_exec_real(stmts[i].c_str(), "vantor4", &status, 1, static_cast<int>(stmts[i].size()));
        last_failed = status != 0;
        if (!last_failed) {
            mysql_free_result(res);
            return;
        }
        intact = vt_batch_intact(thread, true);
        if (intact) {
            vt_write_failed_sql(stmts[i].c_str());
            kept[i] = true;
        }
    };
    for (size_t u = 0; intact && u < units.size(); ++u) {
        const Unit &unit = units[u];
        if (unit.merged.empty()) {
            run_one(unit.members[0]);
            continue;
        }
        int status = 0;
        mysql_free_result(db_query_exec_real(unit.merged.c_str(), "vantor4", &status, 0,
                                             static_cast<int>(unit.merged.size())));
        last_failed = status != 0;
        if (!last_failed)
            continue;
        intact = vt_batch_intact(thread, true);
        for (size_t k = 0; intact && k < unit.members.size(); ++k)
            run_one(unit.members[k]);
    }
    if (intact && vt_batch_intact(thread, last_failed)) {
        if (vt_batch_control("COMMIT", "vantor4", 1))
            return;
        vt_logf("ERROR status batch: the commit of %zu statements failed, they are kept in the failed-SQL file",
                stmts.size());
        for (size_t i = 0; i < stmts.size(); ++i)
            if (!kept[i])
                vt_write_failed_sql(stmts[i].c_str());
        return;
    }
    vt_batch_control("ROLLBACK", "vantor4", 0);
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
