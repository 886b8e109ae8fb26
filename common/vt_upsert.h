/* Upserts that a status worker may merge: the module marks them, the worker merges the rows. */
#ifndef VT_UPSERT_H
#define VT_UPSERT_H

#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

/* A mergeable upsert is an ordinary statement behind a leading comment
 *
 *     /+vt-upsert K H T+/INSERT INTO schema.table(c1,...,cn) VALUES( v1,...,vn) ON DUPLICATE KEY UPDATE ...
 *
 * (with * for +): K is the number of leading key columns, H the length of the part up to and
 * including VALUES (the head), T the length of the row "( v1,...,vn)" that follows it. The
 * comment promises that the update list is upsert_update_list's for the head's columns (every
 * column but the key columns takes the value of the row, guarded by the order column where the
 * head has it), so that rows of one head can go to the server as one statement with that
 * same update list. Anything that executes job texts (older workers, the replay
 * of dump files and of failed statements) runs the statement as it stands: for the server the
 * mark is a comment. The worker never has to read SQL to find the row. */
constexpr char kUpsertMark[] = "/*vt-upsert ";

/* The marked statement made of head, row and tail (the text after the row). */
inline std::string marked_upsert(int keys, const std::string &head, const std::string &row, const std::string &tail)
{
    std::string out = kUpsertMark;
    out += std::to_string(keys) + ' ' + std::to_string(head.size()) + ' ' + std::to_string(row.size()) + "*/";
    out.reserve(out.size() + head.size() + row.size() + tail.size());
    out += head;
    out += row;
    out += tail;
    return out;
}

/* A marked statement taken apart: views into the statement. */
struct UpsertRow {
    int keys = 0;
    std::string_view head;
    std::string_view row;
};

namespace upsert_detail {
inline bool read_number(std::string_view s, size_t *at, char end, size_t *value)
{
    size_t v = 0, digits = 0;
    while (*at < s.size() && s[*at] >= '0' && s[*at] <= '9' && digits < 9) {
        v = v * 10 + static_cast<size_t>(s[*at] - '0');
        ++*at;
        ++digits;
    }
    if (digits == 0 || *at >= s.size() || s[*at] != end)
        return false;
    ++*at;
    *value = v;
    return true;
}
inline bool is_name(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}
inline std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}
}  // namespace upsert_detail

/* Reads the mark of stmt. False for a statement without one, or with one that does not fit
 * the statement (lengths beyond its end, a row that is not parenthesised, no VALUES). */
inline bool parse_upsert(std::string_view stmt, UpsertRow *out)
{
    const std::string_view mark(kUpsertMark);
    if (stmt.substr(0, mark.size()) != mark)
        return false;
    size_t at = mark.size(), keys = 0, head = 0, row = 0;
    if (!upsert_detail::read_number(stmt, &at, ' ', &keys) || !upsert_detail::read_number(stmt, &at, ' ', &head) ||
        !upsert_detail::read_number(stmt, &at, '*', &row) || at >= stmt.size() || stmt[at] != '/')
        return false;
    ++at;
    if (head > stmt.size() - at || row > stmt.size() - at - head || row < 2 || keys < 1)
        return false;
    out->keys = static_cast<int>(keys);
    out->head = stmt.substr(at, head);
    out->row = stmt.substr(at + head, row);
    const std::string_view h = upsert_detail::trimmed(out->head);
    return out->row.front() == '(' && out->row.back() == ')' && h.size() > 6 && h.substr(h.size() - 6) == "VALUES";
}

/* The columns named in a head "INSERT INTO t(c1, c2) VALUES"; empty when any is not a plain name. */
inline std::vector<std::string_view> upsert_columns(std::string_view head)
{
    std::vector<std::string_view> cols;
    const size_t open = head.find('('), close = head.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return cols;
    std::string_view list = head.substr(open + 1, close - open - 1);
    while (true) {
        const size_t comma = list.find(',');
        const std::string_view c = upsert_detail::trimmed(list.substr(0, comma));
        if (!upsert_detail::is_name(c))
            return {};
        cols.push_back(c);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return cols;
}

/* The table a head writes: the text between INSERT INTO and the column list. */
inline std::string_view upsert_table(std::string_view head)
{
    const size_t open = head.find('(');
    return upsert_detail::trimmed(head.substr(0, open == std::string_view::npos ? head.size() : open));
}

/* The column that orders the writes of one row: the time of the event a statement carries, in
 * microseconds. A row is only ever replaced by the values of an event at least as new as the
 * one it shows, however late the older statement reaches the server (a replayed dump file, a
 * batch of another worker that ran behind). */
constexpr char kOrderColumn[] = "event_usec";

/* The update list of an upsert writing cols (the first keys of them the key): every other
 * column gets the row's value. When the columns hold the order column, each column takes the
 * row's value only if the row is not older than what the table holds, and the order column
 * comes last: the server assigns left to right and later assignments see the updated
 * columns, so everything compares against the old order first. Both the single statements
 * and the merged ones take their update list from here, so merging never changes a row. */
template <typename Cols> inline std::string upsert_update_list(const Cols &cols, size_t keys)
{
    const std::string_view order(kOrderColumn);
    bool ordered = false;
    for (size_t i = keys; i < cols.size(); ++i)
        if (std::string_view(cols[i]) == order)
            ordered = true;
    std::string out;
    out.reserve(cols.size() * (ordered ? 72 : 32));
    for (size_t i = keys; i < cols.size(); ++i) {
        const std::string_view c(cols[i]);
        if (ordered && c == order)
            continue;
        if (!out.empty())
            out += ',';
        out.append(c);
        if (ordered) {
            out += "=IF(event_usec<=VALUES(event_usec),VALUES(";
            out.append(c);
            out += "),";
            out.append(c);
            out += ')';
        } else {
            out += "=VALUES(";
            out.append(c);
            out += ')';
        }
    }
    if (ordered) {
        if (!out.empty())
            out += ',';
        out += "event_usec=GREATEST(event_usec,VALUES(event_usec))";
    }
    return out;
}

/* " ON DUPLICATE KEY UPDATE <list>;" for a single statement with this head. Empty when the
 * head's column list cannot be read or leaves no column to update. */
inline std::string upsert_tail(std::string_view head, int keys)
{
    const std::vector<std::string_view> cols = upsert_columns(head);
    if (keys < 0 || cols.size() <= static_cast<size_t>(keys))
        return std::string();
    return " ON DUPLICATE KEY UPDATE " + upsert_update_list(cols, static_cast<size_t>(keys)) + ";";
}

/* One statement writing every row of rows (all of head's form): the rows in their order, so
 * that a later row of the same key updates what an earlier one wrote (and, with the order
 * column, an older row leaves a newer one as it is). Empty when the head's column list cannot
 * be read or leaves no column to update. */
inline std::string merged_upsert(std::string_view head, int keys, const std::vector<std::string_view> &rows)
{
    const std::vector<std::string_view> cols = upsert_columns(head);
    if (keys < 0 || cols.size() <= static_cast<size_t>(keys) || rows.empty())
        return std::string();
    size_t size = head.size() + 64;
    for (std::string_view r : rows)
        size += r.size() + 1;
    std::string out;
    out.reserve(size + cols.size() * 72);
    out.append(head);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i)
            out += ',';
        out.append(rows[i]);
    }
    out += " ON DUPLICATE KEY UPDATE ";
    out += upsert_update_list(cols, static_cast<size_t>(keys));
    return out;
}

}  // namespace vt

#endif
