// session.cpp: sessions: the session variables `se` kept between requests
// in a binary file, or in a database row holding the same bytes
// (sessionstore=database), and the six session built-ins.
//
// File format (all integers little-endian; offsets count from the start of
// the tuple space):
//
//   header, 52 bytes
//     offset  size  field
//          0     4  magic       45098675 (0x02B026B3)
//          4     4  identCount  the writer's count of identifiers
//          8     4  spaceSize   size of the tuple space in bytes
//         12    20  clientIp    client address (see storedAddress),
//                               zero-terminated, zero-filled
//         32    20  appKey      application key, zero-terminated, zero-filled
//   identifier table: per field name used, in increasing number order:
//          0     2  number
//          2     2  length
//          4     n  the name's bytes (no terminator)
//     ended by four zero bytes
//   tuple space, spaceSize bytes: one block per tuple, depth-first pre-order
//   from the root at offset 0, each tuple stored once:
//          0     4  physsize (= logsize)
//          4     4  logsize
//          8     4  refcount (0)
//         12     4  offset of the field entries (block offset + 16)
//         16  16*n  field entries: name (4), type (2), flags (2), payload (8);
//                   a String's payload is its text offset (4) and size (4),
//                   a Tuple's the offset of its block (4)
//          .     .  the texts of the String fields, each followed by a zero
//          .     .  zero bytes up to a multiple of 4
//   Bytes after the tuple space (an earlier, longer session) are ignored.
//
// Loading checks every count, length and offset; a file that does not hold
// together is unreadable and the built-in returns false. Loaded tuples live
// in one block (the session tuple space) that is never freed piecemeal.
//
// Writing never touches the previous file: the new session goes into a fresh
// file beside it, which takes the name by rename only once it is complete and
// on disk. A full disk therefore costs the new data, never the old. Requests
// are serialised by flock on the session file itself; since its inode changes
// with every write, a request that has waited for the lock checks that the
// name still leads to the file it holds, and opens it again otherwise. (The
// database store's locks are described at its section.)
#include "session/session.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/dbi.h"
#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "frontend/tree.h"
#include "interp/builtins.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/strings.h"

namespace {

constexpr uint32_t kMagic = 45098675;
constexpr size_t kHeaderSize = 52;
constexpr size_t kTextField = 20;
constexpr size_t kRecordSize = 16;
constexpr size_t kFieldSize = 16;
constexpr char kDigestMark = '#';
// A file replaced this often while we waited for its lock is given up.
constexpr int kMaxReopen = 1000;

// Containers of the session code charge the request's budget like every
// other allocation of the system's own data.
using Alloc = BudgetAllocator<char>;
using Bytes = std::vector<uint8_t, BudgetAllocator<uint8_t>>;
using Text = std::basic_string<char, std::char_traits<char>, Alloc>;
template <class T>
using Vec = std::vector<T, BudgetAllocator<T>>;
template <class K, class V>
using Map = std::unordered_map<K, V, std::hash<K>, std::equal_to<K>,
                               BudgetAllocator<std::pair<const K, V>>>;

Bytes encodeSession(Globals* G, Value tuple, const char* appKey);
int decodeSession(Globals* G, Value* cell, const char* appKey, const uint8_t* data, size_t size);

// ---------------------------------------------------------------------------
// Little-endian encoding

void put32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; i++) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(Bytes* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void putText(Bytes* out, const char* text, size_t width) {
  const size_t n = text != nullptr ? strnlen(text, width - 1) : 0;
  for (size_t i = 0; i < width; i++) out->push_back(i < n ? static_cast<uint8_t>(text[i]) : 0);
}
uint32_t get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
// Tuple blocks are word-aligned (a space over 2 GB never gets this far: the
// budget refuses its tuples first).
uint32_t align4(uint32_t n) { return static_cast<uint32_t>(Align(static_cast<int>(n))); }
size_t align8(size_t n) { return (n + 7) & ~size_t{7}; }

// The first 19 bytes of a text, as a header field holds it.
std::string_view cut19(const char* text) {
  return text != nullptr ? std::string_view(text, strnlen(text, kTextField - 1)) : std::string_view();
}

// The client address as the header stores it. An address that fits the field
// (every IPv4 address, "static", the shortest IPv6 ones) is stored as it is,
// so files written for such clients keep their bytes. A longer one becomes
// "#" and 18 characters (108 bits) of a SHA-256 digest of the whole address:
// its first 19 bytes alone are shared by a whole IPv6 /64 network. An address
// beginning with "#" is digested too, so a stored address never passes for a
// digest.
Text storedAddress(Globals* G, const char* address) {
  const Alloc alloc(G);
  if (address == nullptr) return Text(alloc);
  if (std::strlen(address) < kTextField && address[0] != kDigestMark) return Text(address, alloc);
  // SHA-256-crypt with a fixed salt and its fewest rounds: a plain digest.
  const char* hash = crypt(address, "$5$rounds=1000$braxelclientip$");
  const char* digest = hash != nullptr ? std::strrchr(hash, '$') : nullptr;
  // Without a digest the whole address is returned: no stored field can
  // hold it, so the check fails closed.
  if (digest == nullptr || std::strlen(digest + 1) < kTextField - 2) return Text(address, alloc);
  return kDigestMark + Text(digest + 1, kTextField - 2, alloc);
}

// A field written before whole addresses were compared: the first 19 bytes
// of the current, longer address. It cannot tell the client from its network
// neighbours.
bool cutAddress(std::string_view stored, const char* address) {
  return stored.size() == kTextField - 1 && stored[0] != kDigestMark && address != nullptr &&
         std::strlen(address) >= kTextField &&
         stored.compare(0, stored.size(), address, stored.size()) == 0;
}

// ---------------------------------------------------------------------------
// Writing

// Lays the tuples out in depth-first pre-order (an explicit stack keeps deep
// structures off the machine stack) and returns the tuples in that order with
// their offsets.
struct Layout {
  explicit Layout(Alloc alloc) : order(alloc), offset(alloc) {}
  Vec<Tuple*> order;
  Map<const Tuple*, uint32_t> offset;
  uint32_t size = 0;
};

Layout layOut(Globals* G, Tuple* root) {
  const Alloc alloc(G);
  Layout layout(alloc);
  Vec<Tuple*> stack(1, root, alloc);
  while (!stack.empty()) {
    Tuple* t = stack.back();
    stack.pop_back();
    if (layout.offset.count(t)) continue;
    layout.offset[t] = layout.size;
    layout.order.push_back(t);
    uint32_t size = kRecordSize + kFieldSize * static_cast<uint32_t>(t->logsize);
    for (int32_t i = 0; i < t->logsize; i++)
      if (t->fields[i].v.type == tString)
        size += (t->fields[i].v.val.str != nullptr
                     ? static_cast<uint32_t>(t->fields[i].v.size)
                     : 0) + 1;
    layout.size = align4(layout.size + size);
    for (int32_t i = t->logsize - 1; i >= 0; i--)
      if (t->fields[i].v.type == tTuple) stack.push_back(t->fields[i].v.val.tuple.t);
  }
  return layout;
}

void writeBlock(const Layout& layout, const Tuple* t, Bytes* out, size_t spaceStart,
                const Map<Ident, uint32_t>& fileIdent) {
  const uint32_t base = layout.offset.at(t);
  const uint32_t n = static_cast<uint32_t>(t->logsize);
  put32(out, n);
  put32(out, n);
  put32(out, 0);
  put32(out, base + kRecordSize);
  uint32_t text = base + kRecordSize + kFieldSize * n;
  for (uint32_t i = 0; i < n; i++) {
    const Field& f = t->fields[i];
    put32(out, f.name == 0 ? 0 : fileIdent.at(f.name));
    put16(out, f.v.type);
    put16(out, static_cast<uint16_t>(f.v.flags & ~VF_TEMP));
    switch (f.v.type) {
      case tInteger:
      case tBoolean:
        put32(out, static_cast<uint32_t>(f.v.val.Integer));
        put32(out, 0);
        break;
      case tReal: {
        uint64_t bits;
        std::memcpy(&bits, &f.v.val.Real, sizeof bits);
        put32(out, static_cast<uint32_t>(bits));
        put32(out, static_cast<uint32_t>(bits >> 32));
        break;
      }
      case tString: {
        const uint32_t size = f.v.val.str != nullptr ? static_cast<uint32_t>(f.v.size) : 0;
        put32(out, text);
        put32(out, size);
        text += size + 1;
        break;
      }
      case tTuple:
        put32(out, layout.offset.at(f.v.val.tuple.t));
        put32(out, 0);
        break;
      default:
        put32(out, 0);
        put32(out, 0);
        break;
    }
  }
  for (uint32_t i = 0; i < n; i++) {
    const Value& v = t->fields[i].v;
    if (v.type != tString) continue;
    if (v.val.str != nullptr)
      out->insert(out->end(), v.val.str, v.val.str + v.size);
    out->push_back(0);
  }
  while ((out->size() - spaceStart) % 4 != 0) out->push_back(0);
}

// ---------------------------------------------------------------------------
// Reading: the raw tuple space is checked and rebuilt into one block of
// ordinary tuples (the session tuple space).

struct RawTuple {
  uint32_t fields;   // offset of the entries
  uint32_t count;
};

class SpaceReader {
 public:
  SpaceReader(Globals* G, const uint8_t* space, size_t size, const Map<uint32_t, Ident>& map)
      : alloc_(G), space_(space), size_(size), map_(map), blocks_(alloc_), order_(alloc_) {}

  // Checks every block reachable from offset 0; false when anything does not
  // hold together. Computes the size of the rebuilt block.
  bool check() {
    Vec<uint32_t> stack(1, 0, alloc_);
    while (!stack.empty()) {
      const uint32_t off = stack.back();
      stack.pop_back();
      if (blocks_.count(off)) continue;
      if (off % 4 != 0 || !inside(off, kRecordSize)) return false;
      const uint8_t* p = &space_[off];
      const uint32_t count = get32(p + 4);
      const uint32_t fields = get32(p + 12);
      // count * 16 cannot overflow a size_t: the bounds check limits count.
      if (fields % 4 != 0 || !inside(fields, static_cast<size_t>(count) * kFieldSize)) return false;
      blocks_[off] = RawTuple{fields, count};
      order_.push_back(off);
      needed_ += align8(sizeof(Tuple)) + align8(sizeof(Field) * count);
      charged_ += align8(sizeof(Tuple)) + align8(kFieldRecordCharge * count);
      Vec<uint32_t> children(alloc_);
      for (uint32_t i = 0; i < count; i++) {
        const uint8_t* f = &space_[fields + i * kFieldSize];
        const uint32_t name = get32(f);
        const uint16_t type = get16(f + 4);
        if (name != 0 && !map_.count(name)) return false;
        if (type > tTuple) return false;
        if (type == tString) {
          const uint32_t text = get32(f + 8);
          const uint32_t size = get32(f + 12);
          // The size limit matters only for a tuple space over 2 GB, which the
          // default memory budget already refuses.
          if (size > static_cast<uint32_t>(INT32_MAX) || !inside(text, static_cast<size_t>(size) + 1))
            return false;
          needed_ += align8(size + 1);
          charged_ += align8(size + 1);
        } else if (type == tTuple) {
          children.push_back(get32(f + 8));
        }
      }
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    return true;
  }

  size_t needed() const { return needed_; }
  // What the block is charged to the budget.
  size_t charged() const { return charged_; }

  // Builds the tuples into the block and returns the root.
  Tuple* build(char* block) {
    Map<uint32_t, Tuple*> made(alloc_);
    char* next = block;
    auto take = [&next](size_t n) {
      char* p = next;
      next += align8(n);
      return p;
    };
    for (uint32_t off : order_) {
      Tuple* t = reinterpret_cast<Tuple*>(take(sizeof(Tuple)));
      made[off] = t;
    }
    for (uint32_t off : order_) {
      const RawTuple& raw = blocks_.at(off);
      Tuple* t = made.at(off);
      t->physsize = static_cast<int32_t>(raw.count);
      t->logsize = static_cast<int32_t>(raw.count);
      t->refcount = kSessionRefcount;
      t->stamp = vNewStamp();
      t->fields = reinterpret_cast<Field*>(take(sizeof(Field) * raw.count));
      for (uint32_t i = 0; i < raw.count; i++) {
        const uint8_t* f = &space_[raw.fields + i * kFieldSize];
        Field& field = t->fields[i];
        const uint32_t name = get32(f);
        field.name = name == 0 ? 0 : map_.at(name);
        field.v.type = get16(f + 4);
        field.v.flags = static_cast<uint16_t>(get16(f + 6) & VF_READONLY);
        field.v.size = 0;
        std::memset(&field.v.val, 0, sizeof field.v.val);
        switch (field.v.type) {
          case tInteger:
          case tBoolean:
            field.v.val.Integer = static_cast<int32_t>(get32(f + 8));
            break;
          case tReal: {
            const uint64_t bits = uint64_t{get32(f + 8)} | uint64_t{get32(f + 12)} << 32;
            std::memcpy(&field.v.val.Real, &bits, sizeof bits);
            break;
          }
          case tString: {
            const uint32_t text = get32(f + 8);
            const uint32_t size = get32(f + 12);
            char* s = take(size + 1);
            std::memcpy(s, &space_[text], size);
            s[size] = '\0';
            field.v.val.str = s;
            field.v.size = static_cast<int32_t>(size);
            break;
          }
          case tTuple:
            field.v.val.tuple.t = made.at(get32(f + 8));
            break;
          default:
            break;
        }
      }
    }
    return made.at(0);
  }

 private:
  bool inside(size_t off, size_t n) const { return off <= size_ && n <= size_ - off; }

  const Alloc alloc_;
  const uint8_t* space_;   // the stored tuple space
  size_t size_;
  const Map<uint32_t, Ident>& map_;
  Map<uint32_t, RawTuple> blocks_;
  Vec<uint32_t> order_;
  size_t needed_ = 0;
  size_t charged_ = 0;
};

// ---------------------------------------------------------------------------
// Arguments and session names

// Evaluates argument i and returns its text; fatal when it is not a String.
Text stringArgument(Globals* G, Token** argv, int i, const char* message) {
  Value v = eval(G, argv[i]);
  if (v.type != tString) dbhFunError(G, message);
  Text text{Alloc(G)};
  if (v.val.str != nullptr) text.assign(v.val.str, v.size);
  ReleaseIfTemp(G, &v);
  return text;
}

// The session directory joined with a checked file name. Session names are
// checked the same way when sessions live in the database, so that a name
// refused with one store is refused with the other.
Text sessionPath(Globals* G, const Text& name) {
  Text dir(Cfg(G).sessiondir != nullptr ? Cfg(G).sessiondir : "/tmp", Alloc(G));
  if (dir.size() + name.size() > 250) dbhFunError(G, "Sessionfilename is to long.");
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (!name.empty() && name[0] == '/') dbhFunError(G, "Sessionfilename can not be an absolute path.");
  if (name.find("..") != Text::npos) dbhFunError(G, "Sessionfilename may not contain ..");
  return dir + "/" + name;
}

// ---------------------------------------------------------------------------
// Sessions in the database (sessionstore=database)
//
// A session is one row of braxel_session holding the bytes a session file
// would hold, so both stores load and refuse exactly the same sessions. The
// binding keeps the rows on a connection of their own (db/dbi.cpp): the
// page's transaction and the session's are independent. The session
// transaction's row lock stands in for the file's flock: sessioniOpen holds
// it until sessioniClose or sessioniAbort, and a request that ends without
// them releases it with its connection. Writes made while a session is held
// (sessioniCreate) join its transaction and are stored when it ends, or at
// the end of the request. A failure of the database ends the request with
// the database error page, naming the function.

bool inDatabase(Globals* G) { return Cfg(G).sessionstore == kSessionStoreDatabase; }

// A failure of the database (a lock wait the time limit ended included).
[[noreturn]] void storeFailed(Globals* G, const char* function, Position pos) {
  dbhDatabaseError(G, function, pos);
}

// Ends the session transaction when no row is held: it stores what the
// call wrote and releases what it locked.
void endUnlessHeld(Globals* G, const char* function, Position pos) {
  if (!G->session->X_rowHeld && dbiSessionEnd(G) != 0) storeFailed(G, function, pos);
}

// Gives up the held row without writing it (its transaction ends).
void releaseRow(Globals* G, const char* function, Position pos) {
  SessionRec* s = G->session;
  if (!s->X_rowHeld) return;
  s->X_rowHeld = false;
  if (dbiSessionEnd(G) != 0) storeFailed(G, function, pos);
}

// Locks the row name and loads it into se: 1 loaded, 0 no such row, -1 a
// row that is no session (damaged).
int loadRow(Globals* G, const Text& name, const Text& key, const char* function, Position pos) {
  if (os_TimeLimitSpent()) TimeLimitExceeded(G, pos);
  const uint8_t* data = nullptr;
  size_t size = 0;
  const int found = dbiSessionLoad(G, name.c_str(), &data, &size);
  if (found < 0) storeFailed(G, function, pos);
  if (found == 0) return 0;
  return decodeSession(G, &G->value->se, key.c_str(), data, size) == 0 ? 1 : -1;
}

// Writes se as the row name, inside the session transaction.
void saveRow(Globals* G, const Text& name, const Text& key, const char* function, Position pos) {
  if (os_TimeLimitSpent()) TimeLimitExceeded(G, pos);
  const Bytes data = encodeSession(G, G->value->se, key.c_str());
  const char* client = serverRemoteIp();
  if (dbiSessionSave(G, name.c_str(), key.c_str(), client != nullptr ? client : "", data.data(),
                     data.size()) != 0)
    storeFailed(G, function, pos);
}

bool openRow(Globals* G, const Text& name, const Text& key, Position pos) {
  SessionRec* s = G->session;
  releaseRow(G, "sessioniOpen", pos);
  const int loaded = loadRow(G, name, key, "sessioniOpen", pos);
  if (loaded == 0) {
    endUnlessHeld(G, "sessioniOpen", pos);
    return false;
  }
  // A damaged row stays locked, as a damaged file does: sessioniClose
  // replaces it with a well-formed session.
  s->X_rowHeld = true;
  std::snprintf(s->X_path, sizeof s->X_path, "%s", name.c_str());
  return loaded > 0;
}

bool readRow(Globals* G, const Text& name, const Text& key, Position pos) {
  const int loaded = loadRow(G, name, key, "sessioniRead", pos);
  endUnlessHeld(G, "sessioniRead", pos);
  return loaded > 0;
}

bool closeRow(Globals* G, const Text& key, Position pos) {
  SessionRec* s = G->session;
  if (!s->X_rowHeld) return false;
  saveRow(G, Text(s->X_path, Alloc(G)), key, "sessioniClose", pos);
  s->X_rowHeld = false;
  if (dbiSessionEnd(G) != 0) storeFailed(G, "sessioniClose", pos);
  return true;
}

bool createRow(Globals* G, const Text& name, const Text& key, Position pos) {
  saveRow(G, name, key, "sessioniCreate", pos);
  endUnlessHeld(G, "sessioniCreate", pos);
  return true;
}

// ---------------------------------------------------------------------------
// Session files

void closeSession(Globals* G) {
  SessionRec* s = G->session;
  if (s->X_file != nullptr) {
    flock(fileno(s->X_file), LOCK_UN);
    std::fclose(s->X_file);
    s->X_file = nullptr;
  }
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when fd is the session file this request holds open and locked: a
// second flock on it through another descriptor would wait for ever.
bool heldOpen(Globals* G, int fd) {
  FILE* current = G->session->X_file;
  struct stat a, b;
  return current != nullptr && fstat(fileno(current), &a) == 0 && fstat(fd, &b) == 0 &&
         sameFile(a, b);
}

// Takes the lock op on fd, waiting no longer than the request's time limit
// allows: a blocking flock would outlast it, since the alarm restarts the
// call. The descriptor is closed before the request ends.
void lockInTime(Globals* G, int fd, int op) {
  for (int round = 0; flock(fd, op | LOCK_NB) != 0; ++round) {
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (os_TimeLimitSpent()) {
      close(fd);
      TimeLimitExceeded(G, G->dbhtml->X_MsgPos);
    }
    usleep(round < 50 ? 1000 : 10000);
  }
}

// Opens path for reading and writing and takes the lock op (LOCK_EX or
// LOCK_SH). A writer renames a new file over the name, so the file a waiting
// request finally locks may be one that has just been replaced: then the name
// is opened again. With create, a missing file is made (empty) and *created
// says so. Null when the file cannot be opened.
FILE* openLocked(Globals* G, const char* path, int op, bool create, bool* created) {
  for (int attempt = 0; attempt < kMaxReopen; attempt++) {
    bool made = false;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST) continue;   // made by another request meanwhile
      made = fd >= 0;
    }
    if (fd < 0) return nullptr;
    if (!heldOpen(G, fd)) lockInTime(G, fd, op);
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && sameFile(held, named)) {
      FILE* f = fdopen(fd, "r+b");
      if (f == nullptr) {
        if (made) unlink(path);
        close(fd);
        return nullptr;
      }
      if (created != nullptr) *created = made;
      return f;
    }
    close(fd);
  }
  return nullptr;
}

// Writes the session into a new file beside path and renames it over path,
// so that path holds the previous session, whole, until the new one is
// complete and on disk. The new file gets mode. With kept, it is locked
// before it takes the name and stays open in *kept, so that the request goes
// on holding the session. False on any failure; path is then untouched.
bool replaceSession(Globals* G, const char* path, const Text& key, mode_t mode, FILE** kept) {
  Text temp = Text(path, Alloc(G)) + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  FILE* f = fdopen(fd, "r+b");
  if (f == nullptr) {
    close(fd);
    unlink(temp.c_str());
    return false;
  }
  if (kept != nullptr) flock(fd, LOCK_EX);
  SessionRec* s = G->session;
  FILE* saved = s->X_file;
  s->X_file = f;
  bool ok = WriteSessionFile(G, G->value->se, key.c_str()) == 0 && fchmod(fd, mode) == 0 &&
            fsync(fd) == 0;
  s->X_file = saved;
  if (kept == nullptr || !ok) {
    ok = std::fclose(f) == 0 && ok;   // closed in any case
    f = nullptr;
  }
  if (ok && std::rename(temp.c_str(), path) != 0) ok = false;
  if (!ok) {
    if (f != nullptr) std::fclose(f);
    unlink(temp.c_str());
    return false;
  }
  if (kept != nullptr) *kept = f;
  return true;
}

// The permission bits of an open file, which its replacement takes over.
bool modeOf(FILE* f, mode_t* mode) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  *mode = st.st_mode & 07777;
  return true;
}

Value* setBoolean(Value* result, bool b) {
  *result = MakeBoolean(b);
  return result;
}

// ---------------------------------------------------------------------------
// The built-ins

Value* biSessioniOpen(Value* result, Globals* G, int, Token** argv) {
  const Position pos = G->dbhtml->X_MsgPos;
  const Text name = stringArgument(G, argv, 0, "Sessionfilename must be a String");
  const Text key = stringArgument(G, argv, 1, "Sessionappkey must be a String");
  const Text path = sessionPath(G, name);
  if (inDatabase(G)) return setBoolean(result, openRow(G, name, key, pos));
  closeSession(G);
  FILE* f = openLocked(G, path.c_str(), LOCK_EX, false, nullptr);
  if (f == nullptr) return setBoolean(result, false);
  G->session->X_file = f;
  std::snprintf(G->session->X_path, sizeof G->session->X_path, "%s", path.c_str());
  return setBoolean(result, ReadSessionFile(G, &G->value->se, key.c_str()) == 0);
}

Value* biSessioniRead(Value* result, Globals* G, int, Token** argv) {
  const Position pos = G->dbhtml->X_MsgPos;
  const Text name = stringArgument(G, argv, 0, "Sessionfilename must be a String");
  const Text key = stringArgument(G, argv, 1, "Sessionappkey must be a String");
  // The name as given: a session's name with the database, a path with files.
  if (inDatabase(G)) return setBoolean(result, readRow(G, name, key, pos));
  FILE* f = openLocked(G, name.c_str(), LOCK_SH, false, nullptr);
  if (f == nullptr) return setBoolean(result, false);
  FILE* saved = G->session->X_file;
  G->session->X_file = f;
  const int rc = ReadSessionFile(G, &G->value->se, key.c_str());
  G->session->X_file = saved;
  std::fclose(f);
  return setBoolean(result, rc == 0);
}

Value* biSessioniClose(Value* result, Globals* G, int, Token** argv) {
  const Position pos = G->dbhtml->X_MsgPos;
  const Text key = stringArgument(G, argv, 0, "Sessionappkey must be a String");
  if (inDatabase(G)) return setBoolean(result, closeRow(G, key, pos));
  SessionRec* s = G->session;
  if (s->X_file == nullptr) return setBoolean(result, false);
  mode_t mode = 0;
  const bool ok = modeOf(s->X_file, &mode) && replaceSession(G, s->X_path, key, mode, nullptr);
  closeSession(G);   // the lock goes only once the new session has the name
  return setBoolean(result, ok);
}

Value* biSessioniAbort(Value* result, Globals* G, int, Token**) {
  releaseRow(G, "sessioniAbort", G->dbhtml->X_MsgPos);
  closeSession(G);
  return setBoolean(result, true);
}

Value* biSessioniCreate(Value* result, Globals* G, int, Token** argv) {
  const Position pos = G->dbhtml->X_MsgPos;
  const Text name = stringArgument(G, argv, 0, "Sessionfilename must be a String");
  const Text key = stringArgument(G, argv, 1, "Sessionappkey must be a String");
  const Text path = sessionPath(G, name);
  if (inDatabase(G)) return setBoolean(result, createRow(G, name, key, pos));
  // The lock of the existing file (or of an empty one made for the purpose)
  // makes a create wait for a request that holds the session open.
  bool created = false;
  FILE* f = openLocked(G, path.c_str(), LOCK_EX, true, &created);
  if (f == nullptr) return setBoolean(result, false);
  // When this request holds the session, the new file goes on holding it.
  const bool held = heldOpen(G, fileno(f));
  FILE* kept = nullptr;
  mode_t mode = 0;
  const bool ok =
      modeOf(f, &mode) && replaceSession(G, path.c_str(), key, mode, held ? &kept : nullptr);
  if (!ok && created) unlink(path.c_str());   // an empty file is no session
  std::fclose(f);
  if (kept != nullptr) {
    closeSession(G);
    G->session->X_file = kept;
    std::snprintf(G->session->X_path, sizeof G->session->X_path, "%s", path.c_str());
  }
  return setBoolean(result, ok);
}

Value* biSessioniDelete(Value* result, Globals* G, int, Token** argv) {
  stringArgument(G, argv, 0, "session dir must be a String");
  stringArgument(G, argv, 1, "session file pattern must be a String");
  Value hours = eval(G, argv[2]);
  if (hours.type != tInteger)
    dbhFunError(G, "hours that must have been passed since last write access to session file must be an Integer");
  *result = MakeInteger(0);
  return result;
}

const FunctionTableRow sebitab[] = {
    {"sessioniOpen", biSessioniOpen, 2, 2},     {"sessioniRead", biSessioniRead, 2, 2},
    {"sessioniClose", biSessioniClose, 1, 1},   {"sessioniAbort", biSessioniAbort, 0, 0},
    {"sessioniCreate", biSessioniCreate, 2, 2}, {"sessioniDelete", biSessioniDelete, 3, 3},
    {"", nullptr, 0, 0},
};

}  // namespace

// ---------------------------------------------------------------------------
// Module record

void sessionInitializeGV(Globals* G) {
  G->session = bxNew<SessionRec>(G);
  dbhRegisterFunctions(G, sebitab);
}

void sessionFinalizeGV(Globals* G) {
  if (G->session == nullptr) return;
  // An open session is not written: its file is closed and its lock
  // released, as the end of a CGI process would, so that a process that
  // serves further requests does not keep it.
  closeSession(G);
  for (SessionSpace* s = G->session->X_previous; s != nullptr;) {
    SessionSpace* next = s->next;
    bxFree(s->start);
    bxFree(s);
    s = next;
  }
  bxFree(G->session->X_tupleSpace);
  bxDelete(G->session);
  G->session = nullptr;
}

void sessionEndProcess(Globals* G) {
  if (G->session != nullptr) closeSession(G);
}

bool InSessionSpaces(Globals* G, const void* p) {
  const SessionRec* s = G->session;
  if (s == nullptr) return false;
  const char* c = static_cast<const char*>(p);
  if (s->X_tupleSpace != nullptr && c >= s->X_tupleSpace && c < s->X_tupleSpace + s->X_tupleSpaceSize)
    return true;
  for (const SessionSpace* e = s->X_previous; e != nullptr; e = e->next)
    if (c >= e->start && c < e->start + e->size) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Encoding and decoding: a session's bytes, in a file or in a database row

namespace {

Bytes encodeSession(Globals* G, Value tuple, const char* appKey) {
  SessionRec* s = G->session;
  Value root = tuple;
  Value empty{};
  if (root.type != tTuple) {
    iVTuple(G, &empty);
    root = empty;
  }
  const Alloc alloc(G);
  const Layout layout = layOut(G, root.val.tuple.t);

  // Field names: the writer's numbers, or, when a number does not fit the
  // table's 16 bits, a dense renumbering (the table maps either back).
  Vec<Ident> used(alloc);
  {
    Map<Ident, bool> seen(alloc);
    for (const Tuple* t : layout.order)
      for (int32_t i = 0; i < t->logsize; i++)
        if (t->fields[i].name != 0 && !seen.count(t->fields[i].name)) {
          seen[t->fields[i].name] = true;
          used.push_back(t->fields[i].name);
        }
  }
  std::sort(used.begin(), used.end());
  const bool renumber = !used.empty() && used.back() > 0xFFFF;
  Map<Ident, uint32_t> fileIdent(alloc);
  for (size_t i = 0; i < used.size(); i++)
    fileIdent[used[i]] = renumber ? static_cast<uint32_t>(i + 1) : used[i];

  Bytes out(alloc);
  out.reserve(kHeaderSize + layout.size + 64);
  put32(&out, kMagic);
  put32(&out, renumber ? static_cast<uint32_t>(used.size()) : MaxIdent(G));
  put32(&out, layout.size);
  putText(&out, storedAddress(G, serverRemoteIp()).c_str(), kTextField);
  putText(&out, appKey, kTextField);
  for (Ident id : used) {
    const uint32_t length = std::min<uint32_t>(GetLengthIdent(G, id), 0xFFFF);
    put16(&out, static_cast<uint16_t>(fileIdent[id]));
    put16(&out, static_cast<uint16_t>(length));
    const char* name = GetStringIdent(G, id);
    out.insert(out.end(), name, name + length);
  }
  put32(&out, 0);
  const size_t spaceStart = out.size();
  for (const Tuple* t : layout.order) writeBlock(layout, t, &out, spaceStart, fileIdent);
  bxAssert(G, out.size() - spaceStart == layout.size, "out.size() - spaceStart == layout.size",
           {"session"});
  s->X_fpos = layout.size;
  if (empty.type == tTuple) ReleaseValue(G, &empty);
  return out;
}

// Loads a session's bytes into cell: 0, or -1 when they are no session or
// do not hold together. Nothing is read outside data[0, size).
int decodeSession(Globals* G, Value* cell, const char* appKey, const uint8_t* data,
                  size_t size) {
  if (size < kHeaderSize || get32(data) != kMagic) return -1;
  const uint32_t spaceSize = get32(data + 8);
  char storedIp[kTextField + 1] = {};
  char storedKey[kTextField + 1] = {};
  std::memcpy(storedIp, data + 12, kTextField);
  std::memcpy(storedKey, data + 32, kTextField);

  if (SwitchNotOff(Cfg(G).sessionipcheck) && storedIp != storedAddress(G, serverRemoteIp())) {
    // Unreadable rather than refused: the template can start a new session.
    if (cutAddress(storedIp, serverRemoteIp())) return -1;
    dbhFunError(G, "Security check, session continued from a different IP.");
  }
  if (cut19(storedKey) != cut19(appKey)) dbhFunError(G, "Security check, wrong session application.");

  // Identifier map: stored number -> identifier of this process.
  const Alloc alloc(G);
  Map<uint32_t, Ident> map(alloc);
  const uint32_t identCount = get32(data + 4);
  size_t at = kHeaderSize;
  for (;;) {
    if (size - at < 4) return -1;
    const uint16_t number = get16(data + at);
    const uint16_t length = get16(data + at + 2);
    at += 4;
    if (number == 0) break;
    if (number > identCount || size - at < length) return -1;
    map[number] = MakeIdent(G, reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  // A space too small for the root's record fails the block checks below.
  if (spaceSize > size - at) return -1;
  SpaceReader reader(G, data + at, spaceSize, map);
  if (!reader.check()) return -1;

  // The previous block stays valid: tuples loaded from it may still be held.
  SessionRec* s = G->session;
  if (s->X_tupleSpace != nullptr) {
    SessionSpace* old = static_cast<SessionSpace*>(bxAlloc(G, sizeof(SessionSpace)));
    *old = SessionSpace{s->X_previous, s->X_tupleSpace, s->X_tupleSpaceSize};
    s->X_previous = old;
  }
  const size_t needed = reader.needed() + 1;
  char* block = static_cast<char*>(bxAllocAs(G, needed, reader.charged() + 1));
  s->X_tupleSpace = block;
  s->X_tupleSpaceSize = needed;
  vNoteSessionSpace(block, needed);
  Tuple* root = reader.build(block);
  // The loaded tuple takes the place of what the cell held.
  ReleaseValue(G, cell);
  cell->type = tTuple;
  cell->flags = 0;
  cell->val.tuple.t = root;
  return 0;
}

}  // namespace

int WriteSessionFile(Globals* G, Value tuple, const char* appKey) {
  FILE* f = G->session->X_file;
  const Bytes out = encodeSession(G, tuple, appKey);
  const bool written = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  const bool flushed = std::fflush(f) == 0;
  return written && flushed ? 0 : -1;
}

// The whole file is read, and charged: a huge file ends at the memory limit.
int ReadSessionFile(Globals* G, Value* cell, const char* appKey) {
  FILE* f = G->session->X_file;
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || st.st_size < 0) return -1;   // NEVER: f is an open file
  Bytes data(static_cast<size_t>(st.st_size), 0, Alloc(G));
  // The file does not change while we hold it: writers replace it by rename.
  if (std::fread(data.data(), 1, data.size(), f) != data.size()) return -1;
  return decodeSession(G, cell, appKey, data.data(), data.size());
}
