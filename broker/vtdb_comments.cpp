// Comments, scheduled downtimes and acknowledgements: their rows in vantor4 and their history rows.
#include "vtdb_comments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "vt_db.h"
#include "vt_display_status.h"
#include "vt_entry_guard.h"
#include "vt_gearman_client.h"
#include "vt_identity.h"
#include "vt_log.h"
#include "vt_upsert.h"
#include "vt_util.h"
#include "vtdb_state_history.h"
#include "vtdb_status.h"

extern "C" {
char *comment_data = nullptr;
}

namespace {

const char *const STATUS_QUEUE = "vtdb_vtstatus";
const char *const SCHEMA = "vantor4";
const char *const NEVER_EXPIRES = "0000-00-00 00:00:00";

void submit(const std::string &statement) { vt_send_gearman_job(STATUS_QUEUE, statement.c_str()); }

const char *or_null(const vt::CString &text) { return text ? text.get() : "NULL"; }

// The quoted, escaped literal of text; none for a NULL text. Throws when out of memory.
vt::CString escaped(const char *text) {
    char *result = nullptr;
    vt_escape_string_for_mysql(text, &result);
    if (text && !result)
        throw std::bad_alloc();
    return vt::CString(result);
}

// The date literal of t; none for 0.
vt::CString longdate(time_t t) {
    char *result = nullptr;
    timestamp_to_longdate(&result, t);
    return vt::CString(result);
}

// Whether comment is "YYYY-MM-DD HH:MM:SS#|#..." (the marker right after 19 characters).
bool in_ack_form(const char *comment) {
    return comment && strlen(comment) > 20 && comment[19] == '#' && comment[20] == '|' && comment[21] == '#';
}

// The condition that lets an add of comment_id at event time order in: no deletion of it
// marked at that time or later (a later add of a reused id still goes in).
std::string not_deleted_since(const char *kind, unsigned long comment_id, unsigned long long order) {
    return vt::format(
        "WHERE NOT EXISTS (SELECT 1 FROM %s.%s_comment_deleted WHERE comment_id=%lu AND event_usec>=%llu)", SCHEMA,
        kind, comment_id, order);
}

// Holds the module-wide comment_data for one callback: empty at the start, freed at the end.
struct CommentDataScope {
    CommentDataScope() { comment_data = nullptr; }
    ~CommentDataScope() {
        free(comment_data);
        comment_data = nullptr;
    }
    CommentDataScope(const CommentDataScope &) = delete;
    CommentDataScope &operator=(const CommentDataScope &) = delete;
    void set(vt::CString text) {
        free(comment_data);
        comment_data = text.release();
    }
};

// The engine object an event is about, with its database ids.
struct Target {
    host *hst = nullptr;
    service *svc = nullptr;
    vt::CString host_id;
    vt::CString service_id;
    int kind() const { return svc ? 1 : 0; }
    void *object() const { return svc ? static_cast<void *>(svc) : static_cast<void *>(hst); }
    void set_display_status(int value) {
        if (svc)
            vt_set_display_status(svc, value);
        else
            vt_set_display_status(hst, value);
    }
    int display_status() const { return svc ? vt_display_status(svc) : vt_display_status(hst); }
    void set_acknowledged() { (svc ? svc->problem_has_been_acknowledged : hst->problem_has_been_acknowledged) = 1; }
};

// Finds the host, or the service when is_service, and its ids. -2 when the engine has no
// such object (silently: the event is not about anything this module mirrors) or the ids
// are missing (logged with the callback's name).
int find_target(const char *callback, const char *host_name, const char *description, bool is_service, Target &t) {
    if (!host_name)
        return -2;
    if (!is_service) {
        t.hst = find_host(host_name);
        if (!t.hst)
            return -2;
        char *id = nullptr;
        vt_get_host_custom_macro("$_HOSTHOST_ID$", t.hst, &id);
        t.host_id.reset(id);
        if (!t.host_id) {
            vt_logf("%s: could not find host_id for %s", callback, host_name);
            return -2;
        }
        return 0;
    }
    if (!description)
        return -2;
    t.svc = find_service(host_name, description);
    if (!t.svc)
        return -2;
    char *hid = nullptr, *sid = nullptr;
    vt_get_service_id_by_macro(t.svc, &hid, &sid);
    t.host_id.reset(hid);
    t.service_id.reset(sid);
    if (!t.host_id || !t.service_id) {
        vt_logf("%s: could not find host_id or service_id for %s - %s", callback,
                t.svc->host_name ? t.svc->host_name : "", t.svc->description ? t.svc->description : "");
        return -2;
    }
    return 0;
}

// Appends who wrote a downtime or acknowledgement: the engine contact's name and alias
// when there is one by that name or alias, else the author as given. A text that is still
// empty gets the author part alone.
void append_author(std::string &text, bool &have_text, const char *author) {
    if (!author)
        return;
    std::string who;
    if (const contact *c = vt_find_contact(author))
        who = vt::format("Author: %s / %s", c->name ? c->name : "", c->alias ? c->alias : "");
    else
        who = vt::format("Author: %s", author);
    text = have_text ? vt::format("%s - %s", text.c_str(), who.c_str()) : who;
    have_text = true;
}

// The history row of a downtime start or an acknowledgement.
void log_history(const Target &t, const struct timeval &ts) {
    vtdb_log_state(t.kind(), t.object(), nullptr, comment_data, static_cast<unsigned long long>(ts.tv_sec),
                   static_cast<unsigned long long>(ts.tv_usec));
}

int handle_comment(const nebstruct_comment_data *cd) {
    if (cd->comment_type != HOST_COMMENT && cd->comment_type != SERVICE_COMMENT)
        return 0;
    if (cd->type != NEBTYPE_COMMENT_ADD && cd->type != NEBTYPE_COMMENT_DELETE)
        return 0;
    const bool is_service = cd->comment_type == SERVICE_COMMENT;

    // Adds and deletes of one comment may reach the server in any order (two workers, an add
    // held back in a dump file): the delete marks the comment deleted as of its event, and an
    // add runs only when no deletion as new as it is marked.
    const unsigned long long order = vt_event_usec(cd->timestamp);
    if (cd->type == NEBTYPE_COMMENT_DELETE) {
        try {
            submit(vt::format("CALL %s.vt_delete_comment(%d,%lu,%llu);", SCHEMA, is_service ? 1 : 0, cd->comment_id,
                              order));
        } catch (const std::bad_alloc &) {
            vt_write_to_log("unable to delete comment");
            return -2;
        }
        return 0;
    }

    CommentDataScope scope;
    vt::CString entry_time, expire_time;
    int contact_id = 0;
    int expires = cd->expires;
    try {
        entry_time = longdate(cd->entry_time);
        contact_id = vtdb_find_contact_id_by_alias(cd->author_name);
        if (cd->entry_type == ACKNOWLEDGEMENT_COMMENT && in_ack_form(cd->comment_data)) {
            char *date = nullptr, *text = nullptr;
            vt_extract_ack_expiredate_comment(cd->comment_data, &date, &text, &expires);
            vt::CString date_owner(date), text_owner(text);
            if (!date || !text)
                throw std::bad_alloc();
            scope.set(escaped(text));
            if (strcmp(date, NEVER_EXPIRES) != 0)
                expire_time = escaped(date);
        } else {
            scope.set(escaped(cd->comment_data));
            expire_time = longdate(cd->expire_time);
        }
    } catch (const std::bad_alloc &) {
        vt_write_to_log(is_service ? "unable to add service comment" : "unable to add host comment");
        return -2;
    }
    const char *comment = comment_data ? comment_data : "NULL";

    Target t;
    if (find_target("vtdb_handle_comment", cd->host_name, cd->service_description, is_service, t) != 0)
        return -2;
    const bool ack = cd->entry_type == ACKNOWLEDGEMENT_COMMENT;
    // The flag goes only onto a status row older than the acknowledgement: a row that already
    // shows a later event (the problem over, the flag cleared) must not get it back when this
    // statement reaches the server late.
    const unsigned long long ack_order = order;
    if (!is_service) {
        try {
            submit(vt::format("INSERT INTO %s.host_comment SELECT %s,%s,%d,%s,%d,%d,%d,%d,%s,%lu FROM DUAL %s;", SCHEMA,
                              t.host_id.get(), or_null(entry_time), contact_id, comment, cd->persistent, cd->source,
                              cd->entry_type, expires, or_null(expire_time), cd->comment_id,
                              not_deleted_since("host", cd->comment_id, order).c_str()));
        } catch (const std::bad_alloc &) {
            vt_write_to_log("unable to add host comment");
            return -2;
        }
        if (ack) {
            try {
                submit(vt::format("UPDATE %s.host_status SET problem_has_been_acknowledged=1 WHERE host_id='%s' AND "
                                  "event_usec<=%llu;",
                                  SCHEMA, t.host_id.get(), ack_order));
            } catch (const std::bad_alloc &) {
                vt_write_to_log("unable to ack host problem");
                return -2;
            }
        }
        return 0;
    }
    try {
        submit(vt::format("INSERT INTO %s.service_comment SELECT %s,%s,%s,%d,%s,%d,%d,%d,%d,%s,%lu FROM DUAL %s;",
                          SCHEMA, t.host_id.get(), t.service_id.get(), or_null(entry_time), contact_id, comment,
                          cd->persistent, cd->source, cd->entry_type, expires, or_null(expire_time), cd->comment_id,
                          not_deleted_since("service", cd->comment_id, order).c_str()));
    } catch (const std::bad_alloc &) {
        vt_write_to_log("unable to add service comment");
        return -2;
    }
    if (ack) {
        try {
            submit(vt::format("UPDATE %s.service_status SET problem_has_been_acknowledged=1 WHERE host_id='%s' AND "
                              "service_id='%s' AND event_usec<=%llu;",
                              SCHEMA, t.host_id.get(), t.service_id.get(), ack_order));
        } catch (const std::bad_alloc &) {
            vt_write_to_log("unable to ack service problem");
            return -2;
        }
    }
    return 0;
}

int handle_downtime(const nebstruct_downtime_data *dd) {
    if (dd->type == NEBTYPE_DOWNTIME_DELETE)
        return 0;
    CommentDataScope scope;
    std::string text = dd->comment_data ? dd->comment_data : "";
    bool have_text = dd->comment_data != nullptr;
    append_author(text, have_text, dd->author_name);
    scope.set(have_text ? escaped(text.c_str()) : vt::CString());

    const bool is_service = dd->service_description != nullptr;
    Target t;
    if (find_target("vtdb_handle_downtime", dd->host_name, dd->service_description, is_service, t) != 0)
        return -2;

    if (dd->type == NEBTYPE_DOWNTIME_START) {
        t.set_display_status(1);
        log_history(t, dd->timestamp);
    }

    const vt::CString entry_time = longdate(dd->entry_time);
    const vt::CString start_time = longdate(dd->start_time);
    const vt::CString end_time = longdate(dd->end_time);
    const int contact_id = vtdb_find_contact_id_by_alias(dd->author_name);
    const char *comment = comment_data ? comment_data : "NULL";

    // Each downtime keeps the row of its latest event: the upsert leaves a row of a newer event
    // as it is, whichever order the statements of one downtime reach the server in.
    const unsigned long long order = vt_event_usec(dd->timestamp);
    std::string end = or_null(end_time);
    int row_type = dd->type;
    if (dd->type == NEBTYPE_DOWNTIME_STOP) {
        // A stopped downtime ends when it stopped, which may be before its scheduled end.
        end = vt::format("FROM_UNIXTIME(%lu)", static_cast<unsigned long>(time(nullptr)));
    } else {
        // A downtime loaded or added again while it runs is stored as started.
        const scheduled_downtime *running = find_downtime(ANY_DOWNTIME, dd->downtime_id);
        if (running && running->is_in_effect == 1)
            row_type = NEBTYPE_DOWNTIME_START;
    }
    std::string head, row;
    if (is_service) {
        head = vt::format("INSERT INTO %s.service_downtime(downtime_id,host_id,service_id,type,entry_time,contact_id,"
                          "comment_data,start_time,end_time,fixed,duration,triggered_by,attr,event_usec) VALUES",
                          SCHEMA);
        row = vt::format("(%lu,%s,%s,%d,%s,%d,%s,%s,%s,%d,%lu,%lu,%d,%llu)", dd->downtime_id, t.host_id.get(),
                         t.service_id.get(), row_type, or_null(entry_time), contact_id, comment, or_null(start_time),
                         end.c_str(), dd->fixed, dd->duration, dd->triggered_by, dd->attr, order);
    } else {
        head = vt::format("INSERT INTO %s.host_downtime(downtime_id,host_id,type,entry_time,contact_id,comment_data,"
                          "start_time,end_time,fixed,duration,triggered_by,attr,event_usec) VALUES",
                          SCHEMA);
        row = vt::format("(%lu,%s,%d,%s,%d,%s,%s,%s,%d,%lu,%lu,%d,%llu)", dd->downtime_id, t.host_id.get(), row_type,
                         or_null(entry_time), contact_id, comment, or_null(start_time), end.c_str(), dd->fixed,
                         dd->duration, dd->triggered_by, dd->attr, order);
    }
    const int keys = is_service ? 3 : 2;
    submit(vt::marked_upsert(keys, head, row, vt::upsert_tail(head, keys)));
    return 0;
}

int handle_ack(const nebstruct_acknowledgement_data *ad) {
    if (ad->type != NEBTYPE_ACKNOWLEDGEMENT_ADD)
        return 0;
    CommentDataScope scope;
    char *date_raw = nullptr, *text_raw = nullptr;
    int expires = 0;
    vt_extract_ack_expiredate_comment(ad->comment_data, &date_raw, &text_raw, &expires);
    const vt::CString date(date_raw), after_marker(text_raw);

    bool have_text = after_marker || ad->comment_data;
    std::string text = after_marker ? after_marker.get() : (ad->comment_data ? ad->comment_data : "");
    append_author(text, have_text, ad->author_name);
    if (expires && date) {
        text = have_text ? vt::format("%s - Expires on: %s", text.c_str(), date.get())
                         : vt::format("Expires on: %s", date.get());
        have_text = true;
    }
    scope.set(have_text ? escaped(text.c_str()) : vt::CString());

    Target t;
    if (find_target("vtdb_handle_ack", ad->host_name, ad->service_description, ad->service_description != nullptr, t) !=
        0)
        return -2;
    t.set_acknowledged();
    if (t.display_status() > 2)
        t.set_display_status(2);
    log_history(t, ad->timestamp);
    return 0;
}

// Runs a callback body; whatever it throws becomes a log line and -2, never an exception
// into the engine.
template <typename Record, typename Body> int guarded(const char *name, void *data, Body body) noexcept {
    if (DEBUG)
        puts(name);
    if (!data)
        return 0;
    return vt::guard_entry(name, -2, [&] { return body(static_cast<const Record *>(data)); });
}

}  // namespace

extern "C" {

void vt_extract_ack_expiredate_comment(const char *comment, char **expire_date, char **text, int *expires) {
    if (expires)
        *expires = 0;
    if (!in_ack_form(comment) || !expire_date || !text)
        return;
    char *date = strndup(comment, 19);
    char *rest = strdup(comment + 22);
    if (!date || !rest) {
        free(date);
        free(rest);
        return;
    }
    if (expires)
        *expires = comment[0] >= '1' && comment[0] <= '9';
    *expire_date = date;
    *text = rest;
}

int vtdb_handle_comment(int callback_type, void *data) {
    (void)callback_type;
    return guarded<nebstruct_comment_data>("vtdb_handle_comment", data, handle_comment);
}

int vtdb_handle_downtime(int callback_type, void *data) {
    (void)callback_type;
    return guarded<nebstruct_downtime_data>("vtdb_handle_downtime", data, handle_downtime);
}

int vtdb_handle_ack(int callback_type, void *data) {
    (void)callback_type;
    return guarded<nebstruct_acknowledgement_data>("vtdb_handle_ack", data, handle_ack);
}

}  // extern "C"
