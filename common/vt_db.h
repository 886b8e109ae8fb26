/* Database access: db.php parsing, the one connection of the process, statements with
 * reconnect and retry, escaping, the failed-SQL file and the job-server list. */
#ifndef VT_DB_H
#define VT_DB_H

#include <mysql.h>

#ifdef __cplusplus
extern "C" {
#endif

extern char DBHOST[256];
extern char DBUSER[256];
extern char DBPASS[256];
extern char DBPORT[256];

/* The process's one connection object, in static storage. */
extern MYSQL dbHandle;

struct job_server_node {
    char *host;
    struct job_server_node *next;
    /* The row's port, or 0 for the configured job-server port. Several job servers on one
     * host differ only by port. */
    int port;
};
extern struct job_server_node *job_servers_root;
extern struct job_server_node *job_servers_end;

/* Seconds a connection attempt, and each read or write on the connection, may take before
 * it fails; 0 (the default) leaves the client library's own limits (none for reads). Taken
 * at the next db_connect. */
extern unsigned int vt_db_io_timeout;

/* Turns the client library's LOAD DATA LOCAL off on m before it connects. With it on, the
 * server may ask the client to send any file the connecting process can read, and the
 * statements carried out here come from jobs and dump files: a daemon running as root would
 * send /etc/shadow to whoever wrote such a statement. Every connection of the system calls
 * this between mysql_init and mysql_real_connect. */
static inline void vt_db_refuse_local_files(MYSQL *m)
{
    unsigned int off = 0;
    mysql_options(m, MYSQL_OPT_LOCAL_INFILE, &off);
}

/* Reads the connection parameters from db.php. 0, or -2 when the file cannot be opened. */
int parse_db_conf(void);
/* One connection attempt with default schema vantor4. 0 when connected, -2 otherwise
 * (after its log line and a 1-second pause). */
int db_connect(void);
/* Closes the connection if one is open (a connection inherited through fork is only
 * forgotten) and releases the escaping state, which the next escape makes anew. Always 0. */
int db_disconnect(void);
/* Runs a statement in the named schema (pinging and reconnecting first, up to three
 * executions unless the error is a duplicate key). *status gets 0 or -2. Returns the
 * stored result set (caller frees with mysql_free_result) or NULL. */
MYSQL_RES *db_query_exec(const char *query, const char *schema, int *status, int log_error);
/* The same for a statement of length bytes. */
MYSQL_RES *db_query_exec_real(const char *query, const char *schema, int *status, int log_error, int length);
/* *result gets "'escaped text'" as a new heap string, or NULL for a NULL text. Works with or
 * without an open connection. The caller frees it. */
void vt_escape_string_for_mysql(const char *text, char **result);
/* Appends the statement and a line break to the failed-SQL file (see vt_append_line). */
void vt_write_failed_sql(const char *query);
/* Appends the statement and a line break to the file at path. */
void write_failed_query(const char *query, const char *path);
/* A job_servers port column as a port number; 0 (the configured port) for NULL, 0 and
 * anything that is not a number from 1 to 65535. */
int vt_job_server_port(const char *column);
/* Builds the job-server list from vtcfg.job_servers, waiting for the database. Returns 0. */
int vtdb_populate_job_servers_list(void);

#ifdef __cplusplus
}
#include <string>
/* Sends a statement exactly once on the open connection, with schema selected: no ping, no
 * reconnect, no retry, nothing logged. Inside a transaction anything more could run the
 * statement outside it. *status gets 0 or -2; the error is then db_last_error's. */
MYSQL_RES *db_query_once(const char *query, const char *schema, int *status, size_t length);
/* The server's error number of the last statement sent through this unit (0 when it
 * succeeded, or when it never reached a connection), with its text when asked. */
unsigned db_last_error(std::string *text);
/* Whether an error of db_last_error means the session is gone (0: no session was reached). */
bool db_connection_lost(unsigned err);
/* The database-escaped body of text, without quotes, for values that a statement already
 * quotes itself ('%s'). NULL gives "". Works with or without an open connection. */
std::string vt_escape_sql_text(const char *text);
/* The client library's error text of the last failed connection, schema selection or
 * statement of this process ("unknown error" before any). */
std::string vt_db_last_error();
/* Appends text and a line break to the file at path (created 0640 less the umask, narrowed to that when wider) as one
 * write on an O_APPEND descriptor, so that lines of concurrent writers never splice. A line
 * the file system cuts short is finished or taken back out, never left as a fragment that
 * would merge with the next line; then the loss is logged with the text. Returns whether
 * the whole line is in the file. */
bool vt_append_line(const char *path, const char *text) noexcept;
#endif

#endif
