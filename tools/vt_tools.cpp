/* Helpers shared by the operator's tools: quiet runtime set-up, bounded connections to the
 * database and the job servers, and the daemon's job-server list. */
#include "vt_tools.h"
#include "vt_db.h"
#include "vt_log.h"
#include "vantor_config.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace vt::tools {

bool parse_job_server(const std::string &text, int default_port, JobServer &out)
{
    std::string host = text, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            port = text.substr(close + 2);
        }
    } else if (size_t colon = text.find(':'); colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty())
            return false;
    }
    if (host.empty())
        return false;
    out.host = host;
    out.port = default_port;
    if (!port.empty()) {
        out.port = vt_job_server_port(port.c_str());
        if (out.port == 0)
            return false;
    }
    return true;
}

bool init_quiet_runtime(const char *name)
{
    static std::string module, log = "/dev/null";
    module = name;
    VTMODULE = &module[0];
    logfile = &log[0];
    logfile_aux = &log[0];
    return parse_db_conf() == 0;
}

Connection connect_db(int timeout, std::string &err)
{
    Connection db(mysql_init(nullptr));
    if (!db) {
        err = "out of memory";
        return db;
    }
    unsigned int t = static_cast<unsigned int>(timeout);
    mysql_options(db.get(), MYSQL_OPT_CONNECT_TIMEOUT, &t);
    mysql_options(db.get(), MYSQL_OPT_READ_TIMEOUT, &t);
    mysql_options(db.get(), MYSQL_OPT_WRITE_TIMEOUT, &t);
    vt_db_refuse_local_files(db.get());
    if (!mysql_real_connect(db.get(), DBHOST, DBUSER, DBPASS, "vantor4",
                            static_cast<unsigned int>(std::strtoul(DBPORT, nullptr, 10)), nullptr, 0)) {
        err = vt::format("%s (%s port %s)", mysql_error(db.get()), DBHOST, DBPORT);
        db.reset();
    }
    return db;
}

Fd connect_tcp(const std::string &host, int port, int timeout, std::string &err)
{
    return connect_tcp_ms(host, port, timeout * 1000, err);
}

Fd connect_tcp_ms(const std::string &host, int port, int timeout_ms, std::string &err)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    auto left_ms = [&] {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long spent = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        return static_cast<int>(std::max(0LL, timeout_ms - spent));
    };
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        err = gai_strerror(rc);
        return Fd();
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo *)> list(found, freeaddrinfo);
    err = "no address";
    for (addrinfo *a = found; a; a = a->ai_next) {
        Fd fd(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            err = std::strerror(errno);
            continue;
        }
        if (connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                err = std::strerror(errno);
                continue;
            }
            pollfd p{fd.get(), POLLOUT, 0};
            int soerr = 0;
            socklen_t len = sizeof soerr;
            if (poll(&p, 1, left_ms()) != 1) {
                err = "connection timed out";
                continue;
            }
            if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr != 0) {
                err = std::strerror(soerr ? soerr : errno);
                continue;
            }
        }
        int flags = fcntl(fd.get(), F_GETFL);
        fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        const int left = std::max(left_ms(), 1);
        timeval tv{left / 1000, (left % 1000) * 1000};
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        return fd;
    }
    return Fd();
}

std::vector<JobServer> configured_job_servers(MYSQL *db)
{
    if (db && mysql_query(db, "select * from vtcfg.job_servers") == 0) {
        vt::Result res(mysql_store_result(db));
        return job_servers_from(res.get());
    }
    return job_servers_from(nullptr);
}

std::vector<JobServer> job_servers_from(MYSQL_RES *res)
{
    std::vector<JobServer> out;
    unsigned fields = res ? mysql_num_fields(res) : 0;
    long rows = 0;
    while (MYSQL_ROW row = res ? mysql_fetch_row(res) : nullptr) {
        ++rows;
        if (fields > 1 && row[1]) {
            int port = fields > 2 ? vt_job_server_port(row[2]) : 0;
            out.push_back({row[1], port > 0 ? port : VANTOR_GEARMAN_PORT});
        }
    }
    if (rows == 0)
        out.push_back({"127.0.0.1", VANTOR_GEARMAN_PORT});
    return out;
}

}  // namespace vt::tools
