/* Performance-data parser: labels, values and thresholds out of plugin performance data. */
#include "vt_perfdata.h"
#include "vt_perfdata_internal.h"
#include "vt_log.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex.h>
#include <string>

using vt_perf::kNumberSize;

namespace {

/* The three patterns, compiled once per process on first use. The value class lists "-" last
 * so that it is a literal member: a backslash inside a bracket expression would be one too,
 * and would let "1\" pass as a value into a quoted statement field. */
struct Patterns {
    regex_t first, next, value;
    bool first_ok, next_ok, value_ok;
    Patterns()
    {
        first_ok = regcomp(&first, "([^=]{1,})=", REG_EXTENDED) == 0;
        next_ok = regcomp(&next, " ([^=]{1,})=", REG_EXTENDED) == 0;
        value_ok = regcomp(&value, "([0-9.-]{1,})", REG_EXTENDED) == 0;
    }
};

const Patterns &patterns()
{
    static const Patterns p;
    return p;
}

constexpr size_t kLabelSize = VT_PERFDATA_MAX_LABEL + 100;

/* The parser's buffers, reused for every metric of a text; members of the handed-out metric
 * point into them. Each buffer is an allocation of its own, so that the sanitizer build sees
 * its bounds. Not zeroed: every byte is written before it is read. */
struct Work {
    std::unique_ptr<char[]> label{new char[kLabelSize]};
    std::unique_ptr<char[]> field{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> value{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> unit{new char[VT_PERFDATA_WORKBUF]};
    std::unique_ptr<char[]> number[7];
    Work()
    {
        for (auto &n : number)
            n.reset(new char[kNumberSize]);
    }
};

/* Whether text[0..len) is one complete decimal number: an optional sign, digits with at
 * most one decimal point and at least one digit, and, where allowed, an exponent. Nothing
 * else may follow; "", ".", "-", "..", "1.2.3" and ranges such as "10:20" are not numbers. */
bool complete_decimal(const char *text, size_t len, bool sign_plus_and_exponent)
{
    size_t i = 0;
    if (i < len && (text[i] == '-' || (sign_plus_and_exponent && text[i] == '+')))
        ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < len; ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            ++digits;
        else if (text[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0)
        return false;
    if (i < len && sign_plus_and_exponent && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < len && (text[i] == '-' || text[i] == '+'))
            ++i;
        size_t exp_digits = 0;
        for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i)
            ++exp_digits;
        if (exp_digits == 0)
            return false;
    }
    return i == len;
}

/* The label's length after the cut to VT_PERFDATA_MAX_LABEL bytes, moved back to the start of
 * a UTF-8 character that the cut would split: half a character is no text the database can
 * store, and the stored name would never match the label again. */
size_t cut_label(const char *label, size_t len)
{
    if (len <= VT_PERFDATA_MAX_LABEL)
        return len;
    const auto *u = reinterpret_cast<const unsigned char *>(label);
    size_t cut = VT_PERFDATA_MAX_LABEL;
    for (size_t back = 0; back < 4 && back < cut; ++back) {
        unsigned char c = u[cut - back];
        if ((c & 0xC0) == 0x80)
            continue;  /* a continuation byte: the character started earlier */
        if (back == 0 || c < 0xC0)
            return cut;  /* the cut falls between characters, or this is not UTF-8 */
        size_t seq = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        return seq > back ? cut - back : cut;
    }
    return cut;
}

}  // namespace

namespace vt_perf {

/* Writes the cleaned form of in[0..len) into out (capacity cap >= 1): bytes 1 to 31 and single
 * quotes dropped, backslashes doubled, writing stops before the buffer is full, and an odd run
 * of backslashes at the end loses its last one to a space. The result is the body of a
 * single-quoted SQL literal that no input can end early: it holds no quote and every backslash
 * is half of an escaped pair. Returns the length written. */
size_t clean_label(const char *in, size_t len, char *out, size_t cap)
{
    size_t n = 0;
    for (size_t i = 0; i < len && n + 1 < cap; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if ((c >= 1 && c <= 31) || c == '\'')
            continue;
        out[n++] = static_cast<char>(c);
        if (c == '\\' && n + 1 < cap)
            out[n++] = '\\';
    }
    out[n] = '\0';
    size_t run = 0;
    while (run < n && out[n - 1 - run] == '\\')
        ++run;
    if (run % 2 == 1)
        out[n - 1] = ' ';
    return n;
}

/* A value must be exactly what the value class allows and one number: "-", "." or "1.2.3"
 * match the class but would reach the database as text it cannot convert. */
bool value_is_number(const char *text, size_t len)
{
    return complete_decimal(text, len, false);
}

/* The text form of a numeric field: "%.3f" of the number it holds, or false when it holds
 * no single finite decimal number (a range such as "10:20", "~", "inf", "1e999"), which
 * then counts as absent, like an empty field: only numbers ever reach a statement. */
bool format_number(const char *field, char *out)
{
    if (!complete_decimal(field, std::strlen(field), true))
        return false;
    double d = std::strtod(field, nullptr);
    if (!std::isfinite(d))
        return false;
    std::snprintf(out, kNumberSize, "%.3f", d);
    return true;
}

}  // namespace vt_perf

using vt_perf::clean_label;
using vt_perf::format_number;
using vt_perf::value_is_number;

int vt_parse_perfdata(const char *text, vt_perf_metric_sink sink, void *context)
{
    const Patterns &p = patterns();
    if (!p.first_ok) {
        vt_write_to_log("ERROR vtdb_process_perfdata This was not supposed to happen");
        return -2;
    }
    if (!text)
        return -2;
    const size_t len = std::strlen(text);
    /* Every match ends with an "=", so nothing past the last one can take part in a match;
     * bounding the searches there keeps a long tail without "=" from being rescanned from
     * each of its blanks. */
    const char *last_eq = static_cast<const char *>(memrchr(text, '=', len));
    if (!last_eq)
        return -2;
    const regoff_t end = static_cast<regoff_t>(last_eq - text + 1);

    Work w;
    int seen = 0;
    regoff_t pos = 0;
    for (bool first = true;; first = false) {
        if (!first && !p.next_ok)
            return -2;
        if (pos >= end)
            break;
        regmatch_t m[1];
        m[0].rm_so = pos;
        m[0].rm_eo = end;
        if (regexec(first ? &p.first : &p.next, text, 1, m, REG_STARTEND) != 0)
            break;
        const char *start = text + m[0].rm_so;
        const char *eq = text + m[0].rm_eo - 1;
        while (start < eq && static_cast<signed char>(*start) <= 32)
            ++start;
        size_t label_len = cut_label(start, static_cast<size_t>(eq - start));
        size_t clean_len = clean_label(start, label_len, w.label.get(), kLabelSize);

        perf_metric metric{};
        metric.label = w.label.get();
        char **numbers[7] = {&metric.warning,  &metric.critical,    &metric.min,        &metric.max,
                             &metric.baseline, &metric.lower_limit, &metric.upper_limit};
        size_t n = 0;
        int field = 0;
        for (const char *c = eq + 1;; ++c) {
            char ch = *c;
            if (ch != ' ' && ch != ';' && ch != '\0') {
                if (n < VT_PERFDATA_WORKBUF - 1)
                    w.field[n++] = ch;
                continue;
            }
            w.field[n] = '\0';
            if (field >= 8)
                break;
            if (field == 0) {
                if (!p.value_ok)
                    return -2;
                regmatch_t v[1];
                v[0].rm_so = 0;
                v[0].rm_eo = static_cast<regoff_t>(n);
                if (n == 0 || regexec(&p.value, w.field.get(), 1, v, REG_STARTEND) != 0)
                    return -2;
                size_t vlen = static_cast<size_t>(v[0].rm_eo - v[0].rm_so);
                if (!value_is_number(w.field.get() + v[0].rm_so, vlen))
                    return -2;
                std::memcpy(w.value.get(), w.field.get() + v[0].rm_so, vlen);
                w.value[vlen] = '\0';
                size_t ulen = n - static_cast<size_t>(v[0].rm_eo);
                std::memcpy(w.unit.get(), w.field.get() + v[0].rm_eo, ulen);
                w.unit[ulen] = '\0';
                metric.value = w.value.get();
                metric.unit = w.unit.get();
            } else if (n > 0 && format_number(w.field.get(), w.number[field - 1].get())) {
                *numbers[field - 1] = w.number[field - 1].get();
            }
            n = 0;
            ++field;
            if (ch != ';')
                break;
        }
        if (clean_len > 0) {
            ++seen;
            sink(&metric, context);
        }
        pos = static_cast<regoff_t>(eq + 1 - text);
    }
    return seen > 0 ? 1 : -2;
}

std::string vt_perfdata_cut(const char *text)
{
    if (!text)
        return std::string();
    size_t len = std::strlen(text);
    if (len <= VT_PERFDATA_MAX_TEXT)
        return std::string(text, len);
    std::string s(text, VT_PERFDATA_MAX_TEXT);
    size_t semi = s.find_last_of(';');
    if (semi != std::string::npos && semi >= 1) {
        size_t blank = s.find_first_of(" \t", semi);
        if (blank != std::string::npos)
            s.resize(blank);
    }
    return s;
}

extern "C" void vt_remove_quote(char *text)
{
    if (!text)
        return;
    char *out = text;
    for (char *in = text; *in; ++in)
        if (*in != '\'' && *in != '"')
            *out++ = *in;
    *out = '\0';
}

extern "C" void vt_replace_backslashes(const char *text, char **result)
{
    if (!result)
        return;
    if (!text) {
        *result = nullptr;
        return;
    }
    size_t len = std::strlen(text);
    size_t cap = len + 100;
    char *out = static_cast<char *>(std::malloc(cap));
    if (out)
        clean_label(text, len, out, cap);
    *result = out;
}
