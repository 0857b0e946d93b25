#include <coil/stringutil.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using coil::vstring;

struct SplitCase {
    const char* input;
    const char* delimiter;
    bool ignoreEmpty;
    vstring pieces;
};

TEST(StringUtil, SplitTrimsEachPieceAndDropsEmptiesOnlyWhenAsked) {
    const SplitCase cases[] = {
        {"", ",", false, {}},
        {" a , b,c ", ",", false, {"a", "b", "c"}},
        {"a,,\t,b", ",", false, {"a", "", "", "b"}},
        {"a,,\t,b", ",", true, {"a", "b"}},
        {",", ",", false, {"", ""}},
        {" , ", ",", true, {}},
        {"a::b:c", "::", false, {"a", "b:c"}},
        {" whole ", "", false, {"whole"}},
        {"a\r\n,b", ",", false, {"a\r\n", "b"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(coil::split(c.input, c.delimiter, c.ignoreEmpty), c.pieces)
            << "\"" << c.input << "\" on \"" << c.delimiter << "\"";
}

TEST(StringUtil, ToBoolIgnoresCaseAndEndBlanksAndFallsBackOnAnythingElse) {
    struct Case {
        const char* text;
        bool defaultValue;
        bool expected;
    };
    const Case cases[] = {
        {"YES", false, true},   {"yes", false, true},   {" Yes\t", false, true},
        {"NO", true, false},    {"no ", true, false},   {"", false, false},
        {"", true, true},       {"Y ES", false, false}, {"YESS", true, true},
        {"YESS", false, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(coil::toBool(c.text, "YES", "NO", c.defaultValue), c.expected)
            << "\"" << c.text << "\"";
    EXPECT_TRUE(coil::toBool("on", "On", "Off", false));
}

TEST(StringUtil, BlanksAndCaseChangeInPlace) {
    const char* const cases[][2] = {
        {"", ""}, {" \t ", ""}, {"\ta b ", "a b"}, {"x", "x"}, {"\nx\n", "\nx\n"}};
    for (const auto& c : cases) {
        std::string s = c[0];
        coil::eraseBothEndsBlank(s);
        EXPECT_EQ(s, c[1]) << "\"" << c[0] << "\"";
    }
    std::string s = " Shared_Memory\t";
    EXPECT_EQ(coil::normalize(s), "shared_memory");
    EXPECT_EQ(s, "shared_memory");
    coil::toUpper(s);
    EXPECT_EQ(s, "SHARED_MEMORY");
}

}  // namespace
