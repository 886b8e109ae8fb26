/* Signed jobs: the shared key and the envelope (see vt_sign.h). */
#include "vt_sign.h"
#include "vt_safe_file.h"
#include "vt_util.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vt {
namespace {

constexpr size_t kRawKeySize = 32;
constexpr size_t kMaxKeySize = 64;
constexpr size_t kMaxKeyFile = 4096;

/* Set at start (before any thread signs) and read-only afterwards. */
unsigned char job_key[kMaxKeySize];
size_t job_key_size = 0;

struct MacFree {
    void operator()(EVP_MAC *m) const noexcept { EVP_MAC_free(m); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX *c) const noexcept { EVP_MAC_CTX_free(c); }
};

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* The key held in text: 64 to 128 hex digits, or exactly 32 raw bytes. */
bool parse_key(std::string text, std::string &why)
{
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r'))
        trimmed.pop_back();
    bool hex = trimmed.size() >= 2 * kRawKeySize && trimmed.size() <= 2 * kMaxKeySize && trimmed.size() % 2 == 0;
    for (size_t i = 0; hex && i < trimmed.size(); ++i)
        hex = hex_value(trimmed[i]) >= 0;
    if (hex) {
        for (size_t i = 0; i < trimmed.size() / 2; ++i)
            job_key[i] = static_cast<unsigned char>(hex_value(trimmed[2 * i]) << 4 | hex_value(trimmed[2 * i + 1]));
        job_key_size = trimmed.size() / 2;
        OPENSSL_cleanse(&trimmed[0], trimmed.size());
        return true;
    }
    OPENSSL_cleanse(&trimmed[0], trimmed.size());
    if (text.size() == kRawKeySize) {
        std::memcpy(job_key, text.data(), kRawKeySize);
        job_key_size = kRawKeySize;
        return true;
    }
    why = "it holds neither 32 random bytes nor 64 to 128 hexadecimal digits";
    return false;
}

/* A key whose bytes take fewer distinct values than half its length was not drawn at random:
 * the 32 bytes of a random key take about 30 values, and fewer than 16 with a probability
 * below 1e-14 (for a 64-byte key: about 57, fewer than 32 below 1e-19). So this refuses no
 * properly made key, and refuses every key of one repeated byte and every password repeated
 * to length (a password of fewer than 16 characters, or hex digits typed as a pattern). */
bool key_is_weak(const unsigned char *key, size_t size, size_t &distinct)
{
    bool seen[256] = {};
    distinct = 0;
    for (size_t i = 0; i < size; ++i)
        if (!seen[key[i]]) {
            seen[key[i]] = true;
            ++distinct;
        }
    return distinct < (size + 1) / 2;
}

/* HMAC-SHA256 over the queue name (one length byte first) and tail. */
bool compute_mac(const char *queue, const unsigned char *tail, size_t tail_size, unsigned char out[kJobMacSize])
{
    /* Fetched once per process: a fetch costs more than the MAC of a small job. */
    static const std::unique_ptr<EVP_MAC, MacFree> hmac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!hmac || job_key_size == 0)
        return false;
    std::unique_ptr<EVP_MAC_CTX, MacCtxFree> ctx(EVP_MAC_CTX_new(hmac.get()));
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
    const size_t qlen = std::strlen(queue);
    const unsigned char qlen_byte = static_cast<unsigned char>(qlen > 255 ? 255 : qlen);
    size_t out_size = 0;
    return ctx && EVP_MAC_init(ctx.get(), job_key, job_key_size, params) == 1 &&
           EVP_MAC_update(ctx.get(), &qlen_byte, 1) == 1 &&
           EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char *>(queue), qlen_byte) == 1 &&
           EVP_MAC_update(ctx.get(), tail, tail_size) == 1 &&
           EVP_MAC_final(ctx.get(), out, &out_size, kJobMacSize) == 1 && out_size == kJobMacSize;
}

void fill_nonce(unsigned char *nonce)
{
    if (getrandom(nonce, kJobNonceSize, GRND_NONBLOCK) == static_cast<ssize_t>(kJobNonceSize))
        return;
    if (RAND_bytes(nonce, static_cast<int>(kJobNonceSize)) == 1)
        return;
    /* Without any randomness the nonce still differs per job: it only has to be unique. */
    static unsigned long long serial = 0;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned long long parts[2] = {static_cast<unsigned long long>(ts.tv_sec) ^ (++serial << 32),
                                         static_cast<unsigned long long>(ts.tv_nsec) ^
                                             (static_cast<unsigned long long>(getpid()) << 32)};
    std::memcpy(nonce, parts, kJobNonceSize);
}

}  // namespace

bool load_job_key(const std::string &path, std::string &why)
{
    forget_job_key();
    Fd fd = safe::open_file(path, O_RDONLY, 0, safe::Kind::Regular, safe::Report::Quiet);
    if (!fd) {
        why = errno == ELOOP ? "it is a symbolic link" : errno == EINVAL ? "it is not a regular file with one name"
                                                                        : std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        why = "it is not a regular file with one name";
        return false;
    }
    if (st.st_mode & (S_IRWXO | S_IWGRP)) {
        why = format("other users can read or change it (mode %04o; it must be 0640 or stricter)",
                     static_cast<unsigned>(st.st_mode & 07777));
        return false;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        why = format("it belongs to user %u, neither root nor this process's user", static_cast<unsigned>(st.st_uid));
        return false;
    }
    std::string text(kMaxKeyFile + 1, '\0');
    size_t have = 0;
    for (;;) {
        const ssize_t n = read(fd.get(), &text[have], text.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0 || (have += static_cast<size_t>(n)) == text.size())
            break;
    }
    text.resize(have);
    const bool ok = parse_key(text, why);
    OPENSSL_cleanse(&text[0], text.size());
    size_t distinct = 0;
    if (ok && key_is_weak(job_key, job_key_size, distinct)) {
        why = format("it is not a random key: its %zu bytes take only %zu different values; make one with "
                     "(umask 027; od -An -vtx1 -N32 /dev/urandom | tr -d ' \\n' > %s) and give it to the "
                     "engine's group",
                     job_key_size, distinct, path.c_str());
        forget_job_key();
        return false;
    }
    return ok;
}

bool job_key_loaded()
{
    return job_key_size != 0;
}

void forget_job_key()
{
    OPENSSL_cleanse(job_key, sizeof job_key);
    job_key_size = 0;
}

std::string sign_job(const char *queue, const char *data, size_t size, time_t stamp)
{
    if (!job_key_loaded())
        return std::string(data, size);
    std::string job(kSignedOverhead + size, '\0');
    std::memcpy(&job[0], kSignedHeader, kSignedHeaderSize);
    unsigned char *tail = reinterpret_cast<unsigned char *>(&job[kSignedHeaderSize + kJobMacSize]);
    const uint64_t now = static_cast<uint64_t>(stamp > 0 ? stamp : time(nullptr));
    for (int i = 0; i < 8; ++i)
        tail[i] = static_cast<unsigned char>(now >> (56 - 8 * i));
    fill_nonce(tail + 8);
    if (size)
        std::memcpy(tail + 8 + kJobNonceSize, data, size);
    unsigned char *mac = reinterpret_cast<unsigned char *>(&job[kSignedHeaderSize]);
    if (!compute_mac(queue, tail, job.size() - kSignedHeaderSize - kJobMacSize, mac))
        throw std::bad_alloc();  // the library fails only for want of memory
    return job;
}

JobCheck open_job(const char *queue, const char *data, size_t size, const char **payload, size_t *payload_size,
                  time_t oldest)
{
    *payload = data;
    *payload_size = size;
    if (!data || size < kSignedHeaderSize || std::memcmp(data, kSignedHeader, kSignedHeaderSize) != 0)
        return JobCheck::Unsigned;
    if (size < kSignedOverhead)
        return JobCheck::Forged;
    const auto *tail = reinterpret_cast<const unsigned char *>(data + kSignedHeaderSize + kJobMacSize);
    unsigned char mac[kJobMacSize];
    if (!compute_mac(queue, tail, size - kSignedHeaderSize - kJobMacSize, mac) ||
        CRYPTO_memcmp(mac, data + kSignedHeaderSize, kJobMacSize) != 0)
        return JobCheck::Forged;
    uint64_t stamp = 0;
    for (int i = 0; i < 8; ++i)
        stamp = stamp << 8 | tail[i];
    if (oldest > 0 && stamp < static_cast<uint64_t>(oldest))
        return JobCheck::Expired;
    *payload = data + kSignedOverhead;
    *payload_size = size - kSignedOverhead;
    return JobCheck::Signed;
}

const char *job_check_text(JobCheck check)
{
    switch (check) {
    case JobCheck::Signed: return "signed";
    case JobCheck::Unsigned: return "no signature";
    case JobCheck::Forged: return "a signature that does not verify";
    case JobCheck::Expired: return "a time stamp older than message_window_days";
    }
    return "";
}

}  // namespace vt
