// File reads, atomic saves and file checks shared by the layouts of one file
// per tile.
#include "storage/eTileFiles.h"

#include <algorithm>
#include <limits>
#include <string>

#include "platform/eFile.h"

namespace TVK {
namespace tilefile {

namespace {

constexpr char kTempSuffix[] = ".temp";
constexpr size_t kTempSuffixLength = sizeof(kTempSuffix) - 1;

}  // namespace

bool LoadFile(const eString& path, eByteArray& data) {
    eFileStream stream;
    if (!stream.Open(path, eFileStream::Read, 8192)) return false;
    return stream.LoadByteArray(data);
}

bool SaveFile(const eString& tilePath, const unsigned char* data, unsigned int size) {
    // A temporary file of this writer's own ("<tile>.<writer>.temp"): two
    // writers of one tile, threads or processes, never write into one file,
    // and the last rename wins.
    eString tempPath;
    eFileStream stream;
    if (!stream.CreateTempBeside(tilePath, tempPath)) {
        // Usually the tile's folders do not exist yet. MkDirEx accepts
        // folders that another thread made meanwhile; any other cause
        // (no permission, a folder standing on the name) fails again.
        if (!eFile::MkDirEx(eFile::GetDir(tilePath))) return false;
        if (!stream.CreateTempBeside(tilePath, tempPath)) return false;
    }
    // From here on the temporary file is ours: remove it on any failure.
    bool written = true;
    const unsigned char* next = data;
    unsigned int left = size;
    while (written && left > 0) {
        const unsigned int chunk = std::min<unsigned int>(
            left, static_cast<unsigned int>(std::numeric_limits<eInt>::max()));
        written = stream.Save(next, static_cast<eInt>(chunk));
        next += chunk;
        left -= chunk;
    }
    const bool closed = stream.Close();
    if (!written || !closed || !eFile::Rename(tempPath, tilePath)) {
        eFile::Delete(tempPath);
        return false;
    }
    return true;
}

tagCacheFinding Finding(eCacheCheck::EmFinding kind, const eString& path) {
    tagCacheFinding finding;
    finding.Kind = kind;
    finding.Path = path;
    return finding;
}

void CheckTileFile(const eString& path, std::vector<tagCacheFinding>& findings,
                   tagCacheTotals& totals) {
    ++totals.TileFiles;
    const int64_t size = eFile::GetFileSize(path);
    if (size < 0) {
        findings.push_back(Finding(eCacheCheck::FileUnreadable, path));
    } else if (size == 0) {
        // No image encodes to zero bytes: the file lost its content.
        findings.push_back(Finding(eCacheCheck::EmptyTileFile, path));
    } else {
        ++totals.Tiles;
        totals.Bytes += size;
    }
}

bool CheckTemporary(const eString& path, std::vector<tagCacheFinding>& findings) {
    const std::string& name = path.Std();
    if (name.size() < kTempSuffixLength ||
        name.compare(name.size() - kTempSuffixLength, kTempSuffixLength, kTempSuffix) != 0)
        return false;
    findings.push_back(Finding(eCacheCheck::TemporaryFile, path));
    return true;
}

}  // namespace tilefile
}  // namespace TVK
