// Flapping rows, and notifications taken over from the engine: command job, engine log line, row.
#include "vtdb_notifications.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vt_entry_guard.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vtdb_notification_command.h"
#include "vtdb_scratch.h"

extern "C" {
char *command_args = nullptr;
char *ack_data = nullptr;
}

namespace {

const char *const STATUS_QUEUE = "vtdb_vtstatus";
const char *const NOTIFY_QUEUE = "vtdb_notify";
const char *const STATUS_SCHEMA = "vantor4";

struct Ids {
    vt::CString host, service;
};

int flapping(const nebstruct_flapping_data *fd) {
    if (fd->flapping_type != HOST_FLAPPING && fd->flapping_type != SERVICE_FLAPPING)
        return 0;
    vt::CString entry_holder;
    const char *entry = vt::date_or_null(entry_holder, fd->timestamp.tv_sec);
    std::string statement;
    if (fd->flapping_type == SERVICE_FLAPPING) {
        service *svc = static_cast<service *>(fd->object_ptr);
        if (!svc)
            return -2;
        char *hid = nullptr, *sid = nullptr;
        vt_get_service_id_by_macro(svc, &hid, &sid);
        Ids ids{vt::CString(hid), vt::CString(sid)};
        if (!ids.host || !ids.service) {
            vt_logf("vtdb_handle_flapping_data: could not find host_id or service_id for %s - %s",
                    vt::col_or_empty(svc->host_name), vt::col_or_empty(svc->description));
            return -2;
        }
        statement = vt::format("INSERT INTO %s.service_flapping VALUES (%s,%d,%s,%s,%lu,%.03f,%.03f,%.03f);",
                               STATUS_SCHEMA, entry, fd->type, ids.host.get(), ids.service.get(), fd->comment_id,
                               fd->percent_change, fd->high_threshold, fd->low_threshold);
    } else {
        host *hst = static_cast<host *>(fd->object_ptr);
        if (!hst)
            return -2;
        char *hid = nullptr;
        vt_get_host_custom_macro("$_HOSTHOST_ID$", hst, &hid);
        vt::CString host_id(hid);
        if (!host_id) {
            vt_logf("vtdb_handle_flapping_data: could not find host_id for %s", vt::col_or_empty(hst->name));
            return -2;
        }
        statement = vt::format("INSERT INTO %s.host_flapping VALUES (%s,%d,%s,%lu,%.03f,%.03f,%.03f);", STATUS_SCHEMA,
                               entry, fd->type, host_id.get(), fd->comment_id, fd->percent_change,
                               fd->high_threshold, fd->low_threshold);
    }
    if (statement.empty()) {
        vt_write_to_log("unable to define flapping state");
        return -2;
    }
    vt_send_gearman_job(STATUS_QUEUE, statement.c_str());
    return 0;
}

// The notification line of the engine log, with the engine's own macros expanded.
void log_notification(const nebstruct_contact_notification_method_data *ds, host *hst, service *svc) {
    contact *cntct = static_cast<contact *>(ds->contact_ptr);
    nagios_macros mac;
    std::memset(&mac, 0, sizeof mac);
    if (svc)
        grab_service_macros_r(&mac, svc);
    else
        grab_host_macros_r(&mac, hst);
    if (cntct)
        grab_contact_macros_r(&mac, cntct);
    // Without control characters: a line feed in a comment would split the log line.
    if (ds->ack_author)
        mac.x[MACRO_NOTIFICATIONAUTHOR] = static_cast<char *>(nm_strdup(vt::without_controls(ds->ack_author).c_str()));
    if (ds->ack_data)
        mac.x[MACRO_NOTIFICATIONCOMMENT] = static_cast<char *>(nm_strdup(vt::without_controls(ds->ack_data).c_str()));

    // The engine names its global notification handler's runs "GLOBAL".
    const char *contact_name = cntct ? vt::col_or_empty(cntct->name) : "GLOBAL";
    const char *reason = vt::reason_name(ds->reason_type);
    const char *command = vt::col_or_empty(ds->command_name);
    char *line = nullptr;
    if (svc && ds->reason_type != NOTIFICATION_NORMAL)
        nm_asprintf(&line,
                    "SERVICE NOTIFICATION: %s;%s;%s;%s ($SERVICESTATE$);%s;$SERVICEOUTPUT$;$NOTIFICATIONAUTHOR$;"
                    "$NOTIFICATIONCOMMENT$\n",
                    contact_name, vt::col_or_empty(svc->host_name), vt::col_or_empty(svc->description), reason,
                    command);
    else if (svc)
        nm_asprintf(&line, "SERVICE NOTIFICATION: %s;%s;%s;$SERVICESTATE$;%s;$SERVICEOUTPUT$\n", contact_name,
                    vt::col_or_empty(svc->host_name), vt::col_or_empty(svc->description), command);
    else if (ds->reason_type != NOTIFICATION_NORMAL)
        nm_asprintf(&line,
                    "HOST NOTIFICATION: %s;%s;%s ($HOSTSTATE$);%s;$HOSTOUTPUT$;$NOTIFICATIONAUTHOR$;"
                    "$NOTIFICATIONCOMMENT$\n",
                    contact_name, vt::col_or_empty(hst->name), reason, command);
    else
        nm_asprintf(&line, "HOST NOTIFICATION: %s;%s;$HOSTSTATE$;%s;$HOSTOUTPUT$\n", contact_name,
                    vt::col_or_empty(hst->name), command);
    char *expanded = nullptr;
    if (line)
        process_macros_r(&mac, line, &expanded, 0);
    if (expanded)
        nm_log(svc ? NSLOG_SERVICE_NOTIFICATION : NSLOG_HOST_NOTIFICATION, "%s", expanded);
    free(expanded);
    free(line);

    // The two values set here are the module's: freed here, and the slots emptied before
    // the engine's clear functions, which may free them too, see them.
    for (int i : {MACRO_NOTIFICATIONAUTHOR, MACRO_NOTIFICATIONCOMMENT}) {
        free(mac.x[i]);
        mac.x[i] = nullptr;
    }
    clear_summary_macros_r(&mac);
    clear_contact_macros_r(&mac);
    clear_argv_macros_r(&mac);
    clear_host_macros_r(&mac);
    if (svc)
        clear_service_macros_r(&mac);
}

// Takes the notification over: its command as a job for the notification workers, its row,
// and the engine log's line. False, with nothing done, when no command could be composed for
// an event without a contact: the engine then runs its global handler itself.
bool notify_contact(nebstruct_contact_notification_method_data *ds) {
    vt::ScratchTexts scratch{&command_args, &output, &ack_data};
    vt::CString entry_holder, start_holder, end_holder;
    const char *entry = vt::date_or_null(entry_holder, ds->timestamp.tv_sec);
    const char *start = vt::date_or_null(start_holder, ds->start_time.tv_sec);
    const char *end = vt::date_or_null(end_holder, ds->end_time.tv_sec);
    const char *args = vt::escape_into(&command_args, ds->command_args);
    const char *out = vt::escape_into(&output, ds->output);
    const char *ack = vt::escape_into(&ack_data, ds->ack_data);
    const bool global_handler = ds->contact_ptr == nullptr;
    // A global handler's run notifies no contact: its row has none.
    const std::string contact_id = global_handler ? "NULL" : std::to_string(vtdb_find_contact_id(ds->contact_name));
    const int ack_contact_id = vtdb_find_contact_id_by_alias(ds->ack_author);
    const int command_id = vtdb_find_command_id(ds->command_name);

    const bool is_service = ds->notification_type == SERVICE_NOTIFICATION;
    // The contact is notified even when the object's database ids are missing.
    char *cmd = nullptr;
    if (is_service)
        vt_get_service_notification_command(ds, &cmd);
    else
        vt_get_host_notification_command(ds, &cmd);
    if (!cmd && global_handler)
        return false;
    if (cmd) {
        vt::CString owned(cmd);
        vt_send_gearman_job(NOTIFY_QUEUE, cmd);
    }

    service *svc = is_service ? static_cast<service *>(ds->object_ptr) : nullptr;
    host *hst = is_service ? (svc ? svc->host_ptr : nullptr) : static_cast<host *>(ds->object_ptr);
    std::string statement;
    if (is_service) {
        char *hid = nullptr, *sid = nullptr;
        if (svc)
            vt_get_service_id_by_macro(svc, &hid, &sid);
        Ids ids{vt::CString(hid), vt::CString(sid)};
        if (!ids.host || !ids.service) {
            vt_logf("vtdb_handle_notification: could not find host_id or service_id for %s - %s",
                    svc ? vt::col_or_empty(svc->host_name) : "", svc ? vt::col_or_empty(svc->description) : "");
            return true;
        }
        statement = vt::format("INSERT INTO %s.service_notification VALUES "
                               "(%s,%s,%s,%s,%d,%s,%d,%d,%s,%d,%s,%d,%s,%s);",
                               STATUS_SCHEMA, entry, ids.host.get(), ids.service.get(), contact_id.c_str(), command_id, args,
                               ds->reason_type, ds->state, out, ack_contact_id, ack, ds->escalated, start, end);
    } else {
        char *hid = nullptr;
        if (hst)
            vt_get_host_custom_macro("$_HOSTHOST_ID$", hst, &hid);
        vt::CString host_id(hid);
        if (!host_id) {
            vt_logf("vtdb_handle_notification: could not find host_id for %s", hst ? vt::col_or_empty(hst->name) : "");
            return true;
        }
        statement = vt::format("INSERT INTO %s.host_notification VALUES (%s,%s,%s,%d,%s,%d,%d,%s,%d,%s,%d,%s,%s);",
                               STATUS_SCHEMA, entry, host_id.get(), contact_id.c_str(), command_id, args, ds->reason_type,
                               ds->state, out, ack_contact_id, ack, ds->escalated, start, end);
    }
    // The engine logs its global handler's runs under their own setting.
    if (hst && (global_handler ? vt::log_global_notification_lines() : log_notifications == 1))
        log_notification(ds, hst, svc);
    vt_send_gearman_job(STATUS_QUEUE, statement.c_str());
    return true;
}

}  // namespace

extern "C" int vtdb_handle_flapping_data(int callback_type, void *data) {
    (void)callback_type;
    if (DEBUG)
        puts("vtdb_handle_flapping_data");
    const auto *fd = static_cast<const nebstruct_flapping_data *>(data);
    if (!fd)
        return 0;
    return vt::guard_entry("vtdb_handle_flapping_data", -2, [&] {
        try {
            return flapping(fd);
        } catch (const std::bad_alloc &) {
            vt_write_to_log("unable to define flapping state");
            return -2;
        }
    });
}

extern "C" int vtdb_handle_notification(int callback_type, void *data) {
    (void)callback_type;
    if (DEBUG)
        puts("vtdb_handle_notification");
    auto *ds = static_cast<nebstruct_contact_notification_method_data *>(data);
    if (!ds || ds->type == NEBTYPE_CONTACTNOTIFICATIONMETHOD_END)
        return NEBERROR_CALLBACKOVERRIDE;
    // The engine's global handler is never stopped silently: taken over, or left to the engine.
    const bool taken = vt::guard_entry("vtdb_handle_notification", false, [&] { return notify_contact(ds); });
    return taken || ds->contact_ptr ? NEBERROR_CALLBACKOVERRIDE : 0;
}
