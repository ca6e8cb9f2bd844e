#include "native/posix_files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/temp_names.hpp"

namespace emberscope::native {
namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/emberscope-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    static void write(const std::string& p, std::string_view content) {
        std::ofstream(p, std::ios::binary) << content;
    }
    static std::string read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }
    fs::path dir_;
};

TEST_F(Files, ReplaceWritesTheWholeContentAndLeavesNoTemporary) {
    const std::string p = path("state.json");
    replace_file_atomically(p, "first");
    replace_file_atomically(p, "{\"owner_burn_rate\": {}}\n");
    EXPECT_EQ(read(p), "{\"owner_burn_rate\": {}}\n");
    EXPECT_EQ(names(), std::vector<std::string>{"state.json"});
}

TEST_F(Files, ReplaceKeepsThePermissionsAndReplacesTheTargetOfALink) {
    const std::string target = path("real.json"), link = path("link.json");
    write(target, "old");
    ::chmod(target.c_str(), 0600);
    fs::create_symlink(target, link);
    replace_file_atomically(link, "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read(target), "new");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Files, TemporariesOfDeadWritersAreRemovedOthersKept) {
    const std::string p = path("state.json");
    // A process id that cannot exist, and this process's own.
    const std::string dead = temp_names::make("state.json", 2147483000, "00112233445566ff");
    const std::string live = temp_names::make("state.json", ::getpid(), "8899aabbccddeeff");
    write(path(dead), "x");
    write(path(live), "y");
    replace_file_atomically(p, "z");
    EXPECT_EQ(names(), (std::vector<std::string>{live, "state.json"}));
}

TEST_F(Files, FailuresReadAsTheHostsErrors) {
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {path("missing/state.json"), "[Errno 2] No such file or directory: '" + path("missing/state.json") + "'"},
        {path("it's.json/x"), "[Errno 2] No such file or directory: \"" + path("it's.json/x") + "\""},
        // A name byte that is not UTF-8, and a character the host does not print, as repr() shows them.
        {path("caf\xed\xb3\xa9/\xc2\x85x"),
         "[Errno 2] No such file or directory: '" + path("caf\\udce9/\\x85x") + "'"},
    };
    for (const auto& c : cases) {
        try {
            replace_file_atomically(c.path, "x");
            ADD_FAILURE() << "no error for " << c.path;
        } catch (const OsError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.number(), 2);
        }
    }
}

TEST_F(Files, APipeIsNotReplaced) {
    const std::string p = path("fifo");
    ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    try {
        replace_file_atomically(p, "x");
        FAIL() << "a pipe was written";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "[Errno 22] Not a regular file: '" + p + "'");
    }
    EXPECT_TRUE(fs::is_fifo(p));
}

TEST_F(Files, AStopBetweenTheStepsLeavesTheFileAsItWas) {
    // The save checks for a stop after the clean-up and before the rename: either check that
    // throws leaves the old content and no temporary behind.
    for (int stop_at : {1, 2}) {
        const std::string p = path("state.json");
        write(p, "old");
        int calls = 0;
        EXPECT_THROW(replace_file_atomically(p, "new", [&] {
                         if (++calls == stop_at) throw std::runtime_error("stopped");
                     }),
                     std::runtime_error);
        EXPECT_EQ(calls, stop_at);
        EXPECT_EQ(read(p), "old");
        EXPECT_EQ(names(), std::vector<std::string>{"state.json"});
    }
}

TEST_F(Files, ReadTextAsTheHostReadsIt) {
    const struct {
        std::string bytes;
        std::optional<std::string> text;
        std::string error;
    } cases[] = {
        {"{\"a\": \"\xc3\xa9\"}", "{\"a\": \"\xc3\xa9\"}", ""},
        {"a\r\nb\rc\n", "a\nb\nc\n", ""},
        {"\xef\xbb\xbf{}", "\xef\xbb\xbf{}", ""},
        {"ab\xff{}", std::nullopt, "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte"},
        {"a\xc3(", std::nullopt, "'utf-8' codec can't decode byte 0xc3 in position 1: invalid continuation byte"},
        {"ab\xe2\x82", std::nullopt, "'utf-8' codec can't decode byte 0xe2 in position 2: unexpected end of data"},
    };
    const std::string p = path("state.json");
    for (const auto& c : cases) {
        write(p, c.bytes);
        try {
            EXPECT_EQ(read_text_file(p), c.text);
            EXPECT_EQ(c.error, "");
        } catch (const DecodeError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
    EXPECT_EQ(read_text_file(path("none.json")), std::nullopt);
    EXPECT_FALSE(is_regular_file(dir_.string()));
    EXPECT_TRUE(is_regular_file(p));
}

// Paths come as the interpreter decodes file names: a byte that is not UTF-8 as the lone
// surrogate U+DC80..U+DCFF (UTF-8 with surrogates kept), which names that byte on disk.
TEST(FsPath, GivesBackTheBytesTheInterpreterDecoded) {
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"/var/lib/emberscope/state.json", "/var/lib/emberscope/state.json"},
        {"/tmp/caf\xc3\xa9", "/tmp/caf\xc3\xa9"},          // UTF-8 stays UTF-8
        {"/tmp/caf\xed\xb3\xa9", "/tmp/caf\xe9"},          // U+DCE9: the byte 0xE9
        {"\xed\xb2\x80\xed\xb3\xbf", "\x80\xff"},          // the first and the last such byte
        {"/tmp/\xed\xa0\x80", "/tmp/\xed\xa0\x80"},        // U+D800 names no byte: left as it is
        {"/tmp/\xed\xb3", "/tmp/\xed\xb3"},                // cut short: left as it is
        {"/tmp/\xed\x9f\xbf", "/tmp/\xed\x9f\xbf"},        // U+D7FF is a character
    };
    for (const auto& c : cases) EXPECT_EQ(fs_path(c.text), c.bytes) << c.text;
}

TEST_F(Files, ANameThatIsNotUtf8IsTheFileTheInterpreterNamed) {
    const std::string on_disk = path("state-\xe9.json");
    const std::string given = path("state-\xed\xb3\xa9.json");
    replace_file_atomically(given, "{}\n");
    EXPECT_EQ(read(on_disk), "{}\n");
    EXPECT_TRUE(is_regular_file(given));
    EXPECT_EQ(read_text_file(given), std::optional<std::string>("{}\n"));
    rename_path(given, given + ".bak");
    EXPECT_EQ(read(on_disk + ".bak"), "{}\n");
    remove_path(given + ".bak");
    EXPECT_TRUE(names().empty());
}

TEST_F(Files, RemoveOfAMissingFileIsNoError) {
    EXPECT_NO_THROW(remove_path(path("none")));
    write(path("a"), "1");
    rename_path(path("a"), path("b"));
    remove_path(path("b"));
    EXPECT_TRUE(names().empty());
    EXPECT_THROW(rename_path(path("a"), path("b")), OsError);
}

}  // namespace
}  // namespace emberscope::native
