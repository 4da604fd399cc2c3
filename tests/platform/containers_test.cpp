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

using namespace TVK;

namespace {

std::vector<std::string> g_reports;  // "expr|file" of every Eassert while captured
void Capture(const char* expr, const char* file, int) {
    g_reports.push_back(std::string(expr) + "|" + file);
}

uint32_t Fnv1a(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}
uint32_t StartSlot(const std::string& key, uint32_t mask) {
    return (Fnv1a(key) ^ (Fnv1a(key) >> 13)) & mask;
}
uint32_t StepOf(const std::string& key, uint32_t mask) {
    return ((Fnv1a(key) ^ (Fnv1a(key) >> 17)) | 1u) & mask;
}

// Exposes the slots so a test can lay out a table by hand.
struct RawHash : eHash<eString> {
    explicit RawHash(uint32_t slots) {
        m_pEntries = std::make_unique<tagSlot[]>(slots);
        m_nMask = slots - 1;
    }
    void Place(uint32_t slot, const eString& key) {
        m_pEntries[slot].key = key;
        m_pEntries[slot].value = "19";
    }
};

}  // namespace

TEST(Array, GrowsByItsStep) {
    eArray<eString> a(4);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(a.Add(std::to_string(i)), i);
    EXPECT_EQ(a.GetCapacity(), 8);  // 4, then 4 more: linear, not doubling
}

TEST(Array, RemoveAtClampsAndBadIndicesAreReported) {
    const eAssertHandler previous = SetAssertHandler(&Capture);
    g_reports.clear();
    eArray<eString> a;
    for (const char* s : {"a", "b", "c", "d", "e"}) a.Add(s);
    EXPECT_TRUE(a.RemoveAt(5, 1) == 0 && a.RemoveAt(0, 0) == 0 && a.RemoveAt(0, -3) == 0);
    EXPECT_EQ(a.RemoveAt(1, 2), 2);  // later elements move down in order
    ASSERT_EQ(a.GetSize(), 3);
    EXPECT_TRUE(a[0] == "a" && a[1] == "d" && a[2] == "e");
    EXPECT_EQ(a.RemoveAt(2, 10), 1);  // the count is clamped to the end
    EXPECT_TRUE(g_reports.empty());
    EXPECT_EQ(a.RemoveAt(-1, 2), 0);  // reported, removes nothing
    EXPECT_EQ(a.GetSize(), 2);

    EXPECT_THROW(a[2], std::out_of_range);
    EXPECT_THROW(static_cast<const eArray<eString>&>(a).GetAt(-1), std::out_of_range);
    SetAssertHandler(previous);
    const std::string range = "nIndex>=0 && nIndex<(eInt)m_array.size()|eArray";
    EXPECT_EQ(g_reports, (std::vector<std::string>{"nIndex>=0|eArray", range, range}));
}

TEST(List, AssignmentReplacesTargetAndKeepsOrder) {
    eList<int> l, target;
    for (int v : {2, 3}) l.AddTail(v);
    l.AddHead(1);
    target.AddTail(99);
    target = l;
    EXPECT_EQ(std::vector<int>(target.begin(), target.end()), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(target.RemoveHead() == 1 && l.GetCount() == 3);  // the source keeps its own nodes
}

TEST(Hash, LookupStopsAtFirstFreeSlotAndAfterOneFullCycle) {
    const std::string key = "MaxRenderLevel";
    RawHash h(16);
    h.Place((StartSlot(key, 15) + StepOf(key, 15)) & 15, key);
    eString value("untouched");
    EXPECT_EQ(h.Lookup(key, value), 0);  // the start slot is free
    EXPECT_EQ(value, "untouched");
    h.Place(StartSlot(key, 15), "someone-else");
    EXPECT_EQ(h.Lookup(key, value), 1);
    EXPECT_EQ(value, "19");

    RawHash full(16);  // nothing but other keys: must not loop forever
    for (uint32_t s = 0; s < 16; ++s) full.Place(s, "other" + std::to_string(s));
    EXPECT_EQ(full.Lookup("absent", value), 0);
    EXPECT_EQ(full.Lookup("other7", value), 1);
}

TEST(Hash, ReplacingReadingAndRefusingKeys) {
    eHash<eString> h;
    EXPECT_TRUE(h["absent"].IsEmpty());  // on a table with no slots yet
    ASSERT_TRUE(h.SetAt("name", "first") && h.SetAt("name", "second"));  // the second replaces
    EXPECT_TRUE(h["absent"].IsEmpty() && h.GetCount() == 1);             // reading does not insert
    eString v("kept");
    EXPECT_TRUE(h.SetAt("", "x") == 0 && h.Lookup("", v) == 0 && v == "kept");
    eHash<eString> copy(h);  // owns its own slots
    copy.SetAt("name", "third");
    EXPECT_EQ(h["name"], "second");

    eHash<void*> pointers;  // the exported pointer instantiation
    void* p = nullptr;
    EXPECT_TRUE(pointers.SetAt("obj", &h) && pointers.Lookup("obj", p) && p == &h);
}

TEST(Hash, GrowthKeepsEveryKeyBeforeTheFirstFreeSlotOfItsSequence) {
    eHash<eString> h;
    for (int i = 0; i < 8; ++i) h.SetAt("k" + std::to_string(i), "v");
    EXPECT_EQ(h.GetSlotCount(), 16u);  // exactly half full
    h.SetAt("k8", "v");
    EXPECT_EQ(h.GetSlotCount(), 32u);

    const int n = 10000;
    eHash<eString> big;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(big.SetAt("tile/" + std::to_string(i), std::to_string(i * 3)), 1);
    EXPECT_EQ(big.GetCount(), n);
    const uint32_t mask = big.GetSlotCount() - 1;
    EXPECT_EQ(mask & (mask + 1), 0u);
    for (int i = 0; i < n; ++i) {
        const std::string key = "tile/" + std::to_string(i);
        // Walk the sequence independently: no free slot may come first.
        for (uint32_t s = StartSlot(key, mask); big.GetSlotKey(s) != key;
             s = (s + StepOf(key, mask)) & mask)
            ASSERT_FALSE(big.GetSlotKey(s).IsEmpty()) << key;
        ASSERT_EQ(big[key], std::to_string(i * 3));
    }
}
