// veilnox-run and the catalog scripts of bat/, run as the client runs them
// (sh bat/<name>.sh from the program folder) against a private data folder.
#include "test_module_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace vnxtest;

namespace {

const std::string kGuid = "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF}";

std::string readFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class ModuleRun : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vnxrunXXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        root_ = dir;
        data_ = root_ + "/data";
        catalog_ = data_ + "/Veilnox/module/catalog";
        // A program folder of our own: bat/ scripts and (when wanted) a
        // copy of the library beside it.
        program_ = root_ + "/program";
        ASSERT_TRUE(runCommand("mkdir -p " + program_ + " && cp -r " VNX_BIN_DIR "/bat " + program_ + "/"));
    }
    void TearDown() override { runCommand("rm -rf " + root_); }
    RunResult script(const std::string& name) {
        return runProgram({"sh", "-c", "cd " + program_ + " && sh bat/" + name + ".sh"}, env(), 20000, false);
    }
    RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), VNX_RUN_PATH);
        return runProgram(args, env(), 20000, false);
    }
    std::vector<std::string> env() { return {"XDG_DATA_HOME=" + data_}; }
    void putLibrary() { ASSERT_TRUE(runCommand("cp " VNX_MODULE_PATH " " + program_ + "/libveilnox-module.so")); }

    std::string root_, data_, catalog_, program_;
};

TEST_F(ModuleRun, InstallAndFormatKeepTheCatalogRight) {
    for (const char* bits : {"64", "32"}) {
        SCOPED_TRACE(bits);
        runCommand("rm -f " + program_ + "/libveilnox-module.so");
        RunResult missing = script(std::string("veilnox-install") + bits);
        EXPECT_NE(missing.exitCode, 0);
        EXPECT_NE(missing.output.find("missing"), std::string::npos) << missing.output;
        EXPECT_EQ(readFile(catalog_).find(kGuid), std::string::npos);

        putLibrary();
        runCommand("mkdir -p " + data_ + "/Veilnox/module");
        std::ofstream(catalog_) << "{11111111-2222-3333-4444-555555555555} /opt/other/provider.so\n";
        EXPECT_EQ(script(std::string("veilnox-install") + bits).exitCode, 0);
        EXPECT_EQ(script(std::string("veilnox-install") + bits).exitCode, 0) << "twice: still one line";
        const std::string line = kGuid + " " + program_ + "/libveilnox-module.so\n";
        EXPECT_EQ(readFile(catalog_), "{11111111-2222-3333-4444-555555555555} /opt/other/provider.so\n" + line);
        struct stat st;
        ASSERT_EQ(stat(catalog_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u);

        EXPECT_EQ(script(std::string("veilnox-format") + bits).exitCode, 0);
        EXPECT_EQ(script(std::string("veilnox-format") + bits).exitCode, 0);
        EXPECT_EQ(readFile(catalog_), "{11111111-2222-3333-4444-555555555555} /opt/other/provider.so\n")
            << "only our line goes";
    }
    runCommand("rm -rf " + data_);
    EXPECT_EQ(script("veilnox-format64").exitCode, 0) << "nothing installed, nothing to do";
}

TEST_F(ModuleRun, LauncherRefusesUntilInstalledThenPreloads) {
    RunResult none = run({"sh", "-c", "true"});
    EXPECT_EQ(none.exitCode, 125);
    EXPECT_NE(none.output.find("not installed"), std::string::npos) << none.output;

    putLibrary();
    ASSERT_EQ(script("veilnox-install64").exitCode, 0);
    const std::string lib = program_ + "/libveilnox-module.so";
    RunResult ok = runProgram({VNX_RUN_PATH, "sh", "-c", "echo \"preload=$LD_PRELOAD\"; exit 7"},
                              {"XDG_DATA_HOME=" + data_, "LD_PRELOAD=/nonexistent/a.so:" + lib}, 20000, false);
    EXPECT_EQ(ok.exitCode, 7) << "the program's own status";
    EXPECT_EQ(field(ok.output, "preload"), lib + ":/nonexistent/a.so") << "module first, once";

    // Programs the loader would run without the module: refused instead of
    // letting their traffic out directly.
    if (access("/sbin/ldconfig", X_OK) == 0) {
        RunResult fixed = run({"/sbin/ldconfig", "--version"});
        EXPECT_EQ(fixed.exitCode, 125);
        EXPECT_NE(fixed.output.find("statically linked"), std::string::npos) << fixed.output;
    }
    RunResult notFound = run({"/nonexistent/program"});
    EXPECT_EQ(notFound.exitCode, 127);

    // A library, or a catalog, that someone else could change is refused.
    struct Tamper {
        std::string change, undo;
        const char* why;
    } tampers[] = {
        {"chmod o+w " + lib, "chmod o-w " + lib, "it is writable by other users"},
        {"chown 65534 " + lib, "chown 0 " + lib, "it belongs to another user"},
        {"chmod g+w " + program_, "chmod g-w " + program_, "a folder above it is writable by other users"},
        {"chmod o+w " + catalog_, "chmod o-w " + catalog_, "it is writable by other users"},
    };
    for (const Tamper& t : tampers) {
        SCOPED_TRACE(t.change);
        ASSERT_TRUE(runCommand(t.change));
        RunResult refused = run({"sh", "-c", "echo ran"});
        EXPECT_EQ(refused.exitCode, 125);
        EXPECT_EQ(refused.output.find("ran"), std::string::npos) << refused.output;
        EXPECT_NE(refused.output.find(t.why), std::string::npos) << refused.output;
        ASSERT_TRUE(runCommand(t.undo));
        EXPECT_EQ(run({"sh", "-c", "true"}).exitCode, 0);
    }

    runCommand("rm -f " + lib);
    RunResult gone = run({"sh", "-c", "true"});
    EXPECT_EQ(gone.exitCode, 125);
    EXPECT_NE(gone.output.find("library is missing"), std::string::npos) << gone.output;

    EXPECT_EQ(run({"--help"}).exitCode, 0);
    const std::string help = run({"--help"}).output;
    EXPECT_NE(help.find("Usage: veilnox-run"), std::string::npos);
    EXPECT_NE(help.find("Only PROGRAM is checked"), std::string::npos) << help;
    EXPECT_NE(help.find("sh -c"), std::string::npos) << help;
    EXPECT_NE(help.find("kernel capture mode"), std::string::npos) << help;
    EXPECT_EQ(run({"--version"}).output, std::string("veilnox-run ") + VEILNOX_VERSION + "\n");
    EXPECT_EQ(run({"--bogus"}).exitCode, 125);
    EXPECT_EQ(run({}).exitCode, 125);
}

}  // namespace
