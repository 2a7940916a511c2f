// The packaged Public Suffix List is found from wherever the program runs, and a missing or
// broken bundle stops the program with its fatal message. Each case runs a copy of
// tolvane-psl-probe laid out in a temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.hpp"

namespace fs = std::filesystem;
using tolvane::testing::ProcessResult;
using tolvane::testing::runProcess;

namespace {

constexpr const char* kBundle = "TolvaneCore_TolvaneCore.bundle";
constexpr const char* kNoResource =
    "TolvaneCore is missing its bundled public_suffix_list.dat resource\n";

class ResourceBundle : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path built = tolvane::testing::builtProgram("tolvane-psl-probe");
        ASSERT_TRUE(fs::exists(built)) << "build the tolvane-psl-probe target first";
        fs::create_directories(bin());
        fs::copy_file(built, probe());
    }

    // The copy's own view of where it lives: /proc/self/exe is canonical.
    fs::path root() const { return fs::canonical(directory.path()); }
    fs::path bin() const { return directory.path() / "bin"; }
    fs::path probe() const { return bin() / "tolvane-psl-probe"; }

    static void write(const fs::path& file, const std::string& content) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }

    // Runs the copy without any bundle override unless one is given.
    ProcessResult run(const std::string& host, const std::string& bundleVariable = {}) const {
        return runProcess({probe().string(), host}, {},
                          {"TOLVANE_RESOURCE_BUNDLE=" + bundleVariable});
    }

    tolvane::testing::TemporaryDirectory directory;
};

void expectOutcome(const ProcessResult& result, int status, const std::string& out,
                   const std::string& error) {
    EXPECT_EQ(result.exitCode, status) << result.standardError;
    EXPECT_EQ(result.standardOutput, out);
    EXPECT_EQ(result.standardError, error);
}

// No bundle, a bundle without the resource, and a resource that is not UTF-8 each abort.
TEST_F(ResourceBundle, MissingBundleOrResourceIsFatal) {
    const auto notFound = [&](const std::string& places) {
        return "unable to find bundle named TolvaneCore_TolvaneCore\nlooked in " + places +
               (root() / "bin" / kBundle).string() + ", " +
               (root() / "share/tolvane" / kBundle).string() + ", " +
               (root() / "share" / kBundle).string() +
               "; set TOLVANE_RESOURCE_BUNDLE to the bundle directory to use another\n";
    };
    expectOutcome(run("shop.example.co.uk"), 134, "", notFound(""));
    // A variable naming no directory is the first place looked in, and is then passed over.
    expectOutcome(run("shop.example.co.uk", (root() / "elsewhere").string()), 134, "",
                  notFound((root() / "elsewhere").string() + ", "));

    fs::create_directories(bin() / kBundle);
    expectOutcome(run("shop.example.co.uk"), 134, "", kNoResource);
    write(bin() / kBundle / "public_suffix_list.dat", "com\n\xC3\x28\n");
    expectOutcome(run("shop.example.co.uk"), 134, "", kNoResource);
}

TEST_F(ResourceBundle, FoundBesideTheProgramInTheInstalledLayoutAndThroughTheVariable) {
    expectOutcome(runProcess({tolvane::testing::builtProgram("tolvane-psl-probe"),
                              "shop.example.co.uk", "co.uk"}),
                  0, "example.co.uk\n-\n", "");

    // Installed, share/tolvane/ is preferred to share/ (which here holds a list without co.uk).
    const fs::path packaged =
        fs::path(tolvane::testing::builtProgram(kBundle)) / "public_suffix_list.dat";
    write(directory.path() / "share" / kBundle / "public_suffix_list.dat", "uk\n");
    expectOutcome(run("shop.example.co.uk"), 0, "co.uk\n", "");
    fs::create_directories(directory.path() / "share/tolvane" / kBundle);
    fs::copy_file(packaged,
                  directory.path() / "share/tolvane" / kBundle / "public_suffix_list.dat");
    expectOutcome(run("shop.example.co.uk"), 0, "example.co.uk\n", "");

    // The variable is tried before every other place, even a broken bundle beside the program.
    fs::create_directories(bin() / kBundle);
    write(directory.path() / "custom" / "public_suffix_list.dat", "*.zz\n");
    expectOutcome(run("x.a.b.zz", (directory.path() / "custom").string()), 0, "a.b.zz\n", "");
}

}  // namespace
