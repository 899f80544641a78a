#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Function.h"

namespace {

// The field, or "<none>" when GetSubstring reports FALSE (the output must then
// be left untouched).
std::string Field(const char* text, char separator, int index) {
    char output[64];
    std::strcpy(output, "untouched");
    if (!GetSubstring(text, separator, index, output)) {
        EXPECT_STREQ(output, "untouched");
        return "<none>";
    }
    return output;
}

TEST(GetSubstring, FieldsOfDottedText) {
    EXPECT_EQ(Field("a.b.c", '.', 0), "a");
    EXPECT_EQ(Field("a.b.c", '.', 1), "b");
    EXPECT_EQ(Field("a.b.c", '.', 2), "c");
    EXPECT_EQ(Field("a.b.c", '.', 3), "<none>");
    EXPECT_EQ(Field("11.22.33", '.', 0), "11");
    EXPECT_EQ(Field("11.22.33", '.', 3), "<none>");
    EXPECT_EQ(Field("11.810.09.17.00", '.', 1), "810");
    EXPECT_EQ(Field("", '.', 0), "<none>");
}

TEST(GetSubstring, EmptyFields) {
    EXPECT_EQ(Field("a,", ',', 1), "<none>");  // empty at the end
    EXPECT_EQ(Field("a,,b", ',', 1), "");      // empty, then more text
    EXPECT_EQ(Field("a..b", '.', 1), "");
    EXPECT_EQ(Field(",x", ',', 0), "");
    EXPECT_EQ(Field("a,,", ',', 1), "<none>");
}

TEST(GetSubstring, OutputMayBeTheInput) {
    char text[32] = "11.22.33";
    ASSERT_TRUE(GetSubstring(text, '.', 1, text));
    EXPECT_STREQ(text, "22");

    char line[64] = "\"IDS_OK\"\t\t= \"OK\";\n";
    ASSERT_TRUE(GetSubstring(line, '"', 3, line));
    EXPECT_STREQ(line, "OK");

    char last[32] = "a.b.ccc";
    ASSERT_TRUE(GetSubstring(last, '.', 2, last));
    EXPECT_STREQ(last, "ccc");
}

TEST(GetSubstringDeathTest, NullTextOrNegativeIndexIsAContractBreach) {
    char output[8];
    const char* expected =
        "Assertion failed: pszString != __null && c >= 0 && index >= 0, file .*Function";
    EXPECT_DEATH(GetSubstring(nullptr, '.', 0, output), expected);
    EXPECT_DEATH(GetSubstring("a.b", '.', -1, output), expected);
}

}  // namespace
