// eString conversions, formatting and case handling (the string hash is
// checked by the hash table tests, against an independent FNV-1a).
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/eString.h"
#include "support/test_files.h"

using namespace TVK;

TEST(String, ToIntParsesLikeStrtolAndSaturatesAtThirtyTwoBits) {
    const eInt maxv = 2147483647, minv = -maxv - 1;
    const struct {
        const char* text;
        int radix;
        eInt expected;
    } cases[] = {{" \t\n 7", 10, 7},
                 {"-17xyz", 10, -17},
                 {"+8", 10, 8},
                 {"abc", 10, 0},
                 {"", 10, 0},
                 {"- 5", 10, 0},
                 {"ff", 16, 255},
                 {"0x1F", 16, 31},
                 {"789", 8, 7},
                 {"-z", 36, -35},
                 {"10", 1, 0},
                 {"10", 37, 0},
                 {"2147483647", 10, maxv},
                 {"2147483648", 10, maxv},
                 {"99999999999999999999", 10, maxv},
                 {"-2147483648", 10, minv},
                 {"-2147483649", 10, minv},
                 {"ffffffffff", 16, maxv}};
    for (const auto& c : cases)
        EXPECT_EQ(eString(c.text).ToInt(c.radix), c.expected) << c.text << " base " << c.radix;
}

TEST(String, ToDoubleParsesDecimalTextAndStopsAtGarbage) {
    const struct {
        const char* text;
        double expected;
    } cases[] = {{"3.25", 3.25},  {"  -1.5e3", -1500.0},
                 {"+.5", 0.5},    {"0.0174532925199433", 0.0174532925199433},
                 {"12abc", 12.0}, {"1,5", 1.0},
                 {"abc", 0.0},    {"", 0.0},
                 {"--1", 0.0},    {"+-1", 0.0},
                 {"1e-400", 0.0}};
    for (const auto& c : cases) EXPECT_EQ(eString(c.text).ToDouble(), c.expected) << c.text;
    EXPECT_TRUE(std::isinf(eString("1e400").ToDouble()));
}

// A configuration file read under a decimal-comma locale must still parse
// "2.75" as 2.75. The locale is compiled with localedef when none is installed.
TEST(String, ToDoubleIgnoresACommaDecimalLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    bool found =
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    if (!found) {
        tvktest::TempDir dir;
        std::ofstream(dir.Root() + "comma.src")
            << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3\nEND LC_NUMERIC\n";
        // localedef warns about the categories left out and still writes the locale.
        (void)std::system(("localedef -c -i " + dir.Root() + "comma.src -f UTF-8 " + dir.Root() +
                           "comma.UTF-8 >/dev/null 2>&1")
                              .c_str());
        setenv("LOCPATH", dir.Str().c_str(), 1);
        found = std::setlocale(LC_NUMERIC, "comma.UTF-8") != nullptr;
        unsetenv("LOCPATH");  // the selected locale stays loaded
    }
    if (!found) GTEST_SKIP() << "no locale with a decimal comma could be selected";
    const bool comma = std::localeconv()->decimal_point[0] == ',';
    const double dotted = eString("2.75").ToDouble(), commaText = eString("2,75").ToDouble();
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(comma);
    EXPECT_EQ(dotted, 2.75);
    EXPECT_EQ(commaText, 2.0);
}

TEST(String, FormatTrimCaseAndSubstrings) {
    eString s("old content");
    s.Format("%d-%s-%.2f", 7, "ab", 3.14159);
    EXPECT_EQ(s, "7-ab-3.14");
    const std::string longText(1000, 'q');  // longer than any first-guess buffer
    s.Format("[%s]", longText.c_str());
    EXPECT_EQ(s.Std(), "[" + longText + "]");

    EXPECT_EQ(eString("a/b///").TrimRight('/'), "a/b");
    EXPECT_EQ(eString("////").TrimRight('/'), "");
    EXPECT_EQ(eString("MixED 12_x").MakeLower(), "mixed 12_x");
    EXPECT_EQ(eString("Level").CompareNoCase("LEVEL"), 0);
    EXPECT_LT(eString("_").CompareNoCase("A"), 0);     // '_' (95) < 'a' (97): folds to lower case
    EXPECT_GT(eString("\xC3").CompareNoCase("a"), 0);  // bytes above 127 compare unsigned

    const eString path("L05/R0000/C0001.png");
    EXPECT_TRUE(path.Find("/", 4) == 9 && path.Find("/", 100) == -1 && path.ReverseFind('.') == 15);
    EXPECT_TRUE(path.Mid(4, 5) == "R0000" && path.Mid(50) == "");
}
