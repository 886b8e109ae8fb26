/* Performance-data metric registry: the per-process list of known metrics, its index and its loading. */
#include "vt_perfdata.h"
#include "vt_perfdata_internal.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

struct metric_node *metric_root = nullptr;
struct metric_node *metric_last = nullptr;

using vt_perf::append_node;

namespace {

/* The list stays the registry; the index only finds its nodes quickly. */
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


int load_metric_list()
{
    int status = 0;
    vt::Result res(db_query_exec(
        "select a.metric_id,a.host_id,a.service_id,a.metric,a.value_min,a.value_max,a.unit,b.host_name,"
        "b.service_description from vtcfg.service_metric as a left join vantor4.service_status as b on a.host_id = "
        "b.host_id and a.service_id = b.service_id order by 2,3;",
        "vtcfg", &status, 1));
    if (!res)
        return -2;
    int loaded = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        std::string name = row[3] ? vt_perf::registry_name(row[3]) : std::string();
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

namespace vt_perf {

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

}  // namespace vt_perf

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
