/* What the performance-data sources share among themselves: number and label texts, registry growth. */
#ifndef VT_PERFDATA_INTERNAL_H
#define VT_PERFDATA_INTERNAL_H

#include "vt_perfdata.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vt_perf {

/* Room for "%.3f" of any finite double (309 digits, sign, point, decimals). */
constexpr size_t kNumberSize = 352;

/* Parser (vt_perfdata_parser.cpp). */
size_t clean_label(const char *in, size_t len, char *out, size_t cap);
bool value_is_number(const char *text, size_t len);
bool format_number(const char *field, char *out);

/* Registry (vt_perfdata_registry.cpp). */
void reset_registry();
std::string registry_name(const char *stored);
metric_node *append_node(unsigned long long id, int host_id, int service_id, const char *metric, const char *unit,
                         double vmin, double vmax, const char *host_name, const char *description);

/* Store (vt_perfdata_store.cpp). */
struct ValueInsert {
    int host_id;
    std::string statement;
    vt::MessageId id; /* of the record it stores */
};
/* While set (not NULL), value inserts are collected there instead of being sent, and the new
 * metrics of the records wait for register_waiting (setting it again forgets them). */
void defer_value_inserts(std::vector<ValueInsert> *to);
/* Registers the new metrics of the records collected since defer_value_inserts with one
 * statement and one read, and fills in their value inserts; inserts of records left without
 * a value are removed, their identities added to no_values. */
void register_waiting(std::vector<ValueInsert> &inserts, std::vector<vt::MessageId> &no_values);
/* Whether a worker started from now on stores a batch's records in one transaction (true)
 * or each record on its own, in a transaction of its own (the benchmark compares the two). */
extern bool batch_in_one_transaction;
/* Sends the collected value inserts of a batch of queue in one transaction, recording the
 * batch's messages as carried out (those of the inserts and no_values, which brought none) and
 * skipping the inserts of messages carried out before. */
void store_in_one_transaction(const std::string &queue, const std::vector<ValueInsert> &inserts,
                              const std::vector<vt::MessageId> &no_values);

}  // namespace vt_perf

#endif
