// dbi.cpp: the database binding: the select-only check, cursors and
// single-row forms, column values into field tuples, host variables,
// transactions and error texts, over the backend chosen by dbhost.
#include "db/dbi.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "db/dbi_backend.h"
#include "diag/messages.h"
#include "driver/globals.h"
#include "driver/config.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"

// ---- State ------------------------------------------------------------------

namespace {

// Process-wide, like the layer's: a connection may outlive a request cycle.
struct DbiState {
  int error;                     // DbiErrorCode
  int cursors;                   // multi-row queries open now, 0..10
  int statements;                // queries open now, single-row ones included
  DbiDiag diag;                  // the last failure reported by a backend or a check
  char message[1024];            // the formatted error text
  char host[1024];
  char user[100];                // cut to 99 bytes
  char password[100];
  int isolation;
  bool allowWrite;
  const char* systemName;        // of the chosen backend
  const DbiBackendOps* ops;      // the chosen backend
  void* conn;                    // open database, or null
  bool inTransaction;            // the request's transaction has begun
  void* pgModule;                // dlopen handle of the PostgreSQL module
  const DbiBackendOps* pgOps;
  char* scratch;                 // rewritten statement texts (grows, reused)
  size_t scratchSize;
  DbiParam* params;              // update parameters (grows, reused)
  char (*numbers)[32];           // texts of numeric parameters
  int paramSlots;
  Globals* G;                    // the request being served (allocation callbacks)
  DbCursor* open;                // the statements open now (DbCursor::nextOpen)
  // The session store's connection (dbiSession...), beside the page's.
  const DbiBackendOps* sessionOps;
  void* sessionConn;
  bool sessionInTransaction;
};

DbiState S;

void* hostAlloc(size_t n) { return bxAlloc(S.G, n); }
void hostFree(void* p) { bxFree(p); }
const DbiHostApi kHostApi{hostAlloc, hostFree};

}  // namespace

// ---- Helpers ----------------------------------------------------------------

static void clearError() {
  S.error = dbiNoError;
  S.diag.message[0] = 0;
  S.diag.code = 0;
  S.diag.isam = 0;
}

// A failure found by the binding itself, reported like a database error.
static void ownError(const char* text, long code) {
  S.error = dbiErrDatabase;
  snprintf(S.diag.message, sizeof S.diag.message, "%s", text);
  S.diag.code = code;
  S.diag.isam = 0;
}

static void copyCut(char* to, size_t size, const char* from) {
  if (from == nullptr) from = "";
  snprintf(to, size, "%s", from);
}

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A scratch text of at least n bytes; grown through the budget, reused.
static char* scratch(Globals* G, size_t n) {
  if (S.scratchSize < n) {
    size_t size = S.scratchSize < 256 ? 256 : S.scratchSize;
    while (size < n) size *= 2;
    bxFree(S.scratch);
    S.scratch = static_cast<char*>(bxAlloc(G, size));
    S.scratchSize = size;
  }
  return S.scratch;
}

// The directory of the configuration file joined with a relative name.
static void resolveFile(Globals* G, const char* name, char* out, size_t size) {
  const char* config = Cfg(G).fileName;
  const char* slash = config != nullptr ? strrchr(config, '/') : nullptr;
  if (name[0] == '/' || slash == nullptr) {
    snprintf(out, size, "%s", name);
    return;
  }
  snprintf(out, size, "%.*s/%s", static_cast<int>(slash - config), config, name);
}

// Loads the PostgreSQL module that lies next to the real program file.
static const DbiBackendOps* loadPgBackend() {
  if (S.pgOps != nullptr) return S.pgOps;
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 32);
  if (n <= 0) {
    ownError("cannot locate the program file to load the PostgreSQL backend", -1);
    return nullptr;
  }
  path[n] = 0;
  char* slash = strrchr(path, '/');
  strcpy(slash != nullptr ? slash + 1 : path, "braxel_pg.so");
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    char text[700];
    snprintf(text, sizeof text, "cannot load the PostgreSQL backend: %.600s", why ? why : path);
    ownError(text, -1);
    return nullptr;
  }
  auto entry = reinterpret_cast<DbiBackendEntry>(dlsym(module, kDbiPgEntryName));
  const DbiBackendOps* ops = entry != nullptr ? entry(kDbiBackendAbi, &kHostApi) : nullptr;
  if (ops == nullptr || ops->abi != kDbiBackendAbi) {
    dlclose(module);
    ownError("the PostgreSQL backend module does not fit this program", -1);
    return nullptr;
  }
  S.pgModule = module;
  S.pgOps = ops;
  return ops;
}

// The time limit's hook: runs in the signal handler, so it reads the state
// only. The connections are cleared before they are closed, and their ops
// set before they are.
static void interruptStatement() {
  if (void* conn = S.conn) S.ops->interrupt(conn);
  if (void* conn = S.sessionConn) S.sessionOps->interrupt(conn);
}

static void closeConnection() {
  // Statements still open belong to the connection.
  while (S.open != nullptr) dbiCloseQuery(S.G, S.open);
  void* conn = S.conn;
  S.conn = nullptr;
  if (conn != nullptr) S.ops->close(conn);
}

// Begins the request's transaction before its first statement.
static bool ensureTransaction() {
  if (S.conn == nullptr) {
    ownError("no database selected", -1);
    return false;
  }
  if (S.inTransaction) return true;
  if (S.ops->begin(S.conn, &S.diag) != 0) {
    S.error = dbiErrDatabase;
    return false;
  }
  S.inTransaction = true;
  return true;
}

static bool wordIs(const char* word, size_t n, const char* lower) {
  if (strlen(lower) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if ((word[i] | 0x20) != lower[i]) return false;
  return true;
}

// ---- Lifecycle and connection -------------------------------------------------

void dbiInitializeGV(Globals* G) {
  S.G = G;
  clearError();
  S.cursors = 0;
  S.statements = 0;
  G->dbi = nullptr;
}

void dbiFinalizeGV(Globals* G) {
  G->dbi = nullptr;
}

void dbiConnect(Globals* G, const char* host, const char* user, const char* password,
                bool allowWrite, bool /*optimizeConnect*/, bool /*autocommit*/, int isolation) {
  S.G = G;
  clearError();
  if (host == nullptr) host = "";
  if (strlen(host) >= sizeof S.host || (user && strlen(user) >= sizeof S.user) ||
      (password && strlen(password) >= sizeof S.password)) {
    S.error = dbiErrBadCall;
    return;
  }
  copyCut(S.host, sizeof S.host, host);
  copyCut(S.user, sizeof S.user, user);
  copyCut(S.password, sizeof S.password, password);
  S.isolation = isolation < 0 || isolation > 5 ? 0 : isolation;
  S.allowWrite = allowWrite;
  const bool embedded = host[0] == 0 || strcmp(host, "-") == 0;
  S.systemName = embedded ? "SQLite" : "PostgreSQL";
  S.ops = embedded ? DbiSqliteBackend(&kHostApi) : loadPgBackend();
}

void dbiSelectDatabase(Globals* G, const char* name) {
  S.G = G;
  clearError();
  if (S.ops == nullptr) {
    ownError("no database backend", -1);
    return;
  }
  if (S.conn != nullptr) {
    // An open query reads from this connection until it is closed.
    if (S.statements > 0) {
      ownError("the database cannot be changed while a query is open", -1);
      return;
    }
    // Work done so far belongs to this request, which has decided it; a
    // commit that fails keeps the connection and reports the loss.
    if (S.inTransaction && S.ops->commit(S.conn, &S.diag) != 0) {
      S.error = dbiErrDatabase;
      return;
    }
    S.inTransaction = false;
    closeConnection();
  }
  char file[4096];
  const bool embedded = S.ops != S.pgOps;
  if (embedded) resolveFile(G, name, file, sizeof file);
  const char* host = strcmp(S.host, "-") == 0 ? "" : S.host;
  DbiOpenParams p{host, S.user, S.password, embedded ? file : name, S.allowWrite ? 1 : 0,
                  S.isolation, 0};
  S.conn = S.ops->open(&p, &S.diag);
  if (S.conn == nullptr) S.error = dbiErrDatabase;
  os_SetInterruptHook(interruptStatement);
  S.inTransaction = false;
}

// ---- Queries ------------------------------------------------------------------

DbCursor* dbiExecuteQuery(Globals* G, const char* sql, long maxRows) {
  S.G = G;
  clearError();
  const char* p = sql;
  while (isBlank(*p)) ++p;
  if (!wordIs(p, 6, "select") || (p[6] != 0 && !isBlank(p[6]))) {
    S.error = dbiErrBadCall;
    return nullptr;
  }
  // The single-row forms: "select first|direct ..." (the word is removed);
  // the positioned forms last, next and prev have no meaning here.
  const char* w = p + 6;
  while (isBlank(*w)) ++w;
  const char* e = w;
  while (isWordChar(*e)) ++e;
  const size_t wl = static_cast<size_t>(e - w);
  bool single = false;
  const char* text = sql;
  if (wordIs(w, wl, "first") || wordIs(w, wl, "direct")) {
    single = true;
    const size_t before = static_cast<size_t>(w - sql), after = strlen(e);
    char* t = scratch(G, before + after + 1);
    memcpy(t, sql, before);
    memcpy(t + before, e, after + 1);
    text = t;
  } else if (wordIs(w, wl, "last") || wordIs(w, wl, "next") || wordIs(w, wl, "prev")) {
    char msg[96];
    snprintf(msg, sizeof msg, "single-row form %.*s is not supported", static_cast<int>(wl), w);
    ownError(msg, -1);
    return nullptr;
  }
  if (!single && S.cursors + 1 > kDbiMaxCursors) {
    S.error = dbiErrUnsupported;
    return nullptr;
  }
  if (!ensureTransaction()) return nullptr;
  const int limit = single ? 1 : maxRows > 0 && maxRows < INT32_MAX ? static_cast<int>(maxRows) : 0;
  void* stmt = S.ops->query(S.conn, text, limit, &S.diag);
  if (stmt == nullptr) {
    S.error = dbiErrDatabase;
    return nullptr;
  }
  // Charged for the cursor's own fields, not for the list of open ones.
  auto* c = static_cast<DbCursor*>(bxAllocZeroAs(G, sizeof(DbCursor), offsetof(DbCursor, nextOpen)));
  c->stmt = stmt;
  c->columns = S.ops->columnCount(stmt);
  c->texts = static_cast<DbiColumnText*>(bxAllocZero(G, sizeof(DbiColumnText) * (c->columns + 1)));
  c->number = single ? 0 : ++S.cursors;
  S.statements++;
  c->nextOpen = S.open;
  S.open = c;
  return c;
}

Value dbiGetDescription(Globals* G, DbCursor* cursor) {
  S.G = G;
  clearError();
  Value tuple;
  iVTupleSize(G, &tuple, cursor->columns);
  for (int32_t i = 0; i < cursor->columns; ++i) {
    const char* name = S.ops->columnName(cursor->stmt, i);
    if (name == nullptr) name = "";
    size_t n = 0;
    while (name[n] != 0 && name[n] != ' ') ++n;   // up to the first blank
    Value* v = vAddField(G, tuple, MakeIdent(G, name, n));
    v->type = tNull;
    v->flags = VF_READONLY;
    cursor->texts[i] = {nullptr, 0};
  }
  return tuple;
}

// Sets field i from column i of the current row. False for a column whose
// value has no Value form.
static bool moveField(Globals* G, DbCursor* c, Field* f, int32_t i) {
  Value& v = f->v;
  const int kind = S.ops->valueKind(c->stmt, i);
  if (kind == dvText) {
    int length = 0;
    const char* text = S.ops->valueText(c->stmt, i, &length);
    if (text == nullptr) text = "";
    const int32_t n = static_cast<int32_t>(strnlen(text, length < 0 ? 0 : length));
    // The field's text allocation is reused while it is large enough.
    DbiColumnText& buf = c->texts[i];
    const bool own = v.type == tString && buf.text != nullptr && v.val.str == buf.text;
    if (!own || buf.size < n + 1) {
      ReleaseValue(G, &v);
      int32_t size = 32;
      while (size < n + 1) size *= 2;
      buf.text = static_cast<char*>(bxAlloc(G, size));
      buf.size = size;
      v.val.str = buf.text;
    }
    memcpy(v.val.str, text, n);
    v.val.str[n] = 0;
    v.size = n;
    v.type = tString;
    v.flags = VF_READONLY;
    return true;
  }
  ReleaseValue(G, &v);
  c->texts[i] = {nullptr, 0};
  v.flags = VF_READONLY;
  switch (kind) {
    case dvNull:
      v.type = tNull;
      return true;
    case dvInteger: {
      const long long x = S.ops->valueInteger(c->stmt, i);
      if (x >= INT32_MIN && x <= INT32_MAX) {
        v.type = tInteger;
        v.val.Integer = static_cast<int32_t>(x);
      } else {
        v.type = tReal;
        v.val.Real = static_cast<double>(x);
      }
      return true;
    }
    case dvReal:
      v.type = tReal;
      v.val.Real = S.ops->valueReal(c->stmt, i);
      return true;
    default:
      v.type = tNull;
      return false;
  }
}

int dbiGetNext(Globals* G, DbCursor* cursor, Value tuple) {
  S.G = G;
  clearError();
  // AssignDataArea's check: the row tuple has one field per column.
  bxAssert(G, tuple.type == tTuple, "(tuple).type==6", {"dbi", "AssignDataArea"});
  bxAssert(G, tuple.val.tuple.t->logsize == cursor->columns, "t->logsize==da->sqln",
           {"dbi", "AssignDataArea"});
  if (cursor->number == -1) return 0;
  if (cursor->number == 0) cursor->number = -1;
  const int r = S.ops->fetch(cursor->stmt, &S.diag);
  if (r < 0) {
    S.error = dbiErrDatabase;
    return 2;
  }
  if (r == 0) return 0;
  Tuple* t = tuple.val.tuple.t;
  for (int32_t i = 0; i < cursor->columns; ++i) {
    if (!moveField(G, cursor, &t->fields[i], i)) {
      char msg[160];
      snprintf(msg, sizeof msg, "unsupported column type in column %s",
               S.ops->columnName(cursor->stmt, i));
      ownError(msg, -1);
      return 2;
    }
  }
  return 1;
}

void dbiCloseQuery(Globals* G, DbCursor* cursor) {
  S.G = G;
  clearError();
  if (cursor == nullptr) return;
  if (S.ops != nullptr && cursor->stmt != nullptr && S.ops->closeQuery(cursor->stmt, &S.diag) != 0)
    S.error = dbiErrDatabase;
  if (cursor->number >= 1 && cursor->number <= kDbiMaxCursors) S.cursors--;
  S.statements--;
  for (DbCursor** at = &S.open; *at != nullptr; at = &(*at)->nextOpen) {
    if (*at == cursor) {
      *at = cursor->nextOpen;
      break;
    }
  }
  bxFree(cursor->texts);
  bxFree(cursor);
}

void dbiCloseAllQueries(Globals* G) {
  while (S.open != nullptr) {
    dbiCloseQuery(G, S.open);
    clearError();
  }
}

// ---- Updates and transactions -------------------------------------------------------

void dbiUpdate(Globals* G, const char* sql, Value params) {
  S.G = G;
  clearError();
  const int n = params.type == tTuple ? params.val.tuple.t->logsize : 0;
  if (n > S.paramSlots) {
    bxFree(S.params);
    bxFree(S.numbers);
    S.params = static_cast<DbiParam*>(bxAlloc(G, sizeof(DbiParam) * n));
    S.numbers = static_cast<char(*)[32]>(bxAlloc(G, 32 * static_cast<size_t>(n)));
    S.paramSlots = n;
  }
  for (int i = 0; i < n; ++i) {
    const Value& v = params.val.tuple.t->fields[i].v;
    DbiParam& p = S.params[i];
    switch (v.type) {
      case tNull:
        p = {nullptr, 0};
        break;
      case tString:
        p = {v.val.str != nullptr ? v.val.str : "", v.size};
        break;
      case tInteger:
      case tBoolean:
        p.length = snprintf(S.numbers[i], 32, "%d", v.val.Integer);
        p.text = S.numbers[i];
        break;
      case tReal:
        p.length = snprintf(S.numbers[i], 32, "%.17g", v.val.Real);
        p.text = S.numbers[i];
        break;
      default: {
        char msg[80];
        snprintf(msg, sizeof msg, "host variable %d has an unsupported type", i + 1);
        ownError(msg, -1);
        return;
      }
    }
  }
  if (!ensureTransaction()) return;
  if (S.ops->update(S.conn, sql, n, S.params, &S.diag) != 0) S.error = dbiErrDatabase;
}

void dbiCommit(Globals* G) {
  S.G = G;
  clearError();
  if (S.conn == nullptr || !S.inTransaction) return;
  S.inTransaction = false;
  if (S.ops->commit(S.conn, &S.diag) != 0) S.error = dbiErrDatabase;
}

void dbiRollBack(Globals* G) {
  S.G = G;
  clearError();
  if (S.conn == nullptr || !S.inTransaction) return;
  S.inTransaction = false;
  if (S.ops->rollback(S.conn, &S.diag) != 0) S.error = dbiErrDatabase;
}

// Commits what is open and releases the connection.
void dbiDisconnect(Globals* G) {
  dbiCommit(G);
  closeConnection();
  S.inTransaction = false;
}

// ---- The session store ------------------------------------------------------------

// On SQLite the sessions live in a database file of their own, this name
// beside the configured one. SQLite has one writer per file, and a request
// that holds a session holds its write transaction: in the page's file,
// the page's first update would wait for its own session (and a session
// closed after an update for its own page).
static constexpr char kSessionFileSuffix[] = "-sessions";

// Opens the store's connection unless it is open, and makes the table when
// it is missing.
static bool openSessionStore(Globals* G) {
  if (S.sessionConn != nullptr) return true;
  const ResourceConfig& cfg = Cfg(G);
  if (cfg.dbname == nullptr || cfg.dbname[0] == 0 || strcmp(cfg.dbname, "*") == 0) {
    ownError("sessions kept in the database need the database named by dbname", -1);
    return false;
  }
  const char* host = cfg.dbhost != nullptr && strcmp(cfg.dbhost, "-") != 0 ? cfg.dbhost : "";
  const bool embedded = host[0] == 0;
  const DbiBackendOps* ops = embedded ? DbiSqliteBackend(&kHostApi) : loadPgBackend();
  if (ops == nullptr) return false;
  char file[4096 + sizeof kSessionFileSuffix];
  if (embedded) {
    resolveFile(G, cfg.dbname, file, 4096);
    strcat(file, kSessionFileSuffix);
  }
  const DbiOpenParams p{host, cfg.user != nullptr ? cfg.user : "",
                        cfg.passwd != nullptr ? cfg.passwd : "", embedded ? file : cfg.dbname,
                        1, 0, 1};
  void* conn = ops->open(&p, &S.diag);
  if (conn == nullptr || ops->sessionTable(conn, &S.diag) != 0) {
    if (conn != nullptr) ops->close(conn);
    S.error = dbiErrDatabase;
    return false;
  }
  // In this order: the time limit's interrupt may read both at any moment.
  S.sessionOps = ops;
  S.sessionConn = conn;
  S.sessionInTransaction = false;
  os_SetInterruptHook(interruptStatement);
  return true;
}

// Begins the session transaction before its first statement.
static bool sessionTransaction(Globals* G) {
  if (!openSessionStore(G)) return false;
  if (S.sessionInTransaction) return true;
  if (S.sessionOps->sessionBegin(S.sessionConn, &S.diag) != 0) {
    S.error = dbiErrDatabase;
    return false;
  }
  S.sessionInTransaction = true;
  return true;
}

int dbiSessionLoad(Globals* G, const char* name, const uint8_t** data, size_t* size) {
  S.G = G;
  clearError();
  if (!sessionTransaction(G)) return -1;
  const unsigned char* bytes = nullptr;
  const int found = S.sessionOps->sessionLoad(S.sessionConn, name, &bytes, size, &S.diag);
  if (found < 0) S.error = dbiErrDatabase;
  *data = bytes;
  return found;
}

int dbiSessionSave(Globals* G, const char* name, const char* appKey, const char* client,
                   const uint8_t* data, size_t size) {
  S.G = G;
  clearError();
  if (!sessionTransaction(G)) return -1;
  const DbiSessionRow row{name, appKey, client, data, size};
  if (S.sessionOps->sessionSave(S.sessionConn, &row, &S.diag) == 0) return 0;
  S.error = dbiErrDatabase;
  return -1;
}

int dbiSessionEnd(Globals* G) {
  S.G = G;
  clearError();
  if (S.sessionConn == nullptr || !S.sessionInTransaction) return 0;
  S.sessionInTransaction = false;
  if (S.sessionOps->commit(S.sessionConn, &S.diag) == 0) return 0;
  S.error = dbiErrDatabase;
  return -1;
}

void dbiSessionDisconnect(Globals* G) {
  S.G = G;
  void* conn = S.sessionConn;
  S.sessionConn = nullptr;
  S.sessionInTransaction = false;
  if (conn != nullptr) S.sessionOps->close(conn);
}

// ---- State queries ----------------------------------------------------------------

int dbiError() { return S.error; }

const char* dbiErrorMsg() {
  if (S.error == dbiErrUnsupported) return "Call of unsupported function";
  if (S.error == dbiErrDatabase) {
    snprintf(S.message, sizeof S.message, "%s(%d) Errorcode = %ld, ISAM = %ld", S.diag.message,
             static_cast<int>(strlen(S.diag.message)), S.diag.code, S.diag.isam);
    return S.message;
  }
  return "no select statement in query part";
}

const char* dbiSystem() { return S.systemName; }

int dbiOpenCursors() { return S.cursors; }
