// Check results: forwarded to the performance-data store, the history and the event guard.
#include "vtdb_checks.h"

#include <cstdio>
#include <string>

#include "vt_db.h"
#include "vt_engine.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vtdb_module.h"
#include "vtdb_scratch.h"
#include "vtdb_state_history.h"

namespace {

const char *const PERFDATA_QUEUE = "vtdb_perfdata";
const char *const EVENT_GUARD_QUEUE = "vt_eventguard";

#define VT_CHECK_SLOTS                                                                                       \
    &plugin_output, &long_plugin_output, &perf_data, &check_command, &check_period, &notification_period,  \
        &event_handler, &notes_url, &action_url, &icon_image

// The escaped text of a slot, or "" where the event-guard record leaves a field empty.
const char *or_empty(const char *slot) { return slot ? slot : ""; }

int host_check(const nebstruct_host_check_data *hc) {
    host *h = static_cast<host *>(hc->object_ptr);
    if (!h)
        return -2;
    vt::ScratchTexts scratch{VT_CHECK_SLOTS};
    char *id = nullptr;
    vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &id);
    vt::CString host_id(id);
    if (!host_id) {
        vt_logf("vtdb_handle_host_check: could not find host_id for %s", vt::col_or_empty(h->name));
        return -2;
    }
    if (h->stalking_options != 0)
        vtdb_log_state(0, h, nullptr, nullptr, static_cast<unsigned long long>(hc->timestamp.tv_sec),
                       static_cast<unsigned long long>(hc->timestamp.tv_usec));
    if (vt_event_guard_active == 0)
        return 0;
    std::string record;
    try {
        vt_escape_string_for_mysql(h->plugin_output, &plugin_output);
        vt_escape_string_for_mysql(h->check_command, &check_command);
        record = vt::format("%s^%i^%s^%s", host_id.get(), h->current_state, or_empty(check_command),
                            or_empty(plugin_output));
    } catch (...) {
        vt_write_to_log("unable to send data to eventguard queue");
        return -2;
    }
    vt_send_gearman_job(EVENT_GUARD_QUEUE, record.c_str());
    return 0;
}

int service_check(const nebstruct_service_check_data *sc) {
    if (DEBUG)
        puts("vtdb_handle_service_check");
    service *s = static_cast<service *>(sc->object_ptr);
    if (!s)
        return -2;
    vt::ScratchTexts scratch{VT_CHECK_SLOTS};
    char *hid = nullptr, *sid = nullptr;
    vt_get_service_id_by_macro(s, &hid, &sid);
    vt::CString host_id(hid), service_id(sid);
    if (!host_id || !service_id) {
        vt_logf("vt_service_data: could not find host_id or service_id for %s - %s", vt::col_or_empty(s->host_name),
                vt::col_or_empty(s->description));
        return -2;
    }
    std::string perf_record, guard_record;
    try {
        vt_escape_string_for_mysql(s->plugin_output, &plugin_output);
        vt_escape_string_for_mysql(s->perf_data, &perf_data);
    } catch (...) {
        vt_write_to_log("unable to send perfdata to gearman");
        return -2;
    }
    if (s->stalking_options != 0)
        vtdb_log_state(1, s, nullptr, nullptr, static_cast<unsigned long long>(sc->timestamp.tv_sec),
                       static_cast<unsigned long long>(sc->timestamp.tv_usec));
    if (s->perf_data) {
        try {
            // The raw text: the store parses it and escapes what it writes.
            perf_record = vt::format("%ld\t%s\t%s\t%s", static_cast<long>(s->last_check), host_id.get(),
                                     service_id.get(), s->perf_data);
        } catch (...) {
            vt_write_to_log("unable to send perfdata to gearman");
            return -2;
        }
        vt_send_gearman_job_high(PERFDATA_QUEUE, perf_record.c_str());
    }
    if (vt_event_guard_active == 1) {
        try {
            guard_record = vt::format("%s^%s^%s^%i^%s^%s", host_id.get(), service_id.get(), "vantor",
                                      s->current_state, or_empty(plugin_output), or_empty(perf_data));
        } catch (...) {
            vt_write_to_log("unable to send perfdata to gearman");
            return -2;
        }
        vt_send_gearman_job(EVENT_GUARD_QUEUE, guard_record.c_str());
    }
    return 0;
}

}  // namespace

extern "C" int vtdb_handle_host_check(int callback_type, void *data) {
    (void)callback_type;
    const auto *hc = static_cast<const nebstruct_host_check_data *>(data);
    if (!hc || hc->type != NEBTYPE_HOSTCHECK_PROCESSED)
        return 0;
    try {
        return host_check(hc);
    } catch (...) {
        vt_write_to_log("vtdb_handle_host_check: unable to forward the check result");
        return -2;
    }
}

extern "C" int vtdb_handle_service_check(int callback_type, void *data) {
    (void)callback_type;
    const auto *sc = static_cast<const nebstruct_service_check_data *>(data);
    if (!sc || sc->type != NEBTYPE_SERVICECHECK_PROCESSED)
        return 0;
    try {
        return service_check(sc);
    } catch (...) {
        vt_write_to_log("vtdb_handle_service_check: unable to forward the check result");
        return -2;
    }
}
