// Reads SQLite files with the plain SQLite C library, not through the
// library under test, so that tests see exactly what is in the file.
#ifndef TVK_TESTS_SUPPORT_SQL_QUERY_H
#define TVK_TESTS_SUPPORT_SQL_QUERY_H

#include <string>
#include <vector>

#include "support/test_files.h"

namespace tvktest {

// Every row of a query as text (NULL as "NULL", blobs as "x'hex'"); a single
// row "error: <message>" when it fails.
std::vector<std::vector<std::string>> SqlRows(const std::string& path, const std::string& sql);
// The first column of the first row; "" when there is none.
std::string SqlText(const std::string& path, const std::string& sql);
// The first column of the first row as bytes; empty when there is none.
Bytes SqlBlob(const std::string& path, const std::string& sql);
// Runs statements that return nothing (building a file by hand); the error
// message, or "" on success. Blobs bound as ?1.. come from `blobs`.
std::string SqlExec(const std::string& path, const std::string& sql,
                    const std::vector<Bytes>& blobs = {});
// "x'0a1b'" for bytes: how SqlRows prints a blob.
std::string HexBlob(const Bytes& bytes);

}  // namespace tvktest

#endif
