// Commands of the simulated engine's pipe: comments, acknowledgements and scheduled downtimes.
#include "sim.h"

#include "standin.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace sim {
namespace {

// Comment and downtime ids continue across runs, as the engine keeps them in its
// retention data: rows a previous run left in the database keep their ids.
unsigned long next_comment_id = static_cast<unsigned long>(time(nullptr)) * 1000;
unsigned long next_downtime_id = static_cast<unsigned long>(time(nullptr)) * 1000;

struct Downtime {
    scheduled_downtime *entry;  // in the stand-in's table, which find_downtime searches
    std::string author, comment;
    unsigned long comment_id;
    bool stopped;
};
std::vector<Downtime> downtimes;

// The fields of "NAME;a;b;...": count - 1 fields split at ';', the last one the rest of
// the line (a comment may hold ';'). False when there are fewer.
bool split_args(const std::string &args, size_t count, std::vector<std::string> &out) {
    out.clear();
    size_t pos = 0;
    while (out.size() + 1 < count) {
        size_t semi = args.find(';', pos);
        if (semi == std::string::npos)
            return false;
        out.push_back(args.substr(pos, semi - pos));
        pos = semi + 1;
    }
    out.push_back(args.substr(pos));
    return true;
}

char *text(const std::string &s) { return const_cast<char *>(s.c_str()); }

unsigned long raise_comment(int type, int comment_type, const std::string &host_name, const std::string &svc,
                            const std::string &author, const std::string &comment, int persistent, int entry_type,
                            unsigned long comment_id) {
    nebstruct_comment_data cd{};
    cd.type = type;
    cd.timestamp = standin::now();
    cd.comment_type = comment_type;
    cd.host_name = text(host_name);
    cd.service_description = comment_type == SERVICE_COMMENT ? text(svc) : nullptr;
    cd.entry_time = cd.timestamp.tv_sec;
    cd.author_name = text(author);
    cd.comment_data = text(comment);
    cd.persistent = persistent;
    cd.source = COMMENTSOURCE_EXTERNAL;
    cd.entry_type = entry_type;
    cd.comment_id = comment_id;
    standin::raise(NEBCALLBACK_COMMENT_DATA, &cd);
    return comment_id;
}

void raise_downtime(int type, const Downtime &d) {
    const scheduled_downtime *e = d.entry;
    nebstruct_downtime_data dd{};
    dd.type = type;
    dd.timestamp = standin::now();
    dd.downtime_type = e->type;
    dd.host_name = e->host_name;
    dd.service_description = e->service_description;
    dd.entry_time = e->entry_time;
    dd.author_name = text(d.author);
    dd.comment_data = text(d.comment);
    dd.start_time = e->start_time;
    dd.end_time = e->end_time;
    dd.fixed = e->fixed;
    dd.duration = e->duration;
    dd.triggered_by = e->triggered_by;
    dd.downtime_id = e->downtime_id;
    standin::raise(NEBCALLBACK_DOWNTIME_DATA, &dd);
}

void change_depth(const Downtime &d, int delta) {
    const scheduled_downtime *e = d.entry;
    if (e->service_description) {
        if (service *s = find_service(e->host_name, e->service_description))
            s->scheduled_downtime_depth += delta;
    } else if (host *h = find_host(e->host_name)) {
        h->scheduled_downtime_depth += delta;
    }
}

void start_downtime(Downtime &d) {
    d.entry->is_in_effect = 1;
    change_depth(d, 1);
    raise_downtime(NEBTYPE_DOWNTIME_START, d);
}

void stop_downtime(Downtime &d) {
    if (d.entry->is_in_effect) {
        change_depth(d, -1);
        raise_downtime(NEBTYPE_DOWNTIME_STOP, d);
    }
    d.entry->is_in_effect = 0;
    d.stopped = true;
    const int comment_type = d.entry->service_description ? SERVICE_COMMENT : HOST_COMMENT;
    raise_comment(NEBTYPE_COMMENT_DELETE, comment_type, d.entry->host_name,
                  d.entry->service_description ? d.entry->service_description : "", d.author, d.comment, 0,
                  DOWNTIME_COMMENT, d.comment_id);
}

// SCHEDULE_HOST_DOWNTIME;host;start;end;fixed;trigger;duration;author;comment and the
// service form with the description after the host.
bool schedule_downtime(const std::string &args, bool for_service) {
    std::vector<std::string> f;
    if (!split_args(args, for_service ? 9 : 8, f))
        return false;
    const size_t o = for_service ? 1 : 0;
    if (!find_host(f[0].c_str()) || (for_service && !find_service(f[0].c_str(), f[1].c_str())))
        return false;
    scheduled_downtime *e = standin::add_downtime(for_service ? SERVICE_DOWNTIME : HOST_DOWNTIME, ++next_downtime_id,
                                                  f[0], for_service ? f[1] : "", 0);
    e->start_time = std::strtol(f[1 + o].c_str(), nullptr, 10);
    e->end_time = std::strtol(f[2 + o].c_str(), nullptr, 10);
    e->fixed = std::atoi(f[3 + o].c_str());
    e->triggered_by = std::strtoul(f[4 + o].c_str(), nullptr, 10);
    e->duration = std::strtoul(f[5 + o].c_str(), nullptr, 10);
    Downtime d{e, f[6 + o], f[7 + o], ++next_comment_id, false};
    raise_downtime(NEBTYPE_DOWNTIME_ADD, d);
    raise_comment(NEBTYPE_COMMENT_ADD, for_service ? SERVICE_COMMENT : HOST_COMMENT, f[0], for_service ? f[1] : "",
                  d.author, d.comment, 1, DOWNTIME_COMMENT, d.comment_id);
    // The engine starts a fixed downtime from a timed event of its loop, never inside the
    // command that scheduled it; the downtimes timer does the same here.
    downtimes.push_back(d);
    return true;
}

// ACKNOWLEDGE_HOST_PROBLEM;host;sticky;notify;persistent;author;comment and the service
// form. The simulator acknowledges whatever state the object is in.
bool acknowledge(const std::string &args, bool for_service) {
    std::vector<std::string> f;
    if (!split_args(args, for_service ? 7 : 6, f))
        return false;
    const size_t o = for_service ? 1 : 0;
    host *h = find_host(f[0].c_str());
    service *s = for_service ? find_service(f[0].c_str(), f[1].c_str()) : nullptr;
    if (!h || (for_service && !s))
        return false;
    const int sticky = std::atoi(f[1 + o].c_str());
    const int persistent = std::atoi(f[3 + o].c_str());
    const std::string &author = f[4 + o], &comment = f[5 + o];
    (for_service ? s->problem_has_been_acknowledged : h->problem_has_been_acknowledged) = 1;
    (for_service ? s->acknowledgement_type : h->acknowledgement_type) =
        sticky ? ACKNOWLEDGEMENT_STICKY : ACKNOWLEDGEMENT_NORMAL;

    nebstruct_acknowledgement_data ad{};
    ad.type = NEBTYPE_ACKNOWLEDGEMENT_ADD;
    ad.timestamp = standin::now();
    ad.acknowledgement_type = for_service ? 1 : 0;
    ad.host_name = text(f[0]);
    ad.service_description = for_service ? text(f[1]) : nullptr;
    ad.state = for_service ? s->current_state : h->current_state;
    ad.author_name = text(author);
    ad.comment_data = text(comment);
    ad.is_sticky = sticky;
    ad.persistent_comment = persistent;
    ad.notify_contacts = std::atoi(f[2 + o].c_str());
    ad.object_ptr = for_service ? static_cast<void *>(s) : static_cast<void *>(h);
    standin::raise(NEBCALLBACK_ACKNOWLEDGEMENT_DATA, &ad);
    raise_comment(NEBTYPE_COMMENT_ADD, for_service ? SERVICE_COMMENT : HOST_COMMENT, f[0], for_service ? f[1] : "",
                  author, comment, persistent, ACKNOWLEDGEMENT_COMMENT, ++next_comment_id);
    return true;
}

// ADD_HOST_COMMENT;host;persistent;author;comment and the service form.
bool add_comment(const std::string &args, bool for_service) {
    std::vector<std::string> f;
    if (!split_args(args, for_service ? 5 : 4, f))
        return false;
    const size_t o = for_service ? 1 : 0;
    if (!find_host(f[0].c_str()) || (for_service && !find_service(f[0].c_str(), f[1].c_str())))
        return false;
    raise_comment(NEBTYPE_COMMENT_ADD, for_service ? SERVICE_COMMENT : HOST_COMMENT, f[0], for_service ? f[1] : "",
                  f[2 + o], f[3 + o], std::atoi(f[1 + o].c_str()), USER_COMMENT, ++next_comment_id);
    return true;
}

bool delete_comment(const std::string &args, bool for_service) {
    raise_comment(NEBTYPE_COMMENT_DELETE, for_service ? SERVICE_COMMENT : HOST_COMMENT, "", "", "", "", 0,
                  USER_COMMENT, std::strtoul(args.c_str(), nullptr, 10));
    return true;
}

bool delete_downtime(const std::string &args) {
    const unsigned long id = std::strtoul(args.c_str(), nullptr, 10);
    for (Downtime &d : downtimes)
        if (!d.stopped && d.entry->downtime_id == id) {
            stop_downtime(d);
            raise_downtime(NEBTYPE_DOWNTIME_DELETE, d);
            return true;
        }
    return false;
}

}  // namespace

bool handle_command(const std::string &line) {
    // "[time] NAME;args"
    const size_t close = line.find(']');
    if (line.empty() || line[0] != '[' || close == std::string::npos)
        return false;
    const size_t start = line.find_first_not_of(' ', close + 1);
    if (start == std::string::npos)
        return false;
    const std::string rest = line.substr(start);
    const size_t semi = rest.find(';');
    const std::string name = rest.substr(0, semi);
    const std::string args = semi == std::string::npos ? "" : rest.substr(semi + 1);
    if (name == "ACKNOWLEDGE_HOST_PROBLEM" || name == "ACKNOWLEDGE_SVC_PROBLEM")
        return acknowledge(args, name == "ACKNOWLEDGE_SVC_PROBLEM");
    if (name == "SCHEDULE_HOST_DOWNTIME" || name == "SCHEDULE_SVC_DOWNTIME")
        return schedule_downtime(args, name == "SCHEDULE_SVC_DOWNTIME");
    if (name == "ADD_HOST_COMMENT" || name == "ADD_SVC_COMMENT")
        return add_comment(args, name == "ADD_SVC_COMMENT");
    if (name == "DEL_HOST_COMMENT" || name == "DEL_SVC_COMMENT")
        return delete_comment(args, name == "DEL_SVC_COMMENT");
    if (name == "DEL_HOST_DOWNTIME" || name == "DEL_SVC_DOWNTIME")
        return delete_downtime(args);
    return true;  // other commands reach the module as external-command events only
}

void downtime_tick() {
    const time_t now = time(nullptr);
    for (Downtime &d : downtimes) {
        if (d.stopped)
            continue;
        if (!d.entry->is_in_effect && d.entry->fixed && d.entry->start_time <= now && now < d.entry->end_time)
            start_downtime(d);
        else if (d.entry->is_in_effect && d.entry->end_time <= now)
            stop_downtime(d);
    }
}

}  // namespace sim
