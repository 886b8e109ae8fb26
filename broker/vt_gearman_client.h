/* The module's job-server client: background submissions with store-and-forward. */
#ifndef VT_GEARMAN_CLIENT_H
#define VT_GEARMAN_CLIENT_H

#include <libgearman/gearman.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The process's one client, or NULL while none exists (creation failed, or released). */
extern gearman_client_st *gearman_client;

/* Creates the client for 127.0.0.1 at the build's port with a 2000 ms timeout. */
void vt_connect_gearman(void);
/* Releases the client; later submissions count as failed until a new one exists. */
void vt_disconnect_gearman(void);
/* Background submissions of text to queue. 0 when accepted, otherwise the library's
 * non-zero code; a refused job is kept in the delayed queue. Only a normal-priority
 * success flushes the delayed queue. Neither argument is taken over. */
int vt_send_gearman_job(const char *queue, const char *text);
int vt_send_gearman_job_low(const char *queue, const char *text);
int vt_send_gearman_job_high(const char *queue, const char *text);
/* Re-submits delayed messages oldest first at normal priority until one is refused. */
void ff_delayed_msgs(void);
/* For a freshly forked child: abandons (without releasing) the client inherited from the
 * parent, whose socket the parent still uses, and creates the child's own client. */
void vt_gearman_forget_inherited(void);

#ifdef __cplusplus
}
#endif

#endif
