// Tests of the stand-in's module loading, callback registry, command lines and object lookups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin.h"
#include "test_support.h"

namespace {

std::vector<std::string> calls;
const nebstruct_external_command_data *last_command = nullptr;
std::vector<std::string> command_seen;

int first(int, void *) { calls.push_back("first"); return 0; }
int second(int, void *) { calls.push_back("second"); return 5; }
int third(int, void *) { calls.push_back("third"); return 0; }
int overriding(int, void *) { calls.push_back("override"); return NEBERROR_CALLBACKOVERRIDE; }
int early(int, void *) { calls.push_back("early"); return 0; }
int late(int, void *) { calls.push_back("late"); return 9; }
int removes_second(int, void *) {
    calls.push_back("remover");
    neb_deregister_callback(NEBCALLBACK_NOTIFICATION_DATA, reinterpret_cast<void *>(second));
    return 0;
}
int record_command(int, void *data) {
    last_command = static_cast<const nebstruct_external_command_data *>(data);
    command_seen.push_back(std::to_string(last_command->type) + " " + last_command->command_string + " [" +
                           last_command->command_args + "] " + std::to_string(last_command->entry_time));
    return 0;
}

class StandinModules : public ::testing::Test {
protected:
    void SetUp() override {
        standin::clear_log();
        calls.clear();
        command_seen.clear();
    }
    void TearDown() override {
        if (mod)
            standin::unload_module(mod);
        mod = nullptr;
        standin::reset_objects();
    }
    nebmodule *mod = nullptr;
};

TEST_F(StandinModules, LoadsRaisesAndUnloadsAsTheEngineDoes) {
    mod = standin::load_module(PROBE_MODULE, "answer=7");
    ASSERT_NE(nullptr, mod) << standin::last_load_error();
    EXPECT_EQ("probe", standin::module_info(mod, NEBMODULE_MODINFO_TITLE));
    EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_PROCESS_DATA));
    EXPECT_EQ(1u, standin::callback_count(NEBCALLBACK_AGGREGATED_STATUS_DATA));
    EXPECT_EQ(1u, standin::count_log_lines("probe init answer=7"));

    EXPECT_EQ(7, standin::raise_process_event(NEBTYPE_PROCESS_START));
    auto *probe_calls = static_cast<int *>(standin::module_symbol(mod, "probe_calls"));
    ASSERT_NE(nullptr, probe_calls);
    EXPECT_EQ(1, *probe_calls);

    standin::UnloadResult r = standin::unload_module(mod);
    mod = nullptr;
    EXPECT_EQ(0, r.deinit_result);
    EXPECT_EQ(0u, r.callbacks_left);
    EXPECT_EQ(0u, standin::callback_count());
    EXPECT_EQ(1u, standin::count_log_lines("probe deinit"));
}

TEST_F(StandinModules, RefusedModulesAreDroppedWithoutDeinit) {
    EXPECT_EQ(nullptr, standin::load_module(PROBE_MODULE, "refuse"));
    EXPECT_NE(std::string::npos, standin::last_load_error().find("returned 1"));
    EXPECT_EQ(0u, standin::callback_count());
    EXPECT_EQ(1u, standin::count_log_lines("probe init refuse"));
    EXPECT_EQ(0u, standin::count_log_lines("probe deinit"));

    // A module for another broker API version is never initialized.
    EXPECT_EQ(nullptr, standin::load_module(PROBE_MODULE_OLD_API));
    EXPECT_EQ(1u, standin::count_log_lines("probe init"));
    EXPECT_EQ(nullptr, standin::load_module("/nonexistent/module.so"));
    EXPECT_NE(std::string::npos, standin::last_load_error().find("cannot load module"));

    // What a module leaves registered after its deinit is reported, then removed.
    mod = standin::load_module(PROBE_MODULE, "leave");
    ASSERT_NE(nullptr, mod);
    standin::UnloadResult r = standin::unload_module(mod);
    mod = nullptr;
    EXPECT_EQ(1u, r.callbacks_left);
    EXPECT_EQ(0u, standin::callback_count());
}

TEST_F(StandinModules, CallbacksRunInOrderUntilAnOverride) {
    mod = standin::load_module(PROBE_MODULE);
    ASSERT_NE(nullptr, mod);
    void *handle = mod->module_handle;
    const auto type = NEBCALLBACK_NOTIFICATION_DATA;
    // Modules are known by their library handle, as nebmodule_init received it.
    EXPECT_EQ(NEBERROR_NOMODULEHANDLE, neb_register_callback(type, nullptr, 0, first));
    EXPECT_EQ(NEBERROR_BADMODULEHANDLE, neb_register_callback(type, mod, 0, first));
    EXPECT_EQ(NEBERROR_BADMODULEHANDLE, neb_set_module_info(mod, NEBMODULE_MODINFO_TITLE, nullptr));
    EXPECT_EQ(NEBERROR_CALLBACKBOUNDS, neb_register_callback(NEBCALLBACK_TYPE__COUNT, handle, 0, first));
    EXPECT_EQ(27, NEBCALLBACK_TYPE__COUNT);
    EXPECT_EQ(handle, *static_cast<void **>(standin::module_symbol(mod, "probe_handle")));
    ASSERT_EQ(OK, neb_register_callback(type, handle, 0, first));
    ASSERT_EQ(OK, neb_register_callback(type, handle, 0, second));
    ASSERT_EQ(OK, neb_register_callback(type, handle, 0, third));
    ASSERT_EQ(OK, neb_register_callback(type, handle, -1, early));
    EXPECT_EQ(0, standin::raise(type, nullptr));  // the last callback's result, not the last non-zero one
    EXPECT_EQ((std::vector<std::string>{"early", "first", "second", "third"}), calls);

    // The first override ends the walk and is what the engine sees.
    ASSERT_EQ(OK, neb_register_callback(type, handle, 0, overriding));
    ASSERT_EQ(OK, neb_register_callback(type, handle, 1, late));
    calls.clear();
    EXPECT_EQ(NEBERROR_CALLBACKOVERRIDE, standin::raise(type, nullptr));
    EXPECT_EQ((std::vector<std::string>{"early", "first", "second", "third", "override"}), calls);
    ASSERT_EQ(OK, neb_deregister_callback(type, reinterpret_cast<void *>(overriding)));
    calls.clear();
    EXPECT_EQ(9, standin::raise(type, nullptr));
    EXPECT_EQ("late", calls.back());

    // A callback removed by an earlier one during the same event is not called.
    ASSERT_EQ(OK, neb_deregister_callback(type, reinterpret_cast<void *>(early)));
    ASSERT_EQ(OK, neb_register_callback(type, handle, -1, removes_second));
    calls.clear();
    standin::raise(type, nullptr);
    EXPECT_EQ((std::vector<std::string>{"remover", "first", "third", "late"}), calls);
    EXPECT_EQ(NEBERROR_CALLBACKNOTFOUND, neb_deregister_callback(type, reinterpret_cast<void *>(second)));

    // Leftovers of a module are removed with it.
    standin::unload_module(mod);
    mod = nullptr;
    EXPECT_EQ(0u, standin::callback_count(type));
}

TEST_F(StandinModules, CommandPipeLinesBecomeExternalCommandEvents) {
    mod = standin::load_module(PROBE_MODULE);
    ASSERT_NE(nullptr, mod);
    ASSERT_EQ(OK, neb_register_callback(NEBCALLBACK_EXTERNAL_COMMAND_DATA, mod->module_handle, 0, record_command));
    EXPECT_TRUE(standin::raise_command_line("[1700000000] SCHEDULE_FORCED_HOST_CHECK;web01;1700000001\n"));
    EXPECT_TRUE(standin::raise_command_line("[42]   _VTDB_DUMP_DELAYED"));
    EXPECT_EQ((std::vector<std::string>{
                  "1400 SCHEDULE_FORCED_HOST_CHECK [web01;1700000001] 1700000000",
                  "1401 SCHEDULE_FORCED_HOST_CHECK [web01;1700000001] 1700000000",
                  "1400 _VTDB_DUMP_DELAYED [] 42",
                  "1401 _VTDB_DUMP_DELAYED [] 42",
              }),
              command_seen);
    for (const char *bad : {"_VTDB_DUMP_DELAYED", "[] X", "[12x] X", "[12]", "[12] ;args"})
        EXPECT_FALSE(standin::raise_command_line(bad)) << bad;
    EXPECT_EQ(4u, command_seen.size());
}

TEST_F(StandinModules, LookupsAndEngineLog) {
    host *h = standin::add_host("web01");
    service *s = standin::add_service(h, "http");
    contact *ops = standin::add_contact("ops", "Operations");
    contact *dev = standin::add_contact("dev");
    standin::add_contact_to_service(s, ops);
    standin::add_downtime(HOST_DOWNTIME, 7, "web01", "", 1);
    standin::add_downtime(SERVICE_DOWNTIME, 8, "web01", "http", 0);

    EXPECT_EQ(h, find_host("web01"));
    EXPECT_EQ(s, find_service("web01", "http"));
    EXPECT_EQ(nullptr, find_service("web01", "HTTP"));
    EXPECT_EQ(ops, find_contact("ops"));
    EXPECT_EQ(nullptr, find_contact("Operations"));  // names only, not aliases
    EXPECT_EQ(h, host_list);
    EXPECT_EQ(s, h->services->service_ptr);
    EXPECT_EQ(TRUE, is_contact_for_service(s, ops));
    EXPECT_EQ(FALSE, is_contact_for_service(s, dev));
    ASSERT_NE(nullptr, find_downtime(ANY_DOWNTIME, 7));
    EXPECT_EQ(1, find_downtime(ANY_DOWNTIME, 7)->is_in_effect);
    EXPECT_EQ(nullptr, find_downtime(SERVICE_DOWNTIME, 7));
    EXPECT_NE(nullptr, find_downtime(SERVICE_DOWNTIME, 8));

    const std::string log = vtt::path("/var/standin-test-engine.log");
    vtt::remove_file(log);
    standin::set_log_file(log);
    nm_log(NSLOG_HOST_NOTIFICATION, "%s", "HOST NOTIFICATION: ops;web01;DOWN;notify;gone\n");
    standin::set_log_file("");
    ASSERT_EQ(1u, standin::log_lines().size());
    EXPECT_EQ(NSLOG_HOST_NOTIFICATION, standin::log_lines()[0].level);
    EXPECT_EQ("HOST NOTIFICATION: ops;web01;DOWN;notify;gone", standin::log_lines()[0].text);
    const std::string written = vtt::read_file(log);
    EXPECT_EQ('[', written[0]);
    EXPECT_NE(std::string::npos, written.find("] HOST NOTIFICATION: ops;web01;DOWN;notify;gone\n"));
    EXPECT_EQ(1, vtt::count_lines_containing(log, "HOST NOTIFICATION"));
}

}  // namespace
