// eString conversions, formatting and case handling; eStringEx hashing.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "platform/eString.h"

using namespace TVK;

TEST(StringToInt, DecimalSkipsLeadingSpaceTakesSignAndStopsAtGarbage) {
    EXPECT_EQ(eString("42").ToInt(), 42);
    EXPECT_EQ(eString(" \t\n 7").ToInt(), 7);
    EXPECT_EQ(eString("-17xyz").ToInt(), -17);
    EXPECT_EQ(eString("+8").ToInt(), 8);
    EXPECT_EQ(eString("12 34").ToInt(), 12);
    EXPECT_EQ(eString("abc").ToInt(), 0);
    EXPECT_EQ(eString("").ToInt(), 0);
    EXPECT_EQ(eString("- 5").ToInt(), 0);
    EXPECT_EQ(eString("--5").ToInt(), 0);
}

TEST(StringToInt, OtherRadixes) {
    EXPECT_EQ(eString("ff").ToInt(16), 255);
    EXPECT_EQ(eString("0x1F").ToInt(16), 31);
    EXPECT_EQ(eString("0xg").ToInt(16), 0);  // "0" then a non-digit
    EXPECT_EQ(eString("777").ToInt(8), 511);
    EXPECT_EQ(eString("789").ToInt(8), 7);
    EXPECT_EQ(eString("1012").ToInt(2), 5);
    EXPECT_EQ(eString("-z").ToInt(36), -35);
    EXPECT_EQ(eString("10").ToInt(1), 0);
    EXPECT_EQ(eString("10").ToInt(37), 0);
}

TEST(StringToInt, SaturatesAtThirtyTwoBits) {
    const eInt maxv = std::numeric_limits<eInt>::max();
    const eInt minv = std::numeric_limits<eInt>::min();
    EXPECT_EQ(eString("2147483647").ToInt(), maxv);
    EXPECT_EQ(eString("2147483648").ToInt(), maxv);
    EXPECT_EQ(eString("99999999999999999999999999").ToInt(), maxv);
    EXPECT_EQ(eString("-2147483648").ToInt(), minv);
    EXPECT_EQ(eString("-2147483649").ToInt(), minv);
    EXPECT_EQ(eString("-99999999999999999999999999").ToInt(), minv);
    EXPECT_EQ(eString("ffffffffff").ToInt(16), maxv);
}

TEST(StringToDouble, ParsesDecimalTextAndStopsAtGarbage) {
    EXPECT_EQ(eString("3.25").ToDouble(), 3.25);
    EXPECT_EQ(eString("  -1.5e3").ToDouble(), -1500.0);
    EXPECT_EQ(eString("+.5").ToDouble(), 0.5);
    EXPECT_EQ(eString("6378137.0").ToDouble(), 6378137.0);
    EXPECT_EQ(eString("0.0174532925199433").ToDouble(), 0.0174532925199433);
    EXPECT_EQ(eString("12abc").ToDouble(), 12.0);
    EXPECT_EQ(eString("1,5").ToDouble(), 1.0);
    EXPECT_EQ(eString("abc").ToDouble(), 0.0);
    EXPECT_EQ(eString("").ToDouble(), 0.0);
    EXPECT_EQ(eString("--1").ToDouble(), 0.0);
    EXPECT_EQ(eString("+-1").ToDouble(), 0.0);
    EXPECT_TRUE(std::isinf(eString("1e400").ToDouble()));
    EXPECT_EQ(eString("1e-400").ToDouble(), 0.0);
}

// Selects a locale whose decimal separator is a comma: an installed one, or
// one compiled with localedef into a temporary folder. Returns its name.
namespace {
const char* SelectCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) return name;
    }
    const std::string dir = std::filesystem::temp_directory_path().string() + "/tvk_locale_" +
                            std::to_string(std::random_device{}());
    std::filesystem::create_directories(dir);
    {
        std::ofstream src(dir + "/comma.src");
        src << "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \".\"\ngrouping 3\nEND LC_NUMERIC\n";
    }
    // localedef warns about the categories left out and still writes the locale.
    const std::string cmd = "localedef -c -i " + dir + "/comma.src -f UTF-8 " + dir +
                            "/tvk_comma.UTF-8 >/dev/null 2>&1";
    (void)std::system(cmd.c_str());
    setenv("LOCPATH", dir.c_str(), 1);
    const char* name = std::setlocale(LC_NUMERIC, "tvk_comma.UTF-8") ? "tvk_comma.UTF-8" : nullptr;
    unsetenv("LOCPATH");  // the selected locale stays loaded
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return name;
}
}  // namespace

TEST(StringToDouble, IgnoresACommaDecimalLocale) {
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    const char* found = SelectCommaLocale();
    if (found == nullptr) GTEST_SKIP() << "no locale with a decimal comma could be selected";
    const bool comma = std::localeconv()->decimal_point[0] == ',';
    const double dotted = eString("2.75").ToDouble();
    const double commaText = eString("2,75").ToDouble();
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_TRUE(comma) << found;
    EXPECT_EQ(dotted, 2.75);
    EXPECT_EQ(commaText, 2.0);
}

TEST(StringFormat, ReplacesContentAndHandlesLongOutput) {
    eString s("old content");
    s.Format("%d-%s-%.2f", 7, "ab", 3.14159);
    EXPECT_EQ(s, eString("7-ab-3.14"));
    const std::string longText(1000, 'q');
    s.Format("[%s]", longText.c_str());
    EXPECT_EQ(s.GetLength(), 1002);
    EXPECT_EQ(s.Std(), "[" + longText + "]");
    s.Format("%s", "");
    EXPECT_TRUE(s.IsEmpty());
}

TEST(StringEdit, TrimRightRemovesOnlyTrailingRuns) {
    EXPECT_EQ(eString("a/b///").TrimRight('/'), eString("a/b"));
    EXPECT_EQ(eString("////").TrimRight('/'), eString(""));
    EXPECT_EQ(eString("/abc").TrimRight('/'), eString("/abc"));
    EXPECT_EQ(eString("1.500").TrimRight('0'), eString("1.5"));
    EXPECT_EQ(eString("").TrimRight('x'), eString(""));
}

TEST(StringEdit, CaseFoldingIsAsciiAndComparesLowerCased) {
    EXPECT_EQ(eString("MixED 12_x").MakeLower(), eString("mixed 12_x"));
    EXPECT_EQ(eString("MixED 12_x").MakeUpper(), eString("MIXED 12_X"));
    EXPECT_EQ(eString("Level").CompareNoCase("LEVEL"), 0);
    EXPECT_LT(eString("abc").CompareNoCase("ABD"), 0);
    EXPECT_LT(eString("ab").CompareNoCase("abc"), 0);
    EXPECT_GT(eString("b").CompareNoCase("A"), 0);
    // '_' (95) sorts before 'a' (97) but after 'A' (65): the fold is to lower case.
    EXPECT_LT(eString("_").CompareNoCase("A"), 0);
    // Bytes above 127 compare unsigned.
    EXPECT_GT(eString("\xC3").CompareNoCase("a"), 0);
}

TEST(StringEdit, FindAndSubstrings) {
    const eString s("L05/R0000/C0001.png");
    EXPECT_EQ(s.Find("/", 4), 9);
    EXPECT_EQ(s.Find("/", 100), -1);
    EXPECT_EQ(s.ReverseFind('.'), 15);
    EXPECT_EQ(s.Left(100), s);
    EXPECT_EQ(s.Mid(4, 5), eString("R0000"));
    EXPECT_EQ(s.Mid(50), eString(""));
    EXPECT_EQ(eString("abcdef", 3), eString("abc"));
}

TEST(StringHash, MatchesPublishedFnv1aVectors) {
    EXPECT_EQ(eStringEx(eString("")).HashVal(), 0x811c9dc5u);
    EXPECT_EQ(eStringEx(eString("a")).HashVal(), 0xe40c292cu);
    EXPECT_EQ(eStringEx(eString("foobar")).HashVal(), 0xbf9cf968u);
}
