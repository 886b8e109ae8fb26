/* Database access: db.php parsing, the one connection of the process, statements with
 * reconnect and retry, escaping, the failed-SQL file and the job-server list. */
#include "vt_db.h"
#include "vt_log.h"
#include "vt_util.h"
#include "vantor_config.h"

#include <chrono>
#include <cstdlib>
#include <errmsg.h>
#include <cstring>
#include <string>
#include <unistd.h>

char DBHOST[256] = "";
char DBUSER[256] = "";
char DBPASS[256] = "";
char DBPORT[256] = "";
MYSQL dbHandle;
struct job_server_node *job_servers_root = nullptr;
struct job_server_node *job_servers_end = nullptr;

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

bool connection_alive()
{
    if (!db_open)
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

MYSQL_RES *run_statement(const char *query, const char *schema, int *status, int log_error, size_t length)
{
    int st = 0;
    if (!status)
        status = &st;
    if (!schema) {
        *status = -2;
        return nullptr;
    }
    if (!connection_alive()) {
        db_disconnect();
        *status = db_connect();
        if (*status == -2)
            return nullptr;
    }
    /* The connection went away since it was last known alive (the server restarted or
     * ended the session): reconnect once and go on with the new one. */
    bool reconnected = false;
    auto reconnect = [&]() {
        reconnected = true;
        db_disconnect();
        return db_connect() == 0;
    };
    if (selected_schema != schema) {
        int r = mysql_select_db(&dbHandle, schema);
        if (r != 0 && connection_gone(mysql_errno(&dbHandle))) {
            if (!reconnect()) {
                *status = -2;
                return nullptr;
            }
            r = mysql_select_db(&dbHandle, schema);
        }
        if (r != 0) {
            selected_schema.clear();
            vt_logf("%s: MYSQL ERROR: Unable to select database %s; Retval %d; %.*s", module_name(), schema, r,
                    static_cast<int>(length), query);
            *status = -2;
            return nullptr;
        }
        selected_schema = schema;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (mysql_real_query(&dbHandle, query, static_cast<unsigned long>(length)) == 0)
            break;
        unsigned e = mysql_errno(&dbHandle);
        if (e == kDuplicateKey)
            break;
        if (connection_gone(e) && !reconnected) {
            if (!reconnect()) {
                *status = -2;
                return nullptr;
            }
            if (mysql_select_db(&dbHandle, schema) == 0)
                selected_schema = schema;
        }
    }
    unsigned err = mysql_errno(&dbHandle);
    if (err == 0 || err == kDuplicateKey)
        last_alive = std::chrono::steady_clock::now();
    if (err == 0 || err == kDuplicateKey) {
        *status = 0;
        return err == 0 ? mysql_store_result(&dbHandle) : nullptr;
    }
    selected_schema.clear();  /* whatever failed, select afresh next time */
    if (log_error == 1)
        vt_logf("%s: MYSQL ERROR: mysql_query;%u;%s;%.*s", module_name(), err, mysql_error(&dbHandle),
                static_cast<int>(length), query);
    *status = -2;
    return nullptr;
}

void append_line(const char *path, const char *text)
{
    vt::File f(std::fopen(path, "a+"));
    if (!f)
        return;
    std::fputs(text ? text : "", f.get());
    std::fputc('\n', f.get());
}

}  // namespace

extern "C" int parse_db_conf(void)
{
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
}

extern "C" int db_connect(void)
{
    release_handle();
    if (!mysql_init(&dbHandle)) {
        vt_logf("%s: MYSQL ERROR mysql_init;0;Could not allocated memory", module_name());
        sleep(1);
        return -2;
    }
    int port = static_cast<int>(std::strtol(DBPORT, nullptr, 10));
    if (!mysql_real_connect(&dbHandle, DBHOST, DBUSER, DBPASS, "vantor4", static_cast<unsigned>(port), nullptr, 0)) {
        vt_logf("%s: MYSQL Could not connect to %s - User %s DB %s Port %d - %s", module_name(), DBHOST, DBUSER,
                "vantor4", port, mysql_error(&dbHandle));
        mysql_close(&dbHandle);
        sleep(1);
        return -2;
    }
    db_open = true;
    db_owner = getpid();
    last_alive = std::chrono::steady_clock::now();
    int status = 0;
    mysql_free_result(db_query_exec("SET NAMES utf8mb4", "vantor4", &status, 0));
    return 0;
}

extern "C" int db_disconnect(void)
{
    release_handle();
    release_escape_handle();
    return 0;
}

extern "C" MYSQL_RES *db_query_exec(const char *query, const char *schema, int *status, int log_error)
{
    if (!query) {
        if (status)
            *status = -2;
        return nullptr;
    }
    return run_statement(query, schema, status, log_error, std::strlen(query));
}

extern "C" MYSQL_RES *db_query_exec_real(const char *query, const char *schema, int *status, int log_error, int length)
{
    if (!query || length < 0) {
        if (status)
            *status = -2;
        return nullptr;
    }
    return run_statement(query, schema, status, log_error, static_cast<size_t>(length));
}

std::string vt_escape_sql_text(const char *text)
{
    if (!text)
        return std::string();
    size_t len = std::strlen(text);
    std::string buf(2 * len + 1, '\0');
    unsigned long n = mysql_real_escape_string(escape_handle(), &buf[0], text, static_cast<unsigned long>(len));
    buf.resize(n);
    return buf;
}

extern "C" void vt_escape_string_for_mysql(const char *text, char **result)
{
    if (!result)
        return;
    if (!text) {
        *result = nullptr;
        return;
    }
    *result = vt::dup_cstr("'" + vt_escape_sql_text(text) + "'");
}

extern "C" void vt_write_failed_sql(const char *query)
{
    append_line(VT_FAILED_SQL_FILE, query);
}

extern "C" void write_failed_query(const char *query, const char *path)
{
    if (path)
        append_line(path, query);
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

extern "C" int vtdb_populate_job_servers_list(void)
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
