// eSqliteDb and eSqliteStmt over the SQLite C library.
#include "platform/eSqlite.h"

#include <cstring>
#include <string>

#include <sqlite3.h>
#include <sys/vfs.h>

namespace TVK {

namespace {

// File systems whose locks or shared memory WAL cannot rely on (statfs
// f_type values from linux/magic.h and the file systems' own headers). FUSE
// is among them: sshfs and object-store mounts give no shared mmap.
constexpr long kRemoteFileSystems[] = {
    0x6969,                         // NFS
    0x517B,                         // SMB
    static_cast<long>(0xFF534D42),  // CIFS
    static_cast<long>(0xFE534D42),  // SMB2
    0x564C,                         // NCP
    0x5346414F,                     // AFS
    0x73757245,                     // Coda
    0x01021997,                     // 9P (also the Windows drives of WSL)
    0x00C36400,                     // Ceph
    0x0BD00BD0,                     // Lustre
    0x01161970,                     // GFS2
    0x7461636F,                     // OCFS2
    0x65735546,                     // FUSE
    static_cast<long>(0x47504653),  // GPFS
};

bool IsOnRemoteFileSystem(const eString& path) {
    // The folder decides: the file itself may not exist yet.
    std::string folder = path.Std();
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    struct statfs fs;
    if (::statfs(folder.c_str(), &fs) != 0) return true;  // unknown: the safe answer
    for (const long type : kRemoteFileSystems) {
        if (static_cast<long>(fs.f_type) == type) return true;
    }
    return false;
}

}  // namespace

bool eSqliteDb::Open(const eString& path, EmOpen mode, int busyTimeoutMs) {
    Close();
    int flags = SQLITE_OPEN_NOMUTEX;  // one thread at a time, kept apart by the callers
    switch (mode) {
        case OpenReadOnly: flags |= SQLITE_OPEN_READONLY; break;
        case OpenReadWrite: flags |= SQLITE_OPEN_READWRITE; break;
        case OpenCreate: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.Cstr(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        m_strOpenError = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return false;
    }
    m_db = db;
    m_strOpenError.Empty();
    // Files come from anywhere: their views and triggers may not call
    // functions with side effects, and no statement may write into the
    // file's structure behind SQLite's back.
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, busyTimeoutMs);
    return true;
}

void eSqliteDb::Close() {
    if (m_db != nullptr) {
        // close_v2 defers the close until the last statement is finalised,
        // so an out-of-order destruction never leaks the handle.
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

bool eSqliteDb::Exec(const char* sql) {
    return m_db != nullptr && sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool eSqliteDb::QueryInt(const char* sql, int64_t& value) {
    eSqliteStmt stmt;
    if (!stmt.Prepare(*this, sql) || stmt.Step() != eSqliteStmt::Row) return false;
    value = stmt.ColumnInt(0);
    return true;
}

bool eSqliteDb::QueryText(const char* sql, eString& value) {
    eSqliteStmt stmt;
    if (!stmt.Prepare(*this, sql) || stmt.Step() != eSqliteStmt::Row) return false;
    value = stmt.ColumnText(0);
    return true;
}

eString eSqliteDb::ObjectType(const eString& name) {
    eSqliteStmt stmt;
    if (!stmt.Prepare(*this,
                      "SELECT type FROM sqlite_master WHERE name = ?1 AND type IN "
                      "('table', 'view')") ||
        !stmt.BindText(1, name) || stmt.Step() != eSqliteStmt::Row)
        return eString();
    return stmt.ColumnText(0);
}

bool eSqliteDb::HasUniqueIndexOn(const eString& table, const char* a, const char* b,
                                 const char* c) {
    // pragma_index_list / pragma_index_info as table-valued functions keep
    // the table name a bound value rather than SQL text.
    eSqliteStmt stmt;
    if (!stmt.Prepare(*this,
                      "SELECT il.name, group_concat(ii.name, ',') FROM pragma_index_list(?1) il "
                      "JOIN pragma_index_info(il.name) ii WHERE il.\"unique\" = 1 GROUP BY il.name "
                      "HAVING count(*) = 3") ||
        !stmt.BindText(1, table))
        return false;
    while (stmt.Step() == eSqliteStmt::Row) {
        const std::string columns = "," + stmt.ColumnText(1).Std() + ",";
        auto has = [&](const char* name) {
            return columns.find("," + std::string(name) + ",") != std::string::npos;
        };
        if (has(a) && has(b) && has(c)) return true;
    }
    return false;
}

bool eSqliteDb::HasColumn(const eString& table, const char* column) {
    eSqliteStmt stmt;
    if (!stmt.Prepare(*this, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2") ||
        !stmt.BindText(1, table) || !stmt.BindText(2, column))
        return false;
    return stmt.Step() == eSqliteStmt::Row;
}

bool eSqliteDb::UseWalIfLocal(const eString& path) {
    if (m_db == nullptr) return false;
    if (IsOnRemoteFileSystem(path)) return true;
    eString mode;
    return QueryText("PRAGMA journal_mode = WAL", mode) && mode.CompareNoCase("wal") == 0;
}

void eSqliteDb::UseMemoryMapIfLocal(const eString& path) {
    if (m_db == nullptr || IsOnRemoteFileSystem(path)) return;
    // SQLite caps the size at its build's limit (2 GiB by default); the rest
    // of a larger file is read as usual.
    Exec("PRAGMA mmap_size = 1099511627776");
}

bool eSqliteDb::InTransaction() const {
    return m_db != nullptr && sqlite3_get_autocommit(m_db) == 0;
}

int64_t eSqliteDb::Changes() const { return m_db != nullptr ? sqlite3_changes64(m_db) : 0; }

eString eSqliteDb::ErrorText() const {
    if (m_db == nullptr) return m_strOpenError.IsEmpty() ? eString("not open") : m_strOpenError;
    return sqlite3_errmsg(m_db);
}

bool eSqliteDb::LastErrorWasBusy() const {
    if (m_db == nullptr) return false;
    const int rc = sqlite3_extended_errcode(m_db) & 0xFF;
    return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

eString eSqliteDb::QuoteName(const eString& name) {
    std::string quoted = "\"";
    for (const char ch : name.Std()) {
        if (ch == '"') quoted += '"';
        quoted += ch;
    }
    quoted += '"';
    return eString(std::move(quoted));
}

// ---- statements ----

bool eSqliteStmt::Prepare(eSqliteDb& db, const char* sql) {
    Finalize();
    if (db.m_db == nullptr) return false;
    // Statements live as long as their connection's pool entry: persistent.
    return sqlite3_prepare_v3(db.m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) ==
               SQLITE_OK &&
           m_stmt != nullptr;
}

void eSqliteStmt::Finalize() {
    if (m_stmt != nullptr) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

bool eSqliteStmt::BindInt(int index, int64_t value) {
    return sqlite3_bind_int64(m_stmt, index, value) == SQLITE_OK;
}

bool eSqliteStmt::BindDouble(int index, double value) {
    return sqlite3_bind_double(m_stmt, index, value) == SQLITE_OK;
}

bool eSqliteStmt::BindText(int index, const eString& text) {
    return sqlite3_bind_text64(m_stmt, index, text.Cstr(),
                               static_cast<sqlite3_uint64>(text.GetLength()), SQLITE_TRANSIENT,
                               SQLITE_UTF8) == SQLITE_OK;
}

bool eSqliteStmt::BindBlob(int index, const void* data, int64_t size) {
    if (size < 0) return false;
    // A null pointer would bind NULL; an empty tile is an empty blob.
    if (size == 0) return sqlite3_bind_zeroblob(m_stmt, index, 0) == SQLITE_OK;
    // SQLITE_STATIC: the caller's bytes outlive the step that reads them.
    return sqlite3_bind_blob64(m_stmt, index, data, static_cast<sqlite3_uint64>(size),
                               SQLITE_STATIC) == SQLITE_OK;
}

bool eSqliteStmt::BindNull(int index) { return sqlite3_bind_null(m_stmt, index) == SQLITE_OK; }

eSqliteStmt::EmStep eSqliteStmt::Step() {
    if (m_stmt == nullptr) return Error;
    switch (sqlite3_step(m_stmt)) {
        case SQLITE_ROW: return Row;
        case SQLITE_DONE: return Done;
        default: return Error;
    }
}

void eSqliteStmt::Reset() {
    if (m_stmt == nullptr) return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

eSqliteStmt::EmType eSqliteStmt::ColumnType(int column) {
    return static_cast<EmType>(sqlite3_column_type(m_stmt, column));
}

int64_t eSqliteStmt::ColumnInt(int column) { return sqlite3_column_int64(m_stmt, column); }

double eSqliteStmt::ColumnDouble(int column) { return sqlite3_column_double(m_stmt, column); }

eString eSqliteStmt::ColumnText(int column) {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (text == nullptr) return eString();
    return eString(reinterpret_cast<const char*>(text),
                   static_cast<eInt>(sqlite3_column_bytes(m_stmt, column)));
}

bool eSqliteStmt::ColumnBlob(int column, eByteArray& data) {
    const void* bytes = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    // A null pointer with a size, or with an error set, is a failed read
    // (out of memory), not an empty value.
    if (bytes == nullptr &&
        (size > 0 || sqlite3_errcode(sqlite3_db_handle(m_stmt)) == SQLITE_NOMEM))
        return false;
    data.SetSize(0);
    data.Add(static_cast<const unsigned char*>(bytes), size);
    return true;
}

int64_t eSqliteStmt::ColumnBytes(int column) { return sqlite3_column_bytes(m_stmt, column); }

}  // namespace TVK
