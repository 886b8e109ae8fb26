// Engine log, allocation helpers, reason names and program settings of the stand-in engine.
#include "standin.h"
#include "standin_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
int nagios_pid = 0;
int daemon_mode = 0;
time_t program_start = 0;
time_t last_command_check = 0;
int enable_notifications = 1;
int execute_service_checks = 1;
int accept_passive_service_checks = 1;
int execute_host_checks = 1;
int accept_passive_host_checks = 1;
int enable_event_handlers = 1;
int obsess_over_services = 0;
int obsess_over_hosts = 0;
int check_service_freshness = 1;
int check_host_freshness = 0;
int enable_flap_detection = 1;
int process_performance_data = 1;
int log_notifications = 1;
/* As the engine's sample configuration sets it (-1): every kind. */
unsigned long event_broker_options = ~0UL;
char *global_host_event_handler = nullptr;
char *global_service_event_handler = nullptr;
// illegal_macro_output_chars: unset unless configured; then only control characters are
// stripped from the cleaned macros.
char *illegal_output_chars = nullptr;
char *macro_user[MAX_USER_MACROS] = {};
#if VT_STANDIN_API >= 7
char *global_host_notification_handler = nullptr;
char *global_service_notification_handler = nullptr;
command *global_host_notification_handler_ptr = nullptr;
command *global_service_notification_handler_ptr = nullptr;
int log_global_notifications = 1;
#endif
}

namespace {

// The engine's helpers end the process when memory runs out, instead of returning null.
void *checked(void *p) {
    if (!p)
        abort();
    return p;
}

std::string &program_version() {
    static std::string v = VT_ENGINE_VERSION;
    return v;
}

struct Log {
    std::string path;
    std::vector<standin::LogLine> lines;
};

Log &log_state() {
    static Log l;
    return l;
}

}  // namespace

namespace standin {
namespace detail {

std::string vformat(const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace detail

void set_log_file(const std::string &path) { log_state().path = path; }

std::vector<LogLine> log_lines() { return log_state().lines; }

size_t count_log_lines(const std::string &needle) {
    size_t n = 0;
    for (const LogLine &l : log_state().lines)
        if (l.text.find(needle) != std::string::npos)
            n++;
    return n;
}

void clear_log() { log_state().lines.clear(); }

void reset_settings() {
    nagios_pid = 0;
    daemon_mode = 0;
    program_start = 0;
    enable_notifications = 1;
    execute_service_checks = 1;
    accept_passive_service_checks = 1;
    execute_host_checks = 1;
    accept_passive_host_checks = 1;
    enable_event_handlers = 1;
    obsess_over_services = 0;
    obsess_over_hosts = 0;
    check_service_freshness = 1;
    check_host_freshness = 0;
    enable_flap_detection = 1;
    process_performance_data = 1;
    log_notifications = 1;
    event_broker_options = ~0UL;
    program_version() = VT_ENGINE_VERSION;
#if VT_STANDIN_API >= 7
    set_global_notification_handler(false, "");
    set_global_notification_handler(true, "");
    log_global_notifications = 1;
#endif
    free(global_host_event_handler);
    global_host_event_handler = nullptr;
    free(global_service_event_handler);
    global_service_event_handler = nullptr;
    free(illegal_output_chars);
    illegal_output_chars = nullptr;
    for (char *&u : macro_user) {
        free(u);
        u = nullptr;
    }
}

void set_program_version(const std::string &version) { program_version() = version; }

void set_global_notification_handler(bool for_service, const std::string &text) {
#if VT_STANDIN_API >= 7
    char *&setting = for_service ? global_service_notification_handler : global_host_notification_handler;
    command *&ptr = for_service ? global_service_notification_handler_ptr : global_host_notification_handler_ptr;
    free(setting);
    setting = text.empty() ? nullptr : strdup(text.c_str());
    ptr = nullptr;
    const std::string name = text.substr(0, text.find('!'));
    for (command *c = command_list; setting && c; c = c->next)
        if (c->name && name == c->name)
            ptr = c;
#else
    (void)for_service;
    (void)text;
#endif
}

void set_user_macro(int n, const std::string &value) {
    if (n < 1 || n > MAX_USER_MACROS)
        return;
    free(macro_user[n - 1]);
    macro_user[n - 1] = strdup(value.c_str());
}

}  // namespace standin

extern "C" {

void nm_log(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = standin::detail::vformat(fmt, ap);
    va_end(ap);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    Log &l = log_state();
    l.lines.push_back({level, text});
    if (l.path.empty())
        return;
    if (FILE *f = fopen(l.path.c_str(), "a")) {
        fprintf(f, "[%ld] %s\n", static_cast<long>(time(nullptr)), text.c_str());
        fclose(f);
    }
}

void nm_asprintf(char **out, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (vasprintf(out, fmt, ap) < 0)
        abort();
    va_end(ap);
}

void *nm_malloc(size_t size) { return checked(malloc(size)); }
void *nm_realloc(void *ptr, size_t size) { return checked(realloc(ptr, size)); }
void *nm_calloc(size_t count, size_t size) { return checked(calloc(count, size)); }
void *nm_strdup(const char *s) { return checked(strdup(s)); }
void *nm_strndup(const char *s, size_t size) { return checked(strndup(s, size)); }

const char *get_program_version(void) { return program_version().c_str(); }

#if VT_STANDIN_API >= 6
const char *notification_reason_name(enum NotificationReason reason_type) {
#else
const char *notification_reason_name(unsigned int reason_type) {
#endif
    static const char *const names[] = {"NORMAL",        "ACKNOWLEDGEMENT", "FLAPPINGSTART",
                                        "FLAPPINGSTOP",  "FLAPPINGDISABLED", "DOWNTIMESTART",
                                        "DOWNTIMEEND",   "DOWNTIMECANCELLED", "CUSTOM"};
    const unsigned int r = static_cast<unsigned int>(reason_type);
    return r < sizeof(names) / sizeof(names[0]) ? names[r] : "UNKNOWN";
}

}  // extern "C"
