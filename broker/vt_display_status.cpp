// Display status of engine objects, in the objects or, on an engine without the member, here.
#include "vt_display_status.h"

#if !VT_ENGINE_HAS_DISPLAY_STATUS
#include <unordered_map>
#endif

namespace {

#if VT_ENGINE_HAS_DISPLAY_STATUS
template <typename Object> int get(const Object *o) { return o->display_status; }
template <typename Object> void put(Object *o, int value) { o->display_status = value; }
void forget() {}
#else
// Keyed by object address: the engine's objects live from configuration load to the
// module's unload. Only the engine's main thread and the initial-state child (a copy made
// by fork) use it.
std::unordered_map<const void *, int> kept_values;
std::unordered_map<const void *, int> &kept() { return kept_values; }
int get(const void *o) {
    const auto it = kept().find(o);
    return it == kept().end() ? 0 : it->second;
}
// Throws std::bad_alloc when out of memory.
void put(const void *o, int value) { kept()[o] = value; }
void forget() { kept().clear(); }
#endif

}  // namespace

int vt_display_status(const host *hst) { return get(hst); }
int vt_display_status(const service *svc) { return get(svc); }
void vt_set_display_status(host *hst, int value) { put(hst, value); }
void vt_set_display_status(service *svc, int value) { put(svc, value); }
void vt_display_status_reset() { forget(); }

void vt_display_status_from_downtimes() {
    for (host *h = host_list; h; h = h->next)
        if (h->scheduled_downtime_depth > 0 && get(h) == 0)
            put(h, 1);
    for (service *s = service_list; s; s = s->next)
        if (s->scheduled_downtime_depth > 0 && get(s) == 0)
            put(s, 1);
}
