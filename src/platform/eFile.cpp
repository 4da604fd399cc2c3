// Files on POSIX: path helpers, an owned descriptor with positioned I/O and
// the whole-file stream. Every read and write loops over short transfers and
// EINTR, so a caller sees either every byte or a failure.
#include "platform/eFile.h"
#include "platform/eFolderStamp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace TVK {

namespace {

// Start of the file name within path (after the last '/').
size_t NameStart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

// Position of the extension's dot within path, npos when the file name has
// none. A leading dot (".hidden") names a file, not an extension.
size_t ExtDot(const std::string& path) {
    const size_t name = NameStart(path);
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= name) return std::string::npos;
    return dot;
}

bool StatPath(const eString& path, struct stat& st) {
    if (path.IsEmpty()) return false;
    return ::stat(path.Cstr(), &st) == 0;
}

// Counts the forks this process came out of, so that a descriptor can tell
// whether it was opened by this process or inherited from its parent.
std::atomic<unsigned> g_forkGeneration{0};

void CountFork() { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); }

unsigned ForkGeneration() {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, &CountFork) == 0;
    (void)registered;
    return g_forkGeneration.load(std::memory_order_relaxed);
}

// Numbers no other temporary file of this process has taken; with the
// process id they make a name no other writer uses at the same time.
std::atomic<unsigned> g_tempCounter{0};

// File systems shared between machines (statfs f_type), whose caches only
// taking and releasing a lock makes coherent.
bool IsNetworkFileSystemType(unsigned long type) {
    switch (type) {
        case 0x6969:      // NFS
        case 0x517B:      // SMB
        case 0xFF534D42:  // CIFS
        case 0xFE534D42:  // SMB2
        case 0x00C36400:  // Ceph
        case 0x01021997:  // 9P
        case 0x65735546:  // FUSE (sshfs, GlusterFS and the like)
        case 0x5346414F:  // AFS
        case 0x0BD00BD0:  // Lustre
        case 0x01161970:  // GFS2
        case 0x7461636F:  // OCFS2
            return true;
        default: return false;
    }
}

}  // namespace

// ---- path helpers ----

eString eFile::GetAbsolutePath(const eString& base, const eString& relative) {
    const std::string& rel = relative.Std();
    if (!rel.empty() && rel[0] == '/') return relative;
    if (base.IsEmpty()) return relative;
    if (rel.empty()) return base;
    std::string joined = base.Std();
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    if (joined.back() != '/') joined += '/';
    joined += rel;
    return eString(std::move(joined));
}

eString eFile::GetDir(const eString& path) {
    return eString(path.Std().substr(0, NameStart(path.Std())));
}

eString eFile::GetTitle(const eString& path) {
    const std::string& p = path.Std();
    const size_t name = NameStart(p);
    const size_t dot = ExtDot(p);
    return eString(p.substr(name, dot == std::string::npos ? std::string::npos : dot - name));
}

eString eFile::GetFileName(const eString& path) {
    return eString(path.Std().substr(NameStart(path.Std())));
}

eString eFile::ChangeExt(const eString& path, const eString& ext) {
    std::string p = path.Std();
    const size_t dot = ExtDot(p);
    if (dot != std::string::npos) p.erase(dot);
    std::string e = ext.Std();
    if (!e.empty() && e[0] == '.') e.erase(0, 1);
    if (!e.empty()) {
        p += '.';
        p += e;
    }
    return eString(std::move(p));
}

bool eFile::IsExist(const eString& path) {
    struct stat st;
    return StatPath(path, st);
}

bool eFile::IsDirectory(const eString& path) {
    struct stat st;
    return StatPath(path, st) && S_ISDIR(st.st_mode);
}

bool eFile::IsTerminal(int fd) { return ::isatty(fd) == 1; }

bool eFile::IsFile(const eString& path) {
    struct stat st;
    return StatPath(path, st) && S_ISREG(st.st_mode);
}

int64_t eFile::GetFileSize(const eString& path) {
    struct stat st;
    if (!StatPath(path, st) || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool eFile::MkDirEx(const eString& path) {
    const std::string& p = path.Std();
    if (p.empty()) return false;
    // Create each prefix that ends before a '/', then the whole path.
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/') continue;
        if (p[i - 1] == '/') continue;  // repeated or trailing separators
        const std::string prefix = p.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return IsDirectory(path);
}

bool eFile::Rename(const eString& from, const eString& to) {
    if (from.IsEmpty() || to.IsEmpty()) return false;
    return ::rename(from.Cstr(), to.Cstr()) == 0;
}

int eFile::RenameNoReplace(const eString& from, const eString& to) {
    if (from.IsEmpty() || to.IsEmpty()) return -1;
    if (::renameat2(AT_FDCWD, from.Cstr(), AT_FDCWD, to.Cstr(), RENAME_NOREPLACE) == 0) return 1;
    if (errno == EEXIST) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    // File systems without the flag (NFS among them): a hard link is made
    // in one step and fails when the name is taken.
    if (::link(from.Cstr(), to.Cstr()) != 0) return errno == EEXIST ? 0 : -1;
    ::unlink(from.Cstr());
    return 1;
}

bool eFile::Delete(const eString& path) {
    if (path.IsEmpty()) return false;
    if (::unlink(path.Cstr()) == 0) return true;
    // An empty folder goes too.
    return (errno == EISDIR || errno == EPERM) && IsDirectory(path) && ::rmdir(path.Cstr()) == 0;
}

// ---- the owned descriptor ----

eFile& eFile::operator=(eFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_nFd = other.m_nFd;
        m_nForkGeneration = other.m_nForkGeneration;
        other.m_nFd = -1;
    }
    return *this;
}

bool eFile::Open(const eString& path, EmOpen mode) {
    Close();
    if (path.IsEmpty()) return false;
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenRead: flags |= O_RDONLY; break;
        case OpenReadWrite: flags |= O_RDWR; break;
        case CreateExclusive: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case CreateTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
        default: return false;
    }
    int fd;
    do {
        fd = ::open(path.Cstr(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // A folder opens read-only on POSIX but is no file for us.
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    m_nFd = fd;
    m_nForkGeneration = ForkGeneration();
    return true;
}

bool eFile::CreateTempBeside(const eString& path, eString& tempPath) {
    Close();
    if (path.IsEmpty()) return false;
    // The process id, asked again only after a fork.
    thread_local unsigned idGeneration = ~0u;
    thread_local pid_t id = 0;
    const unsigned generation = ForkGeneration();
    if (idGeneration != generation) {
        id = ::getpid();
        idGeneration = generation;
    }
    const std::string pid = std::to_string(id);
    // A name left by a dead process with the same id is skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned n = g_tempCounter.fetch_add(1, std::memory_order_relaxed);
        eString name(path.Std() + "." + pid + "-" + std::to_string(n) + ".temp");
        if (Open(name, CreateExclusive)) {
            tempPath = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool eFile::Close() {
    if (m_nFd < 0) return true;
    const int fd = m_nFd;
    m_nFd = -1;
    // Never retried: on Linux the descriptor is gone even after EINTR.
    return ::close(fd) == 0;
}

namespace {

// The one read/write loop: io(done, chunk) moves up to chunk bytes starting
// count `done` bytes in and returns what the system call returned. Short
// transfers continue, EINTR retries, 0 ends (end of file; a write that makes
// no progress). Returns the bytes moved, or -1 on any other error.
template <typename Io>
int64_t TransferAll(int64_t count, Io io) {
    int64_t done = 0;
    while (done < count) {
        const size_t chunk = static_cast<size_t>(
            std::min<int64_t>(count - done, std::numeric_limits<ssize_t>::max() / 2));
        const ssize_t n = io(done, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

}  // namespace

int64_t eFile::ReadAt(int64_t offset, void* buffer, int64_t count) const {
    if (m_nFd < 0 || offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
        return ::pread(m_nFd, out + done, chunk, static_cast<off_t>(offset + done));
    });
}

bool eFile::WriteAt(int64_t offset, const void* buffer, int64_t count) const {
    if (m_nFd < 0 || offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
               return ::pwrite(m_nFd, in + done, chunk, static_cast<off_t>(offset + done));
           }) == count;
}

bool eFile::Write(const void* buffer, int64_t count) const {
    if (m_nFd < 0 || count < 0 || (buffer == nullptr && count > 0)) return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
               return ::write(m_nFd, in + done, chunk);
           }) == count;
}

int64_t eFile::Size() const {
    struct stat st;
    if (m_nFd < 0 || ::fstat(m_nFd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool eFile::WriteAt(int64_t offset, const void* head, int64_t headCount, const void* body,
                    int64_t bodyCount) const {
    if (m_nFd < 0 || offset < 0 || headCount < 0 || bodyCount < 0 ||
        (head == nullptr && headCount > 0) || (body == nullptr && bodyCount > 0))
        return false;
    if (headCount + bodyCount > std::numeric_limits<ssize_t>::max() / 2)
        return WriteAt(offset, head, headCount) && WriteAt(offset + headCount, body, bodyCount);
    iovec parts[2] = {{const_cast<void*>(head), static_cast<size_t>(headCount)},
                      {const_cast<void*>(body), static_cast<size_t>(bodyCount)}};
    ssize_t n;
    do {
        n = ::pwritev(m_nFd, parts, 2, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    // A short write: the rest one part at a time.
    if (n < headCount)
        return WriteAt(offset + n, static_cast<const unsigned char*>(head) + n, headCount - n) &&
               WriteAt(offset + headCount, body, bodyCount);
    const int64_t bodyDone = n - headCount;
    return bodyDone == bodyCount ||
           WriteAt(offset + n, static_cast<const unsigned char*>(body) + bodyDone,
                   bodyCount - bodyDone);
}

int64_t eFile::ReadAt(int64_t offset, void* head, int64_t headCount, void* body,
                      int64_t bodyCount) const {
    if (m_nFd < 0 || offset < 0 || headCount < 0 || bodyCount < 0 ||
        (head == nullptr && headCount > 0) || (body == nullptr && bodyCount > 0))
        return -1;
    if (headCount + bodyCount > std::numeric_limits<ssize_t>::max() / 2) return -1;
    iovec parts[2] = {{head, static_cast<size_t>(headCount)},
                      {body, static_cast<size_t>(bodyCount)}};
    ssize_t n;
    do {
        n = ::preadv(m_nFd, parts, 2, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    // A short read before the end of the file: the rest one part at a time.
    if (n > 0 && n < headCount + bodyCount) {
        const int64_t headDone = std::min<int64_t>(n, headCount);
        int64_t more = ReadAt(offset + headDone, static_cast<unsigned char*>(head) + headDone,
                              headCount - headDone);
        if (more < 0) return -1;
        if (headDone + more < headCount) return headDone + more;
        const int64_t bodyDone = n - headCount > 0 ? n - headCount : 0;
        more = ReadAt(offset + headCount + bodyDone, static_cast<unsigned char*>(body) + bodyDone,
                      bodyCount - bodyDone);
        if (more < 0) return -1;
        return headCount + bodyDone + more;
    }
    return n;
}

eFile::EmLockResult eFile::Lock(EmLockMode mode, bool wait, int64_t start, int64_t length) const {
    if (m_nFd < 0 || start < 0 || length < 0) return LockFailed;
    struct flock lock = {};
    lock.l_type = mode == LockExclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(start);
    lock.l_len = static_cast<off_t>(length);
    int rc;
    do {
        rc = ::fcntl(m_nFd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return LockHeld;
    switch (errno) {
        case EAGAIN:
        case EACCES: return LockBusy;
        // No such locks here: a kernel without them, a file system (or NFS
        // without its lock service) that refuses them.
        case EINVAL:
        case ENOLCK:
        case EOPNOTSUPP: return LockUnsupported;
        default: return LockFailed;
    }
}

bool eFile::Unlock(int64_t start, int64_t length) const {
    if (m_nFd < 0) return false;
    struct flock lock = {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(start);
    lock.l_len = static_cast<off_t>(length);
    return ::fcntl(m_nFd, F_OFD_SETLK, &lock) == 0;
}

bool eFile::IsOnNetworkFileSystem() const {
    struct statfs st;
    if (m_nFd < 0 || ::fstatfs(m_nFd, &st) != 0) return false;
    return IsNetworkFileSystemType(static_cast<unsigned long>(st.f_type));
}

bool eFile::IsInherited() const {
    return m_nFd >= 0 && m_nForkGeneration != g_forkGeneration.load(std::memory_order_relaxed);
}

bool eFile::Sync() const {
    if (m_nFd < 0) return false;
    int rc;
    do {
        rc = ::fdatasync(m_nFd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// ---- whole-file stream ----

bool eFileStream::Open(const eString& path, int direction, int bufferSize) {
    (void)bufferSize;
    Close();
    if (direction == Read) return m_file.Open(path, eFile::OpenRead);
    if (direction == Write) return m_file.Open(path, eFile::CreateTruncate);
    return false;
}

bool eFileStream::LoadByteArray(eByteArray& data) {
    const int64_t size = m_file.Size();
    if (size < 0 || size > std::numeric_limits<eInt>::max()) return false;
    eByteArray loaded;
    loaded.SetSize(static_cast<eInt>(size));
    if (m_file.ReadAt(0, loaded.GetData(), size) != size) return false;
    data = std::move(loaded);
    return true;
}

bool eFileStream::Save(const unsigned char* data, eInt count) {
    if (count < 0) return false;
    return m_file.Write(data, count);
}

bool eFileStream::CreateTempBeside(const eString& path, eString& tempPath) {
    Close();
    return m_file.CreateTempBeside(path, tempPath);
}

bool eFileStream::Sync() { return m_file.Sync(); }

bool eFileStream::Close() { return m_file.Close(); }

}  // namespace TVK

// ---- eFolderStamp (beside eFile: it shares the file-system test) ----

namespace TVK {

eFolderStamp::EmTake eFolderStamp::Take(const eString& folder) {
    Clear();
    int fd;
    do {
        fd = ::open(folder.Cstr(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Missing : Untrusted;
    struct stat st;
    struct statfs fs;
    timespec now{};
    if (::fstat(fd, &st) != 0 || ::fstatfs(fd, &fs) != 0 ||
        IsNetworkFileSystemType(static_cast<unsigned long>(fs.f_type)) ||
        ::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec - st.st_ctim.tv_sec < 2) {
        ::close(fd);
        return Untrusted;
    }
    m_nFd = fd;
    m_nSec = st.st_ctim.tv_sec;
    m_nNsec = st.st_ctim.tv_nsec;
    return Taken;
}

bool eFolderStamp::Unchanged() const {
    struct stat st;
    // A removed folder (no links left) never changes again: no proof either.
    return m_nFd >= 0 && ::fstat(m_nFd, &st) == 0 && st.st_nlink > 0 &&
           st.st_ctim.tv_sec == m_nSec && st.st_ctim.tv_nsec == m_nNsec;
}

void eFolderStamp::Clear() {
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
}

bool eFolderStamp::IsMissing(const eString& path) {
    struct stat st;
    return ::lstat(path.Cstr(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace TVK
