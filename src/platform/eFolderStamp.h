// eFolderStamp: proof that a folder's entries have not changed. A folder
// gains or loses an entry only by changing its status-change time, so while
// that time stays as it was when the stamp was taken, a name missing then is
// missing still, and nobody needs to look it up again. Asking costs one
// fstat on a descriptor held open, instead of a path lookup.
//
// Only stamps that can be trusted are taken: on a local file system (network
// file systems cache attributes), and of a folder whose last change lies at
// least two seconds back, so that a later change cannot carry the same time
// on file systems with coarse timestamps. A folder that is replaced by
// another of the same name is not noticed; open files have the same blind
// spot.
#ifndef TVK_PLATFORM_EFOLDERSTAMP_H
#define TVK_PLATFORM_EFOLDERSTAMP_H

#include <cstdint>

#include "platform/eString.h"

namespace TVK {

class eFolderStamp {
public:
    enum EmTake {
        Taken = 0,      // the stamp holds from now on
        Untrusted = 1,  // the folder exists, but its time proves nothing
        Missing = 2,    // no such folder
    };

    eFolderStamp() = default;
    ~eFolderStamp() { Clear(); }
    eFolderStamp(const eFolderStamp&) = delete;
    eFolderStamp& operator=(const eFolderStamp&) = delete;

    // Stamps the folder, replacing any earlier stamp.
    EmTake Take(const eString& folder);
    // True while a stamp is held and its folder has not changed since.
    bool Unchanged() const;
    void Clear();

    // Whether nothing at all has the name (not: cannot be opened).
    static bool IsMissing(const eString& path);

private:
    int m_nFd = -1;
    int64_t m_nSec = 0;
    int64_t m_nNsec = 0;
};

}  // namespace TVK

#endif
