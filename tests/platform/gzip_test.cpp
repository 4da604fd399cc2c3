// gzip in memory: what goes in comes out, and hostile streams are refused.
#include <gtest/gtest.h>

#include "platform/eGzip.h"
#include "support/test_files.h"

namespace tvktest {

TEST(Gzip, RoundTripAndRefusals) {
    Bytes text;
    for (int i = 0; i < 100000; ++i)
        text.push_back(static_cast<unsigned char>("tile"[i % 4] + i % 7));
    eByteArray packed, back;
    ASSERT_TRUE(eGzip::Compress(text.data(), text.size(), packed));
    // RFC 1952: magic 1F 8B, method 8 (deflate).
    ASSERT_GE(packed.GetSize(), 18);
    EXPECT_TRUE(packed.GetData()[0] == 0x1F && packed.GetData()[1] == 0x8B &&
                packed.GetData()[2] == 8);
    ASSERT_TRUE(eGzip::Decompress(packed.GetData(), size_t(packed.GetSize()), text.size(), back));
    EXPECT_EQ(ToBytes(back), text);
    ASSERT_TRUE(eGzip::Compress(nullptr, 0, packed));
    ASSERT_TRUE(eGzip::Decompress(packed.GetData(), size_t(packed.GetSize()), 0, back));
    EXPECT_EQ(back.GetSize(), 0);

    ASSERT_TRUE(eGzip::Compress(text.data(), text.size(), packed));
    const Bytes good = ToBytes(packed);
    const struct {
        const char* what;
        Bytes bytes;
        size_t limit;
    } refused[] = {
        {"one byte over the limit", good, text.size() - 1},
        {"cut short", Bytes(good.begin(), good.end() - 5), text.size()},
        {"trailing byte", Concat(good, {0}), text.size()},
        {"no gzip magic", Bytes(good.begin() + 1, good.end()), text.size()},
        {"damaged checksum",
         [&] {
             Bytes b = good;
             b[b.size() - 6] ^= 0xFF;
             return b;
         }(),
         text.size()},
    };
    for (const auto& r : refused) {
        back = ToArray({1, 2, 3});
        EXPECT_FALSE(eGzip::Decompress(r.bytes.data(), r.bytes.size(), r.limit, back)) << r.what;
        EXPECT_EQ(back.GetSize(), 0) << r.what;
    }
}

}  // namespace tvktest
