/* External command relay: commands queued in vantor4.vantor_cmd written into the engine's command pipe. */
#include "vt_connector.h"
#include "vt_replay.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* How long a line that did not fit into the pipe at once may take to be finished. The
 * engine reads its pipe continuously; a reader that stays stuck this long has stopped. */
constexpr std::chrono::seconds kFinishLineWithin(10);

/* Opens the command pipe for writing without blocking; an invalid Fd when the path is not
 * a named pipe or no process has it open for reading. */
vt::Fd open_command_pipe()
{
    struct stat st;
    /* Checked before opening: opening something else (a device, say) may have effects. */
    if (stat(VT_CMD_PIPE, &st) != 0 || !S_ISFIFO(st.st_mode))
        return vt::Fd();
    return vt::Fd(open(VT_CMD_PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
}

/* Writes all of line. A line up to the pipe's atomic size arrives in one write or not at
 * all; a longer one may be taken in part, and then the rest is written as the engine
 * reads, since a half line left in the pipe would be glued to the next command. */
bool write_line(int fd, const std::string &line)
{
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + kFinishLineWithin;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        /* Nothing written yet: a full pipe fails the line, which stays for the next pass. */
        if (n < 0 && errno == EAGAIN && done > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        return false;
    }
    return true;
}

/* One relay pass over the command table; the caller holds the probe that proves a reader. */
void relay_pass()
{
    int status = 0;
    vt::Result res(db_query_exec("select * from vantor_cmd", "vantor4", &status, 1));
    if (status != 0 || !res)
        return;
    int count = 0;
    if (mysql_num_fields(res.get()) >= 3) {
        while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
            if (!row[2] || !row[0])
                continue;
            if (vt_write_to_cmd_pipe(row[2]) == -2)
                break;
            std::string del = vt::format("delete from vantor_cmd where id='%s'", vt_escape_sql_text(row[0]).c_str());
            int del_status = 0;
            vt::Result del_res(db_query_exec(del.c_str(), "vantor4", &del_status, 1));
            ++count;
        }
    }
    if (count != 0)
        vt_logf("processed %d external commands", count);
}

[[noreturn]] void relay_forever()
{
    for (;;) {
        try {
            vt::Fd probe = open_command_pipe();
            if (probe)
                relay_pass();
        } catch (const std::exception &e) {
            vt_logf("ERROR external command pass failed: %s", e.what());
        }
        vt_sleep_seconds(sleep_time);
    }
}

}  // namespace

/* The line as the engine reads it: "\'" becomes "'" and "\\" one backslash, and the line
 * ends in exactly the line feed it needs. */
std::string vt_command_line_for_pipe(const char *text)
{
    std::string line;
    for (const char *p = text; *p; ++p) {
        if (p[0] == '\\' && (p[1] == '\'' || p[1] == '\\')) {
            line += p[1];
            ++p;
        } else {
            line += *p;
        }
    }
    /* Whenever the text does not end in a line feed, one is added: a text with an inner
     * line feed only would otherwise run into the next command. */
    if (line.empty() || line.back() != '\n')
        line += '\n';
    return line;
}

extern "C" int vt_write_to_cmd_pipe(const char *text)
{
    try {
        vt::Fd fd = open_command_pipe();
        if (!fd)
            return -2;
        return write_line(fd.get(), vt_command_line_for_pipe(text ? text : "")) ? 0 : -2;
    } catch (...) {
        return -2;
    }
}

extern "C" pid_t vt_external_command_dispatcher(void)
{
    pid_t pid = fork();
    if (pid < 0) {
        vt_write_to_log("ERROR Could not fork for external command processing");
        return pid;
    }
    if (pid > 0)
        return pid;
    /* An engine closing its pipe between the probe and a write must fail that write, not
     * end the child; the supervisor's own signal handling is not the child's. */
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    vt_logf("processing external commands - pid %d", static_cast<int>(getpid()));
    db_connect();
    relay_forever();
}
