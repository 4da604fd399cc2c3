// The loopback test server on POSIX sockets.
#include "http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace tvktest {

namespace {

constexpr int kPollMs = 50;  // how soon threads notice the server stopping

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* StatusText(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 404: return "Not Found";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

}  // namespace

eHttpTestServer::eHttpTestServer(tagHandler handler) : m_handler(std::move(handler)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(m_listen, 128) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (m_listen >= 0) close(m_listen);
        m_listen = -1;
        return;
    }
    m_port = ntohs(addr.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
}

eHttpTestServer::~eHttpTestServer() {
    m_stop = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_connections) shutdown(fd, SHUT_RDWR);
        threads.swap(m_threads);
    }
    for (std::thread& t : threads) t.join();
    if (m_listen >= 0) close(m_listen);
}

void eHttpTestServer::SetHandler(tagHandler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

std::vector<tagHttpLogEntry> eHttpTestServer::Log() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

size_t eHttpTestServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log.size();
}

void eHttpTestServer::Accept() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        const int fd = accept(m_listen, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.push_back(fd);
        m_threads.emplace_back([this, fd] { Serve(fd); });
    }
}

bool eHttpTestServer::Pause(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (m_stop) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10)));
    }
    return !m_stop;
}

bool eHttpTestServer::SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void eHttpTestServer::Serve(int fd) {
    std::string buffer;
    bool open = true;
    while (open && !m_stop) {
        const size_t end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kPollMs) <= 0) continue;
            char chunk[4096];
            const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<size_t>(n));
            continue;
        }
        const std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        tagHttpRequest request;
        size_t lineEnd = head.find("\r\n");
        const std::string first = head.substr(0, lineEnd);
        const size_t a = first.find(' '), b = first.rfind(' ');
        if (a != std::string::npos && b > a) request.Target = first.substr(a + 1, b - a - 1);
        while (lineEnd != std::string::npos) {
            const size_t next = head.find("\r\n", lineEnd + 2);
            const std::string line = head.substr(lineEnd + 2, next - lineEnd - 2);
            const size_t colon = line.find(':');
            if (colon != std::string::npos) {
                const size_t value = line.find_first_not_of(' ', colon + 1);
                request.Headers[Lower(line.substr(0, colon))] =
                    value == std::string::npos ? "" : line.substr(value);
            }
            lineEnd = next;
        }
        tagHandler handler;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            handler = m_handler;
        }
        const auto when = std::chrono::steady_clock::now();
        const tagHttpReply reply = handler(request);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_log.push_back({when, request.Target,
                             reply.Action == tagHttpReply::Drop ? 0 : reply.Status, reply.Action,
                             request.Headers["user-agent"], request.Headers});
        }
        if (reply.Action == tagHttpReply::Drop) break;
        if (reply.Action == tagHttpReply::Normal && reply.DelayMs > 0 && !Pause(reply.DelayMs))
            break;
        std::string out =
            "HTTP/1.1 " + std::to_string(reply.Status) + " " + StatusText(reply.Status) + "\r\n";
        if (!reply.ContentType.empty()) out += "Content-Type: " + reply.ContentType + "\r\n";
        if (reply.Status != 204)
            out += "Content-Length: " + std::to_string(reply.Body.size()) + "\r\n";
        for (const auto& h : reply.Headers) out += h.first + ": " + h.second + "\r\n";
        out += "\r\n";
        const std::string& body = reply.Status == 204 ? std::string() : reply.Body;
        switch (reply.Action) {
            case tagHttpReply::Normal: open = SendAll(fd, out + body); break;
            case tagHttpReply::CutBody:
                SendAll(fd, out + body.substr(0, body.size() / 2));
                open = false;
                break;
            case tagHttpReply::SlowBody:
                open = SendAll(fd, out);
                for (size_t at = 0; open && at < body.size(); at += 16)
                    open = Pause(reply.DelayMs) && SendAll(fd, body.substr(at, 16));
                break;
            case tagHttpReply::Drop: break;
        }
        if (Lower(request.Headers["connection"]) == "close") open = false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), fd),
                        m_connections.end());
    close(fd);
}

std::map<std::string, std::string> QueryOf(const std::string& target) {
    std::map<std::string, std::string> query;
    const size_t q = target.find('?');
    if (q == std::string::npos) return query;
    size_t at = q + 1;
    while (at <= target.size()) {
        size_t amp = target.find('&', at);
        if (amp == std::string::npos) amp = target.size();
        const std::string pair = target.substr(at, amp - at);
        const size_t eq = pair.find('=');
        if (!pair.empty())
            query[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        at = amp + 1;
    }
    return query;
}

}  // namespace tvktest
