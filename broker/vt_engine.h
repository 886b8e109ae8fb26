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

#ifdef __cplusplus
namespace vt {

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
