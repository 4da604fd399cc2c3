// Byte ranges of one remote file over HTTP(S), read by many threads at once.
//
// Each read is one range request ("Range: bytes=A-B"). The first answer pins
// the file's version: its ETag (sent back as If-Match on every later request
// when it is a strong one, and compared on every answer), its Last-Modified
// time and its total size. An answer from another version marks the reader
// as changed for good, so a file replaced on the server is never read as a
// mix of two versions. Transport failures and the answers 408, 429 and 5xx
// are retried a few times with growing pauses; anything else fails at once.
//
// Private to the library; TVK_API only for the tests.
#ifndef TVK_PLATFORM_EHTTPRANGE_H
#define TVK_PLATFORM_EHTTPRANGE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"
#include "platform/eThread.h"

namespace TVK {

class TVK_API eHttpRange {
public:
    // url: an http:// or https:// URL; other schemes fail on the first read.
    explicit eHttpRange(const eString& url);
    ~eHttpRange();
    eHttpRange(const eHttpRange&) = delete;
    eHttpRange& operator=(const eHttpRange&) = delete;

    // Replaces out with up to count bytes from offset: fewer only at the end
    // of the file (none at or past it). Returns the number read, or -1 with
    // the reason in error.
    int64_t ReadAt(uint64_t offset, uint64_t count, eByteArray& out, eString& error);
    // Total size of the file, -1 until a read has told it.
    int64_t GetSize() const { return m_nSize.load(); }
    // True once an answer came from another version of the file.
    bool HasChanged() const { return m_bChanged.load(); }
    const eString& GetUrl() const { return m_strUrl; }
    // Attempts per read (at least 1) and the pause before the first retry,
    // doubled before each further one.
    void SetRetries(int attempts, int firstPauseMs);

private:
    enum EmAttempt { Done, Retry, Fail };
    EmAttempt Attempt(void* curl, uint64_t offset, uint64_t count, eByteArray& out, int64_t& got,
                      eString& error);
    void* TakeHandle() TVK_EXCLUDES(m_mutex);
    void GiveBackHandle(void* curl) TVK_EXCLUDES(m_mutex);
    // Compares an answer's version with the pinned one, pinning it on the
    // first answer. False (and changed) when they differ.
    bool CheckVersion(const std::string& etag, const std::string& modified, int64_t total,
                      eString& error) TVK_EXCLUDES(m_mutex);

    const eString m_strUrl;
    std::atomic<int64_t> m_nSize{-1};
    std::atomic<bool> m_bChanged{false};
    std::atomic<int> m_nAttempts{4};
    std::atomic<int> m_nFirstPauseMs{100};

    eMutex m_mutex;
    std::vector<void*> m_vecFreeHandles TVK_GUARDED_BY(m_mutex);
    bool m_bPinned TVK_GUARDED_BY(m_mutex) = false;
    std::string m_strETag TVK_GUARDED_BY(m_mutex);
    std::string m_strModified TVK_GUARDED_BY(m_mutex);
    // The message every read gives once changed.
    eString m_strChange TVK_GUARDED_BY(m_mutex);
};

}  // namespace TVK

#endif
