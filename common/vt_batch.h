/* Several job texts framed into one job-server job, and such a job taken apart again. */
#ifndef VT_BATCH_H
#define VT_BATCH_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace vt {

/* A batch starts with these five bytes, the first of them NUL. Every job text the module
 * produces is a C string, submitted as its strlen bytes, so no single message can contain a
 * NUL byte, let alone start with one: a job from an older module, a dump line or any other
 * single message can never be taken for a batch. Behind the header each message follows as
 * its length (4 bytes, most significant first) and exactly that many bytes, so a message may
 * hold any byte and can neither be split nor merged with its neighbour. */
constexpr char kBatchHeader[] = {'\0', 'V', 'T', 'B', '1'};
constexpr size_t kBatchHeaderSize = sizeof kBatchHeader;
/* Most messages the module puts into one job; the workers drop a batch holding more. */
constexpr size_t kBatchMessages = 200;
/* Most bytes of one batch job (a single larger message still goes alone). Small enough for
 * the socket buffers: the library lingers up to 10 s closing a connection that still holds
 * unsent data, which is what a hung server leaves after a timeout. */
constexpr size_t kBatchBytes = 64 * 1024;
/* Longest single message worth carrying: every message ends up as (or in) one statement, and
 * the database server takes no statement larger than its max_allowed_packet (16 MiB by
 * default); the module's texts are not cut anywhere before that. */
constexpr size_t kLargestMessageBytes = size_t(16) << 20;
/* Framing of a batch of n messages: the header and each message's length. */
constexpr size_t batch_framing(size_t n) { return kBatchHeaderSize + 4 * n; }

inline bool is_batch(const char *data, size_t size)
{
    return data && size >= kBatchHeaderSize && std::memcmp(data, kBatchHeader, kBatchHeaderSize) == 0;
}

/* Appends one message to batch, writing the header first when batch is empty. Throws
 * std::bad_alloc; a message of 4 GiB or more is not representable and throws length_error. */
inline void batch_append(std::string &batch, const char *text, size_t size)
{
    if (size > UINT32_MAX)
        throw std::length_error("message too long for a batch");
    if (batch.empty())
        batch.assign(kBatchHeader, kBatchHeaderSize);
    const char len[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                         static_cast<char>(size)};
    batch.append(len, 4);
    batch.append(text, size);
}

/* Calls take(text, size) for every message of a job: each message of a batch in order, or the
 * whole workload once when the job is not a batch. Returns false when a batch ends inside a
 * length or a message (nothing of that piece is handed out); the messages before it were. */
template <class Take>
bool for_each_message(const char *data, size_t size, Take &&take)
{
    if (!is_batch(data, size)) {
        take(data ? data : "", data ? size : 0);
        return true;
    }
    size_t at = kBatchHeaderSize;
    while (at < size) {
        if (size - at < 4)
            return false;
        const auto *p = reinterpret_cast<const unsigned char *>(data + at);
        const size_t len = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | size_t(p[3]);
        at += 4;
        if (len > size - at)
            return false;
        take(data + at, len);
        at += len;
    }
    return true;
}

}  // namespace vt

#endif
