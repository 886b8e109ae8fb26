// Generated configuration of the simulated engine: hosts, services, contacts, commands.
#include "sim.h"

#include "standin.h"

#include <ctime>
#include <string>

namespace sim {

World build_world(const Options &opt) {
    World w;
    command *host_notify = standin::add_command(
        "sim-notify-host", "/bin/echo HOST $NOTIFICATIONTYPE$ $HOSTNAME$ $HOSTSTATE$ to $CONTACTEMAIL$: $ARG1$");
    command *service_notify = standin::add_command(
        "sim-notify-service",
        "/bin/echo SERVICE $NOTIFICATIONTYPE$ $HOSTNAME$/$SERVICEDESC$ $SERVICESTATE$ to $CONTACTEMAIL$: $ARG1$");
    command *host_check = standin::add_command("sim-check-host", "/bin/true");
    command *service_check = standin::add_command("sim-check-service", "/bin/echo OK - $ARG1$");
    w.commands = {host_notify, service_notify, host_check, service_check};

    contact *admin = standin::add_contact("sim-admin", "Simulation Administrator", "sim-admin@localhost");
    contact *oncall = standin::add_contact("sim-oncall", "Simulation On-Call", "sim-oncall@localhost");
    w.contacts = {admin, oncall};
    for (contact *c : w.contacts) {
        standin::add_notification_command(c, "sim-notify-host!simulated", true);
        standin::add_notification_command(c, "sim-notify-service!simulated", false);
    }

    time_t now = time(nullptr);
    for (int i = 0; i < opt.hosts; i++) {
        const int host_id = opt.first_host_id + i;
        host *h = standin::add_host("sim-host-" + std::to_string(i + 1), "127.0.0." + std::to_string(i % 250 + 1));
        standin::add_custom_variable(h, "_HOST_ID", std::to_string(host_id));
        standin::set_text(h->check_command, "sim-check-host");
        standin::set_text(h->plugin_output, "PING OK - simulated");
        h->last_state_change = now;
        h->next_check = now + 60;
        for (contact *c : w.contacts)
            standin::add_contact_to_host(h, c);
        w.hosts.push_back(h);
        w.host_ids.push_back(host_id);
        for (int k = 0; k < opt.services; k++) {
            const int service_id = i * opt.services + k + 1;
            service *s = standin::add_service(h, "sim-service-" + std::to_string(k + 1));
            standin::add_custom_variable(s, "_HOST_ID", std::to_string(host_id));
            standin::add_custom_variable(s, "_SERVICE_ID", std::to_string(service_id));
            standin::set_text(s->check_command, "sim-check-service!simulated");
            standin::set_text(s->plugin_output, "OK - simulated");
            standin::set_text(s->perf_data, "time=0.01s;1;2;0;");
            s->last_state_change = now;
            s->next_check = now + 60;
            for (contact *c : w.contacts)
                standin::add_contact_to_service(s, c);
            w.services.push_back(s);
        }
    }
    return w;
}

}  // namespace sim
