// The HTTP layer's convenience fetch on a transport failure.
#include <gtest/gtest.h>

#include "platform/eHttpHelper.h"

using namespace TVK;

TEST(HttpHelper, TransportFailureIsReportedWithEmptyBody) {
    void* handle = eHttpHelper::Easy_Init();
    ASSERT_NE(handle, nullptr);
    eByteArray body;
    body.SetSize(3);  // stale content must not survive a failed fetch
    long status = 99;
    // Port 1 on the loopback: nothing listens there.
    EXPECT_EQ(eHttpHelper::Get(handle, "http://127.0.0.1:1/x.png", body, &status), 0);
    EXPECT_TRUE(body.GetSize() == 0 && status == 0);
    eHttpHelper::Easy_Cleanup(handle);
}
