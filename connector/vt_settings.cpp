/* The daemon's settings and their configuration file. */
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_sign.h"
#include "vantor_config.h"
#include "vt_util.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

int VTSTATUS_WORKERS = 3;
int PERFDATA_WORKERS = 4;
int NOTIFY_WORKERS = 2;
int VT_MAX_METRICS = 100;
int VT_LOG_NOTIFICATIONS_COMMANDS = 0;
int VT_SEND_NOTIFICATIONS = 1;
int VT_ACCEPT_UNSIGNED_JOBS = 0;
int VT_MESSAGE_WINDOW_DAYS = 7;
int VT_MAX_DUMP_FILE_MB = 1024;
int VT_MAX_JOB_BYTES = static_cast<int>(vt::kLargestJobBytes);
int daemon_dumps_core = 1;
double sleep_time = 0.5;

namespace {

/* One key of vantorconnector.conf: the setting it sets, its default and the values taken.
 * The start line names each setting by its global. */
struct Setting {
    const char *key;
    int *value;
    const char *name;
    int fallback;
    int min;
    int max;
};
#define VT_SETTING(key, global, fallback, min, max) {key, &global, #global, fallback, min, max}
/* A negative number of workers has always meant none, and files in use may say so. */
const Setting kSettings[] = {
    VT_SETTING("vtstatus_workers", VTSTATUS_WORKERS, 3, INT_MIN, 256),
    VT_SETTING("perfdata_workers", PERFDATA_WORKERS, 4, INT_MIN, 256),
    VT_SETTING("notify_workers", NOTIFY_WORKERS, 2, INT_MIN, 256),
    VT_SETTING("max_metrics_per_service", VT_MAX_METRICS, 100, 0, 1000000),
    VT_SETTING("log_notifications_commands", VT_LOG_NOTIFICATIONS_COMMANDS, 0, 0, 1),
    VT_SETTING("send_notifications", VT_SEND_NOTIFICATIONS, 1, 0, 1),
    VT_SETTING("accept_unsigned_jobs", VT_ACCEPT_UNSIGNED_JOBS, 0, 0, 1),
    VT_SETTING("max_dump_file_mb", VT_MAX_DUMP_FILE_MB, 1024, 1, 1048576),
    VT_SETTING("perfdata_retention_days", PERFDATA_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("state_history_retention_days", VT_STATE_HISTORY_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("acknowledgement_retention_days", VT_ACKNOWLEDGEMENT_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("notification_retention_days", VT_NOTIFICATION_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("ended_comment_downtime_retention_days", VT_ENDED_COMMENT_DOWNTIME_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("flapping_retention_days", VT_FLAPPING_RETENTION_DAYS, 0, 0, 36500),
    VT_SETTING("retention_chunk_rows", VT_RETENTION_CHUNK, 5000, 1, 1000000),
    VT_SETTING("retention_pause_ms", VT_RETENTION_PAUSE_MS, 200, 0, 60000),
    VT_SETTING("retention_interval_seconds", VT_RETENTION_INTERVAL_S, 3600, 1, 604800),
    VT_SETTING("message_window_days", VT_MESSAGE_WINDOW_DAYS, 7, 0, 36500),
    VT_SETTING("max_job_bytes", VT_MAX_JOB_BYTES, static_cast<int>(vt::kLargestJobBytes), 65536, INT_MAX),
};
#undef VT_SETTING

const char *const kBlanks = " \t\r\n\v\f";

std::string trimmed(const std::string &s)
{
    const size_t from = s.find_first_not_of(kBlanks);
    if (from == std::string::npos)
        return std::string();
    return s.substr(from, s.find_last_not_of(kBlanks) - from + 1);
}

/* The whole text as a decimal int, or false (no digits, anything behind them, or beyond int). */
bool whole_number(const std::string &text, long &number)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    number = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && number >= INT_MIN && number <= INT_MAX &&
           (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-' || text[0] == '+');
}

/* Takes one line; returns what was wrong with it, or the empty text when it was taken (or is a
 * comment or blank). */
std::string take_line(const std::string &raw)
{
    const std::string line = trimmed(raw);
    if (line.empty() || line[0] == '#')
        return std::string();
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return "no \"=\": expected key=number";
    const std::string key = trimmed(line.substr(0, eq)), text = trimmed(line.substr(eq + 1));
    if (key == "metrics_listen") {  /* the one setting that is a text: an address, or "off" */
        VT_METRICS_LISTEN = text;
        return std::string();
    }
    for (const Setting &s : kSettings) {
        if (key != s.key)
            continue;
        long number = 0;
        if (!whole_number(text, number))
            return vt::format("\"%s\" is not a whole number: expected %s=<%d..%d> (kept %d)", text.c_str(), s.key,
                              s.min, s.max, *s.value);
        if (number < s.min || number > s.max)
            return vt::format("%ld is out of range: expected %s=<%d..%d> (kept %d)", number, s.key, s.min, s.max,
                              *s.value);
        *s.value = static_cast<int>(number);
        return std::string();
    }
    return vt::format("unknown key \"%s\": expected one of the keys listed in the start line, in lower case", key.c_str());
}

}  // namespace

/* Reads "key=value" lines. Blanks around the key, the "=" and the value are allowed; '#' starts
 * a comment line. A line not taken (unknown key, no number, a number out of the key's range) is
 * logged with its number and leaves the setting as it was; a key given twice takes its last
 * value. The start line lists every setting with the value in force. */
extern "C" int parse_vantorconnector_conf(void)
{
    vt::File f(std::fopen(VT_CONNECTOR_CONF, "r"));
    if (!f) {
        vt_logf("Could no open file %s", VT_CONNECTOR_CONF);
        return -2;
    }
    std::string line;
    int number = 0;
    for (;;) {
        const int c = std::fgetc(f.get());
        if (c != EOF && c != '\n') {
            /* a line longer than any setting needs is still read whole, and reported whole-ish */
            if (line.size() < 4096)
                line += static_cast<char>(c);
            continue;
        }
        if (c == EOF && line.empty())
            break;
        ++number;
        const std::string wrong = take_line(line);
        if (!wrong.empty())
            vt_logf("ERROR %s line %d not taken: %s", VT_CONNECTOR_CONF, number, wrong.c_str());
        line.clear();
        if (c == EOF)
            break;
    }
    std::string summary = vt::format("Reading %s read", VT_CONNECTOR_CONF);
    for (const Setting &s : kSettings)
        summary += vt::format("\n\t%s %d", s.name, *s.value);
    summary += vt::format("\n\tVT_METRICS_LISTEN %s\n", vt_metrics_enabled() ? VT_METRICS_LISTEN.c_str() : "off");
    vt_write_to_log(summary.c_str());
    if (VT_ACCEPT_UNSIGNED_JOBS)
        vt_write_to_log("WARNING accept_unsigned_jobs=1: the workers carry out jobs without a signature, which "
                        "anyone who reaches the job server can submit; set it back to 0 once every module "
                        "signs its jobs");
    return 0;
}

extern "C" void vt_settings_defaults(void)
{
    for (const Setting &s : kSettings)
        *s.value = s.fallback;
    VT_METRICS_LISTEN.clear();
}

extern "C" void vt_sleep_seconds(double seconds)
{
    if (seconds <= 0)
        return;
    struct timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
