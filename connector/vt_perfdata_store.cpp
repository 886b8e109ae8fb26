/* Performance-data store: registers each parsed metric as needed and writes its value. */
#include "vt_perfdata.h"
#include "vt_perfdata_internal.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_util.h"
#include "vt_worker.h"
#include "vt_batch_tx.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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
/* A parsed metric on its way to the store, with everything the statements need. */
struct Pending {
    std::string label;    /* the registry's form, a safe literal body */
    std::string unit;     /* as parsed ("" when absent) */
    std::string unit_sql; /* escaped body */
    std::string max_sql, min_sql;
    double vmin = 0, vmax = 0;
    perf_metric *metric = nullptr;
    unsigned long long id = 0;
    bool store = false; /* registered: its value goes in the record's insert */
};

/* Checks a parsed metric and fills p. False (logged) when its value cannot be stored. */
bool prepare_metric(const perfdata_job &job, perf_metric *m, Pending *p)
{
    char *members[] = {m->unit, m->max, m->min, m->value, m->warning, m->critical, m->baseline, m->lower_limit,
                       m->upper_limit};
    for (char *s : members)
        vt_remove_quote(s);

    if (job.host_id <= 0) {
        vt_logf("ERROR perfdata dropped - host id %d is not a positive number", job.host_id);
        return false;
    }
    /* Only a number may reach the value column: text there fails the whole statement. */
    if (!m->value || !value_is_number(m->value, std::strlen(m->value))) {
        vt_logf("ERROR perfdata dropped - value of metric %s is not a number", m->label ? m->label : "");
        return false;
    }
    /* Beyond the range of a double the value column refuses it, and with it the insert of the
     * whole record: such a value is dropped alone. */
    if (!std::isfinite(std::strtod(m->value, nullptr))) {
        vt_logf("ERROR perfdata dropped - value of metric %s is out of range", m->label ? m->label : "");
        return false;
    }
    p->label = safe_label(m->label ? m->label : "");
    p->unit = m->unit ? m->unit : "";
    p->unit_sql = vt_escape_sql_text(p->unit.c_str());
    p->max_sql = sql_number(m->max);
    p->min_sql = sql_number(m->min);
    p->vmin = number_or_zero(p->min_sql);
    p->vmax = number_or_zero(p->max_sql);
    p->metric = m;
    return true;
}

/* A known metric whose unit or range changed is registered again with its new properties. */
void update_changed(metric_node *node, const Pending &p, int host_id, int service_id)
{
    if (p.vmin == node->value_min && p.vmax == node->value_max && node->unit && p.unit == node->unit)
        return;
    std::string q = vt::format(
        "INSERT IGNORE INTO vtcfg.service_metric (`metric_id`, `host_id`, `service_id`, `metric`, `unit`, "
        "`value_max`, `value_min`) values (%llu,%d,%d,'%s','%s',%s,%s) ON DUPLICATE KEY UPDATE unit='%s', "
        "value_max=%s, value_min=%s;",
        node->metric_id, host_id, service_id, p.label.c_str(), p.unit_sql.c_str(), p.max_sql.c_str(),
        p.min_sql.c_str(), p.unit_sql.c_str(), p.max_sql.c_str(), p.min_sql.c_str());
    int status = 0;
    mysql_free_result(db_query_exec(q.c_str(), "vtcfg", &status, 1));
    node->value_min = p.vmin;
    node->value_max = p.vmax;
    if (char *u = strdup(p.unit.c_str())) {
        std::free(node->unit);
        node->unit = u;
    }
}

/* Adds to the registry every metric of the services that where selects (registered by
 * another worker, or by this one a moment ago) and the registry does not hold: one read by the
 * metric table's own key, whether or not the services have status rows yet. False when the
 * read failed (logged). */
bool load_metrics_where(const std::string &where)
{
    const std::string q =
        "SELECT metric_id, host_id, service_id, metric, unit, value_min, value_max FROM vtcfg.service_metric WHERE " +
        where;
    int status = 0;
    vt::Result res(db_query_exec(q.c_str(), "vtcfg", &status, 1));
    if (status != 0)
        return false;
    while (MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr) {
        if (!row[0] || !row[1] || !row[2] || !row[3])
            continue;
        const int host_id = static_cast<int>(std::strtol(row[1], nullptr, 10));
        const int service_id = static_cast<int>(std::strtol(row[2], nullptr, 10));
        const std::string name = vt_perf::registry_name(row[3]);
        if (vt_find_metric_id(host_id, service_id, name.c_str()))
            continue;
        append_node(std::strtoull(row[0], nullptr, 10), host_id, service_id, name.c_str(), row[4],
                    row[5] ? std::strtod(row[5], nullptr) : 0.0, row[6] ? std::strtod(row[6], nullptr) : 0.0,
                    nullptr, nullptr);
    }
    return true;
}

bool load_service_metrics(int host_id, int service_id)
{
    return load_metrics_where(vt::format("host_id=%d AND service_id=%d", host_id, service_id));
}

/* Registers the metrics of rows (value lists of host, service, metric, unit, max, min): new
 * ones are added, known ones take the properties given. False when the statement failed. */
bool insert_registrations(const std::string &rows)
{
    const std::string q = "INSERT INTO vtcfg.service_metric (`host_id`, `service_id`, `metric`, `unit`, `value_max`, "
                          "`value_min`) VALUES " + rows +
                          " ON DUPLICATE KEY UPDATE unit=VALUES(unit), value_max=VALUES(value_max), "
                          "value_min=VALUES(value_min);";
    int status = 0;
    mysql_free_result(db_query_exec(q.c_str(), "vtcfg", &status, 1));
    return status == 0;
}

/* Gives p the id of its metric, registered and read back a moment ago, so that its value is
 * stored; logged when the read did not bring it. The read gives the database's properties;
 * the registry keeps the ones just sent. */
void adopt_registered(int host_id, int service_id, Pending &p)
{
    metric_node *node = vt_find_metric_id(host_id, service_id, p.label.c_str());
    if (!node) {
        vt_logf("ERROR: metric_id not found %d %d %s", host_id, service_id, p.label.c_str());
        return;
    }
    node->value_min = p.vmin;
    node->value_max = p.vmax;
    if (char *u = strdup(p.unit.c_str())) {
        std::free(node->unit);
        node->unit = u;
    }
    p.id = node->metric_id;
    p.store = true;
}

/* The names of the service, for the registry's log lines: read from its status row when a
 * line needs them and the registry has none yet. */
void fill_names(metric_node *node)
{
    if (!node || (node->host_name && node->service_description))
        return;
    const std::string q = vt::format("SELECT host_name, service_description FROM vantor4.service_status WHERE "
                                     "host_id=%d AND service_id=%d",
                                     node->host_id, node->service_id);
    int status = 0;
    vt::Result res(db_query_exec(q.c_str(), "vantor4", &status, 1));
    MYSQL_ROW row = status == 0 && res ? mysql_fetch_row(res.get()) : nullptr;
    if (!row)
        return;
    if (!node->host_name && row[0])
        node->host_name = strdup(row[0]);
    if (!node->service_description && row[1])
        node->service_description = strdup(row[1]);
}

/* Registers the new metrics of a record (rows: their value lists) with one statement and
 * reads their ids back with one read of the service's metrics. */
void send_registration(const perfdata_job &job, const std::string &rows, const std::vector<Pending *> &registering)
{
    const int host_id = job.host_id, service_id = job.service_id;
    if (registering.empty())
        return;
    if (!insert_registrations(rows)) {
        vt_write_to_log("ERROR: could not insert new metric in service_metric");
        return;
    }
    if (!load_service_metrics(host_id, service_id))
        return;
    for (Pending *p : registering)
        adopt_registered(host_id, service_id, *p);
}

/* Finds or registers every metric of a record and marks those whose values are to be stored.
 * Known metrics cost nothing (or one update when their unit or range changed). Metrics the
 * registry does not know cost one registration of them all and one read of the service's
 * metrics, which also brings in what other workers registered: never a statement per metric.
 * A metric beyond VT_MAX_METRICS is refused (logged); no value is ever stored without its
 * metric's id. */
void register_metrics(const perfdata_job &job, std::vector<Pending> &metrics)
{
    const int host_id = job.host_id, service_id = job.service_id;
    std::vector<Pending *> unknown;
    for (Pending &p : metrics) {
        if (metric_node *node = vt_find_metric_id(host_id, service_id, p.label.c_str())) {
            update_changed(node, p, host_id, service_id);
            p.id = node->metric_id;
            p.store = true;
        } else {
            unknown.push_back(&p);
        }
    }
    if (unknown.empty())
        return;
    int count = 0;
    vt_count_metric_per_host_service(host_id, service_id, &count);
    /* What other workers registered is read before the registration only where the limit
     * could be reached. Below it, registering such a metric again changes nothing but its
     * properties (to this record's, as update_changed would) and the read after the
     * registration finds it: a new service, as every service is at a first start, costs two
     * statements instead of three. */
    if (count + static_cast<int>(unknown.size()) > VT_MAX_METRICS) {
        if (!load_service_metrics(host_id, service_id))
            return;
        vt_count_metric_per_host_service(host_id, service_id, &count);
    }
    std::string rows;
    std::vector<Pending *> registering, denied;
    for (Pending *p : unknown) {
        if (metric_node *node = vt_find_metric_id(host_id, service_id, p->label.c_str())) {
            update_changed(node, *p, host_id, service_id);
            p->id = node->metric_id;
            p->store = true;
            continue;
        }
        bool twice = false;
        for (Pending *r : registering)
            twice = twice || r->label == p->label;
        if (twice) {
            registering.push_back(p);
            continue;
        }
        if (count >= VT_MAX_METRICS) {
            denied.push_back(p);
            continue;
        }
        ++count;
        registering.push_back(p);
        if (!rows.empty())
            rows += ",";
        rows += vt::format("(%d,%d,'%s','%s',%s,%s)", host_id, service_id, p->label.c_str(), p->unit_sql.c_str(),
                           p->max_sql.c_str(), p->min_sql.c_str());
    }
    send_registration(job, rows, registering);
    /* Refusals are logged once the record's new metrics are in the registry, naming the
     * service after the last of them. */
    for (Pending *p : denied) {
        int n = 0;
        metric_node *last = vt_count_metric_per_host_service(host_id, service_id, &n);
        if (!last)
            continue;
        fill_names(last);
        vt_logf("ERROR: metric %s denied - H %s/%d & SVC %s/%d have already %d metrics", p->label.c_str(),
                vt::col_or_empty(last->host_name), host_id, vt::col_or_empty(last->service_description), service_id,
                n);
    }
}

/* A value row after its metric's id: the value and the thresholds. */
std::string value_row_tail(const perf_metric &m)
{
    return vt::format("',\t'%s',\t %s, \t %s, \t %s, \t %s, \t %s )", vt_escape_sql_text(m.value).c_str(),
                      sql_number(m.warning).c_str(), sql_number(m.critical).c_str(), sql_number(m.baseline).c_str(),
                      sql_number(m.lower_limit).c_str(), sql_number(m.upper_limit).c_str());
}

/* Appends the value row of a registered metric (its tail from value_row_tail) to rows, ", "
 * between rows. */
void append_value_row(std::string &rows, const perfdata_job &job, unsigned long long metric_id,
                      const std::string &tail)
{
    if (!rows.empty())
        rows += ", ";
    rows += vt::format("(\tfrom_unixtime(%lld),\t'%d',\t'%llu", job.entry_time, job.service_id, metric_id);
    rows += tail;
}

/* The insert of one record's value rows. */
std::string value_insert(int host_id, const std::string &rows)
{
    return "INSERT INTO vtperf.service_perf_" + std::to_string(host_id) +
           " (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,\tcritical,\tbaseline,"
           "\tlower_limit,\tupper_limit) VALUES " + rows + ";";
}

/* While a batch is taken apart, the value inserts of its records wait here, to be sent in
 * one transaction at its end; otherwise each is sent at once. */
std::vector<vt_perf::ValueInsert> *deferred_inserts = nullptr;

/* Sends one record's value insert alone; a statement that fails even after the host's table
 * was created is kept whole in the failed-SQL file, so that replaying it stores the record as
 * one. Returns the insert's status (0 or -2). */
int insert_alone(int host_id, const std::string &insert)
{
    int status = vt_perfdata_insert_data(insert.c_str(), host_id, static_cast<int>(insert.size()));
    if (status == -2)
        vt_write_failed_sql(insert.c_str());
    return status;
}

/* Inserts the value rows of one record with one statement (now, or with its batch). */
int insert_value_rows(int host_id, const std::string &rows)
{
    std::string insert = value_insert(host_id, rows);
    if (deferred_inserts) {
        deferred_inserts->push_back(vt_perf::ValueInsert{host_id, std::move(insert), vt::MessageId()});
        return 0;
    }
    return insert_alone(host_id, insert);
}

/* A record of a batch with metrics the registry does not know. Its new metrics are
 * registered with those of the batch's other records, in one statement and one read at the
 * batch's end (at a first start every service is new, and a statement and a read for each
 * would cost the database more than its values do); its value insert takes the place kept
 * for it among the batch's inserts then. */
struct WaitingRecord {
    int host_id = 0, service_id = 0;
    long long entry_time = 0;
    std::vector<Pending> metrics; /* metric pointers cleared: the parser's copies are gone by then */
    std::vector<std::string> tails;
    size_t slot = 0;
};
std::vector<WaitingRecord> waiting_records;

/* The labels of a service that wait for the batch's registration. */
size_t waiting_labels(int host_id, int service_id, const std::vector<const std::string *> &more)
{
    std::vector<const std::string *> labels;
    auto add = [&labels](const std::string *l) {
        for (const std::string *x : labels)
            if (*x == *l)
                return;
        labels.push_back(l);
    };
    for (const WaitingRecord &w : waiting_records)
        if (w.host_id == host_id && w.service_id == service_id)
            for (const Pending &p : w.metrics)
                if (!p.store)
                    add(&p.label);
    for (const std::string *l : more)
        add(l);
    return labels.size();
}

/* Keeps a record with new metrics for the batch's registration: true when it waits. Known
 * metrics are handled now; a service that could reach the limit is registered at once, by
 * register_metrics, which counts what other workers registered first. */
bool wait_for_registration(const perfdata_job &job, std::vector<Pending> &metrics)
{
    if (!deferred_inserts)
        return false;
    std::vector<const std::string *> unknown;
    for (const Pending &p : metrics)
        if (!vt_find_metric_id(job.host_id, job.service_id, p.label.c_str()))
            unknown.push_back(&p.label);
    if (unknown.empty())
        return false;
    int count = 0;
    vt_count_metric_per_host_service(job.host_id, job.service_id, &count);
    if (count + waiting_labels(job.host_id, job.service_id, unknown) > static_cast<size_t>(VT_MAX_METRICS))
        return false;
    WaitingRecord w;
    w.host_id = job.host_id;
    w.service_id = job.service_id;
    w.entry_time = job.entry_time;
    for (Pending &p : metrics) {
        if (metric_node *node = vt_find_metric_id(job.host_id, job.service_id, p.label.c_str())) {
            update_changed(node, p, job.host_id, job.service_id);
            p.id = node->metric_id;
            p.store = true;
        }
        w.tails.push_back(value_row_tail(*p.metric));
        p.metric = nullptr;
    }
    w.metrics = std::move(metrics);
    w.slot = deferred_inserts->size();
    deferred_inserts->push_back(vt_perf::ValueInsert{job.host_id, std::string(), vt::MessageId()});
    waiting_records.push_back(std::move(w));
    return true;
}

/* Registers the metrics and stores the values of one record (or of one metric). */
int store_metrics(perfdata_job *job, const std::vector<perf_metric *> &parsed)
{
    std::vector<Pending> metrics;
    metrics.reserve(parsed.size());
    for (perf_metric *m : parsed) {
        Pending p;
        if (prepare_metric(*job, m, &p))
            metrics.push_back(std::move(p));
    }
    if (metrics.empty())
        return parsed.size() == 1 ? -2 : 0;
    if (wait_for_registration(*job, metrics))
        return 0;
    register_metrics(*job, metrics);
    std::string rows;
    uint64_t values = 0;
    for (const Pending &p : metrics)
        if (p.store) {
            append_value_row(rows, *job, p.id, value_row_tail(*p.metric));
            ++values;
        }
    if (rows.empty())
        return 0;
    vt::metrics::values_stored(values);
    return insert_value_rows(job->host_id, rows);
}

/* The registration statement's value list for the new metrics of the waiting records (of one
 * service, or of all when service_of is null), each metric once, with the properties of its
 * last record, which the registry keeps too. */
std::string registration_rows(const std::pair<int, int> *service_of)
{
    std::string rows;
    std::vector<std::pair<std::pair<int, int>, const std::string *>> seen;
    for (auto it = waiting_records.rbegin(); it != waiting_records.rend(); ++it) {
        const WaitingRecord &w = *it;
        if (service_of && (w.host_id != service_of->first || w.service_id != service_of->second))
            continue;
        for (const Pending &p : w.metrics) {
            if (p.store)
                continue;
            bool twice = false;
            for (const auto &s : seen)
                twice = twice || (s.first.first == w.host_id && s.first.second == w.service_id && *s.second == p.label);
            if (twice)
                continue;
            seen.push_back({{w.host_id, w.service_id}, &p.label});
            if (!rows.empty())
                rows += ",";
            rows += vt::format("(%d,%d,'%s','%s',%s,%s)", w.host_id, w.service_id, p.label.c_str(),
                               p.unit_sql.c_str(), p.max_sql.c_str(), p.min_sql.c_str());
        }
    }
    return rows;
}

/* Registers the new metrics of every waiting record with one statement (a service at a time
 * when that fails, so that one bad metric costs only its own service's) and reads the ids of
 * all their services back with one read. */
void register_waiting_metrics()
{
    std::vector<std::pair<int, int>> services;
    for (const WaitingRecord &w : waiting_records) {
        bool known = false;
        for (const auto &s : services)
            known = known || (s.first == w.host_id && s.second == w.service_id);
        if (!known)
            services.push_back({w.host_id, w.service_id});
    }
    const std::string rows = registration_rows(nullptr);
    if (!rows.empty() && !insert_registrations(rows) && !db_connection_lost(mysql_errno(&dbHandle))) {
        for (const auto &s : services) {
            const std::string own = registration_rows(&s);
            if (!own.empty() && !insert_registrations(own))
                vt_write_to_log("ERROR: could not insert new metric in service_metric");
        }
    }
    std::string where;
    for (const auto &s : services)
        where += vt::format("%s(host_id=%d AND service_id=%d)", where.empty() ? "" : " OR ", s.first, s.second);
    load_metrics_where(where);
}

int store_metric(perfdata_job *job, perf_metric *m)
{
    return store_metrics(job, {m});
}

/* A parsed metric kept until the record is parsed: the parser frees its own copy. */
struct OwnedMetric {
    std::string text[10];
    bool present[10] = {};
    perf_metric view{};
    explicit OwnedMetric(const perf_metric &m)
    {
        char *const from[] = {m.label, m.value, m.unit, m.warning, m.critical, m.min, m.max, m.baseline,
                              m.lower_limit, m.upper_limit};
        char **to[] = {&view.label, &view.value, &view.unit, &view.warning, &view.critical, &view.min, &view.max,
                       &view.baseline, &view.lower_limit, &view.upper_limit};
        for (int i = 0; i < 10; ++i) {
            present[i] = from[i] != nullptr;
            if (present[i])
                text[i] = from[i];
        }
        for (int i = 0; i < 10; ++i)
            *to[i] = present[i] ? &text[i][0] : nullptr;
    }
    OwnedMetric(const OwnedMetric &) = delete;
    OwnedMetric &operator=(const OwnedMetric &) = delete;
};

void collect_sink(perf_metric *m, void *context)
{
    auto *all = static_cast<std::vector<std::unique_ptr<OwnedMetric>> *>(context);
    try {
        all->push_back(std::make_unique<OwnedMetric>(*m));
    } catch (...) {
        /* This metric is lost; the others of the record are still stored. */
        vt::log_caught("vtdb_store_perfdata");
    }
}

/* Parses the record's text and stores all its values with one insert. The values of the
 * metrics before a point where parsing stopped are stored all the same. */
int process_record(perfdata_job *job)
{
    std::vector<std::unique_ptr<OwnedMetric>> owned;
    int parsed = -2;
    try {
        parsed = vt_parse_perfdata(job->perfdata, collect_sink, &owned);
    } catch (...) {
        vt::log_caught("vtdb_process_perfdata");
    }
    std::vector<perf_metric *> metrics;
    for (auto &m : owned)
        metrics.push_back(&m->view);
    if (!metrics.empty())
        store_metrics(job, metrics);
    return parsed;
}

}  // namespace

namespace vt_perf {

void defer_value_inserts(std::vector<ValueInsert> *to)
{
    deferred_inserts = to;
    waiting_records.clear();
}

void register_waiting(std::vector<ValueInsert> &inserts, std::vector<vt::MessageId> &no_values)
{
    if (waiting_records.empty())
        return;
    register_waiting_metrics();
    for (WaitingRecord &w : waiting_records) {
        std::string rows;
        uint64_t values = 0;
        const perfdata_job job{w.entry_time, w.host_id, w.service_id, nullptr};
        for (size_t i = 0; i < w.metrics.size(); ++i) {
            Pending &p = w.metrics[i];
            if (!p.store)
                adopt_registered(w.host_id, w.service_id, p);
            if (!p.store)
                continue;
            append_value_row(rows, job, p.id, w.tails[i]);
            ++values;
        }
        if (w.slot < inserts.size() && !rows.empty()) {
            vt::metrics::values_stored(values);
            inserts[w.slot].statement = value_insert(w.host_id, rows);
        }
    }
    waiting_records.clear();
    /* A record none of whose values could be stored is carried out all the same. */
    std::vector<ValueInsert> kept;
    kept.reserve(inserts.size());
    for (ValueInsert &v : inserts) {
        if (!v.statement.empty())
            kept.push_back(std::move(v));
        else if (v.id.valid())
            no_values.push_back(v.id);
    }
    inserts.swap(kept);
}

/* The value inserts of a batch go in one transaction: one commit for all its records instead
 * of one each (vt::run_batch says what happens on the way, a host without its table included). */
void store_in_one_transaction(const std::string &queue, const std::vector<ValueInsert> &inserts,
                              const std::vector<vt::MessageId> &no_values)
{
    if (inserts.size() == 1 && !inserts[0].id.valid()) {
        insert_alone(inserts[0].host_id, inserts[0].statement);
        return;
    }
    if (inserts.empty())
        return;
    std::vector<std::string> stmts;
    stmts.reserve(inserts.size());
    vt::BatchPlan batch;
    batch.queue = queue;
    batch.also_done = no_values;
    for (const ValueInsert &v : inserts) {
        batch.units.push_back(vt::BatchUnit{std::string(), {stmts.size()}});
        stmts.push_back(v.statement);
        batch.ids.push_back(v.id);
    }
    batch.schema = "vtperf";
    batch.what = "perfdata batch";
    batch.statements = &stmts;
    batch.run_alone = [&inserts](size_t i) { insert_alone(inserts[i].host_id, inserts[i].statement); };
    vt::run_batch(batch);
}

}  // namespace vt_perf

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
