/* Engine-wide constants: results, truth values, states, limits, notification reasons. */
#ifndef NAEMON_COMMON_H_INCLUDED
#define NAEMON_COMMON_H_INCLUDED

/* The release whose broker interface the stand-in follows: API 5 (1.4.1) or API 8 (1.5.2),
 * chosen by the build. */
#ifndef VT_STANDIN_API
#define VT_STANDIN_API 5
#endif

#define OK 0
#define ERROR -2

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_COMMAND_ARGUMENTS 32
#define MAX_CONTACT_ADDRESSES 6
#define MAX_USER_MACROS 256

/* Host and service states. */
#define STATE_UP 0
#define STATE_DOWN 1
#define STATE_UNREACHABLE 2
#define STATE_OK 0
#define STATE_WARNING 1
#define STATE_CRITICAL 2
#define STATE_UNKNOWN 3
#define HOST_UP STATE_UP
#define HOST_DOWN STATE_DOWN
#define HOST_UNREACHABLE STATE_UNREACHABLE

#define SOFT_STATE 0
#define HARD_STATE 1

#define CHECK_TYPE_ACTIVE 0
#define CHECK_TYPE_PASSIVE 1

/* Reasons a notification is sent (notification_reason_name gives their names). An enum, as
 * in the engine: the names are no preprocessor macros. */
enum NotificationReason {
    NOTIFICATION_NORMAL,
    NOTIFICATION_ACKNOWLEDGEMENT,
    NOTIFICATION_FLAPPINGSTART,
    NOTIFICATION_FLAPPINGSTOP,
    NOTIFICATION_FLAPPINGDISABLED,
    NOTIFICATION_DOWNTIMESTART,
    NOTIFICATION_DOWNTIMEEND,
    NOTIFICATION_DOWNTIMECANCELLED,
    NOTIFICATION_CUSTOM
};

/* Notification and problem ids: counters up to API 6, UUID texts (NULL before the first one)
 * from API 7. */
#if VT_STANDIN_API >= 7
typedef char *vt_standin_id;
#else
typedef unsigned long vt_standin_id;
#endif

#define HOST_NOTIFICATION 0
#define SERVICE_NOTIFICATION 1

/* Comment and downtime kinds. */
#define HOST_COMMENT 1
#define SERVICE_COMMENT 2
#define USER_COMMENT 1
#define DOWNTIME_COMMENT 2
#define FLAPPING_COMMENT 3
#define ACKNOWLEDGEMENT_COMMENT 4
#define COMMENTSOURCE_INTERNAL 0
#define COMMENTSOURCE_EXTERNAL 1

#define SERVICE_DOWNTIME 1
#define HOST_DOWNTIME 2
#define ANY_DOWNTIME 3

#define HOST_STATECHANGE 0
#define SERVICE_STATECHANGE 1
#define HOST_FLAPPING 0
#define SERVICE_FLAPPING 1

#define ACKNOWLEDGEMENT_NONE 0
#define ACKNOWLEDGEMENT_NORMAL 1
#define ACKNOWLEDGEMENT_STICKY 2

#endif
