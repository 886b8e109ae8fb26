/* The module's one door to the engine: its broker interface header, and a call adapter. */
#ifndef VT_ENGINE_H
#define VT_ENGINE_H

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
