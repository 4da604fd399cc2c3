// HTTP on libcurl. Options are reset before each transfer so one request's
// settings never leak into the next; the connection cache survives the reset.
#include "platform/eHttpHelper.h"

#include <curl/curl.h>

#include <limits>

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

}  // namespace

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

}  // namespace TVK
