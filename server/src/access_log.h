// eAccessLog: one line per response in the common log format,
//   127.0.0.1 - - [06/Nov/2024:08:49:37 +0000] "GET /demo/3/2/5.png HTTP/1.1" 200 20000
// to a file (appended) or standard output. Lines are whole even when several
// threads write at once; the buffer is flushed by Flush (the server calls it
// every second and when it stops). Bytes of the request target outside
// printable ASCII, and '"' and '\', are written as \xHH, so a hostile target
// cannot forge lines or fields.
#ifndef TVK_SERVER_ACCESS_LOG_H
#define TVK_SERVER_ACCESS_LOG_H

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace TVK {
namespace server {

class eAccessLog {
public:
    eAccessLog() = default;
    ~eAccessLog();
    eAccessLog(const eAccessLog&) = delete;
    eAccessLog& operator=(const eAccessLog&) = delete;

    // "-" is standard output; false when the file cannot be opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_file != nullptr; }
    void Write(std::string_view client, std::string_view method, std::string_view target,
               bool http10, int status, size_t bytes);
    void Flush();

    // The line Write would write, without its newline (for tests).
    static void FormatLine(std::string& line, long long unixSeconds, std::string_view client,
                           std::string_view method, std::string_view target, bool http10,
                           int status, size_t bytes);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;  // guarded by m_mutex once the server runs
    bool m_bOwned = false;
};

}  // namespace server
}  // namespace TVK

#endif
