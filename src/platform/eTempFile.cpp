// Temporary files on POSIX: unique names from the process id and a counter,
// made with O_EXCL; publication with a rename that never replaces a file.
#include "platform/eTempFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace TVK {

namespace {

std::atomic<unsigned> g_counter{0};

// Renames without replacing: renameat2 where the file system offers it, a
// hard link and unlink elsewhere (both fail when target exists).
bool RenameNoReplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    if (::link(from, to) != 0) return false;
    ::unlink(from);
    return true;
}

}  // namespace

bool eTempFile::Create(const eString& beside, const char* tag) {
    Remove();
    const std::string base = beside.Std() + "." + tag + "-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const eString path(base + std::to_string(g_counter++));
        if (m_file.Open(path, eFile::CreateExclusive)) {
            m_strPath = path;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool eTempFile::PublishAs(const eString& target) {
    if (m_strPath.IsEmpty() || !m_file.Close()) return false;
    if (!RenameNoReplace(m_strPath.Cstr(), target.Cstr())) return false;
    m_strPath.Empty();
    return true;
}

void eTempFile::Remove() {
    m_file.Close();
    if (!m_strPath.IsEmpty()) {
        ::unlink(m_strPath.Cstr());
        m_strPath.Empty();
    }
}

}  // namespace TVK
