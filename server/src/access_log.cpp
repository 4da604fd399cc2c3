// The access log.
#include "access_log.h"

#include "http_date.h"
#include "text_out.h"

namespace TVK {
namespace server {

namespace {

void AppendEscaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f || c == '"' || c == '\\') {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
}

}  // namespace

eAccessLog::~eAccessLog() {
    if (m_file == nullptr) return;
    std::fflush(m_file);
    if (m_bOwned) std::fclose(m_file);
}

bool eAccessLog::Open(const std::string& path) {
    if (path == "-") {
        m_file = stdout;
        m_bOwned = false;
        return true;
    }
    m_file = std::fopen(path.c_str(), "a");
    m_bOwned = m_file != nullptr;
    return m_file != nullptr;
}

void eAccessLog::FormatLine(std::string& line, long long unixSeconds, std::string_view client,
                            std::string_view method, std::string_view target, bool http10,
                            int status, size_t bytes) {
    char date[kLogDateLength];
    FormatLogDate(unixSeconds, date);
    line.clear();
    AppendEscaped(line, client.empty() ? std::string_view("-") : client);
    line += " - - ";
    line.append(date, kLogDateLength);
    line += " \"";
    AppendEscaped(line, method);
    line += ' ';
    AppendEscaped(line, target);
    line += http10 ? " HTTP/1.0\" " : " HTTP/1.1\" ";
    AppendInt(line, status);
    line += ' ';
    AppendInt(line, static_cast<long long>(bytes));
}

void eAccessLog::Write(std::string_view client, std::string_view method, std::string_view target,
                       bool http10, int status, size_t bytes) {
    if (m_file == nullptr) return;
    thread_local std::string line;
    FormatLine(line, UnixNow(), client, method, target, http10, status, bytes);
    line += '\n';
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fwrite(line.data(), 1, line.size(), m_file);
}

void eAccessLog::Flush() {
    if (m_file == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fflush(m_file);
}

}  // namespace server
}  // namespace TVK
