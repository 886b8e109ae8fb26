/* Notification reasons and the engine's list of contacts to notify. */
#ifndef NAEMON_NOTIFICATIONS_H_INCLUDED
#define NAEMON_NOTIFICATIONS_H_INCLUDED

#include "common.h"
#include "objects.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The engine declares this name in the global namespace: a module's own "notification"
 * becomes ambiguous wherever it is named unqualified. */
typedef struct notify_list {
    struct contact *contact;
    struct notify_list *next;
} notification;

/* "NORMAL", "ACKNOWLEDGEMENT", ... "CUSTOM" for reasons 0 to 8; "UNKNOWN" otherwise. */
#if VT_STANDIN_API >= 6
const char *notification_reason_name(enum NotificationReason reason_type);
#else
const char *notification_reason_name(unsigned int reason_type);
#endif

#ifdef __cplusplus
}
#endif

#endif
