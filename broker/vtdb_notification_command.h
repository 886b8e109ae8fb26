/* Notification command lines composed from the contact's notification commands, and the
 * contact authorization tests. */
#ifndef VTDB_NOTIFICATION_COMMAND_H
#define VTDB_NOTIFICATION_COMMAND_H

#include "vt_engine.h"

#ifdef __cplusplus
#include <string>

namespace vt {
/* text with each control character (below 32, and 127) replaced by a space; "" for null.
 * The engine cleans neither comments nor authors, and a line feed there would split the
 * command line, the job that carries it and the engine's log line. */
std::string without_controls(const char *text);
/* text without control characters (as without_controls) and, unless
 * vtdb_keep_comment_shell_chars is set, without the characters of the engine's
 * illegal_macro_output_chars (` ~ $ & | ' " < > where that is empty): comments and authors
 * reach the shell inside the notification command line. */
std::string comment_for_command_line(const char *text);
}  // namespace vt

extern "C" {
#endif

/* Set by the module argument keep_comment_shell_chars=1: comments and authors keep the
 * characters a shell treats specially, for commands that quote them by other means. */
extern int vtdb_keep_comment_shell_chars;

/* Expands the contact's notification command that the event names (an entry equal to
 * ds->command_name, or to it joined with ds->command_args by "!") for a service
 * (object_ptr) notification, with the host's, service's, contact's and notification's
 * macros (comments and authors made safe, see vt::comment_for_command_line).
 * An event without a contact (the engine's global notification handler) expands the
 * engine's global service notification handler the same way, without contact macros.
 * On success *cmd receives the command line as a new heap text the caller frees,
 * and 0 is returned; when the contact has no such command (or it cannot be expanded) *cmd
 * is left untouched and -2 is returned. */
int vt_get_service_notification_command(nebstruct_contact_notification_method_data *ds, char **cmd);
/* The same for a host (object_ptr) notification. */
int vt_get_host_notification_command(nebstruct_contact_notification_method_data *ds, char **cmd);

/* 1 when contact_name is one of the comma-separated entries (compared exactly, blanks
 * included) of vt_authorized_for_all_hosts / vt_authorized_for_all_services, else 0. */
int vt_is_authorized_for_all_hosts(const char *contact_name);
int vt_is_authorized_for_all_services(const char *contact_name);
/* 1 when the group has members and the contact is a contact of every member service
 * (members without a service are skipped); 0 otherwise, and for NULL arguments. */
int vt_is_contact_for_servicegroup(servicegroup *group, contact *cntct);

#ifdef __cplusplus
}
#endif

#endif
