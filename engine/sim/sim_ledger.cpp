// The simulated engine's ledger: every event that must leave a row is written down as it is
// raised, with a sequence number stamped into the object's output, and later reconciled with
// what the database, the failed-SQL file and the dump files hold.
#include "sim_ledger.h"

#include "standin.h"
#include "vantor_config.h"

#include <mysql.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace sim {

namespace {

// The kinds of rows, in the order the report lists them.
const char *const kKinds[] = {"host_status",  "service_status",      "host_history",         "service_history",
                              "service_perf", "host_notification", "service_notification", "notify_command"};

// The file the simulated engine's notification commands append their lines to.
const char *const kNotifyFile = VT_PATH("/var/sim-notifications.log");

struct MysqlCloser {
    void operator()(MYSQL *m) const { mysql_close(m); }
};
using Connection = std::unique_ptr<MYSQL, MysqlCloser>;

Connection connect(const DbSettings &db, std::string &error) {
    Connection m(mysql_init(nullptr));
    if (!m) {
        error = "out of memory";
        return nullptr;
    }
    unsigned int no_local_files = 0;  // statements here never read client files
    mysql_options(m.get(), MYSQL_OPT_LOCAL_INFILE, &no_local_files);
    if (!mysql_real_connect(m.get(), db.host.c_str(), db.user.c_str(), db.password.c_str(), nullptr, db.port,
                            nullptr, 0)) {
        error = mysql_error(m.get());
        return nullptr;
    }
    return m;
}

bool exec(MYSQL *m, const std::string &sql, std::string &error) {
    if (mysql_real_query(m, sql.c_str(), sql.size()) != 0) {
        error = std::string(mysql_error(m)) + " in: " + sql;
        return false;
    }
    mysql_free_result(mysql_store_result(m));
    return true;
}

// Rows of a query as texts ("" for NULL); false when the query failed.
bool rows(MYSQL *m, const std::string &sql, std::vector<std::vector<std::string>> &out) {
    out.clear();
    if (mysql_real_query(m, sql.c_str(), sql.size()) != 0)
        return false;
    MYSQL_RES *res = mysql_store_result(m);
    if (!res)
        return mysql_field_count(m) == 0;
    const unsigned n = mysql_num_fields(res);
    while (MYSQL_ROW r = mysql_fetch_row(res)) {
        std::vector<std::string> row;
        for (unsigned i = 0; i < n; i++)
            row.emplace_back(r[i] ? r[i] : "");
        out.push_back(std::move(row));
    }
    mysql_free_result(res);
    return true;
}

// Each executed status statement leaves one audit row, whatever it updated: a BEFORE INSERT
// trigger fires for every row an INSERT ... ON DUPLICATE KEY UPDATE attempts, and a statement
// that fails takes its audit row with it.
const char *const kAuditTable = "vt_test.ledger_status";
const char *const kTriggers[][2] = {
    {"vt_ledger_host_status", "host_status"},
    {"vt_ledger_service_status", "service_status"},
};

bool install_triggers(MYSQL *m, std::string &error) {
    if (!exec(m, "CREATE DATABASE IF NOT EXISTS vt_test", error) ||
        !exec(m,
              std::string("CREATE TABLE IF NOT EXISTS ") + kAuditTable +
                  " (kind VARCHAR(20) NOT NULL, host_id INT NULL, service_id INT NULL, seq VARCHAR(24) NULL, "
                  "KEY ledger_status_seq (kind, seq)) ENGINE=InnoDB",
              error) ||
        !exec(m, std::string("TRUNCATE TABLE ") + kAuditTable, error))
        return false;
    for (const auto &t : kTriggers) {
        const std::string service_id = std::strcmp(t[1], "service_status") == 0 ? "NEW.service_id" : "-1";
        if (!exec(m,
                  std::string("CREATE OR REPLACE TRIGGER vantor4.") + t[0] + " BEFORE INSERT ON vantor4." + t[1] +
                      " FOR EACH ROW INSERT INTO " + kAuditTable + " (kind, host_id, service_id, seq) VALUES ('" +
                      t[1] + "', NEW.host_id, " + service_id +
                      ", SUBSTRING(REGEXP_SUBSTR(NEW.plugin_output, 'vt_seq=[0-9]+'), 8))",
                  error))
            return false;
    }
    return true;
}

void drop_triggers(MYSQL *m) {
    std::string ignored;
    for (const auto &t : kTriggers)
        exec(m, std::string("DROP TRIGGER IF EXISTS vantor4.") + t[0], ignored);
}

// ---- Observing and stamping ----

struct Ledger {
    FILE *file = nullptr;
    unsigned long long next_seq = 0;
    // Texts replaced by a stamped copy. An event record or the simulator may still point at
    // them while the event is being raised, so they are freed only some seconds later.
    std::deque<std::pair<time_t, char *>> retired;
};
Ledger ledger;

void retire(char *old) {
    const time_t now = time(nullptr);
    if (old)
        ledger.retired.emplace_back(now, old);
    while (!ledger.retired.empty() && ledger.retired.front().first + 30 < now) {
        free(ledger.retired.front().second);
        ledger.retired.pop_front();
    }
}

void replace_text(char *&member, const std::string &text) {
    char *old = member;
    member = strdup(text.c_str());
    retire(old);
}

// The number after the first "vt_seq=" in text, 0 when there is none.
unsigned long long seq_in(const char *text) {
    const char *p = text ? std::strstr(text, "vt_seq=") : nullptr;
    return p ? std::strtoull(p + 7, nullptr, 10) : 0;
}

// The sequence number of the output: a new one, stamped into it, when the output carries none
// yet (the engine has put a new check result's output there since the last event).
unsigned long long stamp_output(char *&output) {
    if (unsigned long long s = seq_in(output))
        return s;
    const unsigned long long s = ledger.next_seq++;
    std::string text = output ? output : "";
    if (!text.empty())
        text += ' ';
    text += "vt_seq=" + std::to_string(s);
    replace_text(output, text);
    return s;
}

// Puts "vt_seq=<seq>" in front of the performance data (replacing an earlier stamp), so that
// every record the module forwards carries its check's number as its first metric.
void stamp_perf(char *&perf, unsigned long long seq) {
    std::string rest = perf ? perf : "";
    if (rest.compare(0, 7, "vt_seq=") == 0) {
        size_t end = rest.find(' ');
        rest = end == std::string::npos ? "" : rest.substr(end + 1);
    }
    replace_text(perf, "vt_seq=" + std::to_string(seq) + (rest.empty() ? "" : " " + rest));
}

// The decimal id in custom variable name, -1 when absent or not decimal (the module skips
// such objects, so they owe no row).
int custom_id(customvariablesmember *v, const char *name) {
    for (; v; v = v->next)
        if (v->variable_name && std::strcmp(v->variable_name, name) == 0) {
            const char *s = v->variable_value;
            if (!s || !*s || std::strspn(s, "0123456789") != std::strlen(s) || std::strlen(s) > 9)
                return -1;
            return static_cast<int>(std::strtol(s, nullptr, 10));
        }
    return -1;
}

void note(const char *kind, unsigned long long seq, int host_id, int service_id) {
    if (host_id < 0 || (service_id < 0 && std::strncmp(kind, "service", 7) == 0))
        return;
    fprintf(ledger.file, "%s\t%llu\t%d\t%d\n", kind, seq, host_id, service_id);
    fflush(ledger.file);
}

void on_host(host *h, const char *kind) {
    if (!h)
        return;
    const unsigned long long seq = stamp_output(h->plugin_output);
    if (kind)
        note(kind, seq, custom_id(h->custom_variables, "HOST_ID"), -1);
}

void on_service(service *s, const char *kind) {
    if (!s)
        return;
    const unsigned long long seq = stamp_output(s->plugin_output);
    if (kind)
        note(kind, seq, custom_id(s->custom_variables, "HOST_ID"), custom_id(s->custom_variables, "SERVICE_ID"));
}

// A history row of the object an event names, looked up as the module looks it up.
void on_object(const char *host_name, const char *service_description) {
    if (!host_name)
        return;
    if (service_description)
        on_service(find_service(host_name, service_description), "service_history");
    else
        on_host(find_host(host_name), "host_history");
}

// What the module owes the database for each event, mirrored from what it is built to write:
// a status row per status event, a history row per state change of an object without
// stalking (stalked objects get one per processed check instead), a performance record per
// processed service check that has performance data, a history row per acknowledgement and
// per downtime start.
void observe(int callback_type, void *record) {
    if (!ledger.file || !record)
        return;
    switch (callback_type) {
    case NEBCALLBACK_HOST_STATUS_DATA:
        on_host(static_cast<host *>(static_cast<nebstruct_host_status_data *>(record)->object_ptr), "host_status");
        break;
    case NEBCALLBACK_SERVICE_STATUS_DATA:
        on_service(static_cast<service *>(static_cast<nebstruct_service_status_data *>(record)->object_ptr),
                   "service_status");
        break;
    case NEBCALLBACK_STATE_CHANGE_DATA: {
        auto *d = static_cast<nebstruct_statechange_data *>(record);
        if (d->type != NEBTYPE_STATECHANGE_END || !d->object_ptr)
            break;
        if (d->statechange_type == 0) {
            host *h = static_cast<host *>(d->object_ptr);
            on_host(h, h->stalking_options == 0 ? "host_history" : nullptr);
        } else if (d->statechange_type == 1) {
            service *s = static_cast<service *>(d->object_ptr);
            on_service(s, s->stalking_options == 0 ? "service_history" : nullptr);
        }
        break;
    }
    case NEBCALLBACK_HOST_CHECK_DATA: {
        auto *d = static_cast<nebstruct_host_check_data *>(record);
        if (d->type != NEBTYPE_HOSTCHECK_PROCESSED || !d->object_ptr)
            break;
        host *h = static_cast<host *>(d->object_ptr);
        on_host(h, h->stalking_options != 0 ? "host_history" : nullptr);
        break;
    }
    case NEBCALLBACK_SERVICE_CHECK_DATA: {
        auto *d = static_cast<nebstruct_service_check_data *>(record);
        if (d->type != NEBTYPE_SERVICECHECK_PROCESSED || !d->object_ptr)
            break;
        service *s = static_cast<service *>(d->object_ptr);
        on_service(s, s->stalking_options != 0 ? "service_history" : nullptr);
        if (s->perf_data) {
            const unsigned long long seq = seq_in(s->plugin_output);
            stamp_perf(s->perf_data, seq);
            note("service_perf", seq, custom_id(s->custom_variables, "HOST_ID"),
                 custom_id(s->custom_variables, "SERVICE_ID"));
        }
        break;
    }
    // A contact notification method the module takes over owes a notification row (with the
    // output it carries) and one command run by the daemon, counted as the lines the command
    // appends to its file.
    case NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA: {
        auto *d = static_cast<nebstruct_contact_notification_method_data *>(record);
        if (d->type != NEBTYPE_CONTACTNOTIFICATIONMETHOD_START || !d->object_ptr)
            break;
        const unsigned long long seq = seq_in(d->output);
        if (d->notification_type == SERVICE_NOTIFICATION) {
            service *s = static_cast<service *>(d->object_ptr);
            const int h = custom_id(s->custom_variables, "HOST_ID"), sv = custom_id(s->custom_variables, "SERVICE_ID");
            note("service_notification", seq, h, sv);
            note("notify_command", 0, h, sv);
        } else {
            host *h = static_cast<host *>(d->object_ptr);
            const int id = custom_id(h->custom_variables, "HOST_ID");
            note("host_notification", seq, id, -1);
            note("notify_command", 0, id, -1);
        }
        break;
    }
    // An acknowledgement and the start of a downtime leave a history row of the object too.
    case NEBCALLBACK_ACKNOWLEDGEMENT_DATA: {
        auto *d = static_cast<nebstruct_acknowledgement_data *>(record);
        if (d->type == NEBTYPE_ACKNOWLEDGEMENT_ADD)
            on_object(d->host_name, d->service_description);
        break;
    }
    case NEBCALLBACK_DOWNTIME_DATA: {
        auto *d = static_cast<nebstruct_downtime_data *>(record);
        if (d->type == NEBTYPE_DOWNTIME_START)
            on_object(d->host_name, d->service_description);
        break;
    }
    default:
        break;
    }
}

// ---- Reconciling ----

using Counts = std::map<std::string, std::map<unsigned long long, long>>;  // kind -> seq -> n

struct Totals {
    long sent = 0, landed = 0, duplicated = 0, kept = 0, lost = 0;
};

void count_query(MYSQL *m, const std::string &sql, const std::string &kind, Counts &got) {
    std::vector<std::vector<std::string>> r;
    if (!rows(m, sql, r))
        return;  // a history or value table that does not exist holds nothing
    for (const auto &row : r)
        if (row.size() == 2 && !row[0].empty())
            got[kind][std::strtoull(row[0].c_str(), nullptr, 10)] += std::strtol(row[1].c_str(), nullptr, 10);
}

bool read_landed(MYSQL *m, const std::set<int> &hosts, unsigned long long notify_offset, Counts &got,
                 std::string &error) {
    got.clear();
    std::vector<std::vector<std::string>> r;
    if (!rows(m, std::string("SELECT kind, seq, COUNT(*) FROM ") + kAuditTable + " GROUP BY kind, seq", r)) {
        error = mysql_error(m);
        return false;
    }
    for (const auto &row : r)
        if (!row[1].empty())
            got[row[0]][std::strtoull(row[1].c_str(), nullptr, 10)] += std::strtol(row[2].c_str(), nullptr, 10);
    const std::string seq_of = "SUBSTRING(REGEXP_SUBSTR(plugin_output, 'vt_seq=[0-9]+'), 8)";
    for (int h : hosts) {
        const std::string id = std::to_string(h);
        count_query(m, "SELECT " + seq_of + " s, COUNT(*) FROM vantor4.host_state_change_" + id +
                           " WHERE initial_log_state = 0 GROUP BY s", "host_history", got);
        count_query(m, "SELECT " + seq_of + " s, COUNT(*) FROM vantor4.service_state_change_" + id +
                           " WHERE initial_log_state = 0 GROUP BY s", "service_history", got);
        count_query(m, "SELECT SUBSTRING(REGEXP_SUBSTR(output, 'vt_seq=[0-9]+'), 8) s, COUNT(*) FROM "
                       "vantor4.host_notification WHERE host_id = " + id + " GROUP BY s", "host_notification", got);
        count_query(m, "SELECT SUBSTRING(REGEXP_SUBSTR(output, 'vt_seq=[0-9]+'), 8) s, COUNT(*) FROM "
                       "vantor4.service_notification WHERE host_id = " + id + " GROUP BY s", "service_notification",
                    got);
        // A value stored before its service had a status row has metric id 0 (the metric
        // could not be attributed yet); it is stored all the same, so it counts.
        count_query(m, "SELECT CAST(perf_value AS DECIMAL(20,0)) v, COUNT(*) FROM vtperf.service_perf_" + id +
                           " WHERE metric_id = 0 OR metric_id IN (SELECT metric_id FROM vtcfg.service_metric "
                           "WHERE host_id = " + id + " AND metric = 'vt_seq') GROUP BY v",
                    "service_perf", got);
    }
    // Command lines appended since the ledger was opened.
    std::ifstream in(kNotifyFile);
    if (in && notify_offset > 0)
        in.seekg(static_cast<std::streamoff>(notify_offset));
    std::string line;
    while (in && std::getline(in, line))
        got["notify_command"][0]++;
    return true;
}

// The kind of row a kept statement or job would have made, "" for none the ledger counts.
std::string kind_of_line(const std::string &line) {
    if (line.compare(0, 14, "vtdb_statuspri") == 0 || line.compare(0, 13, "vt_eventguard") == 0)
        return "";
    if (line.compare(0, 11, "vtdb_notify") == 0)
        return "notify_command";
    if (line.find("vantor4.service_notification") != std::string::npos)
        return "service_notification";
    if (line.find("vantor4.host_notification") != std::string::npos)
        return "host_notification";
    if (line.compare(0, 13, "vtdb_perfdata") == 0)
        return "service_perf";
    if (line.find("vantor4.service_status") != std::string::npos)
        return "service_status";
    if (line.find("vantor4.host_status") != std::string::npos)
        return "host_status";
    if (line.find("service_state_change_") != std::string::npos)
        return "service_history";
    if (line.find("host_state_change_") != std::string::npos)
        return "host_history";
    return "";
}

// Lines that hold a job or statement the system kept instead of executing: the failed-SQL
// file, the perfdata error file, the dump file being written and the dumps waiting for replay.
void read_kept(const Counts &sent, Counts &kept) {
    kept.clear();
    std::vector<std::string> files = {VT_FAILED_SQL_FILE, VT_PERFDATA_ERRORS, VT_DUMP_FILE};
    if (DIR *d = opendir(VT_DELAYED_DIR)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(std::string(VT_DELAYED_DIR) + e->d_name);
        closedir(d);
    }
    // A failed value insert: the value is the sequence number when it was the "vt_seq" metric.
    static const std::regex perf_insert(
        R"(INSERT INTO vtperf\.service_perf_\d+ .*VALUES \(\s*from_unixtime\(-?\d+\),\s*'-?\d+',\s*'\d+',\s*'(\d+)(\.0*)?',)");
    auto perf_sent = sent.find("service_perf");
    for (const std::string &f : files) {
        std::ifstream in(f);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '\\')
                line.erase(0, 1);  // a marked dump line: its queue name follows the mark
            const std::string kind = kind_of_line(line);
            if (kind.empty()) {
                std::smatch mt;
                if (perf_sent != sent.end() && line.find("vtperf.service_perf_") != std::string::npos &&
                    std::regex_search(line, mt, perf_insert)) {
                    const unsigned long long v = std::strtoull(mt[1].str().c_str(), nullptr, 10);
                    if (perf_sent->second.count(v))
                        kept["service_perf"][v]++;
                }
                continue;
            }
            if (kind == "notify_command")
                kept[kind][0]++;
            else if (unsigned long long s = seq_in(line.c_str()))
                kept[kind][s]++;
        }
    }
}

std::map<std::string, Totals> compare(const Counts &sent, const Counts &got, const Counts &kept) {
    std::map<std::string, Totals> out;
    for (const auto &k : sent) {
        Totals &t = out[k.first];
        auto g = got.find(k.first);
        auto p = kept.find(k.first);
        for (const auto &e : k.second) {
            long landed = 0, kept_n = 0;
            if (g != got.end()) {
                auto it = g->second.find(e.first);
                landed = it == g->second.end() ? 0 : it->second;
            }
            if (p != kept.end()) {
                auto it = p->second.find(e.first);
                kept_n = it == p->second.end() ? 0 : it->second;
            }
            t.sent += e.second;
            t.landed += std::min(landed, e.second);
            t.duplicated += std::max(0L, landed - e.second);
            const long missing = std::max(0L, e.second - landed);
            t.kept += std::min(kept_n, missing);
            t.lost += std::max(0L, missing - kept_n);
        }
    }
    return out;
}

}  // namespace

bool ledger_open(const std::string &path, const DbSettings &db, std::string &error) {
    ledger_close();
    Connection m = connect(db, error);
    if (!m || !install_triggers(m.get(), error))
        return false;
    ledger.file = fopen(path.c_str(), "w");
    if (!ledger.file) {
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    // Lines the notification commands append from now on are this run's.
    struct stat st;
    fprintf(ledger.file, "notify_offset\t%llu\t0\t0\n",
            stat(kNotifyFile, &st) == 0 ? static_cast<unsigned long long>(st.st_size) : 0ULL);
    fflush(ledger.file);
    // Numbers unique across runs, so that rows of an earlier run never pass for this one's.
    ledger.next_seq = static_cast<unsigned long long>(time(nullptr) % 100000) * 1000000ULL + 1;
    standin::set_event_observer(observe);
    return true;
}

void ledger_close() {
    standin::set_event_observer(nullptr);
    if (ledger.file)
        fclose(ledger.file);
    ledger.file = nullptr;
    for (auto &r : ledger.retired)
        free(r.second);
    ledger.retired.clear();
}

long reconcile(const std::string &path, const DbSettings &db, const ReconcileOptions &opt, FILE *out,
               std::string &error) {
    Counts sent;
    std::set<int> hosts;
    unsigned long long notify_offset = 0;
    {
        std::ifstream in(path);
        if (!in) {
            error = "cannot read the ledger " + path;
            return -1;
        }
        std::string kind;
        unsigned long long seq;
        int host_id, service_id;
        while (in >> kind >> seq >> host_id >> service_id) {
            if (kind == "notify_offset") {
                notify_offset = seq;
                continue;
            }
            sent[kind][seq]++;
            hosts.insert(host_id);
        }
    }
    Connection m = connect(db, error);
    if (!m)
        return -1;

    Counts got, kept;
    std::map<std::string, Totals> result;
    const time_t started = time(nullptr);
    time_t last_change = started;
    long last_lost = -1;
    for (;;) {
        if (!read_landed(m.get(), hosts, notify_offset, got, error))
            return -1;
        read_kept(sent, kept);
        result = compare(sent, got, kept);
        long lost = 0;
        for (const auto &r : result)
            lost += r.second.lost;
        const time_t now = time(nullptr);
        if (lost != last_lost)
            last_change = now;
        last_lost = lost;
        if (lost == 0 || now - started >= opt.settle_seconds || now - last_change >= opt.quiet_seconds)
            break;
        sleep(2);
    }
    if (!opt.keep_triggers)
        drop_triggers(m.get());

    Totals all;
    fprintf(out, "  %-20s %8s %8s %10s %6s %6s\n", "rows", "sent", "landed", "duplicated", "kept", "lost");
    for (const char *k : kKinds) {
        auto it = result.find(k);
        if (it == result.end())
            continue;
        const Totals &t = it->second;
        fprintf(out, "  %-20s %8ld %8ld %10ld %6ld %6ld\n", k, t.sent, t.landed, t.duplicated, t.kept, t.lost);
        all.sent += t.sent;
        all.landed += t.landed;
        all.duplicated += t.duplicated;
        all.kept += t.kept;
        all.lost += t.lost;
    }
    fprintf(out, "  %-20s %8ld %8ld %10ld %6ld %6ld\n", "all", all.sent, all.landed, all.duplicated, all.kept,
            all.lost);
    fflush(out);
    return all.lost;
}

}  // namespace sim
