// Files: path helpers (static) and an owned file descriptor with positioned
// reads and writes, plus eFileStream, the whole-file reader/writer of the
// one-file-per-tile layout. Paths use '/' separators.
#ifndef TVK_PLATFORM_EFILE_H
#define TVK_PLATFORM_EFILE_H

#include <cstdint>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eFile {
public:
    // ---- path helpers ----
    // Joins base and relative with exactly one '/' between them; a relative
    // path that is already absolute is returned as it is.
    static eString GetAbsolutePath(const eString& base, const eString& relative);
    // Folder of a path, with a trailing '/' ("/a/b/c.xml" -> "/a/b/"); "" for
    // a bare file name.
    static eString GetDir(const eString& path);
    // File name without folder and extension ("/a/b/conf.xml" -> "conf").
    static eString GetTitle(const eString& path);
    // File name without folder ("/a/b/conf.xml" -> "conf.xml").
    static eString GetFileName(const eString& path);
    // Replaces (or adds) the extension: ChangeExt("/a/conf.xml", "cdi") -> "/a/conf.cdi".
    static eString ChangeExt(const eString& path, const eString& ext);
    static bool IsExist(const eString& path);
    static bool IsDirectory(const eString& path);
    // True for a regular file (after following symbolic links), false for a
    // folder, anything else, or nothing.
    static bool IsFile(const eString& path);
    // True when the descriptor (0 stdin, 1 stdout, 2 stderr) is a terminal.
    static bool IsTerminal(int fd);
    // Size in bytes, -1 when the file cannot be examined.
    static int64_t GetFileSize(const eString& path);
    // Creates the folder and every missing parent; true when it exists afterwards.
    static bool MkDirEx(const eString& path);
    // Atomically replaces an existing target (POSIX rename).
    static bool Rename(const eString& from, const eString& to);
    static bool Delete(const eString& path);

    // ---- an owned descriptor ----
    enum EmOpen {
        OpenRead = 0,         // existing file, read only
        OpenReadWrite = 1,    // existing file, read and write
        CreateExclusive = 2,  // new file, read and write; fails when it exists
        CreateTruncate = 3,   // new or emptied file, write only
    };

    eFile() = default;
    ~eFile() { Close(); }
    eFile(const eFile&) = delete;
    eFile& operator=(const eFile&) = delete;
    eFile(eFile&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    eFile& operator=(eFile&& other) noexcept;

    bool Open(const eString& path, EmOpen mode);
    bool IsOpen() const { return m_fd >= 0; }
    // True when the descriptor was closed without error (or was not open).
    bool Close();

    // Reads up to count bytes at offset; returns the bytes read (short at the
    // end of the file) or -1 on error. Never touches a shared file position.
    int64_t ReadAt(int64_t offset, void* buffer, int64_t count) const;
    // Writes all count bytes at offset; false when any byte could not be written.
    bool WriteAt(int64_t offset, const void* buffer, int64_t count) const;
    // Writes all count bytes at the current position (for sequential writers).
    bool Write(const void* buffer, int64_t count) const;
    // Current size, -1 on error.
    int64_t Size() const;
    // Forces the data to the device (fdatasync).
    bool Sync() const;

private:
    int m_fd = -1;
};

// Whole-file stream of the original layout: direction 2 reads an existing
// file, 1 writes a new (or emptied) one.
class TVK_API eFileStream {
public:
    enum EmDirection { Write = 1, Read = 2 };

    eFileStream() = default;
    ~eFileStream() { Close(); }
    eFileStream(const eFileStream&) = delete;
    eFileStream& operator=(const eFileStream&) = delete;

    // bufferSize is accepted for interface compatibility; I/O is unbuffered.
    bool Open(const eString& path, int direction, int bufferSize = 8192);
    // Reads the whole file; true only when every byte was read. On failure
    // data is left untouched.
    bool LoadByteArray(eByteArray& data);
    // Appends count bytes; false when any byte could not be written.
    bool Save(const unsigned char* data, eInt count);
    // Forces written bytes to the device before a rename publishes the file.
    bool Sync();
    // True when the file closed without error.
    bool Close();
    bool IsOpen() const { return m_file.IsOpen(); }

private:
    eFile m_file;
};

}  // namespace TVK

#endif
