#include "engine/json.hpp"

#include <gtest/gtest.h>

namespace emberscope::engine {
namespace {

std::string error_of(std::string_view doc) {
    auto r = parse_json(doc);
    if (auto* e = std::get_if<JsonError>(&r)) return e->message;
    return "(parsed)";
}

JsonValue value_of(std::string_view doc) {
    auto r = parse_json(doc);
    EXPECT_TRUE(std::holds_alternative<JsonValue>(r)) << doc << ": " << error_of(doc);
    return std::holds_alternative<JsonValue>(r) ? std::get<JsonValue>(r) : JsonValue{};
}

TEST(EngineJson, ErrorsReadLikeTheHostDecoder) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", "Expecting value: line 1 column 1 (char 0)"},
        {"<html>\r\n<head>", "Expecting value: line 1 column 1 (char 0)"},
        {"{\"ok\": true", "Expecting ',' delimiter: line 1 column 12 (char 11)"},
        {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
        {"{'a': 1}", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"},
        {"[1,]", "Illegal trailing comma before end of array: line 1 column 3 (char 2)"},
        {"{\"a\":1,}", "Illegal trailing comma before end of object: line 1 column 7 (char 6)"},
        {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
        {"\"a\tb\"", "Invalid control character at: line 1 column 3 (char 2)"},
        {"\"\\x\"", "Invalid \\escape: line 1 column 2 (char 1)"},
        {"{}\n x", "Extra data: line 2 column 2 (char 4)"},
        {"\"é\" 1", "Extra data: line 1 column 5 (char 4)"},
        {"\xEF\xBB\xBF{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
        {"-", "Expecting value: line 1 column 1 (char 0)"},
        {"[1.]", "Expecting ',' delimiter: line 1 column 3 (char 2)"},
    };
    for (const auto& [doc, message] : cases) EXPECT_EQ(error_of(doc), message) << doc;
}

TEST(EngineJson, RefusesDepthAndLongNumbersWithoutExhaustingTheStack) {
    std::string deep(100000, '[');
    auto r = parse_json(deep);
    ASSERT_TRUE(std::holds_alternative<JsonError>(r));
    EXPECT_TRUE(std::get<JsonError>(r).over_limit);

    std::string ok_depth = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
    EXPECT_TRUE(std::holds_alternative<JsonValue>(parse_json(ok_depth)));
    std::string too_deep = "[" + ok_depth + "]";
    EXPECT_TRUE(std::holds_alternative<JsonError>(parse_json(too_deep)));

    auto long_number = parse_json(std::string(5000, '7'));
    ASSERT_TRUE(std::holds_alternative<JsonError>(long_number));
    EXPECT_TRUE(std::get<JsonError>(long_number).over_limit);
    EXPECT_TRUE(std::holds_alternative<JsonValue>(parse_json(std::string(kMaxNumberLength, '7'))));
}

TEST(EngineJson, NumbersBecomeTheHostsStrTexts) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"0.18", "0.18"},   {"1e-05", "1e-05"},     {"1E400", "inf"},   {"-1e400", "-inf"},
        {"NaN", "nan"},     {"Infinity", "inf"},    {"-0", "0"},        {"-0.0", "-0.0"},
        {"3", "3"},         {"100.0", "100.0"},     {"1e16", "1e+16"},  {"123456789012345678901234567890", "123456789012345678901234567890"},
        {"0.1e1", "1.0"},   {"5E-1", "0.5"},        {"true", "True"},   {"null", "None"},
        {"[1, \"a'b\", null, {\"k\": 1.5}]", "[1, \"a'b\", None, {'k': 1.5}]"},
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"{\"a\": 1, \"b\": 2, \"a\": 3}", "{'a': 3, 'b': 2}"},
    };
    for (const auto& [doc, text] : cases) EXPECT_EQ(host_str(value_of(doc)), text) << doc;
}

TEST(EngineJson, DumpsLikeTheHostEncoder) {
    JsonValue v = value_of("{\"b\": [1, 2.5, \"\\u00e9\\n\"], \"a\": {\"z\": null, \"y\": true}, \"c\": {}}");
    EXPECT_EQ(dump_json(v), "{\"b\": [1, 2.5, \"\\u00e9\\n\"], \"a\": {\"z\": null, \"y\": true}, \"c\": {}}");
    EXPECT_EQ(dump_json_file(v),
              "{\n  \"a\": {\n    \"y\": true,\n    \"z\": null\n  },\n  \"b\": [\n    1,\n    2.5,\n"
              "    \"\\u00e9\\n\"\n  ],\n  \"c\": {}\n}\n");
}

TEST(EngineJson, Utf8CheckIsStrict) {
    EXPECT_TRUE(is_utf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
    for (std::string_view bad : {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80"})
        EXPECT_FALSE(is_utf8(bad)) << bad;
}

}  // namespace
}  // namespace emberscope::engine
