/* Engine objects: hosts, services, contacts, commands, groups, downtimes and their lists. */
#ifndef NAEMON_OBJECTS_H_INCLUDED
#define NAEMON_OBJECTS_H_INCLUDED

#include <sys/time.h>
#include <time.h>
#include "common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct host host;
typedef struct service service;
typedef struct contact contact;
typedef struct command command;
typedef struct hostgroup hostgroup;
typedef struct servicegroup servicegroup;
typedef struct contactgroup contactgroup;
typedef struct check_result check_result;
/* Other names the engine's headers declare in the global namespace, for the same clashes. */
typedef struct comment comment;
typedef struct timeperiod timeperiod;
typedef struct timed_event timed_event;
typedef struct objectlist objectlist;

/* A custom variable: defined as "_NAME value" in an object, kept as NAME. */
typedef struct customvariablesmember {
    char *variable_name;
    char *variable_value;
    int has_been_modified;
    struct customvariablesmember *next;
} customvariablesmember;

/* One notification command of a contact: the text as configured ("name!arg1!arg2") and
 * the command it names. */
typedef struct commandsmember {
    char *command;
    struct command *command_ptr;
    struct commandsmember *next;
} commandsmember;

typedef struct servicesmember {
    char *host_name;
    char *service_description;
    struct service *service_ptr;
    struct servicesmember *next;
} servicesmember;

typedef struct hostsmember {
    char *host_name;
    struct host *host_ptr;
    struct hostsmember *next;
} hostsmember;

typedef struct contactsmember {
    char *contact_name;
    struct contact *contact_ptr;
    struct contactsmember *next;
} contactsmember;

struct command {
    unsigned int id;
    char *name;
    char *command_line;
    struct command *next;
};

struct contact {
    unsigned int id;
    char *name;
    char *alias;
    char *email;
    char *pager;
    char *address[MAX_CONTACT_ADDRESSES];
    commandsmember *host_notification_commands;
    commandsmember *service_notification_commands;
    int host_notifications_enabled;
    int service_notifications_enabled;
    char *host_notification_period;
    char *service_notification_period;
    time_t last_host_notification;
    time_t last_service_notification;
    unsigned long modified_attributes;
    customvariablesmember *custom_variables;
    struct contact *next;
};

struct host {
    unsigned int id;
    char *name;
    char *display_name;
    char *alias;
    char *address;
    servicesmember *services;
    contactsmember *contacts;
    customvariablesmember *custom_variables;
    char *check_command;
    char *check_period;
    char *notification_period;
    char *event_handler;
    char *notes;
    char *notes_url;
    char *action_url;
    char *icon_image;
    double check_interval;
    double retry_interval;
    int max_attempts;
    int checks_enabled;
    int accept_passive_checks;
    int event_handler_enabled;
    int flap_detection_enabled;
    int process_performance_data;
    int obsess;
    int notifications_enabled;
    unsigned int stalking_options;
    int current_state;
    int last_state;
    int last_hard_state;
    int state_type;
    int current_attempt;
    int check_type;
    char *plugin_output;
    char *long_plugin_output;
    char *perf_data;
    double latency;
    double execution_time;
    time_t last_check;
    time_t next_check;
    time_t last_state_change;
    time_t last_hard_state_change;
    time_t last_notification;
    time_t next_notification;
    int problem_has_been_acknowledged;
    int acknowledgement_type;
    int scheduled_downtime_depth;
    int is_flapping;
    double percent_state_change;
    int total_services;
    unsigned long modified_attributes;
    int current_notification_number;
    vt_standin_id current_notification_id;
    unsigned long current_event_id;
    vt_standin_id current_problem_id;
#if VT_STANDIN_API >= 8
    struct timeval last_update;
#else
    time_t last_update;
#endif
    struct host *next;
#ifndef VT_STANDIN_STOCK
    /* Carried by the engine build the module is meant for (released engines lack it); the
     * module sets and writes it. Last, so that objects match with and without it. */
    int display_status;
#endif
};

struct service {
    unsigned int id;
    char *host_name;
    char *description;
    char *display_name;
    struct host *host_ptr;
    contactsmember *contacts;
    customvariablesmember *custom_variables;
    char *check_command;
    char *check_period;
    char *notification_period;
    char *event_handler;
    char *notes;
    char *notes_url;
    char *action_url;
    char *icon_image;
    double check_interval;
    double retry_interval;
    int max_attempts;
    int is_volatile;
    int checks_enabled;
    int accept_passive_checks;
    int event_handler_enabled;
    int flap_detection_enabled;
    int process_performance_data;
    int obsess;
    int notifications_enabled;
    unsigned int stalking_options;
    int current_state;
    int last_state;
    int last_hard_state;
    int state_type;
    int current_attempt;
    int check_type;
    char *plugin_output;
    char *long_plugin_output;
    char *perf_data;
    double latency;
    double execution_time;
    time_t last_check;
    time_t next_check;
    time_t last_state_change;
    time_t last_hard_state_change;
    time_t last_notification;
    time_t next_notification;
    int problem_has_been_acknowledged;
    int acknowledgement_type;
    int scheduled_downtime_depth;
    int is_flapping;
    double percent_state_change;
    unsigned long modified_attributes;
    int current_notification_number;
    vt_standin_id current_notification_id;
    unsigned long current_event_id;
    vt_standin_id current_problem_id;
#if VT_STANDIN_API >= 8
    struct timeval last_update;
#else
    time_t last_update;
#endif
    struct service *next;
#ifndef VT_STANDIN_STOCK
    /* As in struct host. */
    int display_status;
#endif
};

struct hostgroup {
    unsigned int id;
    char *group_name;
    char *alias;
    hostsmember *members;
    struct hostgroup *next;
};

struct servicegroup {
    unsigned int id;
    char *group_name;
    char *alias;
    servicesmember *members;
    struct servicegroup *next;
};

struct contactgroup {
    unsigned int id;
    char *group_name;
    char *alias;
    contactsmember *members;
    struct contactgroup *next;
};

typedef struct scheduled_downtime {
    int type;
    char *host_name;
    char *service_description;
    time_t entry_time;
    time_t start_time;
    time_t flex_downtime_start;
    time_t end_time;
    int fixed;
    unsigned long triggered_by;
    unsigned long duration;
    unsigned long downtime_id;
    int is_in_effect;
    int start_notification_sent;
    char *author;
    char *comment;
    unsigned long comment_id;
    struct scheduled_downtime *next;
    struct scheduled_downtime *prev;
} scheduled_downtime;

/* Object lists, in definition order. */
extern host *host_list;
extern service *service_list;
extern contact *contact_list;
extern command *command_list;
extern hostgroup *hostgroup_list;
extern servicegroup *servicegroup_list;
extern contactgroup *contactgroup_list;
extern scheduled_downtime *scheduled_downtime_list;

/* Lookups by name; NULL when there is no such object. */
host *find_host(const char *name);
service *find_service(const char *host_name, const char *svc_desc);
contact *find_contact(const char *name);
command *find_command(const char *name);
hostgroup *find_hostgroup(const char *name);
servicegroup *find_servicegroup(const char *name);
/* The downtime with this id and type (SERVICE_DOWNTIME, HOST_DOWNTIME or ANY_DOWNTIME). */
struct scheduled_downtime *find_downtime(int type, unsigned long downtime_id);

/* Adds a custom variable at the head of an object's list, name and value copied as given
 * (not upper-cased: the configuration reader does that), so that it shadows an older one of
 * the same name. NULL, after an engine log line, for a missing list or an empty name. */
customvariablesmember *add_custom_variable_to_object(customvariablesmember **object_ptr, char *varname,
                                                     char *varvalue);
customvariablesmember *add_custom_variable_to_host(host *hst, char *varname, char *varvalue);
customvariablesmember *add_custom_variable_to_service(service *svc, char *varname, char *varvalue);

/* TRUE when the contact is one of the service's contacts. */
int is_contact_for_service(service *svc, contact *cntct);
int is_contact_for_host(host *hst, contact *cntct);

#ifdef __cplusplus
}
#endif

#endif
