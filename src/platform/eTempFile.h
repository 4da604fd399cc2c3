// A file under a fresh name beside another path, for writers that publish a
// finished file by renaming it into place. The file is removed when the
// object goes unless it was renamed first.
//
// Private to the library; TVK_API only for the tests.
#ifndef TVK_PLATFORM_ETEMPFILE_H
#define TVK_PLATFORM_ETEMPFILE_H

#include "platform/eExport.h"
#include "platform/eFile.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eTempFile {
public:
    eTempFile() = default;
    ~eTempFile() { Remove(); }
    eTempFile(const eTempFile&) = delete;
    eTempFile& operator=(const eTempFile&) = delete;

    // Creates "<beside>.<tag>-<process>-<n>" (a name no other file has),
    // open for reading and writing. False when it cannot be made.
    bool Create(const eString& beside, const char* tag);
    eFile& File() { return m_file; }
    const eString& GetPath() const { return m_strPath; }
    // Closes the file and renames it to target, which must not exist: a
    // file that appears there meanwhile is never replaced. False (the
    // temporary file kept for Remove) when either step fails.
    bool PublishAs(const eString& target);
    // Closes and deletes the file, if it is still ours.
    void Remove();

private:
    eFile m_file;
    eString m_strPath;
};

}  // namespace TVK

#endif
