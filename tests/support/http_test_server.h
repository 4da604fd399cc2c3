// A small HTTP/1.1 server on a free loopback port for the tests: keep-alive
// connections, one thread each, answers chosen per request by the test
// (including misbehaviour: a dropped connection, a body cut short, a body
// sent slowly), and a log of every request with the time it arrived.
// Destroying the server closes every connection and joins its threads.
#ifndef TVK_TESTS_SUPPORT_HTTP_TEST_SERVER_H
#define TVK_TESTS_SUPPORT_HTTP_TEST_SERVER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvktest {

struct tagHttpRequest {
    std::string Target;                          // path and query, as sent
    std::map<std::string, std::string> Headers;  // names in lower case
};

struct tagHttpReply {
    enum EmAction {
        Normal,    // status, headers, body
        Drop,      // close the connection without a word
        CutBody,   // announce the whole body, send half, close
        SlowBody,  // the body in small pieces, DelayMs apart
    };
    int Status = 200;
    std::string ContentType = "image/png";
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;  // extra ones
    EmAction Action = Normal;
    int DelayMs = 0;  // before answering (Normal) or between pieces (SlowBody)
};

struct tagHttpLogEntry {
    std::chrono::steady_clock::time_point When;  // request read
    std::string Target;
    int Status = 0;  // 0 for Drop
    tagHttpReply::EmAction Action = tagHttpReply::Normal;
    std::string UserAgent;
    std::map<std::string, std::string> Headers;
};

class eHttpTestServer {
public:
    using tagHandler = std::function<tagHttpReply(const tagHttpRequest&)>;

    // Called from the connection threads, several at once.
    explicit eHttpTestServer(tagHandler handler);
    ~eHttpTestServer();
    eHttpTestServer(const eHttpTestServer&) = delete;
    eHttpTestServer& operator=(const eHttpTestServer&) = delete;

    int Port() const { return m_port; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    void SetHandler(tagHandler handler);
    std::vector<tagHttpLogEntry> Log() const;
    size_t RequestCount() const;

private:
    void Accept();
    void Serve(int fd);
    bool SendAll(int fd, const std::string& data);
    bool Pause(int ms);  // false when the server is stopping

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;  // guards everything below
    tagHandler m_handler;
    std::vector<tagHttpLogEntry> m_log;
    std::vector<std::thread> m_threads;
    std::vector<int> m_connections;
    std::thread m_acceptor;
};

// Parses the query of a target into a map (names as sent, no decoding).
std::map<std::string, std::string> QueryOf(const std::string& target);

}  // namespace tvktest

#endif
