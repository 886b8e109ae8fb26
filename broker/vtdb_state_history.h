/* State history: the state-change callback, one history row, and the initial states at engine start. */
#ifndef VTDB_STATE_HISTORY_H
#define VTDB_STATE_HISTORY_H

#include "vt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* NEBCALLBACK_STATE_CHANGE_DATA: at the end of a host or service state change, writes a
 * history row for objects without stalking options (stalked ones get theirs from each
 * check result). Returns 0. */
int vtdb_handle_state_change(int callback_type, void *data);

/* Submits one history row with the object's current state to "vtdb_vtstatus". kind 1: a
 * service; anything else: a host. sla_breach_end and comment are complete SQL literals
 * written as given, or NULL for the word NULL; neither is taken over. seconds and
 * microseconds are the event time. Returns 0 when submitted, -2 when an id is missing or
 * the statement could not be built. */
int vtdb_log_state(int kind, void *object, const char *sla_breach_end, const char *comment,
                   unsigned long long seconds, unsigned long long microseconds);

/* Starts the walk that records every object whose last history row differs from its
 * current state (on "vtdb_statuspri"), in a process of its own; a walk started earlier
 * and still running is told to stop. Returns 0 once started, -2 when it could not be. */
int insert_initial_states(void);

/* 0 when the latest history row of the object holds its current state, state type and
 * attempt; -2 otherwise (no row, no table, a failed query). Queries the database over the
 * process's connection. Ids are not taken over. */
int vtdb_check_host_last_state(host *hst, const char *host_id);
int vtdb_check_service_last_state(service *svc, const char *host_id, const char *service_id);

#ifdef __cplusplus
}
#endif

#endif
