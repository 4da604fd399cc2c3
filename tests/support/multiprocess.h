// Helpers for tests that run several processes on one cache: tile payloads
// that name their address, writer and version and end in a checksum; forked
// children that wait at a gate so that they start together; and ledgers that
// a child appends to as it goes, readable whenever it dies.
#ifndef TVK_TESTS_SUPPORT_MULTIPROCESS_H
#define TVK_TESTS_SUPPORT_MULTIPROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "support/test_files.h"

namespace tvktest {

// A payload of `size` bytes (at least kMinPayload) for one save of the tile
// (level, row, col) by a writer. Its bytes depend on all five values and end
// in a checksum, so that a mix of two records, a record cut short and the
// bytes of another tile never read back as a payload of this address.
constexpr size_t kMinPayload = 40;
Bytes MakePayload(int level, int row, int col, uint32_t writer, uint32_t version, size_t size);

struct tagPayload {
    uint32_t Writer = 0;
    uint32_t Version = 0;
};
// Whether the bytes are exactly one payload made for (level, row, col).
bool ReadPayload(const unsigned char* data, size_t size, int level, int row, int col,
                 tagPayload& made);

// Forked children that wait at a gate until Release, so that they collide.
// Children started after Release go at once. The destructor kills and reaps
// any child still running.
class eChildren {
public:
    eChildren();
    ~eChildren();
    eChildren(const eChildren&) = delete;
    eChildren& operator=(const eChildren&) = delete;

    // The child runs body after the gate and exits with its result.
    pid_t Start(const std::function<int()>& body);
    void Release();
    // SIGKILL, then reap; the child no longer counts in Wait.
    void Kill(pid_t pid);
    // Whether the child has ended (it is reaped only by Wait).
    bool HasEnded(pid_t pid) const;
    // Reaps every child still counted; the exit codes, -1 for a child that
    // did not exit normally, in the order the children were started.
    std::vector<int> Wait();

private:
    int m_gate[2] = {-1, -1};
    std::vector<pid_t> m_pids;
};

// One line of a ledger: what a writer is about to do or has done to a tile.
struct tagLedgerEntry {
    enum EmKind : int32_t { Saving = 0, Saved = 1, Removing = 2, Removed = 3 };
    int32_t Kind = Saved;
    int32_t Level = 0, Row = 0, Col = 0;
    uint32_t Writer = 0, Version = 0;
};

// A file that entries are appended to one write each, so that an entry is in
// it whole or not at all however its writer dies.
class eLedger {
public:
    explicit eLedger(const fs::path& path);
    ~eLedger();
    eLedger(const eLedger&) = delete;
    eLedger& operator=(const eLedger&) = delete;
    bool Append(const tagLedgerEntry& entry);
    static std::vector<tagLedgerEntry> Read(const fs::path& path);

private:
    int m_nFd = -1;
};

}  // namespace tvktest

#endif
