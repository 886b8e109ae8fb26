// Notification command lines expanded with the engine's macro functions; contact authorization tests.
#include "vtdb_notification_command.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vt_entry_guard.h"
#include "vt_identity.h"
#include "vt_util.h"

namespace {

const char *notification_type_word(int reason_type, int current_state) {
    switch (reason_type) {
    case NOTIFICATION_ACKNOWLEDGEMENT: return "ACKNOWLEDGEMENT";
    case NOTIFICATION_FLAPPINGSTART: return "FLAPPINGSTART";
    case NOTIFICATION_FLAPPINGSTOP: return "FLAPPINGSTOP";
    case NOTIFICATION_FLAPPINGDISABLED: return "FLAPPINGDISABLED";
    case NOTIFICATION_DOWNTIMESTART: return "DOWNTIMESTART";
    case NOTIFICATION_DOWNTIMEEND: return "DOWNTIMEEND";
    case NOTIFICATION_DOWNTIMECANCELLED: return "DOWNTIMECANCELLED";
    case NOTIFICATION_CUSTOM: return "CUSTOM";
    default: return current_state != 0 ? "PROBLEM" : "RECOVERY";
    }
}

// The macro values a composition sets itself. The engine's clear functions do not know
// them, so they are freed here, and each slot is set back to null before those functions
// run, whatever they free.
class OwnMacros {
public:
    explicit OwnMacros(nagios_macros &mac) : mac_(mac) {}
    ~OwnMacros() {
        for (int i : set_) {
            free(mac_.x[i]);
            mac_.x[i] = nullptr;
        }
    }
    OwnMacros(const OwnMacros &) = delete;
    OwnMacros &operator=(const OwnMacros &) = delete;
    // Sets macro i to a copy of value; an absent value leaves it unset.
    void set(int i, const char *value) {
        if (!value)
            return;
        char *copy = strdup(value);
        if (!copy)
            throw std::bad_alloc();
        free(mac_.x[i]);
        mac_.x[i] = copy;
        set_.push_back(i);
    }
    void set(int i, const std::string &value) { set(i, value.c_str()); }
    // Sets macro i to a comment or author text, made safe for the command line.
    void set_text(int i, const char *value) {
        if (value)
            set(i, vt::comment_for_command_line(value));
    }

private:
    nagios_macros &mac_;
    std::vector<int> set_;
};

// Clears the context when the composition ends, whichever way.
struct ClearContext {
    nagios_macros &mac;
    bool service;
    ~ClearContext() {
        clear_summary_macros_r(&mac);
        clear_contact_macros_r(&mac);
        clear_argv_macros_r(&mac);
        clear_host_macros_r(&mac);
        if (service)
            clear_service_macros_r(&mac);
    }
};

// The first notification command of the list that the event names, or null. The engine
// splits an entry "name!args" at its first "!" into the event's command name and arguments,
// so an entry matches when it equals the name exactly, or the name and arguments joined
// again: a command that takes arguments is found, and only the very entry the event names.
commandsmember *matching_command(commandsmember *list, const char *name, const char *args) {
    if (!name)
        return nullptr;
    const std::string joined = args ? std::string(name) + "!" + args : std::string();
    for (commandsmember *m = list; m; m = m->next)
        if (m->command && (std::strcmp(m->command, name) == 0 || (args && joined == m->command)))
            return m;
    return nullptr;
}

// Expands text macro by macro, as the engine splits it (every "$" opens or closes a macro
// name, "$$" is a dollar), with the engine's own expansion of each. The engine cleans no
// custom-variable macro ($_HOSTx$, $_SERVICEx$, $_CONTACTx$, also with arguments), yet
// whoever may change a custom variable at run time sets them: their values are cleaned
// like comments. Each value is inserted as it stands, never expanded again. False when the
// engine refuses an expansion.
bool expand_cleaning_custom(nagios_macros &mac, const char *text, int options, std::string &out) {
    const std::string in = text ? text : "";
    size_t i = 0;
    while (i < in.size()) {
        const size_t open = in.find('$', i);
        if (open == std::string::npos) {
            out.append(in, i, std::string::npos);
            break;
        }
        out.append(in, i, open - i);
        const size_t close = in.find('$', open + 1);
        if (close == std::string::npos) {
            out.append(in, open, std::string::npos);
            break;
        }
        std::string token = in.substr(open, close - open + 1);
        char *value = nullptr;
        if (process_macros_r(&mac, &token[0], &value, options) != OK || !value) {
            free(value);
            return false;
        }
        vt::CString owner(value);
        out += token.size() > 2 && token[1] == '_' ? vt::comment_for_command_line(value) : std::string(value);
        i = close + 1;
    }
    return true;
}

// The arguments of command_text ("name!arg1!arg2", "\!" standing for a "!" inside an
// argument), split as the engine splits them for $ARGn$, expanded again with custom-variable
// macros cleaned: the engine's own expansion of them left those values as they were.
bool reexpand_arguments(nagios_macros &mac, const char *command_text, int options) {
    const char *p = command_text ? std::strchr(command_text, '!') : nullptr;
    for (int x = 0; p && x < MAX_COMMAND_ARGUMENTS; x++) {
        std::string arg;
        for (p++; *p && *p != '!'; p++) {
            if (*p == '\\' && p[1] == '!')
                p++;
            arg.push_back(*p);
        }
        std::string expanded;
        if (!expand_cleaning_custom(mac, arg.c_str(), options, expanded))
            return false;
        char *copy = strdup(expanded.c_str());
        if (!copy)
            throw std::bad_alloc();
        free(mac.argv[x]);
        mac.argv[x] = copy;
        if (!*p)
            break;
    }
    return true;
}

struct Target {
    host *hst;
    service *svc;  // null for a host notification
};

// The macro indices that differ between host and service notifications.
struct MacroSet {
    int ack_author, ack_comment, ack_author_name, ack_author_alias, number, id;
};
const MacroSet kServiceMacros = {MACRO_SERVICEACKAUTHOR,     MACRO_SERVICEACKCOMMENT,     MACRO_SERVICEACKAUTHORNAME,
                                 MACRO_SERVICEACKAUTHORALIAS, MACRO_SERVICENOTIFICATIONNUMBER, MACRO_SERVICENOTIFICATIONID};
const MacroSet kHostMacros = {MACRO_HOSTACKAUTHOR,     MACRO_HOSTACKCOMMENT,     MACRO_HOSTACKAUTHORNAME,
                              MACRO_HOSTACKAUTHORALIAS, MACRO_HOSTNOTIFICATIONNUMBER, MACRO_HOSTNOTIFICATIONID};

int compose(const nebstruct_contact_notification_method_data *ds, const Target &t, char **cmd) {
    contact *cntct = static_cast<contact *>(ds->contact_ptr);
    if (!t.hst)
        return -2;
    // An event without a contact is a run of the engine's global notification handler:
    // its command, with the object's and the notification's macros and no contact's.
    command *command_ptr = nullptr;
    char *command_text = nullptr;
    if (cntct) {
        commandsmember *member = matching_command(
            t.svc ? cntct->service_notification_commands : cntct->host_notification_commands, ds->command_name,
            ds->command_args);
        if (!member)
            return -2;
        command_ptr = member->command_ptr;
        command_text = member->command;
    } else {
        command_ptr = vt::global_notification_handler(t.svc != nullptr, &command_text);
        if (!command_ptr || !command_text)
            return -2;
    }

    nagios_macros mac;
    std::memset(&mac, 0, sizeof mac);
    ClearContext clear{mac, t.svc != nullptr};
    OwnMacros own(mac);
    grab_host_macros_r(&mac, t.hst);
    if (t.svc)
        grab_service_macros_r(&mac, t.svc);

    const contact *author = ds->ack_author ? vt_find_contact(ds->ack_author) : nullptr;
    own.set_text(MACRO_NOTIFICATIONAUTHOR, ds->ack_author);
    if (author) {
        own.set_text(MACRO_NOTIFICATIONAUTHORNAME, author->name);
        own.set_text(MACRO_NOTIFICATIONAUTHORALIAS, author->alias);
    }
    own.set_text(MACRO_NOTIFICATIONCOMMENT, ds->ack_data);
    const MacroSet &m = t.svc ? kServiceMacros : kHostMacros;
    if (ds->reason_type == NOTIFICATION_ACKNOWLEDGEMENT || ds->reason_type == NOTIFICATION_CUSTOM) {
        own.set_text(m.ack_author, ds->ack_author);
        own.set_text(m.ack_comment, ds->ack_data);
        if (author) {
            own.set_text(m.ack_author_name, author->name);
            own.set_text(m.ack_author_alias, author->alias);
        }
    }
    const int state = t.svc ? t.svc->current_state : t.hst->current_state;
    const int number = t.svc ? t.svc->current_notification_number : t.hst->current_notification_number;
    own.set(MACRO_NOTIFICATIONTYPE, notification_type_word(ds->reason_type, state));
    own.set(m.number, vt::format("%d", number));
    own.set(MACRO_NOTIFICATIONNUMBER, vt::format("%d", number));
    own.set(m.id, vt::id_text(t.svc ? t.svc->current_notification_id : t.hst->current_notification_id));

    if (cntct)
        grab_contact_macros_r(&mac, cntct);
    if (!t.svc)
        clear_summary_macros_r(&mac);

    const int options = STRIP_ILLEGAL_MACRO_CHARS | ESCAPE_MACRO_CHARS;
    char *raw = nullptr;
    get_raw_command_line_r(&mac, command_ptr, command_text, &raw, options);
    vt::CString raw_owner(raw);
    if (!raw || !reexpand_arguments(mac, command_text, options))
        return -2;
    std::string expanded;
    if (!expand_cleaning_custom(mac, raw, options, expanded))
        return -2;
    *cmd = strdup(expanded.c_str());
    if (!*cmd)
        throw std::bad_alloc();
    return 0;
}

// Whether name is one of the comma-separated entries of list, compared exactly.
int listed(const char *list, const char *name) {
    if (!list || !*list || !name)
        return 0;
    const size_t len = std::strlen(name);
    for (const char *p = list;;) {
        const char *comma = std::strchr(p, ',');
        const size_t n = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (n == len && std::strncmp(p, name, n) == 0)
            return 1;
        if (!comma)
            return 0;
        p = comma + 1;
    }
}

}  // namespace

int vtdb_keep_comment_shell_chars = 0;

std::string vt::comment_for_command_line(const char *text) {
    std::string out = without_controls(text);
    if (vtdb_keep_comment_shell_chars)
        return out;
    /* Anyone who may acknowledge or comment writes these texts, and the engine leaves them
     * out of its own cleaning: the characters it removes from plugin output are removed
     * here too, or the shell's usual specials where it removes none. */
    const char *illegal = illegal_output_chars && *illegal_output_chars ? illegal_output_chars : "`~$&|'\"<>";
    out.erase(std::remove_if(out.begin(), out.end(), [illegal](char c) { return std::strchr(illegal, c) != nullptr; }),
              out.end());
    return out;
}

std::string vt::without_controls(const char *text) {
    std::string out = text ? text : "";
    for (char &c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127)
            c = ' ';
    }
    return out;
}

extern "C" {

int vt_get_service_notification_command(nebstruct_contact_notification_method_data *ds, char **cmd) {
    return vt::guard_entry("vt_get_service_notification_command", -2, [&] {
        if (!ds || !cmd || !ds->object_ptr)
            return -2;
        service *svc = static_cast<service *>(ds->object_ptr);
        return compose(ds, Target{svc->host_ptr, svc}, cmd);
    });
}

int vt_get_host_notification_command(nebstruct_contact_notification_method_data *ds, char **cmd) {
    return vt::guard_entry("vt_get_host_notification_command", -2, [&] {
        if (!ds || !cmd || !ds->object_ptr)
            return -2;
        return compose(ds, Target{static_cast<host *>(ds->object_ptr), nullptr}, cmd);
    });
}

int vt_is_authorized_for_all_hosts(const char *contact_name) {
    return listed(vt_authorized_for_all_hosts, contact_name);
}

int vt_is_authorized_for_all_services(const char *contact_name) {
    return listed(vt_authorized_for_all_services, contact_name);
}

int vt_is_contact_for_servicegroup(servicegroup *group, contact *cntct) {
    if (!group || !cntct || !group->members)
        return 0;
    for (servicesmember *m = group->members; m; m = m->next)
        if (m->service_ptr && !is_contact_for_service(m->service_ptr, cntct))
            return 0;
    return 1;
}

}  // extern "C"
