/* Performance-data store: job intake, the parser, the per-process metric registry, value inserts. */
#ifndef VT_PERFDATA_H
#define VT_PERFDATA_H

#include <libgearman/gearman.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest performance-data text a job keeps, and the parser's working buffer. */
#define VT_PERFDATA_MAX_TEXT 8096
#define VT_PERFDATA_WORKBUF 8192
/* Longest label (before cleaning). */
#define VT_PERFDATA_MAX_LABEL 74

/* One performance-data job: the decoded record. perfdata is owned by whoever built the job. */
struct perfdata_job {
    long long entry_time;
    int host_id;
    int service_id; /* -1 for the host itself */
    char *perfdata;
};

/* One parsed metric. Every member is a NUL-terminated text or NULL when absent. The members
 * belong to whoever built the metric; vtdb_store_perfdata may change them in place (it removes
 * quote characters) but never frees them. */
struct perf_metric {
    char *label; /* cleaned by vt_replace_backslashes */
    char *value; /* one decimal number: optional "-", digits and at most one "." */
    char *unit;
    char *warning;  /* numeric members: "%.3f" texts; absent unless the field is one number */
    char *critical;
    char *min;
    char *max;
    char *baseline;
    char *lower_limit;
    char *upper_limit;
};

/* Registry entry. Nodes and their texts live until the process ends. */
struct metric_node {
    struct metric_node *next;
    char *metric;
    char *unit;
    unsigned long long metric_id;
    int host_id;
    char *host_name;
    int service_id;
    char *service_description;
    double value_min;
    double value_max;
};

/* The process's registry, in insertion order. Grow it only with vtdb_add_metric_node. */
extern struct metric_node *metric_root;
extern struct metric_node *metric_last;

/* Job function of "vtdb_perfdata": decodes the record and stores its metrics. Always reports
 * the job done; returns no result data. */
void *vt_process_gearman_perfdata(gearman_job_st *job, void *context, size_t *result_size,
                                  gearman_return_t *ret_ptr);

/* Decodes and stores one job record "time\thost id\tservice id|HOST\tperfdata" (replayed
 * records). 0 when taken, -2 when the record has fewer than four fields or its host id is not
 * decimal digits of a positive int (then dropped with one ERROR line). The text stays the
 * caller's. */
int vt_process_perfdata(const char *record);

/* Parses job->perfdata, registers its metrics as needed and stores their values with one
 * multi-row insert (kept whole in the failed-SQL file when it fails). 1 when at least one
 * metric was seen, -2 when none was or parsing stopped at a non-numeric value (the metrics
 * before it are stored all the same). */
int vtdb_process_perfdata(struct perfdata_job *job);

/* Registers the metric if it is new or changed (within VT_MAX_METRICS per service) and stores
 * its value. 0 or -2, or the value insert's status; -2 without any statement when the host id
 * is not positive or the value is not one decimal number. */
int vtdb_store_perfdata(struct perfdata_job *job, struct perf_metric *metric);

/* Runs a value insert in vtperf; on failure creates the host's table from service_perf and
 * runs it once more. Returns the last status (0 or -2). */
int vt_perfdata_insert_data(const char *statement, int host_id, int length);

/* Loads the registry, retrying every 5 seconds while the database does not answer. 0. */
int vt_load_metric_id_list(void);
/* One attempt at loading the registry. 0, or -2 when the query gave no result set. */
int vtdb_populate_metric_list(void);
/* Appends node (which the registry then owns) at the tail. 0. */
int vtdb_add_metric_node(struct metric_node *node);
/* First node in list order with these ids and this name, or NULL. */
struct metric_node *vt_find_metric_id(int host_id, int service_id, const char *metric);
/* *count gets the number of nodes of this host and service; returns the last of them or NULL. */
struct metric_node *vt_count_metric_per_host_service(int host_id, int service_id, int *count);

/* Deletes every ' and " character of text in place; NULL is allowed. */
void vt_remove_quote(char *text);
/* *result gets a new heap string (the caller frees it): text without bytes 1 to 31 and
 * single quotes, each backslash doubled, never ending in an unpaired backslash. NULL gives
 * NULL. */
void vt_replace_backslashes(const char *text, char **result);

/* Appends text and a line feed to the perfdata error file. */
void vt_write_perfdata_errors(const char *text);

#ifdef __cplusplus
}

/* The parser on its own. Calls sink(metric, context) for each metric with a non-empty label,
 * in text order; the metric's members point into the parser's buffers and are valid only
 * during the call (the sink may change them in place). Returns as vtdb_process_perfdata; throws
 * std::bad_alloc when its buffers cannot be allocated. */
typedef void (*vt_perf_metric_sink)(struct perf_metric *metric, void *context);
int vt_parse_perfdata(const char *text, vt_perf_metric_sink sink, void *context);

#include <string>
/* The length cut of a job's performance data: texts over VT_PERFDATA_MAX_TEXT bytes are cut to
 * that many, and then end at the first blank after their last ";" when there is one. */
std::string vt_perfdata_cut(const char *text);

#include "vt_message_id.h"
namespace vt_perf {
/* Stores one record of queue that carries identity id, as a batch of one (recorded as carried
 * out with its values, skipped when it was before): the replay's way. */
void process_identified_record(const std::string &queue, const std::string &record, const vt::MessageId &id);
}
#endif

#endif
