/* Database access: db.php parsing, the one connection of the process, statements with
 * reconnect and retry, escaping, the failed-SQL file and the job-server list. */
#include "vt_db.h"
#include "vt_log.h"
#include "vt_metrics.h"
#include "vt_safe_file.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <errmsg.h>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

char DBHOST[256] = "";
char DBUSER[256] = "";
char DBPASS[256] = "";
char DBPORT[256] = "";
MYSQL dbHandle;
struct job_server_node *job_servers_root = nullptr;
struct job_server_node *job_servers_end = nullptr;
unsigned int vt_db_io_timeout = 0;

namespace {

constexpr unsigned kDuplicateKey = 1062;

/* Whether dbHandle holds an open connection, and which process opened it. Pinging or
 * closing a handle that is not open would touch freed state. A connection inherited
 * through fork shares its socket with the parent: closing it would end the parent's
 * session too, so a child only forgets such a handle, while a process replacing a
 * connection of its own closes it instead of leaking it. */
bool db_open = false;
pid_t db_owner = 0;
/* The schema the open connection has selected. Selecting it again for every statement
 * would cost a round trip each time and change nothing. */
std::string selected_schema;
/* The client library's text of the last failure (connect, schema or statement), for callers
 * that report it in a line of their own. */
std::string last_error;

/* When the connection last answered. A connection in steady use is known to be alive;
 * only one that has been idle longer than this is pinged before the next statement. A
 * statement that still finds it gone reconnects (run_statement). */
std::chrono::steady_clock::time_point last_alive;
constexpr std::chrono::milliseconds kPingAfterIdle(1000);

/* Errors that mean the session itself is gone, not that the statement was wrong: lost
 * socket, ended session (1927), server shutting down (1053). */
bool connection_gone(unsigned err)
{
    return err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST || err == 1927 || err == 1053;
}

/* The client library reports 2006 only when it could not send the command at all (no
 * socket, or the write failed). Every other way of losing the session may come after the
 * server has read, and perhaps executed, the statement. */
bool never_sent(unsigned err)
{
    return err == CR_SERVER_GONE_ERROR;
}

/* Whether the server has closed this idle connection (or written to it, which on an idle
 * connection is only ever the notice that it is closing it), found without a round trip.
 * A statement sent on such a socket might still be written, and the loss would show only
 * as a lost reply, which cannot be told from one lost after the statement ran. */
bool server_closed()
{
    int fd = static_cast<int>(mysql_get_socket(&dbHandle));
    if (fd < 0)
        return true;
    struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && p.revents != 0;
}

bool connection_alive()
{
    if (!db_open)
        return false;
    if (server_closed())
        return false;
    if (std::chrono::steady_clock::now() - last_alive < kPingAfterIdle)
        return true;
    if (mysql_ping(&dbHandle) != 0)
        return false;
    last_alive = std::chrono::steady_clock::now();
    return true;
}

void release_handle()
{
    if (db_open && db_owner == getpid())
        mysql_close(&dbHandle);
    db_open = false;
    selected_schema.clear();
}

const char *module_name() { return VTMODULE ? VTMODULE : ""; }

/* A handle that is initialised once and never connected: escaping needs only a character
 * set, and the module escapes for its whole life after closing its load-time connection. */
MYSQL escape_mysql;
bool escape_ready = false;

MYSQL *escape_handle()
{
    if (!escape_ready) {
        mysql_init(&escape_mysql);
        escape_ready = true;
    }
    return &escape_mysql;
}

/* The escape handle is made again on the next use; releasing it with the connection
 * keeps a module that is unloaded from leaving it behind in the engine. */
void release_escape_handle()
{
    if (escape_ready) {
        mysql_close(&escape_mysql);
        escape_ready = false;
    }
}

/* Copies the value of key from a db.php piece: the text between the first and the second
 * quote character after the key; with a single quote, the rest of the piece less its
 * last character; without any quote the value is left as it was. */
void take_value(const char *piece, const char *key, char *value)
{
    const char *p = std::strstr(piece, key);
    if (!p)
        return;
    char out[256];
    size_t n = 0;
    int quotes = 0;
    for (; *p && n < sizeof out - 1; ++p) {
        if (*p == '\'' || *p == '"') {
            ++quotes;
            if (quotes == 2) {
                out[n++] = *p;
                break;
            }
            continue;
        }
        if (quotes == 1)
            out[n++] = *p;
    }
    if (quotes == 0)
        return;
    if (n > 0)
        --n;  /* the closing quote, or the piece's last character */
    out[n] = '\0';
    std::memcpy(value, out, n + 1);
}

void log_select_failure(const char *schema, int r, const char *query, size_t length)
{
    vt_logf("%s: MYSQL ERROR: Unable to select database %s; Retval %d; %.*s", module_name(), schema, r,
            static_cast<int>(length), query);
}

/* Selects schema unless the connection has it selected already. A selection that finds the
 * session gone reconnects once and selects again: the statement itself has not been sent
 * yet, so nothing can run twice. Logs a failure whatever the caller's log flag says. */
bool select_schema(const char *schema, const char *query, size_t length, bool *reconnected)
{
    if (selected_schema == schema)
        return true;
    int r = mysql_select_db(&dbHandle, schema);
    if (r != 0 && connection_gone(mysql_errno(&dbHandle)) && !*reconnected) {
        *reconnected = true;
        db_disconnect();
        if (db_connect() != 0)
            return false;
        r = mysql_select_db(&dbHandle, schema);
    }
    if (r != 0) {
        selected_schema.clear();
        last_error = mysql_error(&dbHandle);
        log_select_failure(schema, r, query, length);
        return false;
    }
    selected_schema = schema;
    return true;
}

/* The error of the last statement sent, kept apart from the handle: a lost session releases
 * the handle, and with it the text a caller would read. */
unsigned last_errno = 0;
std::string last_error_text;

void remember_error(unsigned err)
{
    last_errno = err;
    last_error_text = err ? mysql_error(&dbHandle) : "";
}

MYSQL_RES *run_statement(const char *query, const char *schema, int *status, int log_error, size_t length)
{
    last_errno = 0;
    last_error_text.clear();
    int st = 0;
    if (!status)
        status = &st;
    *status = -2;
    if (!schema)
        return nullptr;
    if (!connection_alive()) {
        db_disconnect();
        if (db_connect() != 0)
            return nullptr;
    }
    bool reconnected = false;
    if (!select_schema(schema, query, length, &reconnected))
        return nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (mysql_real_query(&dbHandle, query, static_cast<unsigned long>(length)) == 0)
            break;
        unsigned e = mysql_errno(&dbHandle);
        if (e == kDuplicateKey)
            break;
        if (!connection_gone(e))
            continue;
        /* The session went away since it was last known alive (the server restarted or
         * ended it). Only a statement that never left this process is run again, on a new
         * connection; one that may have reached the server may also have been executed, and
         * running it again could store a row twice, so it fails here and the caller keeps
         * it. Either way the next statement starts on a fresh connection. */
        if (!never_sent(e) || reconnected) {
            break;
        }
        reconnected = true;
        db_disconnect();
        if (db_connect() != 0)
            return nullptr;
        if (!select_schema(schema, query, length, &reconnected))
            return nullptr;
    }
    unsigned err = mysql_errno(&dbHandle);
    remember_error(err);
    if (err == 0 || err == kDuplicateKey) {
        last_alive = std::chrono::steady_clock::now();
        *status = 0;
        return err == 0 ? mysql_store_result(&dbHandle) : nullptr;
    }
    std::string error_text = mysql_error(&dbHandle);
    last_error = error_text;
    if (connection_gone(err))
        release_handle();
    selected_schema.clear();  /* whatever failed, select afresh next time */
    if (log_error == 1)
        vt_logf("%s: MYSQL ERROR: mysql_query;%u;%s;%.*s", module_name(), err, error_text.c_str(),
                static_cast<int>(length), query);
    return nullptr;
}

/* Holds an exclusive lock on an open file for as long as it lives, when one could be had
 * within the bounded wait of vt::safe::lock_briefly: another process, of any user that may
 * read the file, must not stall the workers. */
class FileLock {
public:
    FileLock(int fd, const char *path)
    {
        if (vt::safe::lock_briefly(fd, path))
            fd_ = fd;
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace

bool vt_append_line(const char *path, const char *text) noexcept
{
    if (!path)
        return false;
    try {
        std::string line = text ? text : "";
        line += '\n';
        /* Below var/, which the engine's user may write: never through a link, never into a
         * pipe or a second name of another file (the helper logs such a refusal). */
        vt::Fd fd = vt::safe::open_file(path, O_WRONLY | O_APPEND | O_CREAT, 0640);
        if (!fd) {
            int e = errno;
            vt_logf("ERROR Could not open %s for append - %s - lost: %s", path, std::strerror(e), text ? text : "");
            return false;
        }
        /* Processes that append here hold the lock while they write, so that a line cut
         * short (a full disk) can be taken back before anyone appends behind it. One write
         * of the whole line on an O_APPEND descriptor already keeps lines of concurrent
         * writers from splicing into each other. */
        /* Failed statements and perfdata hold the plugins' texts: root's and the folder's
         * group's only, also where an earlier version made the file wider. */
        vt::safe::narrow_mode(fd.get(), 0640);
        FileLock lock(fd.get(), path);
        struct stat before;
        if (fstat(fd.get(), &before) != 0)
            before.st_size = -1;
        ssize_t n = write(fd.get(), line.data(), line.size());
        if (n == static_cast<ssize_t>(line.size()))
            return true;
        int e = n < 0 ? errno : 0;
        size_t done = n > 0 ? static_cast<size_t>(n) : 0;
        if (done > 0 && lock.held()) {
            if (vt::write_all(fd.get(), line.substr(done)))
                return true;
            e = errno;
        }
        if (done > 0) {
            /* Take the fragment back, unless something was appended behind it (possible only
             * without the lock): cutting there would destroy another line. */
            off_t end = lseek(fd.get(), 0, SEEK_CUR);
            struct stat now;
            if (end >= 0 && fstat(fd.get(), &now) == 0 && now.st_size == end) {
                off_t start = lock.held() && before.st_size >= 0 ? before.st_size : end - static_cast<off_t>(done);
                if (ftruncate(fd.get(), start) != 0 && e == 0)
                    e = errno;
            }
        }
        if (e == 0)
            e = ENOSPC;  /* a write that made no progress and set no error: the disk is full */
        line.pop_back();
        vt_logf("ERROR Could not append to %s - %s - lost: %s", path, std::strerror(e), line.c_str());
        return false;
    } catch (...) {
        vt::log_caught("vt_append_line");
        return false;
    }
}

extern "C" int parse_db_conf(void)
{
    return vt::guarded("parse_db_conf", -2, [] {
        vt::File f(std::fopen(VT_DB_CONF_FILE, "r"));
        if (!f) {
            vt_logf("vtdb: Could no opne file %s", VT_DB_CONF_FILE);
            return -2;
        }
        char piece[256];
        while (std::fgets(piece, sizeof piece, f.get())) {
            take_value(piece, "DBHOST", DBHOST);
            take_value(piece, "DBUSER", DBUSER);
            take_value(piece, "DBPASS", DBPASS);
            take_value(piece, "DBPORT", DBPORT);
        }
        if (DEBUG)
            std::printf("Database parameters: %s - %s - %s\n", DBHOST, DBUSER, DBPASS);
        return 0;
    });
}

namespace {
/* Escaping works on the client side and assumes backslash escapes: a session whose sql_mode
 * holds NO_BACKSLASH_ESCAPES would read an escaped quote as the end of the text. The flag is
 * taken out of the session's mode; every other flag the server set stays. */
const char kClearNoBackslashEscapes[] =
    "SET SESSION sql_mode = TRIM(BOTH ',' FROM REPLACE(CONCAT(',', @@SESSION.sql_mode, ','), "
    "',NO_BACKSLASH_ESCAPES,', ','))";

int connect_once()
{
    release_handle();
    if (!mysql_init(&dbHandle)) {
        vt_logf("%s: MYSQL ERROR mysql_init;0;Could not allocated memory", module_name());
        sleep(1);
        return -2;
    }
    if (vt_db_io_timeout > 0)
        for (mysql_option o : {MYSQL_OPT_CONNECT_TIMEOUT, MYSQL_OPT_READ_TIMEOUT, MYSQL_OPT_WRITE_TIMEOUT})
            mysql_options(&dbHandle, o, &vt_db_io_timeout);
    vt_db_refuse_local_files(&dbHandle);
    int port = static_cast<int>(std::strtol(DBPORT, nullptr, 10));
    if (!mysql_real_connect(&dbHandle, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(port), nullptr, 0)) {
        vt_logf("%s: MYSQL Could not connect to %s - User %s DB %s Port %d - %s", module_name(), DBHOST, DBUSER,
                "vantor4", port, mysql_error(&dbHandle));
        last_error = mysql_error(&dbHandle);
        mysql_close(&dbHandle);
        sleep(1);
        return -2;
    }
    db_open = true;
    db_owner = getpid();
    last_alive = std::chrono::steady_clock::now();
    /* Sent directly: this is part of making the connection, and must not reconnect. */
    if (mysql_query(&dbHandle, kClearNoBackslashEscapes) != 0) {
        vt_logf("%s: MYSQL ERROR: Unable to clear NO_BACKSLASH_ESCAPES;%u;%s", module_name(), mysql_errno(&dbHandle),
                mysql_error(&dbHandle));
        release_handle();
        sleep(1);
        return -2;
    }
    int status = 0;
    mysql_free_result(db_query_exec("SET NAMES utf8mb4", "vantor4", &status, 0));
    return 0;
}
}  // namespace

std::string vt_db_last_error()
{
    return last_error.empty() ? "unknown error" : last_error;
}

extern "C" int db_connect(void)
{
    return vt::guarded("db_connect", -2, connect_once);
}

extern "C" int db_disconnect(void)
{
    release_handle();
    release_escape_handle();
    return 0;
}

extern "C" MYSQL_RES *db_query_exec(const char *query, const char *schema, int *status, int log_error)
{
    if (status)
        *status = -2;
    if (!query)
        return nullptr;
    return vt::guarded("db_query_exec", static_cast<MYSQL_RES *>(nullptr),
                       [&] { return run_statement(query, schema, status, log_error, std::strlen(query)); });
}

extern "C" MYSQL_RES *db_query_exec_real(const char *query, const char *schema, int *status, int log_error, int length)
{
    if (status)
        *status = -2;
    if (!query || length < 0)
        return nullptr;
    return vt::guarded("db_query_exec", static_cast<MYSQL_RES *>(nullptr), [&] {
        return run_statement(query, schema, status, log_error, static_cast<size_t>(length));
    });
}

MYSQL_RES *db_query_once(const char *query, const char *schema, int *status, size_t length)
{
    int st = 0;
    if (!status)
        status = &st;
    *status = -2;
    last_errno = 0;
    last_error_text.clear();
    if (!query || !schema)
        return nullptr;
    return vt::guarded("db_query_once", static_cast<MYSQL_RES *>(nullptr), [&]() -> MYSQL_RES * {
        if (!db_open) {
            last_errno = CR_SERVER_GONE_ERROR;
            last_error_text = "no connection";
            return nullptr;
        }
        if (selected_schema != schema) {
            if (mysql_select_db(&dbHandle, schema) != 0) {
                remember_error(mysql_errno(&dbHandle));
                selected_schema.clear();
                if (connection_gone(last_errno))
                    release_handle();
                return nullptr;
            }
            selected_schema = schema;
        }
        if (mysql_real_query(&dbHandle, query, static_cast<unsigned long>(length)) != 0) {
            remember_error(mysql_errno(&dbHandle));
            if (connection_gone(last_errno))
                release_handle();
            return nullptr;
        }
        last_alive = std::chrono::steady_clock::now();
        *status = 0;
        return mysql_store_result(&dbHandle);
    });
}

unsigned db_last_error(std::string *text)
{
    if (text)
        *text = last_error_text;
    return last_errno;
}

bool db_connection_lost(unsigned err)
{
    return err == 0 || connection_gone(err) || err == CR_SERVER_GONE_ERROR || err == CR_SERVER_LOST;
}

std::string vt_escape_sql_text(const char *text)
{
    if (!text)
        return std::string();
    size_t len = std::strlen(text);
    /* The status schema is utf8mb4: a text that is not UTF-8 would fail its whole statement. */
    std::string converted;
    if (!vt::is_utf8(text, len)) {
        converted = vt::utf8_or_latin1(text, len);
        text = converted.c_str();
        len = converted.size();
    }
    std::string buf(2 * len + 1, '\0');
    unsigned long n = mysql_real_escape_string(escape_handle(), &buf[0], text, static_cast<unsigned long>(len));
    buf.resize(n);
    return buf;
}

extern "C" void vt_escape_string_for_mysql(const char *text, char **result)
{
    if (!result)
        return;
    *result = nullptr;
    if (!text)
        return;
    *result = vt::guarded("vt_escape_string_for_mysql", static_cast<char *>(nullptr),
                          [&] { return vt::dup_cstr("'" + vt_escape_sql_text(text) + "'"); });
}

extern "C" void vt_write_failed_sql(const char *query)
{
    vt::metrics::message_failed();
    vt_rotate_error_file(VT_FAILED_SQL_FILE);
    vt_append_line(VT_FAILED_SQL_FILE, query);
}

extern "C" void write_failed_query(const char *query, const char *path)
{
    if (path)
        vt_append_line(path, query);
}

namespace {
void append_job_server(const char *host, int port = 0)
{
    auto *node = static_cast<job_server_node *>(std::calloc(1, sizeof(job_server_node)));
    if (!node)
        return;
    node->host = strdup(host);
    node->port = port;
    if (!job_servers_root)
        job_servers_root = node;
    else
        job_servers_end->next = node;
    job_servers_end = node;
}
}  // namespace

extern "C" int vt_job_server_port(const char *column)
{
    if (!column || !vt::all_digits(column) || std::strlen(column) > 5)
        return 0;
    int port = std::atoi(column);
    return port <= 65535 ? port : 0;
}

namespace {
int populate_job_servers()
{
    while (db_connect() != 0) {
        vt_write_to_log("vantorconnector: ERROR Could not connect to mysql - retring in 5 seconds");
        sleep(5);
    }
    int status = 0;
    vt::Result res(db_query_exec("select * from job_servers;", "vtcfg", &status, 1));
    if (!res) {
        append_job_server("127.0.0.1");
        return 0;
    }
    long rows = 0;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        ++rows;
        if (mysql_num_fields(res.get()) > 1 && row[1])
            append_job_server(row[1], mysql_num_fields(res.get()) > 2 ? vt_job_server_port(row[2]) : 0);
    }
    if (rows == 0)
        append_job_server("127.0.0.1");
    res.reset();
    db_disconnect();
    return 0;
}
}  // namespace

extern "C" int vtdb_populate_job_servers_list(void)
{
    return vt::guarded("vtdb_populate_job_servers_list", 0, populate_job_servers);
}
