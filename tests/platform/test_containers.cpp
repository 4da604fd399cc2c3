// eArray growth and bounds reports, eList copying, and eHash's shared probe
// sequence checked against an independent FNV-1a and probe computation.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/eArray.h"
#include "base/eHash.h"
#include "base/eList.h"
#include "platform/eAssert.h"
#include "platform/eRegistry.h"

using namespace TVK;

namespace {

struct tagReport {
    std::string expr, file;
    int line = 0;
};
std::vector<tagReport> g_reports;

void Capture(const char* expr, const char* file, int line) { g_reports.push_back({expr, file, line}); }

// Captures assertion reports for the lifetime of the object.
class AssertCapture {
public:
    AssertCapture() : m_previous(SetAssertHandler(&Capture)) { g_reports.clear(); }
    ~AssertCapture() { SetAssertHandler(m_previous); }

private:
    eAssertHandler m_previous;
};

uint32_t Fnv1a(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}
uint32_t StartSlot(const std::string& key, uint32_t mask) {
    const uint32_t h = Fnv1a(key);
    return (h ^ (h >> 13)) & mask;
}
uint32_t StepOf(const std::string& key, uint32_t mask) {
    const uint32_t h = Fnv1a(key);
    return ((h ^ (h >> 17)) | 1u) & mask;
}

// Exposes the slots so tests can lay out a table by hand.
class RawHash : public eHash<eString> {
public:
    void Allocate(uint32_t slots) {
        m_pEntries = std::make_unique<tagSlot[]>(slots);
        m_nMask = slots - 1;
    }
    void Place(uint32_t slot, const eString& key, const eString& value) {
        m_pEntries[slot].key = key;
        m_pEntries[slot].value = value;
    }
};

}  // namespace

TEST(Array, AddReturnsIndicesAndCopiesKeepGrowStep) {
    eArray<eString> a(3);
    EXPECT_EQ(a.Add("zero"), 0);
    EXPECT_EQ(a.Add("one"), 1);
    eArray<eString> copy(a);
    copy[0] = "changed";
    EXPECT_EQ(a[0], eString("zero"));  // deep copy
    EXPECT_EQ(copy.GetAt(1), eString("one"));
    EXPECT_EQ(copy.GetGrowBy(), 3);
}

TEST(Array, PositiveGrowStepGrowsCapacityLinearly) {
    eArray<unsigned char> a(4);
    for (unsigned char i = 0; i < 4; ++i) a.Add(i);
    EXPECT_EQ(a.GetCapacity(), 4);
    a.Add(4);
    EXPECT_EQ(a.GetCapacity(), 8);
    for (unsigned char i = 5; i < 9; ++i) a.Add(i);
    EXPECT_EQ(a.GetCapacity(), 12);
    for (eInt i = 0; i < 9; ++i) EXPECT_EQ(a[i], i);
}

TEST(Array, RemoveAtCountsAndClamps) {
    AssertCapture capture;
    auto five = [] {
        eArray<eString> a;
        for (const char* s : {"a", "b", "c", "d", "e"}) a.Add(s);
        return a;
    };
    eArray<eString> a = five();
    EXPECT_EQ(a.RemoveAt(2, 10), 3);
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a[1], eString("b"));

    a = five();
    EXPECT_EQ(a.RemoveAt(5, 1), 0);
    EXPECT_EQ(a.RemoveAt(0, 0), 0);
    EXPECT_EQ(a.RemoveAt(0, -3), 0);
    EXPECT_EQ(a.GetSize(), 5);
    EXPECT_TRUE(g_reports.empty());

    EXPECT_EQ(a.RemoveAt(1, 2), 2);  // later elements move down in order
    ASSERT_EQ(a.GetSize(), 3);
    EXPECT_EQ(a[0], eString("a"));
    EXPECT_EQ(a[1], eString("d"));
    EXPECT_EQ(a[2], eString("e"));

    // A negative index is reported and removes nothing.
    EXPECT_EQ(a.RemoveAt(-1, 2), 0);
    EXPECT_EQ(a.GetSize(), 3);
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_EQ(g_reports[0].expr, "nIndex>=0");
    EXPECT_EQ(g_reports[0].file, "eArray");
    EXPECT_GT(g_reports[0].line, 0);
}

TEST(Array, OutOfRangeIndexIsReportedThenThrows) {
    AssertCapture capture;
    eArray<eString> a;
    a.Add("only");
    EXPECT_EQ(a[0], eString("only"));
    EXPECT_EQ(a.GetAt(0), eString("only"));
    EXPECT_TRUE(g_reports.empty());

    EXPECT_THROW(a[1], std::out_of_range);
    EXPECT_THROW(a.GetAt(-1), std::out_of_range);
    const eArray<eString>& ca = a;
    EXPECT_THROW(ca[5], std::out_of_range);
    ASSERT_EQ(g_reports.size(), 3u);
    for (const tagReport& r : g_reports) {
        EXPECT_EQ(r.expr, "nIndex>=0 && nIndex<(eInt)m_array.size()");
        EXPECT_EQ(r.file, "eArray");
    }
}

TEST(Array, FreeExtraAndRemoveAllReleaseSpareStorage) {
    eArray<unsigned char> a(8);
    for (unsigned char i = 0; i < 5; ++i) a.Add(i);
    EXPECT_EQ(a.GetCapacity(), 8);
    a.FreeExtra();
    EXPECT_EQ(a.GetCapacity(), 5);
    EXPECT_EQ(a.GetSize(), 5);
    EXPECT_EQ(a[4], 4);
    const unsigned char* before = &a[0];
    a.FreeExtra();  // capacity equals size: nothing moves
    EXPECT_EQ(&a[0], before);
    a.RemoveAll();
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.GetCapacity(), 0);
}

TEST(List, AssignmentReplacesTargetAndKeepsOrder) {
    eList<int> l;
    l.AddTail(2);
    l.AddTail(3);
    l.AddHead(1);
    eList<int> target;
    target.AddTail(99);
    target = l;
    EXPECT_EQ(std::vector<int>(target.begin(), target.end()), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(target.RemoveHead(), 1);
    EXPECT_EQ(l.GetCount(), 3);  // source unchanged
}

TEST(Hash, CollidingKeysFollowTheOddStepFromTheStartSlot) {
    const uint32_t mask = 15;  // the first table has 16 slots
    // Three keys sharing one start slot, found by the test's own hashing.
    std::vector<std::string> keys;
    uint32_t target = 0;
    for (int i = 0; keys.size() < 3; ++i) {
        const std::string k = "key" + std::to_string(i);
        if (keys.empty()) {
            keys.push_back(k);
            target = StartSlot(k, mask);
        } else if (StartSlot(k, mask) == target) {
            keys.push_back(k);
        }
    }
    eHash<eString> h;
    for (const std::string& k : keys) ASSERT_EQ(h.SetAt(k.c_str(), ("v" + k).c_str()), 1);
    ASSERT_EQ(h.GetSlotCount(), 16u);
    EXPECT_EQ(h.GetSlotKey(target), eString(keys[0].c_str()));
    EXPECT_EQ(h.GetSlotKey((target + StepOf(keys[1], mask)) & mask), eString(keys[1].c_str()));
    // The third goes to the first free slot of its own sequence.
    uint32_t i = target;
    while (!h.GetSlotKey(i).IsEmpty() && h.GetSlotKey(i) != eString(keys[2].c_str()))
        i = (i + StepOf(keys[2], mask)) & mask;
    EXPECT_EQ(h.GetSlotKey(i), eString(keys[2].c_str()));
    for (const std::string& k : keys) {
        eString v;
        EXPECT_EQ(h.Lookup(k.c_str(), v), 1);
        EXPECT_EQ(v.Std(), "v" + k);
    }
}

TEST(Hash, LookupStopsAtFirstFreeSlotAndAfterOneFullCycle) {
    const uint32_t mask = 15;
    const std::string key = "MaxRenderLevel";
    const uint32_t start = StartSlot(key, mask);
    const uint32_t second = (start + StepOf(key, mask)) & mask;

    RawHash h;
    h.Allocate(16);
    h.Place(second, key.c_str(), "19");
    eString value("untouched");
    EXPECT_EQ(h.Lookup(key.c_str(), value), 0);  // the start slot is free
    EXPECT_EQ(value, eString("untouched"));
    h.Place(start, "someone-else", "x");
    EXPECT_EQ(h.Lookup(key.c_str(), value), 1);
    EXPECT_EQ(value, eString("19"));

    // A table holding nothing but other keys must not loop forever.
    RawHash full;
    full.Allocate(16);
    for (uint32_t s = 0; s < 16; ++s) full.Place(s, ("other" + std::to_string(s)).c_str(), "x");
    EXPECT_EQ(full.Lookup("absent", value), 0);
    EXPECT_EQ(full.Lookup("other7", value), 1);
}

TEST(Hash, IndexOperatorReadsWithoutInsertingAndEmptyKeysAreRefused) {
    eHash<eString> h;
    EXPECT_TRUE(h["absent"].IsEmpty());  // on a table with no slots yet
    ASSERT_EQ(h.SetAt("name", "first"), 1);
    ASSERT_EQ(h.SetAt("name", "second"), 1);  // replaces
    EXPECT_EQ(h.GetCount(), 1);
    EXPECT_EQ(h["name"], eString("second"));
    EXPECT_TRUE(h["absent"].IsEmpty());
    EXPECT_EQ(h.GetCount(), 1);
    for (uint32_t s = 0; s < h.GetSlotCount(); ++s) EXPECT_NE(h.GetSlotKey(s), eString("absent"));

    EXPECT_EQ(h.SetAt("", "x"), 0);
    eString v("kept");
    EXPECT_EQ(h.Lookup("", v), 0);
    EXPECT_EQ(v, eString("kept"));
    EXPECT_EQ(h.GetCount(), 1);

    eHash<eString> copy(h);  // owns its own slots
    copy.SetAt("name", "third");
    EXPECT_EQ(h["name"], eString("second"));
}

TEST(Hash, GrowthKeepsEveryKeyBeforeTheFirstFreeSlotOfItsSequence) {
    eHash<eString> h;
    for (int i = 0; i < 8; ++i) h.SetAt(("k" + std::to_string(i)).c_str(), "v");
    EXPECT_EQ(h.GetSlotCount(), 16u);  // exactly half full
    h.SetAt("k8", "v");
    EXPECT_EQ(h.GetSlotCount(), 32u);

    const int n = 10000;
    eHash<eString> big;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(big.SetAt(("tile/" + std::to_string(i)).c_str(), std::to_string(i * 3).c_str()), 1);
    EXPECT_EQ(big.GetCount(), n);
    const uint32_t slots = big.GetSlotCount();
    EXPECT_EQ(slots & (slots - 1), 0u);
    EXPECT_GE(slots, 2u * n);
    const uint32_t mask = slots - 1;
    for (int i = 0; i < n; ++i) {
        const std::string key = "tile/" + std::to_string(i);
        // Walk the sequence independently: no free slot may come first.
        uint32_t s = StartSlot(key, mask);
        const uint32_t step = StepOf(key, mask);
        while (big.GetSlotKey(s) != eString(key.c_str())) {
            ASSERT_FALSE(big.GetSlotKey(s).IsEmpty()) << key;
            s = (s + step) & mask;
        }
        eString v;
        ASSERT_EQ(big.Lookup(key.c_str(), v), 1);
        ASSERT_EQ(v.Std(), std::to_string(i * 3));
    }
}

TEST(Hash, PointerValuesAndTheRegistryTable) {
    int object = 5;
    eHash<void*> h;
    h.SetAt("obj", &object);
    void* p = nullptr;
    ASSERT_EQ(h.Lookup("obj", p), 1);
    EXPECT_EQ(p, &object);

    eRegistry::Root().SetAt("CoreTestSetting", "12");
    EXPECT_EQ(&eRegistry::Root(), &eRegistry::Root());
    EXPECT_EQ(eRegistry::Root()["CoreTestSetting"].ToInt(), 12);
}
