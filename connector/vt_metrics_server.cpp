/* The metrics child: serves the daemon's shared counters over HTTP, one short request at a time. */
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

/* Off unless configured: the sample configuration turns it on for 127.0.0.1:9473. */
std::string VT_METRICS_LISTEN;

namespace {
/* A client gets this long for its request and for reading the answer: the child serves one at
 * a time, so a slow or idle client must not hold the page from the others for longer. */
constexpr int kClientMs = 2000;
constexpr size_t kMaxRequest = 8192;
constexpr int kRetryBindSeconds = 60;

long long monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

/* Splits "host:port" or "[v6 address]:port". */
bool split_listen(const std::string &text, std::string &host, std::string &port)
{
    size_t colon;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = text.substr(0, colon);
    }
    port = text.substr(colon + 1);
    return !host.empty() && !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

/* A listening socket on the configured address, or an empty Fd with why set. */
vt::Fd listen_on(const std::string &listen_text, std::string &why)
{
    std::string host, port;
    if (!split_listen(listen_text, host, port)) {
        why = "it is not host:port (for example 127.0.0.1:9473)";
        return vt::Fd();
    }
    struct addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    struct addrinfo *found = nullptr;
    const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (gai != 0) {
        why = vt::format("%s (give a numeric address)", gai_strerror(gai));
        return vt::Fd();
    }
    struct AddrFreer { void operator()(struct addrinfo *a) const noexcept { freeaddrinfo(a); } };
    std::unique_ptr<struct addrinfo, AddrFreer> guard(found);
    vt::Fd fd(socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (!fd || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 || listen(fd.get(), 16) != 0) {
        why = std::strerror(errno);
        return vt::Fd();
    }
    return fd;
}

/* Dump files the replay has still to read: regular files of the folder, never followed
 * through a link, without those moved aside as rejected. */
vt::metrics::Waiting dump_files_waiting()
{
    vt::metrics::Waiting w;
    DIR *dir = opendir(VT_DELAYED_DIR);
    if (!dir)
        return w;
    struct DirCloser { void operator()(DIR *d) const noexcept { closedir(d); } };
    std::unique_ptr<DIR, DirCloser> guard(dir);
    while (struct dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        if (name.size() >= 9 && name.compare(name.size() - 9, 9, ".rejected") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            ++w.files;
            w.bytes += static_cast<uint64_t>(st.st_size);
        }
    }
    return w;
}

/* Waits until fd is ready for events or the deadline passes. */
bool wait_ready(int fd, short events, long long deadline)
{
    for (;;) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool send_all(int fd, const std::string &text, long long deadline)
{
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
        if (n > 0) {
            at += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(fd, POLLOUT, deadline))
            continue;
        return false;
    }
    return true;
}

std::string response(int code, const char *reason, const char *type, const std::string &body)
{
    return vt::format("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n", code,
                      reason, type, body.size()) +
           body;
}

/* Reads one request head and answers it: GET /metrics gets the page, anything else 404 or 405. */
void serve_client(int fd)
{
    const long long deadline = monotonic_ms() + kClientMs;
    std::string request;
    char chunk[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.find("\n\n") == std::string::npos) {
        if (request.size() >= kMaxRequest || !wait_ready(fd, POLLIN, deadline))
            return;
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return;
        request.append(chunk, static_cast<size_t>(n));
    }
    const std::string line = request.substr(0, request.find_first_of("\r\n"));
    const size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
    const std::string method = line.substr(0, sp1);
    std::string target = sp1 == std::string::npos ? std::string() : line.substr(sp1 + 1, sp2 - sp1 - 1);
    target = target.substr(0, target.find('?'));
    std::string answer;
    if (method != "GET" && method != "HEAD")
        answer = response(405, "Method Not Allowed", "text/plain", "only GET\n");
    else if (target != "/metrics")
        answer = response(404, "Not Found", "text/plain", "the counters are at /metrics\n");
    else
        answer = response(200, "OK", "text/plain; version=0.0.4; charset=utf-8",
                          vt::metrics::render(dump_files_waiting(), time(nullptr)));
    if (method == "HEAD")
        answer.erase(answer.find("\r\n\r\n") + 4);
    send_all(fd, answer, deadline);
}

[[noreturn]] void serve()
{
    vt_logf("serving metrics on %s - pid %d", VT_METRICS_LISTEN.c_str(), static_cast<int>(getpid()));
    for (;;) {
        std::string why;
        vt::Fd listener = listen_on(VT_METRICS_LISTEN, why);
        if (!listener) {
            /* Another program on the port, or an address this host lacks: the rest of the
             * daemon works on without the page, and the child tries again now and then. */
            vt_logf("ERROR metrics: cannot listen on %s (metrics_listen in %s): %s; set another address, or "
                    "metrics_listen=off; trying again in %d s",
                    VT_METRICS_LISTEN.c_str(), VT_CONNECTOR_CONF, why.c_str(), kRetryBindSeconds);
            vt_sleep_seconds(kRetryBindSeconds);
            continue;
        }
        for (;;) {
            pollfd p{listener.get(), POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                continue;
            vt::Fd client(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (client)
                serve_client(client.get());
        }
    }
}
}  // namespace

extern "C" int vt_metrics_enabled(void)
{
    return !VT_METRICS_LISTEN.empty() && VT_METRICS_LISTEN != "off" && VT_METRICS_LISTEN != "0";
}

extern "C" pid_t vt_metrics_dispatcher(void)
{
    return vt::guarded("vt_metrics_dispatcher", static_cast<pid_t>(-1), [] {
        return vt_fork_child("metrics child", "ERROR Could not fork for the metrics child", [] {
            serve();
            return 0;
        });
    });
}
