// eMissingBundles: the bundles of one folder that a handle found missing,
// remembered while the folder stays unchanged. Tile servers and seeders ask
// about the same missing bundles over and over; each answer then costs one
// fstat instead of a failed open. A bundle that anyone creates later
// changes the folder, which forgets every name at once.
#ifndef TVK_COMPACT_EMISSINGBUNDLES_H
#define TVK_COMPACT_EMISSINGBUNDLES_H

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/eFolderStamp.h"
#include "platform/eString.h"

namespace TVK {

class eMissingBundles {
public:
    // Whether the file at path (a bundle's first file: the index of a V1
    // pair, the V2 bundle) is known to be missing.
    bool Holds(const eString& path);
    // After path could not be opened: remembers it when nothing has the name.
    void Note(const eString& path);
    void Clear();

private:
    // Names are kept sorted; a cache holds a few hundred bundles per level at
    // most that anyone asks about, beyond that the list starts over.
    static constexpr size_t kMaxNames = 4096;

    // A folder too young to be trusted is tried again only after a while:
    // taking a stamp costs more than the failed open it would save.
    static constexpr std::chrono::milliseconds kRetryAfter{1000};

    eFolderStamp m_Stamp;
    std::string m_strUntrusted;  // the folder last found untrusted, until m_tmRetry
    std::chrono::steady_clock::time_point m_tmRetry{};
    std::string m_strFolder;  // the folder whose names are kept (may be missing itself)
    std::vector<std::string> m_Names;
};

}  // namespace TVK

#endif
