// HTTP set-up: the process-wide initialisation and one easy handle per user.
// A handle is opaque to callers and used by one thread at a time.
#ifndef TVK_PLATFORM_EHTTPHELPER_H
#define TVK_PLATFORM_EHTTPHELPER_H

#include <atomic>
#include <memory>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eHttpHelper {
public:
    // Process-wide set-up; 1 on success. Runs before any handle is made.
    static unsigned char Global_Init();
    // Process-wide tear-down, after the last handle is freed.
    static void Global_Cleanup();
    // A new handle, or null on failure.
    static void* Easy_Init();
    // Frees a handle from Easy_Init; null is ignored.
    static void Easy_Cleanup(void* handle);

    // Fetches url with handle into body (replaced). Returns 1 when a response
    // arrived, whatever its status, and stores the status in *status (if not
    // null); 0 on a transport failure, with body empty and *status 0.
    // Redirects are followed; the handle keeps its connection for reuse.
    static unsigned char Get(void* handle, const eString& url, eByteArray& body, long* status);

    // How a Fetch ended.
    enum EmResult {
        Ok = 0,         // a response arrived, whatever its status
        Timeout,        // no complete response within the time allowed
        ConnectFailed,  // no connection could be made (refused, unreachable, name unknown)
        Dropped,        // the connection broke before the response was complete
        Cancelled,      // the cancel flag was raised
        Failed,         // anything else (bad URL, TLS refused, too many redirects...)
    };

    // Settings shared by many fetches: prepared once, then only read, so the
    // workers of a pool may all use one object at the same time.
    class TVK_API eRequestSettings {
    public:
        eRequestSettings();
        ~eRequestSettings();
        eRequestSettings(const eRequestSettings&) = delete;
        eRequestSettings& operator=(const eRequestSettings&) = delete;

        void SetUserAgent(const eString& agent);
        // "Name: value"; 0 (and nothing added) for a line without a name and a colon.
        unsigned char AddHeader(const eString& line);
        // Whole transfer / connection set-up, in milliseconds; 0 means no limit.
        void SetTimeout(long milliseconds);
        void SetConnectTimeout(long milliseconds);
        // While *flag is true, transfers stop within a fraction of a second.
        void SetCancelFlag(const std::atomic<bool>* flag);

    private:
        friend class eHttpHelper;
        struct Impl;
        std::unique_ptr<Impl> m_impl;
    };

    struct tagResponse {
        EmResult Result = Failed;
        long Status = 0;       // HTTP status; 0 unless Result is Ok
        eByteArray Body;       // keeps its capacity from one fetch to the next
        eString ContentType;   // "" when the server sent none
        long RetryAfter = -1;  // seconds the server asked to wait (Retry-After); -1 none
        eString Error;         // what went wrong, in words, unless Result is Ok
    };

    // GETs url with handle. Keep-alive: the handle keeps its connection for
    // the next fetch; HTTP/2 is used where a TLS server offers it. Redirects
    // are followed. A body shorter than the length the server announced is
    // Dropped, never Ok.
    static EmResult Fetch(void* handle, const char* url, const eRequestSettings& settings,
                          tagResponse& response);
};

}  // namespace TVK

#endif
