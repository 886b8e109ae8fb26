// Database ids of engine objects: the vtcfg id lists and the id custom macros of hosts and services.
#include "vt_identity.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vt_db.h"
#include "vt_entry_guard.h"
#include "vt_log.h"
#include "vt_util.h"

extern "C" {
struct id_node *servicegroup_root = nullptr;
struct id_node *hostgroup_root = nullptr;
struct id_node *command_root = nullptr;
struct contact_node *contact_root = nullptr;
char *vt_authorized_for_all_hosts = nullptr;
char *vt_authorized_for_all_services = nullptr;
}

namespace {

// Links node at the end of the list starting at head.
template <typename Node> void append(Node *&head, Node *node) {
    Node **p = &head;
    while (*p)
        p = &(*p)->next;
    *p = node;
}

// Runs one of the loader queries in schema vtcfg; NULL when no result set came back.
vt::Result query(const char *sql) {
    int status = 0;
    return vt::Result(db_query_exec(sql, "vtcfg", &status, 1));
}

// A loader that ran out of memory fails like one whose query failed: the module then
// refuses to load rather than run with part of a list.
int out_of_memory(const char *where) {
    vt::log_stopped_exception(where, "out of memory");
    return -2;
}

int load_id_list(const char *sql, id_node *&root) {
    vt::Result res = query(sql);
    if (!res)
        return -2;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        if (!row[0] || !row[1])
            continue;
        auto *n = static_cast<id_node *>(calloc(1, sizeof(id_node)));
        char *name = strdup(row[1]);
        if (!n || !name) {
            free(n);
            free(name);
            return out_of_memory("vtdb id list");
        }
        n->id = atoi(row[0]);
        n->name = name;
        append(root, n);
    }
    return 0;
}

int load_first_column(const char *sql, char *&target) {
    target = nullptr;
    vt::Result res = query(sql);
    if (!res)
        return -2;
    MYSQL_ROW row = mysql_fetch_row(res.get());
    if (row && row[0] && !(target = strdup(row[0])))
        return out_of_memory("vtdb authorized-for-all list");
    return 0;
}

// A macro context owned by the caller, released however the lookup ends.
struct MacroContext {
    nagios_macros mac;
    MacroContext() { memset(&mac, 0, sizeof mac); }
    ~MacroContext() { clear_volatile_macros_r(&mac); }
    MacroContext(const MacroContext &) = delete;
    MacroContext &operator=(const MacroContext &) = delete;
};

int find_in(const id_node *root, const char *name, const char *what) {
    if (!root)
        return -2;
    for (const id_node *n = root; n; n = n->next)
        if (strcmp(n->name, name) == 0)
            return n->id;
    vt_logf("Unable to find id for %s %s", what, name);
    return -2;
}

void free_id_list(id_node *&root) {
    while (root) {
        id_node *n = root->next;
        free(root->name);
        free(root);
        root = n;
    }
}

// An id is written unquoted into statements and into table names, so only a non-empty
// run of decimal digits counts. The engine hands back the macro itself ("$_HOSTHOST_ID$")
// for an object without the variable.
bool is_id_text(const char *s) { return s && *s && vt::all_digits(s); }

// Expands macro with the context mac; returns a heap copy of a valid id, or NULL.
char *expand_id(nagios_macros *mac, const char *macro) {
    std::vector<char> input(macro, macro + strlen(macro) + 1);
    char *out = nullptr;
    process_macros_r(mac, input.data(), &out, STRIP_ILLEGAL_MACRO_CHARS | ESCAPE_MACRO_CHARS);
    char *id = nullptr;
    if (out && is_id_text(out))
        id = strdup(out);
    free(out);
    return id;
}

}  // namespace

extern "C" {

int vtdb_populate_servicegroup_list(void) {
    return vt::guard_entry("vtdb_populate_servicegroup_list", -2, [] {
        return load_id_list("SELECT servicegroup_id, servicegroup_name FROM nagios_servicegroups;",
                            servicegroup_root);
    });
}

int vtdb_populate_hostgroup_list(void) {
    return vt::guard_entry("vtdb_populate_hostgroup_list", -2, [] {
        return load_id_list("SELECT hostgroup_id, hostgroup_name FROM nagios_hostgroups;", hostgroup_root);
    });
}

int vtdb_populate_command_list(void) {
    return vt::guard_entry("vtdb_populate_command_list", -2, [] {
        return load_id_list("SELECT command_id,command_name FROM nagios_commands;", command_root);
    });
}

int vtdb_populate_contact_list(void) {
    return vt::guard_entry("vtdb_populate_contact_list", -2, [] {
        vt::Result res = query("SELECT contact_id,contact_name,alias FROM nagios_contacts;");
        if (!res)
            return -2;
        while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
            if (!row[0] || !row[1])
                continue;
            if (!row[2])
                vt_write_to_log("error - contact has null alias");
            auto *n = static_cast<contact_node *>(calloc(1, sizeof(contact_node)));
            if (n) {
                n->name = strdup(row[1]);
                n->alias = row[2] ? strdup(row[2]) : nullptr;
            }
            if (!n || !n->name || (row[2] && !n->alias)) {
                if (n) {
                    free(n->name);
                    free(n->alias);
                }
                free(n);
                return out_of_memory("vtdb_populate_contact_list");
            }
            n->id = atoi(row[0]);
            append(contact_root, n);
        }
        return 0;
    });
}

int vt_get_authorized_for_all_hosts(void) {
    return vt::guard_entry("vt_get_authorized_for_all_hosts", -2, [] {
        return load_first_column("select authorized_for_all_hosts from nagios_cgi;", vt_authorized_for_all_hosts);
    });
}

int vt_get_authorized_for_all_services(void) {
    return vt::guard_entry("vt_get_authorized_for_all_services", -2, [] {
        return load_first_column("select authorized_for_all_services from nagios_cgi;",
                                 vt_authorized_for_all_services);
    });
}

int vtdb_find_contact_id(const char *name) {
    return vt::guard_entry("vtdb_find_contact_id", -2, [=] {
        if (!contact_root || !name)
            return -2;
        for (const contact_node *n = contact_root; n; n = n->next)
            if (strcmp(n->name, name) == 0)
                return n->id;
        vt_logf("Unable to find id for contact %s", name);
        return -2;
    });
}

int vtdb_find_contact_id_by_alias(const char *alias) {
    return vt::guard_entry("vtdb_find_contact_id_by_alias", -2, [=] {
        if (!alias)
            return 0;
        if (strcmp(alias, "(Vantor Process)") == 0 || strcmp(alias, "(Naemon Process)") == 0)
            return 0;
        if (!contact_root)
            return -2;
        for (const contact_node *n = contact_root; n; n = n->next)
            if (n->alias && strcmp(n->alias, alias) == 0)
                return n->id;
        vt_logf("Unable to find id for contact alias %s", alias);
        return -2;
    });
}

int vtdb_find_command_id(const char *name) {
    return vt::guard_entry("vtdb_find_command_id", -2, [=] { return name ? find_in(command_root, name, "command") : -2; });
}

int vtdb_find_servicegroup_id(const char *name) {
    return vt::guard_entry("vtdb_find_servicegroup_id", -2,
                           [=] { return name ? find_in(servicegroup_root, name, "servicegroup") : 0; });
}

int vtdb_find_hostgroup_id(const char *name) {
    return vt::guard_entry("vtdb_find_hostgroup_id", -2,
                           [=] { return name ? find_in(hostgroup_root, name, "hostgroup") : 0; });
}

int vt_get_host_custom_macro(const char *macro, host *hst, char **result) {
    if (!result)
        return -2;
    *result = nullptr;
    if (!hst)
        return -2;
    return vt::guard_entry("vt_get_host_custom_macro", -2, [=] {
        // A context of its own, so that the engine's global macro state is left alone.
        MacroContext ctx;
        grab_host_macros_r(&ctx.mac, hst);
        *result = expand_id(&ctx.mac, macro ? macro : "$_HOSTHOST_ID$");
        return *result ? 0 : -2;
    });
}

int vt_get_service_id_by_macro(service *svc, char **host_id, char **service_id) {
    if (host_id)
        *host_id = nullptr;
    if (service_id)
        *service_id = nullptr;
    if (!svc || !host_id || !service_id)
        return -2;
    return vt::guard_entry("vt_get_service_id_by_macro", -2, [=] {
        MacroContext ctx;
        if (svc->host_ptr)
            grab_host_macros_r(&ctx.mac, svc->host_ptr);
        grab_service_macros_r(&ctx.mac, svc);
        *host_id = expand_id(&ctx.mac, "$_SERVICEHOST_ID$");
        *service_id = expand_id(&ctx.mac, "$_SERVICESERVICE_ID$");
        return *host_id && *service_id ? 0 : -2;
    });
}

contact *vt_find_contact(const char *name) {
    if (!name)
        return nullptr;
    if (contact *c = find_contact(name))
        return c;
    for (contact *c = contact_list; c; c = c->next)
        if (c->alias && strcmp(c->alias, name) == 0)
            return c;
    return nullptr;
}

void vt_identity_reset(void) {
    free_id_list(servicegroup_root);
    free_id_list(hostgroup_root);
    free_id_list(command_root);
    while (contact_root) {
        contact_node *n = contact_root->next;
        free(contact_root->name);
        free(contact_root->alias);
        free(contact_root);
        contact_root = n;
    }
    free(vt_authorized_for_all_hosts);
    vt_authorized_for_all_hosts = nullptr;
    free(vt_authorized_for_all_services);
    vt_authorized_for_all_services = nullptr;
}

}  // extern "C"
