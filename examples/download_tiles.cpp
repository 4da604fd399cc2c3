// Downloads tiles over HTTP on the request service's workers and stores them
// in a tile cache.
//
//   download_tiles [--compact] <base-url> <cache-dir> <level>/<row>/<col>...
//
// Each tile is fetched from <base-url>/<level>/<row>/<col>.png with the easy
// handle of the worker that runs its task, and saved only when the server
// answers 200 with a body. When every task has ended, the program prints one
// line per tile ("cached", "missing <status>", "failed", "dropped") and then
// asks the cache again, through a fresh storage object, which tiles it holds
// ("exists L/R/C yes|no"). Exit status 0 when every task ended.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "eTileServerManager.h"
#include "eTileStorage.h"
#include "platform/eHttpHelper.h"

using namespace TVK;

namespace {

struct tagTileAddress {
    int level, row, col;
};

// Counts ended tasks so main can wait for all of them; also serialises output.
class Progress {
public:
    void Report(const tagTileAddress& tile, const char* what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::printf("%s %d/%d/%d\n", what, tile.level, tile.row, tile.col);
    }
    void ReportStatus(const tagTileAddress& tile, long status) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::printf("missing %d/%d/%d %ld\n", tile.level, tile.row, tile.col, status);
    }
    void Ended() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nEnded;
        m_changed.notify_all();
    }
    void WaitFor(int count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_nEnded >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_nEnded = 0;
};

class DownloadTileTask : public eRequestTask {
public:
    DownloadTileTask(const eString& url, eTileStorage& storage, const tagTileAddress& tile,
                     Progress& progress)
        : eRequestTask(url), m_storage(storage), m_tile(tile), m_progress(progress) {}

    void Run(eTaskWorkThread* worker) override {
        // The worker's own handle: no other task uses it while this one runs.
        eByteArray body;
        long status = 0;
        if (!eHttpHelper::Get(worker->GetUserData(), m_strRequest, body, &status)) {
            m_progress.Report(m_tile, "failed");
        } else if (status != 200 || body.GetSize() == 0) {
            m_progress.ReportStatus(m_tile, status);
        } else if (m_storage.SaveImageData(m_tile.level, m_tile.row, m_tile.col, body.GetData(),
                                           static_cast<unsigned int>(body.GetSize()))) {
            m_progress.Report(m_tile, "cached");
        } else {
            m_progress.Report(m_tile, "failed");
        }
    }
    void OnRemoved() override { m_progress.Report(m_tile, "dropped"); }
    void Release() override {
        Progress& progress = m_progress;
        delete this;
        progress.Ended();
    }

private:
    eTileStorage& m_storage;
    tagTileAddress m_tile;
    Progress& m_progress;
};

void SetUpCache(eTileStorage& storage, const char* directory, bool compact) {
    // Twenty levels, each halving the scale denominator of the one before.
    std::vector<double> scales;
    double denominator = 591657527.591555;
    for (int level = 0; level < 20; ++level, denominator /= 2) scales.push_back(1.0 / denominator);
    storage.GetTileCoordSys().SetScales(scales);
    storage.SetCacheFormat(compact ? eTileStorage::Compact : eTileStorage::Original);
    storage.SetFileDirectory(directory);
}

bool ParseTile(const char* text, tagTileAddress& tile) {
    char tail = 0;
    return std::sscanf(text, "%d/%d/%d%c", &tile.level, &tile.row, &tile.col, &tail) == 3 &&
           tile.level >= 0 && tile.level < 20 && tile.row >= 0 && tile.col >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 1;
    const bool compact = arg < argc && std::strcmp(argv[arg], "--compact") == 0;
    if (compact) ++arg;
    if (argc - arg < 3) {
        std::fprintf(stderr,
                     "usage: %s [--compact] <base-url> <cache-dir> <level>/<row>/<col>...\n",
                     argv[0]);
        return 2;
    }
    const eString baseUrl = argv[arg++];
    const char* cacheDir = argv[arg++];
    std::vector<tagTileAddress> tiles;
    for (; arg < argc; ++arg) {
        tagTileAddress tile{};
        if (!ParseTile(argv[arg], tile)) {
            std::fprintf(stderr, "bad tile address: %s\n", argv[arg]);
            return 2;
        }
        tiles.push_back(tile);
    }

    Progress progress;
    {
        eTileStorage storage;
        SetUpCache(storage, cacheDir, compact);
        eTileServerManager& service = eTileServerManager::GetInstance();
        for (const tagTileAddress& tile : tiles) {
            eString url;
            url.Format("%s/%d/%d/%d.png", baseUrl.Cstr(), tile.level, tile.row, tile.col);
            service.Request(new DownloadTileTask(url, storage, tile, progress), 0);
        }
        // The storage must outlive every task that writes into it.
        progress.WaitFor(static_cast<int>(tiles.size()));
    }

    eTileStorage reopened;
    SetUpCache(reopened, cacheDir, compact);
    for (const tagTileAddress& tile : tiles)
        std::printf("exists %d/%d/%d %s\n", tile.level, tile.row, tile.col,
                    reopened.IsTileExist(tile.level, tile.row, tile.col) ? "yes" : "no");
    return 0;
}
