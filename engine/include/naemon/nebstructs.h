/* Event records handed to broker callbacks; each starts with type, flags, attr, timestamp. */
#ifndef NAEMON_NEBSTRUCTS_H_INCLUDED
#define NAEMON_NEBSTRUCTS_H_INCLUDED

#include <sys/time.h>
#include <time.h>
#include "objects.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nebstruct_process_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
} nebstruct_process_data;

typedef struct nebstruct_log_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    time_t entry_time;
    int data_type;
    char *data;
} nebstruct_log_data;

typedef struct nebstruct_host_check_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    char *host_name;
    int current_attempt;
    int check_type;
    int max_attempts;
    int state_type;
    int state;
    int timeout;
    char *command_name;
    char *command_args;
    char *command_line;
    struct timeval start_time;
    struct timeval end_time;
    int early_timeout;
    double execution_time;
    double latency;
    int return_code;
    char *output;
    char *long_output;
    char *perf_data;
    check_result *check_result_ptr;
    void *object_ptr;
} nebstruct_host_check_data;

typedef struct nebstruct_service_check_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    char *host_name;
    char *service_description;
    int check_type;
    int current_attempt;
    int max_attempts;
    int state_type;
    int state;
    int timeout;
    char *command_name;
    char *command_args;
    char *command_line;
    struct timeval start_time;
    struct timeval end_time;
    int early_timeout;
    double execution_time;
    double latency;
    int return_code;
    char *output;
    char *long_output;
    char *perf_data;
    check_result *check_result_ptr;
    void *object_ptr;
} nebstruct_service_check_data;

typedef struct nebstruct_comment_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int comment_type;
    char *host_name;
    char *service_description;
    time_t entry_time;
    char *author_name;
    char *comment_data;
    int persistent;
    int source;
    int entry_type;
    int expires;
    time_t expire_time;
    unsigned long comment_id;
    void *object_ptr;
} nebstruct_comment_data;

typedef struct nebstruct_downtime_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int downtime_type;
    char *host_name;
    char *service_description;
    time_t entry_time;
    char *author_name;
    char *comment_data;
    time_t start_time;
    time_t end_time;
    int fixed;
    unsigned long duration;
    unsigned long triggered_by;
    unsigned long downtime_id;
    void *object_ptr;
} nebstruct_downtime_data;

typedef struct nebstruct_flapping_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int flapping_type;
    char *host_name;
    char *service_description;
    double percent_change;
    double high_threshold;
    double low_threshold;
    unsigned long comment_id;
    void *object_ptr;
} nebstruct_flapping_data;

typedef struct nebstruct_host_status_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    void *object_ptr;
} nebstruct_host_status_data;

typedef struct nebstruct_service_status_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    void *object_ptr;
} nebstruct_service_status_data;

typedef struct nebstruct_contact_notification_method_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int notification_type;
    struct timeval start_time;
    struct timeval end_time;
    char *host_name;
    char *service_description;
    char *contact_name;
    char *command_name;
    char *command_args;
    int reason_type;
    int state;
    char *output;
    char *ack_author;
    char *ack_data;
    int escalated;
    void *object_ptr;
    void *contact_ptr;
} nebstruct_contact_notification_method_data;

typedef struct nebstruct_external_command_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int command_type;
    time_t entry_time;
    char *command_string;
    char *command_args;
} nebstruct_external_command_data;

typedef struct nebstruct_aggregated_status_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
} nebstruct_aggregated_status_data;

typedef struct nebstruct_retention_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
} nebstruct_retention_data;

typedef struct nebstruct_acknowledgement_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int acknowledgement_type;
    char *host_name;
    char *service_description;
    int state;
    char *author_name;
    char *comment_data;
    int is_sticky;
    int persistent_comment;
    int notify_contacts;
    void *object_ptr;
    time_t end_time;
} nebstruct_acknowledgement_data;

typedef struct nebstruct_statechange_struct {
    int type;
    int flags;
    int attr;
    struct timeval timestamp;
    int statechange_type;
    char *host_name;
    char *service_description;
    int state;
    int state_type;
    int current_attempt;
    int max_attempts;
    char *output;
    void *object_ptr;
} nebstruct_statechange_data;

#ifdef __cplusplus
}
#endif

#endif
