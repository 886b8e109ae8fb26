// Test fixture: the built vtdb module loaded into the stand-in engine, with clean state per test.
#ifndef VT_TEST_MODULE_FIXTURE_H
#define VT_TEST_MODULE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "standin.h"
#include "test_support.h"

namespace vtm {

inline std::string module_log() { return vtt::path("/var/vtdb.log"); }
inline std::string db_conf() { return vtt::path("/etc/db.php"); }

// Restores a file's content (or its absence) when it goes out of scope.
class FileGuard {
public:
    explicit FileGuard(std::string path) : path_(std::move(path)), existed_(vtt::exists(path_)) {
        if (existed_)
            content_ = vtt::read_file(path_);
    }
    ~FileGuard() {
        if (existed_)
            vtt::write_file(path_, content_);
        else
            vtt::remove_file(path_);
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;

private:
    std::string path_;
    bool existed_;
    std::string content_;
};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        vtt::gearmand_start();
        vtt::gearman_drain("vtdb_vtstatus");
        standin::reset_objects();
        standin::reset_settings();
        standin::clear_log();
        vtt::remove_file(module_log());
        vtt::remove_file(vtt::path("/etc/vt_event_guard_active"));
        for (const std::string &f : vtt::list_dir(vtt::path("/var/delayed-messages")))
            vtt::remove_file(vtt::path("/var/delayed-messages/" + f));
        nagios_pid = 4242;
        program_start = 1700000000;
    }
    void TearDown() override {
        unload();
        standin::reset_objects();
        vtt::gearmand_start();
        vtt::gearman_drain("vtdb_vtstatus");
    }

    // Loads the module as the engine does; NULL when it refused.
    nebmodule *load(const std::string &args = "") {
        mod = standin::load_module(VTDB_MODULE_PATH, args);
        return mod;
    }
    standin::UnloadResult unload() {
        standin::UnloadResult r{0, 0};
        if (mod)
            r = standin::unload_module(mod);
        mod = nullptr;
        return r;
    }
    template <typename T> T *sym(const char *name) { return static_cast<T *>(standin::module_symbol(mod, name)); }

    size_t log_count(const std::string &needle) {
        return static_cast<size_t>(vtt::count_lines_containing(module_log(), needle));
    }
    // The jobs the module queued for the status workers, oldest first.
    std::vector<std::string> status_jobs(size_t expected) {
        return vtt::gearman_take("vtdb_vtstatus", expected, 5000);
    }

    nebmodule *mod = nullptr;
};

}  // namespace vtm

#endif
