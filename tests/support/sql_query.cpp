#include "support/sql_query.h"

#include <sqlite3.h>

namespace tvktest {

namespace {

// Opened and closed per call: tests read what was committed, as another
// process would.
struct Db {
    sqlite3* db = nullptr;
    explicit Db(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            db = nullptr;
        } else {
            sqlite3_busy_timeout(db, 10000);
        }
    }
    ~Db() { sqlite3_close(db); }
};

}  // namespace

std::string HexBlob(const Bytes& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string text = "x'";
    for (unsigned char b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text + "'";
}

std::vector<std::vector<std::string>> SqlRows(const std::string& path, const std::string& sql) {
    Db db(path);
    sqlite3_stmt* stmt = nullptr;
    if (db.db == nullptr || sqlite3_prepare_v2(db.db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return {{"error: " + std::string(db.db ? sqlite3_errmsg(db.db) : "cannot open")}};
    std::vector<std::vector<std::string>> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            switch (sqlite3_column_type(stmt, i)) {
                case SQLITE_NULL: row.push_back("NULL"); break;
                case SQLITE_BLOB: {
                    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, i));
                    row.push_back(HexBlob(Bytes(p, p + sqlite3_column_bytes(stmt, i))));
                    break;
                }
                default: row.push_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
            }
        }
        rows.push_back(row);
    }
    if (rc != SQLITE_DONE) rows = {{"error: " + std::string(sqlite3_errmsg(db.db))}};
    sqlite3_finalize(stmt);
    return rows;
}

std::string SqlText(const std::string& path, const std::string& sql) {
    const auto rows = SqlRows(path, sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

Bytes SqlBlob(const std::string& path, const std::string& sql) {
    Db db(path);
    sqlite3_stmt* stmt = nullptr;
    Bytes bytes;
    if (db.db != nullptr &&
        sqlite3_prepare_v2(db.db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 0));
        bytes.assign(p, p + sqlite3_column_bytes(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return bytes;
}

std::string SqlExec(const std::string& path, const std::string& sql,
                    const std::vector<Bytes>& blobs) {
    Db db(path);
    if (db.db == nullptr) return "cannot open";
    if (blobs.empty()) {
        char* error = nullptr;
        if (sqlite3_exec(db.db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return "";
        std::string message = error ? error : "error";
        sqlite3_free(error);
        return message;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return sqlite3_errmsg(db.db);
    for (size_t i = 0; i < blobs.size(); ++i)
        sqlite3_bind_blob(stmt, int(i + 1), blobs[i].data(), int(blobs[i].size()),
                          SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db.db);
}

}  // namespace tvktest
