/* Module-wide scratch texts: escaped values of the event being handled, valid within one callback. */
#ifndef VTDB_SCRATCH_H
#define VTDB_SCRATCH_H

#ifdef __cplusplus
extern "C" {
#endif

/* Each holds an escaped, quoted heap text (or NULL) only while a callback runs: the
 * callback clears the ones it uses on entry and frees them before it returns. */
extern char *plugin_output;
extern char *long_plugin_output;
extern char *perf_data;
extern char *check_command;
extern char *check_period;
extern char *notification_period;
extern char *event_handler;
extern char *notes_url;
extern char *action_url;
extern char *icon_image;
extern char *output;

#ifdef __cplusplus
}

#include <ctime>
#include <initializer_list>

#include "vt_util.h"

namespace vt {

/* Claims scratch slots for one callback: clears them at construction and frees and clears
 * them at destruction, whichever way the callback leaves. */
class ScratchTexts {
public:
    ScratchTexts(std::initializer_list<char **> slots);
    ~ScratchTexts();
    ScratchTexts(const ScratchTexts &) = delete;
    ScratchTexts &operator=(const ScratchTexts &) = delete;

private:
    static constexpr int kMax = 16;
    char **slots_[kMax];
    int count_ = 0;
};

/* Escapes text into *slot (vt_escape_string_for_mysql) and returns the quoted literal, or
 * "NULL" for an absent text. The slot keeps the heap text for the guard to free. */
const char *escape_into(char **slot, const char *text);

/* A date literal from timestamp_to_longdate, kept in holder, or "NULL" for time 0. */
const char *date_or_null(CString &holder, time_t t);

/* printf into a std::string in one pass for texts up to 16 KiB (status statements are
 * a few KiB; a second pass would double the cost of the busiest callbacks). Throws
 * std::bad_alloc when out of memory. */
std::string format_statement(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vt
#endif

#endif
