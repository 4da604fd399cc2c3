// Files on POSIX: path helpers, an owned descriptor with positioned I/O and
// the whole-file stream. Every read and write loops over short transfers and
// EINTR, so a caller sees either every byte or a failure.
#include "platform/eFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
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
        m_fd = other.m_fd;
        other.m_fd = -1;
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
    m_fd = fd;
    return true;
}

bool eFile::Close() {
    if (m_fd < 0) return true;
    const int fd = m_fd;
    m_fd = -1;
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
    if (m_fd < 0 || offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
        return ::pread(m_fd, out + done, chunk, static_cast<off_t>(offset + done));
    });
}

bool eFile::WriteAt(int64_t offset, const void* buffer, int64_t count) const {
    if (m_fd < 0 || offset < 0 || count < 0 || (buffer == nullptr && count > 0)) return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
               return ::pwrite(m_fd, in + done, chunk, static_cast<off_t>(offset + done));
           }) == count;
}

bool eFile::Write(const void* buffer, int64_t count) const {
    if (m_fd < 0 || count < 0 || (buffer == nullptr && count > 0)) return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](int64_t done, size_t chunk) {
               return ::write(m_fd, in + done, chunk);
           }) == count;
}

int64_t eFile::Size() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool eFile::Sync() const {
    if (m_fd < 0) return false;
    int rc;
    do {
        rc = ::fdatasync(m_fd);
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

bool eFileStream::Sync() { return m_file.Sync(); }

bool eFileStream::Close() { return m_file.Close(); }

}  // namespace TVK
