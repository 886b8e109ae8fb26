// Macro processor of the stand-in engine: macro contexts, expansion and $ARGn$ splitting.
#include "standin.h"
#include "standin_internal.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct MacroName {
    const char *name;
    int index;
};

const MacroName macro_names[] = {
    {"HOSTNAME", MACRO_HOSTNAME},
    {"HOSTALIAS", MACRO_HOSTALIAS},
    {"HOSTADDRESS", MACRO_HOSTADDRESS},
    {"SERVICEDESC", MACRO_SERVICEDESC},
    {"SERVICESTATE", MACRO_SERVICESTATE},
    {"SERVICESTATEID", MACRO_SERVICESTATEID},
    {"SERVICEATTEMPT", MACRO_SERVICEATTEMPT},
    {"LONGDATETIME", MACRO_LONGDATETIME},
    {"SHORTDATETIME", MACRO_SHORTDATETIME},
    {"DATE", MACRO_DATE},
    {"TIME", MACRO_TIME},
    {"TIMET", MACRO_TIMET},
    {"LASTHOSTCHECK", MACRO_LASTHOSTCHECK},
    {"LASTSERVICECHECK", MACRO_LASTSERVICECHECK},
    {"LASTHOSTSTATECHANGE", MACRO_LASTHOSTSTATECHANGE},
    {"LASTSERVICESTATECHANGE", MACRO_LASTSERVICESTATECHANGE},
    {"HOSTOUTPUT", MACRO_HOSTOUTPUT},
    {"SERVICEOUTPUT", MACRO_SERVICEOUTPUT},
    {"HOSTPERFDATA", MACRO_HOSTPERFDATA},
    {"SERVICEPERFDATA", MACRO_SERVICEPERFDATA},
    {"CONTACTNAME", MACRO_CONTACTNAME},
    {"CONTACTALIAS", MACRO_CONTACTALIAS},
    {"CONTACTEMAIL", MACRO_CONTACTEMAIL},
    {"CONTACTPAGER", MACRO_CONTACTPAGER},
    {"ADMINEMAIL", MACRO_ADMINEMAIL},
    {"ADMINPAGER", MACRO_ADMINPAGER},
    {"HOSTSTATE", MACRO_HOSTSTATE},
    {"HOSTSTATEID", MACRO_HOSTSTATEID},
    {"HOSTATTEMPT", MACRO_HOSTATTEMPT},
    {"NOTIFICATIONTYPE", MACRO_NOTIFICATIONTYPE},
    {"NOTIFICATIONNUMBER", MACRO_NOTIFICATIONNUMBER},
    {"HOSTEXECUTIONTIME", MACRO_HOSTEXECUTIONTIME},
    {"SERVICEEXECUTIONTIME", MACRO_SERVICEEXECUTIONTIME},
    {"HOSTLATENCY", MACRO_HOSTLATENCY},
    {"SERVICELATENCY", MACRO_SERVICELATENCY},
    {"HOSTDURATION", MACRO_HOSTDURATION},
    {"SERVICEDURATION", MACRO_SERVICEDURATION},
    {"HOSTDURATIONSEC", MACRO_HOSTDURATIONSEC},
    {"SERVICEDURATIONSEC", MACRO_SERVICEDURATIONSEC},
    {"HOSTDOWNTIME", MACRO_HOSTDOWNTIME},
    {"SERVICEDOWNTIME", MACRO_SERVICEDOWNTIME},
    {"HOSTSTATETYPE", MACRO_HOSTSTATETYPE},
    {"SERVICESTATETYPE", MACRO_SERVICESTATETYPE},
    {"HOSTPERCENTCHANGE", MACRO_HOSTPERCENTCHANGE},
    {"SERVICEPERCENTCHANGE", MACRO_SERVICEPERCENTCHANGE},
    {"HOSTGROUPNAME", MACRO_HOSTGROUPNAME},
    {"HOSTGROUPALIAS", MACRO_HOSTGROUPALIAS},
    {"SERVICEGROUPNAME", MACRO_SERVICEGROUPNAME},
    {"SERVICEGROUPALIAS", MACRO_SERVICEGROUPALIAS},
    {"HOSTACKAUTHOR", MACRO_HOSTACKAUTHOR},
    {"HOSTACKCOMMENT", MACRO_HOSTACKCOMMENT},
    {"SERVICEACKAUTHOR", MACRO_SERVICEACKAUTHOR},
    {"SERVICEACKCOMMENT", MACRO_SERVICEACKCOMMENT},
    {"LASTSERVICEOK", MACRO_LASTSERVICEOK},
    {"LASTSERVICEWARNING", MACRO_LASTSERVICEWARNING},
    {"LASTSERVICEUNKNOWN", MACRO_LASTSERVICEUNKNOWN},
    {"LASTSERVICECRITICAL", MACRO_LASTSERVICECRITICAL},
    {"LASTHOSTUP", MACRO_LASTHOSTUP},
    {"LASTHOSTDOWN", MACRO_LASTHOSTDOWN},
    {"LASTHOSTUNREACHABLE", MACRO_LASTHOSTUNREACHABLE},
    {"SERVICECHECKCOMMAND", MACRO_SERVICECHECKCOMMAND},
    {"HOSTCHECKCOMMAND", MACRO_HOSTCHECKCOMMAND},
    {"MAINCONFIGFILE", MACRO_MAINCONFIGFILE},
    {"STATUSDATAFILE", MACRO_STATUSDATAFILE},
    {"HOSTDISPLAYNAME", MACRO_HOSTDISPLAYNAME},
    {"SERVICEDISPLAYNAME", MACRO_SERVICEDISPLAYNAME},
    {"RETENTIONDATAFILE", MACRO_RETENTIONDATAFILE},
    {"OBJECTCACHEFILE", MACRO_OBJECTCACHEFILE},
    {"TEMPFILE", MACRO_TEMPFILE},
    {"LOGFILE", MACRO_LOGFILE},
    {"RESOURCEFILE", MACRO_RESOURCEFILE},
    {"COMMANDFILE", MACRO_COMMANDFILE},
    {"HOSTPERFDATAFILE", MACRO_HOSTPERFDATAFILE},
    {"SERVICEPERFDATAFILE", MACRO_SERVICEPERFDATAFILE},
    {"HOSTACTIONURL", MACRO_HOSTACTIONURL},
    {"HOSTNOTESURL", MACRO_HOSTNOTESURL},
    {"HOSTNOTES", MACRO_HOSTNOTES},
    {"SERVICEACTIONURL", MACRO_SERVICEACTIONURL},
    {"SERVICENOTESURL", MACRO_SERVICENOTESURL},
    {"SERVICENOTES", MACRO_SERVICENOTES},
    {"TOTALHOSTSUP", MACRO_TOTALHOSTSUP},
    {"TOTALHOSTSDOWN", MACRO_TOTALHOSTSDOWN},
    {"TOTALHOSTSUNREACHABLE", MACRO_TOTALHOSTSUNREACHABLE},
    {"TOTALHOSTSDOWNUNHANDLED", MACRO_TOTALHOSTSDOWNUNHANDLED},
    {"TOTALHOSTSUNREACHABLEUNHANDLED", MACRO_TOTALHOSTSUNREACHABLEUNHANDLED},
    {"TOTALHOSTPROBLEMS", MACRO_TOTALHOSTPROBLEMS},
    {"TOTALHOSTPROBLEMSUNHANDLED", MACRO_TOTALHOSTPROBLEMSUNHANDLED},
    {"TOTALSERVICESOK", MACRO_TOTALSERVICESOK},
    {"TOTALSERVICESWARNING", MACRO_TOTALSERVICESWARNING},
    {"TOTALSERVICESCRITICAL", MACRO_TOTALSERVICESCRITICAL},
    {"TOTALSERVICESUNKNOWN", MACRO_TOTALSERVICESUNKNOWN},
    {"TOTALSERVICESWARNINGUNHANDLED", MACRO_TOTALSERVICESWARNINGUNHANDLED},
    {"TOTALSERVICESCRITICALUNHANDLED", MACRO_TOTALSERVICESCRITICALUNHANDLED},
    {"TOTALSERVICESUNKNOWNUNHANDLED", MACRO_TOTALSERVICESUNKNOWNUNHANDLED},
    {"TOTALSERVICEPROBLEMS", MACRO_TOTALSERVICEPROBLEMS},
    {"TOTALSERVICEPROBLEMSUNHANDLED", MACRO_TOTALSERVICEPROBLEMSUNHANDLED},
    {"PROCESSSTARTTIME", MACRO_PROCESSSTARTTIME},
    {"HOSTCHECKTYPE", MACRO_HOSTCHECKTYPE},
    {"SERVICECHECKTYPE", MACRO_SERVICECHECKTYPE},
    {"LONGHOSTOUTPUT", MACRO_LONGHOSTOUTPUT},
    {"LONGSERVICEOUTPUT", MACRO_LONGSERVICEOUTPUT},
    {"TEMPPATH", MACRO_TEMPPATH},
    {"HOSTNOTIFICATIONNUMBER", MACRO_HOSTNOTIFICATIONNUMBER},
    {"SERVICENOTIFICATIONNUMBER", MACRO_SERVICENOTIFICATIONNUMBER},
    {"HOSTNOTIFICATIONID", MACRO_HOSTNOTIFICATIONID},
    {"SERVICENOTIFICATIONID", MACRO_SERVICENOTIFICATIONID},
    {"HOSTEVENTID", MACRO_HOSTEVENTID},
    {"LASTHOSTEVENTID", MACRO_LASTHOSTEVENTID},
    {"SERVICEEVENTID", MACRO_SERVICEEVENTID},
    {"LASTSERVICEEVENTID", MACRO_LASTSERVICEEVENTID},
    {"HOSTGROUPNAMES", MACRO_HOSTGROUPNAMES},
    {"SERVICEGROUPNAMES", MACRO_SERVICEGROUPNAMES},
    {"HOSTACKAUTHORNAME", MACRO_HOSTACKAUTHORNAME},
    {"HOSTACKAUTHORALIAS", MACRO_HOSTACKAUTHORALIAS},
    {"SERVICEACKAUTHORNAME", MACRO_SERVICEACKAUTHORNAME},
    {"SERVICEACKAUTHORALIAS", MACRO_SERVICEACKAUTHORALIAS},
    {"MAXHOSTATTEMPTS", MACRO_MAXHOSTATTEMPTS},
    {"MAXSERVICEATTEMPTS", MACRO_MAXSERVICEATTEMPTS},
    {"SERVICEISVOLATILE", MACRO_SERVICEISVOLATILE},
    {"TOTALHOSTSERVICES", MACRO_TOTALHOSTSERVICES},
    {"TOTALHOSTSERVICESOK", MACRO_TOTALHOSTSERVICESOK},
    {"TOTALHOSTSERVICESWARNING", MACRO_TOTALHOSTSERVICESWARNING},
    {"TOTALHOSTSERVICESUNKNOWN", MACRO_TOTALHOSTSERVICESUNKNOWN},
    {"TOTALHOSTSERVICESCRITICAL", MACRO_TOTALHOSTSERVICESCRITICAL},
    {"HOSTGROUPNOTES", MACRO_HOSTGROUPNOTES},
    {"HOSTGROUPNOTESURL", MACRO_HOSTGROUPNOTESURL},
    {"HOSTGROUPACTIONURL", MACRO_HOSTGROUPACTIONURL},
    {"SERVICEGROUPNOTES", MACRO_SERVICEGROUPNOTES},
    {"SERVICEGROUPNOTESURL", MACRO_SERVICEGROUPNOTESURL},
    {"SERVICEGROUPACTIONURL", MACRO_SERVICEGROUPACTIONURL},
    {"HOSTGROUPMEMBERS", MACRO_HOSTGROUPMEMBERS},
    {"SERVICEGROUPMEMBERS", MACRO_SERVICEGROUPMEMBERS},
    {"CONTACTGROUPNAME", MACRO_CONTACTGROUPNAME},
    {"CONTACTGROUPALIAS", MACRO_CONTACTGROUPALIAS},
    {"CONTACTGROUPMEMBERS", MACRO_CONTACTGROUPMEMBERS},
    {"CONTACTGROUPNAMES", MACRO_CONTACTGROUPNAMES},
    {"NOTIFICATIONRECIPIENTS", MACRO_NOTIFICATIONRECIPIENTS},
    {"NOTIFICATIONISESCALATED", MACRO_NOTIFICATIONISESCALATED},
    {"NOTIFICATIONAUTHOR", MACRO_NOTIFICATIONAUTHOR},
    {"NOTIFICATIONAUTHORNAME", MACRO_NOTIFICATIONAUTHORNAME},
    {"NOTIFICATIONAUTHORALIAS", MACRO_NOTIFICATIONAUTHORALIAS},
    {"NOTIFICATIONCOMMENT", MACRO_NOTIFICATIONCOMMENT},
    {"EVENTSTARTTIME", MACRO_EVENTSTARTTIME},
    {"HOSTPROBLEMID", MACRO_HOSTPROBLEMID},
    {"LASTHOSTPROBLEMID", MACRO_LASTHOSTPROBLEMID},
    {"SERVICEPROBLEMID", MACRO_SERVICEPROBLEMID},
    {"LASTSERVICEPROBLEMID", MACRO_LASTSERVICEPROBLEMID},
    {"ISVALIDTIME", MACRO_ISVALIDTIME},
    {"NEXTVALIDTIME", MACRO_NEXTVALIDTIME},
    {"LASTHOSTSTATE", MACRO_LASTHOSTSTATE},
    {"LASTHOSTSTATEID", MACRO_LASTHOSTSTATEID},
    {"LASTSERVICESTATE", MACRO_LASTSERVICESTATE},
    {"LASTSERVICESTATEID", MACRO_LASTSERVICESTATEID},
    {"HOSTVALUE", MACRO_HOSTVALUE},
    {"SERVICEVALUE", MACRO_SERVICEVALUE},
    {"PROBLEMVALUE", MACRO_PROBLEMVALUE},
};

enum Kind { KIND_OTHER, KIND_HOST, KIND_SERVICE, KIND_CONTACT, KIND_SUMMARY };

struct MacroTables {
    std::unordered_map<std::string, int> index;
    Kind kind[MACRO_X_COUNT];
};

bool starts_with(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

// Which clear function releases a macro: summary totals, the acknowledgement and
// notification values set per notification (volatile only), group macros (volatile only),
// and the macros of one host, service or contact.
Kind classify(const std::string &n) {
    if (starts_with(n, "TOTALHOSTSERVICES"))
        return KIND_HOST;
    if (starts_with(n, "TOTAL"))
        return KIND_SUMMARY;
    if (n.find("ACK") != std::string::npos || starts_with(n, "NOTIFICATION"))
        return KIND_OTHER;
    if (n == "HOSTGROUPNAMES" || n == "SERVICEGROUPNAMES" || n == "CONTACTGROUPNAMES")
        return n[0] == 'H' ? KIND_HOST : n[0] == 'S' ? KIND_SERVICE : KIND_CONTACT;
    if (n.find("GROUP") != std::string::npos)
        return KIND_OTHER;
    if (n.find("SERVICE") != std::string::npos && n.find("FILE") == std::string::npos)
        return KIND_SERVICE;
    if (n.find("HOST") != std::string::npos && n.find("FILE") == std::string::npos)
        return KIND_HOST;
    if (starts_with(n, "CONTACT"))
        return KIND_CONTACT;
    return KIND_OTHER;
}

const MacroTables &tables() {
    static const MacroTables t = [] {
        MacroTables m;
        for (auto &k : m.kind)
            k = KIND_OTHER;
        for (const MacroName &mn : macro_names) {
            m.index.emplace(mn.name, mn.index);
            m.kind[mn.index] = classify(mn.name);
        }
        return m;
    }();
    return t;
}

// The 16 macros whose values come from plugins, users or the configuration and are cleaned
// on request; every other macro is substituted as it is.
bool is_output_macro(int i) {
    switch (i) {
    case MACRO_HOSTOUTPUT:
    case MACRO_SERVICEOUTPUT:
    case MACRO_HOSTPERFDATA:
    case MACRO_SERVICEPERFDATA:
    case MACRO_HOSTACKAUTHOR:
    case MACRO_HOSTACKCOMMENT:
    case MACRO_SERVICEACKAUTHOR:
    case MACRO_SERVICEACKCOMMENT:
    case MACRO_LONGHOSTOUTPUT:
    case MACRO_LONGSERVICEOUTPUT:
    case MACRO_HOSTCHECKCOMMAND:
    case MACRO_SERVICECHECKCOMMAND:
    case MACRO_HOSTNOTES:
    case MACRO_SERVICENOTES:
    case MACRO_HOSTGROUPNOTES:
    case MACRO_SERVICEGROUPNOTES:
        return true;
    default:
        return false;
    }
}

std::string strip_illegal(const std::string &v) {
    std::string out;
    out.reserve(v.size());
    const char *illegal = illegal_output_chars ? illegal_output_chars : "";
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || (c != '\0' && std::strchr(illegal, c)))
            continue;
        out.push_back(c);
    }
    return out;
}

std::string text(const char *s) { return s ? s : ""; }
std::string num(long v) { return std::to_string(v); }
std::string unum(unsigned long v) { return std::to_string(v); }
// Ids that are texts (from API 7): empty before the first one.
[[maybe_unused]] std::string unum(const char *v) { return text(v); }
std::string fixed(double v, int decimals) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string duration(time_t since) {
    long secs = since > 0 ? static_cast<long>(time(nullptr) - since) : 0;
    if (secs < 0)
        secs = 0;
    char buf[64];
    snprintf(buf, sizeof buf, "%ldd %ldh %ldm %lds", secs / 86400, (secs % 86400) / 3600,
             (secs % 3600) / 60, secs % 60);
    return buf;
}

std::string date_text(const char *fmt) {
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

const char *host_state_name(int s) {
    switch (s) {
    case STATE_UP: return "UP";
    case STATE_DOWN: return "DOWN";
    case STATE_UNREACHABLE: return "UNREACHABLE";
    default: return "(unknown)";
    }
}

const char *service_state_name(int s) {
    switch (s) {
    case STATE_OK: return "OK";
    case STATE_WARNING: return "WARNING";
    case STATE_CRITICAL: return "CRITICAL";
    case STATE_UNKNOWN: return "UNKNOWN";
    default: return "(unknown)";
    }
}

std::string host_groups_of(const host *h) {
    std::string out;
    for (hostgroup *g = hostgroup_list; g; g = g->next)
        for (hostsmember *m = g->members; m; m = m->next)
            if (m->host_ptr == h) {
                out += (out.empty() ? "" : ",") + text(g->group_name);
                break;
            }
    return out;
}

std::string service_groups_of(const service *s) {
    std::string out;
    for (servicegroup *g = servicegroup_list; g; g = g->next)
        for (servicesmember *m = g->members; m; m = m->next)
            if (m->service_ptr == s) {
                out += (out.empty() ? "" : ",") + text(g->group_name);
                break;
            }
    return out;
}

long count_host_services(const host *h, int state) {
    long n = 0;
    for (servicesmember *m = h->services; m; m = m->next)
        if (m->service_ptr && (state < 0 || m->service_ptr->current_state == state))
            n++;
    return n;
}

template <typename T> bool unhandled(const T *o) {
    return !o->problem_has_been_acknowledged && o->scheduled_downtime_depth == 0;
}

std::optional<std::string> host_value(const nagios_macros *mac, int i) {
    const host *h = mac->host_ptr;
    if (!h)
        return std::nullopt;
    switch (i) {
    case MACRO_HOSTNAME: return text(h->name);
    case MACRO_HOSTDISPLAYNAME: return text(h->display_name);
    case MACRO_HOSTALIAS: return text(h->alias);
    case MACRO_HOSTADDRESS: return text(h->address);
    case MACRO_HOSTSTATE: return std::string(host_state_name(h->current_state));
    case MACRO_HOSTSTATEID: return num(h->current_state);
    case MACRO_LASTHOSTSTATE: return std::string(host_state_name(h->last_state));
    case MACRO_LASTHOSTSTATEID: return num(h->last_state);
    case MACRO_HOSTSTATETYPE: return std::string(h->state_type == HARD_STATE ? "HARD" : "SOFT");
    case MACRO_HOSTATTEMPT: return num(h->current_attempt);
    case MACRO_MAXHOSTATTEMPTS: return num(h->max_attempts);
    case MACRO_HOSTOUTPUT: return text(h->plugin_output);
    case MACRO_LONGHOSTOUTPUT: return text(h->long_plugin_output);
    case MACRO_HOSTPERFDATA: return text(h->perf_data);
    case MACRO_HOSTCHECKCOMMAND: return text(h->check_command);
    case MACRO_HOSTCHECKTYPE: return std::string(h->check_type == CHECK_TYPE_PASSIVE ? "PASSIVE" : "ACTIVE");
    case MACRO_HOSTLATENCY: return fixed(h->latency, 3);
    case MACRO_HOSTEXECUTIONTIME: return fixed(h->execution_time, 3);
    case MACRO_HOSTPERCENTCHANGE: return fixed(h->percent_state_change, 2);
    case MACRO_LASTHOSTCHECK: return num(static_cast<long>(h->last_check));
    case MACRO_LASTHOSTSTATECHANGE: return num(static_cast<long>(h->last_state_change));
    case MACRO_HOSTDURATIONSEC:
        return num(h->last_state_change ? static_cast<long>(time(nullptr) - h->last_state_change) : 0);
    case MACRO_HOSTDURATION: return duration(h->last_state_change);
    case MACRO_HOSTDOWNTIME: return num(h->scheduled_downtime_depth);
    case MACRO_HOSTNOTIFICATIONNUMBER: return num(h->current_notification_number);
    case MACRO_HOSTNOTIFICATIONID: return unum(h->current_notification_id);
    case MACRO_HOSTEVENTID: return unum(h->current_event_id);
    case MACRO_HOSTPROBLEMID: return unum(h->current_problem_id);
    case MACRO_HOSTACTIONURL: return text(h->action_url);
    case MACRO_HOSTNOTESURL: return text(h->notes_url);
    case MACRO_HOSTNOTES: return text(h->notes);
    case MACRO_HOSTGROUPNAMES: return host_groups_of(h);
    case MACRO_TOTALHOSTSERVICES: return num(count_host_services(h, -1));
    case MACRO_TOTALHOSTSERVICESOK: return num(count_host_services(h, STATE_OK));
    case MACRO_TOTALHOSTSERVICESWARNING: return num(count_host_services(h, STATE_WARNING));
    case MACRO_TOTALHOSTSERVICESCRITICAL: return num(count_host_services(h, STATE_CRITICAL));
    case MACRO_TOTALHOSTSERVICESUNKNOWN: return num(count_host_services(h, STATE_UNKNOWN));
    default: return std::string();
    }
}

std::optional<std::string> service_value(const nagios_macros *mac, int i) {
    const service *s = mac->service_ptr;
    if (!s)
        return std::nullopt;
    switch (i) {
    case MACRO_SERVICEDESC: return text(s->description);
    case MACRO_SERVICEDISPLAYNAME: return text(s->display_name);
    case MACRO_SERVICESTATE: return std::string(service_state_name(s->current_state));
    case MACRO_SERVICESTATEID: return num(s->current_state);
    case MACRO_LASTSERVICESTATE: return std::string(service_state_name(s->last_state));
    case MACRO_LASTSERVICESTATEID: return num(s->last_state);
    case MACRO_SERVICESTATETYPE: return std::string(s->state_type == HARD_STATE ? "HARD" : "SOFT");
    case MACRO_SERVICEATTEMPT: return num(s->current_attempt);
    case MACRO_MAXSERVICEATTEMPTS: return num(s->max_attempts);
    case MACRO_SERVICEOUTPUT: return text(s->plugin_output);
    case MACRO_LONGSERVICEOUTPUT: return text(s->long_plugin_output);
    case MACRO_SERVICEPERFDATA: return text(s->perf_data);
    case MACRO_SERVICECHECKCOMMAND: return text(s->check_command);
    case MACRO_SERVICECHECKTYPE: return std::string(s->check_type == CHECK_TYPE_PASSIVE ? "PASSIVE" : "ACTIVE");
    case MACRO_SERVICELATENCY: return fixed(s->latency, 3);
    case MACRO_SERVICEEXECUTIONTIME: return fixed(s->execution_time, 3);
    case MACRO_SERVICEPERCENTCHANGE: return fixed(s->percent_state_change, 2);
    case MACRO_LASTSERVICECHECK: return num(static_cast<long>(s->last_check));
    case MACRO_LASTSERVICESTATECHANGE: return num(static_cast<long>(s->last_state_change));
    case MACRO_SERVICEDURATIONSEC:
        return num(s->last_state_change ? static_cast<long>(time(nullptr) - s->last_state_change) : 0);
    case MACRO_SERVICEDURATION: return duration(s->last_state_change);
    case MACRO_SERVICEDOWNTIME: return num(s->scheduled_downtime_depth);
    case MACRO_SERVICENOTIFICATIONNUMBER: return num(s->current_notification_number);
    case MACRO_SERVICENOTIFICATIONID: return unum(s->current_notification_id);
    case MACRO_SERVICEEVENTID: return unum(s->current_event_id);
    case MACRO_SERVICEPROBLEMID: return unum(s->current_problem_id);
    case MACRO_SERVICEACTIONURL: return text(s->action_url);
    case MACRO_SERVICENOTESURL: return text(s->notes_url);
    case MACRO_SERVICENOTES: return text(s->notes);
    case MACRO_SERVICEISVOLATILE: return num(s->is_volatile);
    case MACRO_SERVICEGROUPNAMES: return service_groups_of(s);
    default: return std::string();
    }
}

std::optional<std::string> contact_value(const nagios_macros *mac, int i) {
    const contact *c = mac->contact_ptr;
    if (!c)
        return std::nullopt;
    switch (i) {
    case MACRO_CONTACTNAME: return text(c->name);
    case MACRO_CONTACTALIAS: return text(c->alias);
    case MACRO_CONTACTEMAIL: return text(c->email);
    case MACRO_CONTACTPAGER: return text(c->pager);
    default: return std::string();
    }
}

std::string summary_value(int i) {
    long n = 0;
    switch (i) {
    case MACRO_TOTALHOSTSUP:
    case MACRO_TOTALHOSTSDOWN:
    case MACRO_TOTALHOSTSUNREACHABLE: {
        int state = i == MACRO_TOTALHOSTSUP ? STATE_UP : i == MACRO_TOTALHOSTSDOWN ? STATE_DOWN : STATE_UNREACHABLE;
        for (host *h = host_list; h; h = h->next)
            n += h->current_state == state;
        return num(n);
    }
    case MACRO_TOTALHOSTSDOWNUNHANDLED:
    case MACRO_TOTALHOSTSUNREACHABLEUNHANDLED: {
        int state = i == MACRO_TOTALHOSTSDOWNUNHANDLED ? STATE_DOWN : STATE_UNREACHABLE;
        for (host *h = host_list; h; h = h->next)
            n += h->current_state == state && unhandled(h);
        return num(n);
    }
    case MACRO_TOTALHOSTPROBLEMS:
    case MACRO_TOTALHOSTPROBLEMSUNHANDLED:
        for (host *h = host_list; h; h = h->next)
            n += h->current_state != STATE_UP && (i == MACRO_TOTALHOSTPROBLEMS || unhandled(h));
        return num(n);
    case MACRO_TOTALSERVICESOK:
    case MACRO_TOTALSERVICESWARNING:
    case MACRO_TOTALSERVICESCRITICAL:
    case MACRO_TOTALSERVICESUNKNOWN: {
        int state = i - MACRO_TOTALSERVICESOK;
        for (service *s = service_list; s; s = s->next)
            n += s->current_state == state;
        return num(n);
    }
    case MACRO_TOTALSERVICESWARNINGUNHANDLED:
    case MACRO_TOTALSERVICESCRITICALUNHANDLED:
    case MACRO_TOTALSERVICESUNKNOWNUNHANDLED: {
        int state = i - MACRO_TOTALSERVICESWARNINGUNHANDLED + STATE_WARNING;
        for (service *s = service_list; s; s = s->next)
            n += s->current_state == state && unhandled(s);
        return num(n);
    }
    case MACRO_TOTALSERVICEPROBLEMS:
    case MACRO_TOTALSERVICEPROBLEMSUNHANDLED:
        for (service *s = service_list; s; s = s->next)
            n += s->current_state != STATE_OK && (i == MACRO_TOTALSERVICEPROBLEMS || unhandled(s));
        return num(n);
    default:
        return std::string();
    }
}

std::string other_value(const nagios_macros *mac, int i) {
    switch (i) {
    case MACRO_LONGDATETIME: return date_text("%a %b %d %H:%M:%S %Z %Y");
    case MACRO_SHORTDATETIME: return date_text("%Y-%m-%d %H:%M:%S");
    case MACRO_DATE: return date_text("%Y-%m-%d");
    case MACRO_TIME: return date_text("%H:%M:%S");
    case MACRO_TIMET: return num(static_cast<long>(time(nullptr)));
    case MACRO_PROCESSSTARTTIME: return num(static_cast<long>(program_start));
    case MACRO_HOSTGROUPNAME: return mac->hostgroup_ptr ? text(mac->hostgroup_ptr->group_name) : "";
    case MACRO_HOSTGROUPALIAS: return mac->hostgroup_ptr ? text(mac->hostgroup_ptr->alias) : "";
    case MACRO_SERVICEGROUPNAME: return mac->servicegroup_ptr ? text(mac->servicegroup_ptr->group_name) : "";
    case MACRO_SERVICEGROUPALIAS: return mac->servicegroup_ptr ? text(mac->servicegroup_ptr->alias) : "";
    default: return std::string();
    }
}

// Value of $name$ where name is a MACRO_* name; nullopt when the object it needs is absent.
std::optional<std::string> x_value(const nagios_macros *mac, int i) {
    if (mac->x[i])
        return std::string(mac->x[i]);
    switch (tables().kind[i]) {
    case KIND_HOST: return host_value(mac, i);
    case KIND_SERVICE: return service_value(mac, i);
    case KIND_CONTACT: return contact_value(mac, i);
    case KIND_SUMMARY: return summary_value(i);
    default: return other_value(mac, i);
    }
}

// A decimal number in [lo, hi] written after prefix in name ("ARG3"), or -1.
int numbered(const std::string &name, const char *prefix, int lo, int hi) {
    size_t plen = std::strlen(prefix);
    if (name.size() <= plen || name.compare(0, plen, prefix) != 0)
        return -1;
    std::string digits = name.substr(plen);
    if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int n = std::atoi(digits.c_str());
    return n >= lo && n <= hi ? n : -1;
}

std::optional<std::string> custom_value(const customvariablesmember *vars, const std::string &var) {
    for (const customvariablesmember *v = vars; v; v = v->next)
        if (v->variable_name && var == v->variable_name)
            return text(v->variable_value);
    return std::nullopt;
}

// Resolves one macro name (without dollars). nullopt: the macro is left as written.
std::optional<std::string> resolve(const nagios_macros *mac, const std::string &name, int options) {
    const MacroTables &t = tables();
    auto it = t.index.find(name);
    if (it != t.index.end()) {
        std::optional<std::string> v = x_value(mac, it->second);
        if (v && (options & STRIP_ILLEGAL_MACRO_CHARS) && is_output_macro(it->second))
            return strip_illegal(*v);
        // ESCAPE_MACRO_CHARS is accepted and, as in the engine, changes nothing.
        return v;
    }
    int n;
    if ((n = numbered(name, "ARG", 1, MAX_COMMAND_ARGUMENTS)) > 0)
        return text(mac->argv[n - 1]);
    if ((n = numbered(name, "USER", 1, MAX_USER_MACROS)) > 0)
        return text(macro_user[n - 1]);
    if ((n = numbered(name, "CONTACTADDRESS", 0, MAX_CONTACT_ADDRESSES - 1)) >= 0) {
        if (mac->contactaddress[n])
            return text(mac->contactaddress[n]);
        if (!mac->contact_ptr)
            return std::nullopt;
        return text(mac->contact_ptr->address[n]);
    }
    if (starts_with(name, "_SERVICE"))
        return mac->service_ptr ? custom_value(mac->service_ptr->custom_variables, name.substr(8)) : std::nullopt;
    if (starts_with(name, "_HOST"))
        return mac->host_ptr ? custom_value(mac->host_ptr->custom_variables, name.substr(5)) : std::nullopt;
    if (starts_with(name, "_CONTACT"))
        return mac->contact_ptr ? custom_value(mac->contact_ptr->custom_variables, name.substr(8)) : std::nullopt;
    return std::nullopt;
}

void free_kind(nagios_macros *mac, Kind k) {
    const MacroTables &t = tables();
    for (int i = 0; i < MACRO_X_COUNT; i++)
        if (t.kind[i] == k) {
            free(mac->x[i]);
            mac->x[i] = nullptr;
        }
}

}  // namespace

extern "C" {

int grab_host_macros_r(nagios_macros *mac, host *hst) {
    if (!mac || !hst)
        return ERROR;
    mac->host_ptr = hst;
    mac->custom_host_vars = hst->custom_variables;
    return OK;
}

int grab_service_macros_r(nagios_macros *mac, service *svc) {
    if (!mac || !svc)
        return ERROR;
    mac->service_ptr = svc;
    mac->custom_service_vars = svc->custom_variables;
    return OK;
}

int grab_contact_macros_r(nagios_macros *mac, contact *cntct) {
    if (!mac || !cntct)
        return ERROR;
    mac->contact_ptr = cntct;
    mac->custom_contact_vars = cntct->custom_variables;
    return OK;
}

int process_macros_r(nagios_macros *mac, char *input, char **output, int options) {
    if (!output)
        return ERROR;
    *output = nullptr;
    if (!input) {
        *output = strdup("");
        return ERROR;
    }
    static nagios_macros empty{};
    const nagios_macros *m = mac ? mac : &empty;
    try {
        std::string in(input), out;
        out.reserve(in.size());
        size_t i = 0;
        while (i < in.size()) {
            size_t dollar = in.find('$', i);
            if (dollar == std::string::npos) {
                out.append(in, i, std::string::npos);
                break;
            }
            out.append(in, i, dollar - i);
            size_t close = in.find('$', dollar + 1);
            if (close == std::string::npos) {
                out.append(in, dollar, std::string::npos);
                break;
            }
            std::string name = in.substr(dollar + 1, close - dollar - 1);
            if (name.empty()) {
                out.push_back('$');
            } else if (std::optional<std::string> v = resolve(m, name, options)) {
                out += *v;
            } else {
                out += '$' + name + '$';
            }
            i = close + 1;
        }
        *output = strdup(out.c_str());
    } catch (...) {
        return ERROR;
    }
    return *output ? OK : ERROR;
}

int get_raw_command_line_r(nagios_macros *mac, command *cmd_ptr, char *cmd, char **full_command,
                           int macro_options) {
    if (!full_command)
        return ERROR;
    *full_command = nullptr;
    if (!mac || !cmd_ptr || !cmd_ptr->command_line)
        return ERROR;
    clear_argv_macros_r(mac);
    if (cmd) {
        // Skip the command name, then split at every '!' that is not written as "\!".
        const char *p = std::strchr(cmd, '!');
        for (int x = 0; p && x < MAX_COMMAND_ARGUMENTS; x++) {
            std::string arg;
            for (p++; *p && *p != '!'; p++) {
                if (*p == '\\' && p[1] == '!')
                    p++;
                arg.push_back(*p);
            }
            // Arguments may themselves carry macros, expanded now with the same options.
            std::vector<char> buf(arg.begin(), arg.end());
            buf.push_back('\0');
            process_macros_r(mac, buf.data(), &mac->argv[x], macro_options);
            if (!*p)
                break;
        }
    }
    *full_command = strdup(cmd_ptr->command_line);
    return *full_command ? OK : ERROR;
}

int clear_argv_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    for (char *&a : mac->argv) {
        free(a);
        a = nullptr;
    }
    return OK;
}

int clear_host_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    free_kind(mac, KIND_HOST);
    mac->host_ptr = nullptr;
    mac->custom_host_vars = nullptr;
    return OK;
}

int clear_service_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    free_kind(mac, KIND_SERVICE);
    mac->service_ptr = nullptr;
    mac->custom_service_vars = nullptr;
    return OK;
}

int clear_contact_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    free_kind(mac, KIND_CONTACT);
    for (char *&a : mac->contactaddress) {
        free(a);
        a = nullptr;
    }
    mac->contact_ptr = nullptr;
    mac->custom_contact_vars = nullptr;
    return OK;
}

int clear_summary_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    free_kind(mac, KIND_SUMMARY);
    return OK;
}

int clear_volatile_macros_r(nagios_macros *mac) {
    if (!mac)
        return OK;
    for (char *&x : mac->x) {
        free(x);
        x = nullptr;
    }
    clear_argv_macros_r(mac);
    for (char *&a : mac->contactaddress) {
        free(a);
        a = nullptr;
    }
    free(mac->ondemand);
    mac->ondemand = nullptr;
    mac->host_ptr = nullptr;
    mac->hostgroup_ptr = nullptr;
    mac->service_ptr = nullptr;
    mac->servicegroup_ptr = nullptr;
    mac->contact_ptr = nullptr;
    mac->contactgroup_ptr = nullptr;
    mac->custom_host_vars = nullptr;
    mac->custom_service_vars = nullptr;
    mac->custom_contact_vars = nullptr;
    return OK;
}

}  // extern "C"
