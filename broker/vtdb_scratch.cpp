// Module-wide scratch texts and the guard that scopes them to one callback.
#include "vtdb_scratch.h"

#include <cstdlib>

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

}  // namespace vt
