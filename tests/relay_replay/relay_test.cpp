// The command relay: lines as the engine must read them, and the child working through vantor_cmd.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"
#include "vt_connector.h"
#include "vt_log.h"
#include "vt_replay.h"
#include "vantor_config.h"

namespace {

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::init_runtime("vantorconnector");
        unlink(VT_CMD_PIPE);
        sql.exec("DELETE FROM vantor4.vantor_cmd");
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (reader >= 0)
            close(reader);
        unlink(VT_CMD_PIPE);
        sql.exec("DELETE FROM vantor4.vantor_cmd");
    }
    // The engine's side: the named pipe, opened for reading.
    void open_reader() {
        mkfifo(VT_CMD_PIPE, 0660);
        reader = open(VT_CMD_PIPE, O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
    }
    std::string drain() {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = read(reader, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    void queue(const std::string &command) {
        std::string quoted;
        for (char c : command) {
            if (c == '\\' || c == '\'')
                quoted += '\\';
            quoted += c;
        }
        sql.exec("INSERT INTO vantor4.vantor_cmd (command) VALUES ('" + quoted + "')");
    }
    long rows() { return sql.count("vantor4.vantor_cmd"); }

    vtt::Sql sql;
    int reader = -1;
    pid_t child = 0;
};

TEST(RelayLine, BackslashesQuotesAndOneLineFeed) {
    const struct {
        const char *text, *line;
    } cases[] = {
        {"[1] ACK;h;s", "[1] ACK;h;s\n"},
        {"done\n", "done\n"},
        {"done\n\n\n", "done\n"},
        {"", "\n"},
        {"it\\'s", "it's\n"},
        {"C:\\\\tmp", "C:\\tmp\n"},
        {"keep \\n and \\x", "keep \\n and \\x\n"},
        {"trailing\\", "trailing\\\n"},
        {"first\nsecond", "first\nsecond\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.line, vt_command_line_for_pipe(c.text)) << c.text;
}

TEST_F(RelayTest, WritesOnlyToANamedPipeWithAReaderAndWholeLinesOnly) {
    EXPECT_EQ(-2, vt_write_to_cmd_pipe("x"));  // no pipe
    mkfifo(VT_CMD_PIPE, 0660);
    EXPECT_EQ(-2, vt_write_to_cmd_pipe("x"));  // nobody reads it
    unlink(VT_CMD_PIPE);
    vtt::write_file(VT_CMD_PIPE, "");
    EXPECT_EQ(-2, vt_write_to_cmd_pipe("x"));  // not a pipe
    EXPECT_EQ("", vtt::read_file(VT_CMD_PIPE));
    unlink(VT_CMD_PIPE);

    open_reader();
    EXPECT_EQ(0, vt_write_to_cmd_pipe("[1] CMD"));
    EXPECT_EQ("[1] CMD\n", drain());

    // Longer than the pipe holds: written in parts while the engine reads, never cut, even
    // when the engine stops reading for longer than a while (which is logged every 10 s).
    const std::string long_line(300000, 'y');
    std::string got;
    std::thread engine([&] {
        sleep(12);  // not reading: the writer fills the pipe and has to wait
        for (int waited = 0; got.size() < long_line.size() + 1 && waited < 20000; ++waited) {
            got += drain();
            usleep(1000);
        }
    });
    EXPECT_EQ(0, vt_write_to_cmd_pipe(long_line.c_str()));
    engine.join();
    EXPECT_EQ(long_line + "\n", got);
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, "the engine has not read for 1"));
}

TEST_F(RelayTest, ARowIsOneCommandOrIsDropped) {
    queue("[1] FIRST\n\n");
    queue("[2] ACK;h\n[9] INJECTED");
    queue("[3] ACK;h\r[9] INJECTED");
    sql.exec("INSERT INTO vantor4.vantor_cmd (command) VALUES (CONCAT('[4] ACK', CHAR(0), '[9] INJECTED'))");
    queue("[5] LAST\r\n");
    const std::vector<vtt::Row> ids = sql.rows("SELECT id FROM vantor4.vantor_cmd ORDER BY id");
    ASSERT_EQ(5u, ids.size());
    open_reader();
    child = vt_external_command_dispatcher();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(vtt::wait_until([&] { return rows() == 0; }, 5000));
    ASSERT_TRUE(vtt::wait_until([&] { return vtt::count_lines_containing(logfile, "processed 2 external commands") >= 1; }, 3000));
    EXPECT_EQ("[1] FIRST\n[5] LAST\n", drain());
    // Each dropped row is named once, with its id and its text made visible.
    const struct {
        int nth;
        const char *text;
    } dropped[] = {{2, "holds a line feed: [2] ACK;h\\n[9] INJECTED"},
                   {3, "holds a carriage return: [3] ACK;h\\r[9] INJECTED"},
                   {4, "holds a NUL byte: [4] ACK\\0[9] INJECTED"}};
    for (const auto &d : dropped) {
        const std::string id = *ids[d.nth - 1][0];
        EXPECT_EQ(1, vtt::count_lines_containing(logfile, "ERROR vantor_cmd row " + id + " not relayed, its command " + d.text))
            << id;
    }
}

TEST_F(RelayTest, ChildRelaysQueuedRowsWhileTheEngineReads) {
    queue("[1] FIRST");
    sql.exec("INSERT INTO vantor4.vantor_cmd (command) VALUES (NULL)");
    queue("[2] SECOND\\'s");
    child = vt_external_command_dispatcher();
    ASSERT_GT(child, 0);
    // No engine reading: everything waits.
    sleep(2);
    EXPECT_EQ(3, rows());

    open_reader();
    ASSERT_TRUE(vtt::wait_until([&] { return rows() == 1; }, 5000));
    EXPECT_EQ("[1] FIRST\n[2] SECOND's\n", drain());
    // The row without a command stays, pass after pass.
    sleep(1);
    EXPECT_EQ(1, sql.count("vantor4.vantor_cmd WHERE command IS NULL"));
    EXPECT_EQ("", drain());
    EXPECT_GE(vtt::count_lines_containing(vtt::path("/var/vantorconnector.log"), "processed 2 external commands"), 1);
}

TEST_F(RelayTest, AFullPipeStopsThePassAndLaterRowsWait) {
    open_reader();
    ASSERT_EQ(4096, fcntl(reader, F_SETPIPE_SZ, 4096));
    const std::string big(1500, 'b');
    for (int i = 1; i <= 5; i++)
        queue("[" + std::to_string(i) + "] " + (i <= 3 ? big : "small"));
    child = vt_external_command_dispatcher();
    ASSERT_GT(child, 0);
    // Two lines fit; the third does not, and it and the two behind it stay.
    ASSERT_TRUE(vtt::wait_until([&] { return rows() == 3; }, 5000));
    sleep(1);
    EXPECT_EQ(3, rows());
    EXPECT_EQ("[1] " + big + "\n[2] " + big + "\n", drain());
    ASSERT_TRUE(vtt::wait_until([&] { return rows() == 0; }, 5000));
    EXPECT_EQ("[3] " + big + "\n[4] small\n[5] small\n", drain());
}

}  // namespace
