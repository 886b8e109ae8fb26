/* The module's one door to the engine: its broker interface header, and a call adapter. */
#ifndef VT_ENGINE_H
#define VT_ENGINE_H

#include <stddef.h>

/* The engine's allocation helpers are C functions, but its nm_alloc.h declares them outside
 * any extern "C" block: a C++ module would refer to C++-mangled names the engine does not
 * export, and fail to load. Declared here first with C linkage, the header's own declarations
 * that follow keep it. */
#ifdef __cplusplus
extern "C" {
#endif
void *nm_malloc(size_t size);
void *nm_realloc(void *ptr, size_t size);
void *nm_calloc(size_t count, size_t size);
void *nm_strdup(const char *s);
void *nm_strndup(const char *s, size_t size);
void nm_asprintf(char **strp, const char *fmt, ...);
#ifdef __cplusplus
}
#endif

#include <naemon/naemon.h>

/* What differs between engine releases, decided here once from the broker API number of the
 * headers the module is built against (1.4.1: 5, 1.4.2: 6, 1.4.3 and 1.4.4: 7, 1.5.x: 8). */
#define VT_ENGINE_API CURRENT_NEB_API_VERSION
/* From API 7 the engine has global host and service notification handlers, and announces each
 * run of one as a notification-method event with no contact. */
#if CURRENT_NEB_API_VERSION >= 7
#define VT_ENGINE_HAS_GLOBAL_NOTIFICATION_HANDLERS 1
#else
#define VT_ENGINE_HAS_GLOBAL_NOTIFICATION_HANDLERS 0
#endif

#ifdef __cplusplus
#include <string>

namespace vt {

/* The engine's word for a notification reason. The parameter is unsigned before API 6 and
 * the enum from then on; the enum converts to either. */
inline const char *reason_name(int reason) {
    return notification_reason_name(static_cast<enum NotificationReason>(reason));
}

/* A notification or problem id as text: counters before API 7, UUID texts (null before the
 * first one) from then on. Nothing may take them for numbers. */
inline std::string id_text(unsigned long id) { return std::to_string(id); }
inline std::string id_text(const char *id) { return id ? id : ""; }

/* The command of the global notification handler for hosts or services, with the engine's
 * setting text ("name!args") in *text; null where the engine has none (or no such handlers). */
inline command *global_notification_handler(bool for_service, char **text) {
#if VT_ENGINE_HAS_GLOBAL_NOTIFICATION_HANDLERS
    *text = for_service ? global_service_notification_handler : global_host_notification_handler;
    return for_service ? global_service_notification_handler_ptr : global_host_notification_handler_ptr;
#else
    (void)for_service;
    *text = nullptr;
    return nullptr;
#endif
}

/* Whether the engine logs the runs of its global notification handlers. */
inline bool log_global_notification_lines() {
#if VT_ENGINE_HAS_GLOBAL_NOTIFICATION_HANDLERS
    return log_global_notifications != 0;
#else
    return false;
#endif
}

using neb_callback = int (*)(int, void *);

/* A callback as the argument of neb_deregister_callback. Engine releases differ in the
 * declared type of that parameter (a plain pointer or the callback type); this converts to
 * either, so the call compiles unchanged against both. */
struct CallbackRef {
    neb_callback fn;
    operator void *() const { return reinterpret_cast<void *>(fn); }
    operator neb_callback() const { return fn; }
};

}  // namespace vt
#endif

#endif
