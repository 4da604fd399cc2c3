// eRasterCompact: creating bundles while other processes may be creating,
// reading or writing the same ones.
//
// A bundle's files get their names only when complete: each is written under
// a temporary name and renamed without replacing ("RenameNoReplace"), so a
// reader never meets a V1 index or a V2 file shorter than its slots, and of
// two creators one publishes and the other uses what it published. A V1 pair
// is two files, published data first: the creator locks the new data file
// before it has its name and keeps the lock until the index has one, so a
// process that finds a data file without its index waits on that lock and
// looks again. If the index is still missing and no one holds the lock, the
// creator died in between: a data file that is exactly a new, empty data file
// is completed (no tile can be lost), anything else is left as it is and the
// save refused. Nothing here ever truncates or deletes a file it did not make.
#include <cstring>

#include "compact/eBundleFormat.h"
#include "eRasterCompact.h"

namespace TVK {

namespace {
const char kDataExt[] = ".bundle";
const char kIndexExt[] = ".bundlx";

// A creation takes two rounds (publish, open), a lost race about four; more
// means something keeps changing the folder under us.
constexpr int kCreateRounds = 8;

// Writes content into a new temporary file beside name; false (and no file
// left behind) when it cannot.
bool WriteTempBeside(const eString& name, const eByteArray& content, eString& temp) {
    eFile file;
    if (!file.CreateTempBeside(name, temp)) return false;
    if ((content.GetSize() > 0 && !file.WriteAt(0, content.GetData(), content.GetSize())) ||
        !file.Close()) {
        eFile::Delete(temp);
        return false;
    }
    return true;
}

}  // namespace

bool eRasterCompact::BuildNewIndex(bool arcgis, eByteArray& index) const {
    index.SetSize(static_cast<eInt>(arcgis ? bundle::kArcGISIndexSize : bundle::kIndexSize));
    unsigned char* bytes = index.GetData();
    if (arcgis) {
        std::memcpy(bytes, bundle::kArcGISIndexHeader, bundle::kIndexHeaderSize);
        for (int slot = 0; slot < bundle::kSlotCount; ++slot)
            bundle::EncodeEmpty(bytes + bundle::SlotPosition(slot), bundle::KindArcGIS, slot);
        std::memcpy(bytes + bundle::kIndexSize, bundle::kArcGISIndexTrailer,
                    sizeof bundle::kArcGISIndexTrailer);
    } else {
        // The zero header, then every slot holding the empty pattern.
        std::memset(bytes + bundle::kIndexHeaderSize, bundle::kEmptyByte, bundle::kIndexSlotsSize);
    }
    return true;
}

bool eRasterCompact::BuildNewData(bool arcgis, int rowGroup, int colGroup, eByteArray& data) const {
    // Native: empty. ArcGIS: the header, then one zero length per position.
    data.SetSize(arcgis ? static_cast<eInt>(bundle::kArcGISDataStart) : 0);
    if (arcgis) bundle::EncodeArcGISDataHeader(data.GetData(), rowGroup, colGroup);
    return true;
}

unsigned char eRasterCompact::Create(int row, int col, int level, eString path) {
    if (path.IsEmpty() && m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    const eString root = path.IsEmpty() ? m_strSrcPath : path;
    Close();
    // A folder that cannot be made shows as a failed creation below.
    PrepareLevel(root, level);
    ComposeName(root, rowGroup, colGroup, level, kDataExt);
    const eString dataName = m_strName;
    ComposeName(root, rowGroup, colGroup, level, kIndexExt);
    const eString indexName = m_strName;

    bool sawBoth = false;
    for (int round = 0; round < kCreateRounds; ++round) {
        if (OpenPair(root, rowGroup, colGroup, level)) return 1;
        const bool hasData = eFile::IsExist(dataName);
        const bool hasIndex = eFile::IsExist(indexName);
        if (hasData && hasIndex) {
            // Pairs are published whole: an unusable pair is damage, unless
            // it was published between our open and our look.
            if (sawBoth) return 0;
            sawBoth = true;
            continue;
        }
        // A lone index is no step of any creation: left as it is.
        if (hasIndex) return 0;
        const EmCreate step = hasData ? CompleteLoneData(dataName, indexName, rowGroup, colGroup)
                                      : PublishPair(dataName, indexName, rowGroup, colGroup);
        if (step == CreateRefused) return 0;
    }
    return 0;
}

eRasterCompact::EmCreate eRasterCompact::PublishPair(const eString& dataName,
                                                     const eString& indexName, int rowGroup,
                                                     int colGroup) {
    const bool arcgis = m_bArcGISStructure;
    eByteArray content;
    eString tempData, tempIndex;
    eFile data;
    if (!data.CreateTempBeside(dataName, tempData)) return CreateRefused;
    // Locked before it has its name, and until the index has one.
    const eFile::EmLockResult locked = data.Lock(eFile::LockExclusive, false);
    bool ready = (locked == eFile::LockHeld || locked == eFile::LockUnsupported) &&
                 BuildNewData(arcgis, rowGroup, colGroup, content) &&
                 (content.GetSize() == 0 || data.WriteAt(0, content.GetData(), content.GetSize()));
    ready =
        ready && BuildNewIndex(arcgis, content) && WriteTempBeside(indexName, content, tempIndex);

    EmCreate result = CreateRefused;
    const int dataPublished = ready ? eFile::RenameNoReplace(tempData, dataName) : -1;
    if (dataPublished == 0) {
        result = CreateLookAgain;  // another process is creating it: wait on its lock
    } else if (dataPublished > 0) {
        tempData.Empty();
        // An index that appeared meanwhile is not ours: look at it again.
        // Should the rename fail, the empty data file is completed later.
        const int indexPublished = eFile::RenameNoReplace(tempIndex, indexName);
        if (indexPublished > 0) tempIndex.Empty();
        result = indexPublished >= 0 ? CreateDone : CreateRefused;
    }
    if (!tempData.IsEmpty()) eFile::Delete(tempData);
    if (!tempIndex.IsEmpty()) eFile::Delete(tempIndex);
    return result;  // closing `data` releases the lock, now that both have their names
}

eRasterCompact::EmCreate eRasterCompact::CompleteLoneData(const eString& dataName,
                                                          const eString& indexName, int rowGroup,
                                                          int colGroup) {
    eFile data;
    if (!data.Open(dataName, eFile::OpenReadWrite)) return CreateLookAgain;
    // A creator holds this until its index has its name.
    eFileLock lock(data, eFile::LockExclusive);
    if (!lock.IsUsable()) return CreateRefused;
    if (eFile::IsExist(indexName)) return CreateLookAgain;

    // Nobody is creating the pair any more. Only a data file exactly as a
    // creation starts it holds no tile and may be completed.
    const int64_t size = data.Size();
    bool arcgis = false;
    if (size != 0) {
        eByteArray found, expected;
        BuildNewData(true, rowGroup, colGroup, expected);
        if (size != bundle::kArcGISDataStart) return CreateRefused;
        found.SetSize(static_cast<eInt>(size));
        if (data.ReadAt(0, found.GetData(), size) != size || found != expected)
            return CreateRefused;
        arcgis = true;
    }
    eByteArray index;
    eString tempIndex;
    if (!BuildNewIndex(arcgis, index) || !WriteTempBeside(indexName, index, tempIndex))
        return CreateRefused;
    const int published = eFile::RenameNoReplace(tempIndex, indexName);
    if (published <= 0) eFile::Delete(tempIndex);
    return published >= 0 ? CreateLookAgain : CreateRefused;
}

unsigned char eRasterCompact::CreateV2(int row, int col, int level) {
    if (m_strSrcPath.IsEmpty()) return 0;
    int rowGroup = 0, colGroup = 0;
    if (level < 0 || !ComputeGroup(rowGroup, colGroup, row, col)) return 0;
    const eString root = m_strSrcPath;
    Close();
    PrepareLevel(root, level);
    ComposeName(root, rowGroup, colGroup, level, kDataExt);
    const eString name = m_strName;

    // The header and an index of zero entries, published in one step.
    eByteArray content;
    content.SetSize(static_cast<eInt>(bundle::kV2RecordsStart));
    bundle::EncodeV2Header(content.GetData(), 0, uint64_t(bundle::kV2RecordsStart));
    bool sawIt = false;
    for (int round = 0; round < kCreateRounds; ++round) {
        if (OpenV2(root, rowGroup, colGroup, level)) return 1;
        if (eFile::IsExist(name)) {
            // A file that is there but no usable bundle is left as it is,
            // unless it was published between our open and our look.
            if (sawIt) return 0;
            sawIt = true;
            continue;
        }
        eString temp;
        if (!WriteTempBeside(name, content, temp)) return 0;
        const int published = eFile::RenameNoReplace(temp, name);
        if (published <= 0) eFile::Delete(temp);
        if (published < 0) return 0;
    }
    return 0;
}

}  // namespace TVK
