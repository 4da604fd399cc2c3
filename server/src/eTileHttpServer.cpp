// eTileHttpServer: the socket layer. Boost.Asio for sockets and Boost.Beast
// for parsing requests; everything a response says comes from eResponder.
//
// Threads: one Asio io_context per worker thread. The acceptor lives on the
// first worker and hands new connections to the workers in turn, so each
// connection lives on one thread from start to end and needs no lock. Each
// worker sweeps its connections four times a second and closes those past
// their deadline: a connection must deliver a complete request within
// IdleSeconds of accepting or of its last response, and take a response
// within IdleSeconds of it being started, so a slow or silent client holds
// a connection no longer than that.
//
// Stopping: the acceptor closes, idle connections close, a connection in
// the middle of a response finishes writing it (or reaches its deadline)
// and then closes; when a worker has no connection left its loop ends and
// its thread is joined.
#include "eTileHttpServer.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core/flat_static_buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include "access_log.h"
#include "platform/eFile.h"
#include "responder.h"
#include "served_cache.h"

namespace TVK {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using server::eAccessLog;
using server::eResponder;
using server::tagRequestView;
using server::tagResponse;
using server::tagServedCache;
using server::tagStaticFile;

// Room for the largest request header plus pipelined requests behind it.
constexpr size_t kReadBufferSize = 16384;
// Requests do not need bodies; a larger one is refused with 413.
constexpr uint64_t kMaxBodyBytes = 65536;
constexpr auto kSweepInterval = std::chrono::milliseconds(250);
// After an accept failure (descriptors exhausted), before trying again.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr size_t kMaxNameLength = 64;

// What a request says that the responder needs; the strings live in the
// connection and keep their capacity from request to request.
struct tagParsed {
    http::verb Method = http::verb::unknown;
    std::string MethodText;
    std::string Target;
    std::string Host;
    std::string IfNoneMatch;
    bool Http10 = false;
    bool UrlTooLong = false;

    void Clear() {
        Method = http::verb::unknown;
        MethodText.clear();
        Target.clear();
        Host.clear();
        IfNoneMatch.clear();
        Http10 = false;
        UrlTooLong = false;
    }
};

// Beast's parser, keeping only the fields the server uses. A Beast parser
// parses one message; the connection makes a new one per request (it holds
// no allocation of its own).
class RequestParser : public http::basic_parser<true> {
public:
    RequestParser(tagParsed& parsed, size_t maxUrl) : m_parsed(parsed), m_maxUrl(maxUrl) {
        m_parsed.Clear();
    }

private:
    void on_request_impl(http::verb method, std::string_view methodText, std::string_view target,
                         int version, beast::error_code& ec) override {
        m_parsed.Method = method;
        m_parsed.MethodText.assign(methodText.data(), std::min<size_t>(methodText.size(), 32));
        m_parsed.Http10 = version < 11;
        if (target.size() > m_maxUrl) {
            m_parsed.UrlTooLong = true;
            ec = http::error::bad_target;
            return;
        }
        m_parsed.Target.assign(target.data(), target.size());
    }
    void on_response_impl(int, std::string_view, int, beast::error_code&) override {}
    void on_field_impl(http::field name, std::string_view, std::string_view value,
                       beast::error_code&) override {
        if (name == http::field::host)
            m_parsed.Host.assign(value.data(), value.size());
        else if (name == http::field::if_none_match)
            m_parsed.IfNoneMatch.assign(value.data(), value.size());
    }
    void on_header_impl(beast::error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, beast::error_code&) override {}
    std::size_t on_body_impl(std::string_view body, beast::error_code&) override {
        return body.size();  // bodies are read and dropped
    }
    void on_chunk_header_impl(std::uint64_t, std::string_view, beast::error_code&) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, std::string_view body,
                                   beast::error_code&) override {
        return body.size();
    }
    void on_finish_impl(beast::error_code&) override {}

    tagParsed& m_parsed;
    size_t m_maxUrl;
};

class Connection;

// One thread's loop and the connections that live on it. Touched only from
// its own thread once running.
struct Worker {
    net::io_context Context{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> Guard;
    net::steady_timer Sweeper{Context};
    std::unordered_set<Connection*> Connections;
    bool Stopping = false;
    std::thread Thread;
};

struct Shared {
    std::unique_ptr<eResponder> Responder;
    eAccessLog Log;
    tagServeOptions Options;
    std::atomic<int> ConnectionCount{0};
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Worker& worker, Shared& shared, tcp::socket socket, bool refuse)
        : m_worker(worker), m_shared(shared), m_socket(std::move(socket)), m_bRefuse(refuse) {}
    ~Connection() { m_shared.ConnectionCount.fetch_sub(1, std::memory_order_relaxed); }

    // On the worker's thread.
    void Start() {
        if (m_worker.Stopping) {
            Close();
            return;
        }
        m_worker.Connections.insert(this);
        m_bRegistered = true;
        beast::error_code ec;
        m_socket.set_option(tcp::no_delay(true), ec);
        if (m_shared.Log.IsOpen()) {
            const tcp::endpoint peer = m_socket.remote_endpoint(ec);
            if (!ec) m_client = peer.address().to_string();
        }
        if (m_bRefuse) {
            Respond(503);
            return;
        }
        ReadRequest();
    }

    // Idle connections close at once; one that is writing closes after it.
    void Stop() {
        if (!m_bWriting) Close();
    }

    bool IsPastDeadline(Clock::time_point now) const { return now >= m_deadline; }

    void Close() {
        if (m_bRegistered) {
            m_worker.Connections.erase(this);
            m_bRegistered = false;
        }
        beast::error_code ec;
        m_socket.shutdown(tcp::socket::shutdown_both, ec);
        m_socket.close(ec);
    }

private:
    void Arm() { m_deadline = Clock::now() + std::chrono::seconds(m_shared.Options.IdleSeconds); }

    void ReadRequest() {
        Arm();
        m_parser.emplace(m_parsed, static_cast<size_t>(m_shared.Options.MaxUrlBytes));
        m_parser->header_limit(static_cast<std::uint32_t>(m_shared.Options.MaxHeaderBytes));
        m_parser->body_limit(kMaxBodyBytes);
        m_parser->eager(true);
        http::async_read(
            m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(beast::error_code ec) {
        if (!m_bRegistered) return;  // closed meanwhile
        if (ec) {
            if (ec == http::error::end_of_stream || ec == net::error::eof ||
                ec == net::error::operation_aborted || ec == net::error::connection_reset) {
                Close();
                return;
            }
            Respond(ErrorStatus(ec));
            return;
        }
        tagRequestView request;
        request.Head = m_parsed.Method == http::verb::head;
        request.MethodAllowed = m_parsed.Method == http::verb::get || request.Head;
        request.Target = m_parsed.Target;
        request.Host = m_parsed.Host;
        request.IfNoneMatch = m_parsed.IfNoneMatch;
        request.KeepAlive = m_parser->keep_alive() && !m_worker.Stopping;
        request.Http10 = m_parsed.Http10;
        try {
            m_shared.Responder->Respond(request, m_response);
        } catch (const std::exception&) {
            m_shared.Responder->RespondError(500, m_response);
        }
        Write();
    }

    // The status for a request the parser refused.
    int ErrorStatus(beast::error_code ec) const {
        if (m_parsed.UrlTooLong) return 414;
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            // No request line parsed yet: the target is what is too long.
            return m_parsed.MethodText.empty() ? 414 : 431;
        }
        if (ec == http::error::body_limit) return 413;
        return 400;
    }

    void Respond(int status) {
        m_shared.Responder->RespondError(status, m_response);
        Write();
    }

    void Write() {
        if (m_shared.Log.IsOpen()) {
            m_shared.Log.Write(m_client, m_parsed.MethodText.empty() ? "-" : m_parsed.MethodText,
                               m_parsed.Target, m_parsed.Http10, m_response.Status,
                               m_response.BodySize);
        }
        m_bWriting = true;
        Arm();
        const std::array<net::const_buffer, 2> buffers{
            net::buffer(m_response.Head), net::buffer(m_response.Body, m_response.BodySize)};
        net::async_write(
            m_socket, buffers,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(beast::error_code ec) {
        m_bWriting = false;
        if (!m_bRegistered) return;
        if (ec || m_response.Close || m_worker.Stopping) {
            Close();
            return;
        }
        ReadRequest();
    }

    Worker& m_worker;
    Shared& m_shared;
    tcp::socket m_socket;
    beast::flat_static_buffer<kReadBufferSize> m_buffer;
    std::optional<RequestParser> m_parser;
    tagParsed m_parsed;
    tagResponse m_response;
    std::string m_client;
    Clock::time_point m_deadline;
    bool m_bRefuse;
    bool m_bRegistered = false;
    bool m_bWriting = false;
};

// Files of the map page, looked for in the folder given or else in the
// package's and Debian's folders.
std::vector<tagStaticFile> LoadLeaflet(const eString& folder) {
    std::vector<std::string> candidates;
    if (!folder.IsEmpty()) {
        candidates.push_back(folder.Std());
    } else {
#ifdef TVK_LEAFLET_INSTALL_DIR
        candidates.push_back(TVK_LEAFLET_INSTALL_DIR);
#endif
        candidates.push_back("/usr/share/javascript/leaflet");
    }
    struct {
        const char* Name;
        const char* Mime;
        const char* Files[2];  // preferred first
        bool Required;
    } const wanted[] = {
        {"leaflet.js", "text/javascript; charset=utf-8", {"leaflet.min.js", "leaflet.js"}, true},
        {"leaflet.css", "text/css; charset=utf-8", {"leaflet.css", nullptr}, true},
        {"images/layers.png", "image/png", {"images/layers.png", nullptr}, false},
        {"images/layers-2x.png", "image/png", {"images/layers-2x.png", nullptr}, false},
        {"images/marker-icon.png", "image/png", {"images/marker-icon.png", nullptr}, false},
        {"images/marker-icon-2x.png", "image/png", {"images/marker-icon-2x.png", nullptr}, false},
        {"images/marker-shadow.png", "image/png", {"images/marker-shadow.png", nullptr}, false},
    };
    for (const std::string& dir : candidates) {
        std::vector<tagStaticFile> files;
        bool complete = true;
        for (const auto& w : wanted) {
            eByteArray bytes;
            bool found = false;
            for (const char* name : w.Files) {
                if (name == nullptr) continue;
                eFileStream in;
                if (in.Open(eFile::GetAbsolutePath(dir, name), eFileStream::Read) &&
                    in.LoadByteArray(bytes)) {
                    found = true;
                    break;
                }
            }
            if (!found) {
                complete = complete && !w.Required;
                continue;
            }
            files.push_back({w.Name, w.Mime,
                             std::string(reinterpret_cast<const char*>(bytes.GetData()),
                                         static_cast<size_t>(bytes.GetSize()))});
        }
        if (complete) return files;
    }
    return {};
}

}  // namespace

struct eTileHttpServer::Impl {
    std::vector<tagServedCache> Caches;
    Shared State;
    std::vector<std::unique_ptr<Worker>> Workers;
    std::optional<tcp::acceptor> Acceptor;
    std::optional<net::steady_timer> AcceptRetry;
    std::optional<net::steady_timer> LogFlusher;
    size_t NextWorker = 0;
    int Port = 0;
    eString LastError;
    bool Started = false;

    std::mutex StopMutex;
    bool Stopped = false;
    net::io_context* SignalContext = nullptr;  // guarded by StopMutex

    void Accept() {
        Worker& target = *Workers[NextWorker];
        NextWorker = (NextWorker + 1) % Workers.size();
        Acceptor->async_accept(
            target.Context, [this, &target](beast::error_code ec, tcp::socket socket) {
                if (ec == net::error::operation_aborted || !Acceptor->is_open()) return;
                if (ec) {
                    // Out of descriptors, say: try again shortly instead of spinning.
                    AcceptRetry->expires_after(kAcceptRetryDelay);
                    AcceptRetry->async_wait([this](beast::error_code wait) {
                        if (!wait && Acceptor->is_open()) Accept();
                    });
                    return;
                }
                const int count = State.ConnectionCount.fetch_add(1, std::memory_order_relaxed);
                auto connection = std::make_shared<Connection>(
                    target, State, std::move(socket), count >= State.Options.MaxConnections);
                net::post(target.Context, [connection] { connection->Start(); });
                Accept();
            });
    }

    void Sweep(Worker& worker) {
        worker.Sweeper.expires_after(kSweepInterval);
        worker.Sweeper.async_wait([this, &worker](beast::error_code ec) {
            if (ec) return;
            const Clock::time_point now = Clock::now();
            std::vector<Connection*> expired;
            for (Connection* c : worker.Connections)
                if (c->IsPastDeadline(now)) expired.push_back(c);
            for (Connection* c : expired) c->Close();
            if (!worker.Stopping || !worker.Connections.empty()) Sweep(worker);
        });
    }

    void FlushLog() {
        LogFlusher->expires_after(std::chrono::seconds(1));
        LogFlusher->async_wait([this](beast::error_code ec) {
            if (ec) return;
            State.Log.Flush();
            FlushLog();
        });
    }
};

eTileHttpServer::eTileHttpServer() : m_pImpl(std::make_unique<Impl>()) {}

eTileHttpServer::~eTileHttpServer() { Stop(); }

bool eTileHttpServer::IsValidName(const eString& name) {
    const std::string& s = name.Std();
    if (s.empty() || s.size() > kMaxNameLength) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
    }
    return true;
}

eString eTileHttpServer::NameFromFolder(const eString& folder) {
    std::string name;
    for (const char c : folder.Std()) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (name.empty() && !alnum) continue;
        name += alnum || c == '.' || c == '_' || c == '-' ? c : '-';
    }
    if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    if (name.empty()) name = "cache";
    return eString(std::move(name));
}

unsigned char eTileHttpServer::AddCache(const eString& name, eTileStorage* storage) {
    Impl& d = *m_pImpl;
    if (d.Started) {
        d.LastError = "caches are added before the server starts";
        return 0;
    }
    if (storage == nullptr || !IsValidName(name)) {
        d.LastError = "\"" + name.Std() +
                      "\" is not a usable name (1 to 64 letters, digits, '.', '_' or '-', "
                      "starting with a letter or digit)";
        return 0;
    }
    for (const tagServedCache& c : d.Caches) {
        if (c.Name == name.Std()) {
            d.LastError = "two caches are named \"" + name.Std() + "\"";
            return 0;
        }
    }
    tagServedCache cache;
    std::string error;
    if (!server::DescribeCache(name.Std(), *storage, cache, error)) {
        d.LastError = name.Std() + ": " + error;
        return 0;
    }
    d.Caches.push_back(std::move(cache));
    return 1;
}

unsigned char eTileHttpServer::Start(const tagServeOptions& options) {
    Impl& d = *m_pImpl;
    if (d.Started) {
        d.LastError = "already started";
        return 0;
    }
    tagServeOptions opt = options;
    if (opt.Threads <= 0)
        opt.Threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (opt.IdleSeconds <= 0) opt.IdleSeconds = 1;
    if (opt.MaxConnections <= 0) opt.MaxConnections = 1;
    if (opt.MaxHeaderBytes <= 0 || opt.MaxHeaderBytes > static_cast<int>(kReadBufferSize) / 2)
        opt.MaxHeaderBytes = static_cast<int>(kReadBufferSize) / 2;
    if (opt.MaxUrlBytes <= 0 || opt.MaxUrlBytes > opt.MaxHeaderBytes)
        opt.MaxUrlBytes = opt.MaxHeaderBytes;

    if (!opt.AccessLogPath.IsEmpty() && !d.State.Log.Open(opt.AccessLogPath.Std())) {
        d.LastError = opt.AccessLogPath.Std() + ": the access log cannot be opened";
        return 0;
    }
    for (int i = 0; i < opt.Threads; ++i) d.Workers.push_back(std::make_unique<Worker>());
    Worker& first = *d.Workers.front();

    // The address may be a name ("localhost"): the first address it resolves to.
    beast::error_code ec;
    tcp::resolver resolver(first.Context);
    const auto endpoints =
        resolver.resolve(opt.BindAddress.Std(), std::to_string(opt.Port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || endpoints.empty()) {
        d.LastError = opt.BindAddress.Std() + ": not an address to listen on";
        d.Workers.clear();
        return 0;
    }
    const tcp::endpoint endpoint = endpoints.begin()->endpoint();
    d.Acceptor.emplace(first.Context);
    d.Acceptor->open(endpoint.protocol(), ec);
    if (!ec) d.Acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) d.Acceptor->bind(endpoint, ec);
    if (!ec) d.Acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        d.LastError = opt.BindAddress.Std() + " port " + std::to_string(opt.Port) +
                      ": cannot listen (" + ec.message() + ")";
        d.Acceptor.reset();
        d.Workers.clear();
        return 0;
    }
    d.Port = d.Acceptor->local_endpoint(ec).port();

    const net::ip::address address = endpoint.address();
    std::string host = address.to_string();
    if (address.is_unspecified()) host = address.is_v6() ? "::1" : "127.0.0.1";
    if (address.is_v6()) host = "[" + host + "]";
    d.State.Options = opt;
    d.State.Responder =
        std::make_unique<eResponder>(d.Caches, opt, LoadLeaflet(opt.LeafletDirectory),
                                     "http://" + host + ":" + std::to_string(d.Port));

    d.AcceptRetry.emplace(first.Context);
    d.LogFlusher.emplace(first.Context);
    d.Accept();
    if (d.State.Log.IsOpen()) d.FlushLog();
    for (auto& worker : d.Workers) {
        worker->Guard.emplace(worker->Context.get_executor());
        d.Sweep(*worker);
        Worker* w = worker.get();
        worker->Thread = std::thread([w] { w->Context.run(); });
    }
    d.Started = true;
    return 1;
}

int eTileHttpServer::GetPort() const { return m_pImpl->Port; }

const eString& eTileHttpServer::GetLastError() const { return m_pImpl->LastError; }

void eTileHttpServer::Stop() {
    Impl& d = *m_pImpl;
    {
        std::lock_guard<std::mutex> lock(d.StopMutex);
        if (d.Stopped) return;
        d.Stopped = true;
        if (d.SignalContext != nullptr) d.SignalContext->stop();
    }
    if (!d.Started) return;
    net::post(d.Workers.front()->Context, [&d] {
        beast::error_code ec;
        d.Acceptor->close(ec);
        d.AcceptRetry->cancel();
        d.LogFlusher->cancel();
    });
    for (auto& worker : d.Workers) {
        Worker* w = worker.get();
        net::post(w->Context, [w] {
            w->Stopping = true;
            const std::vector<Connection*> open(w->Connections.begin(), w->Connections.end());
            for (Connection* c : open) c->Stop();
            if (w->Connections.empty()) w->Sweeper.cancel();
        });
        w->Guard.reset();
    }
    for (auto& worker : d.Workers)
        if (worker->Thread.joinable()) worker->Thread.join();
    d.State.Log.Flush();
}

void eTileHttpServer::WaitForStopSignal() {
    Impl& d = *m_pImpl;
    net::io_context context(1);
    net::signal_set signals(context, SIGINT, SIGTERM);
    signals.async_wait([](beast::error_code, int) {});
    {
        std::lock_guard<std::mutex> lock(d.StopMutex);
        if (!d.Stopped) d.SignalContext = &context;
    }
    if (d.SignalContext != nullptr) context.run();
    {
        std::lock_guard<std::mutex> lock(d.StopMutex);
        d.SignalContext = nullptr;
    }
    Stop();
}

}  // namespace TVK
