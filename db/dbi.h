// dbi.h: the database binding: one interface over the SQLite and PostgreSQL
// backends, chosen by dbhost. Its state is process-wide, like the layer's.
#pragma once

#include "support/types.h"
#include "values/value.h"

// At most this many multi-row queries are open at once.
inline constexpr int kDbiMaxCursors = 10;

// Binding error codes.
enum DbiErrorCode : int {
  dbiNoError = 0,
  dbiErrDatabase = 1,      // the database (or a check of ours on its behalf) refused
  dbiErrBadCall = 2,       // "no select statement in query part"
  dbiErrUnsupported = 3,   // "Call of unsupported function" (no free cursor)
};

// A query handle, owned by the caller until dbiCloseQuery.
//   number: 1..10 a cursor; 0 a single-row statement not yet fetched;
//           -1 a single-row statement already fetched.
// The text allocation a field received from the binding, reused by the
// next row while it is large enough.
struct DbiColumnText {
  char* text;     // the allocation the field's String points at, or null
  int32_t size;   // bytes allocated
};
struct DbCursor {
  int number;
  void* stmt;               // the backend's statement
  int32_t columns;
  DbiColumnText* texts;     // one per column
  DbCursor* nextOpen;       // the statements open now, newest first
};

void dbiInitializeGV(Globals* G);
void dbiFinalizeGV(Globals* G);

// Keeps the parameters and chooses the backend (loads the PostgreSQL module
// when host is set). Sends nothing.
void dbiConnect(Globals* G, const char* host, const char* user, const char* password,
                bool allowWrite, bool optimizeConnect, bool autocommit, int isolation);
// Opens the database: SQLite the file (relative names are relative to the
// configuration file's folder), PostgreSQL the database on the server.
void dbiSelectDatabase(Globals* G, const char* name);
// maxRows: no more rows are fetched (0: no limit).
DbCursor* dbiExecuteQuery(Globals* G, const char* sql, long maxRows = 0);
Value dbiGetDescription(Globals* G, DbCursor* cursor);
int dbiGetNext(Globals* G, DbCursor* cursor, Value tuple);   // 0 none, 1 row, 2 error
void dbiCloseQuery(Globals* G, DbCursor* cursor);
// params: a Tuple of the "?" values in order (Null or String), or Null.
void dbiUpdate(Globals* G, const char* sql, Value params);
void dbiCommit(Globals* G);
void dbiRollBack(Globals* G);
void dbiDisconnect(Globals* G);

int dbiError();
const char* dbiErrorMsg();
// "SQLite" or "PostgreSQL" once a backend is chosen, else null.
const char* dbiSystem();
// Every request ends its transaction explicitly.
inline constexpr bool dbiEndTransaction = true;

// The number of cursors open now (for tests and assertions).
int dbiOpenCursors();
// Closes every statement still open: after a request that a fatal error
// ended, whose frames held them. Failures are not reported.
void dbiCloseAllQueries(Globals* G);

// ---- The session store ---------------------------------------------------
// Sessions as rows of braxel_session (sessionstore=database), on a
// connection of the store's own, opened at the first call of a request with
// the configuration's database (SQLite: a file of its own beside it, see
// dbi.cpp), for writing whatever dbwrite says, and closed by
// dbiSessionDisconnect. The session transaction begins with the first load
// or save and holds the rows it touched until dbiSessionEnd. Failures set
// dbiError and dbiErrorMsg.

// Locks and reads the row name: 1 found (*data, *size valid until the next
// call), 0 no such row, -1 failure. Waits while another request holds it.
int dbiSessionLoad(Globals* G, const char* name, const uint8_t** data, size_t* size);
// Inserts or replaces the row name. 0, or -1 on failure.
int dbiSessionSave(Globals* G, const char* name, const char* appKey, const char* client,
                   const uint8_t* data, size_t size);
// Commits the session transaction, if one is open. 0, or -1 on failure.
int dbiSessionEnd(Globals* G);
// Closes the store's connection; a transaction still open is rolled back.
void dbiSessionDisconnect(Globals* G);
