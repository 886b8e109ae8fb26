// Event helpers of the stand-in engine for host and service status, checks and state changes.
#include "standin.h"

namespace standin {

namespace {

template <typename Record, typename Object> void fill_check(Record &d, Object *o) {
    d.check_type = o->check_type;
    d.current_attempt = o->current_attempt;
    d.max_attempts = o->max_attempts;
    d.state_type = o->state_type;
    d.state = o->current_state;
    d.command_name = o->check_command;
    d.execution_time = o->execution_time;
    d.latency = o->latency;
    d.return_code = o->current_state;
    d.output = o->plugin_output;
    d.long_output = o->long_plugin_output;
    d.perf_data = o->perf_data;
    d.object_ptr = o;
}

}  // namespace

int raise_host_status(host *hst, int event_type) {
    nebstruct_host_status_data d{};
    d.type = event_type;
    d.timestamp = now();
    d.object_ptr = hst;
    return raise(NEBCALLBACK_HOST_STATUS_DATA, &d);
}

int raise_service_status(service *svc, int event_type) {
    nebstruct_service_status_data d{};
    d.type = event_type;
    d.timestamp = now();
    d.object_ptr = svc;
    return raise(NEBCALLBACK_SERVICE_STATUS_DATA, &d);
}

int raise_host_check_at(host *hst, struct timeval when, int event_type) {
    nebstruct_host_check_data d{};
    d.type = event_type;
    d.timestamp = when;
    d.host_name = hst->name;
    fill_check(d, hst);
    return raise(NEBCALLBACK_HOST_CHECK_DATA, &d);
}

int raise_service_check_at(service *svc, struct timeval when, int event_type) {
    nebstruct_service_check_data d{};
    d.type = event_type;
    d.timestamp = when;
    d.host_name = svc->host_name;
    d.service_description = svc->description;
    fill_check(d, svc);
    return raise(NEBCALLBACK_SERVICE_CHECK_DATA, &d);
}

int raise_host_check(host *hst, int event_type) { return raise_host_check_at(hst, now(), event_type); }

int raise_service_check(service *svc, int event_type) { return raise_service_check_at(svc, now(), event_type); }

int raise_state_change_at(host *hst, service *svc, struct timeval when, int event_type) {
    nebstruct_statechange_data d{};
    d.type = event_type;
    d.timestamp = when;
    if (svc) {
        d.statechange_type = SERVICE_STATECHANGE;
        d.host_name = svc->host_name;
        d.service_description = svc->description;
        d.state = svc->current_state;
        d.state_type = svc->state_type;
        d.current_attempt = svc->current_attempt;
        d.max_attempts = svc->max_attempts;
        d.output = svc->plugin_output;
        d.object_ptr = svc;
    } else if (hst) {
        d.statechange_type = HOST_STATECHANGE;
        d.host_name = hst->name;
        d.state = hst->current_state;
        d.state_type = hst->state_type;
        d.current_attempt = hst->current_attempt;
        d.max_attempts = hst->max_attempts;
        d.output = hst->plugin_output;
        d.object_ptr = hst;
    }
    return raise(NEBCALLBACK_STATE_CHANGE_DATA, &d);
}

int raise_global_notification(host *hst, service *svc, int reason) {
#if VT_STANDIN_API >= 7
    const char *handler = svc ? global_service_notification_handler : global_host_notification_handler;
    if (!handler)
        return ERROR;
    std::string name = handler, args;
    const size_t bang = name.find('!');
    if (bang != std::string::npos) {
        args = name.substr(bang + 1);
        name.resize(bang);
    }
    nebstruct_contact_notification_method_data d{};
    d.type = NEBTYPE_CONTACTNOTIFICATIONMETHOD_START;
    d.timestamp = now();
    d.notification_type = svc ? SERVICE_NOTIFICATION : HOST_NOTIFICATION;
    d.start_time = d.timestamp;
    d.host_name = svc ? svc->host_name : hst->name;
    d.service_description = svc ? svc->description : nullptr;
    d.command_name = &name[0];
    d.command_args = bang != std::string::npos ? &args[0] : nullptr;
    d.reason_type = reason;
    d.state = svc ? svc->current_state : hst->current_state;
    d.output = svc ? svc->plugin_output : hst->plugin_output;
    d.object_ptr = svc ? static_cast<void *>(svc) : static_cast<void *>(hst);
    return raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d);
#else
    (void)hst;
    (void)svc;
    (void)reason;
    return ERROR;
#endif
}

int raise_state_change(host *hst, service *svc, int event_type) {
    return raise_state_change_at(hst, svc, now(), event_type);
}

}  // namespace standin
