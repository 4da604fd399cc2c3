// The open-bundle pool: every thread that touches a compact cache gets its own
// eRasterCompact handle, every bundle in use one eRasterCompactOperator with
// the bundle's read/write lock and the threads bound to it.
//
// Lock order: the pool mutex, then one operator lock; never two operator
// locks at once. Operator tile calls take only their own operator's lock.
//
// Private to the library (not installed); the classes carry TVK_API only so
// that the test and benchmark programs, which link the shared library, can
// reach them.
#ifndef TVK_COMPACT_ERASTERCOMPACTMANAGER_H
#define TVK_COMPACT_ERASTERCOMPACTMANAGER_H

#include <cstdint>
#include <map>

#include "base/eArray.h"
#include "eRasterCompact.h"
#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"
#include "platform/eThread.h"
#include "platform/eThreadAnnotations.h"

namespace TVK {

class TVK_API eRasterCompactOperator {
public:
    eRasterCompactOperator() = default;
    eRasterCompactOperator(const eRasterCompactOperator&) = delete;
    eRasterCompactOperator& operator=(const eRasterCompactOperator&) = delete;
    virtual ~eRasterCompactOperator() = default;

    // Tile calls of the calling thread, through its own handle; false when the
    // thread is not bound here. Arguments in the order row, column, level.
    bool IsTileExist(int row, int col, int level);
    bool LoadTileData(eByteArray& data, int row, int col, int level);
    bool SaveTileData(const eByteArray& data, int row, int col, int level);
    // Writes size bytes from data itself (no copy into an eByteArray).
    bool SaveTileData(const unsigned char* data, int64_t size, int row, int col, int level);
    bool RemoveTileData(int row, int col, int level);

    // False when handle is null or the thread is already bound here.
    bool Attach(uint32_t threadId, eRasterCompact* handle);
    void Detach(uint32_t threadId);

    // Number of bound threads (taken under the shared lock).
    int GetThreadCount();

private:
    friend class eRasterCompactManager;

    // The calling thread's handle, or null; RWLock held by the caller.
    eRasterCompact* FindHandle() const;

    // Bound threads and their handles; the handles belong to the pool.
    // Changed under the pool mutex and this operator's exclusive lock, read
    // under either (a rule the lock annotations cannot state).
    std::map<uint32_t, eRasterCompact*> m_Threads;
    eReadWriteLock m_RWLock;
    // The bundle this operator serves while it is in use, as numbers (for the
    // pool's allocation-free check) and as key; the pool mutex guards them.
    eString m_strKey;
    int m_nLevel = -1;
    int m_nRowGroup = -1;
    int m_nColGroup = -1;
};

class TVK_API eRasterCompactManager {
public:
    eRasterCompactManager() = default;
    eRasterCompactManager(const eRasterCompactManager&) = delete;
    eRasterCompactManager& operator=(const eRasterCompactManager&) = delete;
    virtual ~eRasterCompactManager();

    // Binds the calling thread to the operator of the bundle whose first row
    // and column are rowGroup and colGroup; null when the root is not set
    // (and the thread has no handle yet) or memory ran out.
    eRasterCompactOperator* GetOperator(int level, int rowGroup, int colGroup);
    // Deletes every operator and handle, closing every bundle file. Only while
    // no other thread uses the pool. Handles of threads that have ended are
    // kept until here.
    void ReleaseAll();

    // Root given to every handle made from now on.
    void SetSrcPath(const eString& path) { m_strSrcPath = path; }
    const eString& GetSrcPath() const { return m_strSrcPath; }

    // Bundle format of the cache (V1 by default), and whether new V1 pairs
    // take ArcGIS's structure (false by default; set it for a cache imported
    // from an ArcGIS configuration). Unlike the root, both reach every
    // thread's handle at that thread's next GetOperator, so the storage may
    // set them at any time; ReleaseAll keeps them.
    void SetBundleFormat(eRasterCompact::EmBundleFormat format);
    eRasterCompact::EmBundleFormat GetBundleFormat();
    void SetArcGISStructure(bool arcgis);
    bool GetArcGISStructure();

    // Counts for inspection (taken under the pool mutex).
    int GetOperatorCount();
    int GetIdleOperatorCount();
    int GetThreadCompactCount();

private:
    // A thread's own handle and the operator it is bound to now (or null).
    struct tagThreadCompact {
        eRasterCompact* pCompact = nullptr;
        eRasterCompactOperator* pBound = nullptr;
    };

    static eString MakeKey(int level, int rowGroup, int colGroup);
    tagThreadCompact* GetThreadCompact(uint32_t threadId) TVK_REQUIRES(m_Mutex);
    eRasterCompactOperator* GetIdleOperator() TVK_REQUIRES(m_Mutex);

    eMutex m_Mutex{1};
    std::map<eString, eRasterCompactOperator*> m_Operators TVK_GUARDED_BY(m_Mutex);
    std::map<uint32_t, tagThreadCompact> m_ThreadCompacts TVK_GUARDED_BY(m_Mutex);
    eArray<eRasterCompactOperator*> m_IdleOperators TVK_GUARDED_BY(m_Mutex);
    eString m_strSrcPath;  // set before the pool is shared
    eRasterCompact::EmBundleFormat m_emBundleFormat TVK_GUARDED_BY(m_Mutex) =
        eRasterCompact::BundleV1;
    bool m_bArcGISStructure TVK_GUARDED_BY(m_Mutex) = false;
};

}  // namespace TVK

#endif
