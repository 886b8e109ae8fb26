// Tests of the identity cache: vtcfg id lists, lookups, engine contacts and the id macros.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "failing_new.h"
#include "standin.h"
#include "test_support.h"
#include "vt_db.h"
#include "vt_identity.h"
#include "vt_log.h"

namespace {

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::init_runtime("vtdb-identity-test");
        log = vtt::path("/var/vtdb-identity-test.log");
        vtt::remove_file(log);
        for (const char *t : {"nagios_contacts", "nagios_commands", "nagios_servicegroups", "nagios_hostgroups",
                              "nagios_cgi"})
            sql.exec(std::string("TRUNCATE TABLE vtcfg.") + t);
        ASSERT_EQ(0, db_connect());
        vt_identity_reset();
        standin::reset_objects();
    }
    void TearDown() override {
        db_disconnect();
        vt_identity_reset();
        standin::reset_objects();
    }
    long log_lines(const std::string &needle) { return vtt::count_lines_containing(log, needle); }
    void load_all() {
        EXPECT_EQ(0, vtdb_populate_servicegroup_list());
        EXPECT_EQ(0, vtdb_populate_hostgroup_list());
        EXPECT_EQ(0, vtdb_populate_contact_list());
        EXPECT_EQ(0, vtdb_populate_command_list());
        EXPECT_EQ(0, vt_get_authorized_for_all_hosts());
        EXPECT_EQ(0, vt_get_authorized_for_all_services());
    }

    vtt::Sql sql;
    std::string log;
};

TEST_F(Identity, ListsKeepQueryOrderAndLookupsMatchExactly) {
    sql.exec("INSERT INTO vtcfg.nagios_contacts (contact_id, contact_name, alias) VALUES "
             "(11, 'ops', 'Operations'), (12, '50%off', 'Percent %s'), (13, 'ops', 'Second ops'), "
             "(14, NULL, 'Nameless'), (15, 'noalias', NULL)");
    sql.exec("INSERT INTO vtcfg.nagios_commands (command_id, command_name) VALUES (21, 'notify-by-mail'), "
             "(22, 'Notify-By-Mail'), (23, NULL)");
    sql.exec("INSERT INTO vtcfg.nagios_servicegroups (servicegroup_id, servicegroup_name) VALUES (31, 'web')");
    sql.exec("INSERT INTO vtcfg.nagios_hostgroups (hostgroup_id, hostgroup_name) VALUES (41, 'linux'), (42, NULL)");
    sql.exec("INSERT INTO vtcfg.nagios_cgi (authorized_for_all_hosts, authorized_for_all_services) "
             "VALUES ('alice,bob', NULL), ('carol', 'carol')");
    load_all();

    int n = 0;
    for (const contact_node *c = contact_root; c; c = c->next)
        n++;
    EXPECT_EQ(4, n);  // the row without a name is skipped, the one without an alias kept
    EXPECT_EQ(1, log_lines("error - contact has null alias"));

    EXPECT_EQ(11, vtdb_find_contact_id("ops"));  // the first of two with that name
    EXPECT_EQ(12, vtdb_find_contact_id("50%off"));
    EXPECT_EQ(15, vtdb_find_contact_id("noalias"));
    EXPECT_EQ(-2, vtdb_find_contact_id("OPS"));
    EXPECT_EQ(1, log_lines("Unable to find id for contact OPS"));

    EXPECT_EQ(13, vtdb_find_contact_id_by_alias("Second ops"));
    EXPECT_EQ(12, vtdb_find_contact_id_by_alias("Percent %s"));
    EXPECT_EQ(0, vtdb_find_contact_id_by_alias(nullptr));
    EXPECT_EQ(0, vtdb_find_contact_id_by_alias("(Naemon Process)"));
    EXPECT_EQ(0, vtdb_find_contact_id_by_alias("(Vantor Process)"));
    EXPECT_EQ(-2, vtdb_find_contact_id_by_alias("ghost"));
    EXPECT_EQ(1, log_lines("Unable to find id for contact alias ghost"));

    EXPECT_EQ(21, vtdb_find_command_id("notify-by-mail"));
    EXPECT_EQ(22, vtdb_find_command_id("Notify-By-Mail"));
    EXPECT_EQ(-2, vtdb_find_command_id("notify"));
    EXPECT_EQ(1, log_lines("Unable to find id for command notify"));
    EXPECT_EQ(31, vtdb_find_servicegroup_id("web"));
    EXPECT_EQ(0, vtdb_find_servicegroup_id(nullptr));
    EXPECT_EQ(-2, vtdb_find_servicegroup_id("db"));
    EXPECT_EQ(1, log_lines("Unable to find id for servicegroup db"));
    EXPECT_EQ(41, vtdb_find_hostgroup_id("linux"));
    EXPECT_EQ(-2, vtdb_find_hostgroup_id("windows"));
    EXPECT_EQ(1, log_lines("Unable to find id for hostgroup windows"));

    // The first row of nagios_cgi only, kept as stored; a NULL column gives none.
    ASSERT_NE(nullptr, vt_authorized_for_all_hosts);
    EXPECT_STREQ("alice,bob", vt_authorized_for_all_hosts);
    EXPECT_EQ(nullptr, vt_authorized_for_all_services);
}

TEST_F(Identity, EmptyListsLoadAndLookupsFailSilently) {
    load_all();
    EXPECT_EQ(nullptr, contact_root);
    EXPECT_EQ(nullptr, vt_authorized_for_all_hosts);
    EXPECT_EQ(-2, vtdb_find_contact_id("ops"));
    EXPECT_EQ(-2, vtdb_find_contact_id_by_alias("Operations"));
    EXPECT_EQ(-2, vtdb_find_command_id("notify"));
    EXPECT_EQ(-2, vtdb_find_hostgroup_id("linux"));
    EXPECT_EQ(0, log_lines("Unable to find id"));
}

TEST_F(Identity, AFailedQueryGivesMinusTwoAndKeepsTheList) {
    sql.exec("INSERT INTO vtcfg.nagios_contacts (contact_id, contact_name, alias) VALUES (11, 'ops', 'Operations')");
    ASSERT_EQ(0, vtdb_populate_contact_list());
    sql.exec("RENAME TABLE vtcfg.nagios_contacts TO vtcfg.nagios_contacts_away");
    struct Restore {
        vtt::Sql &s;
        ~Restore() { s.exec("RENAME TABLE vtcfg.nagios_contacts_away TO vtcfg.nagios_contacts"); }
    } restore{sql};
    EXPECT_EQ(-2, vtdb_populate_contact_list());
    sql.exec("RENAME TABLE vtcfg.nagios_cgi TO vtcfg.nagios_cgi_away");
    const int cgi_rc = vt_get_authorized_for_all_hosts();
    sql.exec("RENAME TABLE vtcfg.nagios_cgi_away TO vtcfg.nagios_cgi");
    EXPECT_EQ(-2, cgi_rc);
    EXPECT_EQ(11, vtdb_find_contact_id("ops"));
    ASSERT_NE(nullptr, contact_root);
    EXPECT_EQ(nullptr, contact_root->next);
}

TEST_F(Identity, IdMacrosGiveDecimalIdsOrNothing) {
    host *good = standin::add_host("good");
    standin::add_custom_variable(good, "_HOST_ID", "17");
    host *bare = standin::add_host("bare");
    host *word = standin::add_host("word");
    standin::add_custom_variable(word, "_HOST_ID", "17; DROP TABLE x");
    host *empty = standin::add_host("empty");
    standin::add_custom_variable(empty, "_HOST_ID", "");

    char *id = nullptr;
    EXPECT_EQ(0, vt_get_host_custom_macro("$_HOSTHOST_ID$", good, &id));
    ASSERT_NE(nullptr, id);
    EXPECT_STREQ("17", id);
    free(id);
    for (host *h : {bare, word, empty}) {
        id = reinterpret_cast<char *>(1);
        EXPECT_EQ(-2, vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &id)) << h->name;
        EXPECT_EQ(nullptr, id) << h->name;
    }

    service *both = standin::add_service(good, "both");
    standin::add_custom_variable(both, "_HOST_ID", "17");
    standin::add_custom_variable(both, "_SERVICE_ID", "0042");
    service *half = standin::add_service(good, "half");
    standin::add_custom_variable(half, "_HOST_ID", "17");
    char *host_id = nullptr, *service_id = nullptr;
    EXPECT_EQ(0, vt_get_service_id_by_macro(both, &host_id, &service_id));
    EXPECT_STREQ("17", host_id);
    EXPECT_STREQ("0042", service_id);
    free(host_id);
    free(service_id);
    EXPECT_EQ(-2, vt_get_service_id_by_macro(half, &host_id, &service_id));
    EXPECT_STREQ("17", host_id);
    EXPECT_EQ(nullptr, service_id);
    free(host_id);
}

TEST_F(Identity, EngineContactsAreFoundByNameThenAlias) {
    contact *ops = standin::add_contact("ops", "Operations");
    contact *alias_is_name = standin::add_contact("Operations", "Someone else");
    contact *dev = standin::add_contact("dev", "Developers");
    EXPECT_EQ(ops, vt_find_contact("ops"));
    EXPECT_EQ(alias_is_name, vt_find_contact("Operations"));  // a name wins over an alias
    EXPECT_EQ(dev, vt_find_contact("Developers"));
    EXPECT_EQ(nullptr, vt_find_contact("developers"));
    EXPECT_EQ(nullptr, vt_find_contact(nullptr));
}

TEST_F(Identity, LoadersAndLookupsFailCleanlyWhenMemoryRunsOut) {
    sql.exec("INSERT INTO vtcfg.nagios_commands (command_id, command_name) VALUES (21, 'notify-by-mail')");
    ASSERT_EQ(0, vtdb_populate_command_list());
    host *h = standin::add_host("web01");
    standin::add_custom_variable(h, "_HOST_ID", "17");
    service *svc = standin::add_service(h, "http");
    standin::add_custom_variable(svc, "_HOST_ID", "17");
    standin::add_custom_variable(svc, "_SERVICE_ID", "42");

    // Whatever throws inside ends at the entry point as its failure result.
    char *id = reinterpret_cast<char *>(1), *host_id = id, *service_id = id;
    int rc[5] = {};
    {
        vtt::FailingAllocations oom;
        rc[1] = vtdb_find_command_id("notify");  // a miss, logged through a built line
        rc[2] = vt_get_host_custom_macro("$_HOSTHOST_ID$", h, &id);
        rc[3] = vt_get_service_id_by_macro(svc, &host_id, &service_id);
        rc[4] = vtdb_find_command_id("notify-by-mail");  // a hit needs no memory
    }
    EXPECT_EQ(-2, rc[1]);
    EXPECT_EQ(-2, rc[2]);
    EXPECT_EQ(nullptr, id);
    EXPECT_EQ(-2, rc[3]);
    EXPECT_EQ(nullptr, host_id);
    EXPECT_EQ(nullptr, service_id);
    EXPECT_EQ(21, rc[4]);

    // And everything works again afterwards.
    EXPECT_EQ(0, vt_get_service_id_by_macro(svc, &host_id, &service_id));
    EXPECT_STREQ("42", service_id);
    free(host_id);
    free(service_id);
}

}  // namespace
