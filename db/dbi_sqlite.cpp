// dbi_sqlite.cpp: the embedded SQLite backend of the database binding.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "db/dbi_backend.h"

namespace {

const DbiHostApi* host;

// Isolation levels from REPEATABLE_READ on keep one snapshot per request.
constexpr int kFirstSnapshotLevel = 3;

struct SqliteConn {
  sqlite3* db;       // the request's statements run here; null until the
                     // first statement when the open waits (ensureOpen)
  sqlite3* reader;   // the handle a first update left to the queries still
                     // being read on it (beginWriting), or null
  int allowWrite;
  bool snapshot;     // the isolation level keeps one snapshot per request
  sqlite3_stmt* sessionRow;            // the last session row read, or null
  volatile sig_atomic_t interrupted;   // set by the time limit (sqInterrupt)
};
// SQLite handles open in this process now (the session store's included).
int openHandles;

struct SqliteStmt {
  sqlite3_stmt* st;
  int maxRows;   // 0 for no limit
  int fetched;
  bool done;
};

// Concurrent requests wait this long for a lock instead of failing.
constexpr int kBusyTimeoutMs = 8000;

void fromDb(sqlite3* db, DbiDiag* d) {
  snprintf(d->message, sizeof d->message, "%s", db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  d->code = db != nullptr ? (sqlite3_extended_errcode(db) & 0xff) : SQLITE_NOMEM;
  d->isam = db != nullptr ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
}

void ownDiag(DbiDiag* d, const char* text) {
  snprintf(d->message, sizeof d->message, "%s", text);
  d->code = SQLITE_ERROR;
  d->isam = SQLITE_ERROR;
}

int exec(sqlite3* db, const char* sql, DbiDiag* d) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return 0;
  fromDb(db, d);
  return -1;
}

// Nothing but blanks, semicolons and comments after the first statement.
bool onlyOneStatement(const char* tail) {
  const char* p = tail;
  while (p != nullptr && *p != 0) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == ';' || *p == '\f') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p != 0 && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char* end = strstr(p + 2, "*/");
      if (end == nullptr) return true;
      p = end + 2;
    } else {
      return false;
    }
  }
  return true;
}

sqlite3_stmt* prepare(SqliteConn* c, const char* sql, DbiDiag* d) {
  sqlite3_stmt* st = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(c->db, sql, -1, &st, &tail) != SQLITE_OK) {
    fromDb(c->db, d);
    return nullptr;
  }
  if (st == nullptr) {
    ownDiag(d, "no statement given");
    return nullptr;
  }
  if (!onlyOneStatement(tail)) {
    sqlite3_finalize(st);
    ownDiag(d, "only one statement may be given");
    return nullptr;
  }
  return st;
}

// ---- Connection ---------------------------------------------------------------

// The session store waits for a lock as long as it takes (a request holds a
// session from its open to its close, as with flock on a session file),
// until the time limit interrupts the wait.
int waitForLock(void* conn, int count) {
  if (static_cast<const SqliteConn*>(conn)->interrupted) return 0;
  sqlite3_sleep(count < 20 ? 1 : 10);
  return 1;
}

// Closes a handle openHandle made; one still running statements lingers
// until they are finalized.
void closeHandle(sqlite3* db) {
  --openHandles;
  sqlite3_close_v2(db);
}

// One handle on the database file. The session store's (sessionStore set)
// creates the file when it is missing and waits for locks through
// waitForLock.
sqlite3* openHandle(const char* path, int allowWrite, SqliteConn* sessionStore, DbiDiag* d) {
  // Once per process, before SQLite's first use: a connection's page cache
  // starts empty and takes pages as they are read, instead of laying out
  // twenty at its start (about 17 page faults a request that touches few).
  // A process has one thread, so SQLite needs no mutex around each call
  // (the time limit's sqlite3_interrupt only sets a flag), nor the memory
  // statistics that take one on every allocation.
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_SINGLETHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    return true;
  }();
  (void)configured;
  sqlite3* db = nullptr;
  // Never create the database file: a missing database is a failed
  // connection. The session store's file is braxel's own.
  const int flags = sessionStore != nullptr ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                    : allowWrite            ? SQLITE_OPEN_READWRITE
                                            : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
    fromDb(db, d);
    sqlite3_close(db);
    return nullptr;
  }
  ++openHandles;
  if (sessionStore != nullptr)
    sqlite3_busy_handler(db, waitForLock, sessionStore);
  else
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Reading the header here finds a file that is no database at once.
  // SQLite checks no foreign key unless each connection asks for it.
  const char* probe = allowWrite ? "PRAGMA journal_mode=WAL" : "PRAGMA schema_version";
  if (exec(db, probe, d) != 0 || exec(db, "PRAGMA foreign_keys=ON", d) != 0) {
    closeHandle(db);
    return nullptr;
  }
  return db;
}

// ---- The deferred open ------------------------------------------------------
// Opening a database costs SQLite about 150,000 instructions with its close
// (it registers its extensions on every connection), more than the rest of a
// small page. A page that may only read opens its database at its first
// statement instead, when a look at the file shows that the open would
// succeed now: the same answer at the same moment, for much less. Whatever
// the look cannot vouch for is opened at once, as ever, and so fails there
// as ever. A page that may write opens at once: its probe reads the schema,
// which no cheap look can check, and turns the file to WAL mode. (A page
// that never reads a WAL database no longer leaves the log's side files
// behind, which SQLite makes when it reads one.)

// The lock bytes SQLite places at 1 GiB into every database file: a
// writer's pending or exclusive lock is a write lock on the pending byte or
// on the shared range, and makes a reader wait.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;

// Paths this long or longer are left to SQLite, whose limit (512 bytes of
// the full path, symbolic links resolved) they may come near.
constexpr size_t kShortPath = 256;

// The file the page's connection opens at its first statement. A deferred
// connection is always the page's, and the binding closes one page
// connection before it opens the next: one such file at a time.
char deferredFile[kShortPath];

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) close(fd);
  }
};

bool writeLocked(int fd, off_t start, off_t length) {
  struct flock lock{};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  return fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// The effective user may do `mode` to name (F_OK: it exists).
bool accessible(const char* name, int mode) {
  return faccessat(AT_FDCWD, name, mode, AT_EACCESS) == 0;
}

// The 100-byte header of a database file as SQLite's first read of it checks
// it, in the file of `size` bytes: the magic text, equal read and write
// versions (1 a rollback journal, 2 write-ahead logging; returned), the
// payload fractions, a page size that is a power of two from 512 to 65536
// with 480 usable bytes, and a size of whole pages that holds the page count
// the header gives. 0 for anything else.
int journalVersion(const unsigned char* h, off_t size) {
  static const char kMagic[] = "SQLite format 3";
  if (memcmp(h, kMagic, sizeof kMagic) != 0) return 0;
  if (h[18] != h[19] || (h[18] != 1 && h[18] != 2)) return 0;
  if (h[21] != 64 || h[22] != 32 || h[23] != 32) return 0;
  const off_t page = (h[16] << 8) | (h[17] << 16);
  if (page < 512 || page > 65536 || (page & (page - 1)) != 0 || page - h[20] < 480) return 0;
  if (size < page || size % page != 0) return 0;
  const auto word = [h](int at) {
    return (uint32_t{h[at]} << 24) | (uint32_t{h[at + 1]} << 16) | (uint32_t{h[at + 2]} << 8) |
           h[at + 3];
  };
  // The count holds while the change counter matches its version-valid-for copy.
  if (word(28) != 0 && word(24) == word(92) && word(28) > size / page) return 0;
  return h[18];
}

// Whether openHandle would open path read-only now and find a database in
// it (the header its probe reads): a short path naming a regular file that
// can be read, empty or with a sound header; no writer's lock on it; and in
// rollback mode no journal to roll back (nor a log SQLite would take up), in
// WAL mode a folder where the log and its shared-memory file can be made or
// used.
bool opensQuietly(const char* path) {
  if (path[0] == 0 || strncmp(path, "file:", 5) == 0 || strcmp(path, ":memory:") == 0)
    return false;
  // Another handle of this process on the same file would lose its locks
  // when the look closes its descriptor (POSIX locks are per process).
  if (openHandles > 0) return false;
  size_t length = strlen(path);
  if (path[0] != '/') {
    char cwd[kShortPath];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    length += strlen(cwd) + 1;
  }
  if (length >= kShortPath) return false;
  const FileCloser file{open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)};
  struct stat st{};
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int version = 1;   // an empty file is an empty database
  if (st.st_size > 0) {
    unsigned char header[100];
    if (pread(file.fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
      return false;
    version = journalVersion(header, st.st_size);
    if (version == 0) return false;
  }
  if (writeLocked(file.fd, kPendingByte, 1) || writeLocked(file.fd, kSharedFirst, kSharedSize))
    return false;
  const std::string base = path;
  if (version == 1)
    return !accessible((base + "-journal").c_str(), F_OK) &&
           !accessible((base + "-wal").c_str(), F_OK);
  const char* slash = strrchr(path, '/');
  const std::string folder = slash == nullptr ? "."
                             : slash == path  ? "/"
                                              : std::string(path, slash);
  if (!accessible(folder.c_str(), W_OK | X_OK)) return false;
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = base + suffix;
    if (accessible(side.c_str(), F_OK) && !accessible(side.c_str(), R_OK | W_OK)) return false;
  }
  return true;
}

// Opens a deferred connection's database: before its first statement.
bool ensureOpen(SqliteConn* c, DbiDiag* d) {
  if (c->db != nullptr) return true;
  sqlite3* db = openHandle(deferredFile, c->allowWrite, nullptr, d);
  if (db == nullptr) return false;
  c->db = db;
  return true;
}

void* sqOpen(const DbiOpenParams* p, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(host->alloc(sizeof(SqliteConn)));
  *c = SqliteConn{nullptr, nullptr, p->allowWrite, p->isolation >= kFirstSnapshotLevel, nullptr, 0};
  if (!p->sessionStore && !p->allowWrite && opensQuietly(p->database)) {
    snprintf(deferredFile, sizeof deferredFile, "%s", p->database);
    return c;
  }
  c->db = openHandle(p->database, p->allowWrite, p->sessionStore ? c : nullptr, d);
  if (c->db == nullptr) {
    host->free(c);
    return nullptr;
  }
  return c;
}

void dropSessionRow(SqliteConn* c) {
  sqlite3_stmt* st = c->sessionRow;
  c->sessionRow = nullptr;
  sqlite3_finalize(st);
}

// The reader's queries are closed by now, or close it when they are
// (sqlite3_close_v2 waits for the last statement).
void dropReader(SqliteConn* c) {
  sqlite3* reader = c->reader;
  c->reader = nullptr;
  if (reader != nullptr) closeHandle(reader);
}

void sqClose(void* conn) {
  auto* c = static_cast<SqliteConn*>(conn);
  dropSessionRow(c);
  dropReader(c);
  if (c->db != nullptr) closeHandle(c->db);
  host->free(c);
}

// The request's transaction begins deferred: reading takes no write lock, so
// that a slow page that only reads keeps no writer waiting. The first update
// takes the lock (sqUpdate). A deferred connection opens its file first.
int sqBegin(void* conn, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  if (!ensureOpen(c, d)) return -1;
  return exec(c->db, "BEGIN", d);
}
// A connection that was never opened has no transaction to end.
int sqCommit(void* conn, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  if (c->db == nullptr) return 0;
  dropSessionRow(c);
  dropReader(c);
  return exec(c->db, "COMMIT", d);
}
int sqRollback(void* conn, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  if (c->db == nullptr) return 0;
  dropSessionRow(c);
  dropReader(c);
  return exec(c->db, "ROLLBACK", d);
}

bool holdsWriteLock(sqlite3* db) { return sqlite3_txn_state(db, "main") == SQLITE_TXN_WRITE; }

// A query on the handle is being read: it holds its snapshot.
bool reading(sqlite3* db) {
  for (sqlite3_stmt* st = sqlite3_next_stmt(db, nullptr); st != nullptr;
       st = sqlite3_next_stmt(db, st))
    if (sqlite3_stmt_busy(st)) return true;
  return false;
}

// The first update of a request under a read-committed level: the read
// transaction ends and a write transaction begins, waiting for the write
// lock through the busy timeout. SQLite never upgrades a snapshot that
// another writer has overtaken (it fails at once instead of waiting), and a
// query still being read keeps its snapshot on its handle; so then the writes
// move to a second handle, and the open queries finish reading the snapshot
// they began with, as a cursor does on PostgreSQL.
int beginWriting(SqliteConn* c, DbiDiag* d) {
  if (!reading(c->db)) {
    if (exec(c->db, "COMMIT", d) != 0) return -1;
    return exec(c->db, "BEGIN IMMEDIATE", d);
  }
  sqlite3* writer = openHandle(sqlite3_db_filename(c->db, "main"), c->allowWrite, nullptr, d);
  if (writer == nullptr) return -1;
  // COMMIT leaves the queries being read running on their snapshot.
  if (exec(writer, "BEGIN IMMEDIATE", d) != 0 || exec(c->db, "COMMIT", d) != 0) {
    closeHandle(writer);
    return -1;
  }
  // In this order: the time limit's interrupt may read both at any moment.
  c->reader = c->db;
  c->db = writer;
  return 0;
}

// ---- Queries --------------------------------------------------------------------

void* sqQuery(void* conn, const char* sql, int maxRows, DbiDiag* d) {
  sqlite3_stmt* st = prepare(static_cast<SqliteConn*>(conn), sql, d);
  if (st == nullptr) return nullptr;
  auto* s = static_cast<SqliteStmt*>(host->alloc(sizeof(SqliteStmt)));
  *s = SqliteStmt{st, maxRows, 0, false};
  return s;
}

int sqColumnCount(void* stmt) { return sqlite3_column_count(static_cast<SqliteStmt*>(stmt)->st); }
const char* sqColumnName(void* stmt, int i) {
  return sqlite3_column_name(static_cast<SqliteStmt*>(stmt)->st, i);
}

int sqFetch(void* stmt, DbiDiag* d) {
  auto* s = static_cast<SqliteStmt*>(stmt);
  if (s->done || (s->maxRows > 0 && s->fetched >= s->maxRows)) return 0;
  const int rc = sqlite3_step(s->st);
  if (rc == SQLITE_ROW) {
    s->fetched++;
    return 1;
  }
  s->done = true;
  if (rc == SQLITE_DONE) return 0;
  fromDb(sqlite3_db_handle(s->st), d);
  return -1;
}

// Typed per value, by its storage class.
int sqValueKind(void* stmt, int i) {
  switch (sqlite3_column_type(static_cast<SqliteStmt*>(stmt)->st, i)) {
    case SQLITE_NULL: return dvNull;
    case SQLITE_INTEGER: return dvInteger;
    case SQLITE_FLOAT: return dvReal;
    case SQLITE_TEXT:
    case SQLITE_BLOB: return dvText;
    default: return dvUnsupported;
  }
}
long long sqValueInteger(void* stmt, int i) {
  return sqlite3_column_int64(static_cast<SqliteStmt*>(stmt)->st, i);
}
double sqValueReal(void* stmt, int i) {
  return sqlite3_column_double(static_cast<SqliteStmt*>(stmt)->st, i);
}
const char* sqValueText(void* stmt, int i, int* length) {
  sqlite3_stmt* st = static_cast<SqliteStmt*>(stmt)->st;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
  *length = sqlite3_column_bytes(st, i);
  return text;
}

int sqCloseQuery(void* stmt, DbiDiag* /*d*/) {
  auto* s = static_cast<SqliteStmt*>(stmt);
  sqlite3_finalize(s->st);   // repeats a step error that was reported already
  host->free(s);
  return 0;
}

// ---- Updates ------------------------------------------------------------------------

// Every update counts as a write, and the request keeps the write lock from
// its first update to its end. Under a read-committed level that update
// begins the write transaction (beginWriting); under a snapshot level it
// upgrades the request's transaction in place, which SQLite refuses at once
// while another writer holds the lock or when one has committed since the
// snapshot was taken: an error page, never a lost update.
int sqUpdate(void* conn, const char* sql, int nparams, const DbiParam* params, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  if (!c->snapshot && !holdsWriteLock(c->db) && beginWriting(c, d) != 0) return -1;
  sqlite3_stmt* st = prepare(c, sql, d);
  if (st == nullptr) return -1;
  const int markers = sqlite3_bind_parameter_count(st);
  if (markers != nparams) {
    char text[128];
    snprintf(text, sizeof text, "the statement has %d host variables, %d values were given",
             markers, nparams);
    ownDiag(d, text);
    sqlite3_finalize(st);
    return -1;
  }
  for (int i = 0; i < nparams; ++i) {
    const int rc = params[i].text == nullptr
                       ? sqlite3_bind_null(st, i + 1)
                       : sqlite3_bind_text(st, i + 1, params[i].text, params[i].length,
                                           SQLITE_STATIC);
    if (rc != SQLITE_OK) {
      fromDb(c->db, d);
      sqlite3_finalize(st);
      return -1;
    }
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    fromDb(c->db, d);
    sqlite3_finalize(st);
    return -1;
  }
  sqlite3_finalize(st);
  return 0;
}

// Only sets flags that the running statement and a lock wait read.
void sqInterrupt(void* conn) {
  auto* c = static_cast<SqliteConn*>(conn);
  c->interrupted = 1;
  if (sqlite3* reader = c->reader) sqlite3_interrupt(reader);
  if (sqlite3* db = c->db) sqlite3_interrupt(db);
}

// ---- The session store ------------------------------------------------------------
// The whole file is locked by the session transaction (BEGIN IMMEDIATE):
// one request at a time holds a session; it lives in a file of its own
// (db/dbi.cpp) so that the pages' writes never wait for it.

constexpr char kSessionTable[] =
    "CREATE TABLE IF NOT EXISTS braxel_session ("
    "name text PRIMARY KEY, appkey text NOT NULL, client text NOT NULL, data blob NOT NULL, "
    "written text NOT NULL DEFAULT CURRENT_TIMESTAMP)";

int sqSessionTable(void* conn, DbiDiag* d) {
  sqlite3* db = static_cast<SqliteConn*>(conn)->db;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = "
                             "'braxel_session'", -1, &st, nullptr) != SQLITE_OK) {
    fromDb(db, d);
    return -1;
  }
  const int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc == SQLITE_ROW) return 0;
  if (rc != SQLITE_DONE) {
    fromDb(db, d);
    return -1;
  }
  return exec(db, kSessionTable, d);
}

int sqSessionBegin(void* conn, DbiDiag* d) {
  return exec(static_cast<SqliteConn*>(conn)->db, "BEGIN IMMEDIATE", d);
}

int sqSessionLoad(void* conn, const char* name, const unsigned char** data, size_t* size,
                  DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  dropSessionRow(c);
  sqlite3_stmt* st = prepare(c, "SELECT data FROM braxel_session WHERE name = ?1", d);
  if (st == nullptr) return -1;
  c->sessionRow = st;
  if (sqlite3_bind_text(st, 1, name, -1, SQLITE_TRANSIENT) != SQLITE_OK) {
    fromDb(c->db, d);
    return -1;
  }
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    fromDb(c->db, d);
    return -1;
  }
  // Any storage class reads as bytes; NULL as none, which no session is.
  *data = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
  *size = static_cast<size_t>(sqlite3_column_bytes(st, 0));
  return 1;
}

int sqSessionSave(void* conn, const DbiSessionRow* row, DbiDiag* d) {
  auto* c = static_cast<SqliteConn*>(conn);
  dropSessionRow(c);
  sqlite3_stmt* st = prepare(c,
                             "INSERT INTO braxel_session (name, appkey, client, data, written) "
                             "VALUES (?1, ?2, ?3, ?4, CURRENT_TIMESTAMP) ON CONFLICT (name) DO "
                             "UPDATE SET appkey = excluded.appkey, client = excluded.client, "
                             "data = excluded.data, written = excluded.written",
                             d);
  if (st == nullptr) return -1;
  // A null blob pointer would bind NULL.
  static const unsigned char kNone[1] = {0};
  int rc = sqlite3_bind_text(st, 1, row->name, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, 2, row->appKey, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(st, 3, row->client, -1, SQLITE_STATIC);
  if (rc == SQLITE_OK)
    rc = sqlite3_bind_blob64(st, 4, row->data != nullptr ? row->data : kNone, row->size,
                             SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc != SQLITE_DONE) fromDb(c->db, d);
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? 0 : -1;
}

const DbiBackendOps kSqliteOps{
    kDbiBackendAbi, "SQLite",      sqOpen,         sqClose,        sqBegin,
    sqCommit,       sqRollback,    sqQuery,        sqColumnCount,  sqColumnName,
    sqFetch,        sqValueKind,   sqValueInteger, sqValueReal,    sqValueText,
    sqCloseQuery,   sqUpdate,      sqInterrupt,    sqSessionTable, sqSessionBegin,
    sqSessionLoad,  sqSessionSave,
};

}  // namespace

const DbiBackendOps* DbiSqliteBackend(const DbiHostApi* hostApi) {
  host = hostApi;
  return &kSqliteOps;
}
