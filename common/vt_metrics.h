/* Counters of the daemon's processes, kept in memory they all share and served as Prometheus text. */
#ifndef VT_METRICS_H
#define VT_METRICS_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace vt::metrics {

/* The queues the workers serve; a process counts for the one it registered with. */
enum Queue { kStatus, kStatusPri, kPerfdata, kNotify, kQueues };
/* Why a worker refused a job without carrying out any of it. */
enum Refusal { kUnsigned, kBadSignature, kExpired, kOversized, kTooManyMessages, kRefusals };
/* The supervisor's child kinds, for the restart counter. */
enum Child { kCommandRelay, kReplay, kStatusPriWorker, kPerfdataWorker, kNotifyWorker, kStatusWorker,
             kRetention, kMetricsServer, kChildren };

/* Maps the block every process of the daemon adds to. The supervisor calls it once, before it
 * forks its first child, so that each child inherits the same pages; a process that never calls
 * it (a test of one unit, a tool) counts into memory of its own. Never throws. */
void init() noexcept;

/* Which queue this process counts for (a worker, after it registered); unknown names count
 * nowhere. */
void set_queue(const char *queue) noexcept;

/* A job taken off the job server; signed_at is the time stamp its signature covers (0 when the
 * job carries none), from which the wait in the job server is measured. */
void job_taken(time_t signed_at) noexcept;
void job_refused(Refusal why) noexcept;
/* A job's messages carried out (or kept): the batch's time, and its age at that moment. */
void job_done(size_t messages, double seconds, time_t signed_at) noexcept;
/* A statement or record kept in a failed-SQL file instead of landing. */
void message_failed() noexcept;
/* Performance values stored in their table. */
void values_stored(uint64_t n) noexcept;
/* Notification commands run, and those that failed or ran out of time. */
void command_run(bool failed) noexcept;
void child_restarted(Child kind) noexcept;
void retention_deleted(uint64_t rows) noexcept;

/* Dump files waiting in the delayed-messages folder, as the page shows them. */
struct Waiting {
    uint64_t files = 0, bytes = 0;
};

/* The whole page in the Prometheus text exposition format (version 0.0.4). */
std::string render(const Waiting &waiting, time_t now);

}  // namespace vt::metrics

#endif
