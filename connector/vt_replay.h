/* Delayed message replay and the command relay: the two single children of the daemon. */
#ifndef VT_REPLAY_H
#define VT_REPLAY_H

#ifdef __cplusplus
extern "C" {
#endif

/* Carries out every message of the dump file name (relative to the delayed-messages
 * directory) and deletes the file once it was read to its end. Returns the number of
 * messages carried out. A notification that may not run (the switch to vtuser failed
 * while running as root) stops the file: its lines from that one on are kept in the file
 * for a later pass. */
int vt_process_delayed_file(const char *name);

/* Runs one replayed notification command line in a child switched to user and group
 * "vtuser". 0 when it ran (whatever its result), -2 when it was refused: the switch
 * failed while running as root, and nothing is ever run as root. */
int vt_replay_notification(const char *command);

/* Writes one command line into the engine's command pipe. 0 when the whole line was
 * written; -2 when the pipe is missing, not a named pipe, has no reader, or the line could
 * not be written whole. */
int vt_write_to_cmd_pipe(const char *text);

#ifdef __cplusplus
}
#include <string>
/* The line written for a command text: "\'" becomes "'", "\\" one backslash, and the line
 * ends in exactly one line feed (those at the end of the text collapse into it). */
std::string vt_command_line_for_pipe(const char *text);
#endif

#endif
