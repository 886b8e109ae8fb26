/* Comments, scheduled downtimes and acknowledgements of the engine, mirrored into vantor4. */
#ifndef VTDB_COMMENTS_H
#define VTDB_COMMENTS_H

#include "vt_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The escaped comment text of the event being handled; NULL between events. */
extern char *comment_data;

/* Broker callbacks for comments (8), downtimes (9) and acknowledgements (22): 0 when the
 * event was handled or ignored, -2 when it was not (object or ids missing, no memory). */
int vtdb_handle_comment(int callback_type, void *data);
int vtdb_handle_downtime(int callback_type, void *data);
int vtdb_handle_ack(int callback_type, void *data);

/* Splits an acknowledgement comment "YYYY-MM-DD HH:MM:SS#|#text". Sets *expires to 0;
 * when comment has that form (longer than 20 characters, "#|#" at positions 20 to 22),
 * sets *expires to 1 if it starts with a digit 1 to 9, *expire_date to a heap copy of the
 * 19-character date and *text to a heap copy of what follows the marker (both for the
 * caller to free). Otherwise, and for a NULL comment, the two texts are left untouched. */
void vt_extract_ack_expiredate_comment(const char *comment, char **expire_date, char **text, int *expires);

#ifdef __cplusplus
}
#endif

#endif
