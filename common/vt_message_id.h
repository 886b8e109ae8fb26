/* The identity the module gives a message, written as a leading SQL comment of its text. */
#ifndef VT_MESSAGE_ID_H
#define VT_MESSAGE_ID_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace vt {

/* A message's identity: the random id of the module run (or walk) that made it, and its
 * sequence number in its queue. An empty run means the message carries none (a dump file of
 * an older module, an unsigned job). */
struct MessageId {
    std::string run;
    unsigned long long seq = 0;
    bool valid() const { return !run.empty(); }
};

constexpr size_t kMessageRunChars = 16; /* hexadecimal digits of a run id */
constexpr const char *kMessageIdOpen = "/*vt-id ";

/* The prefix for a run of kMessageRunChars hexadecimal digits: a comment holding "vt-id", the
 * run and seq, which keeps a dumped or failed statement runnable as it stands. */
inline std::string message_id_prefix(const std::string &run, unsigned long long seq)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%s %llu*/", kMessageIdOpen, run.c_str(), seq);
    return buf;
}

/* Reads the prefix at the start of text: its length (0 when text carries none, or one that is
 * not exactly the module's form), with the identity in *id. */
inline size_t parse_message_id(const char *text, size_t size, MessageId *id)
{
    const std::string open = kMessageIdOpen;
    if (size < open.size() || open.compare(0, open.size(), text, open.size()) != 0)
        return 0;
    size_t at = open.size();
    for (size_t i = 0; i < kMessageRunChars; ++i, ++at) {
        if (at >= size)
            return 0;
        const char c = text[at];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return 0;
    }
    if (at >= size || text[at] != ' ')
        return 0;
    ++at;
    unsigned long long seq = 0;
    size_t digits = 0;
    for (; at < size && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        if (digits >= 19) /* keeps seq below 10^19, inside 64 bits */
            return 0;
        seq = seq * 10 + static_cast<unsigned>(text[at] - '0');
    }
    if (digits == 0 || at + 2 > size || text[at] != '*' || text[at + 1] != '/')
        return 0;
    id->run.assign(text + open.size(), kMessageRunChars);
    id->seq = seq;
    return at + 2;
}

}  // namespace vt

#endif
