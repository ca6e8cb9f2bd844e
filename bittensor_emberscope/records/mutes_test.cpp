#include "records/mutes.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "records/files.hpp"
#include "records/records_fixture.hpp"

namespace emberscope::records {
namespace {

using RecordsMutes = RecordsTest;

std::string joined(const std::vector<std::string>& keys) {
    std::string out;
    for (const std::string& k : keys) out += (out.empty() ? "" : ",") + k;
    return out;
}

// A mutes file edited by hand, or by another version, may hold keys that are not plain netuids:
// they sort after the netuids, in the order `emberscope status` lists its values.
TEST_F(RecordsMutes, KeysThatAreNotPlainNetuidsSortAfterTheNetuids) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"10", "3", "all"}, "3,10,all"},
        {{"\u00b2", "3"}, "3,\u00b2"},   // a digit that is not a decimal one
        {{"\u0663", "2"}, "2,\u0663"},   // an Arabic-Indic three: a number
        {{"-1", "2", "x"}, "-1,2,x"},
        {{"03", "3", " 3"}, " 3,03,3"},  // one number: by their texts
    };
    for (const auto& [keys, muted] : cases) {
        std::string document = "{\"muted\": {";
        for (std::size_t i = 0; i < keys.size(); ++i)
            document += (i ? ", \"" : "\"") + keys[i] + "\": \"2099-01-01T00:00:00Z\"";
        write(mutes_path(state_), document + "}}");
        EXPECT_EQ(joined(muted_netuids(state_, kT0)), muted);
    }
    EXPECT_EQ(describe_mutes(read_mutes(state_, kT0)),
              "SN 3 until 2099-01-01T00:00:00Z, SN03 until 2099-01-01T00:00:00Z, SN3 until 2099-01-01T00:00:00Z");
    EXPECT_EQ(describe_mutes({{"5", kT0}, {"all", kT0 + 60}}),
              "SN5 until 2026-03-01T12:00:00Z, every subnet until 2026-03-01T12:01:00Z");
    EXPECT_EQ(describe_mutes({}), "");
}

TEST_F(RecordsMutes, ADamagedFileMutesNothing) {
    for (const char* content : {"", "{", "[]", "{\"muted\": []}", "{\"muted\": {\"3\": \"not a time\", \"4\": 17}}",
                                "\xff{}"}) {
        write(mutes_path(state_), content);
        EXPECT_TRUE(read_mutes(state_, kT0).empty()) << content;
    }
}

TEST_F(RecordsMutes, AFifoAsTheMutesFileMutesNothingAtOnce) {
    ASSERT_EQ(::mkfifo(mutes_path(state_).c_str(), 0600), 0);
    EXPECT_TRUE(read_mutes(state_, kT0).empty());
}

TEST_F(RecordsMutes, WrittenSortedAsTheHostWritesThemAndRemovedWhenEmpty) {
    write_mutes(state_, {{"all", kT0 + 600}, {"12", kT0 + 7200.7}, {"3", kT0 + 60}});
    EXPECT_EQ(read(mutes_path(state_)),
              "{\n  \"muted\": {\n    \"3\": \"2026-03-01T12:01:00Z\",\n    \"12\": \"2026-03-01T14:00:00Z\",\n"
              "    \"all\": \"2026-03-01T12:10:00Z\"\n  }\n}\n");
    // A mute ends by itself.
    EXPECT_EQ(joined(muted_netuids(state_, kT0)), "3,12,all");
    EXPECT_EQ(joined(muted_netuids(state_, kT0 + 60)), "12,all");
    EXPECT_EQ(joined(muted_netuids(state_, kT0 + 7200)), "");
    write_mutes(state_, {});
    EXPECT_EQ(names(), std::vector<std::string>{});
    write_mutes(state_, {});  // nothing to remove: not an error
}

}  // namespace
}  // namespace emberscope::records
