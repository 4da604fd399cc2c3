// The replaceable assertion handler and tolerant comparison.
#include <gtest/gtest.h>

#include <string>

#include "platform/eAssert.h"

using namespace TVK;

namespace {
std::string g_last;
int g_calls = 0;
void Record(const char* expr, const char* file, int line) {
    g_last = std::string(expr) + "|" + file + "|" + std::to_string(line);
    ++g_calls;
}
}  // namespace

TEST(Assert, HandlerReceivesTextFileAndLineAndCanBeRestored) {
    g_calls = 0;
    const eAssertHandler before = SetAssertHandler(&Record);
    Eassert("!m_strFileDirectory.IsEmpty()", "eTileStorage", 321);
    EXPECT_EQ(g_last, "!m_strFileDirectory.IsEmpty()|eTileStorage|321");
    EXPECT_EQ(SetAssertHandler(nullptr), &Record);
    Eassert("FALSE", "x", 2);  // the silent default
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(SetAssertHandler(before), nullptr);  // the default reads back as nullptr
}

TEST(Assert, EequalUsesAnAbsoluteTolerance) {
    EXPECT_TRUE(Eequal(1.0, 1.0 + 5e-14) && !Eequal(1.0, 1.0 + 1e-12));
    EXPECT_FALSE(Eequal(1e-20, 2e-12));  // not relative to tiny values
    EXPECT_TRUE(Eequal(100.4, 100.0, 0.5) && !Eequal(100.0, 100.6, 0.5));
}
