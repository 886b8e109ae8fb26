// Module-wide scratch texts and the guard that scopes them to one callback.
#include "vtdb_scratch.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vt_db.h"
#include "vt_log.h"

extern "C" {
char *plugin_output = nullptr;
char *long_plugin_output = nullptr;
char *perf_data = nullptr;
char *check_command = nullptr;
char *check_period = nullptr;
char *notification_period = nullptr;
char *event_handler = nullptr;
char *notes_url = nullptr;
char *action_url = nullptr;
char *icon_image = nullptr;
char *output = nullptr;
}

namespace vt {

ScratchTexts::ScratchTexts(std::initializer_list<char **> slots) {
    for (char **s : slots) {
        if (count_ == kMax)
            break;
        *s = nullptr;
        slots_[count_++] = s;
    }
}

ScratchTexts::~ScratchTexts() {
    for (int i = 0; i < count_; i++) {
        std::free(*slots_[i]);
        *slots_[i] = nullptr;
    }
}

const char *escape_into(char **slot, const char *text) {
    std::free(*slot);
    *slot = nullptr;
    vt_escape_string_for_mysql(text, slot);
    return *slot ? *slot : "NULL";
}

const char *date_or_null(CString &holder, time_t t) {
    char *date = nullptr;
    timestamp_to_longdate(&date, t);
    holder.reset(date);
    return date ? date : "NULL";
}

std::string format_statement(const char *fmt, ...) {
    // Callbacks run on the engine's one thread (and the walk in a process of its own).
    static char buffer[16384];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof buffer)
        return std::string(buffer, static_cast<size_t>(n));
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

}  // namespace vt
