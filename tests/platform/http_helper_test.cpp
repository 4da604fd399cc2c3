// The HTTP layer: the convenience fetch on a transport failure, and Fetch
// against a loopback server.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/eHttpHelper.h"
#include "support/http_test_server.h"

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

// Fetch against the test server: what is sent, what comes back, and each
// way a transfer can end.
TEST(HttpHelper, FetchSendsHeadersReadsStatusTypeAndRetryAfterAndNamesEveryEnding) {
    std::mutex mutex;
    tvktest::tagHttpReply next;
    tvktest::eHttpTestServer server([&](const tvktest::tagHttpRequest&) {
        std::lock_guard<std::mutex> lock(mutex);
        return next;
    });
    const auto answer = [&](const tvktest::tagHttpReply& reply) {
        std::lock_guard<std::mutex> lock(mutex);
        next = reply;
    };
    void* handle = eHttpHelper::Easy_Init();
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> cancel{false};
    eHttpHelper::eRequestSettings settings;
    settings.SetUserAgent("agent/2");
    EXPECT_EQ(settings.AddHeader("X-Key: k1"), 1);
    EXPECT_EQ(settings.AddHeader("X-Evil: a\r\nX-More: b"), 0);
    EXPECT_EQ(settings.AddHeader("no colon"), 0);
    settings.SetTimeout(500);
    settings.SetCancelFlag(&cancel);
    const std::string url = server.Url() + "/a.png";
    eHttpHelper::tagResponse r;

    tvktest::tagHttpReply busy;
    busy.Status = 429;
    busy.ContentType = "text/plain";
    busy.Body = "slow down";
    busy.Headers = {{"Retry-After", "7"}};
    answer(busy);
    ASSERT_EQ(eHttpHelper::Fetch(handle, url.c_str(), settings, r), eHttpHelper::Ok);
    EXPECT_TRUE(r.Status == 429 && r.RetryAfter == 7 && r.ContentType == "text/plain" &&
                std::string(reinterpret_cast<const char*>(r.Body.GetData()), r.Body.GetSize()) ==
                    "slow down");
    const tvktest::tagHttpLogEntry sent = server.Log().back();
    EXPECT_EQ(sent.UserAgent, "agent/2");
    EXPECT_EQ(sent.Headers.at("x-key"), "k1");
    EXPECT_EQ(sent.Headers.count("x-evil") + sent.Headers.count("x-more"), 0u);

    tvktest::tagHttpReply ok;
    ok.Body = "tile";
    answer(ok);
    ASSERT_EQ(eHttpHelper::Fetch(handle, url.c_str(), settings, r), eHttpHelper::Ok);
    EXPECT_TRUE(r.Status == 200 && r.RetryAfter == -1 && r.ContentType == "image/png" &&
                r.Body.GetSize() == 4);

    tvktest::tagHttpReply cut = ok, slow = ok, drop = ok;
    cut.Body = std::string(1000, 'x');
    cut.Action = tvktest::tagHttpReply::CutBody;
    slow.Action = tvktest::tagHttpReply::SlowBody;
    slow.Body = std::string(64, 'x');
    slow.DelayMs = 200;  // 4 pieces: 800 ms, above the 500 ms allowed
    drop.Action = tvktest::tagHttpReply::Drop;
    for (const auto& [reply, ending] :
         std::vector<std::pair<tvktest::tagHttpReply, int>>{{cut, eHttpHelper::Dropped},
                                                            {slow, eHttpHelper::Timeout},
                                                            {drop, eHttpHelper::Dropped}}) {
        answer(reply);
        // A fresh handle: on a reused connection libcurl itself asks again
        // after a drop.
        void* fresh = eHttpHelper::Easy_Init();
        EXPECT_EQ(eHttpHelper::Fetch(fresh, url.c_str(), settings, r), ending) << reply.Action;
        EXPECT_TRUE(r.Status == 0 && r.Body.GetSize() == 0 && !r.Error.IsEmpty());
        eHttpHelper::Easy_Cleanup(fresh);
    }

    // Without the flag this body would take 20 s and come back whole.
    slow.DelayMs = 5000;
    answer(slow);
    settings.SetTimeout(0);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel = true;
    });
    EXPECT_EQ(eHttpHelper::Fetch(handle, url.c_str(), settings, r), eHttpHelper::Cancelled);
    canceller.join();
    cancel = false;
    EXPECT_EQ(eHttpHelper::Fetch(handle, "http://127.0.0.1:1/x", settings, r),
              eHttpHelper::ConnectFailed);
    eHttpHelper::Easy_Cleanup(handle);
}
