/* The one way the daemon starts a child: fork, run the child's body guarded, end with _exit. */
#include "vt_connector.h"
#include "vt_log.h"

#include <exception>
#include <unistd.h>

pid_t vt_fork_child(const char *what, const char *fork_error, const std::function<int()> &body, bool in_foreground)
{
    pid_t pid = in_foreground ? 0 : fork();
    if (pid < 0) {
        vt_write_to_log(fork_error);
        return pid;
    }
    if (pid > 0)
        return pid;
    int code = 1;
    try {
        code = body();
    } catch (const std::exception &e) {
        vt_logf("ERROR %s ends: %s", what, e.what());
    } catch (...) {
        vt_logf("ERROR %s ends: unknown exception", what);
    }
    _exit(code);
}
