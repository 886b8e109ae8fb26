/* What the performance-data sources share among themselves: number and label texts, registry growth. */
#ifndef VT_PERFDATA_INTERNAL_H
#define VT_PERFDATA_INTERNAL_H

#include "vt_perfdata.h"

#include <cstddef>
#include <string>

namespace vt_perf {

/* Room for "%.3f" of any finite double (309 digits, sign, point, decimals). */
constexpr size_t kNumberSize = 352;

/* Parser (vt_perfdata_parser.cpp). */
size_t clean_label(const char *in, size_t len, char *out, size_t cap);
bool value_is_number(const char *text, size_t len);
bool format_number(const char *field, char *out);

/* Registry (vt_perfdata_registry.cpp). */
void reset_registry();
metric_node *append_node(unsigned long long id, int host_id, int service_id, const char *metric, const char *unit,
                         double vmin, double vmax, const char *host_name, const char *description);

}  // namespace vt_perf

#endif
