// debug.cpp: debug mode, position links, and the variable display (the
// context of the error pages and the tuple display).
#include "diag/debug.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "diag/display.h"
#include "diag/sourcedisplay.h"
#include "driver/cgi.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "frontend/tree.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"

// Calls deeper than this are not listed (the frames form a chain; the
// bound only guards against a damaged one).
static constexpr int kMaxListedLevels = 100000;

// ---------------------------------------------------------------------------
// Debug mode
// ---------------------------------------------------------------------------

// True when the ';'-separated list has an entry equal to word (exactly).
static bool listHas(const char* list, const char* word) {
  if (list == nullptr || word == nullptr) return false;
  const size_t n = std::strlen(word);
  const char* p = list;
  while (*p) {
    while (*p == ';') ++p;
    const char* start = p;
    while (*p && *p != ';') ++p;
    const size_t len = static_cast<size_t>(p - start);
    if (len > 0 && len == n && std::memcmp(start, word, n) == 0) return true;
  }
  return false;
}

// True when the address is one of the addresses of the host's own name.
static bool isOwnAddress(Globals* G, const char* address) {
  DisplayState* d = G->Errors->display;
  if (d->localhostAnswer >= 0) return d->localhostAnswer == 1;
  bool found = false;
  char host[256];
  if (gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = '\0';
    const hostent* h = gethostbyname(host);
    if (h && h->h_addrtype == AF_INET && h->h_length == 4) {
      for (char** a = h->h_addr_list; a && *a && !found; ++a) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(*a);
        char text[32];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        found = std::strcmp(text, address) == 0;
      }
    }
  }
  d->localhostAnswer = found ? 1 : 0;
  return found;
}

// The loopback addresses a web server reports for a browser on this
// machine: IPv4, IPv6, and IPv4 seen through an IPv6 socket.
static bool isLoopback(const char* address) {
  return std::strcmp(address, "127.0.0.1") == 0 || std::strcmp(address, "::1") == 0 ||
         std::strcmp(address, "::ffff:127.0.0.1") == 0;
}

bool IsDebugMode(Globals* G) {
  const ResourceConfig& c = Cfg(G);
  const char* a = serverRemoteIp();
  if (a && c.debugip && *c.debugip) {
    if (listHas(c.debugip, a) || listHas(c.debugip, "*insecure*")) return true;
    if (listHas(c.debugip, "localhost") &&
        (isLoopback(a) || isOwnAddress(G, a))) {
      return true;
    }
  }
  if (a && std::strcmp(a, "static") == 0) return true;
  const char* user = serverRemoteUser();
  if (user && c.debuguser && *c.debuguser && listHas(c.debuguser, user)) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Position links
// ---------------------------------------------------------------------------

static bool hasSource(const char* file) {
  return file != nullptr && std::strstr(file, "* DYN") == nullptr;
}

void WriteSourceLinkStart(Globals* G) {
  FILE* out = ErrOut(G);
  const char* own = serverOwnLink();
  serverPuts("<a href=\"", out);
  if (own) wwwputs(G, own);
  serverPuts("?$debug=pp", out);
  // An application that picks its template with the field braxel needs it
  // again, or the display would look for the program's own template.
  const char* braxel = G->value ? GetFormString(G, "braxel") : nullptr;
  if (braxel != nullptr) {
    serverPuts("&braxel=", out);
    wwwputurl(G, braxel);
  }
  serverPuts("&$file=", out);
}

void DisplayPosition(Globals* G, Position pos) {
  FILE* out = ErrOut(G);
  bool opened = false;
  if (hasSource(pos.file)) {
    if (serverOwnLink()) {
      WriteSourceLinkStart(G);
      wwwputurl(G, pos.file);
      serverPrintf(out, "&$line=%i&$column=%i#here\" target=\"source\">", pos.line, pos.column);
      opened = true;
    }
    wwwputs(G, pos.file);
    serverPuts(":", out);
  }
  if (pos.line != 0 || pos.column != 0) serverPrintf(out, "%i,%i", pos.line, pos.column);
  if (opened) serverPuts("</a>", out);
}

// ---------------------------------------------------------------------------
// Pending tuples and their marks (a side table; tuples are never written)
// ---------------------------------------------------------------------------

static size_t slotOf(const Tuple* t, size_t capacity) {
  uint64_t h = reinterpret_cast<uintptr_t>(t);
  h ^= h >> 17;
  h *= 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h >> 32) & (capacity - 1);
}

static int findPending(DisplayState* d, const Tuple* t) {
  if (d->slotCapacity == 0) return -1;
  for (size_t i = slotOf(t, d->slotCapacity);; i = (i + 1) & (d->slotCapacity - 1)) {
    const int32_t s = d->slots[i];
    if (s == 0) return -1;
    if (d->pending[s - 1].t == t) return s - 1;
  }
}

static void insertSlot(DisplayState* d, int index) {
  size_t i = slotOf(d->pending[index].t, d->slotCapacity);
  while (d->slots[i] != 0) i = (i + 1) & (d->slotCapacity - 1);
  d->slots[i] = index + 1;
}

static void growSlots(Globals* G, DisplayState* d) {
  const size_t capacity = d->slotCapacity ? 2 * d->slotCapacity : 64;
  bxFree(d->slots);
  d->slots = static_cast<int32_t*>(bxAllocZero(G, capacity * sizeof(int32_t)));
  d->slotCapacity = capacity;
  for (int i = 0; i < d->pendingCount; ++i) insertSlot(d, i);
}

// The text of the current access path (a new charged text).
static char* pathText(Globals* G, DisplayState* d) {
  const int steps = d->pathDepth < kMaxPathSteps ? d->pathDepth : kMaxPathSteps;
  const char* root = d->pathRoot ? d->pathRoot : "";
  size_t n = std::strlen(root);
  for (int i = 0; i < steps; ++i) {
    n += 1 + (d->path[i].id ? GetLengthIdent(G, d->path[i].id) : 14);
  }
  char* text = static_cast<char*>(bxAlloc(G, n + 1));
  size_t k = std::strlen(root);
  std::memcpy(text, root, k);
  for (int i = 0; i < steps; ++i) {
    text[k++] = '.';
    if (d->path[i].id) {
      const uint32_t len = GetLengthIdent(G, d->path[i].id);
      std::memcpy(text + k, GetStringIdent(G, d->path[i].id), len);
      k += len;
    } else {
      k += static_cast<size_t>(std::snprintf(text + k, n + 1 - k, "[%i]", d->path[i].index));
    }
  }
  text[k] = '\0';
  return text;
}

// Enters a tuple under the current path (unless it is there already) and
// returns its index in the pending list.
static int enterTuple(Globals* G, Tuple* t, bool needsSection) {
  DisplayState* d = G->Errors->display;
  const int found = findPending(d, t);
  if (found >= 0) return found;
  if (d->pendingCount == d->pendingCapacity) {
    const int capacity = d->pendingCapacity ? 2 * d->pendingCapacity : 32;
    PendingTuple* bigger =
        static_cast<PendingTuple*>(bxAlloc(G, capacity * sizeof(PendingTuple)));
    if (d->pendingCount) std::memcpy(bigger, d->pending, d->pendingCount * sizeof(PendingTuple));
    bxFree(d->pending);
    d->pending = bigger;
    d->pendingCapacity = capacity;
  }
  if (2 * (static_cast<size_t>(d->pendingCount) + 1) > d->slotCapacity) growSlots(G, d);
  const int index = d->pendingCount++;
  PendingTuple& p = d->pending[index];
  p.t = t;
  p.path = pathText(G, d);
  p.number = ++d->anchorCounter;
  p.needsSection = needsSection;
  insertSlot(d, index);
  return index;
}

void CleanupPendingTuples(Globals* G) {
  DisplayState* d = G->Errors->display;
  bool counted = true;
  for (int i = 0; i < d->pendingCount && counted; ++i) counted = d->pending[i].t->refcount > 0;
  ReleasePendingTuples(G);
  bxAssert(G, counted, "tl->t->refcount>0", {"debug"});
}

// ---------------------------------------------------------------------------
// Access path
// ---------------------------------------------------------------------------

static void setRoot(DisplayState* d, const char* root) {
  d->pathRoot = root;
  d->pathDepth = 0;
}

static void setLevelRoot(DisplayState* d, int level) {
  std::snprintf(d->rootBuffer, sizeof d->rootBuffer, "lv[%i]", level);
  setRoot(d, d->rootBuffer);
}

static void pushStep(DisplayState* d, Ident id, int32_t index) {
  if (d->pathDepth < kMaxPathSteps) d->path[d->pathDepth] = PathStep{id, index};
  ++d->pathDepth;
}

static void popStep(DisplayState* d) { --d->pathDepth; }

// ---------------------------------------------------------------------------
// The tuple display
// ---------------------------------------------------------------------------

static Tuple* tupleOf(const Value& v) {
  return v.type == tTuple ? v.val.tuple.t : nullptr;
}

static bool hasFields(const Tuple* t) { return t != nullptr && t->logsize > 0; }

static bool isSuppressed(const Tuple* t) {
  if (IdSrvDebugShow == 0) return false;
  for (int32_t i = 0; i < t->logsize; ++i) {
    if (t->fields[i].name == IdSrvDebugShow) return true;
  }
  return false;
}

static void writeAnchor(Globals* G, int number) {
  serverPrintf(ErrOut(G), "<a name=\"T%i\">\n", number);
}

static void writeFieldName(Globals* G, const Field& f, int32_t index) {
  if (f.name) {
    wwwputs(G, GetStringIdent(G, f.name));
  } else {
    serverPrintf(ErrOut(G), "[%i]", index);
  }
}

// A text in double quotes; longer than limit bytes it is cut to its first
// and last keep bytes around "...".
static void writeText(Globals* G, const chars& s, int32_t limit, int32_t keep) {
  FILE* out = ErrOut(G);
  serverPutc('"', out);
  if (s.str) {
    if (s.size > limit) {
      wwwputn(G, s.str, static_cast<size_t>(keep), true);
      serverPuts("\"...\"", out);
      wwwputn(G, s.str + s.size - keep, static_cast<size_t>(keep), true);
    } else {
      wwwputn(G, s.str, static_cast<size_t>(s.size), true);
    }
  }
  serverPutc('"', out);
}

// Null, Integer, Real and Boolean; false for the other types.
static bool writeSimple(Globals* G, const Value& v) {
  FILE* out = ErrOut(G);
  switch (v.type) {
    case tNull: serverPuts("null", out); return true;
    case tInteger: serverPrintf(out, "%i", v.val.Integer); return true;
    case tReal: serverPrintf(out, "%f", v.val.Real); return true;
    case tBoolean: serverPuts(v.val.Boolean ? "true" : "false", out); return true;
    default: return false;
  }
}

int64_t EstimatedShowLength(Globals* G, Value tuple) {
  const Tuple* t = tupleOf(tuple);
  if (t == nullptr) return 0;
  DisplayState* d = G->Errors->display;
  int64_t sum = 0;
  char buffer[512];
  for (int32_t i = 0; i < t->logsize; ++i) {
    const Field& f = t->fields[i];
    sum += f.name ? GetLengthIdent(G, f.name) + 1 : 4;
    const Value& v = f.v;
    switch (v.type) {
      case tNull:
      case tBoolean: sum += 5; break;
      case tInteger: sum += std::snprintf(buffer, sizeof buffer, "%i", v.val.Integer); break;
      case tReal: sum += std::snprintf(buffer, sizeof buffer, "%f", v.val.Real); break;
      case tString: sum += v.val.str ? v.size : 0; break;
      case tTuple: sum += findPending(d, v.val.tuple.t) >= 0 ? 5 : 200; break;
      default: break;
    }
  }
  return sum;
}

static void showValue(Globals* G, const Value& v, int depth);

// Nested-table form (and the tables of the sections).
static void showTable(Globals* G, Tuple* t, int depth) {
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  const int index = enterTuple(G, t, false);
  writeAnchor(G, d->pending[index].number);
  if (depth > 0) serverPuts("<table border=1><tr><td>\n", out);
  serverPuts("<table cellspaceing=0 cellpadding=0", out);
  serverPuts(">\n", out);
  for (int32_t i = 0; i < t->logsize; ++i) {
    serverPuts("<tr><td>", out);
    writeFieldName(G, t->fields[i], i);
    serverPuts("</td><td>=</td><td>", out);
    pushStep(d, t->fields[i].name, i);
    showValue(G, t->fields[i].v, depth + 1);
    popStep(d);
    serverPuts("</td><tr>\n", out);
  }
  serverPuts("</table>\n", out);
  if (depth > 0) serverPuts("</td></tr></table>\n", out);
}

static void showInline(Globals* G, Tuple* t) {
  if (t->logsize == 0) return;
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  const int index = enterTuple(G, t, false);
  serverPuts("(", out);
  writeAnchor(G, d->pending[index].number);
  for (int32_t i = 0; i < t->logsize; ++i) {
    if (i > 0) serverPuts(", ", out);
    writeFieldName(G, t->fields[i], i);
    serverPuts("=", out);
    pushStep(d, t->fields[i].name, i);
    showValue(G, t->fields[i].v, 0);
    popStep(d);
  }
  serverPuts(")\n", out);
}

static void showShortValue(Globals* G, const Value& v) {
  if (writeSimple(G, v)) return;
  DisplayState* d = G->Errors->display;
  if (v.type == tString) {
    writeText(G, StringOf(v), 9, 5);
  } else if (v.type == tTuple && v.val.tuple.t) {
    const int index = findPending(d, v.val.tuple.t);
    if (index >= 0) {
      wwwputs(G, d->pending[index].path);
    } else {
      serverPuts("(...)", ErrOut(G));
    }
  }
}

static void showAbbreviated(Globals* G, Tuple* t) {
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  const int index = enterTuple(G, t, true);
  serverPrintf(out, "<a href=\"#T%i\">", d->pending[index].number);
  serverPuts("(", out);
  for (int32_t i = 0; i < t->logsize && i < 3; ++i) {
    writeFieldName(G, t->fields[i], i);
    serverPuts("=", out);
    showShortValue(G, t->fields[i].v);
    if (i != t->logsize - 1) serverPuts(", ", out);
  }
  if (t->logsize > 2) serverPuts("...", out);
  serverPuts(")</a>\n", out);
}

static void showValue(Globals* G, const Value& v, int depth) {
  if (writeSimple(G, v)) return;
  if (v.type == tString) {
    writeText(G, StringOf(v), 79, 40);
    return;
  }
  Tuple* t = tupleOf(v);
  if (t == nullptr) return;
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  if (isSuppressed(t)) {
    serverPuts("suppressed", out);
    return;
  }
  const int index = findPending(d, t);
  if (index >= 0) {
    serverPrintf(out, "<a href=\"#T%i\">", d->pending[index].number);
    wwwputs(G, d->pending[index].path);
    serverPuts("</a>", out);
    return;
  }
  const int64_t length = EstimatedShowLength(G, v) + 10 * depth;
  if (length <= 170) {
    showInline(G, t);
  } else if (depth > 2) {
    showAbbreviated(G, t);
  } else {
    showTable(G, t, depth);
  }
}

// ---------------------------------------------------------------------------
// The context display
// ---------------------------------------------------------------------------

static Environment* innermostFrame(Globals* G) {
  EnvironmentModule* m = G->environment;
  if (m == nullptr) return nullptr;
  return m->current ? m->current : &m->outer;
}

static const char* frameName(Globals* G, const Environment* f) {
  return f->definition && f->definition->name ? GetStringIdent(G, f->definition->name) : nullptr;
}

// A root tuple's section: anchor, heading and its table.
static void showRootSection(Globals* G, Tuple* t, const char* anchor, const char* heading,
                            const char* root) {
  if (!hasFields(t)) return;
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  serverPrintf(out, "<a name=\"%s\">\n", anchor);
  serverPuts(heading, out);
  setRoot(d, root);
  showTable(G, t, 0);
}

void ShowContext(Globals* G, Position pos) {
  DisplayState* d = G->Errors->display;
  FILE* out = ErrOut(G);
  if (hasSource(pos.file)) {
    serverPuts("<p>Click here to open source window: ", out);
    DisplayPosition(G, pos);
  }
  Tuple* se = G->value ? tupleOf(G->value->se) : nullptr;
  Tuple* gl = G->value ? tupleOf(G->value->gl) : nullptr;
  Tuple* ff = G->value ? tupleOf(G->value->ff) : nullptr;
  if (se) {
    setRoot(d, "se");
    enterTuple(G, se, false);
  }
  if (gl) {
    setRoot(d, "gl");
    enterTuple(G, gl, false);
  }
  if (ff) {
    setRoot(d, "ff");
    enterTuple(G, ff, false);
  }

  // Call hierarchy, the innermost call first.
  serverPuts("<h2> Call Hierarchy </h2>\n", out);
  serverPuts("<table cellspacing=0 cellpadding=5 borderwidth=0>\n", out);
  int level = 0;
  for (Environment* f = innermostFrame(G); f && level < kMaxListedLevels;
       f = f->previous, ++level) {
    serverPrintf(out, "<tr><td>Level %i</td><td>", level);
    if (const char* name = frameName(G, f)) wwwputs(G, name);
    serverPuts("</td><td>", out);
    setLevelRoot(d, level);
    showValue(G, f->locals, 3);
    serverPuts("</td><td>", out);
    DisplayPosition(G, f->position);
    serverPuts("</td></tr>\n", out);
  }
  serverPuts("</table>\n", out);
  if (hasFields(gl)) serverPuts("<a href=\"#globvars\">Global Variables</a>&nbsp", out);
  if (hasFields(ff)) serverPuts("<a href=\"#formvars\">Form Variables</a>&nbsp", out);
  if (hasFields(se)) serverPuts("<a href=\"#sessionvars\">Session Variables</a>", out);

  showRootSection(G, se, "sessionvars", "<h2> Session Variables se. </h2>\n", "se");
  showRootSection(G, gl, "globvars", "<h2> Global Variables gl. </h2>\n", "gl");
  showRootSection(G, ff, "formvars", "<h2> Form Variables ff. </h2>\n", "ff");

  // Local variables of every call level.
  level = 0;
  for (Environment* f = innermostFrame(G); f && level < kMaxListedLevels;
       f = f->previous, ++level) {
    Tuple* locals = tupleOf(f->locals);
    if (!hasFields(locals)) continue;
    setLevelRoot(d, level);
    const int index = enterTuple(G, locals, false);
    writeAnchor(G, d->pending[index].number);
    serverPuts("<h2> Local Variables ", out);
    if (const char* name = frameName(G, f)) {
      serverPuts("of ", out);
      wwwputs(G, name);
    }
    serverPrintf(out, " Level %i </h2>\n", level);
    if (f->position.file) {
      serverPuts(" called from ", out);
      DisplayPosition(G, f->position);
      serverPuts("\n", out);
    }
    showTable(G, locals, 0);
    d->pending[index].needsSection = false;
  }

  // Sections of the tuples met above that still need one (the list grows
  // while this runs).
  for (int i = 0; i < d->pendingCount; ++i) {
    if (!d->pending[i].needsSection) continue;
    d->pending[i].needsSection = false;
    writeAnchor(G, d->pending[i].number);
    serverPuts("<h2> Tuple ", out);
    wwwputs(G, d->pending[i].path);
    serverPuts("</h2></a>", out);
    setRoot(d, d->pending[i].path);
    showTable(G, d->pending[i].t, 0);
  }
  setRoot(d, nullptr);
  CleanupPendingTuples(G);
}

void ShowTuple(Globals* G, Value tuple, const char* name) {
  DisplayState* d = G->Errors->display;
  setRoot(d, name ? name : "this");
  showValue(G, tuple, 1);
  setRoot(d, nullptr);
  CleanupPendingTuples(G);
}
