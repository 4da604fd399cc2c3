// eTileListing: pulls the layout's batches of tiles one tile at a time.
#include "eTileListing.h"

#include "eTileStorage.h"
#include "storage/eCacheLayout.h"

namespace TVK {

namespace {

int LevelCount(const eTileStorage& storage) {
    return static_cast<int>(storage.GetTileCoordSys().GetLevelCaptions().size());
}

}  // namespace

eTileListing::eTileListing(const eTileStorage& storage)
    : eTileListing(storage, 0, LevelCount(storage) - 1) {}

eTileListing::eTileListing(const eTileStorage& storage, int firstLevel, int lastLevel) {
    if (firstLevel < 0) firstLevel = 0;
    if (lastLevel > LevelCount(storage) - 1) lastLevel = LevelCount(storage) - 1;
    if (firstLevel <= lastLevel) m_pSource = storage.GetLayout().ListTiles(firstLevel, lastLevel);
}

eTileListing::~eTileListing() = default;
eTileListing::eTileListing(eTileListing&& other) noexcept = default;
eTileListing& eTileListing::operator=(eTileListing&& other) noexcept = default;

bool eTileListing::Next(tagStoredTile& tile) {
    while (m_nNext >= m_Batch.size()) {
        if (!m_pSource) return false;
        m_nNext = 0;
        if (!m_pSource->NextBatch(m_Batch, m_Error)) {
            // Done, or stopped at a bundle: either way nothing more comes.
            m_pSource.reset();
            m_Batch.clear();
            return false;
        }
    }
    tile = m_Batch[m_nNext++];
    return true;
}

}  // namespace TVK
