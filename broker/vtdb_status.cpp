// Host and service status rows: one insert-or-update statement per status event.
#include "vtdb_status.h"

#include <cstdio>
#include <string>

#include "vt_display_status.h"
#include "vt_engine.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_upsert.h"
#include "vt_util.h"
#include "vtdb_module.h"
#include "vtdb_scratch.h"

namespace {

const char *const STATUS_QUEUE = "vtdb_vtstatus";
const char *const STATUS_SCHEMA = "vantor4";

const char *export_date_or_null() { return export_date ? export_date : "NULL"; }

// Every status text slot, claimed by both handlers.
#define VT_STATUS_SLOTS                                                                                      \
    &plugin_output, &long_plugin_output, &perf_data, &check_command, &check_period, &notification_period,  \
        &event_handler, &notes_url, &action_url, &icon_image

// The host's status statement; the scratch texts hold the escaped values meanwhile. Throws
// std::bad_alloc when out of memory.
std::string host_status_statement(host *h, const char *host_id, unsigned long long order) {
    vt::CString name_text, next_check, last_check, last_change;
    // The host name has a slot of its own: the scratch set names only the status texts.
    char *name_slot = nullptr;
    const char *name = vt::escape_into(&name_slot, h->name);
    name_text.reset(name_slot);
    vt::escape_into(&plugin_output, h->plugin_output);
    vt::escape_into(&long_plugin_output, h->long_plugin_output);
    vt::escape_into(&perf_data, h->perf_data);
    vt::escape_into(&check_period, h->check_period);
    vt::escape_into(&notification_period, h->notification_period);
    vt::escape_into(&event_handler, h->event_handler);
    vt::escape_into(&check_command, h->check_command);
    vt::escape_into(&notes_url, h->notes_url);
    vt::escape_into(&action_url, h->action_url);
    vt::escape_into(&icon_image, h->icon_image);
    const char *next = vt::date_or_null(next_check, h->next_check);
    const char *last = vt::date_or_null(last_check, h->last_check);
    const char *changed = vt::date_or_null(last_change, h->last_state_change);

    // An UP host is always recorded as hard, and the engine keeps it so.
    if (h->current_state == 0)
        h->state_type = 1;

    auto text = [](char *slot) -> const char * { return slot ? slot : "NULL"; };
    const std::string head = vt::format_statement(
        "INSERT INTO %s.host_status( host_id,host_name,problem_has_been_acknowledged,acknowledgement_type,"
        "check_type,current_state,last_state,last_hard_state,plugin_output,long_plugin_output,perf_data,"
        "state_type,current_attempt,latency,execution_time,notifications_enabled,next_check,last_check,"
        "last_state_change,scheduled_downtime_depth,is_flapping,total_services,modified_attributes,"
        "check_command,check_period,notification_period,check_interval,retry_interval,event_handler,"
        "max_attempts,active_checks_enabled,passive_checks_enabled,event_handler_enabled,"
        "flap_detection_enabled,process_performance_data,obsess_over_host,notes_url,action_url,icon_image,"
        "export_date,display_status,event_usec) VALUES",
        STATUS_SCHEMA);
    const std::string row = vt::format_statement(
        "( %s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,%d,%.03f,%.03f,%d,%s,%s,%s,"
        "%d,%d,'%d','%lu',%s,%s,%s,'%.06f','%.06f',%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%d,%llu)",
        host_id, name, h->problem_has_been_acknowledged, h->acknowledgement_type, h->check_type,
        h->current_state, h->last_state, h->last_hard_state, text(plugin_output), text(long_plugin_output),
        text(perf_data), h->state_type, h->current_attempt, h->latency, h->execution_time,
        h->notifications_enabled, next, last, changed, h->scheduled_downtime_depth, h->is_flapping,
        h->total_services, h->modified_attributes, text(check_command), text(check_period),
        text(notification_period), h->check_interval, h->retry_interval, text(event_handler), h->max_attempts,
        h->checks_enabled, h->accept_passive_checks, h->event_handler_enabled, h->flap_detection_enabled,
        h->process_performance_data, h->obsess, text(notes_url), text(action_url), text(icon_image),
        export_date_or_null(), vt_display_status(h), order);
    // The update list comes from the column list, as the status workers' merged statements
    // make theirs: the rows of several hosts may then be written by one statement.
    const std::string tail = vt::upsert_tail(head, 1);
    return vt::marked_upsert(1, head, row, tail);
}

// The service's status statement. Throws std::bad_alloc when out of memory.
std::string service_status_statement(const service *s, const char *host_id, const char *service_id,
                                     unsigned long long order) {
    vt::CString host_name_text, description_text, host_icon_text;
    vt::CString next_check, last_check, last_notification, next_notification, last_change;
    char *slot = nullptr;
    const char *host_name = vt::escape_into(&slot, s->host_name);
    host_name_text.reset(slot);
    slot = nullptr;
    const char *description = vt::escape_into(&slot, s->description);
    description_text.reset(slot);
    vt::escape_into(&plugin_output, s->plugin_output);
    vt::escape_into(&long_plugin_output, s->long_plugin_output);
    vt::escape_into(&perf_data, s->perf_data);
    vt::escape_into(&check_period, s->check_period);
    vt::escape_into(&notification_period, s->notification_period);
    vt::escape_into(&event_handler, s->event_handler);
    vt::escape_into(&check_command, s->check_command);
    vt::escape_into(&notes_url, s->notes_url);
    vt::escape_into(&action_url, s->action_url);
    vt::escape_into(&icon_image, s->icon_image);
    slot = nullptr;
    const char *host_icon = vt::escape_into(&slot, s->host_ptr ? s->host_ptr->icon_image : nullptr);
    host_icon_text.reset(slot);
    const char *next = vt::date_or_null(next_check, s->next_check);
    const char *last = vt::date_or_null(last_check, s->last_check);
    const char *last_notif = vt::date_or_null(last_notification, s->last_notification);
    const char *next_notif = vt::date_or_null(next_notification, s->next_notification);
    const char *changed = vt::date_or_null(last_change, s->last_state_change);

    auto text = [](char *slot_text) -> const char * { return slot_text ? slot_text : "NULL"; };
    const std::string head = vt::format_statement(
        "INSERT INTO %s.service_status(    host_id,    service_id,    host_name,    service_description,    "
        "problem_has_been_acknowledged,    acknowledgement_type,    check_type,    current_state,    "
        "last_state,    last_hard_state,    plugin_output,    long_plugin_output,    perf_data,    state_type,    "
        "next_check,    last_check,    current_attempt,    last_notification,    next_notification,    "
        "last_state_change,    latency,    execution_time,    scheduled_downtime_depth,    is_flapping,    "
        "modified_attributes,    check_command,    check_period,    notification_period,    check_interval,    "
        "retry_interval,    event_handler,    max_attempts,    notifications_enabled,    "
        "active_checks_enabled,    passive_checks_enabled,    event_handler_enabled,    "
        "flap_detection_enabled,    obsess_over_service,    notes_url,    action_url,    icon_image,    "
        "host_icon_image,    export_date,    display_status,    event_usec) VALUES",
        STATUS_SCHEMA);
    const std::string row = vt::format_statement(
        "( %s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%s,%s,%s,%d,"
        "%s,%s,%d,%s,%s,%s,%.03f,%.03f,%d,%d,%lu,%s,%s,%s,%.06f,%.06f,%s,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,%s,"
        "%d,%llu)",
        host_id, service_id, host_name, description, s->problem_has_been_acknowledged, s->acknowledgement_type,
        s->check_type, s->current_state, s->last_state, s->last_hard_state, text(plugin_output),
        text(long_plugin_output), text(perf_data), s->state_type, next, last, s->current_attempt, last_notif,
        next_notif, changed, s->latency, s->execution_time, s->scheduled_downtime_depth, s->is_flapping,
        s->modified_attributes, text(check_command), text(check_period), text(notification_period),
        s->check_interval, s->retry_interval, text(event_handler), s->max_attempts, s->notifications_enabled,
        s->checks_enabled, s->accept_passive_checks, s->event_handler_enabled, s->flap_detection_enabled,
        s->obsess, text(notes_url), text(action_url), text(icon_image), host_icon, export_date_or_null(),
        vt_display_status(s), order);
    const std::string tail = vt::upsert_tail(head, 2);
    return vt::marked_upsert(2, head, row, tail);
}

// The newest order value handed out by this load of the module.
unsigned long long last_event_usec = 0;

}  // namespace

unsigned long long vt_event_usec(const struct timeval &when) {
    const unsigned long long usec = static_cast<unsigned long long>(when.tv_sec < 0 ? 0 : when.tv_sec) * 1000000ULL +
                                    static_cast<unsigned long long>(when.tv_usec < 0 ? 0 : when.tv_usec);
    // A clock set back while the engine runs must not let later events lose to earlier ones.
    last_event_usec = usec > last_event_usec ? usec : last_event_usec + 1;
    return last_event_usec;
}

extern "C" int vtdb_handle_host_status(int callback_type, void *data) {
    (void)callback_type;
    const auto *hs = static_cast<const nebstruct_host_status_data *>(data);
    host *h = hs ? static_cast<host *>(hs->object_ptr) : nullptr;
    if (!h)
        return -2;
    try {
        vt::ScratchTexts scratch{VT_STATUS_SLOTS};
        char *id = nullptr;
        vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &id);
        vt::CString host_id(id);
        if (!host_id) {
            vt_logf("vtdb_handle_host_status: could not find host_id for %s", vt::col_or_empty(h->name));
            return -2;
        }
        const std::string statement = host_status_statement(h, host_id.get(), vt_event_usec(hs->timestamp));
        vt_send_gearman_job(STATUS_QUEUE, statement.c_str());
        return 0;
    } catch (...) {
        vt_write_to_log("vtdb_handle_host_status: unable to build the host status statement");
        return -2;
    }
}

extern "C" int vtdb_handle_service_status(int callback_type, void *data) {
    (void)callback_type;
    const auto *ss = static_cast<const nebstruct_service_status_data *>(data);
    const service *s = ss ? static_cast<const service *>(ss->object_ptr) : nullptr;
    if (!s)
        return -2;
    try {
        vt::ScratchTexts scratch{VT_STATUS_SLOTS};
        char *hid = nullptr, *sid = nullptr;
        vt_get_service_id_by_macro(const_cast<service *>(s), &hid, &sid);
        vt::CString host_id(hid), service_id(sid);
        if (!host_id || !service_id) {
            vt_logf("vt_service_data: could not find host_id or service_id for %s - %s",
                    vt::col_or_empty(s->host_name), vt::col_or_empty(s->description));
            return -2;
        }
        const std::string statement =
            service_status_statement(s, host_id.get(), service_id.get(), vt_event_usec(ss->timestamp));
        vt_send_gearman_job(STATUS_QUEUE, statement.c_str());
        return 0;
    } catch (...) {
        vt_write_to_log("vt_service_data: unable to build the service status statement");
        return -2;
    }
}
