// Tests of the stand-in's macro processor: resolution rules, custom variables, $ARGn$, options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "standin.h"

namespace {

class Macros : public ::testing::Test {
protected:
    void SetUp() override {
        standin::reset_objects();
        standin::reset_settings();
        memset(&mac, 0, sizeof mac);
    }
    void TearDown() override {
        clear_volatile_macros_r(&mac);
        standin::reset_objects();
    }

    // Expands text with the test's context.
    std::string expand(const std::string &text, int options = 0) {
        std::string buf = text;
        char *out = nullptr;
        EXPECT_EQ(OK, process_macros_r(&mac, &buf[0], &out, options));
        std::string result = out ? out : "<null>";
        free(out);
        return result;
    }

    nagios_macros mac;
};

TEST_F(Macros, UnresolvableMacrosStayAsWrittenAndUnsetOnesAreEmpty) {
    host *h = standin::add_host("web01");
    standin::add_custom_variable(h, "_HOST_ID", "17");
    // Without a host in the context, host macros and host custom variables are unresolvable.
    EXPECT_EQ("$HOSTNAME$ $_HOSTHOST_ID$", expand("$HOSTNAME$ $_HOSTHOST_ID$"));

    grab_host_macros_r(&mac, h);
    EXPECT_EQ("web01 17", expand("$HOSTNAME$ $_HOSTHOST_ID$"));
    EXPECT_EQ("$NOSUCHMACRO$ and $_HOSTMISSING$", expand("$NOSUCHMACRO$ and $_HOSTMISSING$"));
    EXPECT_EQ("$_SERVICESERVICE_ID$", expand("$_SERVICESERVICE_ID$"));
    EXPECT_EQ("100$ cash", expand("100$$ cash"));
    EXPECT_EQ("ends with $HOSTNAME", expand("ends with $HOSTNAME"));
    // Known macros whose value is unset expand to nothing.
    EXPECT_EQ("[][][]", expand("[$HOSTPERFDATA$][$NOTIFICATIONAUTHOR$][$ARG3$]"));
}

TEST_F(Macros, CustomVariablesOfHostsServicesAndContacts) {
    host *h = standin::add_host("db01");
    standin::add_custom_variable(h, "_HOST_ID", "17");
    service *s = standin::add_service(h, "disk /");
    standin::add_custom_variable(s, "_host_id", "17");  // names are kept upper-cased
    standin::add_custom_variable(s, "_SERVICE_ID", "42");
    contact *c = standin::add_contact("ops", "Operations", "ops@example.org");
    standin::add_custom_variable(c, "_PHONE", "+1 555 0100");

    grab_host_macros_r(&mac, h);
    grab_service_macros_r(&mac, s);
    grab_contact_macros_r(&mac, c);
    EXPECT_EQ("17/17/42", expand("$_HOSTHOST_ID$/$_SERVICEHOST_ID$/$_SERVICESERVICE_ID$", 3));
    EXPECT_EQ("+1 555 0100", expand("$_CONTACTPHONE$"));
    // The variable name after the prefix is compared exactly.
    EXPECT_EQ("$_SERVICEservice_id$", expand("$_SERVICEservice_id$"));
}

TEST_F(Macros, StandardMacrosComeFromTheObjectsAndSetValuesWin) {
    host *h = standin::add_host("web01", "10.0.0.5");
    h->current_state = STATE_DOWN;
    standin::set_text(h->plugin_output, "CRITICAL - no route");
    service *s = standin::add_service(h, "http");
    s->current_state = STATE_CRITICAL;
    s->state_type = SOFT_STATE;
    s->current_notification_number = 3;
    standin::set_notification_id(s, "4000000000");
    standin::set_text(s->plugin_output, "HTTP 500");
    contact *c = standin::add_contact("ops", "Operations", "ops@example.org");

    grab_host_macros_r(&mac, h);
    grab_service_macros_r(&mac, s);
    grab_contact_macros_r(&mac, c);
    EXPECT_EQ("web01 10.0.0.5 DOWN CRITICAL - no route", expand("$HOSTNAME$ $HOSTADDRESS$ $HOSTSTATE$ $HOSTOUTPUT$"));
    EXPECT_EQ("http CRITICAL SOFT HTTP 500", expand("$SERVICEDESC$ $SERVICESTATE$ $SERVICESTATETYPE$ $SERVICEOUTPUT$"));
    EXPECT_EQ("ops Operations ops@example.org", expand("$CONTACTNAME$ $CONTACTALIAS$ $CONTACTEMAIL$"));
    EXPECT_EQ("3 4000000000", expand("$SERVICENOTIFICATIONNUMBER$ $SERVICENOTIFICATIONID$"));

    mac.x[MACRO_NOTIFICATIONTYPE] = strdup("PROBLEM");
    mac.x[MACRO_NOTIFICATIONCOMMENT] = strdup("disk replaced");
    mac.x[MACRO_SERVICENOTIFICATIONNUMBER] = strdup("7");
    EXPECT_EQ("PROBLEM: disk replaced #7", expand("$NOTIFICATIONTYPE$: $NOTIFICATIONCOMMENT$ #$SERVICENOTIFICATIONNUMBER$"));
    EXPECT_STREQ("ACKNOWLEDGEMENT", notification_reason_name(NOTIFICATION_ACKNOWLEDGEMENT));
    EXPECT_STREQ("CUSTOM", notification_reason_name(NOTIFICATION_CUSTOM));
}

TEST_F(Macros, RawCommandLineSplitsArgumentsAndExpandsThem) {
    host *h = standin::add_host("web01");
    command *cmd = standin::add_command("notify", "/bin/notify -a '$ARG1$' -b '$ARG2$' -c '$ARG3$' -d '$ARG4$'");
    grab_host_macros_r(&mac, h);

    char text[] = "notify!first arg!a\\!b!$HOSTNAME$";
    char *raw = nullptr;
    ASSERT_EQ(OK, get_raw_command_line_r(&mac, cmd, text, &raw, 3));
    ASSERT_NE(nullptr, raw);
    EXPECT_STREQ(cmd->command_line, raw);  // the line itself is not expanded yet
    char *full = nullptr;
    ASSERT_EQ(OK, process_macros_r(&mac, raw, &full, 3));
    EXPECT_STREQ("/bin/notify -a 'first arg' -b 'a!b' -c 'web01' -d ''", full);
    free(full);
    free(raw);

    // A new command line replaces the arguments of the previous one.
    char shorter[] = "notify!only";
    ASSERT_EQ(OK, get_raw_command_line_r(&mac, cmd, shorter, &raw, 0));
    free(raw);
    EXPECT_EQ("only||", expand("$ARG1$|$ARG2$|$ARG3$"));

    EXPECT_EQ(ERROR, get_raw_command_line_r(&mac, nullptr, shorter, &raw, 0));
    EXPECT_EQ(nullptr, raw);
}

TEST_F(Macros, StripOptionCleansTheEngineCleanedMacrosOnly) {
    host *h = standin::add_host("web01");
    standin::add_custom_variable(h, "_NOTE", "a&b\x01");
    standin::set_text(h->notes, "host <notes>\x02");
    standin::set_text(h->check_command, "check-host!`x`\x03");
    service *s = standin::add_service(h, "it's `up`\x04");
    standin::set_text(s->plugin_output, "it's <b>down</b> | $x & y\x01\n2nd");
    standin::set_text(s->notes, "svc&notes\x7f");
    standin::set_text(s->check_command, "check-svc!$a$\x05");
    grab_host_macros_r(&mac, h);
    grab_service_macros_r(&mac, s);

    const std::string cleaned = "$SERVICEOUTPUT$/$HOSTNOTES$/$SERVICENOTES$/$HOSTCHECKCOMMAND$/$SERVICECHECKCOMMAND$";
    const std::string kept = "$SERVICEDESC$/$_HOSTNOTE$";
    const std::string raw_cleaned = "it's <b>down</b> | $x & y\x01\n2nd/host <notes>\x02/svc&notes\x7f/"
                                    "check-host!`x`\x03/check-svc!$a$\x05";
    const std::string raw_kept = "it's `up`\x04/a&b\x01";
    EXPECT_EQ(raw_cleaned, expand(cleaned, 0));
    EXPECT_EQ(raw_cleaned, expand(cleaned, ESCAPE_MACRO_CHARS));
    // Without illegal_macro_output_chars only control characters go, and only from the
    // cleaned macros.
    EXPECT_EQ("it's <b>down</b> | $x & y2nd/host <notes>/svc&notes/check-host!`x`/check-svc!$a$",
              expand(cleaned, STRIP_ILLEGAL_MACRO_CHARS));
    EXPECT_EQ(raw_kept, expand(kept, 3));

    illegal_output_chars = strdup("`~$&|'\"<>");
    EXPECT_EQ("its bdown/b  x  y2nd/host notes/svcnotes/check-host!x/check-svc!a", expand(cleaned, 3));
    EXPECT_EQ(raw_kept, expand(kept, 3));
}

TEST_F(Macros, ClearFunctionsReleaseTheirKindOnly) {
    host *h = standin::add_host("web01");
    service *s = standin::add_service(h, "http");
    contact *c = standin::add_contact("ops");
    grab_host_macros_r(&mac, h);
    grab_service_macros_r(&mac, s);
    grab_contact_macros_r(&mac, c);
    mac.x[MACRO_HOSTNOTIFICATIONNUMBER] = strdup("1");
    mac.x[MACRO_SERVICENOTIFICATIONID] = strdup("2");
    mac.x[MACRO_TOTALHOSTSUP] = strdup("3");
    mac.x[MACRO_NOTIFICATIONTYPE] = strdup("RECOVERY");

    clear_host_macros_r(&mac);
    EXPECT_EQ(nullptr, mac.x[MACRO_HOSTNOTIFICATIONNUMBER]);
    EXPECT_EQ("$HOSTNAME$ http ops", expand("$HOSTNAME$ $SERVICEDESC$ $CONTACTNAME$"));
    clear_summary_macros_r(&mac);
    EXPECT_EQ(nullptr, mac.x[MACRO_TOTALHOSTSUP]);
    clear_service_macros_r(&mac);
    clear_contact_macros_r(&mac);
    EXPECT_EQ(nullptr, mac.x[MACRO_SERVICENOTIFICATIONID]);
    EXPECT_EQ("$SERVICEDESC$ $CONTACTNAME$ RECOVERY", expand("$SERVICEDESC$ $CONTACTNAME$ $NOTIFICATIONTYPE$"));
    clear_volatile_macros_r(&mac);
    EXPECT_EQ(nullptr, mac.x[MACRO_NOTIFICATIONTYPE]);
}

}  // namespace
