// Folder listing over opendir/readdir.
#include "platform/eDirList.h"

#include <algorithm>
#include <memory>

#include <dirent.h>

#include "platform/eFile.h"

namespace TVK {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool eListDir(const eString& dir, std::vector<eString>& names) {
    names.clear();
    const eString folder = dir.IsEmpty() ? eString(".") : dir;
    std::unique_ptr<DIR, DirCloser> handle(opendir(folder.Cstr()));
    if (!handle) return false;
    // readdir reports the end and an error alike with nullptr; the names read
    // so far are still worth returning, so an error ends the list quietly.
    while (const dirent* entry = readdir(handle.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

bool eFindFileNoCase(const eString& path, eString& actual) {
    if (path.IsEmpty()) return false;
    if (eFile::IsExist(path)) {
        actual = path;
        return true;
    }
    const eString dir = eFile::GetDir(path);
    const eString wanted = eFile::GetFileName(path);
    if (wanted.IsEmpty()) return false;
    std::vector<eString> names;
    if (!eListDir(dir, names)) return false;
    for (const eString& name : names) {
        if (name.GetLength() != wanted.GetLength() || name.CompareNoCase(wanted) != 0) continue;
        const eString candidate = dir + name;
        if (eFile::IsDirectory(candidate)) continue;
        actual = candidate;
        return true;
    }
    return false;
}

}  // namespace TVK
