/* External command relay: commands queued in vantor4.vantor_cmd written into the engine's command pipe. */
#include "vt_connector.h"
#include "vt_replay.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vt_safe_file.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* While a started command waits for the engine to read, one line this often says so. */
constexpr std::chrono::seconds kReportWaitEvery(10);

/* Opens the command pipe for writing without blocking; an invalid Fd when no process has it
 * open for reading, or when what the path names is not a named pipe of its own: the engine's
 * user may write below var/, so neither var/rw nor the pipe is followed through a link, and
 * the descriptor opened is the one checked (the helper logs a refusal). */
vt::Fd open_command_pipe()
{
    return vt::safe::open_file(VT_CMD_PIPE, O_WRONLY, 0, vt::safe::Kind::Fifo);
}

/* Writes all of line, or nothing. A line up to PIPE_BUF is one write, which a full pipe
 * refuses whole. Once the first byte of a longer line is in the pipe the rest must follow,
 * since a half line left there would be glued to the next command: it waits for the engine
 * to read, however long that takes, logging every 10 s meanwhile. Only a reader that has
 * gone (EPIPE) or a write error ends it early. */
bool write_line(int fd, const std::string &line)
{
    size_t done = 0;
    auto next_report = std::chrono::steady_clock::now() + kReportWaitEvery;
    auto waiting_since = std::chrono::steady_clock::now();
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
            auto now = std::chrono::steady_clock::now();
            if (now >= next_report) {
                vt_logf("ERROR command pipe %s: the engine has not read for %lds, %zu of %zu bytes of a command "
                        "written, waiting to finish it",
                        VT_CMD_PIPE,
                        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - waiting_since).count()),
                        done, line.size());
                next_report = now + kReportWaitEvery;
            }
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (done > 0)
            vt_logf("ERROR command pipe %s: command cut after %zu of %zu bytes: %s", VT_CMD_PIPE, done, line.size(),
                    std::strerror(errno));
        return false;
    }
    return true;
}

/* A row's command text, and why it may not be relayed ("" when it may). One row is one
 * engine command: a line feed, carriage return or NUL before the end would make the engine
 * read more than one. Line ends at the very end are dropped; the relay writes its own. */
std::string row_command(const char *text, unsigned long length, std::string &refusal)
{
    std::string command(text, length);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r' || command.back() == '\0'))
        command.pop_back();
    size_t bad = command.find_first_of(std::string("\n\r\0", 3));
    if (bad != std::string::npos)
        refusal = command[bad] == '\n' ? "a line feed" : command[bad] == '\r' ? "a carriage return" : "a NUL byte";
    return command;
}

/* Shows a refused text on one log line: control characters as \n, \r, \0, \xHH. */
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\0')
            out += "\\0";
        else if (c < 0x20 || c == 0x7f)
            out += vt::format("\\x%02x", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

void delete_row(const char *id)
{
    std::string del = vt::format("delete from vantor_cmd where id='%s'", vt_escape_sql_text(id).c_str());
    int del_status = 0;
    vt::Result del_res(db_query_exec(del.c_str(), "vantor4", &del_status, 1));
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
            unsigned long *lengths = mysql_fetch_lengths(res.get());
            std::string refusal;
            std::string command = row_command(row[2], lengths ? lengths[2] : std::strlen(row[2]), refusal);
            if (!refusal.empty()) {
                vt_logf("ERROR vantor_cmd row %s not relayed, its command holds %s: %s", row[0], refusal.c_str(),
                        printable(std::string(row[2], lengths ? lengths[2] : std::strlen(row[2]))).c_str());
                delete_row(row[0]);
                continue;
            }
            if (vt_write_to_cmd_pipe(command.c_str()) == -2)
                break;
            delete_row(row[0]);
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
    /* Line feeds at the end collapse into the one that ends the line. */
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
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
    return vt_fork_child("external command process", "ERROR Could not fork for external command processing", [] {
        /* An engine closing its pipe between the probe and a write must fail that write, not
         * end the child; the supervisor's own signal handling is not the child's. */
        signal(SIGPIPE, SIG_IGN);
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        vt_logf("processing external commands - pid %d", static_cast<int>(getpid()));
        db_connect();
        relay_forever();
        return 0;
    }, false);
}
