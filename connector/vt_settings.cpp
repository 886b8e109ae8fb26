/* The daemon's settings and their configuration file. */
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_sign.h"
#include "vantor_config.h"
#include "vt_util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

int VTSTATUS_WORKERS = 3;
int PERFDATA_WORKERS = 4;
int NOTIFY_WORKERS = 2;
int VT_MAX_METRICS = 100;
int VT_LOG_NOTIFICATIONS_COMMANDS = 0;
int VT_SEND_NOTIFICATIONS = 1;
int VT_ACCEPT_UNSIGNED_JOBS = 0;
int VT_MAX_DUMP_FILE_MB = 1024;
int VT_MAX_JOB_BYTES = static_cast<int>(vt::kLargestJobBytes);
int daemon_dumps_core = 1;
double sleep_time = 0.5;

namespace {
struct Setting {
    const char *key;
    int *value;
};
const Setting kSettings[] = {
    {"vtstatus_workers", &VTSTATUS_WORKERS},
    {"perfdata_workers", &PERFDATA_WORKERS},
    {"notify_workers", &NOTIFY_WORKERS},
    {"max_metrics_per_service", &VT_MAX_METRICS},
    {"log_notifications_commands", &VT_LOG_NOTIFICATIONS_COMMANDS},
    {"send_notifications", &VT_SEND_NOTIFICATIONS},
    {"accept_unsigned_jobs", &VT_ACCEPT_UNSIGNED_JOBS},
    {"perfdata_retention_days", &PERFDATA_RETENTION_DAYS},
    {"max_dump_file_mb", &VT_MAX_DUMP_FILE_MB},
    {"max_job_bytes", &VT_MAX_JOB_BYTES},
};
}  // namespace

/* Each line is "key=value" with the key compared whole and exactly (blanks included) and
 * the value read as a signed decimal number; anything else is ignored. */
extern "C" int parse_vantorconnector_conf(void)
{
    vt::File f(std::fopen(VT_CONNECTOR_CONF, "r"));
    if (!f) {
        vt_logf("Could no open file %s", VT_CONNECTOR_CONF);
        return -2;
    }
    char piece[256];
    while (std::fgets(piece, sizeof piece, f.get())) {
        if (piece[0] == '\0')
            continue;
        char *save = nullptr;
        char *key = strtok_r(piece, "=", &save);
        char *value = key ? strtok_r(nullptr, "=", &save) : nullptr;
        if (!value)
            continue;
        long number = std::strtol(value, nullptr, 10);
        for (const Setting &s : kSettings)
            if (std::strcmp(key, s.key) == 0)
                *s.value = static_cast<int>(number);
    }
    vt_logf("Reading %s read\n\tVTSTATUS_WORKERS %d\n\tPERFDATA_WORKERS %d\n\tNOTIFY_WORKERS %d\n\tVT_MAX_METRICS "
            "%d\n\tVT_LOG_NOTIFICATIONS_COMMANDS %d\n\tVT_SEND_NOTIFICATIONS %d\n",
            VT_CONNECTOR_CONF, VTSTATUS_WORKERS, PERFDATA_WORKERS, NOTIFY_WORKERS, VT_MAX_METRICS,
            VT_LOG_NOTIFICATIONS_COMMANDS, VT_SEND_NOTIFICATIONS);
    if (VT_ACCEPT_UNSIGNED_JOBS)
        vt_write_to_log("WARNING accept_unsigned_jobs=1: the workers carry out jobs without a signature, which "
                        "anyone who reaches the job server can submit; set it back to 0 once every module "
                        "signs its jobs");
    return 0;
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
