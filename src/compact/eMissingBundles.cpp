#include "compact/eMissingBundles.h"

#include <algorithm>

namespace TVK {

namespace {

// Splits "dir/name" at its last '/'; the folder is empty for a bare name.
void Split(const std::string& path, std::string_view& folder, std::string_view& name) {
    const size_t slash = path.rfind('/');
    const std::string_view all(path);
    folder = slash == std::string::npos ? std::string_view() : all.substr(0, slash);
    name = slash == std::string::npos ? all : all.substr(slash + 1);
}

}  // namespace

bool eMissingBundles::Holds(const eString& path) {
    if (m_Names.empty()) return false;
    std::string_view folder, name;
    Split(path.Std(), folder, name);
    if (folder != m_strFolder ||
        !std::binary_search(m_Names.begin(), m_Names.end(), name,
                            [](std::string_view a, std::string_view b) { return a < b; }))
        return false;
    if (m_Stamp.Unchanged()) return true;
    Clear();  // something changed in the folder: every name must be looked up again
    return false;
}

void eMissingBundles::Note(const eString& path) {
    std::string_view folder, name;
    Split(path.Std(), folder, name);
    if (folder.empty()) return;
    if (folder != m_strFolder || !m_Stamp.Unchanged() || m_Names.size() >= kMaxNames) {
        // A new stamp first, then the name once more: only a name missing
        // after the stamp was taken is proven missing while it holds.
        Clear();
        const auto now = std::chrono::steady_clock::now();
        if (folder == m_strUntrusted && now < m_tmRetry) return;
        const std::string dir(folder);
        eFolderStamp::EmTake taken = m_Stamp.Take(eString(dir));
        if (taken == eFolderStamp::Missing) {
            // No folder either: its parent proves that it stays missing.
            const size_t slash = dir.rfind('/');
            if (slash == std::string::npos || slash == 0) return;
            taken = m_Stamp.Take(eString(dir.substr(0, slash)));
        }
        if (taken != eFolderStamp::Taken) {
            m_Stamp.Clear();
            m_strUntrusted = dir;
            m_tmRetry = now + kRetryAfter;
            return;
        }
        m_strFolder = dir;
    }
    if (!eFolderStamp::IsMissing(path)) return;  // not opened for another reason
    const auto at =
        std::lower_bound(m_Names.begin(), m_Names.end(), name,
                         [](const std::string& a, std::string_view b) { return a < b; });
    if (at == m_Names.end() || *at != name) m_Names.insert(at, std::string(name));
}

void eMissingBundles::Clear() {
    m_Stamp.Clear();
    m_strFolder.clear();
    m_Names.clear();
}

}  // namespace TVK
