// The open-bundle pool and the per-bundle operator.
//
// Binding (which thread works on which bundle) changes only under the pool
// mutex, and an operator's thread map only under the pool mutex plus that
// operator's exclusive lock; tile calls read the map under the operator's
// lock alone. Handles stay until ReleaseAll, also those of threads that have
// ended (thread ids are never reused, so such a handle is merely idle). The
// bundle format and creation structure are the pool's, copied into a handle
// by its own thread under the pool mutex.
#include "compact/eRasterCompactManager.h"

#include <new>

namespace TVK {

template class eArray<eRasterCompactOperator*>;

// ---- operator ----

eRasterCompact* eRasterCompactOperator::FindHandle() const {
    const auto it = m_Threads.find(eThread::GetCurrentThreadId());
    return it == m_Threads.end() ? nullptr : it->second;
}

bool eRasterCompactOperator::IsTileExist(int row, int col, int level) {
    eReadGuard guard(m_RWLock);
    eRasterCompact* handle = FindHandle();
    return handle != nullptr && handle->IsTileStored(row, col, level) != 0;
}

bool eRasterCompactOperator::LoadTileData(eByteArray& data, int row, int col, int level) {
    eReadGuard guard(m_RWLock);
    eRasterCompact* handle = FindHandle();
    return handle != nullptr && handle->LoadTileData(data, row, col, level) > 0;
}

bool eRasterCompactOperator::SaveTileData(const eByteArray& data, int row, int col, int level) {
    return SaveTileData(data.GetData(), data.GetSize(), row, col, level);
}

bool eRasterCompactOperator::SaveTileData(const unsigned char* data, int64_t size, int row, int col,
                                          int level) {
    eWriteGuard guard(m_RWLock);
    eRasterCompact* handle = FindHandle();
    return handle != nullptr && handle->SaveTileData(data, size, row, col, level) != 0;
}

bool eRasterCompactOperator::RemoveTileData(int row, int col, int level) {
    eWriteGuard guard(m_RWLock);
    eRasterCompact* handle = FindHandle();
    return handle != nullptr && handle->RemoveTileData(row, col, level) != 0;
}

bool eRasterCompactOperator::Attach(uint32_t threadId, eRasterCompact* handle) {
    if (handle == nullptr) return false;
    eWriteGuard guard(m_RWLock);
    return m_Threads.emplace(threadId, handle).second;
}

void eRasterCompactOperator::Detach(uint32_t threadId) {
    eWriteGuard guard(m_RWLock);
    m_Threads.erase(threadId);
}

int eRasterCompactOperator::GetThreadCount() {
    eReadGuard guard(m_RWLock);
    return static_cast<int>(m_Threads.size());
}

// ---- pool ----

eRasterCompactManager::~eRasterCompactManager() { ReleaseAll(); }

eString eRasterCompactManager::MakeKey(int level, int rowGroup, int colGroup) {
    eString key;
    key.Format("%d_%d_%d", level, rowGroup, colGroup);
    return key;
}

eRasterCompactManager::tagThreadCompact* eRasterCompactManager::GetThreadCompact(
    uint32_t threadId) {
    const auto it = m_ThreadCompacts.find(threadId);
    if (it != m_ThreadCompacts.end()) return &it->second;
    if (m_strSrcPath.IsEmpty()) return nullptr;
    eRasterCompact* handle = new (std::nothrow) eRasterCompact;
    if (handle == nullptr) return nullptr;
    handle->SetSrcPath(m_strSrcPath);
    tagThreadCompact& entry = m_ThreadCompacts[threadId];
    entry.pCompact = handle;
    return &entry;
}

eRasterCompactOperator* eRasterCompactManager::GetIdleOperator() {
    if (m_IdleOperators.GetSize() == 0) return new (std::nothrow) eRasterCompactOperator;
    // Oldest idle first.
    eRasterCompactOperator* op = m_IdleOperators[0];
    m_IdleOperators.RemoveAt(0);
    return op;
}

eRasterCompactOperator* eRasterCompactManager::GetOperator(int level, int rowGroup, int colGroup) {
    eMutexGuard guard(m_Mutex);
    const uint32_t threadId = eThread::GetCurrentThreadId();
    tagThreadCompact* entry = GetThreadCompact(threadId);
    if (entry == nullptr) return nullptr;
    // The handle is this thread's alone, so changing it here is safe.
    eRasterCompact* handle = entry->pCompact;
    if (handle->GetBundleFormat() != m_emBundleFormat) handle->SetBundleFormat(m_emBundleFormat);
    if (handle->GetArcGISStructure() != m_bArcGISStructure)
        handle->SetArcGISStructure(m_bArcGISStructure);

    // Still on the same bundle: nothing changes (and nothing is formatted).
    eRasterCompactOperator* old = entry->pBound;
    if (old != nullptr && old->m_nLevel == level && old->m_nRowGroup == rowGroup &&
        old->m_nColGroup == colGroup)
        return old;

    eString key = MakeKey(level, rowGroup, colGroup);
    const auto found = m_Operators.find(key);
    eRasterCompactOperator* target = found == m_Operators.end() ? nullptr : found->second;

    if (old != nullptr) {
        old->Detach(threadId);
        entry->pBound = nullptr;
    }
    if (target == nullptr) {
        // Consulted before the old operator goes idle, so a thread never gets
        // back the operator it has just left under another key.
        target = GetIdleOperator();
        if (target != nullptr) {
            target->m_strKey = key;
            target->m_nLevel = level;
            target->m_nRowGroup = rowGroup;
            target->m_nColGroup = colGroup;
            m_Operators.emplace(std::move(key), target);
        }
    }
    if (target != nullptr && target->Attach(threadId, entry->pCompact)) entry->pBound = target;

    // The map changes only under this mutex, so reading its size here is safe.
    if (old != nullptr && old->m_Threads.empty()) {
        m_Operators.erase(old->m_strKey);
        old->m_strKey.Empty();
        old->m_nLevel = old->m_nRowGroup = old->m_nColGroup = -1;
        m_IdleOperators.Add(old);
    }
    return entry->pBound;
}

void eRasterCompactManager::ReleaseAll() {
    // No other thread may use the pool now; the mutex only states that.
    eMutexGuard guard(m_Mutex);
    for (eInt i = 0; i < m_IdleOperators.GetSize(); ++i) delete m_IdleOperators[i];
    m_IdleOperators.RemoveAll();
    for (auto& item : m_Operators) delete item.second;
    m_Operators.clear();
    for (auto& item : m_ThreadCompacts) delete item.second.pCompact;  // closes its files
    m_ThreadCompacts.clear();
}

void eRasterCompactManager::SetBundleFormat(eRasterCompact::EmBundleFormat format) {
    eMutexGuard guard(m_Mutex);
    m_emBundleFormat = format;
}

eRasterCompact::EmBundleFormat eRasterCompactManager::GetBundleFormat() {
    eMutexGuard guard(m_Mutex);
    return m_emBundleFormat;
}

void eRasterCompactManager::SetArcGISStructure(bool arcgis) {
    eMutexGuard guard(m_Mutex);
    m_bArcGISStructure = arcgis;
}

bool eRasterCompactManager::GetArcGISStructure() {
    eMutexGuard guard(m_Mutex);
    return m_bArcGISStructure;
}

int eRasterCompactManager::GetOperatorCount() {
    eMutexGuard guard(m_Mutex);
    return static_cast<int>(m_Operators.size());
}

int eRasterCompactManager::GetIdleOperatorCount() {
    eMutexGuard guard(m_Mutex);
    return m_IdleOperators.GetSize();
}

int eRasterCompactManager::GetThreadCompactCount() {
    eMutexGuard guard(m_Mutex);
    return static_cast<int>(m_ThreadCompacts.size());
}

}  // namespace TVK
