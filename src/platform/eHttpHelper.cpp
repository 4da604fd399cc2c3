// HTTP on libcurl. Options are reset before each transfer so one request's
// settings never leak into the next; the connection cache survives the reset.
#include "platform/eHttpHelper.h"

#include <curl/curl.h>

#include <limits>
#include <string>

namespace TVK {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
// Gives up on a server that stops sending instead of blocking a worker forever.
constexpr long kLowSpeedLimitBytes = 1;
constexpr long kLowSpeedTimeSeconds = 30;
constexpr long kMaxRedirects = 8;

struct tagSink {
    eByteArray* body;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    tagSink* sink = static_cast<tagSink*>(user);
    const size_t bytes = size * count;
    // eByteArray sizes are 32-bit; a longer body aborts the transfer.
    const size_t room = static_cast<size_t>(std::numeric_limits<eInt>::max()) -
                        static_cast<size_t>(sink->body->GetSize());
    if (bytes > room) return 0;
    sink->body->Add(reinterpret_cast<const unsigned char*>(data), static_cast<eInt>(bytes));
    return bytes;
}

struct tagHeaderList {
    curl_slist* list = nullptr;
    ~tagHeaderList() { curl_slist_free_all(list); }
};

int AbortWhenCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const std::atomic<bool>* flag = static_cast<const std::atomic<bool>*>(user);
    return flag->load(std::memory_order_relaxed) ? 1 : 0;
}

eHttpHelper::EmResult ResultOf(CURLcode code) {
    switch (code) {
        case CURLE_OK: return eHttpHelper::Ok;
        case CURLE_OPERATION_TIMEDOUT: return eHttpHelper::Timeout;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return eHttpHelper::ConnectFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return eHttpHelper::Dropped;
        case CURLE_ABORTED_BY_CALLBACK: return eHttpHelper::Cancelled;
        default: return eHttpHelper::Failed;
    }
}

}  // namespace

struct eHttpHelper::eRequestSettings::Impl {
    std::string userAgent;
    tagHeaderList headers;  // built once, read by every transfer
    long timeoutMs = 0;
    long connectTimeoutMs = kConnectTimeoutSeconds * 1000;
    const std::atomic<bool>* cancel = nullptr;
};

eHttpHelper::eRequestSettings::eRequestSettings() : m_impl(std::make_unique<Impl>()) {}

eHttpHelper::eRequestSettings::~eRequestSettings() = default;

void eHttpHelper::eRequestSettings::SetUserAgent(const eString& agent) {
    m_impl->userAgent = agent.Std();
}

unsigned char eHttpHelper::eRequestSettings::AddHeader(const eString& line) {
    const std::string& text = line.Std();
    const size_t colon = text.find(':');
    // A line break would let a header value smuggle in further headers.
    if (colon == 0 || colon == std::string::npos ||
        text.find_first_of("\r\n") != std::string::npos || text.find_first_of(" \t") < colon)
        return 0;
    curl_slist* grown = curl_slist_append(m_impl->headers.list, text.c_str());
    if (grown == nullptr) return 0;
    m_impl->headers.list = grown;
    return 1;
}

void eHttpHelper::eRequestSettings::SetTimeout(long milliseconds) {
    m_impl->timeoutMs = milliseconds > 0 ? milliseconds : 0;
}

void eHttpHelper::eRequestSettings::SetConnectTimeout(long milliseconds) {
    m_impl->connectTimeoutMs = milliseconds > 0 ? milliseconds : 0;
}

void eHttpHelper::eRequestSettings::SetCancelFlag(const std::atomic<bool>* flag) {
    m_impl->cancel = flag;
}

unsigned char eHttpHelper::Global_Init() {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK ? 1 : 0;
}

void eHttpHelper::Global_Cleanup() { curl_global_cleanup(); }

void* eHttpHelper::Easy_Init() { return curl_easy_init(); }

void eHttpHelper::Easy_Cleanup(void* handle) {
    if (handle != nullptr) curl_easy_cleanup(static_cast<CURL*>(handle));
}

unsigned char eHttpHelper::Get(void* handle, const eString& url, eByteArray& body, long* status) {
    body.RemoveAll();
    if (status != nullptr) *status = 0;
    if (handle == nullptr || url.IsEmpty()) return 0;
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_reset(curl);
    tagSink sink{&body};
    // NOSIGNAL: workers are threads, and the resolver's alarm signal is not
    // thread-safe.
    if (curl_easy_setopt(curl, CURLOPT_URL, url.Cstr()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytes) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink) != CURLE_OK)
        return 0;
    if (curl_easy_perform(curl) != CURLE_OK) {
        body.RemoveAll();
        return 0;
    }
    long code = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        body.RemoveAll();
        return 0;
    }
    if (status != nullptr) *status = code;
    return 1;
}

eHttpHelper::EmResult eHttpHelper::Fetch(void* handle, const char* url,
                                         const eRequestSettings& settings, tagResponse& response) {
    response.Body.SetSize(0);  // keeps the capacity: no allocation per tile once warmed up
    response.Status = 0;
    response.ContentType.Empty();
    response.RetryAfter = -1;
    response.Error.Empty();
    response.Result = Failed;
    if (handle == nullptr || url == nullptr || *url == '\0') {
        response.Error = handle == nullptr ? "no HTTP handle" : "empty URL";
        return Failed;
    }
    const eRequestSettings::Impl& s = *settings.m_impl;
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_reset(curl);
    tagSink sink{&response.Body};
    CURLcode set = CURLE_OK;
    auto opt = [&](CURLoption option, auto value) {
        if (set == CURLE_OK) set = curl_easy_setopt(curl, option, value);
    };
    opt(CURLOPT_URL, url);
    opt(CURLOPT_NOSIGNAL, 1L);
    opt(CURLOPT_FOLLOWLOCATION, 1L);
    opt(CURLOPT_MAXREDIRS, kMaxRedirects);
    opt(CURLOPT_CONNECTTIMEOUT_MS, s.connectTimeoutMs);
    opt(CURLOPT_TIMEOUT_MS, s.timeoutMs);
    opt(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytes);
    opt(CURLOPT_LOW_SPEED_TIME, kLowSpeedTimeSeconds);
    opt(CURLOPT_WRITEFUNCTION, &WriteBody);
    opt(CURLOPT_WRITEDATA, &sink);
    if (!s.userAgent.empty()) opt(CURLOPT_USERAGENT, s.userAgent.c_str());
    if (s.headers.list != nullptr) opt(CURLOPT_HTTPHEADER, s.headers.list);
    if (s.cancel != nullptr) {
        opt(CURLOPT_XFERINFOFUNCTION, &AbortWhenCancelled);
        opt(CURLOPT_XFERINFODATA, static_cast<void*>(const_cast<std::atomic<bool>*>(s.cancel)));
        opt(CURLOPT_NOPROGRESS, 0L);
    }
    if (set != CURLE_OK) {
        response.Error = curl_easy_strerror(set);
        return Failed;
    }
    // Best effort: a libcurl built without HTTP/2 keeps HTTP/1.1.
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));

    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    if (code != CURLE_OK || curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        response.Body.SetSize(0);
        response.Result = code == CURLE_OK ? Failed : ResultOf(code);
        response.Error = curl_easy_strerror(code);
        return response.Result;
    }
    response.Status = status;
    char* type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
        response.ContentType = type;
    curl_off_t wait = 0;
    // libcurl reads both forms of the header (seconds or a date) and gives 0
    // when there is none or it cannot be read.
    if (curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &wait) == CURLE_OK && wait > 0)
        response.RetryAfter = wait > std::numeric_limits<long>::max()
                                  ? std::numeric_limits<long>::max()
                                  : static_cast<long>(wait);
    response.Result = Ok;
    return Ok;
}

}  // namespace TVK
