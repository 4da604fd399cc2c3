// eCacheCheck: pulls the layout's batches of findings one finding at a time,
// counting damage and warnings as they come.
#include "eCacheCheck.h"

#include "eTileStorage.h"
#include "storage/eCacheLayout.h"

namespace TVK {

eCacheCheck::eCacheCheck(const eTileStorage& storage)
    : m_pSource(storage.GetLayout().CheckFiles(-1)) {}

eCacheCheck::eCacheCheck(const eTileStorage& storage, int level) {
    if (level >= 0 &&
        static_cast<size_t>(level) < storage.GetTileCoordSys().GetLevelCaptions().size())
        m_pSource = storage.GetLayout().CheckFiles(level);
}

eCacheCheck::~eCacheCheck() = default;
eCacheCheck::eCacheCheck(eCacheCheck&& other) noexcept = default;
eCacheCheck& eCacheCheck::operator=(eCacheCheck&& other) noexcept = default;

bool eCacheCheck::Next(tagCacheFinding& finding) {
    while (m_nNext >= m_Batch.size()) {
        if (!m_pSource) return false;
        m_nNext = 0;
        if (!m_pSource->NextBatch(m_Batch, m_Totals)) {
            m_pSource.reset();
            m_Batch.clear();
            return false;
        }
        for (const tagCacheFinding& item : m_Batch) {
            if (IsDamage(item.Kind))
                ++m_Totals.Damage;
            else
                ++m_Totals.Warnings;
        }
    }
    finding = m_Batch[m_nNext++];
    return true;
}

}  // namespace TVK
