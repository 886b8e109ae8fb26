/* Performance-data workers: parse plugin performance data, keep the metric registry, store values. */
#include "vt_perfdata.h"
#include "vt_connector.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vt_worker.h"
#include "vantor_config.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <regex.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

struct metric_node *metric_root = nullptr;
struct metric_node *metric_last = nullptr;

namespace {

/* ------------------------------------------------------------------------------------------
 * Parser
 * ---------------------------------------------------------------------------------------- */

/* The three patterns, compiled once per process on first use. The value class lists "-" last
 * so that it is a literal member: a backslash inside a bracket expression would be one too,
 * and would let "1\" pass as a value into a quoted statement field. */
struct Patterns {
    regex_t first, next, value;
    bool first_ok, next_ok, value_ok;
    Patterns()
    {
        first_ok = regcomp(&first, "([^=]{1,})=", REG_EXTENDED) == 0;
        next_ok = regcomp(&next, " ([^=]{1,})=", REG_EXTENDED) == 0;
        value_ok = regcomp(&value, "([0-9.-]{1,})", REG_EXTENDED) == 0;
    }
};

const Patterns &patterns()
{
    static const Patterns p;
    return p;
}

/* Room for "%.3f" of any finite double (309 digits, sign, point, decimals). */
constexpr size_t kNumberSize = 352;

constexpr size_t kLabelSize = VT_PERFDATA_MAX_LABEL + 100;

/* The parser's buffers, reused for every metric of a text; members of the handed-out metric
 * point into them. Each buffer is an allocation of its own, so that the sanitizer build sees
 * its bounds. Not zeroed: every byte is written before it is read. */
struct Work {
    std::unique_ptr<char[]> label{new char[kLabelSize]};
    std::unique_ptr<char[]> field{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> value{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> unit{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> number[7];
    Work()
    {
        for (auto &n : number)
            n.reset(new char[kNumberSize]);
    }
};

/* Writes the cleaned form of in[0..len) into out (capacity cap >= 1): bytes 1 to 31 and single
 * quotes dropped, backslashes doubled, writing stops before the buffer is full, and an odd run
 * of backslashes at the end loses its last one to a space. The result is the body of a
 * single-quoted SQL literal that no input can end early: it holds no quote and every backslash
 * is half of an escaped pair. Returns the length written. */
size_t clean_label(const char *in, size_t len, char *out, size_t cap)
{
    size_t n = 0;
    for (size_t i = 0; i < len && n + 1 < cap; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if ((c >= 1 && c <= 31) || c == '\'')
            continue;
        out[n++] = static_cast<char>(c);
        if (c == '\\' && n + 1 < cap)
            out[n++] = '\\';
    }
    out[n] = '\0';
    size_t run = 0;
    while (run < n && out[n - 1 - run] == '\\')
        ++run;
    if (run % 2 == 1)
        out[n - 1] = ' ';
    return n;
}

/* Whether text[0..len) is one complete decimal number: an optional sign, digits with at
 * most one decimal point and at least one digit, and, where allowed, an exponent. Nothing
 * else may follow; "", ".", "-", "..", "1.2.3" and ranges such as "10:20" are not numbers. */
bool complete_decimal(const char *text, size_t len, bool sign_plus_and_exponent)
{
    size_t i = 0;
    if (i < len && (text[i] == '-' || (sign_plus_and_exponent && text[i] == '+')))
        ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < len; ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            ++digits;
        else if (text[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0)
        return false;
    if (i < len && sign_plus_and_exponent && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < len && (text[i] == '-' || text[i] == '+'))
            ++i;
        size_t exp_digits = 0;
        for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i)
            ++exp_digits;
        if (exp_digits == 0)
            return false;
    }
    return i == len;
}

/* A value must be exactly what the value class allows and one number: "-", "." or "1.2.3"
 * match the class but would reach the database as text it cannot convert. */
bool value_is_number(const char *text, size_t len)
{
    return complete_decimal(text, len, false);
}

/* The text form of a numeric field: "%.3f" of the number it holds, or false when it holds
 * no single finite decimal number (a range such as "10:20", "~", "inf", "1e999"), which
 * then counts as absent, like an empty field: only numbers ever reach a statement. */
bool format_number(const char *field, char *out)
{
    if (!complete_decimal(field, std::strlen(field), true))
        return false;
    double d = std::strtod(field, nullptr);
    if (!std::isfinite(d))
        return false;
    std::snprintf(out, kNumberSize, "%.3f", d);
    return true;
}

/* The label's length after the cut to VT_PERFDATA_MAX_LABEL bytes, moved back to the start of
 * a UTF-8 character that the cut would split: half a character is no text the database can
 * store, and the stored name would never match the label again. */
size_t cut_label(const char *label, size_t len)
{
    if (len <= VT_PERFDATA_MAX_LABEL)
        return len;
    const auto *u = reinterpret_cast<const unsigned char *>(label);
    size_t cut = VT_PERFDATA_MAX_LABEL;
    for (size_t back = 0; back < 4 && back < cut; ++back) {
        unsigned char c = u[cut - back];
        if ((c & 0xC0) == 0x80)
            continue;  /* a continuation byte: the character started earlier */
        if (back == 0 || c < 0xC0)
            return cut;  /* the cut falls between characters, or this is not UTF-8 */
        size_t seq = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        return seq > back ? cut - back : cut;
    }
    return cut;
}

/* ------------------------------------------------------------------------------------------
 * Registry index: the list stays the registry, the index only finds its nodes quickly.
 * ---------------------------------------------------------------------------------------- */

struct MetricKey {
    int host_id;
    int service_id;
    std::string_view name; /* points to the node's own metric text, or to the caller's */
    bool operator==(const MetricKey &o) const
    {
        return host_id == o.host_id && service_id == o.service_id && name == o.name;
    }
};
struct MetricKeyHash {
    size_t operator()(const MetricKey &k) const noexcept
    {
        size_t h = std::hash<std::string_view>()(k.name);
        h ^= (static_cast<size_t>(static_cast<unsigned>(k.host_id)) << 32 |
              static_cast<unsigned>(k.service_id)) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};
struct ServiceCount {
    int count = 0;
    metric_node *last = nullptr;
};

struct RegistryIndex {
    std::unordered_map<MetricKey, metric_node *, MetricKeyHash> by_name; /* first node of a name */
    std::unordered_map<long long, ServiceCount> by_service;
    bool valid = true; /* false once an update could not be made: the list is walked instead */
};

RegistryIndex &registry_index()
{
    static RegistryIndex *idx = new RegistryIndex; /* lives as long as the nodes it points to */
    return *idx;
}

long long service_key(int host_id, int service_id)
{
    return static_cast<long long>(static_cast<unsigned long long>(static_cast<unsigned>(host_id)) << 32 |
                                  static_cast<unsigned>(service_id));
}

char *dup_or_null(const char *s) { return s ? strdup(s) : nullptr; }

void free_node(metric_node *n)
{
    std::free(n->metric);
    std::free(n->unit);
    std::free(n->host_name);
    std::free(n->service_description);
    std::free(n);
}

/* A worker starts from what the database holds; a registry copied from the forking process
 * would count some metrics twice against the limit. */
void reset_registry()
{
    for (metric_node *n = metric_root; n;) {
        metric_node *next = n->next;
        free_node(n);
        n = next;
    }
    metric_root = metric_last = nullptr;
    RegistryIndex &idx = registry_index();
    idx.by_name.clear();
    idx.by_service.clear();
    idx.valid = true;
}

/* Appends a node built from these values. */
metric_node *append_node(unsigned long long id, int host_id, int service_id, const char *metric, const char *unit,
                         double vmin, double vmax, const char *host_name, const char *description)
{
    auto *n = static_cast<metric_node *>(std::calloc(1, sizeof(metric_node)));
    if (!n)
        return nullptr;
    n->metric_id = id;
    n->host_id = host_id;
    n->service_id = service_id;
    n->metric = dup_or_null(metric);
    n->unit = dup_or_null(unit);
    n->value_min = vmin;
    n->value_max = vmax;
    n->host_name = dup_or_null(host_name);
    n->service_description = dup_or_null(description);
    vtdb_add_metric_node(n);
    return n;
}

/* ------------------------------------------------------------------------------------------
 * Storing
 * ---------------------------------------------------------------------------------------- */

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

/* The registry holds a metric under its label as the parser gives it, which is the body of
 * the quoted text that registers it: each backslash doubled. The database holds what that
 * text stores, with single backslashes, so a name loaded from it is put in the label's form;
 * otherwise a metric with a backslash would not be found after a restart, be looked up and
 * counted again, and at the limit be refused for good. */
std::string registry_name(const char *stored)
{
    std::string out;
    for (const char *p = stored; *p; ++p) {
        out += *p;
        if (*p == '\\')
            out += '\\';
    }
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

int store_metric(perfdata_job *job, perf_metric *m)
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
            return 0;
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

    std::string insert = vt::format(
        "INSERT INTO vtperf.service_perf_%d (\tentry_time,\tservice_id,\tmetric_id,\tperf_value,\twarning,\tcritical,"
        "\tbaseline,\tlower_limit,\tupper_limit) VALUES (\tfrom_unixtime(%lld),\t'%d',\t'%llu',\t'%s',\t %s, \t %s, "
        "\t %s, \t %s, \t %s );",
        host_id, job->entry_time, service_id, metric_id, vt_escape_sql_text(m->value).c_str(),
        sql_number(m->warning).c_str(), sql_number(m->critical).c_str(), sql_number(m->baseline).c_str(),
        sql_number(m->lower_limit).c_str(), sql_number(m->upper_limit).c_str());
    int status = vt_perfdata_insert_data(insert.c_str(), host_id, static_cast<int>(insert.size()));
    if (status == -2)
        vt_write_failed_sql(insert.c_str());
    return status;
}

void store_sink(perf_metric *m, void *context)
{
    vtdb_store_perfdata(static_cast<perfdata_job *>(context), m);
}

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

void prepare_worker() noexcept
{
    reset_registry();
    vt_load_metric_id_list();
}

int load_metric_list()
{
    int status = 0;
    vt::Result res(db_query_exec(
        "select a.metric_id,a.host_id,a.service_id,a.metric,a.value_min,a.value_max,a.unit,b.host_name,"
        "b.service_description from vtcfg.service_metric as a, vantor4.service_status as b where a.host_id = "
        "b.host_id and a.service_id = b.service_id order by 2,3;",
        "vtcfg", &status, 1));
    if (!res)
        return -2;
    int loaded = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        std::string name = row[3] ? registry_name(row[3]) : std::string();
        append_node(row[0] ? std::strtoull(row[0], nullptr, 10) : 0,
                    row[1] ? static_cast<int>(std::strtol(row[1], nullptr, 10)) : 0,
                    row[2] ? static_cast<int>(std::strtol(row[2], nullptr, 10)) : 0, row[3] ? name.c_str() : nullptr,
                    row[6], row[4] ? std::strtod(row[4], nullptr) : 0.0, row[5] ? std::strtod(row[5], nullptr) : 0.0,
                    row[7], row[8]);
        ++loaded;
    }
    if (DEBUG)
        std::printf("vtdb_populate_metric_list: loaded %d metrics from vtcfg.service_metric\n", loaded);
    return 0;
}

}  // namespace

/* ------------------------------------------------------------------------------------------
 * Interface
 * ---------------------------------------------------------------------------------------- */

int vt_parse_perfdata(const char *text, vt_perf_metric_sink sink, void *context)
{
    const Patterns &p = patterns();
    if (!p.first_ok) {
        vt_write_to_log("ERROR vtdb_process_perfdata This was not supposed to happen");
        return -2;
    }
    if (!text)
        return -2;
    const size_t len = std::strlen(text);
    /* Every match ends with an "=", so nothing past the last one can take part in a match;
     * bounding the searches there keeps a long tail without "=" from being rescanned from
     * each of its blanks. */
    const char *last_eq = static_cast<const char *>(memrchr(text, '=', len));
    if (!last_eq)
        return -2;
    const regoff_t end = static_cast<regoff_t>(last_eq - text + 1);

    Work w;
    int seen = 0;
    regoff_t pos = 0;
    for (bool first = true;; first = false) {
        if (!first && !p.next_ok)
            return -2;
        if (pos >= end)
            break;
        regmatch_t m[1];
        m[0].rm_so = pos;
        m[0].rm_eo = end;
        if (regexec(first ? &p.first : &p.next, text, 1, m, REG_STARTEND) != 0)
            break;
        const char *start = text + m[0].rm_so;
        const char *eq = text + m[0].rm_eo - 1;
        while (start < eq && static_cast<signed char>(*start) <= 32)
            ++start;
        size_t label_len = cut_label(start, static_cast<size_t>(eq - start));
        size_t clean_len = clean_label(start, label_len, w.label.get(), kLabelSize);

        perf_metric metric{};
        metric.label = w.label.get();
        char **numbers[7] = {&metric.warning,  &metric.critical,    &metric.min,        &metric.max,
                             &metric.baseline, &metric.lower_limit, &metric.upper_limit};
        size_t n = 0;
        int field = 0;
        for (const char *c = eq + 1;; ++c) {
            char ch = *c;
            if (ch != ' ' && ch != ';' && ch != '\0') {
                if (n < VT_PERFDATA_WORKBUF - 1)
                    w.field[n++] = ch;
                continue;
            }
            w.field[n] = '\0';
            if (field >= 8)
                break;
            if (field == 0) {
                if (!p.value_ok)
                    return -2;
                regmatch_t v[1];
                v[0].rm_so = 0;
                v[0].rm_eo = static_cast<regoff_t>(n);
                if (n == 0 || regexec(&p.value, w.field.get(), 1, v, REG_STARTEND) != 0)
                    return -2;
                size_t vlen = static_cast<size_t>(v[0].rm_eo - v[0].rm_so);
                if (!value_is_number(w.field.get() + v[0].rm_so, vlen))
                    return -2;
                std::memcpy(w.value.get(), w.field.get() + v[0].rm_so, vlen);
                w.value[vlen] = '\0';
                size_t ulen = n - static_cast<size_t>(v[0].rm_eo);
                std::memcpy(w.unit.get(), w.field.get() + v[0].rm_eo, ulen);
                w.unit[ulen] = '\0';
                metric.value = w.value.get();
                metric.unit = w.unit.get();
            } else if (n > 0 && format_number(w.field.get(), w.number[field - 1].get())) {
                *numbers[field - 1] = w.number[field - 1].get();
            }
            n = 0;
            ++field;
            if (ch != ';')
                break;
        }
        if (clean_len > 0) {
            ++seen;
            sink(&metric, context);
        }
        pos = static_cast<regoff_t>(eq + 1 - text);
    }
    return seen > 0 ? 1 : -2;
}

std::string vt_perfdata_cut(const char *text)
{
    if (!text)
        return std::string();
    size_t len = std::strlen(text);
    if (len <= VT_PERFDATA_MAX_TEXT)
        return std::string(text, len);
    std::string s(text, VT_PERFDATA_MAX_TEXT);
    size_t semi = s.find_last_of(';');
    if (semi != std::string::npos && semi >= 1) {
        size_t blank = s.find_first_of(" \t", semi);
        if (blank != std::string::npos)
            s.resize(blank);
    }
    return s;
}

extern "C" int vtdb_process_perfdata(struct perfdata_job *job)
{
    if (!job)
        return -2;
    if (job->host_id <= 0) {
        vt_logf("ERROR perfdata dropped - host id %d is not a positive number", job->host_id);
        return -2;
    }
    return vt::guarded("vtdb_process_perfdata", -2, [&] { return vt_parse_perfdata(job->perfdata, store_sink, job); });
}

extern "C" int vtdb_store_perfdata(struct perfdata_job *job, struct perf_metric *metric)
{
    if (!job || !metric)
        return -2;
    return vt::guarded("vtdb_store_perfdata", -2, [&] { return store_metric(job, metric); });
}

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

extern "C" int vt_process_perfdata(const char *record)
{
    if (!record)
        return -2;
    return vt::guarded("vt_process_perfdata", -2, [&] { return take_record(record, 4) < 4 ? -2 : 0; });
}

extern "C" int vtdb_populate_metric_list(void)
{
    return vt::guarded("vtdb_populate_metric_list", -2, load_metric_list);
}

extern "C" int vt_load_metric_id_list(void)
{
    while (vtdb_populate_metric_list() != 0) {
        vt_log_noexcept("ERROR Could not load metric list - retring in 5 seconds");
        sleep(5);
    }
    return 0;
}

extern "C" int vtdb_add_metric_node(struct metric_node *node)
{
    if (!node)
        return 0;
    node->next = nullptr;
    if (metric_last)
        metric_last->next = node;
    else
        metric_root = node;
    metric_last = node;
    RegistryIndex &idx = registry_index();
    if (idx.valid) {
        try {
            if (node->metric)
                idx.by_name.emplace(MetricKey{node->host_id, node->service_id, node->metric}, node);
            ServiceCount &c = idx.by_service[service_key(node->host_id, node->service_id)];
            ++c.count;
            c.last = node;
        } catch (...) {
            /* Without room for the index the node is still in the list, which is then walked. */
            idx.valid = false;
            idx.by_name.clear();
            idx.by_service.clear();
        }
    }
    if (DEBUG)
        std::printf("vtdb_add_metric_node: %d %d - %s %llu\n", node->host_id, node->service_id,
                    vt::col_or_empty(node->metric), node->metric_id);
    return 0;
}

extern "C" struct metric_node *vt_find_metric_id(int host_id, int service_id, const char *metric)
{
    if (!metric)
        return nullptr;
    RegistryIndex &idx = registry_index();
    if (idx.valid) {
        auto it = idx.by_name.find(MetricKey{host_id, service_id, metric});
        return it == idx.by_name.end() ? nullptr : it->second;
    }
    for (metric_node *n = metric_root; n; n = n->next)
        if (n->host_id == host_id && n->service_id == service_id && n->metric && std::strcmp(n->metric, metric) == 0)
            return n;
    return nullptr;
}

extern "C" struct metric_node *vt_count_metric_per_host_service(int host_id, int service_id, int *count)
{
    RegistryIndex &idx = registry_index();
    if (idx.valid) {
        auto it = idx.by_service.find(service_key(host_id, service_id));
        if (count)
            *count = it == idx.by_service.end() ? 0 : it->second.count;
        return it == idx.by_service.end() ? nullptr : it->second.last;
    }
    int n = 0;
    metric_node *last = nullptr;
    for (metric_node *node = metric_root; node; node = node->next)
        if (node->host_id == host_id && node->service_id == service_id) {
            ++n;
            last = node;
        }
    if (count)
        *count = n;
    return last;
}

extern "C" void vt_remove_quote(char *text)
{
    if (!text)
        return;
    char *out = text;
    for (char *in = text; *in; ++in)
        if (*in != '\'' && *in != '"')
            *out++ = *in;
    *out = '\0';
}

extern "C" void vt_replace_backslashes(const char *text, char **result)
{
    if (!result)
        return;
    if (!text) {
        *result = nullptr;
        return;
    }
    size_t len = std::strlen(text);
    size_t cap = len + 100;
    char *out = static_cast<char *>(std::malloc(cap));
    if (out)
        clean_label(text, len, out, cap);
    *result = out;
}

extern "C" void vt_write_perfdata_errors(const char *text)
{
    vt_append_line(VT_PERFDATA_ERRORS, text);
}

extern "C" pid_t vt_perfdata_gm_dispatcher(void)
{
    return vt::guarded("vt_perfdata_gm_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_start_queue_worker("vtdb_perfdata", vt_process_gearman_perfdata,
                                     "ERROR Could not fork for perfdata gearman processing", prepare_worker, nullptr);
    });
}
