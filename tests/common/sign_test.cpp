// The job key file and the signed envelope: what key files are taken, and what a check finds.
#include "test_support.h"
#include "vt_batch.h"
#include "vt_sign.h"
#include "vt_util.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

class SignTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vtt::init_runtime("signtest");
        TearDown();
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    }
    void TearDown() override
    {
        ASSERT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
        vt::forget_job_key();
    }
    // Writes a key file of this content and mode; true when it is then taken.
    bool takes(const std::string &content, mode_t mode, std::string &why)
    {
        unlink(key.c_str());
        vtt::write_file(key, content);
        chmod(key.c_str(), mode);
        return vt::load_job_key(key, why);
    }
    const std::string dir = vtt::path("/var/sign-test");
    const std::string key = dir + "/vantor.key";
};

TEST_F(SignTest, KeyFilesOfTheRightFormAndModeOnly)
{
    std::string raw32;  // 32 different bytes, NUL and line feed among them
    for (int i = 0; i < 32; ++i)
        raw32 += static_cast<char>(i * 8);
    std::string half_distinct, fifteen;  // 16 different values in 32 bytes: as few as a random key may have
    for (int i = 0; i < 32; ++i) {
        half_distinct += static_cast<char>(i % 16 + 100);
        fifteen += static_cast<char>(i % 15 + 100);
    }
    std::string hex128;  // a 64-byte key of 64 different bytes
    for (int i = 0; i < 64; ++i)
        hex128 += vt::format("%02x", i * 3);
    const struct {
        const char *name;
        std::string content;
        mode_t mode;
        bool taken;
        const char *why;  // part of the refusal
    } cases[] = {
        {"hex, owner and group read", kHex, 0640, true, ""},
        {"hex with a line feed", kHex + "\n", 0600, true, ""},
        {"upper-case hex", "AABBCCDDEEFF00112233445566778899AABBCCDDEEFF00112233445566778899", 0400, true, ""},
        {"32 raw bytes", raw32, 0640, true, ""},
        {"others may read", kHex, 0644, false, "mode 0644"},
        {"others may write", kHex, 0642, false, "mode 0642"},
        {"group may write", kHex, 0660, false, "mode 0660"},
        {"too short a hex key", kHex.substr(2), 0640, false, "neither"},
        {"31 raw bytes", raw32.substr(1), 0640, false, "neither"},
        {"empty", "", 0640, false, "neither"},
        {"hex with a stray character", kHex.substr(1) + "g", 0640, false, "neither"},
        {"128 hex digits", hex128 + "\r\n", 0640, true, ""},
        {"130 hex digits", kHex + kHex + "ab", 0640, false, "neither"},
        {"16 of 32 bytes different", half_distinct, 0640, true, ""},
        // Keys nobody drew at random: refused, with how to make one.
        {"64 zero digits", std::string(64, '0') + "\n", 0640, false, "take only 1 different values; make one with"},
        {"32 NUL bytes", std::string(32, '\0'), 0640, false, "its 32 bytes take only 1 different values"},
        {"a repeated password", "hunter2!hunter2!hunter2!hunter2!", 0640, false, "take only 8 different values"},
        {"15 of 32 bytes different", fifteen, 0640, false, "only 15 different"},
        {"a pattern typed as hex", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", 0640, false,
         "only 8 different"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_EQ(c.taken, takes(c.content, c.mode, why)) << c.name << ": " << why;
        EXPECT_EQ(c.taken, vt::job_key_loaded()) << c.name;
        EXPECT_NE(std::string::npos, why.find(c.why)) << c.name << ": " << why;
    }

    // Names that are not the file itself are refused, whatever the file behind them.
    std::string why;
    ASSERT_TRUE(takes(kHex, 0640, why));
    ASSERT_EQ(0, symlink(key.c_str(), (dir + "/link.key").c_str()));
    EXPECT_FALSE(vt::load_job_key(dir + "/link.key", why));
    EXPECT_EQ("it is a symbolic link", why);
    ASSERT_EQ(0, link(key.c_str(), (dir + "/second.key").c_str()));
    EXPECT_FALSE(vt::load_job_key(key, why));
    EXPECT_NE(std::string::npos, why.find("one name")) << why;
    EXPECT_FALSE(vt::load_job_key(dir + "/missing.key", why));
    EXPECT_FALSE(vt::job_key_loaded());
}

TEST_F(SignTest, OnlyTheUntouchedJobOfItsOwnQueueVerifies)
{
    std::string why;
    ASSERT_TRUE(takes(kHex, 0640, why)) << why;
    std::string batch;
    vt::batch_append(batch, "one", 3);
    vt::batch_append(batch, "two", 3);
    for (const std::string &job : {std::string("UPDATE t SET a=1"), batch, std::string()}) {
        const std::string sealed = vt::sign_job("vtdb_vtstatus", job.data(), job.size());
        const char *inner = nullptr;
        size_t size = 0;
        ASSERT_EQ(vt::JobCheck::Signed, vt::open_job("vtdb_vtstatus", sealed.data(), sealed.size(), &inner, &size));
        EXPECT_EQ(job, std::string(inner, size));
        // Every single byte changed, the header's and the authenticator's among them.
        for (size_t i = 0; i < sealed.size(); ++i) {
            std::string bad = sealed;
            bad[i] = static_cast<char>(bad[i] ^ 0x01);
            EXPECT_NE(vt::JobCheck::Signed, vt::open_job("vtdb_vtstatus", bad.data(), bad.size(), &inner, &size)) << i;
        }
        EXPECT_EQ(vt::JobCheck::Forged, vt::open_job("vtdb_statuspri", sealed.data(), sealed.size(), &inner, &size));
        EXPECT_EQ(vt::JobCheck::Forged, vt::open_job("vtdb_vtstatus", sealed.data(), sealed.size() - 1, &inner, &size));
        EXPECT_EQ(vt::JobCheck::Forged,
                  vt::open_job("vtdb_vtstatus", (sealed + "x").data(), sealed.size() + 1, &inner, &size));
        // Signed twice alike, the jobs still differ: a fresh nonce each time.
        EXPECT_NE(sealed, vt::sign_job("vtdb_vtstatus", job.data(), job.size()));
    }
    // Another key does not verify it; without the envelope a job is unsigned, as it stands.
    const std::string sealed = vt::sign_job("vtdb_notify", "/bin/true", 9);
    ASSERT_TRUE(takes(std::string(kHex.rbegin(), kHex.rend()), 0640, why)) << why;
    const char *inner = nullptr;
    size_t size = 0;
    EXPECT_EQ(vt::JobCheck::Forged, vt::open_job("vtdb_notify", sealed.data(), sealed.size(), &inner, &size));
    EXPECT_EQ(vt::JobCheck::Unsigned, vt::open_job("vtdb_notify", "/bin/true", 9, &inner, &size));
    EXPECT_EQ("/bin/true", std::string(inner, size));
    EXPECT_EQ(vt::JobCheck::Unsigned, vt::open_job("vtdb_notify", batch.data(), batch.size(), &inner, &size));
    vt::forget_job_key();
    EXPECT_EQ("/bin/true", vt::sign_job("vtdb_notify", "/bin/true", 9));  // nothing to sign with
    EXPECT_EQ(vt::JobCheck::Forged, vt::open_job("vtdb_notify", sealed.data(), sealed.size(), &inner, &size));
}

// The signed time stamp bounds how long a job may still be carried out: from the oldest time
// given on, never before it; without a bound every signed job opens.
TEST_F(SignTest, JobsStampedBeforeTheOldestTimeAreExpired)
{
    std::string why;
    ASSERT_TRUE(takes(kHex, 0640, why)) << why;
    const std::string sealed = vt::sign_job("vtdb_vtstatus", "SELECT 1", 8, 1700000000);
    const char *inner = nullptr;
    size_t size = 0;
    EXPECT_EQ(vt::JobCheck::Signed, vt::open_job("vtdb_vtstatus", sealed.data(), sealed.size(), &inner, &size, 1700000000));
    EXPECT_EQ("SELECT 1", std::string(inner, size));
    EXPECT_EQ(vt::JobCheck::Expired,
              vt::open_job("vtdb_vtstatus", sealed.data(), sealed.size(), &inner, &size, 1700000001));
    EXPECT_EQ(vt::JobCheck::Signed, vt::open_job("vtdb_vtstatus", sealed.data(), sealed.size(), &inner, &size));
    // An old stamp made young again no longer verifies.
    std::string young = sealed;
    young[vt::kSignedHeaderSize + vt::kJobMacSize + 7] = static_cast<char>(0xff);
    EXPECT_EQ(vt::JobCheck::Forged, vt::open_job("vtdb_vtstatus", young.data(), young.size(), &inner, &size, 1700000001));
}

}  // namespace
