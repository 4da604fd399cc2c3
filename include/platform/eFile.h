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
    // Gives the file `from` the name `to` only if nothing has that name, in
    // one step, so that whoever looks finds either nothing or the whole file:
    // 1 done (`from` is gone), 0 `to` exists (nothing changed), -1 failed.
    static int RenameNoReplace(const eString& from, const eString& to);
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
    eFile(eFile&& other) noexcept : m_nFd(other.m_nFd), m_nForkGeneration(other.m_nForkGeneration) {
        other.m_nFd = -1;
    }
    eFile& operator=(eFile&& other) noexcept;

    bool Open(const eString& path, EmOpen mode);
    // Creates and opens (read and write) a new file beside `path`, named
    // path + "." + a part no other writer uses + ".temp", for a file that
    // gets its real name by a rename once it is complete. tempPath receives
    // the name.
    bool CreateTempBeside(const eString& path, eString& tempPath);
    bool IsOpen() const { return m_nFd >= 0; }
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
    // Writes head then body, count bytes each, back to back at offset in one
    // call; false when any byte could not be written.
    bool WriteAt(int64_t offset, const void* head, int64_t headCount, const void* body,
                 int64_t bodyCount) const;
    // Reads headCount bytes into head and the bytes after them into body in
    // one call; the bytes read (short at the end of the file) or -1.
    int64_t ReadAt(int64_t offset, void* head, int64_t headCount, void* body,
                   int64_t bodyCount) const;

    // ---- advisory locks that other processes honour ----
    // Locks belong to this open file (Linux open file description locks):
    // two descriptors exclude each other whether they live in one process or
    // in two, and the kernel drops a lock when its descriptor is closed or
    // its process dies, so no lock outlives its holder.
    enum EmLockMode { LockShared = 0, LockExclusive = 1 };
    enum EmLockResult {
        LockHeld = 0,         // taken
        LockBusy = 1,         // another descriptor holds a conflicting lock (no wait asked)
        LockUnsupported = 2,  // the file system offers no such locks
        LockFailed = 3,
    };
    // Locks bytes [start, start + length) of the file, length 0 meaning up
    // to any end; wait says whether to wait for conflicting holders.
    EmLockResult Lock(EmLockMode mode, bool wait, int64_t start = 0, int64_t length = 0) const;
    bool Unlock(int64_t start = 0, int64_t length = 0) const;

    // True when the file lives on a network file system, whose caches are
    // made coherent with other machines only by taking and releasing locks.
    bool IsOnNetworkFileSystem() const;
    // True when the process has forked since this file was opened: the
    // child shares the open file, and with it the locks, with its parent, so
    // it must open its own to be excluded from the parent.
    bool IsInherited() const;

private:
    int m_nFd = -1;
    unsigned m_nForkGeneration = 0;  // of the process when the file was opened
};

// Holds a lock on an open file for one scope, waiting for it if need be.
class TVK_API eFileLock {
public:
    eFileLock(const eFile& file, eFile::EmLockMode mode)
        : m_file(file), m_emResult(file.Lock(mode, true)) {}
    ~eFileLock() {
        if (m_emResult == eFile::LockHeld) m_file.Unlock();
    }
    eFileLock(const eFileLock&) = delete;
    eFileLock& operator=(const eFileLock&) = delete;
    eFile::EmLockResult GetResult() const { return m_emResult; }
    // Held, or the file system has no such locks: nothing more can be had.
    bool IsUsable() const {
        return m_emResult == eFile::LockHeld || m_emResult == eFile::LockUnsupported;
    }

private:
    const eFile& m_file;
    eFile::EmLockResult m_emResult;
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
    // Opens a new file for writing beside `path`, named as
    // eFile::CreateTempBeside names it; two writers of one path never share
    // the temporary file.
    bool CreateTempBeside(const eString& path, eString& tempPath);
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
