#include "support/multiprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace tvktest {

namespace {

constexpr uint32_t kMagic = 0x7e11a9d5;
constexpr size_t kHeadSize = 28;  // magic, level, row, col, writer, version, size

uint64_t Fnv1a(const unsigned char* data, size_t size) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

Bytes MakePayload(int level, int row, int col, uint32_t writer, uint32_t version, size_t size) {
    Bytes bytes(std::max(size, kMinPayload));
    const uint32_t head[7] = {kMagic, uint32_t(level), uint32_t(row),         uint32_t(col),
                              writer, version,         uint32_t(bytes.size())};
    std::memcpy(bytes.data(), head, kHeadSize);
    uint32_t x = uint32_t(level * 7919 + row * 104729 + col * 1299709) ^ (writer << 20) ^ version;
    for (size_t i = kHeadSize; i + 8 < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 16);
    const uint64_t sum = Fnv1a(bytes.data(), bytes.size() - 8);
    std::memcpy(bytes.data() + bytes.size() - 8, &sum, 8);
    return bytes;
}

bool ReadPayload(const unsigned char* data, size_t size, int level, int row, int col,
                 tagPayload& made) {
    if (data == nullptr || size < kMinPayload) return false;
    uint32_t head[7];
    std::memcpy(head, data, kHeadSize);
    uint64_t sum = 0;
    std::memcpy(&sum, data + size - 8, 8);
    if (head[0] != kMagic || head[1] != uint32_t(level) || head[2] != uint32_t(row) ||
        head[3] != uint32_t(col) || head[6] != size || sum != Fnv1a(data, size - 8))
        return false;
    made.Writer = head[4];
    made.Version = head[5];
    return true;
}

eChildren::eChildren() {
    if (::pipe(m_gate) != 0) m_gate[0] = m_gate[1] = -1;
}

eChildren::~eChildren() {
    for (pid_t pid : m_pids) ::kill(pid, SIGKILL);
    Wait();
    if (m_gate[0] >= 0) ::close(m_gate[0]);
    if (m_gate[1] >= 0) ::close(m_gate[1]);
}

pid_t eChildren::Start(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) m_pids.push_back(pid);
        return pid;
    }
    // The child: wait until the parent closes its end of the gate.
    if (m_gate[1] >= 0) ::close(m_gate[1]);
    char byte;
    while (m_gate[0] >= 0 && ::read(m_gate[0], &byte, 1) < 0 && errno == EINTR) {}
    ::_exit(body());  // never back into the test runner
}

void eChildren::Release() {
    if (m_gate[1] >= 0) ::close(m_gate[1]);
    m_gate[1] = -1;
}

void eChildren::Kill(pid_t pid) {
    for (size_t i = 0; i < m_pids.size(); ++i) {
        if (m_pids[i] != pid) continue;
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        m_pids.erase(m_pids.begin() + static_cast<long>(i));
        return;
    }
}

bool eChildren::HasEnded(pid_t pid) const {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

std::vector<int> eChildren::Wait() {
    std::vector<int> codes;
    for (pid_t pid : m_pids) {
        int status = 0;
        const bool exited = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
        codes.push_back(exited ? WEXITSTATUS(status) : -1);
    }
    m_pids.clear();
    return codes;
}

eLedger::eLedger(const fs::path& path)
    : m_nFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}

eLedger::~eLedger() {
    if (m_nFd >= 0) ::close(m_nFd);
}

bool eLedger::Append(const tagLedgerEntry& entry) {
    return m_nFd >= 0 && ::write(m_nFd, &entry, sizeof entry) == static_cast<ssize_t>(sizeof entry);
}

std::vector<tagLedgerEntry> eLedger::Read(const fs::path& path) {
    const Bytes bytes = ReadFile(path);
    std::vector<tagLedgerEntry> entries(bytes.size() / sizeof(tagLedgerEntry));
    if (!entries.empty())
        std::memcpy(entries.data(), bytes.data(), entries.size() * sizeof entries[0]);
    return entries;
}

}  // namespace tvktest
