// The module's notification take-over and flapping records, in the stand-in engine with a real job server.
#include "records_fixture.h"

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "vantor_config.h"
#include "vt_batch.h"
#include "vt_sign.h"

namespace {

using ComposeFn = int (*)(nebstruct_contact_notification_method_data *, char **);

// Every macro the composition sets, and some the engine fills, in one command line.
const char *const kCommandLine =
    "notify $NOTIFICATIONTYPE$|$NOTIFICATIONNUMBER$|$SERVICENOTIFICATIONNUMBER$|$HOSTNOTIFICATIONNUMBER$|"
    "$SERVICENOTIFICATIONID$|$HOSTNOTIFICATIONID$|$NOTIFICATIONAUTHOR$|$NOTIFICATIONAUTHORNAME$|"
    "$NOTIFICATIONAUTHORALIAS$|$NOTIFICATIONCOMMENT$|$SERVICEACKAUTHOR$|$SERVICEACKAUTHORNAME$|"
    "$SERVICEACKCOMMENT$|$HOSTACKAUTHOR$|$HOSTACKAUTHORALIAS$|$CONTACTNAME$|$HOSTNAME$|$SERVICEDESC$|$ARG1$";

class Notifications : public vtr::RecordsTest {
protected:
    void SetUp() override {
        vtr::RecordsTest::SetUp();
        vtt::gearman_drain("vtdb_notify");
        sql.exec("DELETE FROM vtcfg.nagios_contacts WHERE contact_name LIKE 'nt-%'");
        sql.exec("DELETE FROM vtcfg.nagios_commands WHERE command_name LIKE 'nt-%'");
        sql.exec("INSERT INTO vtcfg.nagios_contacts VALUES (7001, 'nt-alice', 'Alice A'), (7002, 'nt-bob', 'Bob B')");
        sql.exec("INSERT INTO vtcfg.nagios_commands VALUES (7003, 'nt-notify')");
        h = add_host("nt-host", "41");
        s = add_service(h, "nt-disk", "41", "42");
        bare = add_service(h, "nt-bare", nullptr, nullptr);
        alice = standin::add_contact("nt-alice", "Alice A");
        standin::add_contact("nt-bob", "Bob B");
        standin::add_command("nt-notify", kCommandLine);
        standin::add_notification_command(alice, "nt-notify!ARGVAL", false);
        standin::add_notification_command(alice, "nt-notify!ARGVAL", true);
    }
    void TearDown() override {
        vtr::RecordsTest::TearDown();
        vtt::gearman_drain("vtdb_notify");
        sql.exec("DELETE FROM vtcfg.nagios_contacts WHERE contact_name LIKE 'nt-%'");
        sql.exec("DELETE FROM vtcfg.nagios_commands WHERE command_name LIKE 'nt-%'");
    }
    nebstruct_contact_notification_method_data event(void *object, bool service_event, int reason = 0) {
        nebstruct_contact_notification_method_data d{};
        d.type = NEBTYPE_CONTACTNOTIFICATIONMETHOD_START;
        d.timestamp = {1700000100, 250000};
        d.notification_type = service_event ? SERVICE_NOTIFICATION : HOST_NOTIFICATION;
        d.start_time = {1700000100, 0};
        d.contact_name = const_cast<char *>("nt-alice");
        d.command_name = const_cast<char *>("nt-notify");  // the entry split at its first "!"
        d.command_args = const_cast<char *>("ARGVAL");
        d.reason_type = reason;
        d.state = 2;
        d.output = const_cast<char *>("disk 'full'");
        d.escalated = 0;
        d.object_ptr = object;
        d.contact_ptr = alice;
        return d;
    }
    std::string compose(const char *fn, nebstruct_contact_notification_method_data d, int expect = 0) {
        auto f = reinterpret_cast<ComposeFn>(standin::module_symbol(mod, fn));
        char *out = nullptr;
        EXPECT_EQ(expect, f(&d, &out));
        std::string text = out ? out : "(none)";
        free(out);
        return text;
    }
    vtt::Sql sql;
    host *h = nullptr;
    service *s = nullptr, *bare = nullptr;
    contact *alice = nullptr;
};

TEST_F(Notifications, CommandLinesCarryTheNotificationMacros) {
    start();
    s->current_notification_number = 3;
    standin::set_notification_id(s, "4000000000");
    h->current_notification_number = 5;
    standin::set_notification_id(h, "6");
    struct Case {
        int reason, state;
        const char *author, *comment;
        bool service;
        const char *expected;
    } cases[] = {
        {0, 2, nullptr, nullptr, true, "notify PROBLEM|3|3|5|4000000000|6||||||||||nt-alice|nt-host|nt-disk|ARGVAL"},
        {0, 0, nullptr, nullptr, true, "notify RECOVERY|3|3|5|4000000000|6||||||||||nt-alice|nt-host|nt-disk|ARGVAL"},
        // An author given by alias still fills the author's name and alias.
        {8, 2, "Alice A", "hands off", true,
         "notify CUSTOM|3|3|5|4000000000|6|Alice A|nt-alice|Alice A|hands off|Alice A|nt-alice|hands off|||nt-alice|"
         "nt-host|nt-disk|ARGVAL"},
        {2, 2, "nt-bob", "x", true,
         "notify FLAPPINGSTART|3|3|5|4000000000|6|nt-bob|nt-bob|Bob B|x||||||nt-alice|nt-host|nt-disk|ARGVAL"},
        {1, 1, "nt-bob", "seen", false,
         "notify ACKNOWLEDGEMENT|5|$SERVICENOTIFICATIONNUMBER$|5|$SERVICENOTIFICATIONID$|6|nt-bob|nt-bob|Bob B|seen||||nt-bob|"
         "Bob B|nt-alice|nt-host|$SERVICEDESC$|ARGVAL"},
        {0, 0, nullptr, nullptr, false, "notify RECOVERY|5|$SERVICENOTIFICATIONNUMBER$|5|$SERVICENOTIFICATIONID$|6||||||||||nt-alice|nt-host|"
         "$SERVICEDESC$|ARGVAL"},
    };
    for (const Case &c : cases) {
        auto d = event(c.service ? static_cast<void *>(s) : static_cast<void *>(h), c.service, c.reason);
        (c.service ? s->current_state : h->current_state) = c.state;
        d.ack_author = const_cast<char *>(c.author);
        d.ack_data = const_cast<char *>(c.comment);
        EXPECT_EQ(c.expected, compose(c.service ? "vt_get_service_notification_command"
                                                : "vt_get_host_notification_command", d))
            << "reason " << c.reason;
    }
    // Only the entry the event names is used: equal to the name, or to name!arguments.
    auto d = event(s, true);
    for (auto [name, args] : std::vector<std::pair<const char *, const char *>>{
             {"nt-notify", nullptr}, {"nt-notify", "OTHER"}, {"nt-notif", "ARGVAL"}, {"NT-NOTIFY", "ARGVAL"}}) {
        d.command_name = const_cast<char *>(name);
        d.command_args = const_cast<char *>(args);
        EXPECT_EQ("(none)", compose("vt_get_service_notification_command", d, -2)) << name;
    }
    d.command_name = const_cast<char *>("nt-notify!ARGVAL");
    d.command_args = nullptr;
    EXPECT_NE("(none)", compose("vt_get_service_notification_command", d));
}

// The engine cleans neither comments nor authors: a line feed there would split the command
// line (and the job and log line that carry it), and a quote or a $ would let whoever may
// acknowledge run commands through the shell.
TEST_F(Notifications, CommentsAndAuthorsAreSafeInTheCommandLine) {
    contact *carol = standin::add_contact("nt-carol", "Carol\tC\x7f");
    standin::add_command("nt-text", "text $NOTIFICATIONAUTHOR$|$NOTIFICATIONAUTHORNAME$|$NOTIFICATIONAUTHORALIAS$|"
                                    "$NOTIFICATIONCOMMENT$|$SERVICEACKAUTHOR$|$SERVICEACKCOMMENT$|$HOSTACKCOMMENT$");
    standin::add_notification_command(alice, "nt-text", false);
    standin::add_notification_command(alice, "nt-text", true);
    struct Case {
        const char *args, *illegal;  // module arguments, the engine's illegal_macro_output_chars
        bool service;
        const char *author, *comment, *expected;
    } cases[] = {
        {"", nullptr, true, "nt-carol", "disk\nfull\r\n\tnow\x1b",
         "text nt-carol|nt-carol|Carol C |disk full   now |nt-carol|disk full   now |"},
        {"", nullptr, false, "x\ny", "a\x01" "b", "text x y|||a b|||a b"},
        {"", nullptr, true, "nt-carol", "x'; touch /tmp/p; ' $(id) `id` a&b|c<d>e \"q\" ~",
         "text nt-carol|nt-carol|Carol C |x; touch /tmp/p;  (id) id abcde q |nt-carol|"
         "x; touch /tmp/p;  (id) id abcde q |"},
        {"", ";", false, "o'brien;", "a;b $c", "text o'brien|||ab $c|||ab $c"},
        {"keep_comment_shell_chars=1", nullptr, true, "nt-carol", "x'; $(id)\n",
         "text nt-carol|nt-carol|Carol C |x'; $(id) |nt-carol|x'; $(id) |"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.comment);
        unload();
        free(illegal_output_chars);
        illegal_output_chars = c.illegal ? strdup(c.illegal) : nullptr;
        vtt::gearman_drain("vtdb_vtstatus");
        start(false, c.args);
        auto d = event(c.service ? static_cast<void *>(s) : static_cast<void *>(h), c.service,
                       NOTIFICATION_ACKNOWLEDGEMENT);
        d.command_name = const_cast<char *>("nt-text");
        d.command_args = nullptr;
        d.ack_author = const_cast<char *>(c.author);
        d.ack_data = const_cast<char *>(c.comment);
        EXPECT_EQ(c.expected, compose(c.service ? "vt_get_service_notification_command"
                                                : "vt_get_host_notification_command", d));
    }
    free(illegal_output_chars);
    illegal_output_chars = nullptr;
    // The engine log line of the notification stays one line too.
    (void)carol;
    s->current_state = 2;
    standin::set_text(s->plugin_output, "disk full");
    auto d = event(s, true, NOTIFICATION_ACKNOWLEDGEMENT);
    d.ack_author = const_cast<char *>("nt-carol");
    d.ack_data = const_cast<char *>("on it\nreally");
    standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d);
    EXPECT_EQ(1u, standin::count_log_lines("SERVICE NOTIFICATION: nt-alice;nt-host;nt-disk;ACKNOWLEDGEMENT (CRITICAL);"
                                           "nt-notify;disk full;nt-carol;on it really"));
    EXPECT_EQ(1u, jobs("vtdb_notify", 1).size());
}

// Custom variables can be changed at run time by whoever may send the engine commands, and
// the engine cleans none of them: in the line itself and in the entry's arguments they are
// cleaned like comments, inserted as they stand (never expanded again), and kept whole with
// keep_comment_shell_chars=1.
TEST_F(Notifications, CustomVariablesAreCleanedLikeComments) {
    standin::add_custom_variable(h, "INFO", "x'; touch /tmp/p; `id` $(id) a&b\nnext");
    standin::add_custom_variable(s, "OWNER", "o\"wner|$HOSTNAME$;");
    standin::add_custom_variable(alice, "PAGER", "<555>~\x7f");
    standin::add_command("nt-custom", "custom $_HOSTINFO$|$_SERVICEOWNER$|$_CONTACTPAGER$|$ARG1$|$ARG2$|$$|$HOSTNAME$");
    standin::add_notification_command(alice, "nt-custom!$_SERVICEOWNER$!a\\!$_CONTACTPAGER$", false);
    struct Case {
        const char *args, *illegal, *expected;
    } cases[] = {
        {"", nullptr,
         "custom x; touch /tmp/p; id (id) ab next|ownerHOSTNAME;|555 |ownerHOSTNAME;|a!555 |$|nt-host"},
        {"", ";", "custom x' touch /tmp/p `id` $(id) a&b next|o\"wner|$HOSTNAME$|<555>~ |o\"wner|$HOSTNAME$|"
                  "a!<555>~ |$|nt-host"},
        {"keep_comment_shell_chars=1", nullptr,
         "custom x'; touch /tmp/p; `id` $(id) a&b next|o\"wner|$HOSTNAME$;|<555>~ |o\"wner|$HOSTNAME$;|"
         "a!<555>~ |$|nt-host"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        unload();
        free(illegal_output_chars);
        illegal_output_chars = c.illegal ? strdup(c.illegal) : nullptr;
        vtt::gearman_drain("vtdb_vtstatus");
        start(false, c.args);
        auto d = event(s, true);
        d.command_name = const_cast<char *>("nt-custom");
        d.command_args = const_cast<char *>("$_SERVICEOWNER$!a\\!$_CONTACTPAGER$");
        EXPECT_EQ(c.expected, compose("vt_get_service_notification_command", d));
    }
    free(illegal_output_chars);
    illegal_output_chars = nullptr;
}

TEST_F(Notifications, MethodStartSendsCommandLogLineAndRowAndOverrides) {
    start();
    s->current_state = 2;
    s->current_notification_number = 1;
    standin::set_text(s->plugin_output, "disk 'full'");
    standin::set_text(h->plugin_output, "host output");
    auto d = event(s, true);
    EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d));
    auto notify = jobs("vtdb_notify", 1);
    ASSERT_EQ(1u, notify.size());
    // Ids never set: counters at 0, or (texts from API 7) none yet.
    const std::string no_id = CURRENT_NEB_API_VERSION >= 7 ? "" : "0";
    EXPECT_EQ("notify PROBLEM|1|1|0|" + no_id + "|" + no_id + "||||||||||nt-alice|nt-host|nt-disk|ARGVAL",
              notify[0]);  // no line feed
    auto rows = jobs("vtdb_vtstatus", 1);
    ASSERT_EQ(1u, rows.size());
    const std::string expected = "INSERT INTO vantor4.service_notification VALUES (" + vtr::date(1700000100) +
                                 ",41,42,7001,7003,'ARGVAL',0,2,'disk \\'full\\'',0,NULL,0," + vtr::date(1700000100) +
                                 ",NULL);";
    EXPECT_EQ(expected, rows[0]);
    EXPECT_EQ(1u, standin::count_log_lines("SERVICE NOTIFICATION: nt-alice;nt-host;nt-disk;CRITICAL;nt-notify;"
                                           "disk 'full'"));
    // The row is one the database takes.
    sql.exec("DELETE FROM vantor4.service_notification WHERE host_id=41");
    sql.exec(rows[0]);
    EXPECT_EQ("7003", sql.scalar("SELECT command_id FROM vantor4.service_notification WHERE host_id=41"));

    // The long template for an acknowledgement of a host, and the end of a method.
    h->current_state = 1;
    auto hd = event(h, false, NOTIFICATION_ACKNOWLEDGEMENT);
    hd.ack_author = const_cast<char *>("Bob B");
    hd.ack_data = const_cast<char *>("on it");
    hd.end_time = {1700000160, 0};
    EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &hd));
    EXPECT_EQ(1u, jobs("vtdb_notify", 1).size());
    rows = jobs("vtdb_vtstatus", 1);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("INSERT INTO vantor4.host_notification VALUES (" + vtr::date(1700000100) +
                  ",41,7001,7003,'ARGVAL',1,2,'disk \\'full\\'',7002,'on it',0," + vtr::date(1700000100) + "," +
                  vtr::date(1700000160) + ");",
              rows[0]);
    EXPECT_EQ(1u, standin::count_log_lines("HOST NOTIFICATION: nt-alice;nt-host;ACKNOWLEDGEMENT (DOWN);nt-notify;"
                                           "host output;Bob B;on it"));
    hd.type = NEBTYPE_CONTACTNOTIFICATIONMETHOD_END;
    EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &hd));
    EXPECT_EQ(0, waiting("vtdb_notify"));
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
}

TEST_F(Notifications, MissingIdsStillNotifyAndLoggingCanBeOff) {
    start();
    // Objects the engine had at the load got ids then; one added later has none.
    service *late = add_service(h, "nt-late", nullptr, nullptr);
    log_notifications = 0;
    auto d = event(late, true);
    EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d));
    EXPECT_EQ(1u, jobs("vtdb_notify", 1).size());
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
    EXPECT_EQ(1u, log_count("vtdb_handle_notification: could not find host_id or service_id for nt-host - nt-late"));
    EXPECT_EQ(0u, standin::count_log_lines("NOTIFICATION:"));
    // With logging off, a notification with ids still gives its row, and no log line.
    auto ok = event(s, true);
    standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &ok);
    EXPECT_EQ(1u, jobs("vtdb_vtstatus", 1).size());
    EXPECT_EQ(0u, standin::count_log_lines("NOTIFICATION:"));
}

#if VT_STANDIN_API >= 7
// The engine announces a run of its global notification handler as an event without a
// contact: the module runs that handler as it runs contacts' commands, and never stops it.
TEST_F(Notifications, GlobalHandlersAreTakenOverWithTheirOwnCommandRowAndLine) {
    standin::add_command("nt-global", "global $NOTIFICATIONTYPE$|$SERVICENOTIFICATIONID$|$HOSTNOTIFICATIONID$|"
                                      "$CONTACTNAME$|$HOSTNAME$|$SERVICEDESC$|$ARG1$|$ARG2$");
    sql.exec("INSERT INTO vtcfg.nagios_commands VALUES (7004, 'nt-global')");
    start();
    s->current_state = 2;
    h->current_state = 1;
    standin::set_text(s->plugin_output, "disk full");
    standin::set_text(h->plugin_output, "no route");
    standin::set_notification_id(s, "0b6f1c3e-52aa-4c41-9d0f-8a6e1f2b7c90");
    standin::set_notification_id(h, nullptr);  // none before the first
    standin::set_global_notification_handler(true, "nt-global!svc!two");
    standin::set_global_notification_handler(false, "nt-global!hst");
    struct Case {
        bool service, logged;
        const char *command, *row, *line;
    } cases[] = {
        {true, true, "global PROBLEM|0b6f1c3e-52aa-4c41-9d0f-8a6e1f2b7c90||$CONTACTNAME$|nt-host|nt-disk|svc|two",
         "INSERT INTO vantor4.service_notification VALUES (@,41,42,NULL,7004,'svc!two',0,2,'disk full',0,NULL,0,@,NULL);",
         "SERVICE NOTIFICATION: GLOBAL;nt-host;nt-disk;CRITICAL;nt-global;disk full"},
        // Macros of no object in the context stay as written, as the engine leaves them.
        {false, true, "global PROBLEM|$SERVICENOTIFICATIONID$||$CONTACTNAME$|nt-host|$SERVICEDESC$|hst|",
         "INSERT INTO vantor4.host_notification VALUES (@,41,NULL,7004,'hst',0,1,'no route',0,NULL,0,@,NULL);",
         "HOST NOTIFICATION: GLOBAL;nt-host;DOWN;nt-global;no route"},
        {true, false, "global PROBLEM|0b6f1c3e-52aa-4c41-9d0f-8a6e1f2b7c90||$CONTACTNAME$|nt-host|nt-disk|svc|two",
         "INSERT INTO vantor4.service_notification VALUES (@,41,42,NULL,7004,'svc!two',0,2,'disk full',0,NULL,0,@,NULL);",
         nullptr},
    };
    for (const Case &c : cases) {
        standin::clear_log();
        log_global_notifications = c.logged;
        EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise_global_notification(h, c.service ? s : nullptr));
        auto notify = jobs("vtdb_notify", 1);
        ASSERT_EQ(1u, notify.size());
        EXPECT_EQ(c.command, notify[0]);
        auto rows = jobs("vtdb_vtstatus", 1);
        ASSERT_EQ(1u, rows.size());
        // The event's time is the moment it was raised.
        EXPECT_EQ(c.row, std::regex_replace(rows[0], std::regex("'\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d'"), "@"));
        // A row without a contact is one the database takes.
        sql.exec("DELETE FROM vantor4.service_notification WHERE host_id=41");
        sql.exec("DELETE FROM vantor4.host_notification WHERE host_id=41");
        sql.exec(rows[0]);
        EXPECT_EQ("1", sql.scalar(std::string("SELECT COUNT(*) FROM vantor4.") +
                                  (c.service ? "service" : "host") +
                                  "_notification WHERE host_id=41 AND contact_id IS NULL"));
        EXPECT_EQ(c.line ? 1u : 0u, standin::count_log_lines(c.line ? c.line : "NOTIFICATION:")) << c.command;
        EXPECT_EQ(c.line ? 1u : 0u, standin::log_lines().size());
    }
}
#endif

// An event without a contact that the module cannot run (no global handler known to it) is
// left to the engine: answering it with the override would silently stop that handler.
TEST_F(Notifications, AnEventWithoutAContactThatCannotBeRunIsLeftToTheEngine) {
    start();
    for (bool service : {true, false}) {
        auto d = event(service ? static_cast<void *>(s) : static_cast<void *>(h), service);
        d.contact_ptr = nullptr;
        d.contact_name = nullptr;
        EXPECT_EQ(0, standin::raise(NEBCALLBACK_CONTACT_NOTIFICATION_METHOD_DATA, &d));
    }
    EXPECT_EQ(0, waiting("vtdb_notify"));
    EXPECT_EQ(0, waiting("vtdb_vtstatus"));
    EXPECT_EQ(0u, standin::count_log_lines("NOTIFICATION:"));
}

TEST_F(Notifications, FlappingRows) {
    start();
    struct Case {
        int flapping_type, type;
        void *object;
        const char *expected;  // after the entry time; nullptr: nothing submitted
    } cases[] = {
        {SERVICE_FLAPPING, NEBTYPE_FLAPPING_START, s, ",1000,41,42,77,12.500,20.000,5.000);"},
        {HOST_FLAPPING, NEBTYPE_FLAPPING_STOP, h, ",1001,41,77,12.500,20.000,5.000);"},
        {2, NEBTYPE_FLAPPING_START, s, nullptr},
    };
    for (const Case &c : cases) {
        nebstruct_flapping_data d{};
        d.type = c.type;
        d.timestamp = {1700000200, 0};
        d.flapping_type = c.flapping_type;
        d.percent_change = 12.5;
        d.high_threshold = 20;
        d.low_threshold = 5;
        d.comment_id = 77;
        d.object_ptr = c.object;
        standin::raise(NEBCALLBACK_FLAPPING_DATA, &d);
        if (!c.expected) {
            EXPECT_EQ(0, waiting("vtdb_vtstatus"));
            continue;
        }
        auto rows = jobs("vtdb_vtstatus", 1);
        ASSERT_EQ(1u, rows.size());
        const std::string table = c.flapping_type == HOST_FLAPPING ? "host_flapping" : "service_flapping";
        EXPECT_EQ("INSERT INTO vantor4." + table + " VALUES (" + vtr::date(1700000200) + c.expected, rows[0]);
        sql.exec(rows[0]);  // the database takes it
    }
    nebstruct_flapping_data missing{};
    missing.flapping_type = SERVICE_FLAPPING;
    missing.object_ptr = add_service(h, "nt-late", nullptr, nullptr);  // added after the load: no ids
    EXPECT_EQ(-2, standin::raise(NEBCALLBACK_FLAPPING_DATA, &missing));
    EXPECT_EQ(1u, log_count("vtdb_handle_flapping_data: could not find host_id or service_id for nt-host - nt-late"));
}

TEST_F(Notifications, AuthorizationTests) {
    ASSERT_NE(nullptr, load());
    auto hosts_list = sym<char *>("vt_authorized_for_all_hosts");
    free(*hosts_list);
    *hosts_list = strdup("nt-alice,nt-bob, nt-carol");
    auto for_hosts = reinterpret_cast<int (*)(const char *)>(standin::module_symbol(mod, "vt_is_authorized_for_all_hosts"));
    auto for_services =
        reinterpret_cast<int (*)(const char *)>(standin::module_symbol(mod, "vt_is_authorized_for_all_services"));
    for (auto [name, expected] : std::vector<std::pair<const char *, int>>{
             {"nt-alice", 1}, {"nt-bob", 1}, {"nt-carol", 0}, {" nt-carol", 1}, {"nt-al", 0}, {"", 0}, {nullptr, 0}})
        EXPECT_EQ(expected, for_hosts(name)) << (name ? name : "(null)");
    EXPECT_EQ(0, for_services("nt-alice"));

    auto for_group = reinterpret_cast<int (*)(servicegroup *, contact *)>(
        standin::module_symbol(mod, "vt_is_contact_for_servicegroup"));
    standin::add_contact_to_service(s, alice);
    servicegroup *one = standin::add_servicegroup("nt-one", {s});
    servicegroup *both = standin::add_servicegroup("nt-both", {s, bare});
    servicegroup *empty = standin::add_servicegroup("nt-empty", {});
    EXPECT_EQ(1, for_group(one, alice));
    EXPECT_EQ(0, for_group(both, alice));
    EXPECT_EQ(0, for_group(empty, alice));
    EXPECT_EQ(0, for_group(nullptr, alice));
    EXPECT_EQ(0, for_group(one, nullptr));
}

}  // namespace

namespace {

// State changes in the simulated engine become lines written by the notification user, one
// per notification row.
TEST(SimulatedNotifications, DeliveredByTheDaemonAsVtuser) {
    vtt::gearmand_start();
    vtt::gearman_drain("vtdb_notify");
    vtt::Sql sql;
    sql.exec("DELETE FROM vantor4.host_notification WHERE host_id=970");
    sql.exec("DELETE FROM vantor4.service_notification WHERE host_id=970");
    const std::string file = vtt::path("/var/sim-notifications.log");
    vtt::remove_file(file);
    const vtt::ScopedDaemon daemon("vtstatus_workers=1\nperfdata_workers=1\nnotify_workers=2\n");
    ASSERT_GT(daemon.pid(), 0);
    const std::string out = vtt::path("/var/sim-notify-test.out");
    ASSERT_TRUE(vtt::run_simulator(VT_ENGINE_SIM_PATH,
                                   {"--hosts", "1", "--services", "4", "--seconds", "6", "--check-interval", "1",
                                    "--change-percent", "60", "--first-host-id", "970", "--module", VTDB_MODULE_PATH},
                                   out))
        << vtt::read_file(out);
    auto rows = [&] {
        return sql.count("vantor4.host_notification WHERE host_id=970") +
               sql.count("vantor4.service_notification WHERE host_id=970");
    };
    auto lines = [&] { return vtt::count_lines_containing(file, " sim-host-1"); };
    EXPECT_TRUE(vtt::wait_until([&] { return rows() > 0 && lines() == rows() && vtt::gearman_queued("vtdb_notify") == 0; },
                                20000))
        << rows() << " rows, " << lines() << " lines\n" << vtt::read_file(out);
    EXPECT_EQ(lines(), vtt::count_lines_containing(file, " as vtuser")) << vtt::read_file(file);
    // The contacts and commands the engine names are found in the configuration.
    EXPECT_EQ(0, sql.count("vantor4.service_notification WHERE host_id=970 AND (command_id<0 OR contact_id<0)"));
    EXPECT_NE(std::string::npos, vtt::read_file(out).find("taken over by the module")) << vtt::read_file(out);
}

}  // namespace

namespace {

// The module's own jobs, taken off the job server before any worker runs and submitted again
// (each twice or three times, as a stranger who can read them might): every notification is
// delivered once, and no history row or performance value lands twice.
TEST(SimulatedNotifications, JobsSubmittedAgainAreCarriedOutOnce) {
    vtt::gearmand_start();
    const std::vector<std::string> queues = {"vtdb_notify", "vtdb_vtstatus", "vtdb_statuspri", "vtdb_perfdata"};
    for (const std::string &q : queues)
        vtt::gearman_drain(q);
    vtt::Sql sql;
    sql.exec("DELETE FROM vantor4.host_notification WHERE host_id=971");
    sql.exec("DELETE FROM vantor4.service_notification WHERE host_id=971");
    sql.exec("DROP TABLE IF EXISTS vantor4.service_state_change_971, vantor4.host_state_change_971, "
             "vtperf.service_perf_971");
    const std::string file = vtt::path("/var/sim-notifications.log");
    vtt::remove_file(file);
    const std::string out = vtt::path("/var/sim-notify-again.out");
    ASSERT_TRUE(vtt::run_simulator(VT_ENGINE_SIM_PATH,
                                   {"--hosts", "1", "--services", "4", "--seconds", "7", "--check-interval", "1",
                                    "--change-percent", "60", "--first-host-id", "971", "--module", VTDB_MODULE_PATH},
                                   out))
        << vtt::read_file(out);
    size_t taken = 0;
    // Checks of one service in one second (the values' time has no finer grain) may store the
    // same values twice by right: they are left out of the comparison.
    std::map<std::string, int> perf_checks;
    for (const std::string &q : queues) {
        const long waiting = vtt::gearman_queued(q);
        const std::vector<std::string> jobs = vtt::gearman_take_raw(q, static_cast<size_t>(waiting), 10000);
        ASSERT_EQ(static_cast<size_t>(waiting), jobs.size()) << q;
        for (size_t i = 0; i < jobs.size(); ++i) {
            for (size_t n = 0; n < (i % 2 ? 3u : 2u); ++n)
                vtt::gearman_submit_unsigned(q, jobs[i]);
            if (q != "vtdb_perfdata")
                continue;
            const char *data = nullptr;
            size_t size = 0;
            vt::open_job(q.c_str(), jobs[i].data(), jobs[i].size(), &data, &size);
            vt::for_each_message(data, size, [&](const char *text, size_t len) {
                std::istringstream f(vtt::without_id(std::string(text, len)));
                std::string time, host, service;
                std::getline(f, time, '\t') && std::getline(f, host, '\t') && std::getline(f, service, '\t');
                ++perf_checks[service + "|" + time];
            });
        }
        taken += jobs.size();
    }
    ASSERT_GT(taken, 0u);
    const vtt::ScopedDaemon daemon("vtstatus_workers=2\nperfdata_workers=2\nnotify_workers=2\n");
    ASSERT_GT(daemon.pid(), 0);
    auto rows = [&] {
        return sql.count("vantor4.host_notification WHERE host_id=971") +
               sql.count("vantor4.service_notification WHERE host_id=971");
    };
    auto lines = [&] { return vtt::count_lines_containing(file, " sim-host-1"); };
    auto idle = [&] {
        auto st = vtt::gearman_status();
        for (const std::string &q : queues)
            if (st[q].total != 0)
                return false;
        return true;
    };
    ASSERT_TRUE(vtt::wait_until([&] { return idle() && rows() > 0 && lines() >= rows(); }, 30000))
        << rows() << " rows, " << lines() << " lines\n" << vtt::read_file(out);
    EXPECT_EQ(rows(), lines()) << vtt::read_file(file);
    EXPECT_EQ(0, sql.count("(SELECT 1 FROM vantor4.service_notification WHERE host_id=971 GROUP BY service_id, "
                           "start_time, contact_id, output HAVING COUNT(*) > 1) d"));
    const long history = sql.count("vantor4.service_state_change_971");
    EXPECT_GT(history, 0);
    EXPECT_EQ(history, std::stol(sql.scalar("SELECT COUNT(DISTINCT service_id, entry_time_ms, initial_log_state) FROM "
                                            "vantor4.service_state_change_971")))
        << sql.scalar("SELECT GROUP_CONCAT(CONCAT_WS('|', entry_time, service_id, current_state, state_type, "
                      "initial_log_state, entry_time_ms, LEFT(plugin_output, 50)) ORDER BY service_id, entry_time "
                      "SEPARATOR '\n') FROM vantor4.service_state_change_971");
    EXPECT_GT(sql.count("vtperf.service_perf_971"), 0);
    std::string same_second;
    for (const auto &c : perf_checks)
        if (c.second > 1)
            same_second += " AND CONCAT(service_id, '|', UNIX_TIMESTAMP(entry_time)) <> '" + c.first + "'";
    EXPECT_EQ(0, sql.count("(SELECT 1 FROM vtperf.service_perf_971 WHERE 1" + same_second +
                           " GROUP BY service_id, metric_id, entry_time HAVING COUNT(*) > 1) d"));
}

}  // namespace
