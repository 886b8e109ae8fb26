/* Signed jobs: the key shared by the module and the daemon, and the envelope a job travels in. */
#ifndef VT_SIGN_H
#define VT_SIGN_H

#include "vt_batch.h"

#include <cstddef>
#include <ctime>
#include <string>

/* Anyone who can reach the job server can submit jobs, and the daemon's workers run what
 * they are handed with the database rights of the system and the notification user's
 * shell. A job therefore carries an HMAC-SHA256 over its queue name, a time stamp, a random
 * nonce and its bytes, made with a key that only root and the engine's group can read;
 * workers carry out only jobs whose authenticator verifies.
 *
 * Envelope: the five bytes "\0VTS1", the 32-byte authenticator, the time stamp (8 bytes,
 * seconds since the epoch, most significant first), the 16-byte nonce, then the job itself
 * (a single message, or a batch as vt_batch.h frames it). It starts with a NUL byte like a
 * batch, so no single message from an older module is taken for it, and its fifth byte
 * tells it from a batch. The authenticator covers the queue name (length first) and every
 * byte after itself. */
namespace vt {

constexpr char kSignedHeader[] = {'\0', 'V', 'T', 'S', '1'};
constexpr size_t kSignedHeaderSize = sizeof kSignedHeader;
constexpr size_t kJobMacSize = 32;
constexpr size_t kJobNonceSize = 16;
constexpr size_t kSignedOverhead = kSignedHeaderSize + kJobMacSize + 8 + kJobNonceSize;
/* The largest job the module submits. A batch is closed once it holds kBatchMessages or
 * kBatchBytes, but the message that crosses the byte limit still joins it: at most just under
 * kBatchBytes of messages plus one of the largest, with the framing of kBatchMessages and the
 * envelope, 16,843,618 bytes. The workers refuse anything larger unread. */
constexpr size_t kLargestJobBytes = kSignedOverhead + batch_framing(kBatchMessages) + kBatchBytes + kLargestMessageBytes;

/* Reads the key file: a file of exactly 32 bytes, taken as they are, or 64 to 128 hexadecimal
 * digits (an even number, either case) followed by nothing but line breaks. Refused with why
 * set: a missing or unreadable file, a link, anything but a regular file with one name, a file
 * that others than its owner and group can read or its group can write, one owned by another
 * user than root or this process's, a key of another form, or one whose bytes take fewer
 * distinct values than half its length (one repeated byte, a repeated password: not random).
 * Until a key is loaded nothing can be signed or verified. */
bool load_job_key(const std::string &path, std::string &why);
/* Whether a key is loaded; forget_job_key drops it (a module unloaded from the engine). */
bool job_key_loaded();
void forget_job_key();

/* The job data of size bytes for queue in its signed envelope, stamped with the time it was
 * made (stamp; 0 for now). Needs a loaded key (an unsigned copy is returned without one);
 * throws std::bad_alloc. */
std::string sign_job(const char *queue, const char *data, size_t size, time_t stamp = 0);

enum class JobCheck {
    Signed,    /* the authenticator verified: payload is the job inside */
    Unsigned,  /* no envelope: payload is the whole job */
    Forged,    /* an envelope whose authenticator does not verify for this queue */
    Expired,   /* signed, but stamped before the oldest time a worker still carries out */
};
/* Checks a job taken from queue and points payload at the job inside the envelope. With
 * oldest above 0, a signed job stamped before it is Expired: whoever kept a copy of a job
 * cannot have it carried out again after that. */
JobCheck open_job(const char *queue, const char *data, size_t size, const char **payload, size_t *payload_size,
                  time_t oldest = 0);
const char *job_check_text(JobCheck check);

}  // namespace vt

#endif
