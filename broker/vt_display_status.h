/* Each host's and service's display status: the engine object's own member where the engine
 * build carries one, else a value the module keeps per object with the same reads and writes. */
#ifndef VT_DISPLAY_STATUS_H
#define VT_DISPLAY_STATUS_H

#include "vt_engine.h"

#ifndef VT_ENGINE_HAS_DISPLAY_STATUS
#error "the build must say whether the engine's objects carry display_status"
#endif

/* The object's display status; 0 until the module sets one, as for a fresh engine object. */
int vt_display_status(const host *hst);
int vt_display_status(const service *svc);
void vt_set_display_status(host *hst, int value);
void vt_set_display_status(service *svc, int value);
/* Display status 1 for each object in downtime that shows none: the engine restores downtimes
 * that were in effect (from its retention) without announcing their start again, and before
 * the module listens to downtimes, so they would otherwise show as not in downtime after a
 * restart. Called once the engine's event loop starts. */
void vt_display_status_from_downtimes();
/* Forgets the values kept by the module; called at unload and after a refused load (the engine
 * frees and re-creates its objects only while its modules are unloaded). No effect where the
 * engine keeps them. */
void vt_display_status_reset();

#endif
