// Notifications of the simulated engine: hard state changes notify every contact of the object.
#include "sim.h"

#include "standin.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>

namespace sim {

namespace {

struct NotifyState {
    std::string file;
    std::map<const void *, int> notified;  // last state each object was notified for (0 when none)
    unsigned long next_id = 1;
    long sent = 0;
    long overridden = 0;
};

NotifyState &state() {
    static NotifyState s;
    return s;
}

// One contact notification method, as the engine raises it around running the command: a
// module that answers the start with the override code takes the delivery over.
void notify_contact(host *h, service *s, contact *c, commandsmember *method) {
    NotifyState &st = state();
    nebstruct_contact_notification_method_data d{};
    d.type = NEBTYPE_CONTACTNOTIFICATIONMETHOD_START;
    d.timestamp = standin::now();
    d.notification_type = s ? SERVICE_NOTIFICATION : HOST_NOTIFICATION;
    d.start_time = d.timestamp;
    d.host_name = h->name;
    d.service_description = s ? s->description : nullptr;
    d.contact_name = c->name;
    // The engine hands the entry "name!args" over split at its first "!".
    std::string name = method->command;
    std::string args;
    const size_t bang = name.find('!');
    if (bang != std::string::npos) {
        args = name.substr(bang + 1);
        name.resize(bang);
    }
    d.command_name = &name[0];
    d.command_args = bang != std::string::npos ? &args[0] : nullptr;
    d.reason_type = NOTIFICATION_NORMAL;
    d.state = s ? s->current_state : h->current_state;
    d.output = s ? s->plugin_output : h->plugin_output;
    d.object_ptr = s ? static_cast<void *>(s) : static_cast<void *>(h);
    d.contact_ptr = c;
    st.sent++;
    if (standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d) == NEBERROR_CALLBACKOVERRIDE)
        st.overridden++;
    d.type = NEBTYPE_CONTACTNOTIFICATIONMETHOD_END;
    d.end_time = standin::now();
    standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d);
}

// A notification's id as the engine release followed makes it: a counter, or (from API 7) a
// UUID text.
std::string notification_id(unsigned long n) {
#if CURRENT_NEB_API_VERSION >= 7
    char uuid[40];
    snprintf(uuid, sizeof uuid, "%08lx-0000-4000-8000-%012lx", n >> 32, n & 0xffffffffffffUL);
    return uuid;
#else
    return std::to_string(n);
#endif
}

template <typename T> void notify_object(T *o, host *h, service *s, contactsmember *contacts) {
    NotifyState &st = state();
    int &last = st.notified[o];
    // The engine notifies hard states only: a problem once it is hard, a recovery of a
    // problem it notified.
    if (o->state_type != HARD_STATE || o->current_state == last)
        return;
    last = o->current_state;
    if (o->current_state != 0)
        o->current_notification_number++;
    standin::set_notification_id(o, notification_id(st.next_id++).c_str());
    for (contactsmember *m = contacts; m; m = m->next) {
        contact *c = m->contact_ptr;
        if (!c)
            continue;
        for (commandsmember *method = s ? c->service_notification_commands : c->host_notification_commands; method;
             method = method->next)
            notify_contact(h, s, c, method);
    }
    if (o->current_state == 0)
        o->current_notification_number = 0;
}

}  // namespace

void enable_notifications(const World &world, const std::string &file) {
    NotifyState &st = state();
    st.file = file;
    // The daemon runs notification commands as an unprivileged user: the file must be its
    // to append to.
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd >= 0) {
        fchmod(fd, 0666);
        close(fd);
    }
    const std::string redirect = " as `id -un` >> '" + file + "'";
    for (command *c : world.commands)
        if (c->name && std::strncmp(c->name, "sim-notify-", 11) == 0 && c->command_line &&
            !std::strstr(c->command_line, ">>"))
            standin::set_text(c->command_line, (std::string(c->command_line) + redirect).c_str());
    add_state_change_listener([](host *h, service *s) {
        if (s)
            notify_object(s, h, s, s->contacts);
        else
            notify_object(h, h, nullptr, h->contacts);
    });
}

long notifications_sent() { return state().sent; }
long notifications_taken_over() { return state().overridden; }

}  // namespace sim
