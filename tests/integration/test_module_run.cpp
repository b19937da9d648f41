// veilnox-run and the catalog scripts of bat/, run as the client runs them
// (sh bat/<name>.sh from the program folder) against a private data folder.
#include "test_module_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
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
    EXPECT_NE(help.find("Only programs chosen in Veilnox are redirected"), std::string::npos) << help;
    EXPECT_NE(help.find(data_ + "/Veilnox/data/config/rules.txt"), std::string::npos) << help;
    EXPECT_NE(help.find("sh -c"), std::string::npos) << help;
    EXPECT_NE(help.find("kernel capture mode"), std::string::npos) << help;
    EXPECT_EQ(run({"--version"}).output, std::string("veilnox-run ") + VEILNOX_VERSION + "\n");
    EXPECT_EQ(run({"--bogus"}).exitCode, 125);
    EXPECT_EQ(run({}).exitCode, 125);
}

TEST_F(ModuleRun, LauncherSaysWhenTheProgramWillNotBeRedirected) {
    putLibrary();
    ASSERT_EQ(script("veilnox-install64").exitCode, 0);
    // What the module will see for sh: its real file name (dash on Debian)
    // and "sh"; scripts are known by their interpreter's names.
    char real[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/sh", real));
    const std::string shReal = std::string(real).substr(std::string(real).rfind('/') + 1);
    const std::u16string shReal16(shReal.begin(), shReal.end());
    std::ofstream(program_ + "/myscript") << "#!/bin/sh\nexit 0\n";
    std::ofstream(program_ + "/envscript") << "#!/usr/bin/env sh\nexit 0\n";
    ASSERT_TRUE(runCommand("chmod 755 " + program_ + "/myscript " + program_ + "/envscript && ln -s /bin/true " +
                           program_ + "/veilnox"));
    const std::string rules = data_ + "/Veilnox/data/config/rules.txt";

    BlockSettings chosen;
    chosen.allApps = false;
    chosen.rules = {u"firefox", u"sh"};
    BlockSettings notChosen = chosen;
    notChosen.rules = {u"firefox", u"myscript"};
    BlockSettings byRealName = chosen;
    byRealName.rules = {shReal16 + u".exe"};
    BlockSettings everyProgram = notChosen;
    everyProgram.allApps = true;
    BlockSettings disconnected = chosen;
    disconnected.connected = false;
    BlockSettings allOff = chosen;
    allOff.tcp = allOff.udp = allOff.dns = false;
    BlockSettings udpOnly = allOff;
    udpOnly.udp = true;

    const std::string sh = "sh";
    struct Case {
        const char* what;
        bool client;  // a client block exists (the first case has none)
        BlockSettings block;
        std::vector<std::string> args;
        std::vector<std::string> says;  // empty: no line
    } cases[] = {
        {"no client running",
         false,
         chosen,
         {sh, "-c", "true"},
         {"sh will go out directly: Veilnox is not running", rules}},
        {"chosen by the name it was started under", true, chosen, {sh, "-c", "true"}, {}},
        {"chosen by its real file name", true, byRealName, {sh, "-c", "true"}, {}},
        {"every program chosen", true, everyProgram, {sh, "-c", "true"}, {}},
        {"only UDP redirected", true, udpOnly, {sh, "-c", "true"}, {}},
        {"not chosen",
         true,
         notChosen,
         {sh, "-c", "true"},
         {"sh will not be redirected: it is not one of the programs chosen in Veilnox (add sh in its Settings, "
          "Program Settings, or as a line of " +
          rules + ", or choose Redirect All Traffic)."}},
        {"a script is its interpreter",
         true,
         notChosen,
         {program_ + "/myscript"},
         {"myscript will not be redirected", "(add sh "}},
        {"a script through env is the program env runs", true, chosen, {program_ + "/envscript"}, {}},
        {"disconnected", true, disconnected, {sh, "-c", "true"}, {"sh will go out directly until Veilnox connects."}},
        {"everything switched off",
         true,
         allOff,
         {sh, "-c", "true"},
         {"TCP, UDP and DNS redirection are all switched off in Veilnox's Settings."}},
        {"Veilnox's own program",
         true,
         everyProgram,
         {program_ + "/veilnox"},
         {"will not be redirected: Veilnox's own programs never are."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.client) {
            ASSERT_TRUE(writeProxyBlock(c.block));
        }
        RunResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 0) << "the program runs either way: " << r.output;
        std::size_t lines = 0;
        for (std::size_t at = r.output.find("veilnox-run:"); at != std::string::npos;
             at = r.output.find("veilnox-run:", at + 1))
            ++lines;
        EXPECT_EQ(lines, c.says.empty() ? 0u : 1u) << r.output;
        for (const std::string& part : c.says)
            EXPECT_NE(r.output.find(part), std::string::npos) << part << "\n" << r.output;
    }
}

}  // namespace
