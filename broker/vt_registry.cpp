// Ids the module keeps itself: the host and service registry of vtcfg, and the engine's
// contacts, commands and groups added to the vtcfg tables of the id lists.
#include "vt_registry.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vt_db.h"
#include "vt_engine.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_util.h"

namespace {

const char *const CONFIG_SCHEMA = "vtcfg";
// Rows recorded by one statement: a statement stays far below the server's packet limit
// however many objects are new.
constexpr size_t kStatementBytes = 1 << 20;

std::vector<int> new_host_ids;

// A warning about the object configuration: one line in the engine's log and the module's.
void warn(const std::string &line) {
    nm_log(NSLOG_CONFIG_WARNING, "%s", line.c_str());
    vt_write_to_log(line.c_str());
}

std::string quoted(const std::string &text) { return "'" + vt_escape_sql_text(text.c_str()) + "'"; }

// The text of the first custom variable of that name, as the engine's macros find it; NULL
// when the object has none.
const char *custom_value(const customvariablesmember *vars, const char *name, bool *present) {
    for (; vars; vars = vars->next)
        if (vars->variable_name && std::strcmp(vars->variable_name, name) == 0) {
            *present = true;
            return vars->variable_value;
        }
    *present = false;
    return nullptr;
}

// The id a custom variable gives: a decimal number the registry's INT columns hold, else -1.
long long id_value(const char *text) {
    if (!text || !*text || !vt::all_digits(text) || std::strlen(text) > 10)
        return -1;
    const long long v = std::strtoll(text, nullptr, 10);
    return v <= INT_MAX ? v : -1;
}

// A service's registry id packs its host's id and its own: service ids are unique per host.
long long service_key_id(long long host_id, long long service_id) { return host_id << 32 | service_id; }
int host_part(long long id) { return static_cast<int>(id >> 32); }
int service_part(long long id) { return static_cast<int>(id & 0xffffffffLL); }

// One registry table in memory: what it held at load, with what this load changes, and the
// statements that bring the table to the same state.
class Registry {
public:
    explicit Registry(bool services) : services_(services) {}

    // Reads the whole table. False with the reason when it cannot be read.
    bool read(std::string *problem) {
        by_name_.clear();
        by_id_.clear();
        const char *sql = services_ ? "SELECT host_id, service_id, host_name, service_description FROM service_registry;"
                                    : "SELECT host_id, host_name FROM host_registry;";
        int status = 0;
        vt::Result res(db_query_exec(sql, CONFIG_SCHEMA, &status, 1));
        if (!res) {
            *problem = vt::format("cannot read vtcfg.%s: %s", table(), vt_db_last_error().c_str());
            return false;
        }
        while (MYSQL_ROW row = mysql_fetch_row(res.get()))
            take_row(row);
        return true;
    }

    // An object whose configuration gives it this id: the configuration wins, and the
    // registry follows it.
    void claim(const std::string &key, long long id) {
        auto c = claimed_.find(id);
        if (c != claimed_.end()) {
            if (c->second != key)
                warn(vt::format("vtdb: %s %s and %s are both configured with %s: their rows would mix in the "
                                "database; give one of them another id, or remove it to have one assigned",
                                what(), label(c->second).c_str(), label(key).c_str(), id_label(id).c_str()));
            return;
        }
        claimed_.emplace(id, key);
        note_service_id(id);
        auto n = by_name_.find(key);
        if (n != by_name_.end() && n->second == id)
            return;
        if (n != by_name_.end()) {
            fixes_.push_back(retire(n->second));
            by_id_[n->second].clear();
            by_name_.erase(n);
        }
        auto i = by_id_.find(id);
        if (i == by_id_.end()) {
            inserts_.push_back({id, key});
            by_id_[id] = key;
            by_name_[key] = id;
            return;
        }
        if (!i->second.empty()) {
            warn(vt::format("vtdb: %s %s is configured with %s, which was registered for %s: %s keeps it and %s "
                            "gets a new id; if that is not a rename, give %s an id of its own",
                            kind(), label(key).c_str(), id_label(id).c_str(), label(i->second).c_str(),
                            label(key).c_str(), label(i->second).c_str(), label(key).c_str()));
            by_name_.erase(i->second);
        }
        fixes_.push_back(rekey(id, key));
        i->second = key;
        by_name_[key] = id;
        recorded_.push_back(id);
    }

    // An object without a configured id: the one registered for its name, else a new one.
    // For a service, host_id is the id of its host, which its own id is unique under.
    void want(const std::string &key, int host_id = 0) {
        auto n = by_name_.find(key);
        if (n != by_name_.end()) {
            if (!services_ || host_part(n->second) == host_id)
                return;
            // Its host has another id now: the service is new under it.
            fixes_.push_back(retire(n->second));
            by_id_[n->second].clear();
            by_name_.erase(n);
        }
        if (!services_) {
            inserts_.push_back({-1, key});
            return;
        }
        const long long id = service_key_id(host_id, ++highest_service_[host_id]);
        inserts_.push_back({id, key});
        by_id_[id] = key;
        by_name_[key] = id;
    }

    // Runs what this load changed. False with the reason when the table cannot be written.
    bool write(std::string *problem) {
        for (const std::string &sql : fixes_)
            if (!run(sql, problem))
                return false;
        fixes_.clear();
        std::string values;
        bool missing = false;
        for (size_t i = 0; i < inserts_.size(); ++i) {
            if (!values.empty())
                values += ',';
            values += tuple(inserts_[i].first, inserts_[i].second);
            if (values.size() >= kStatementBytes || i + 1 == inserts_.size()) {
                if (!insert(values, problem))
                    return false;
                values.clear();
            }
        }
        for (const auto &ins : inserts_)
            if (by_name_.find(ins.second) == by_name_.end())
                missing = true;
        inserts_.clear();
        // Rows another engine recorded meanwhile were skipped: take the ids it gave them.
        if (missing) {
            std::vector<long long> recorded;
            recorded.swap(recorded_);
            if (!read(problem))
                return false;
            recorded_.swap(recorded);
        }
        return true;
    }

    // The id registered for the name; -1 when none.
    long long id_of(const std::string &key) const {
        auto n = by_name_.find(key);
        return n == by_name_.end() ? -1 : n->second;
    }
    // Ids this load recorded (new rows and ids moved to another name).
    const std::vector<long long> &recorded() const { return recorded_; }

private:
    const char *table() const { return services_ ? "service_registry" : "host_registry"; }
    const char *what() const { return services_ ? "services" : "hosts"; }
    const char *kind() const { return services_ ? "service" : "host"; }

    static std::string label(const std::string &key) {
        const size_t sep = key.find('\0');
        if (sep == std::string::npos)
            return "'" + key + "'";
        return "'" + key.substr(0, sep) + ";" + key.substr(sep + 1) + "'";
    }
    std::string id_label(long long id) const {
        return services_ ? vt::format("_SERVICE_ID %d (on host id %d)", service_part(id), host_part(id))
                         : vt::format("_HOST_ID %lld", id);
    }

    void take_row(MYSQL_ROW row) {
        if (services_) {
            if (!row[0] || !row[1])
                return;
            const long long id = service_key_id(std::atoll(row[0]), std::atoll(row[1]));
            note_service_id(id);
            std::string key = row[2] && row[3] ? std::string(row[2]) + '\0' + row[3] : std::string();
            if (!key.empty())
                by_name_[key] = id;
            by_id_[id] = std::move(key);
        } else {
            if (!row[0])
                return;
            const long long id = std::atoll(row[0]);
            std::string key = row[1] ? row[1] : "";
            if (!key.empty())
                by_name_[key] = id;
            by_id_[id] = std::move(key);
        }
    }

    void note_service_id(long long id) {
        if (!services_)
            return;
        int &top = highest_service_[host_part(id)];
        if (service_part(id) > top)
            top = service_part(id);
    }

    std::string where(long long id) const {
        return services_ ? vt::format("host_id=%d AND service_id=%d", host_part(id), service_part(id))
                         : vt::format("host_id=%lld", id);
    }
    // The row keeps its id, so that it is never given again, and the name it had.
    std::string retire(long long id) const {
        return services_ ? "UPDATE service_registry SET former_name=CONCAT(host_name,';',service_description), "
                           "host_name=NULL, service_description=NULL WHERE " + where(id) + ";"
                         : "UPDATE host_registry SET former_name=host_name, host_name=NULL WHERE " + where(id) + ";";
    }
    std::string rekey(long long id, const std::string &key) const {
        if (!services_)
            return "UPDATE host_registry SET former_name=IFNULL(host_name, former_name), host_name=" + quoted(key) +
                   " WHERE " + where(id) + ";";
        const size_t sep = key.find('\0');
        return "UPDATE service_registry SET former_name=IF(host_name IS NULL, former_name, "
               "CONCAT(host_name,';',service_description)), host_name=" + quoted(key.substr(0, sep)) +
               ", service_description=" + quoted(key.substr(sep + 1)) + " WHERE " + where(id) + ";";
    }
    std::string tuple(long long id, const std::string &key) const {
        if (!services_)
            return "(" + (id < 0 ? std::string("NULL") : std::to_string(id)) + "," + quoted(key) + ")";
        const size_t sep = key.find('\0');
        return vt::format("(%d,%d,", host_part(id), service_part(id)) + quoted(key.substr(0, sep)) + "," +
               quoted(key.substr(sep + 1)) + ")";
    }

    bool run(const std::string &sql, std::string *problem) {
        int status = 0;
        mysql_free_result(db_query_exec(sql.c_str(), CONFIG_SCHEMA, &status, 1));
        if (status == 0)
            return true;
        *problem = vt::format("cannot write vtcfg.%s: %s", table(), vt_db_last_error().c_str());
        return false;
    }

    // One multi-row INSERT; the rows it recorded come back with their ids. A row whose name
    // or id another engine recorded meanwhile is skipped, not failed.
    bool insert(const std::string &values, std::string *problem) {
        const std::string sql =
            services_ ? "INSERT IGNORE INTO service_registry (host_id, service_id, host_name, service_description) "
                        "VALUES " + values + " RETURNING host_id, service_id, host_name, service_description;"
                      : "INSERT IGNORE INTO host_registry (host_id, host_name) VALUES " + values +
                            " RETURNING host_id, host_name;";
        int status = 0;
        vt::Result res(db_query_exec(sql.c_str(), CONFIG_SCHEMA, &status, 1));
        if (status != 0) {
            *problem = vt::format("cannot write vtcfg.%s: %s", table(), vt_db_last_error().c_str());
            return false;
        }
        if (res)
            while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
                take_row(row);
                if (row[0])
                    recorded_.push_back(services_ && row[1] ? service_key_id(std::atoll(row[0]), std::atoll(row[1]))
                                                            : std::atoll(row[0]));
            }
        return true;
    }

    bool services_;
    std::unordered_map<std::string, long long> by_name_;
    std::unordered_map<long long, std::string> by_id_;  // "" for a row that has no name now
    std::unordered_map<long long, std::string> claimed_;
    std::unordered_map<int, int> highest_service_;
    std::vector<std::string> fixes_;
    std::vector<std::pair<long long, std::string>> inserts_;  // id (-1: the table's next), name
    std::vector<long long> recorded_;
};

// What the configuration gives an object for one id variable.
struct Configured {
    long long id = -1;  // the usable id, or -1
    bool present = false;
};

Configured configured(const customvariablesmember *vars, const char *name) {
    Configured c;
    c.id = id_value(custom_value(vars, name, &c.present));
    return c;
}

void warn_unusable(const char *kind, const std::string &object, const char *variable, const customvariablesmember *vars) {
    bool present = false;
    const char *text = custom_value(vars, variable, &present);
    warn(vt::format("vtdb: %s '%s' has _%s '%s', which is not an id (a number up to 2147483647): it gets one "
                    "assigned; correct the variable or remove it",
                    kind, object.c_str(), variable, text ? text : ""));
}

// Attaches an id as the custom variable the module's id macros read. Added at the head of
// the object's list, it shadows a configured variable that held no usable id.
void attach(customvariablesmember *(*add)(void *, char *, char *), void *object, const char *name, long long id) {
    std::string var(name), value = std::to_string(id);
    add(object, &var[0], &value[0]);
}

customvariablesmember *add_to_host(void *h, char *n, char *v) {
    return add_custom_variable_to_host(static_cast<host *>(h), n, v);
}
customvariablesmember *add_to_service(void *s, char *n, char *v) {
    return add_custom_variable_to_service(static_cast<service *>(s), n, v);
}

std::string service_key(const service *s) {
    return std::string(s->host_name ? s->host_name : "") + '\0' + (s->description ? s->description : "");
}

// Runs an INSERT of the names a list lacks, returning their new ids; each returned row goes
// to add. False with the reason when the table cannot be written.
template <typename Add>
bool insert_names(const char *table, const std::string &columns, const std::vector<std::string> &tuples,
                  const std::string &returning, std::string *problem, Add add) {
    std::string values;
    for (size_t i = 0; i < tuples.size(); ++i) {
        if (!values.empty())
            values += ',';
        values += tuples[i];
        if (values.size() < kStatementBytes && i + 1 < tuples.size())
            continue;
        const std::string sql =
            vt::format("INSERT INTO %s (%s) VALUES ", table, columns.c_str()) + values + " RETURNING " + returning + ";";
        int status = 0;
        vt::Result res(db_query_exec(sql.c_str(), CONFIG_SCHEMA, &status, 1));
        if (status != 0) {
            *problem = vt::format("cannot write vtcfg.%s: %s", table, vt_db_last_error().c_str());
            return false;
        }
        if (res)
            while (MYSQL_ROW row = mysql_fetch_row(res.get()))
                if (row[0] && row[1])
                    add(row);
        values.clear();
    }
    return true;
}

template <typename Node> void append_node(Node *&head, Node *node) {
    Node **p = &head;
    while (*p)
        p = &(*p)->next;
    *p = node;
}

// Adds the names of an engine list that the id list lacks to its table and to the list.
template <typename Object>
bool add_missing(Object *engine_list, char *Object::*name_member, id_node *&root, const char *table,
                 const char *id_column, const char *name_column, std::string *problem) {
    std::unordered_set<std::string> known;
    for (const id_node *n = root; n; n = n->next)
        known.insert(n->name);
    std::vector<std::string> tuples;
    for (Object *o = engine_list; o; o = o->next) {
        const char *name = o->*name_member;
        if (name && known.insert(name).second)
            tuples.push_back("(" + quoted(name) + ")");
    }
    return insert_names(table, name_column, tuples, vt::format("%s, %s", id_column, name_column), problem,
                        [&](MYSQL_ROW row) {
                            auto *n = static_cast<id_node *>(calloc(1, sizeof(id_node)));
                            if (!n)
                                throw std::bad_alloc();
                            n->name = strdup(row[1]);
                            if (!n->name) {
                                free(n);
                                throw std::bad_alloc();
                            }
                            n->id = std::atoi(row[0]);
                            append_node(root, n);
                        });
}

}  // namespace

bool vt_registry_assign_ids(std::string *problem) {
    new_host_ids.clear();
    Registry hosts(false), services(true);
    if (!hosts.read(problem) || !services.read(problem))
        return false;

    // Configured ids first: they take their names and ids before any id is handed out.
    for (host *h = host_list; h; h = h->next)
        if (h->name) {
            const Configured c = configured(h->custom_variables, "HOST_ID");
            if (c.id >= 0)
                hosts.claim(h->name, c.id);
            else if (c.present)
                warn_unusable("host", h->name, "HOST_ID", h->custom_variables);
        }
    for (host *h = host_list; h; h = h->next)
        if (h->name && configured(h->custom_variables, "HOST_ID").id < 0)
            hosts.want(h->name);
    if (!hosts.write(problem))
        return false;
    for (long long id : hosts.recorded())
        new_host_ids.push_back(static_cast<int>(id));

    // The id of a host as its objects will carry it.
    auto host_id_of = [&](const host *h) -> long long {
        if (!h || !h->name)
            return -1;
        const Configured c = configured(h->custom_variables, "HOST_ID");
        return c.id >= 0 ? c.id : hosts.id_of(h->name);
    };
    // The host id a service carries: its own variable, else its host's.
    auto service_host_id = [&](const service *s) -> long long {
        const Configured c = configured(s->custom_variables, "HOST_ID");
        return c.id >= 0 ? c.id : host_id_of(s->host_ptr ? s->host_ptr : find_host(s->host_name));
    };

    for (service *s = service_list; s; s = s->next) {
        const long long hid = service_host_id(s);
        const Configured c = configured(s->custom_variables, "SERVICE_ID");
        if (hid >= 0 && c.id >= 0)
            services.claim(service_key(s), service_key_id(hid, c.id));
        else if (c.present && c.id < 0)
            warn_unusable("service", std::string(s->host_name ? s->host_name : "") + ";" +
                                         (s->description ? s->description : ""),
                          "SERVICE_ID", s->custom_variables);
    }
    for (service *s = service_list; s; s = s->next) {
        const long long hid = service_host_id(s);
        if (hid >= 0 && configured(s->custom_variables, "SERVICE_ID").id < 0)
            services.want(service_key(s), static_cast<int>(hid));
    }
    if (!services.write(problem))
        return false;

    // Only now, with every table written, do the objects get their ids.
    for (host *h = host_list; h; h = h->next)
        if (h->name && configured(h->custom_variables, "HOST_ID").id < 0) {
            const long long id = hosts.id_of(h->name);
            if (id >= 0)
                attach(add_to_host, h, "HOST_ID", id);
        }
    for (service *s = service_list; s; s = s->next) {
        const long long hid = service_host_id(s);
        if (hid < 0)
            continue;
        if (configured(s->custom_variables, "SERVICE_ID").id < 0) {
            const long long id = services.id_of(service_key(s));
            if (id >= 0 && host_part(id) == hid)
                attach(add_to_service, s, "SERVICE_ID", service_part(id));
        }
        if (configured(s->custom_variables, "HOST_ID").id < 0)
            attach(add_to_service, s, "HOST_ID", hid);
    }
    return true;
}

bool vt_registry_add_engine_names(std::string *problem) {
    std::unordered_set<std::string> known;
    for (const contact_node *n = contact_root; n; n = n->next)
        known.insert(n->name);
    std::vector<std::string> tuples;
    for (contact *c = contact_list; c; c = c->next)
        if (c->name && known.insert(c->name).second)
            tuples.push_back("(" + quoted(c->name) + "," + (c->alias ? quoted(c->alias) : std::string("NULL")) + ")");
    const bool contacts_ok =
        insert_names("nagios_contacts", "contact_name, alias", tuples, "contact_id, contact_name, alias", problem,
                     [](MYSQL_ROW row) {
                         auto *n = static_cast<contact_node *>(calloc(1, sizeof(contact_node)));
                         if (!n)
                             throw std::bad_alloc();
                         n->name = strdup(row[1]);
                         n->alias = row[2] ? strdup(row[2]) : nullptr;
                         n->id = std::atoi(row[0]);
                         if (!n->name || (row[2] && !n->alias)) {
                             free(n->name);
                             free(n->alias);
                             free(n);
                             throw std::bad_alloc();
                         }
                         append_node(contact_root, n);
                     });
    return contacts_ok &&
           add_missing(command_list, &command::name, command_root, "nagios_commands", "command_id", "command_name",
                       problem) &&
           add_missing(hostgroup_list, &hostgroup::group_name, hostgroup_root, "nagios_hostgroups", "hostgroup_id",
                       "hostgroup_name", problem) &&
           add_missing(servicegroup_list, &servicegroup::group_name, servicegroup_root, "nagios_servicegroups",
                       "servicegroup_id", "servicegroup_name", problem);
}

const std::vector<int> &vt_registry_new_host_ids() { return new_host_ids; }

void vt_registry_forget_new_hosts() { std::vector<int>().swap(new_host_ids); }
