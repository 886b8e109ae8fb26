// Tests of the id registry: ids for objects without them, kept across restarts, configured ids
// winning without ever being given twice, and the engine's names added to the id lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "standin.h"
#include "test_support.h"
#include "vt_db.h"
#include "vt_identity.h"
#include "vt_registry.h"

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::init_runtime("vtdb-registry-test");
        for (const char *t : {"host_registry", "service_registry", "nagios_contacts", "nagios_commands",
                              "nagios_servicegroups", "nagios_hostgroups"})
            sql.exec(std::string("TRUNCATE TABLE vtcfg.") + t);
        ASSERT_EQ(0, db_connect());
        vt_identity_reset();
        standin::reset_objects();
        standin::clear_log();
    }
    void TearDown() override {
        db_disconnect();
        vt_identity_reset();
        standin::reset_objects();
    }

    // A start of the engine with these hosts, each with services "a" and "b".
    void start(std::initializer_list<const char *> names) {
        standin::reset_objects();
        for (const char *n : names) {
            host *h = standin::add_host(n);
            standin::add_service(h, "a");
            standin::add_service(h, "b");
        }
        std::string problem;
        ASSERT_TRUE(vt_registry_assign_ids(&problem)) << problem;
    }
    // The ids the module's readers get, "-" for none.
    static std::string host_id(const char *name) {
        char *id = nullptr;
        vt_get_host_custom_macro("$_HOSTHOST_ID$", find_host(name), &id);
        std::string r = id ? id : "-";
        free(id);
        return r;
    }
    static std::string service_ids(const char *host_name, const char *description) {
        char *h = nullptr, *s = nullptr;
        vt_get_service_id_by_macro(find_service(host_name, description), &h, &s);
        std::string r = std::string(h ? h : "-") + "/" + (s ? s : "-");
        free(h);
        free(s);
        return r;
    }
    static std::set<int> new_hosts() {
        return std::set<int>(vt_registry_new_host_ids().begin(), vt_registry_new_host_ids().end());
    }

    vtt::Sql sql;
};

TEST_F(Registry, ObjectsWithoutIdsGetStableIdsAndARenameIsANewObject) {
    start({"web", "db"});
    const std::string web = host_id("web"), db = host_id("db");
    ASSERT_NE("-", web);
    ASSERT_NE("-", db);
    EXPECT_NE(web, db);
    // Services carry their host's id, and ids unique under it.
    EXPECT_EQ(web + "/1", service_ids("web", "a"));
    EXPECT_EQ(web + "/2", service_ids("web", "b"));
    EXPECT_EQ(db + "/1", service_ids("db", "a"));
    EXPECT_EQ((std::set<int>{std::stoi(web), std::stoi(db)}), new_hosts());

    // A restart: the same ids, nothing new.
    start({"db", "web"});
    EXPECT_EQ(web, host_id("web"));
    EXPECT_EQ(db, host_id("db"));
    EXPECT_EQ(db + "/2", service_ids("db", "b"));
    EXPECT_TRUE(new_hosts().empty());

    // "web" renamed: a new host with ids of its own; "web" keeps its row for a later return.
    start({"web2", "db"});
    const std::string web2 = host_id("web2");
    EXPECT_NE(web, web2);
    EXPECT_NE(db, web2);
    EXPECT_EQ(web2 + "/1", service_ids("web2", "a"));
    EXPECT_EQ((std::set<int>{std::stoi(web2)}), new_hosts());
    start({"web", "web2", "db"});
    EXPECT_EQ(web, host_id("web"));
    EXPECT_EQ(web2, host_id("web2"));
    EXPECT_EQ(3, sql.count("vtcfg.host_registry"));
    EXPECT_EQ(6, sql.count("vtcfg.service_registry"));
}

TEST_F(Registry, ConfiguredIdsWinAndNoIdIsGivenTwice) {
    sql.exec("INSERT INTO vtcfg.host_registry (host_id, host_name) VALUES (40, 'old'), (41, 'gone')");
    auto objects = [] {
        standin::reset_objects();
        host *fixed = standin::add_host("fixed");
        standin::add_custom_variable(fixed, "_HOST_ID", "900");
        host *taker = standin::add_host("taker");  // takes the id registered for "old"
        standin::add_custom_variable(taker, "_HOST_ID", "40");
        standin::add_host("old");
        host *twin = standin::add_host("twin");  // configured with the same id as "fixed"
        standin::add_custom_variable(twin, "_HOST_ID", "900");
        host *word = standin::add_host("word");  // a value that is no id
        standin::add_custom_variable(word, "_HOST_ID", "web-1");
        service *svc = standin::add_service(fixed, "http");
        standin::add_custom_variable(svc, "_SERVICE_ID", "7");
        standin::add_service(fixed, "ssh");
    };
    objects();
    std::string problem;
    ASSERT_TRUE(vt_registry_assign_ids(&problem)) << problem;

    ASSERT_NE(nullptr, find_host("fixed"));
    EXPECT_EQ("900", host_id("fixed"));
    EXPECT_EQ("40", host_id("taker"));
    EXPECT_EQ("900", host_id("twin"));
    const std::string old_id = host_id("old"), word_id = host_id("word");
    // New ids come after every id recorded, configured ones included.
    EXPECT_GT(std::stoi(old_id), 900);
    EXPECT_GT(std::stoi(word_id), 900);
    EXPECT_NE(old_id, word_id);
    EXPECT_EQ("900/7", service_ids("fixed", "http"));
    EXPECT_EQ("900/8", service_ids("fixed", "ssh"));
    EXPECT_EQ("taker", sql.scalar("SELECT host_name FROM vtcfg.host_registry WHERE host_id=40"));
    EXPECT_EQ("old", sql.scalar("SELECT former_name FROM vtcfg.host_registry WHERE host_id=40"));
    EXPECT_EQ("gone", sql.scalar("SELECT host_name FROM vtcfg.host_registry WHERE host_id=41"));
    EXPECT_EQ(1u, standin::count_log_lines("vtdb: host 'taker' is configured with _HOST_ID 40, which was "
                                           "registered for 'old'"));
    EXPECT_EQ(1u, standin::count_log_lines("vtdb: hosts 'fixed' and 'twin' are both configured with _HOST_ID 900"));
    EXPECT_EQ(1u, standin::count_log_lines("vtdb: host 'word' has _HOST_ID 'web-1', which is not an id"));

    // The next start finds everything as it left it, and says nothing more.
    standin::clear_log();
    const std::string registry = sql.scalar("SELECT GROUP_CONCAT(host_id, host_name ORDER BY host_id) FROM "
                                            "vtcfg.host_registry");
    objects();
    std::string again;
    ASSERT_TRUE(vt_registry_assign_ids(&again)) << again;
    EXPECT_EQ(registry, sql.scalar("SELECT GROUP_CONCAT(host_id, host_name ORDER BY host_id) FROM "
                                   "vtcfg.host_registry"));
    EXPECT_EQ(old_id, host_id("old"));
    EXPECT_EQ(word_id, host_id("word"));
    EXPECT_EQ(0u, standin::count_log_lines("which was registered for"));
    EXPECT_TRUE(new_hosts().empty());
}

TEST_F(Registry, TheEngineContactsCommandsAndGroupsGetIdsOnce) {
    sql.exec("INSERT INTO vtcfg.nagios_contacts (contact_id, contact_name, alias) VALUES (5, 'ops', 'Operations')");
    contact *ops = standin::add_contact("ops", "Operations");
    standin::add_contact("oncall", "On call");
    standin::add_command("notify-mail", "/bin/true");
    host *h = standin::add_host("web");
    standin::add_hostgroup("linux", {h});
    standin::add_servicegroup("http", {standin::add_service(h, "http")});
    (void)ops;
    for (int start = 0; start < 2; ++start) {
        vt_identity_reset();
        ASSERT_EQ(0, vtdb_populate_contact_list());
        ASSERT_EQ(0, vtdb_populate_command_list());
        ASSERT_EQ(0, vtdb_populate_hostgroup_list());
        ASSERT_EQ(0, vtdb_populate_servicegroup_list());
        std::string problem;
        ASSERT_TRUE(vt_registry_add_engine_names(&problem)) << problem;
        EXPECT_EQ(5, vtdb_find_contact_id("ops"));
        EXPECT_GT(vtdb_find_contact_id("oncall"), 5);
        EXPECT_EQ(vtdb_find_contact_id("oncall"), vtdb_find_contact_id_by_alias("On call"));
        EXPECT_GT(vtdb_find_command_id("notify-mail"), 0);
        EXPECT_GT(vtdb_find_hostgroup_id("linux"), 0);
        EXPECT_GT(vtdb_find_servicegroup_id("http"), 0);
    }
    EXPECT_EQ(2, sql.count("vtcfg.nagios_contacts"));
    EXPECT_EQ(1, sql.count("vtcfg.nagios_commands"));
}

TEST_F(Registry, AMissingRegistryIsAReasonNamingTheTable) {
    sql.exec("RENAME TABLE vtcfg.service_registry TO vtcfg.service_registry_away");
    struct Restore {
        vtt::Sql &s;
        ~Restore() { s.exec("RENAME TABLE vtcfg.service_registry_away TO vtcfg.service_registry"); }
    } restore{sql};
    standin::add_host("web");
    std::string problem;
    EXPECT_FALSE(vt_registry_assign_ids(&problem));
    EXPECT_NE(std::string::npos, problem.find("cannot read vtcfg.service_registry: ")) << problem;
    EXPECT_NE(std::string::npos, problem.find("doesn't exist")) << problem;
    // Nothing is attached when the ids cannot all be kept.
    EXPECT_EQ("-", host_id("web"));
}

}  // namespace
