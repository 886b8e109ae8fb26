/* Helpers shared by the operator's tools: quiet runtime set-up, bounded connections to the
 * database and the job servers, and the daemon's job-server list. */
#ifndef VT_TOOLS_H
#define VT_TOOLS_H

#include "vt_util.h"

#include <memory>
#include <mysql.h>
#include <string>
#include <vector>

namespace vt::tools {

struct JobServer {
    std::string host;
    int port = 0;
};

/* "host", "host:port" or "[v6addr]:port"; the port defaults to default_port. false on a
 * malformed text or a port outside 1..65535. */
bool parse_job_server(const std::string &text, int default_port, JobServer &out);

/* Sets the module name and a log that goes nowhere (a tool reports on its own output, not
 * in the daemon's log), then reads db.php. false when db.php cannot be read. */
bool init_quiet_runtime(const char *name);

struct MysqlCloser { void operator()(MYSQL *m) const noexcept { if (m) mysql_close(m); } };
using Connection = std::unique_ptr<MYSQL, MysqlCloser>;

/* A connection of its own with the db.php parameters, bounded by timeout seconds for the
 * connect and for each read and write. Null with the reason in err. */
Connection connect_db(int timeout, std::string &err);

/* A TCP connection to host:port within timeout seconds, with reads and writes bounded by the
 * same time. An empty Fd with the reason in err. */
Fd connect_tcp(const std::string &host, int port, int timeout, std::string &err);
/* The same within timeout_ms milliseconds (all addresses of host together). */
Fd connect_tcp_ms(const std::string &host, int port, int timeout_ms, std::string &err);

/* The job servers the daemon's workers use: vtcfg.job_servers as the daemon reads it, or
 * 127.0.0.1 when the table is empty or cannot be read (db may be null). */
std::vector<JobServer> configured_job_servers(MYSQL *db);
/* The same from the rows of "select * from vtcfg.job_servers" (res may be null). */
std::vector<JobServer> job_servers_from(MYSQL_RES *res);

}  // namespace vt::tools

#endif
