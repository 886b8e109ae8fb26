/* Performance-data store: registers each parsed metric as needed and writes its value. */
#include "vt_perfdata.h"
#include "vt_perfdata_internal.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

using vt_perf::append_node;
using vt_perf::clean_label;
using vt_perf::format_number;
using vt_perf::kNumberSize;
using vt_perf::value_is_number;

namespace {

bool is_number_text(const char *s)
{
    const char *p = s;
    if (*p == '-')
        ++p;
    const char *digits = p;
    while (*p >= '0' && *p <= '9')
        ++p;
    if (p == digits || *p != '.')
        return false;
    const char *decimals = ++p;
    while (*p >= '0' && *p <= '9')
        ++p;
    return p != decimals && *p == '\0';
}

/* A numeric member as written unquoted into a statement: the parser's "%.3f" text as it is,
 * NULL when absent or not one finite number, any other number printed as the parser would. */
std::string sql_number(const char *member)
{
    if (!member)
        return "NULL";
    if (is_number_text(member))
        return member;
    char buf[kNumberSize];
    return format_number(member, buf) ? std::string(buf) : std::string("NULL");
}

double number_or_zero(const std::string &sql)
{
    return sql == "NULL" ? 0.0 : std::strtod(sql.c_str(), nullptr);
}

/* A label as the parser gives it is already a safe literal body (see clean_label); one that
 * reached this point some other way is cleaned first. */
std::string safe_label(const char *label)
{
    size_t len = std::strlen(label);
    bool clean = true;
    for (size_t i = 0; i < len && clean; ++i) {
        unsigned char c = static_cast<unsigned char>(label[i]);
        clean = !(c >= 1 && c <= 31) && c != '\'';
    }
    size_t run = 0;
    while (run < len && label[len - 1 - run] == '\\')
        ++run;
    if (clean && run % 2 == 0)
        return std::string(label, len);
    std::string out(2 * len + 100, '\0');
    out.resize(clean_label(label, len, &out[0], out.size()));
    return out;
}
/* Reads the first row of the registry lookup. Returns false on a failed query. */
bool lookup_metric(int host_id, int service_id, const std::string &label, bool *found, unsigned long long *id,
                   std::string *host_name, std::string *description, bool *host_null, bool *desc_null)
{
    std::string q = vt::format("SELECT a.metric_id, b.host_name, b.service_description from vtcfg.service_metric as a, "
                               "vantor4.service_status as b where a.host_id='%d' and a.service_id='%d' and "
                               "a.metric='%s' and a.host_id = b.host_id and a.service_id = b.service_id",
                               host_id, service_id, label.c_str());
    int status = 0;
    vt::Result res(db_query_exec(q.c_str(), "vtcfg", &status, 1));
    *found = false;
    if (status != 0)
        return false;
    if (!res)
        return true;
    MYSQL_ROW row = mysql_fetch_row(res.get());
    if (!row)
        return true;
    *found = true;
    *id = row[0] ? std::strtoull(row[0], nullptr, 10) : 0;
    *host_null = !row[1];
    *desc_null = !row[2];
    *host_name = vt::col_or_empty(row[1]);
    *description = vt::col_or_empty(row[2]);
    return true;
}

/* What register_metric decided about a metric's value. */
constexpr int kStoreValue = 0;
constexpr int kValueDenied = 1;  /* the service is at its limit: the value is dropped, logged */

/* Registers the metric if it is new or changed (within VT_MAX_METRICS per service) and puts
 * its id in *metric_id_out. Returns kStoreValue when its value is to be stored, kValueDenied when
 * not, -2 when the metric or its value is unusable or could not be registered (logged). */
int register_metric(perfdata_job *job, perf_metric *m, unsigned long long *metric_id_out)
{
    char *members[] = {m->unit, m->max, m->min, m->value, m->warning, m->critical, m->baseline, m->lower_limit,
                       m->upper_limit};
    for (char *s : members)
        vt_remove_quote(s);

    if (job->host_id <= 0) {
        vt_logf("ERROR perfdata dropped - host id %d is not a positive number", job->host_id);
        return -2;
    }
    /* Only a number may reach the value column: text there fails the whole statement. */
    if (!m->value || !value_is_number(m->value, std::strlen(m->value))) {
        vt_logf("ERROR perfdata dropped - value of metric %s is not a number", m->label ? m->label : "");
        return -2;
    }
    /* Beyond the range of a double the value column refuses it, and with it the insert of the
     * whole record: such a value is dropped alone. */
    if (!std::isfinite(std::strtod(m->value, nullptr))) {
        vt_logf("ERROR perfdata dropped - value of metric %s is out of range", m->label ? m->label : "");
        return -2;
    }
    const std::string label = safe_label(m->label ? m->label : "");
    const char *unit = m->unit ? m->unit : "";
    const std::string unit_sql = vt_escape_sql_text(unit);
    const std::string max_sql = sql_number(m->max);
    const std::string min_sql = sql_number(m->min);
    const double vmin = number_or_zero(min_sql);
    const double vmax = number_or_zero(max_sql);
    const int host_id = job->host_id;
    const int service_id = job->service_id;

    unsigned long long metric_id = 0;
    metric_node *node = vt_find_metric_id(host_id, service_id, label.c_str());
    if (node) {
        metric_id = node->metric_id;
        if (!(vmin == node->value_min && vmax == node->value_max && node->unit && std::strcmp(unit, node->unit) == 0)) {
            std::string q = vt::format(
                "INSERT IGNORE INTO vtcfg.service_metric (`metric_id`, `host_id`, `service_id`, `metric`, `unit`, "
                "`value_max`, `value_min`) values (%llu,%d,%d,'%s','%s',%s,%s) ON DUPLICATE KEY UPDATE unit='%s', "
                "value_max=%s, value_min=%s;",
                node->metric_id, host_id, service_id, label.c_str(), unit_sql.c_str(), max_sql.c_str(),
                min_sql.c_str(), unit_sql.c_str(), max_sql.c_str(), min_sql.c_str());
            int status = 0;
            mysql_free_result(db_query_exec(q.c_str(), "vtcfg", &status, 1));
            node->value_min = vmin;
            node->value_max = vmax;
            if (char *u = strdup(unit)) {
                std::free(node->unit);
                node->unit = u;
            }
        }
    } else {
        int count = 0;
        metric_node *last = vt_count_metric_per_host_service(host_id, service_id, &count);
        if (count >= VT_MAX_METRICS) {
            if (last)
                vt_logf("ERROR: metric %s denied - H %s/%d & SVC %s/%d have already %d metrics", label.c_str(),
                        vt::col_or_empty(last->host_name), host_id, vt::col_or_empty(last->service_description),
                        service_id, count);
            return kValueDenied;
        }
        bool found = false, host_null = false, desc_null = false;
        std::string host_name, description;
        bool ok = lookup_metric(host_id, service_id, label, &found, &metric_id, &host_name, &description, &host_null,
                                &desc_null);
        if (ok && found)
            append_node(metric_id, host_id, service_id, label.c_str(), unit, vmin, vmax,
                        host_null ? nullptr : host_name.c_str(), desc_null ? nullptr : description.c_str());
        if (!(ok && found && metric_id != 0)) {
            std::string q = vt::format(
                "INSERT IGNORE INTO vtcfg.service_metric (`host_id`, `service_id`, `metric`, `unit`, `value_max`, "
                "`value_min`) values (%d,%d,'%s','%s',%s,%s) ON DUPLICATE KEY UPDATE unit='%s', value_max=%s, "
                "value_min=%s;",
                host_id, service_id, label.c_str(), unit_sql.c_str(), max_sql.c_str(), min_sql.c_str(),
                unit_sql.c_str(), max_sql.c_str(), min_sql.c_str());
            int status = 0;
            mysql_free_result(db_query_exec(q.c_str(), "vtcfg", &status, 1));
            if (status == -2) {
                vt_write_to_log("ERROR: could not insert new metric in service_metric");
                return -2;
            }
            metric_id = 0;
            if (!lookup_metric(host_id, service_id, label, &found, &metric_id, &host_name, &description, &host_null,
                               &desc_null))
                return -2;
            if (found) {
                append_node(metric_id, host_id, service_id, label.c_str(), unit, vmin, vmax,
                            host_null ? nullptr : host_name.c_str(), desc_null ? nullptr : description.c_str());
            } else {
                vt_logf("ERROR: metric_id not found %d %d %s", host_id, service_id, label.c_str());
                metric_id = 0;
            }
        }
    }

    *metric_id_out = metric_id;
    return kStoreValue;
}

/* Appends the value row of a registered metric to rows, ", " between rows. */
void append_value_row(std::string &rows, const perfdata_job &job, unsigned long long metric_id, const perf_metric &m)
{
    if (!rows.empty())
        rows += ", ";
    rows += vt::format("(\tfrom_unixtime(%lld),\t'%d',\t'%llu',\t'%s',\t %s, \t %s, \t %s, \t %s, \t %s )",
                       job.entry_time, job.service_id, metric_id, vt_escape_sql_text(m.value).c_str(),
                       sql_number(m.warning).c_str(), sql_number(m.critical).c_str(),
                       sql_number(m.baseline).c_str(), sql_number(m.lower_limit).c_str(),
                       sql_number(m.upper_limit).c_str());
}

/* Inserts the value rows of one record with one statement; a statement that fails even after
 * the host's table was created is kept whole in the failed-SQL file, so that replaying it
 * stores the record as one. Returns the insert's status (0 or -2). */
int insert_value_rows(int host_id, const std::string &rows)
{
    std::string insert = "INSERT INTO vtperf.service_perf_" + std::to_string(host_id) +
                         " (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,\tcritical,\tbaseline,"
                         "\tlower_limit,\tupper_limit) VALUES " + rows + ";";
    int status = vt_perfdata_insert_data(insert.c_str(), host_id, static_cast<int>(insert.size()));
    if (status == -2)
        vt_write_failed_sql(insert.c_str());
    return status;
}

int store_metric(perfdata_job *job, perf_metric *m)
{
    unsigned long long metric_id = 0;
    int decided = register_metric(job, m, &metric_id);
    if (decided != kStoreValue)
        return decided == kValueDenied ? 0 : decided;
    std::string rows;
    append_value_row(rows, *job, metric_id, *m);
    return insert_value_rows(job->host_id, rows);
}

/* The metrics of one record as the parser hands them out: each registered at once, its value
 * row kept for the record's one insert. */
struct RecordRows {
    perfdata_job *job;
    std::string rows;
};

void collect_sink(perf_metric *m, void *context)
{
    auto *rec = static_cast<RecordRows *>(context);
    try {
        unsigned long long metric_id = 0;
        if (register_metric(rec->job, m, &metric_id) == kStoreValue)
            append_value_row(rec->rows, *rec->job, metric_id, *m);
    } catch (...) {
        /* This metric is lost; the others of the record are still stored. */
        vt::log_caught("vtdb_store_perfdata");
    }
}

/* Parses the record's text and stores all its values with one insert. The values of the
 * metrics before a point where parsing stopped are stored all the same. */
int process_record(perfdata_job *job)
{
    RecordRows rec{job, std::string()};
    int parsed = -2;
    try {
        parsed = vt_parse_perfdata(job->perfdata, collect_sink, &rec);
    } catch (...) {
        vt::log_caught("vtdb_process_perfdata");
    }
    if (!rec.rows.empty())
        insert_value_rows(job->host_id, rec.rows);
    return parsed;
}

}  // namespace

extern "C" int vtdb_process_perfdata(struct perfdata_job *job)
{
    if (!job)
        return -2;
    if (job->host_id <= 0) {
        vt_logf("ERROR perfdata dropped - host id %d is not a positive number", job->host_id);
        return -2;
    }
    return vt::guarded("vtdb_process_perfdata", -2, [&] { return process_record(job); });
}

extern "C" int vtdb_store_perfdata(struct perfdata_job *job, struct perf_metric *metric)
{
    if (!job || !metric)
        return -2;
    return vt::guarded("vtdb_store_perfdata", -2, [&] { return store_metric(job, metric); });
}
