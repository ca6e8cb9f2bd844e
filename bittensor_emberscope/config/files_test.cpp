// The settings' files on POSIX: a FIFO or a device is refused without blocking.
#include "config/files.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace emberscope::config {
namespace {

class PosixFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/emberscope-config-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + root + "'").c_str()); }

    std::string root;
    PosixFiles files;
};

TEST_F(PosixFilesTest, ReadsARegularFileUpToItsLimitAndRefusesTheRest) {
    const std::string file = root + "/token";
    std::ofstream(file) << "42:token\n";
    const std::string fifo = root + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(files.read_regular(file, 1 << 20).bytes, "42:token\n");
    EXPECT_EQ(files.read_regular(file, 4).bytes, "42:t");
    const FileBytes from_fifo = files.read_regular(fifo, 10);  // never blocks
    EXPECT_EQ(from_fifo.outcome, FileBytes::Outcome::not_regular);
    EXPECT_EQ(from_fifo.why(), "a FIFO, not a regular file");
    EXPECT_EQ(files.read_regular("/dev/null", 10).why(), "a character device, not a regular file");
    EXPECT_EQ(files.read_regular(root, 10).why(), "a directory, not a regular file");
    const FileBytes missing = files.read_regular(root + "/missing", 10);
    EXPECT_EQ(missing.outcome, FileBytes::Outcome::cannot_open);
    EXPECT_EQ(missing.why(), "No such file or directory");

    EXPECT_EQ(files.kind(file), FileKind::regular);
    EXPECT_EQ(files.kind(fifo), FileKind::fifo);
    EXPECT_EQ(files.kind(root), FileKind::directory);
    EXPECT_EQ(files.kind(root + "/missing"), FileKind::missing);
}

TEST_F(PosixFilesTest, MakesTheFoldersAboveWithTheLastOneForItsOwnerAlone) {
    const std::string folder = root + "/a/b/emberscope";
    EXPECT_EQ(files.make_folders(folder), std::nullopt);
    EXPECT_EQ(files.make_folders(folder), std::nullopt);  // there already
    struct stat info {};
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    std::ofstream(root + "/file") << "x";
    EXPECT_EQ(files.make_folders(root + "/file"), "Not a directory");
    EXPECT_EQ(files.make_folders(root + "/file/below"), "Not a directory");
}

TEST(PathParts, AsTheHostSplitsAndJoinsThem) {
    const std::pair<const char*, const char*> folders[] = {
        {"/srv/state.json", "/srv"}, {"state.json", ""}, {"/state.json", "/"}, {"//state.json", "//"},
        {"a//b/", "a//b"}, {"a//b//c", "a//b"}, {"", ""},
    };
    for (const auto& [path, folder] : folders) EXPECT_EQ(folder_of(path), folder) << path;
    EXPECT_EQ(joined("/srv", "pause"), "/srv/pause");
    EXPECT_EQ(joined("/", "pause"), "/pause");
    EXPECT_EQ(joined("", "pause"), "pause");
    EXPECT_EQ(joined("/srv", "/abs"), "/abs");
}

}  // namespace
}  // namespace emberscope::config
