// dblayer.cpp: the database layer: connection state and caching, the
// forwarding to the binding, error codes and the database error section.
#include "db/dblayer.h"

#include <cstring>

#include "db/dbi.h"
#include "diag/messages.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "support/memory.h"

// ---- State ------------------------------------------------------------------

namespace {

// Process-wide: a physical connection may serve several request cycles.
struct DbLayerState {
  bool X_isConnected;           // the current request has a usable connection
  bool X_isInternalConnected;   // a physical connection is open (maybe cached)
  bool X_allowWrite;
  bool X_optimizeConnect;
  int X_error;                  // 0 none, 4 the connection failed
  char* X_host;                 // owned copies; absent after a physical disconnect
  char* X_user;
  char* X_password;
  char* X_dbName;
  bool selected;                // X_dbName is open in the binding
  bool firstTime;
  // The settings the physical connection was opened with: a cached
  // connection serves a request only when they are the request's own.
  bool openWrite;
  bool openAutocommit;
  int openIsolation;
};

DbLayerState GV_db{false, false, false, false, 0, nullptr, nullptr, nullptr, nullptr,
                   false, true, false, false, 0};

constexpr int kNoConnection = 4;

}  // namespace

// The operations marked (asserts): the report names the calling operation.
static void requireConnected(Globals* G,
                             std::source_location where = std::source_location::current()) {
  bxAssert(G, GV_db.X_isConnected, "(GV_db.X_isConnected) == true", {"db"}, where);
}

static void dropText(char** text) {
  bxFree(*text);
  *text = nullptr;
}

static bool sameText(const char* stored, const char* given) {
  return stored != nullptr && strcmp(stored, given) == 0;
}

// Closes the physical connection.
static void dbRealDisconnect(Globals* G) {
  bxAssert(G, GV_db.X_isInternalConnected, "(GV_db.X_isInternalConnected) == true", {"db"});
  GV_db.X_error = 0;
  dropText(&GV_db.X_host);
  dropText(&GV_db.X_user);
  dropText(&GV_db.X_password);
  dropText(&GV_db.X_dbName);
  GV_db.selected = false;
  GV_db.X_isInternalConnected = false;
  dbiDisconnect(G);
}

// ---- Lifecycle ----------------------------------------------------------------

void dbInitializeGV(Globals* G) {
  if (GV_db.firstTime) {
    GV_db.firstTime = false;
    GV_db.X_isInternalConnected = false;
    GV_db.X_optimizeConnect = false;
    GV_db.X_host = GV_db.X_user = GV_db.X_password = GV_db.X_dbName = nullptr;
    GV_db.selected = false;
  }
  GV_db.X_isConnected = false;
  GV_db.X_allowWrite = false;
  GV_db.X_error = 0;
  G->db = nullptr;
}

// Releases nothing: a cached connection outlives the request cycle.
void dbFinalizeGV(Globals* G) { G->db = nullptr; }

// ---- Connection ------------------------------------------------------------------

// After a connect or the reuse of a cached connection: the request has a
// connection unless the binding reports an error.
static void noteConnectResult(bool optimizeConnect) {
  if (dbiError() == 0) {
    GV_db.X_isConnected = true;
    GV_db.X_isInternalConnected = true;
  } else {
    GV_db.X_error = kNoConnection;
  }
  GV_db.X_optimizeConnect = optimizeConnect;
}

void dbConnect(Globals* G, const char* host, const char* user, const char* password,
               bool allowWrite, bool optimizeConnect, bool autocommit, int isolation) {
  bxAssert(G, !GV_db.X_isConnected, "(GV_db.X_isConnected) == false", {"db"});
  GV_db.X_error = 0;
  if (host == nullptr) host = "";
  if (user == nullptr) user = "";
  if (password == nullptr) password = "";
  if (GV_db.X_isInternalConnected) {
    // The cached connection goes on with the same server, login and
    // settings; whatever differs (dbwrite, isolation, autocommit) is a
    // connection of its own.
    if (optimizeConnect && sameText(GV_db.X_host, host) && sameText(GV_db.X_user, user) &&
        sameText(GV_db.X_password, password) && GV_db.openWrite == allowWrite &&
        GV_db.openAutocommit == autocommit && GV_db.openIsolation == isolation) {
      GV_db.X_allowWrite = allowWrite;
      noteConnectResult(optimizeConnect);
      return;
    }
    dbRealDisconnect(G);
  }
  GV_db.X_error = 0;
  GV_db.X_host = STRDUP(G, host);
  GV_db.X_user = STRDUP(G, user);
  GV_db.X_password = STRDUP(G, password);
  GV_db.X_allowWrite = allowWrite;
  GV_db.openWrite = allowWrite;
  GV_db.openAutocommit = autocommit;
  GV_db.openIsolation = isolation;
  dbiConnect(G, host, user, password, allowWrite, optimizeConnect, autocommit, isolation);
  noteConnectResult(optimizeConnect);
}

void dbDisconnect(Globals* G) {
  GV_db.X_error = 0;
  dbiSessionDisconnect(G);
  if (!GV_db.X_isConnected) return;
  if (!GV_db.X_optimizeConnect) dbRealDisconnect(G);
  GV_db.X_isConnected = false;
}

// A request that a fatal error ended leaves its statements open and its
// transaction undecided: the statements are closed and the transaction
// rolled back, never committed. A cached connection then serves the next
// request, unless the rollback failed.
void dbAbandon(Globals* G) {
  GV_db.X_error = 0;
  dbiSessionDisconnect(G);
  if (!GV_db.X_isInternalConnected) return;
  dbiCloseAllQueries(G);
  dbiRollBack(G);
  if (!GV_db.X_optimizeConnect || dbiError() != 0) dbRealDisconnect(G);
  GV_db.X_isConnected = false;
}

// A database that cannot be opened (a missing file, a server that is down or
// refuses the login) leaves the request without a connection.
int dbSelectDatabase(Globals* G, const char* name) {
  requireConnected(G);
  bxAssert(G, name != nullptr, "Name != ((void *)0)", {"db"});
  GV_db.X_error = 0;
  if (GV_db.selected && sameText(GV_db.X_dbName, name)) return 0;
  dropText(&GV_db.X_dbName);
  GV_db.X_dbName = STRDUP(G, name);
  dbiSelectDatabase(G, name);
  GV_db.selected = dbiError() == 0;
  if (!GV_db.selected) {
    GV_db.X_isConnected = false;
    GV_db.X_error = kNoConnection;
  }
  return dbError(G);
}

bool dbAllowWrite(Globals* /*G*/) { return GV_db.X_allowWrite; }
bool dbIsConnected(Globals* /*G*/) { return GV_db.X_isConnected; }

// ---- Statements ------------------------------------------------------------------

DbCursor* dbExecuteQuery(Globals* G, const char* sql, long maxRows) {
  GV_db.X_error = 0;
  if (!GV_db.X_isConnected) return nullptr;
  return dbiExecuteQuery(G, sql, maxRows);
}

Value dbGetDescription(Globals* G, DbCursor* cursor) {
  requireConnected(G);
  GV_db.X_error = 0;
  return dbiGetDescription(G, cursor);
}

int dbGetNext(Globals* G, DbCursor* cursor, Value tuple) {
  requireConnected(G);
  return dbiGetNext(G, cursor, tuple);
}

int dbCloseQuery(Globals* G, DbCursor* cursor) {
  requireConnected(G);
  GV_db.X_error = 0;
  dbiCloseQuery(G, cursor);
  return dbError(G);
}

void dbUpdate(Globals* G, const char* sql, Value params) {
  GV_db.X_error = 0;
  if (GV_db.X_isConnected) dbiUpdate(G, sql, params);
}

// The end of the request: the page's transaction, then the session store's
// when a session is still held (sessions written while it was held are
// stored with it). A failure of either is the error dbError reports.
void dbCommit(Globals* G) {
  GV_db.X_error = 0;
  if (GV_db.X_isConnected) dbiCommit(G);
  if (dbiError() == 0) dbiSessionEnd(G);
}

void dbRollBack(Globals* G) {
  GV_db.X_error = 0;
  if (GV_db.X_isConnected) dbiRollBack(G);
}

// ---- Errors ----------------------------------------------------------------------

int dbError(Globals* /*G*/) { return GV_db.X_isConnected ? dbiError() : kNoConnection; }

const char* dbCharError(Globals* /*G*/) {
  if (!GV_db.X_isConnected && GV_db.X_error != kNoConnection)
    return "No Connection to the Database system";
  return dbiErrorMsg();
}

// The database error section of an error page. The database's message is
// escaped like the statement: it may quote parts of the statement.
void dbDispWWWError(Globals* G, const char* statement, Position pos) {
  FILE* out = G->serverInterface->X_Out;
  serverPuts("<h1> Error Accessing the database </h1> \n", out);
  if (GV_db.X_isConnected || GV_db.X_error == kNoConnection) {
    wwwputs(G, dbiErrorMsg());
    serverPuts("<p>\n", out);
  } else {
    serverPrintf(out, "%s<p>\n",
                 "No Connection to the Database system; did you give a database name in the "
                 "configuration file ?");
  }
  const char* host = GV_db.X_host == nullptr ? "" : GV_db.X_host[0] ? GV_db.X_host : "localhost";
  const char* user = GV_db.X_user == nullptr ? "" : GV_db.X_user[0] ? GV_db.X_user : "no user given";
  const char* name = GV_db.X_dbName != nullptr && GV_db.X_dbName[0] ? GV_db.X_dbName
                                                                    : "no data base selected";
  // The database name may come from a template's database tag, and so from
  // a visitor: all three are escaped.
  serverPuts("host:          `", out);
  wwwputs(G, host);
  serverPuts("' <br>\nuser:          `", out);
  wwwputs(G, user);
  serverPuts("' <br>\ndatabase name: `", out);
  wwwputs(G, name);
  serverPuts("' \n<p>\n", out);
  if (pos.file != nullptr) {
    serverPuts("<p>File ", out);
    wwwputs(G, pos.file);
    serverPuts(" <br>", out);
  }
  if (pos.line != 0) serverPrintf(out, "Line: %i Column: %i<br>\n", pos.line, pos.column);
  if (statement != nullptr) {
    serverPuts("Statement: ", out);
    wwwputs(G, statement);
  }
  serverPuts("<p>\n", out);
  serverPuts("</HTML>\n", out);
}

bool dbEndTransaction() { return dbiEndTransaction; }

const char* dbSystemName() { return dbiSystem(); }
