/* In-memory store-and-forward queue of jobs the job server refused, with its dump file. */
#ifndef VT_DELAYED_H
#define VT_DELAYED_H

#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One refused job. Owned by the queue while linked, by whoever popped it afterwards. */
struct delayed_msg {
    char *job;               /* private copy of the job text */
    char *queue;             /* private copy of the queue (function) name */
    int rc;                  /* return code of the failed submission */
    struct timeval *queued;  /* when it was queued, in an allocation of its own */
    struct delayed_msg *next;  /* next younger message */
    struct delayed_msg *prev;  /* next older message */
};

/* Most bytes of job text (counted as dump lines) the queue holds while it cannot be dumped;
 * beyond it the oldest messages are dropped, and a log line (at most one a minute) counts them. */
#define VT_DELAYED_MAX_BYTES (64L * 1024 * 1024)

/* Copies both strings and appends a message. 0 queued; 1 out of memory (not queued); or
 * 1 when the dump that a full queue (10 messages) triggered failed, in which case nothing
 * was dumped and the new message is queued behind the others all the same. After a failed
 * dump the next one is tried no sooner than a second later; pushes meanwhile return 1. */
int push_msg(const char *queue, const char *job, int rc);
/* Unlinks and returns the oldest message (NULL when empty); release it with destroy_delayed. */
struct delayed_msg *pop_msg(void);
/* The oldest message without unlinking it, or NULL. */
struct delayed_msg *get_root(void);
int get_count_delayed(void);
/* Appends every queued message to the dump file and moves that file into the
 * delayed-messages directory. 0 dumped (or nothing to dump); 1 on failure, with every
 * message still queued and no partial line left behind. Never waits for the dump file's
 * lock: when another process holds it, that is a failure like any other. */
int dump_msgs(void);
/* Allocates an empty record and its time value into *msg. 0, or 1 when out of memory. */
int create_delayed(struct delayed_msg **msg);
/* Releases a record and what it owns; NULL is ignored. */
void destroy_delayed(struct delayed_msg *msg);
/* Pops and releases every queued message. */
void destroy_all_delayed(void);
/* For a freshly forked child: start with an empty queue of its own, leaving the records
 * inherited from the parent untouched (they are the parent's to deliver). */
void vt_delayed_forget_inherited(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>

/* One message of a dump file as its line, line feed included. Raw dump lines ("queue\tjob\n")
 * broke apart at a line feed in the job; a line now begins with the escape character '\\' and
 * holds the queue name and the job with '\\', line feed and carriage return (and a tab in
 * the queue name) escaped, so that it is always exactly one line. */
std::string vt_dump_line(const char *queue, const char *job);

/* A dump line (its line feed removed) taken apart into queue name and job text. A line that
 * begins with the escape character is decoded (marked is set); any other is a raw line of the
 * old form, split at its first tab and taken as it is. */
struct vt_dump_message {
    std::string queue;
    std::string job;
    bool marked = false;
};
vt_dump_message vt_parse_dump_line(const std::string &line);
#endif

#endif
