// SQLite databases and prepared statements, for the caches that live in one
// database file (MBTiles, GeoPackage).
//
// A connection (eSqliteDb) is used by one thread at a time: the library opens
// its connections without SQLite's own per-connection mutex and keeps them
// apart itself. Statements belong to the connection they were prepared on and
// are finalised before it closes (declare the database first).
//
// Private to the library (not installed); the classes carry TVK_API only so
// that the test, benchmark and fuzz programs, which link the shared library,
// can reach them.
#ifndef TVK_PLATFORM_ESQLITE_H
#define TVK_PLATFORM_ESQLITE_H

#include <cstdint>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"

struct sqlite3;
struct sqlite3_stmt;

namespace TVK {

class TVK_API eSqliteDb {
public:
    enum EmOpen {
        OpenReadOnly = 0,   // existing file, reads only
        OpenReadWrite = 1,  // existing file
        OpenCreate = 2,     // existing or new file
    };

    eSqliteDb() = default;
    ~eSqliteDb() { Close(); }
    eSqliteDb(const eSqliteDb&) = delete;
    eSqliteDb& operator=(const eSqliteDb&) = delete;

    // Opens the file at path (taken literally: no URI parameters). Every wait
    // for another connection's lock lasts up to busyTimeoutMs before a call
    // fails. False with the reason in ErrorText.
    bool Open(const eString& path, EmOpen mode, int busyTimeoutMs);
    void Close();
    bool IsOpen() const { return m_db != nullptr; }

    // Runs one or more statements that return no rows.
    bool Exec(const char* sql);
    // The first column of the first row of a query; false when it fails or
    // gives no row.
    bool QueryInt(const char* sql, int64_t& value);
    bool QueryText(const char* sql, eString& value);

    // "table", "view" or "" for a name in the main schema.
    eString ObjectType(const eString& name);
    // Whether a unique index covers exactly these three columns of table, in
    // any order (what INSERT OR REPLACE needs to replace a row in place).
    bool HasUniqueIndexOn(const eString& table, const char* a, const char* b, const char* c);
    // Whether table (or view) has a column of that name.
    bool HasColumn(const eString& table, const char* column);

    // Write-ahead logging when the file is on a local disk (it needs shared
    // memory, which network file systems do not give); the journal mode
    // stays as it is elsewhere. False only when the switch itself failed.
    bool UseWalIfLocal(const eString& path);
    // Reads through a memory map of the file when it is on a local disk: a
    // page then costs no system call. Elsewhere (where another machine may
    // cut the file short under the map) reads stay system calls.
    void UseMemoryMapIfLocal(const eString& path);

    // True while a transaction is open (BEGIN without COMMIT yet). SQLite
    // rolls a transaction back by itself after some failures (a full disk);
    // callers compare this with what they expect.
    bool InTransaction() const;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int64_t Changes() const;
    // The last error's message, and whether it was a lock that stayed busy.
    eString ErrorText() const;
    bool LastErrorWasBusy() const;

    // Quotes an identifier for SQL text ("a""b").
    static eString QuoteName(const eString& name);

private:
    friend class eSqliteStmt;
    sqlite3* m_db = nullptr;
    eString m_strOpenError;  // why Open failed, when there is no handle to ask
};

class TVK_API eSqliteStmt {
public:
    enum EmStep { Row, Done, Error };
    enum EmType { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };

    eSqliteStmt() = default;
    ~eSqliteStmt() { Finalize(); }
    eSqliteStmt(const eSqliteStmt&) = delete;
    eSqliteStmt& operator=(const eSqliteStmt&) = delete;

    bool Prepare(eSqliteDb& db, const char* sql);
    void Finalize();
    bool IsPrepared() const { return m_stmt != nullptr; }

    // Parameters are numbered from 1.
    bool BindInt(int index, int64_t value);
    bool BindDouble(int index, double value);
    bool BindText(int index, const eString& text);
    // A zero-length blob binds as an empty blob, never as NULL.
    bool BindBlob(int index, const void* data, int64_t size);
    bool BindNull(int index);

    EmStep Step();
    // Ends the statement's use (and its read of the database) and clears
    // its parameters, ready for the next binding.
    void Reset();

    // Columns are numbered from 0.
    EmType ColumnType(int column);
    int64_t ColumnInt(int column);
    double ColumnDouble(int column);
    eString ColumnText(int column);
    // Replaces data with the blob's bytes (empty for NULL); false when the
    // value cannot be read (memory).
    bool ColumnBlob(int column, eByteArray& data);
    int64_t ColumnBytes(int column);

private:
    sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace TVK

#endif
