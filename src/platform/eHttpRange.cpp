// Range requests on libcurl. Easy handles are pooled (one per concurrent
// reader, kept for their connections); options are reset before each
// transfer so one request's settings never leak into the next.
#include "platform/eHttpRange.h"

#include <curl/curl.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

namespace TVK {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
// Gives up on a server that stops sending instead of blocking a reader forever.
constexpr long kLowSpeedLimitBytes = 1;
constexpr long kLowSpeedTimeSeconds = 30;
constexpr long kMaxRedirects = 8;

struct tagAnswer {
    eByteArray* body = nullptr;
    uint64_t limit = 0;     // more than this is not what was asked for
    bool overflow = false;  // the transfer was stopped for that
    std::string etag, modified, contentRange;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    tagAnswer* answer = static_cast<tagAnswer*>(user);
    const size_t bytes = size * count;
    if (static_cast<uint64_t>(answer->body->GetSize()) + bytes > answer->limit) {
        answer->overflow = true;
        return 0;  // aborts the transfer
    }
    answer->body->Add(reinterpret_cast<const unsigned char*>(data), static_cast<eInt>(bytes));
    return bytes;
}

std::string Trimmed(const char* begin, const char* end) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
        --end;
    return std::string(begin, end);
}

bool HeaderIs(const char* line, size_t length, const char* name) {
    const size_t n = std::strlen(name);
    return length > n && line[n] == ':' && strncasecmp(line, name, n) == 0;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    tagAnswer* answer = static_cast<tagAnswer*>(user);
    const size_t bytes = size * count;
    // A redirect's headers come first; each status line starts a new answer.
    if (bytes >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
        answer->etag.clear();
        answer->modified.clear();
        answer->contentRange.clear();
    } else if (HeaderIs(data, bytes, "ETag")) {
        answer->etag = Trimmed(data + 5, data + bytes);
    } else if (HeaderIs(data, bytes, "Last-Modified")) {
        answer->modified = Trimmed(data + 14, data + bytes);
    } else if (HeaderIs(data, bytes, "Content-Range")) {
        answer->contentRange = Trimmed(data + 14, data + bytes);
    }
    return bytes;
}

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL"; TOTAL may be "*" (-1).
bool ParseContentRange(const std::string& text, int64_t& first, int64_t& last, int64_t& total) {
    first = last = total = -1;
    long long a = 0, b = 0, t = 0;
    char star[2] = {0, 0};
    if (std::sscanf(text.c_str(), "bytes %lld-%lld/%lld", &a, &b, &t) == 3 && a >= 0 && b >= a &&
        t > b) {
        first = a;
        last = b;
        total = t;
        return true;
    }
    if (std::sscanf(text.c_str(), "bytes %lld-%lld/%1[*]", &a, &b, star) == 3 && a >= 0 && b >= a) {
        first = a;
        last = b;
        return true;
    }
    if (std::sscanf(text.c_str(), "bytes */%lld", &t) == 1 && t >= 0) {
        total = t;
        return true;
    }
    return false;
}

bool IsTransient(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return true;
        default: return false;
    }
}

bool IsTransientStatus(long status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

// Weak validators never match under If-Match's strong comparison.
bool IsStrong(const std::string& etag) { return !etag.empty() && etag.rfind("W/", 0) != 0; }

class eHeaderList {
public:
    ~eHeaderList() {
        if (m_list != nullptr) curl_slist_free_all(m_list);
    }
    bool Add(const std::string& line) {
        curl_slist* next = curl_slist_append(m_list, line.c_str());
        if (next == nullptr) return false;
        m_list = next;
        return true;
    }
    curl_slist* Get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};

}  // namespace

eHttpRange::eHttpRange(const eString& url) : m_strUrl(url) {}

eHttpRange::~eHttpRange() {
    for (void* handle : m_vecFreeHandles) curl_easy_cleanup(static_cast<CURL*>(handle));
}

void eHttpRange::SetRetries(int attempts, int firstPauseMs) {
    m_nAttempts = attempts < 1 ? 1 : attempts;
    m_nFirstPauseMs = firstPauseMs < 0 ? 0 : firstPauseMs;
}

void* eHttpRange::TakeHandle() {
    {
        eMutexGuard lock(m_mutex);
        if (!m_vecFreeHandles.empty()) {
            void* handle = m_vecFreeHandles.back();
            m_vecFreeHandles.pop_back();
            return handle;
        }
    }
    return curl_easy_init();
}

void eHttpRange::GiveBackHandle(void* curl) {
    eMutexGuard lock(m_mutex);
    m_vecFreeHandles.push_back(curl);
}

bool eHttpRange::CheckVersion(const std::string& etag, const std::string& modified, int64_t total,
                              eString& error) {
    eMutexGuard lock(m_mutex);
    if (m_bChanged) {
        error = m_strChange;
        return false;
    }
    if (!m_bPinned) {
        m_bPinned = true;
        m_strETag = etag;
        m_strModified = modified;
        if (total >= 0) m_nSize = total;
        return true;
    }
    std::string what;
    if (!m_strETag.empty() && !etag.empty() && etag != m_strETag) {
        what = "its ETag " + m_strETag + " became " + etag;
    } else if (!m_strModified.empty() && !modified.empty() && modified != m_strModified) {
        what = "its Last-Modified time " + m_strModified + " became " + modified;
    } else if (total >= 0 && m_nSize >= 0 && total != m_nSize) {
        what = "its size " + std::to_string(m_nSize.load()) + " became " + std::to_string(total);
    } else {
        if (total >= 0 && m_nSize < 0) m_nSize = total;
        return true;
    }
    m_bChanged = true;
    m_strChange = m_strUrl + ": the file changed on the server while it was being read (" + what +
                  "); open it again";
    error = m_strChange;
    return false;
}

eHttpRange::EmAttempt eHttpRange::Attempt(void* handle, uint64_t offset, uint64_t count,
                                          eByteArray& out, int64_t& got, eString& error) {
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_reset(curl);
    out.RemoveAll();
    tagAnswer answer;
    answer.body = &out;
    answer.limit = count;
    char range[64];
    std::snprintf(range, sizeof range, "%" PRIu64 "-%" PRIu64, offset, offset + count - 1);
    eHeaderList headers;
    std::string pinned;
    {
        eMutexGuard lock(m_mutex);
        if (IsStrong(m_strETag)) pinned = m_strETag;
    }
    if (!pinned.empty() && !headers.Add("If-Match: " + pinned)) {
        error = m_strUrl + ": out of memory";
        return Fail;
    }
    // NOSIGNAL: readers are threads, and the resolver's alarm signal is not
    // thread-safe. Only http and https, also after a redirect.
    if (curl_easy_setopt(curl, CURLOPT_URL, m_strUrl.Cstr()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytes) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_RANGE, range) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.Get()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer) != CURLE_OK) {
        error = m_strUrl + ": not a URL this reader can fetch";
        return Fail;
    }
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && answer.overflow)) {
        error = m_strUrl + ": " + curl_easy_strerror(code);
        if (code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT) return Fail;
        return IsTransient(code) ? Retry : Fail;
    }
    if (status == 412) {
        // If-Match failed: the pinned version is gone.
        eMutexGuard lock(m_mutex);
        if (!m_bChanged) {
            m_bChanged = true;
            m_strChange = m_strUrl +
                          ": the file changed on the server while it was being read (it no "
                          "longer has the ETag " +
                          pinned + "); open it again";
        }
        error = m_strChange;
        return Fail;
    }
    if (IsTransientStatus(status)) {
        error = m_strUrl + ": HTTP " + std::to_string(status);
        return Retry;
    }
    if (status == 416) {
        // Nothing at or past the end of the file.
        int64_t first, last, total;
        ParseContentRange(answer.contentRange, first, last, total);
        if (!CheckVersion(answer.etag, answer.modified, total, error)) return Fail;
        out.RemoveAll();
        got = 0;
        return Done;
    }
    if (status == 200) {
        // The server sent the whole file: usable only when it is no longer
        // than what was asked for from its start.
        if (answer.overflow || offset != 0) {
            error = m_strUrl + ": the server does not answer range requests";
            return Fail;
        }
        if (!CheckVersion(answer.etag, answer.modified, out.GetSize(), error)) return Fail;
        got = out.GetSize();
        return Done;
    }
    if (status != 206) {
        error = m_strUrl + ": HTTP " + std::to_string(status);
        return Fail;
    }
    int64_t first, last, total;
    if (answer.overflow || !ParseContentRange(answer.contentRange, first, last, total) ||
        first != static_cast<int64_t>(offset) ||
        last - first + 1 != static_cast<int64_t>(out.GetSize()) ||
        static_cast<uint64_t>(out.GetSize()) > count) {
        error = m_strUrl + ": the server answered another range than the one asked for";
        return Fail;
    }
    if (!CheckVersion(answer.etag, answer.modified, total, error)) return Fail;
    got = out.GetSize();
    return Done;
}

int64_t eHttpRange::ReadAt(uint64_t offset, uint64_t count, eByteArray& out, eString& error) {
    out.RemoveAll();
    error.Empty();
    if (HasChanged()) {
        eMutexGuard lock(m_mutex);
        error = m_strChange;
        return -1;
    }
    if (count == 0) return 0;
    if (count > static_cast<uint64_t>(std::numeric_limits<eInt>::max()) ||
        offset > std::numeric_limits<uint64_t>::max() - count) {
        error = m_strUrl + ": a range too large to read";
        return -1;
    }
    const int64_t size = GetSize();
    if (size >= 0 && offset >= static_cast<uint64_t>(size)) return 0;
    if (size >= 0) count = std::min<uint64_t>(count, static_cast<uint64_t>(size) - offset);

    void* handle = TakeHandle();
    if (handle == nullptr) {
        error = m_strUrl + ": cannot make an HTTP handle";
        return -1;
    }
    int64_t got = -1;
    int pause = m_nFirstPauseMs;
    const int attempts = m_nAttempts;
    for (int attempt = 1;; ++attempt) {
        const EmAttempt result = Attempt(handle, offset, count, out, got, error);
        if (result == Done) break;
        if (result == Fail || attempt >= attempts) {
            if (result == Retry) error += " (after " + std::to_string(attempts) + " attempts)";
            out.RemoveAll();
            got = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        pause *= 2;
    }
    GiveBackHandle(handle);
    if (got >= 0) error.Empty();
    return got;
}

}  // namespace TVK
