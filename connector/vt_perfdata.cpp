/* Performance-data workers: job intake from the queue and from replayed records, and the worker start. */
#include "vt_perfdata.h"
#include "vt_perfdata_internal.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vt_worker.h"
#include "vantor_config.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

bool vt_perf::batch_in_one_transaction = true;

namespace {

/* ------------------------------------------------------------------------------------------
 * Job intake
 * ---------------------------------------------------------------------------------------- */

/* Splits a record at runs of tabs (leading tabs skipped) into at most four fields; a fifth is
 * ignored. Returns the number of fields found. */
int split_record(const std::string &rec, std::string_view fields[4])
{
    int n = 0;
    size_t pos = 0;
    while (n < 4) {
        pos = rec.find_first_not_of('\t', pos);
        if (pos == std::string::npos)
            break;
        size_t end = rec.find('\t', pos);
        if (end == std::string::npos)
            end = rec.size();
        fields[n++] = std::string_view(rec).substr(pos, end - pos);
        pos = end;
    }
    return n;
}

/* The host id as a positive int, or 0 when its text is not decimal digits of a number from 1
 * to INT_MAX: it names the host's table, so "-3", "2147483648" (which would wrap) or "x"
 * (which would read as 0) must never reach a statement. */
int positive_id(const std::string &text)
{
    if (text.empty() || text.size() > 10 || !vt::all_digits(text.c_str()))
        return 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    return v > 0 && v <= INT_MAX ? static_cast<int>(v) : 0;
}

constexpr int kRecordDropped = -1;

/* Decodes the record; with a fourth field, cuts and stores its performance data. Returns the
 * number of fields, or kRecordDropped for a record whose host id is unusable. */
int take_record(const std::string &rec, int min_fields)
{
    std::string_view f[4];
    int n = split_record(rec, f);
    if (n < min_fields)
        return n;
    std::string time_text(f[0]), host_text(f[1]), service_text(f[2]);
    perfdata_job job{};
    job.entry_time = std::strtoll(time_text.c_str(), nullptr, 10);
    job.host_id = positive_id(host_text);
    if (job.host_id == 0) {
        vt_logf("ERROR perfdata record dropped - host id '%.64s' is not a positive decimal number",
                host_text.c_str());
        return kRecordDropped;
    }
    job.service_id = service_text == "HOST" ? -1 : static_cast<int>(std::strtol(service_text.c_str(), nullptr, 10));
    if (n < 4)
        return n;
    // Labels and units end up in utf8mb4 columns and in the registry's keys: bytes that are not
    // UTF-8 are taken as Latin-1 here, before the cut, so both hold the same text.
    std::string text = vt_perfdata_cut(vt::utf8_or_latin1(f[3].data(), f[3].size()).c_str());
    job.perfdata = &text[0];
    vtdb_process_perfdata(&job);
    return n;
}

/* The records of a batch: each registered as it comes, their values stored together. */
void run_perfdata_batch(const std::string &queue, const std::vector<std::string> &records,
                        const std::vector<vt::MessageId> &ids)
{
    std::vector<vt_perf::ValueInsert> inserts;
    std::vector<vt::MessageId> no_values;
    vt_perf::defer_value_inserts(&inserts);
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t before = inserts.size();
        try {
            take_record(records[i], 3);
        } catch (...) {
            vt::log_caught("vt_process_gearman_perfdata");
        }
        const vt::MessageId id = i < ids.size() ? ids[i] : vt::MessageId();
        for (size_t k = before; k < inserts.size(); ++k)
            inserts[k].id = id;
        if (inserts.size() == before && id.valid())
            no_values.push_back(id);
    }
    vt_perf::register_waiting(inserts, no_values);
    vt_perf::defer_value_inserts(nullptr);
    vt_perf::store_in_one_transaction(queue, inserts, no_values);
}

void prepare_worker() noexcept
{
    vt_perf::reset_registry();
    vt_load_metric_id_list();
    if (!vt_perf::batch_in_one_transaction)
        return;
    vt_set_batch_runner([](const std::string &queue, const std::vector<std::string> &records,
                           const std::vector<vt::MessageId> &ids) {
        try {
            run_perfdata_batch(queue, records, ids);
        } catch (...) {
            vt_perf::defer_value_inserts(nullptr);
            vt::log_caught("perfdata batch");
        }
    });
}

}  // namespace

extern "C" void *vt_process_gearman_perfdata(gearman_job_st *job, void *, size_t *result_size,
                                             gearman_return_t *ret_ptr)
{
    if (result_size)
        *result_size = 0;
    /* Reported done in every case: a record that cannot be read will not improve by being
     * handed out again. */
    if (ret_ptr)
        *ret_ptr = GEARMAN_SUCCESS;
    try {
        take_record(vt_job_workload_text(job), 3);
    } catch (...) {
        vt::log_caught("vt_process_gearman_perfdata");
    }
    return nullptr;
}

void vt_perf::process_identified_record(const std::string &queue, const std::string &record,
                                        const vt::MessageId &id)
{
    try {
        run_perfdata_batch(queue, {record}, {id});
    } catch (...) {
        vt_perf::defer_value_inserts(nullptr);
        vt::log_caught("perfdata record");
    }
}

extern "C" int vt_process_perfdata(const char *record)
{
    if (!record)
        return -2;
    return vt::guarded("vt_process_perfdata", -2, [&] { return take_record(record, 4) < 4 ? -2 : 0; });
}

extern "C" void vt_write_perfdata_errors(const char *text)
{
    vt_rotate_error_file(VT_PERFDATA_ERRORS);
    vt_append_line(VT_PERFDATA_ERRORS, text);
}

extern "C" pid_t vt_perfdata_gm_dispatcher(void)
{
    return vt::guarded("vt_perfdata_gm_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_start_queue_worker("vtdb_perfdata", vt_process_gearman_perfdata,
                                     "ERROR Could not fork for perfdata gearman processing", prepare_worker, nullptr);
    });
}
