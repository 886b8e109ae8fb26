// Database side of the simulated engine: db.php reading and provisioning with the MySQL C API.
#include "sim.h"

#include <mysql.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace sim {

namespace {

// The quoted value assigned to $key in text ("$DBHOST = '127.0.0.1';"), single or double
// quotes; false when there is none.
bool php_value(const std::string &text, const std::string &key, std::string &value) {
    const std::string name = "$" + key;
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        size_t p = text.find_first_not_of(" \t", at + name.size());
        if (p == std::string::npos || text[p] != '=')
            continue;
        p = text.find_first_not_of(" \t", p + 1);
        if (p == std::string::npos || (text[p] != '\'' && text[p] != '"'))
            continue;
        const size_t end = text.find(text[p], p + 1);
        if (end == std::string::npos)
            continue;
        value = text.substr(p + 1, end - p - 1);
        return true;
    }
    return false;
}

}  // namespace

bool read_db_settings(const std::string &path, DbSettings &out, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    if (!php_value(text, "DBHOST", out.host)) {
        error = path + " names no DBHOST";
        return false;
    }
    php_value(text, "DBUSER", out.user);
    php_value(text, "DBPASS", out.password);
    std::string port;
    if (php_value(text, "DBPORT", port))
        out.port = static_cast<unsigned int>(std::strtoul(port.c_str(), nullptr, 10));
    return true;
}

namespace {

struct MysqlCloser {
    void operator()(MYSQL *m) const { mysql_close(m); }
};
using Connection = std::unique_ptr<MYSQL, MysqlCloser>;

std::string quoted(MYSQL *m, const std::string &s) {
    std::string buf(s.size() * 2 + 1, '\0');
    unsigned long n = mysql_real_escape_string(m, &buf[0], s.c_str(), s.size());
    buf.resize(n);
    return "'" + buf + "'";
}

bool exec(MYSQL *m, const std::string &sql, std::string &error) {
    if (mysql_real_query(m, sql.c_str(), sql.size()) != 0) {
        error = std::string(mysql_error(m)) + " in: " + sql;
        return false;
    }
    // CALL statements return a status result set; drain them all.
    do {
        if (MYSQL_RES *r = mysql_store_result(m))
            mysql_free_result(r);
    } while (mysql_next_result(m) == 0);
    return true;
}

// Inserts a row named name into a vtcfg table unless one exists.
bool ensure_row(MYSQL *m, const std::string &table, const std::string &name_column, const std::string &name,
                const std::string &extra_columns, const std::string &extra_values, std::string &error) {
    const std::string q = quoted(m, name);
    return exec(m,
                "INSERT INTO vtcfg." + table + " (" + name_column + extra_columns + ") SELECT " + q + extra_values +
                    " FROM DUAL WHERE NOT EXISTS (SELECT 1 FROM vtcfg." + table + " WHERE " + name_column + " = " +
                    q + ")",
                error);
}

Connection connect(const DbSettings &db, std::string &error) {
    Connection m(mysql_init(nullptr));
    if (!m) {
        error = "mysql_init failed";
        return m;
    }
    unsigned int no_local_files = 0;  // statements here never read client files
    mysql_options(m.get(), MYSQL_OPT_LOCAL_INFILE, &no_local_files);
    if (!mysql_real_connect(m.get(), db.host.c_str(), db.user.c_str(), db.password.c_str(), nullptr, db.port,
                            nullptr, CLIENT_MULTI_RESULTS)) {
        error = std::string("cannot connect to the database: ") + mysql_error(m.get());
        m.reset();
    }
    return m;
}

// The ids of the hosts that have both history tables, from the schema's table list (which
// opens none of them); empty when it cannot be read, so that every host is provisioned.
std::set<int> hosts_with_history(MYSQL *m) {
    std::map<int, int> tables;
    const char *q = "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'vantor4' AND "
                    "(TABLE_NAME LIKE 'host\\_state\\_change\\_%' OR TABLE_NAME LIKE 'service\\_state\\_change\\_%')";
    std::set<int> both;
    if (mysql_query(m, q) != 0)
        return both;
    MYSQL_RES *res = mysql_store_result(m);
    if (!res)
        return both;
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        const char *name = row[0] ? row[0] : "";
        const char *id = std::strrchr(name, '_');
        char *end = nullptr;
        const long v = id ? std::strtol(id + 1, &end, 10) : -1;
        if (id && end != id + 1 && *end == '\0' && v >= 0 && v <= INT32_MAX)
            ++tables[static_cast<int>(v)];
    }
    mysql_free_result(res);
    for (const auto &[id, n] : tables)
        if (n == 2)
            both.insert(id);
    return both;
}

}  // namespace

bool provision(const World &world, const DbSettings &db, std::string &error) {
    Connection m = connect(db, error);
    if (!m)
        return false;
    for (const contact *c : world.contacts)
        if (!ensure_row(m.get(), "nagios_contacts", "contact_name", c->name, ", alias",
                        ", " + quoted(m.get(), c->alias ? c->alias : ""), error))
            return false;
    for (const command *c : world.commands)
        if (!ensure_row(m.get(), "nagios_commands", "command_name", c->name, "", "", error))
            return false;
    // Only the hosts whose history tables are missing, as an engine with the module makes
    // them: asking for every host's tables at every start costs a table open each, and at
    // tens of thousands of hosts that falls into what a start measures.
    const std::set<int> have = hosts_with_history(m.get());
    for (int id : world.host_ids)
        if (!have.count(id) && !exec(m.get(), "CALL vantor4.vt_create_host_tables(" + std::to_string(id) + ")", error))
            return false;
    return true;
}

bool print_program_status(const DbSettings &db, FILE *out, std::string &error) {
    Connection m = connect(db, error);
    if (!m)
        return false;
    const char *q = "SELECT program_state, version, nagios_pid, objects_loaded, entry_time, program_start "
                    "FROM vantor4.program_status WHERE id=0";
    if (mysql_query(m.get(), q) != 0) {
        error = mysql_error(m.get());
        return false;
    }
    MYSQL_RES *res = mysql_store_result(m.get());
    if (!res) {
        error = mysql_error(m.get());
        return false;
    }
    static const char *const names[] = {"program_state", "version", "nagios_pid", "objects_loaded", "entry_time",
                                        "program_start"};
    if (MYSQL_ROW row = mysql_fetch_row(res)) {
        fprintf(out, "vantor4.program_status (id 0):\n");
        for (unsigned i = 0; i < 6; i++)
            fprintf(out, "  %-15s %s\n", names[i], row[i] ? row[i] : "NULL");
    } else {
        fprintf(out, "vantor4.program_status has no row yet\n");
    }
    mysql_free_result(res);
    return true;
}

}  // namespace sim
