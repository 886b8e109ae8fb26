// Safe file access below the install root: links, swapped types and hard links are refused.
#include "test_support.h"
#include "vt_log.h"
#include "vt_safe_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SafeFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("safefiletest");
        TearDown();
        vtt::remove_file(logfile);
        ASSERT_EQ(0, mkdir(base.c_str(), 0755));
        ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
        vtt::write_file(outside + "/target", "root's own\n");
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + base + "' '" + outside + "' '" + logfile + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    long refusals(const std::string &p)
    {
        return vtt::count_lines_containing(logfile, "ERROR refused " + p + ": ");
    }
    const std::string base = vtt::path("/var/safe-test");
    const std::string outside = vtt::path("/../safe-test-outside");
};

TEST_F(SafeFileTest, OpensOnlyWhatIsWhatItSeemsAndLogsEachRefusalOnce)
{
    // What each name is made to be, and whether an append-create through it may succeed.
    const struct {
        const char *name;
        std::function<void(const std::string &)> plant;
        const char *why;  // nullptr: opened
    } cases[] = {
        {"plain", [](const std::string &) {}, nullptr},
        {"link", [&](const std::string &p) { ASSERT_EQ(0, symlink((outside + "/target").c_str(), p.c_str())); },
         "it is a symbolic link, not a regular file"},
        {"dangling", [&](const std::string &p) { ASSERT_EQ(0, symlink((outside + "/new").c_str(), p.c_str())); },
         "it is a symbolic link, not a regular file"},
        {"fifo", [](const std::string &p) { ASSERT_EQ(0, mkfifo(p.c_str(), 0666)); },
         "it is a named pipe, not a regular file"},
        {"dir", [](const std::string &p) { ASSERT_EQ(0, mkdir(p.c_str(), 0755)); }, "it is a directory, not a regular file"},
        {"hardlink", [&](const std::string &p) { ASSERT_EQ(0, link((outside + "/target").c_str(), p.c_str())); },
         "a regular file with 2 names (a hard link)"},
    };
    for (const auto &c : cases) {
        const std::string p = base + "/" + c.name;
        c.plant(p);
        for (int attempt = 0; attempt < 2; ++attempt) {
            vt::Fd fd = vt::safe::open_file(p, O_WRONLY | O_APPEND | O_CREAT, 0644);
            EXPECT_EQ(c.why == nullptr, static_cast<bool>(fd)) << c.name;
            if (fd) {
                EXPECT_EQ(0, fcntl(fd.get(), F_GETFL) & O_NONBLOCK) << c.name;
            }
        }
        if (c.why)
            EXPECT_EQ(1, vtt::count_lines_containing(logfile, "ERROR refused " + p + ": " + c.why)) << c.name;
        else
            EXPECT_EQ(0, refusals(p)) << c.name;
    }
    EXPECT_EQ("root's own\n", vtt::read_file(outside + "/target"));
    EXPECT_FALSE(vtt::exists(outside + "/new"));

    // A missing file is no refusal; a pipe is accepted where one is asked for.
    errno = 0;
    EXPECT_FALSE(vt::safe::open_file(base + "/missing", O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
    int reader = open((base + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(vt::safe::open_file(base + "/fifo", O_WRONLY, 0, vt::safe::Kind::Fifo));
    EXPECT_FALSE(vt::safe::open_file(base + "/plain", O_WRONLY, 0, vt::safe::Kind::Fifo));
    EXPECT_TRUE(vt::safe::open_file(base + "/hardlink", O_RDONLY));  // read, never written
    close(reader);
    EXPECT_EQ(0, refusals(base + "/missing"));
}

TEST_F(SafeFileTest, NoDirectoryBelowTheRootIsFollowed)
{
    // A link in the middle of the path, and a file where a directory belongs.
    ASSERT_EQ(0, symlink(outside.c_str(), (base + "/sub").c_str()));
    vtt::write_file(base + "/file", "");
    EXPECT_FALSE(vt::safe::open_dir(base + "/sub"));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_FALSE(vt::safe::open_file(base + "/sub/target", O_WRONLY | O_APPEND));
    EXPECT_FALSE(vt::safe::open_file(base + "/sub/created", O_WRONLY | O_CREAT, 0644));
    EXPECT_FALSE(vt::safe::open_dir(base + "/file/"));
    EXPECT_FALSE(vt::safe::open_dir(base + "/../var/safe-test"));
    EXPECT_EQ(1, vtt::count_lines_containing(logfile, "ERROR refused " + base + "/sub: it is a symbolic link, not a directory"));
    EXPECT_EQ(1, refusals(base + "/file"));
    EXPECT_FALSE(vtt::exists(outside + "/created"));

    // Removal and listing work on the directory's own entries, never through a link.
    vt::Fd dir = vt::safe::open_dir(base + "/");
    ASSERT_TRUE(dir);
    size_t seen = 0;
    for (const auto &e : vt::safe::list(dir.get()))
        seen += (e.name == "sub" && S_ISLNK(e.st.st_mode)) + (e.name == "file" && S_ISREG(e.st.st_mode));
    EXPECT_EQ(2u, seen);
    struct stat old;
    ASSERT_TRUE(vt::safe::stat_at(dir.get(), "file", old));
    vtt::write_file(base + "/file.new", "");  // made while the old one exists: another inode
    ASSERT_EQ(0, rename((base + "/file.new").c_str(), (base + "/file").c_str()));
    EXPECT_FALSE(vt::safe::remove_at(dir.get(), "file", &old));  // not the file we saw
    EXPECT_TRUE(vt::safe::remove_at(dir.get(), "sub"));
    EXPECT_TRUE(vtt::exists(outside + "/target"));
    EXPECT_TRUE(vtt::exists(base + "/file"));
}

}  // namespace
