// Object store of the stand-in engine: creation, the engine's lists and name lookups.
#include "standin.h"
#include "standin_internal.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

extern "C" {
host *host_list = nullptr;
service *service_list = nullptr;
contact *contact_list = nullptr;
command *command_list = nullptr;
hostgroup *hostgroup_list = nullptr;
servicegroup *servicegroup_list = nullptr;
contactgroup *contactgroup_list = nullptr;
scheduled_downtime *scheduled_downtime_list = nullptr;
}

namespace {

// Index by name, and the tail of each list so that definition order is kept.
struct Store {
    std::unordered_map<std::string, host *> hosts;
    std::map<std::pair<std::string, std::string>, service *> services;
    std::unordered_map<std::string, contact *> contacts;
    std::unordered_map<std::string, command *> commands;
    std::unordered_map<std::string, hostgroup *> hostgroups;
    std::unordered_map<std::string, servicegroup *> servicegroups;
    host *host_tail = nullptr;
    service *service_tail = nullptr;
    contact *contact_tail = nullptr;
    command *command_tail = nullptr;
    hostgroup *hostgroup_tail = nullptr;
    servicegroup *servicegroup_tail = nullptr;
    scheduled_downtime *downtime_tail = nullptr;
    unsigned int next_id = 1;
};

Store &store() {
    static Store s;
    return s;
}

char *dup(const std::string &s) { return strdup(s.c_str()); }

template <typename T> T *alloc() { return static_cast<T *>(calloc(1, sizeof(T))); }

template <typename T> void append(T *&head, T *&tail, T *item) {
    if (tail)
        tail->next = item;
    else
        head = item;
    tail = item;
}

void add_var(customvariablesmember *&head, const std::string &name, const std::string &value) {
    std::string key = name;
    if (!key.empty() && key[0] == '_')
        key.erase(0, 1);
    for (char &c : key)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto *v = alloc<customvariablesmember>();
    v->variable_name = dup(key);
    v->variable_value = dup(value);
    customvariablesmember **p = &head;
    while (*p)
        p = &(*p)->next;
    *p = v;
}

void free_vars(customvariablesmember *v) {
    while (v) {
        customvariablesmember *n = v->next;
        free(v->variable_name);
        free(v->variable_value);
        free(v);
        v = n;
    }
}

void free_commandsmembers(commandsmember *m) {
    while (m) {
        commandsmember *n = m->next;
        free(m->command);
        free(m);
        m = n;
    }
}

void free_contactsmembers(contactsmember *m) {
    while (m) {
        contactsmember *n = m->next;
        free(m->contact_name);
        free(m);
        m = n;
    }
}

void free_servicesmembers(servicesmember *m) {
    while (m) {
        servicesmember *n = m->next;
        free(m->host_name);
        free(m->service_description);
        free(m);
        m = n;
    }
}

void add_contactsmember(contactsmember *&head, contact *cntct) {
    auto *m = alloc<contactsmember>();
    m->contact_name = strdup(cntct->name);
    m->contact_ptr = cntct;
    contactsmember **p = &head;
    while (*p)
        p = &(*p)->next;
    *p = m;
}

// Defaults shared by hosts and services.
template <typename T> void init_checkable(T *o, unsigned int id) {
    o->id = id;
    o->check_interval = 5.0;
    o->retry_interval = 1.0;
    o->max_attempts = 3;
    o->checks_enabled = 1;
    o->accept_passive_checks = 1;
    o->event_handler_enabled = 1;
    o->flap_detection_enabled = 1;
    o->process_performance_data = 1;
    o->obsess = 0;
    o->notifications_enabled = 1;
    o->state_type = HARD_STATE;
    o->current_attempt = 1;
}

template <typename T> void free_checkable_texts(T *o) {
    free(o->display_name);
    free(o->check_command);
    free(o->check_period);
    free(o->notification_period);
    free(o->event_handler);
    free(o->notes);
    free(o->notes_url);
    free(o->action_url);
    free(o->icon_image);
    free(o->plugin_output);
    free(o->long_plugin_output);
    free(o->perf_data);
    free_vars(o->custom_variables);
    free_contactsmembers(o->contacts);
    standin::set_notification_id(o, nullptr);
    standin::set_problem_id(o, nullptr);
}

}  // namespace

namespace standin {

host *add_host(const std::string &name, const std::string &address) {
    Store &s = store();
    auto *h = alloc<host>();
    init_checkable(h, s.next_id++);
    h->name = dup(name);
    h->display_name = dup(name);
    h->alias = dup(name);
    h->address = dup(address);
    h->current_state = STATE_UP;
    append(host_list, s.host_tail, h);
    s.hosts.emplace(name, h);
    return h;
}

service *add_service(host *hst, const std::string &description) {
    Store &s = store();
    auto *svc = alloc<service>();
    init_checkable(svc, s.next_id++);
    svc->host_name = strdup(hst->name);
    svc->description = dup(description);
    svc->display_name = dup(description);
    svc->host_ptr = hst;
    svc->current_state = STATE_OK;
    append(service_list, s.service_tail, svc);
    s.services.emplace(std::make_pair(std::string(hst->name), description), svc);

    auto *m = alloc<servicesmember>();
    m->host_name = strdup(hst->name);
    m->service_description = dup(description);
    m->service_ptr = svc;
    servicesmember **p = &hst->services;
    while (*p)
        p = &(*p)->next;
    *p = m;
    hst->total_services++;
    return svc;
}

contact *add_contact(const std::string &name, const std::string &alias, const std::string &email) {
    Store &s = store();
    auto *c = alloc<contact>();
    c->id = s.next_id++;
    c->name = dup(name);
    c->alias = dup(alias.empty() ? name : alias);
    c->email = email.empty() ? nullptr : dup(email);
    c->host_notifications_enabled = 1;
    c->service_notifications_enabled = 1;
    append(contact_list, s.contact_tail, c);
    s.contacts.emplace(name, c);
    return c;
}

command *add_command(const std::string &name, const std::string &command_line) {
    Store &s = store();
    auto *c = alloc<command>();
    c->id = s.next_id++;
    c->name = dup(name);
    c->command_line = dup(command_line);
    append(command_list, s.command_tail, c);
    s.commands.emplace(name, c);
    return c;
}

void add_custom_variable(host *hst, const std::string &name, const std::string &value) {
    add_var(hst->custom_variables, name, value);
}
void add_custom_variable(service *svc, const std::string &name, const std::string &value) {
    add_var(svc->custom_variables, name, value);
}
void add_custom_variable(contact *cntct, const std::string &name, const std::string &value) {
    add_var(cntct->custom_variables, name, value);
}

}  // namespace standin

extern "C" {

customvariablesmember *add_custom_variable_to_object(customvariablesmember **object_ptr, char *varname,
                                                     char *varvalue) {
    if (!object_ptr) {
        nm_log(NSLOG_CONFIG_ERROR, "Error: Custom variable object is NULL\n");
        return nullptr;
    }
    if (!varname || !*varname) {
        nm_log(NSLOG_CONFIG_ERROR, "Error: Custom variable name is NULL\n");
        return nullptr;
    }
    auto *v = static_cast<customvariablesmember *>(nm_malloc(sizeof(customvariablesmember)));
    v->variable_name = static_cast<char *>(nm_strdup(varname));
    v->variable_value = varvalue ? static_cast<char *>(nm_strdup(varvalue)) : nullptr;
    v->has_been_modified = 0;
    v->next = *object_ptr;
    *object_ptr = v;
    return v;
}

customvariablesmember *add_custom_variable_to_host(host *hst, char *varname, char *varvalue) {
    return add_custom_variable_to_object(&hst->custom_variables, varname, varvalue);
}

customvariablesmember *add_custom_variable_to_service(service *svc, char *varname, char *varvalue) {
    return add_custom_variable_to_object(&svc->custom_variables, varname, varvalue);
}

}  // extern "C"

namespace standin {

commandsmember *add_notification_command(contact *cntct, const std::string &text, bool for_host) {
    auto *m = alloc<commandsmember>();
    m->command = dup(text);
    m->command_ptr = find_command(text.substr(0, text.find('!')).c_str());
    commandsmember **p = for_host ? &cntct->host_notification_commands
                                  : &cntct->service_notification_commands;
    while (*p)
        p = &(*p)->next;
    *p = m;
    return m;
}

void add_contact_to_host(host *hst, contact *cntct) { add_contactsmember(hst->contacts, cntct); }
void add_contact_to_service(service *svc, contact *cntct) { add_contactsmember(svc->contacts, cntct); }

hostgroup *add_hostgroup(const std::string &name, const std::vector<host *> &members) {
    Store &s = store();
    auto *g = alloc<hostgroup>();
    g->id = s.next_id++;
    g->group_name = dup(name);
    g->alias = dup(name);
    hostsmember **p = &g->members;
    for (host *h : members) {
        auto *m = alloc<hostsmember>();
        m->host_name = strdup(h->name);
        m->host_ptr = h;
        *p = m;
        p = &m->next;
    }
    append(hostgroup_list, s.hostgroup_tail, g);
    s.hostgroups.emplace(name, g);
    return g;
}

servicegroup *add_servicegroup(const std::string &name, const std::vector<service *> &members) {
    Store &s = store();
    auto *g = alloc<servicegroup>();
    g->id = s.next_id++;
    g->group_name = dup(name);
    g->alias = dup(name);
    servicesmember **p = &g->members;
    for (service *svc : members) {
        auto *m = alloc<servicesmember>();
        if (svc) {
            m->host_name = strdup(svc->host_name);
            m->service_description = strdup(svc->description);
        }
        m->service_ptr = svc;
        *p = m;
        p = &m->next;
    }
    append(servicegroup_list, s.servicegroup_tail, g);
    s.servicegroups.emplace(name, g);
    return g;
}

scheduled_downtime *add_downtime(int type, unsigned long downtime_id, const std::string &host_name,
                                 const std::string &service_description, int is_in_effect) {
    Store &s = store();
    auto *d = alloc<scheduled_downtime>();
    d->type = type;
    d->downtime_id = downtime_id;
    d->host_name = dup(host_name);
    d->service_description = service_description.empty() ? nullptr : dup(service_description);
    d->is_in_effect = is_in_effect;
    d->entry_time = time(nullptr);
    d->prev = s.downtime_tail;
    append(scheduled_downtime_list, s.downtime_tail, d);
    return d;
}

void set_text(char *&member, const char *value) {
    free(member);
    member = value ? strdup(value) : nullptr;
}

namespace {
// An id member in the form of the release followed: a counter, or a heap text.
[[maybe_unused]] void set_id(unsigned long &member, const char *value) {
    member = value ? std::strtoul(value, nullptr, 10) : 0;
}
[[maybe_unused]] void set_id(char *&member, const char *value) { set_text(member, value); }
}  // namespace

void set_notification_id(host *hst, const char *id) { set_id(hst->current_notification_id, id); }
void set_notification_id(service *svc, const char *id) { set_id(svc->current_notification_id, id); }
void set_problem_id(host *hst, const char *id) { set_id(hst->current_problem_id, id); }
void set_problem_id(service *svc, const char *id) { set_id(svc->current_problem_id, id); }

void reset_objects() {
    Store &s = store();
    for (service *svc = service_list; svc;) {
        service *n = svc->next;
        free(svc->host_name);
        free(svc->description);
        free_checkable_texts(svc);
        free(svc);
        svc = n;
    }
    for (host *h = host_list; h;) {
        host *n = h->next;
        free(h->name);
        free(h->alias);
        free(h->address);
        free_servicesmembers(h->services);
        free_checkable_texts(h);
        free(h);
        h = n;
    }
    for (contact *c = contact_list; c;) {
        contact *n = c->next;
        free(c->name);
        free(c->alias);
        free(c->email);
        free(c->pager);
        for (char *a : c->address)
            free(a);
        free_commandsmembers(c->host_notification_commands);
        free_commandsmembers(c->service_notification_commands);
        free_vars(c->custom_variables);
        free(c);
        c = n;
    }
    for (command *c = command_list; c;) {
        command *n = c->next;
        free(c->name);
        free(c->command_line);
        free(c);
        c = n;
    }
    for (hostgroup *g = hostgroup_list; g;) {
        hostgroup *n = g->next;
        for (hostsmember *m = g->members; m;) {
            hostsmember *mn = m->next;
            free(m->host_name);
            free(m);
            m = mn;
        }
        free(g->group_name);
        free(g->alias);
        free(g);
        g = n;
    }
    for (servicegroup *g = servicegroup_list; g;) {
        servicegroup *n = g->next;
        free_servicesmembers(g->members);
        free(g->group_name);
        free(g->alias);
        free(g);
        g = n;
    }
    for (scheduled_downtime *d = scheduled_downtime_list; d;) {
        scheduled_downtime *n = d->next;
        free(d->host_name);
        free(d->service_description);
        free(d->author);
        free(d->comment);
        free(d);
        d = n;
    }
    host_list = nullptr;
    service_list = nullptr;
    contact_list = nullptr;
    command_list = nullptr;
    hostgroup_list = nullptr;
    servicegroup_list = nullptr;
    scheduled_downtime_list = nullptr;
    s = Store{};
}

}  // namespace standin

extern "C" {

host *find_host(const char *name) {
    if (!name)
        return nullptr;
    auto &m = store().hosts;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

service *find_service(const char *host_name, const char *svc_desc) {
    if (!host_name || !svc_desc)
        return nullptr;
    auto &m = store().services;
    auto it = m.find(std::make_pair(std::string(host_name), std::string(svc_desc)));
    return it == m.end() ? nullptr : it->second;
}

contact *find_contact(const char *name) {
    if (!name)
        return nullptr;
    auto &m = store().contacts;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

command *find_command(const char *name) {
    if (!name)
        return nullptr;
    auto &m = store().commands;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

hostgroup *find_hostgroup(const char *name) {
    if (!name)
        return nullptr;
    auto &m = store().hostgroups;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

servicegroup *find_servicegroup(const char *name) {
    if (!name)
        return nullptr;
    auto &m = store().servicegroups;
    auto it = m.find(name);
    return it == m.end() ? nullptr : it->second;
}

struct scheduled_downtime *find_downtime(int type, unsigned long downtime_id) {
    for (scheduled_downtime *d = scheduled_downtime_list; d; d = d->next) {
        if (d->downtime_id != downtime_id)
            continue;
        if (type == ANY_DOWNTIME || d->type == type)
            return d;
    }
    return nullptr;
}

int is_contact_for_service(service *svc, contact *cntct) {
    if (!svc || !cntct)
        return FALSE;
    for (contactsmember *m = svc->contacts; m; m = m->next)
        if (m->contact_ptr == cntct)
            return TRUE;
    return FALSE;
}

int is_contact_for_host(host *hst, contact *cntct) {
    if (!hst || !cntct)
        return FALSE;
    for (contactsmember *m = hst->contacts; m; m = m->next)
        if (m->contact_ptr == cntct)
            return TRUE;
    return FALSE;
}

}  // extern "C"
