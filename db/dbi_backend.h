// dbi_backend.h: the plain C interface between the database binding and a
// backend (SQLite compiled in, PostgreSQL loaded as a module on demand).
//
// A backend knows nothing of G, Values or tuples: it opens a connection,
// runs statements and hands back column values of the current row as plain
// numbers and texts. The binding (db/dbi.cpp) turns them into field tuples
// and keeps every observable rule (cursor count, single-row forms, the
// select-only check, error texts). Texts returned by a backend stay valid
// until the next call on the same statement.
#pragma once

#include <cstddef>

extern "C" {

inline constexpr int kDbiBackendAbi = 3;

// What a failing call leaves behind: the backend's message, its primary
// code and a secondary code (written as "ISAM" in the error text).
struct DbiDiag {
  char message[768];
  long code;
  long isam;
};

struct DbiOpenParams {
  const char* host;       // "" for the default; PostgreSQL: name, address, host:port or socket dir
  const char* user;       // "" for none
  const char* password;   // "" for none
  const char* database;   // SQLite: the file path, already resolved
  int allowWrite;         // SQLite opens read-only, PostgreSQL runs read-only transactions
  int isolation;          // 0 DEFAULT .. 5 VERSIONING
  // The session store's connection: SQLite creates the file when it is
  // missing and waits for a lock until interrupted (the time limit), since
  // a request holding a session may take a while. allowWrite is set.
  int sessionStore;
};

// Storage classes of one column value of the current row.
enum DbiValueKind : int {
  dvNull = 0,
  dvInteger = 1,   // valueInteger
  dvReal = 2,      // valueReal
  dvText = 3,      // valueText (text and anything else shown as text)
  dvUnsupported = 4,
};

// One update parameter: absent text means SQL NULL.
struct DbiParam {
  const char* text;
  int length;
};

// One row of the session store.
struct DbiSessionRow {
  const char* name;
  const char* appKey;
  const char* client;          // the client address, "" when there is none
  const unsigned char* data;   // the session in the session file format
  size_t size;
};

// Allocation of the backend's own records through the request budget.
struct DbiHostApi {
  void* (*alloc)(size_t n);   // never returns null (the request ends instead)
  void (*free)(void* p);
};

struct DbiBackendOps {
  int abi;
  const char* systemName;
  // Connection. open returns null and fills diag when the database cannot
  // be reached, opened or logged into.
  void* (*open)(const DbiOpenParams* params, DbiDiag* diag);
  void (*close)(void* conn);
  // The request's transaction: begin before its first statement, commit or
  // roll back at its end. 0 success, -1 failure (diag filled). Beginning
  // locks nothing for writing: a backend that locks the whole database takes
  // that lock at the request's first update, so pages that only read never
  // keep writers waiting.
  int (*begin)(void* conn, DbiDiag* diag);
  int (*commit)(void* conn, DbiDiag* diag);
  int (*rollback)(void* conn, DbiDiag* diag);
  // Opens a query that delivers at most maxRows rows (1 for the single-row
  // forms, 0 for no limit); the backend fetches no more from the server.
  // Returns the statement or null (diag filled).
  void* (*query)(void* conn, const char* sql, int maxRows, DbiDiag* diag);
  int (*columnCount)(void* stmt);
  const char* (*columnName)(void* stmt, int column);
  // 1 a row is current, 0 no further row, -1 error (diag filled).
  int (*fetch)(void* stmt, DbiDiag* diag);
  int (*valueKind)(void* stmt, int column);
  long long (*valueInteger)(void* stmt, int column);
  double (*valueReal)(void* stmt, int column);
  const char* (*valueText)(void* stmt, int column, int* length);
  // Closes and frees the statement. 0 success, -1 failure (diag filled).
  int (*closeQuery)(void* stmt, DbiDiag* diag);
  // Runs one statement with "?" parameter markers bound in order. A count
  // of markers other than nparams is an error. 0 success, -1 failure.
  int (*update)(void* conn, const char* sql, int nparams, const DbiParam* params,
                DbiDiag* diag);
  // Makes the statement running on the connection fail soon. Called from a
  // signal handler (the request's time limit): async-signal-safe.
  void (*interrupt)(void* conn);

  // The session store: the table braxel_session, one row per session, on
  // a connection opened with sessionStore. Its transaction (sessionBegin,
  // ended by commit or rollback) holds the lock of every row it has read or
  // written; a second transaction on such a row waits. 0 success, -1
  // failure (diag filled).
  //
  // Creates the table when it is missing (outside a transaction).
  int (*sessionTable)(void* conn, DbiDiag* diag);
  // Begins the session transaction.
  int (*sessionBegin)(void* conn, DbiDiag* diag);
  // Locks and reads the row name: 1 found (*data, *size: the session bytes,
  // valid until the next call on the connection), 0 no such row, -1 failure.
  int (*sessionLoad)(void* conn, const char* name, const unsigned char** data, size_t* size,
                     DbiDiag* diag);
  // Inserts or replaces the row name, its last-write time now.
  int (*sessionSave)(void* conn, const DbiSessionRow* row, DbiDiag* diag);
};

// The entry point a backend module exports (looked up with dlsym).
using DbiBackendEntry = const DbiBackendOps* (*)(int abi, const DbiHostApi* host);
inline constexpr const char* kDbiPgEntryName = "braxel_pg_backend";

// The built-in SQLite backend.
const DbiBackendOps* DbiSqliteBackend(const DbiHostApi* host);

}  // extern "C"
