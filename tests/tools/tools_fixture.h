// Shared set-up of the tools' tests: a daemon with a small configuration, and running a tool.
#ifndef VT_TOOLS_FIXTURE_H
#define VT_TOOLS_FIXTURE_H

#include "test_support.h"

#include <gtest/gtest.h>
#include <string>

namespace vtt {

struct ToolRun {
    int status = -1;     // exit status, -1 when it did not exit normally
    std::string output;  // standard output and error together
};
// Runs a command line through the shell and collects its output.
ToolRun run_tool(const std::string &command);

// Daemon with its configuration saved and restored, workers' failures cleared.
class ToolsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;
    void start_daemon(const std::string &conf);
    static void set_conf(const std::string &text);
    Sql sql;
    pid_t supervisor = 0;
    std::string conf_saved;
};

}  // namespace vtt

#endif
