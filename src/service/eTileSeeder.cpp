// The seeder's run: one dispatcher (the thread that called Run) hands tiles
// to request tasks on the service's workers and takes their outcomes back.
//
// Scheduling: the dispatcher keeps at most a fixed number of tasks out (four
// per worker, so that no worker waits for it, and it is woken once per few
// outcomes rather than once per tile; one per worker under a rate limit, so
// that a task starts when it is handed out and the rate holds at the
// server). Tasks are made once and reused. A tile to try again goes into
// a queue ordered by the time it is due, never into a sleeping worker: the
// workers only ever fetch and save, and the dispatcher sleeps until the next
// outcome, the next due retry, the end of a Retry-After pause or the next
// slot of the rate limit, whichever comes first. Only the dispatcher reads
// and writes the counts; tasks hand their outcome over under m_mutex.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "eTileSeeder.h"
#include "eTileServerManager.h"
#include "platform/eHttpHelper.h"
#include "seed_area.h"
#include "seed_source.h"

#ifndef TVK_VERSION
#define TVK_VERSION "0"
#endif

namespace TVK {

namespace seedrun {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressPeriod = std::chrono::milliseconds(200);
// A task the queue refused is offered again after this pause.
constexpr auto kRefusedPause = std::chrono::milliseconds(10);
// Tiles skipped in one go before the dispatcher looks at outcomes again.
constexpr int kSkipBatch = 4096;
constexpr int kMaxConcurrency = 256;

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// ---- what a good tile looks like ----

enum class EmImage { PNG, JPEG, PNGOrJPEG, GIF, TIFF, BMP, Any };

EmImage ImageOf(const eTileStorage& storage) {
    if (storage.GetArcGISTileFormat().CompareNoCase("MIXED") == 0) return EmImage::PNGOrJPEG;
    switch (storage.GetTileType()) {
        case eFileType::PNG: return EmImage::PNG;
        case eFileType::JPG: return EmImage::JPEG;
        case eFileType::GIF: return EmImage::GIF;
        case eFileType::TIF: return EmImage::TIFF;
        case eFileType::BMP: return EmImage::BMP;
        default: return EmImage::Any;
    }
}

const char* ImageName(EmImage image) {
    switch (image) {
        case EmImage::PNG: return "PNG";
        case EmImage::JPEG: return "JPEG";
        case EmImage::PNGOrJPEG: return "PNG or JPEG";
        case EmImage::GIF: return "GIF";
        case EmImage::TIFF: return "TIFF";
        case EmImage::BMP: return "BMP";
        case EmImage::Any: return "tile";
    }
    return "tile";
}

bool Starts(const unsigned char* d, size_t n, const char* magic, size_t m) {
    return n >= m && std::memcmp(d, magic, m) == 0;
}

EmImage Sniff(const unsigned char* d, size_t n) {
    if (Starts(d, n, "\x89PNG\r\n\x1a\n", 8)) return EmImage::PNG;
    if (Starts(d, n, "\xff\xd8\xff", 3)) return EmImage::JPEG;
    if (Starts(d, n, "GIF87a", 6) || Starts(d, n, "GIF89a", 6)) return EmImage::GIF;
    if (Starts(d, n, "II*\0", 4) || Starts(d, n, "MM\0*", 4)) return EmImage::TIFF;
    if (Starts(d, n, "BM", 2)) return EmImage::BMP;
    return EmImage::Any;
}

// A body cut short still starts right; the end of the file tells.
bool Whole(EmImage image, const unsigned char* d, size_t n) {
    switch (image) {
        case EmImage::PNG:  // the IEND chunk: length 0, type, CRC
            return n >= 8 + 12 && std::memcmp(d + n - 12, "\0\0\0\0IEND\xae\x42\x60\x82", 12) == 0;
        case EmImage::JPEG:  // EOI, allowing for padding some encoders add after it
            for (size_t i = n; i >= 2 && i + 32 >= n; --i)
                if (d[i - 2] == 0xff && d[i - 1] == 0xd9) return true;
            return false;
        case EmImage::GIF: return n > 13 && d[n - 1] == 0x3b;  // the trailer
        default: return true;
    }
}

bool LooksLikeText(const eString& contentType) {
    const std::string& t = contentType.Std();
    return t.compare(0, 5, "text/") == 0 || t.find("xml") != std::string::npos ||
           t.find("json") != std::string::npos || t.find("html") != std::string::npos;
}

enum class EmVerdict { Good, TryAgain, Wrong };

// Whether a 200's body is a whole tile of the cache's kind; why not in reason.
EmVerdict CheckBody(EmImage want, const eHttpHelper::tagResponse& response, std::string& reason) {
    const unsigned char* d = response.Body.GetData();
    const size_t n = static_cast<size_t>(response.Body.GetSize());
    if (n == 0) {
        reason = "empty body";
        return EmVerdict::TryAgain;
    }
    const EmImage got = Sniff(d, n);
    const bool fits = want == EmImage::Any         ? !LooksLikeText(response.ContentType)
                      : want == EmImage::PNGOrJPEG ? got == EmImage::PNG || got == EmImage::JPEG
                                                   : got == want;
    if (fits) {
        if (Whole(got, d, n)) return EmVerdict::Good;
        reason = std::string("cut ") + ImageName(got) + " image";
        return EmVerdict::TryAgain;
    }
    if (got != EmImage::Any) {
        // A real image of another kind will not change by asking again.
        reason = std::string(ImageName(got)) + " image where " + ImageName(want) + " is expected";
        return EmVerdict::Wrong;
    }
    // Error pages of proxies and overloaded servers come and go.
    reason = std::string("not a ") + ImageName(want) + " image (" +
             (response.ContentType.IsEmpty() ? "no content type" : response.ContentType.Std()) +
             ")";
    return EmVerdict::TryAgain;
}

// ---- the description of a WMTS or ArcGIS source, fetched on a worker ----

class eFetchTask : public eRequestTask {
public:
    eFetchTask(const eString& url, const eHttpHelper::eRequestSettings& settings)
        : eRequestTask(url), m_settings(settings) {}
    void Run(eTaskWorkThread* worker) override {
        eHttpHelper::Fetch(worker->GetUserData(), m_strRequest.Cstr(), m_settings, Response);
    }
    void OnRemoved() override { Response.Error = "the request service refused the request"; }
    void Release() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
        m_changed.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done; });
    }
    eHttpHelper::tagResponse Response;

private:
    const eHttpHelper::eRequestSettings& m_settings;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
};

class eSeedTask;

// ---- the seeder's state ----

struct tagSeederState {
    explicit tagSeederState(eTileStorage& s) : storage(s) {}

    eTileStorage& storage;
    eTileSeeder::tagOptions options;
    seed::tagSource source;
    bool haveSource = false;
    eString sourceText;
    seed::tagArea area;
    int first = 0, last = INT32_MAX;
    eTileSeeder::tagCounts counts;
    eString error;
    std::atomic<bool> cancel{false};
    std::unique_ptr<eTileServerManager> ownService;

    // Outcomes handed back by tasks; the dispatcher sleeps on m_changed.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<eSeedTask*> m_done;  // guarded by m_mutex
    // Outcomes to gather before the dispatcher is woken: it sets this
    // before it sleeps, so that it wakes while the workers still have
    // queued tasks, without a wake-up per tile. Guarded by m_mutex.
    size_t m_wakeAt = 1;

    eTileServerManager& Service() {
        if (options.Service != nullptr) return *options.Service;
        if (!ownService) {
            ownService = std::make_unique<eTileServerManager>();
            ownService->SetWorkThreadSize(options.Concurrency);
            // Room for every task the dispatcher keeps out.
            ownService->GetTaskLoop().SetTaskQueueSize(std::max(200, 4 * options.Concurrency));
        }
        return *ownService;
    }
    void Settings(eHttpHelper::eRequestSettings& settings) const {
        settings.SetUserAgent(options.UserAgent.IsEmpty() ? eString("tvk/" TVK_VERSION)
                                                          : options.UserAgent);
        for (const eString& header : options.Headers) settings.AddHeader(header);
        settings.SetTimeout(static_cast<long>(options.Timeout * 1000.0));
        settings.SetCancelFlag(&cancel);
    }
    int LastLevel() const {
        const int count = static_cast<int>(storage.GetTileCoordSys().GetLevelCaptions().size());
        return std::min(last, count - 1);
    }
    void Complete(eSeedTask* task) {
        // Notified under the mutex: once the dispatcher has the last outcome
        // the seeder may be destroyed, while a worker of a service the
        // caller owns lives on; the unlock is then its last touch.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.push_back(task);
        if (m_done.size() >= m_wakeAt) m_changed.notify_one();
    }
};

enum class EmOutcome { Stored, Empty, Skipped, TryAgain, Failed, Cancelled, Refused };

// One tile's request, reused from tile to tile.
class eSeedTask : public eRequestTask {
public:
    eSeedTask(tagSeederState& seeder, const eHttpHelper::eRequestSettings& settings, EmImage image)
        : m_seeder(seeder), m_settings(settings), m_image(image) {}

    void Run(eTaskWorkThread* worker) override {
        Reason.clear();
        if (m_seeder.cancel.load(std::memory_order_relaxed)) {
            Outcome = EmOutcome::Cancelled;
            return;
        }
        Fetch(worker->GetUserData());
    }
    void OnRemoved() override { Outcome = EmOutcome::Refused; }
    void Release() override { m_seeder.Complete(this); }

    eTileSeeder::tagTile Tile;
    int Failures = 0;  // failed attempts so far
    std::string Url;
    EmOutcome Outcome = EmOutcome::Failed;
    long Status = 0, RetryAfter = -1;
    std::string Reason;

private:
    void Fetch(void* handle) {
        Status = 0;
        RetryAfter = -1;
        switch (eHttpHelper::Fetch(handle, Url.c_str(), m_settings, m_response)) {
            case eHttpHelper::Ok: break;
            case eHttpHelper::Cancelled: Outcome = EmOutcome::Cancelled; return;
            case eHttpHelper::Timeout: Fail(EmOutcome::TryAgain, "timed out"); return;
            case eHttpHelper::Dropped: Fail(EmOutcome::TryAgain, "connection dropped"); return;
            case eHttpHelper::ConnectFailed:
                Fail(EmOutcome::TryAgain, "cannot connect (" + m_response.Error.Std() + ")");
                return;
            case eHttpHelper::Failed:
                Fail(EmOutcome::Failed, "request failed (" + m_response.Error.Std() + ")");
                return;
        }
        Status = m_response.Status;
        RetryAfter = m_response.RetryAfter;
        if (Status == 204 || Status == 404) {
            Outcome = EmOutcome::Empty;
            return;
        }
        if (Status != 200 && Status != 203) {
            const bool again = Status == 408 || Status == 429 || (Status >= 500 && Status < 600);
            Fail(again ? EmOutcome::TryAgain : EmOutcome::Failed, "HTTP " + std::to_string(Status));
            return;
        }
        switch (CheckBody(m_image, m_response, Reason)) {
            case EmVerdict::Good: Save(); return;
            case EmVerdict::TryAgain: Outcome = EmOutcome::TryAgain; return;
            case EmVerdict::Wrong: Outcome = EmOutcome::Failed; return;
        }
    }
    void Fail(EmOutcome outcome, std::string reason) {
        Outcome = outcome;
        Reason = std::move(reason);
    }
    void Save() {
        eTileStorage& storage = m_seeder.storage;
        const bool overwrite = m_seeder.options.Overwrite;
        // Bundles never overwrite a record: the old tile is unlinked first.
        if (overwrite && storage.GetCacheFormat() != eTileStorage::Original &&
            storage.IsTileExist(Tile.Level, Tile.Row, Tile.Col) &&
            !storage.RemoveTile(Tile.Level, Tile.Row, Tile.Col)) {
            Fail(EmOutcome::Failed, "cannot replace the stored tile");
            return;
        }
        if (storage.SaveImageData(Tile.Level, Tile.Row, Tile.Col, m_response.Body.GetData(),
                                  static_cast<unsigned int>(m_response.Body.GetSize()))) {
            Outcome = EmOutcome::Stored;
            Bytes = m_response.Body.GetSize();
        } else if (!overwrite && storage.IsTileExist(Tile.Level, Tile.Row, Tile.Col)) {
            Outcome = EmOutcome::Skipped;  // another writer stored it meanwhile
        } else {
            Fail(EmOutcome::Failed, "cannot store the tile");
        }
    }

    tagSeederState& m_seeder;
    const eHttpHelper::eRequestSettings& m_settings;
    const EmImage m_image;
    eHttpHelper::tagResponse m_response;  // its body keeps its capacity between tiles

public:
    int64_t Bytes = 0;
};

// The dispatcher of one Run.
class eSeedRun {
public:
    eSeedRun(tagSeederState& m, const eTileSeeder::tagProgressFn& progress,
             const eTileSeeder::tagFailureFn& failure)
        : m(m), m_progress(progress), m_failure(failure), m_rng(std::random_device{}()) {}

    void Go() {
        m.Settings(m_settings);
        eTileServerManager& service = m.Service();
        const int concurrency = m.options.Concurrency;
        const int out = m.options.Rate > 0.0 ? concurrency : 4 * concurrency;
        const EmImage image = ImageOf(m.storage);
        for (int i = 0; i < out; ++i) {
            m_tasks.push_back(std::make_unique<eSeedTask>(m, m_settings, image));
            m_free.push_back(m_tasks.back().get());
        }
        m_level = m.first - 1;
        const Clock::time_point start = Clock::now();
        Clock::time_point nextReport = start + kProgressPeriod;
        Clock::time_point gate = start;  // no request before (Retry-After)
        Clock::time_point slot = start;  // the rate limit's next slot
        const Clock::duration spacing =
            m.options.Rate > 0.0 ? Seconds(1.0 / m.options.Rate) : Clock::duration::zero();
        int inFlight = 0;
        bool exhausted = false;
        std::vector<eSeedTask*> done;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m.m_mutex);
                done.swap(m.m_done);
            }
            Clock::time_point now = Clock::now();
            for (eSeedTask* task : done) {
                --inFlight;
                Take(*task, now, gate);
                m_free.push_back(task);
            }
            done.clear();
            const bool cancelled = m.cancel.load();

            // Hand out tiles: retries that are due first, then new ones.
            int skipped = 0;
            while (!cancelled && !m_free.empty() && now >= gate && skipped < kSkipBatch) {
                if (spacing != Clock::duration::zero() && now < slot) break;
                eTileSeeder::tagTile tile;
                int failures = 0;
                if (!m_due.empty() && m_due.top().When <= now) {
                    tile = m_due.top().Tile;
                    failures = m_due.top().Failures;
                    if (!m_due.top().Refused) ++m.counts.Retries;
                    m_due.pop();
                } else if (exhausted || !NextTile(tile)) {
                    exhausted = true;
                    break;
                } else if (!m.options.Overwrite &&
                           m.storage.IsTileExist(tile.Level, tile.Row, tile.Col)) {
                    ++m.counts.Skipped;
                    ++skipped;
                    continue;
                }
                eSeedTask* task = m_free.back();
                task->Url.clear();
                if (!m.source.AppendUrl(tile.Level, tile.Row, tile.Col, task->Url)) {
                    ++m.counts.Empty;  // outside the service's extent
                    ++skipped;
                    continue;
                }
                m_free.pop_back();
                task->Tile = tile;
                task->Failures = failures;
                task->Bytes = 0;
                ++inFlight;
                ++m.counts.Requests;
                if (spacing != Clock::duration::zero()) slot = std::max(slot, now) + spacing;
                // Outside m_mutex: a refused task reports back at once.
                service.Request(task, 0);
            }

            now = Clock::now();
            if (now >= nextReport) {
                Report(start, now, gate);
                nextReport = now + kProgressPeriod;
            }
            if (inFlight == 0 && (cancelled || (exhausted && m_due.empty()))) break;

            // Sleep until something can happen.
            Clock::time_point wake = nextReport;
            if (!cancelled && !m_free.empty()) {
                const Clock::time_point earliest = std::max(gate, slot);  // no request before
                if (!m_due.empty()) wake = std::min(wake, std::max(m_due.top().When, earliest));
                if (!exhausted) wake = std::min(wake, earliest);
            }
            // Wake when half the tasks waiting in the queue have started,
            // or at once when none wait.
            const size_t wakeAt = static_cast<size_t>(std::max(1, (inFlight - concurrency) / 2));
            std::unique_lock<std::mutex> lock(m.m_mutex);
            m.m_wakeAt = wakeAt;
            if (m.m_done.size() < wakeAt && (cancelled || !m.cancel.load()))
                m.m_changed.wait_until(lock, wake, [&] {
                    return m.m_done.size() >= wakeAt || (!cancelled && m.cancel.load());
                });
            m.m_wakeAt = 1;
        }
        m.counts.Cancelled = m.cancel.load();
        const Clock::time_point end = Clock::now();
        Report(start, end, end);
    }

private:
    struct tagDue {
        Clock::time_point When;
        eTileSeeder::tagTile Tile;
        int Failures;
        bool Refused;  // handed back unrun: not a retry
        bool operator>(const tagDue& other) const { return When > other.When; }
    };

    // The next tile of the area, level by level.
    bool NextTile(eTileSeeder::tagTile& tile) {
        for (;;) {
            if (m_run < m_columns.size()) {
                if (m_col <= m_columns[m_run].Last) {
                    tile.Level = m_level;
                    tile.Row = m_row;
                    tile.Col = m_col++;
                    return true;
                }
                if (++m_run < m_columns.size()) m_col = m_columns[m_run].First;
                continue;
            }
            if (m_scan && m_scan->Next(m_row, m_columns)) {
                m_run = 0;
                m_col = m_columns[0].First;
                continue;
            }
            if (++m_level > m.LastLevel()) return false;
            m_scan = std::make_unique<seed::eRowScan>(m.storage.GetTileCoordSys(), m.area, m_level);
            m_columns.clear();
        }
    }

    void Take(eSeedTask& task, Clock::time_point now, Clock::time_point& gate) {
        switch (task.Outcome) {
            case EmOutcome::Stored:
                ++m.counts.Stored;
                m.counts.Bytes += task.Bytes;
                return;
            case EmOutcome::Empty: ++m.counts.Empty; return;
            case EmOutcome::Skipped: ++m.counts.Skipped; return;
            case EmOutcome::Cancelled: return;  // left for the next run
            case EmOutcome::Refused:
                --m.counts.Requests;
                if (!m.cancel.load())
                    m_due.push({now + kRefusedPause, task.Tile, task.Failures, true});
                return;
            case EmOutcome::Failed: Failed(task); return;
            case EmOutcome::TryAgain: break;
        }
        if (++task.Failures > m.options.Retries) {
            Failed(task);
            return;
        }
        // The server's own wait, up to the longest back-off; otherwise
        // exponential back-off with jitter, so that many failed tiles do not
        // come back all at once.
        const bool asked = (task.Status == 429 || task.Status == 503) && task.RetryAfter >= 0;
        double delay = 0.0;
        if (asked) {
            delay = std::min(static_cast<double>(task.RetryAfter), m.options.MaxRetryDelay);
        } else {
            delay = std::min(m.options.MaxRetryDelay,
                             m.options.RetryDelay * std::ldexp(1.0, task.Failures - 1));
            delay *= std::uniform_real_distribution<double>(0.5, 1.0)(m_rng);
        }
        const Clock::time_point due = now + Seconds(delay);
        m_due.push({due, task.Tile, task.Failures, false});
        // Too many requests, or a server that says when to come back: no
        // request at all until then.
        if (asked || task.Status == 429) gate = std::max(gate, due);
    }

    void Failed(const eSeedTask& task) {
        ++m.counts.Failed;
        if (m_failure) m_failure(task.Tile, eString(task.Reason));
    }

    void Report(Clock::time_point start, Clock::time_point now, Clock::time_point gate) {
        m.counts.Seconds = std::chrono::duration<double>(now - start).count();
        m.counts.Waiting = gate > now ? std::chrono::duration<double>(gate - now).count() : 0.0;
        if (m_progress && !m_progress(m.counts)) m.cancel.store(true);
    }

    tagSeederState& m;
    const eTileSeeder::tagProgressFn& m_progress;
    const eTileSeeder::tagFailureFn& m_failure;
    eHttpHelper::eRequestSettings m_settings;
    std::vector<std::unique_ptr<eSeedTask>> m_tasks;
    std::vector<eSeedTask*> m_free;
    std::priority_queue<tagDue, std::vector<tagDue>, std::greater<tagDue>> m_due;
    std::mt19937 m_rng;
    // Where NextTile is.
    int m_level = 0, m_row = 0, m_col = 0;
    size_t m_run = 0;
    std::vector<seed::tagColumns> m_columns;
    std::unique_ptr<seed::eRowScan> m_scan;
};

}  // namespace seedrun

using namespace seedrun;

struct eTileSeeder::Impl : seedrun::tagSeederState {
    using tagSeederState::tagSeederState;
};

// ---- eTileSeeder ----

eTileSeeder::eTileSeeder(eTileStorage& storage) : m_impl(std::make_unique<Impl>(storage)) {}

eTileSeeder::~eTileSeeder() {
    if (m_impl->ownService) m_impl->ownService->Stop();
}

void eTileSeeder::SetOptions(const tagOptions& options) {
    m_impl->options = options;
    tagOptions& o = m_impl->options;
    o.Concurrency = std::max(1, std::min(o.Concurrency, kMaxConcurrency));
    o.Retries = std::max(0, o.Retries);
    if (!(o.Rate > 0.0)) o.Rate = 0.0;
    if (!(o.Timeout > 0.0)) o.Timeout = 0.0;
    if (!(o.RetryDelay >= 0.0)) o.RetryDelay = 0.0;
    if (!(o.MaxRetryDelay >= o.RetryDelay)) o.MaxRetryDelay = o.RetryDelay;
    // A private service of another size is made afresh when next needed.
    if (m_impl->ownService) {
        m_impl->ownService->Stop();
        m_impl->ownService.reset();
    }
}

const eTileSeeder::tagOptions& eTileSeeder::GetOptions() const { return m_impl->options; }

unsigned char eTileSeeder::SetSource(const eString& url, EmSource kind) {
    Impl& m = *m_impl;
    m.haveSource = false;
    m.sourceText.Empty();
    seed::tagSource source;
    for (const eString& s : m.options.Subdomains) source.Subdomains.push_back(s.Std());
    seed::SetRowsPerLevel(m.storage, source);
    std::string error;
    if (kind == SourceAuto) kind = seed::GuessSourceKind(url.Std());
    if (kind == SourceTemplate) {
        if (!seed::ParseTemplate(url.Std(), source.Parts, error)) {
            m.error = error;
            return 0;
        }
        for (const seed::tagPart& part : source.Parts) {
            if (part.Kind == seed::EmPart::Subdomain && source.Subdomains.empty()) {
                m.error = "the URL template has {s} but no subdomains were given";
                return 0;
            }
        }
        source.Description = "URL template " + url.Std();
    } else {
        const std::string address =
            kind == SourceArcGIS ? seed::ArcGISDescriptionUrl(url.Std()) : url.Std();
        eHttpHelper::eRequestSettings settings;
        m.Settings(settings);
        eFetchTask task(address, settings);
        // The task lives on this stack: it is released (and waited for)
        // before the function returns, whatever the service does with it.
        m.Service().Request(&task, 0);
        task.Wait();
        const eHttpHelper::tagResponse& r = task.Response;
        if (r.Result != eHttpHelper::Ok || r.Status != 200) {
            m.error =
                "cannot read " + address + ": " +
                (r.Result == eHttpHelper::Ok ? "HTTP " + std::to_string(r.Status) : r.Error.Std());
            return 0;
        }
        const std::string body(reinterpret_cast<const char*>(r.Body.GetData()),
                               static_cast<size_t>(r.Body.GetSize()));
        const int last = m.LastLevel();
        const bool ok =
            kind == SourceArcGIS
                ? seed::ReadArcGISService(body, url.Std(), m.storage, m.first, last, source, error)
                : seed::ReadWMTSCapabilities(body, address, m.storage, m.options, m.first, last,
                                             source, error);
        if (!ok) {
            m.error = address + ": " + error;
            return 0;
        }
    }
    m.source = std::move(source);
    m.sourceText = m.source.Description;
    m.haveSource = true;
    return 1;
}

const eString& eTileSeeder::GetSourceDescription() const { return m_impl->sourceText; }

eString eTileSeeder::GetTileURL(int level, int row, int col) const {
    std::string url;
    if (!m_impl->haveSource || !m_impl->source.AppendUrl(level, row, col, url)) return eString();
    return eString(std::move(url));
}

void eTileSeeder::SetLevels(int first, int last) {
    m_impl->first = std::max(first, 0);
    m_impl->last = last;
}

void eTileSeeder::SetWholeGrid() { m_impl->area = seed::tagArea(); }

void eTileSeeder::SetArea(const eRect2D& box) {
    m_impl->area = seed::tagArea();
    m_impl->area.Kind = seed::tagArea::Box;
    m_impl->area.Rect = box;
}

void eTileSeeder::SetArea(const std::vector<tagPolygon>& polygons) {
    m_impl->area = seed::tagArea();
    m_impl->area.Kind = seed::tagArea::Polygons;
    m_impl->area.Shapes = polygons;
}

void eTileSeeder::SetTiles(const std::vector<tagTile>& tiles) {
    seed::tagArea& area = m_impl->area;
    area = seed::tagArea();
    area.Kind = seed::tagArea::List;
    area.Tiles = tiles;
    const auto key = [](const tagTile& t) { return std::make_tuple(t.Level, t.Row, t.Col); };
    std::sort(area.Tiles.begin(), area.Tiles.end(),
              [&](const tagTile& a, const tagTile& b) { return key(a) < key(b); });
    // A tile asked for twice would be saved twice at once.
    area.Tiles.erase(
        std::unique(area.Tiles.begin(), area.Tiles.end(),
                    [&](const tagTile& a, const tagTile& b) { return key(a) == key(b); }),
        area.Tiles.end());
}

int64_t eTileSeeder::CountTiles(int level) const {
    if (level < 0 ||
        level >= static_cast<int>(m_impl->storage.GetTileCoordSys().GetLevelCaptions().size()))
        return 0;
    return seed::CountTiles(m_impl->storage.GetTileCoordSys(), m_impl->area, level);
}

void eTileSeeder::ForEachTile(int level, const std::function<bool(int row, int col)>& fn) const {
    if (level < 0 ||
        level >= static_cast<int>(m_impl->storage.GetTileCoordSys().GetLevelCaptions().size()))
        return;
    seed::eRowScan scan(m_impl->storage.GetTileCoordSys(), m_impl->area, level);
    std::vector<seed::tagColumns> columns;
    int row = 0;
    while (scan.Next(row, columns))
        for (const seed::tagColumns& c : columns)
            for (int col = c.First; col <= c.Last; ++col)
                if (!fn(row, col)) return;
}

unsigned char eTileSeeder::Run(const tagProgressFn& progress, const tagFailureFn& failure) {
    Impl& m = *m_impl;
    m.counts = tagCounts();
    m.cancel.store(false);
    {
        std::lock_guard<std::mutex> lock(m.m_mutex);
        m.m_done.clear();
    }
    if (!m.haveSource) {
        m.error = "no tile source";
        return 0;
    }
    const int last = m.LastLevel();
    if (m.first > last) {
        m.error = "the cache has none of the levels asked for";
        return 0;
    }
    for (int level = m.first; level <= last; ++level) {
        if (!m.source.HasLevel(level)) {
            m.error = "the source has no level matching the cache's level " +
                      std::to_string(level) + " (" + m.source.Description + ")";
            return 0;
        }
        m.counts.Total += CountTiles(level);
    }
    eSeedRun run(m, progress, failure);
    run.Go();
    return m.counts.Failed == 0 && !m.counts.Cancelled ? 1 : 0;
}

void eTileSeeder::Cancel() {
    Impl& m = *m_impl;
    m.cancel.store(true);
    // Under the mutex, so that a dispatcher about to sleep sees the flag.
    std::lock_guard<std::mutex> lock(m.m_mutex);
    m.m_changed.notify_all();
}

const eTileSeeder::tagCounts& eTileSeeder::GetCounts() const { return m_impl->counts; }

const eString& eTileSeeder::GetLastError() const { return m_impl->error; }

}  // namespace TVK
