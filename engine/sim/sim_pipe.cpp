// Command pipe of the simulated engine: a named pipe read line by line without blocking.
#include "sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sim {

CommandPipe::~CommandPipe() { close(); }

bool CommandPipe::open(const std::string &path, std::string &error) {
    close();
    path_ = path;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            error = path + " exists and is not a named pipe";
            return false;
        }
    } else {
        if (mkfifo(path.c_str(), 0660) != 0) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        created_ = true;
    }
    read_fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (read_fd_ < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    keep_fd_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return true;
}

void CommandPipe::poll(int timeout_ms, const std::function<void(const std::string &)> &on_line) {
    if (read_fd_ < 0) {
        if (timeout_ms > 0)
            usleep(static_cast<useconds_t>(timeout_ms) * 1000);
        return;
    }
    struct pollfd p = {read_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN))
        return;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(read_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        pending_.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (!line.empty())
            on_line(line);
    }
    // A line longer than any command is noise; do not let it grow without bound.
    if (pending_.size() > 65536)
        pending_.clear();
}

void CommandPipe::close() {
    if (keep_fd_ >= 0)
        ::close(keep_fd_);
    if (read_fd_ >= 0)
        ::close(read_fd_);
    keep_fd_ = read_fd_ = -1;
    if (created_)
        unlink(path_.c_str());
    created_ = false;
    pending_.clear();
}

}  // namespace sim
