// Reading a PMTiles archive from a local file or over HTTP(S).
//
// Open reads the header, the root directory and the metadata once; they never
// change afterwards. Leaf directories are read on demand and kept in a cache
// bounded by the memory their entries take, least recently used first out.
// Any number of threads may look tiles up and load them at once: the only
// shared state that changes is the cache (under its mutex) and the last error
// text (under its own).
//
// Private to the library; TVK_API only for the tests, benchmarks and fuzz
// targets.
#ifndef TVK_PMTILES_EPMTILESREADER_H
#define TVK_PMTILES_EPMTILESREADER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eFile.h"
#include "platform/eHttpRange.h"
#include "platform/eString.h"
#include "platform/eThread.h"
#include "pmtiles/ePMTilesFormat.h"

namespace TVK {

// Where an archive's bytes come from. ReadAt may be called by many threads
// at once.
class TVK_API ePMTilesSource {
public:
    virtual ~ePMTilesSource() = default;
    // Replaces out with up to count bytes from offset, fewer only at the end
    // of the file; the number read, or -1 with the reason in error.
    virtual int64_t ReadAt(uint64_t offset, uint64_t count, eByteArray& out, eString& error) = 0;
    // Size of the archive, -1 while unknown (a remote file before its first read).
    virtual int64_t GetSize() const = 0;
    // The path or URL, for messages.
    virtual const eString& GetName() const = 0;
};

// A local file, read with positioned reads on one descriptor.
class TVK_API ePMTilesFileSource : public ePMTilesSource {
public:
    // Null with the reason in error when the file cannot be opened.
    static std::unique_ptr<ePMTilesFileSource> Open(const eString& path, eString& error);
    int64_t ReadAt(uint64_t offset, uint64_t count, eByteArray& out, eString& error) override;
    int64_t GetSize() const override { return m_nSize; }
    const eString& GetName() const override { return m_strPath; }

private:
    eFile m_file;
    int64_t m_nSize = -1;
    eString m_strPath;
};

// A remote file, one range request per read.
class TVK_API ePMTilesHttpSource : public ePMTilesSource {
public:
    explicit ePMTilesHttpSource(const eString& url) : m_http(url) {}
    int64_t ReadAt(uint64_t offset, uint64_t count, eByteArray& out, eString& error) override {
        return m_http.ReadAt(offset, count, out, error);
    }
    int64_t GetSize() const override { return m_http.GetSize(); }
    const eString& GetName() const override { return m_http.GetUrl(); }
    eHttpRange& Http() { return m_http; }

private:
    eHttpRange m_http;
};

class ePMTilesCursor;

// What Check found: each problem, damage (tiles lost to this or other
// readers) or not, and what the walk counted.
struct tagPMTilesCheck {
    struct tagProblem {
        bool Damage;
        std::string Text;
    };
    std::vector<tagProblem> Problems;
    uint64_t Tiles = 0;  // addressed tiles, runs counted in full
    uint64_t Bytes = 0;  // the bytes loads of all of them return
};

class TVK_API ePMTilesReader {
public:
    enum EmFound { Failed = -1, Absent = 0, Found = 1 };

    // Leaf directories kept in memory: their decoded entries take at most
    // about this many bytes (one leaf is always kept).
    static constexpr size_t kDefaultLeafCacheBytes = size_t(32) << 20;
    // Directories and metadata inflate to at most this: more is taken for damage.
    static constexpr size_t kMaxSectionBytes = size_t(256) << 20;
    // Leaf directories below leaf directories: the format discourages more
    // than one level; deeper nesting is taken for a loop.
    static constexpr int kMaxLeafDepth = 4;

    explicit ePMTilesReader(size_t leafCacheBytes = kDefaultLeafCacheBytes);
    ePMTilesReader(const ePMTilesReader&) = delete;
    ePMTilesReader& operator=(const ePMTilesReader&) = delete;

    // Reads the header, the root directory and the metadata; false with the
    // reason in GetLastError. Metadata that cannot be read leaves the
    // archive usable (Check reports it).
    bool Open(std::unique_ptr<ePMTilesSource> source);
    const pmtiles::tagHeader& GetHeader() const { return m_header; }
    // The metadata's JSON text, empty when the archive has none or it is damaged.
    const std::string& GetMetadata() const { return m_strMetadata; }
    const ePMTilesSource& GetSource() const { return *m_pSource; }

    // The entry holding a tile id (a tile entry, run lengths resolved).
    EmFound FindTile(uint64_t id, pmtiles::tagEntry& entry);
    // Replaces data with the tile's stored bytes (as stored: a tile
    // compression the header names is not undone); data is untouched unless
    // Found.
    EmFound LoadTile(int z, uint32_t x, uint32_t y, eByteArray& data);
    EmFound HasTile(int z, uint32_t x, uint32_t y);

    // Calls visit for every tile entry in tile-id order, leaves expanded, run
    // lengths not; visit returns false to stop. False with GetLastError when
    // a directory cannot be read.
    bool ForEachTileEntry(const std::function<bool(const pmtiles::tagEntry&)>& visit);
    // Walks the whole archive and tells what is wrong with it. Damage:
    // sections outside the file, directories that do not decode, nest too
    // deep or whose ids leave their range, runs that overlap, entries outside
    // their section, tiles outside the header's levels (other readers never
    // look there). Warnings: a root beyond the first 16 KiB, a clustered
    // flag the data does not follow, counts that disagree with the header,
    // metadata that cannot be read or is not a JSON object, empty leaves.
    tagPMTilesCheck Check();

    // The reason of the most recent failure (any thread's).
    eString GetLastError() const;
    // Leaf directories read from the source so far (cache misses).
    uint64_t GetLeafReads() const { return m_nLeafReads.load(); }

private:
    friend class ePMTilesCursor;
    using Entries = std::vector<pmtiles::tagEntry>;
    using EntriesPtr = std::shared_ptr<const Entries>;

    bool Fail(const std::string& reason);
    // Reads exactly count bytes at offset.
    bool ReadExact(uint64_t offset, uint64_t count, eByteArray& out, std::string& error);
    // Inflates (per the internal compression) and decodes a directory.
    bool DecodeSection(const eByteArray& raw, Entries& entries, std::string& error) const;
    bool Inflate(const unsigned char* data, size_t size, eByteArray& out) const;
    // A leaf directory, from the cache or the source; null on failure.
    EntriesPtr Leaf(const pmtiles::tagEntry& entry, bool cache, std::string& error);
    bool Walk(const Entries& dir, int depth, uint64_t lo, uint64_t hi, bool checking,
              const std::function<bool(const pmtiles::tagEntry&)>& visit, tagPMTilesCheck* check,
              bool& stopped);

    std::unique_ptr<ePMTilesSource> m_pSource;
    pmtiles::tagHeader m_header;
    Entries m_root;
    std::string m_strMetadata;
    std::string m_strMetadataProblem;

    struct tagCached {
        uint64_t Offset;
        uint32_t Length;
        EntriesPtr Entries;
    };
    const size_t m_nCacheLimit;
    eMutex m_cacheMutex;
    std::list<tagCached> m_lstLru TVK_GUARDED_BY(m_cacheMutex);  // most recently used first
    std::unordered_map<uint64_t, std::list<tagCached>::iterator> m_mapCache
        TVK_GUARDED_BY(m_cacheMutex);
    size_t m_nCacheBytes TVK_GUARDED_BY(m_cacheMutex) = 0;
    std::atomic<uint64_t> m_nLeafReads{0};

    mutable eMutex m_errorMutex;
    std::string m_strLastError TVK_GUARDED_BY(m_errorMutex);
};

// Tile entries in tile-id order from a first id on, one at a time, runs not
// expanded (an entry whose run reaches the first id comes whole). Leaf
// directories are read as the cursor reaches them and never cached: memory
// holds one directory per nesting level. Used by one thread at a time; the
// reader must outlive it.
class TVK_API ePMTilesCursor {
public:
    ePMTilesCursor(ePMTilesReader& reader, uint64_t firstId);
    // The next entry; false at the end, or when a directory cannot be read
    // (Failed, and the reader's GetLastError says why).
    bool Next(pmtiles::tagEntry& entry);
    bool Failed() const { return m_bFailed; }

private:
    struct tagFrame {
        std::shared_ptr<const std::vector<pmtiles::tagEntry>> Hold;  // null for the root
        const std::vector<pmtiles::tagEntry>* Dir;
        size_t Index;
        uint64_t End;  // the first id after this directory's range
    };
    ePMTilesReader& m_Reader;
    const uint64_t m_nFirstId;
    std::vector<tagFrame> m_vecStack;
    bool m_bFailed = false;
};

}  // namespace TVK

#endif
