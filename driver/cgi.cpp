// cgi.cpp: the values of the Srv... variables, the three root names and the
// form-argument decoder.
#include "driver/cgi.h"

#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "db/dblayer.h"
#include "db/query.h"
#include "diag/debug.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"

// ---------------------------------------------------------------------------
// Predefined values

static Value text(Globals* G, const char* s) {
  if (s == nullptr) return nullValue;
  return MakeStringZ(G, s, VF_TEMP);
}

static Value envText(Globals* G, const char* name) { return text(G, std::getenv(name)); }

static std::tm localNow(long* milliseconds) {
  struct timeval tv{};
  gettimeofday(&tv, nullptr);
  const std::time_t now = tv.tv_sec;
  std::tm t{};
  tzset();
  localtime_r(&now, &t);
  if (milliseconds != nullptr) *milliseconds = tv.tv_usec / 1000;
  return t;
}

static Value tzNames(Globals* G) {
  tzset();
  Value t{};
  iVTupleSize(G, &t, 2);
  const Ident ids[2] = {IdZero, IdOne};
  for (int i = 0; i < 2; ++i) {
    const char* name = tzname[i];
    Value v = (name != nullptr && name[0] != '\0') ? MakeStringZ(G, name, 0) : nullValue;
    *vAddField(G, t, ids[i]) = v;
  }
  t.flags = VF_TEMP;
  return t;
}

static Value predefined(Globals* G, Ident id) {
  if (id == IdSrvHost || id == IdSrv_Remote_Host) return envText(G, "REMOTE_HOST");
  if (id == IdSrvHostname) {
    char name[200];
    if (gethostname(name, sizeof name) != 0) return nullValue;
    name[sizeof name - 1] = '\0';
    return text(G, name);
  }
  if (id == IdSrvName) return nullValue;
  if (id == IdSrvIp || id == IdSrv_Remote_Addr) return text(G, serverRemoteIp());
  if (id == IdSrvDate) {
    const std::tm t = localNow(nullptr);
    return MakeInteger((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
  }
  if (id == IdSrvTime) {
    long ms = 0;
    const std::tm t = localNow(&ms);
    return MakeInteger(static_cast<int32_t>(t.tm_hour * 10000000L + t.tm_min * 100000L +
                                            t.tm_sec * 1000L + ms));
  }
  if (id == IdSrvTimeZone) {
    tzset();
    return MakeInteger(static_cast<int32_t>(timezone));
  }
  if (id == IdSrvDaylight) return MakeInteger(localNow(nullptr).tm_isdst > 0 ? 1 : 0);
  if (id == IdSrvTZName) return tzNames(G);
  if (id == IdSrvFname || id == IdSrvField) {
    const Field* f = queryCurrentField(G);
    if (f == nullptr) return nullValue;
    if (id == IdSrvFname) return text(G, GetStringIdent(G, f->name));
    Value v = f->v;
    v.flags &= static_cast<uint16_t>(~VF_TEMP);   // a view of the row's field
    return v;
  }
  if (id == IdSrvServer) return text(G, "CGI");
  if (id == IdSrvDbsys) {
    const char* db = Cfg(G).dbname;
    if (db == nullptr || db[0] == '\0' || !dbIsConnected(G)) return nullValue;
    return text(G, dbSystemName());
  }
  if (id == IdSrvOs) return text(G, "LINUX");
  if (id == IdSrvUserAgent || id == IdSrv_Http_User_Agent) return envText(G, "HTTP_USER_AGENT");
  if (id == IdSrvUser || id == IdSrv_Remote_User) return text(G, serverRemoteUser());
  if (id == IdSrv_Server_Name) return envText(G, "SERVER_NAME");
  if (id == IdSrv_Server_Port) return envText(G, "SERVER_PORT");
  if (id == IdSrv_Server_Admin) return envText(G, "SERVER_ADMIN");
  if (id == IdSrv_Server_Protocol) return envText(G, "SERVER_PROTOCOL");
  if (id == IdSrvFileName) return text(G, dbhtmlFileName(G));
  if (id == IdSrvLocalUrl) return envText(G, "SCRIPT_NAME");
  if (id == IdSrvBraxelVersion) return MakeReal(1.2);
  if (id == IdSrv_Server_Software) return envText(G, "SERVER_SOFTWARE");
  if (id == IdSrvDebug) return MakeBoolean(IsDebugMode(G));
  if (id == IdSrv_Http_Accept) return envText(G, "HTTP_ACCEPT");
  return nullValue;   // NEVER: every member of the block is listed above
}

Value GetLocalVariable(Globals* G, Value scope, Ident id) {
  if (IsPredefinedVariable(id)) return predefined(G, id);
  if (id == Idff) return G->value->ff;
  if (id == Idgl) return G->value->gl;
  if (id == Idse) return G->value->se;
  if (scope.type != tTuple) return errorValue;
  const Value* v = vGetField(scope, id);
  return v != nullptr ? *v : errorValue;
}

// ---------------------------------------------------------------------------
// Form arguments

// The longest value text; a piece that would make it longer is left out.
static constexpr size_t kMaxFormValue = 32767;

// The decoder finds a name among the fields of its tuple through an index of
// its own, so that a body of many fields decodes in linear time (a tuple's
// own lookup scans its fields). The tuples the decoder makes are numbered,
// the form tuple 1; a slot maps (tuple number, name) to the field's position
// and to the number of the tuple the field holds (0 while it holds none).
namespace {
struct FormSlot {
  uint32_t node;    // 0 marks a free slot
  Ident name;
  int32_t index;
  uint32_t child;
};
struct FormIndex {
  FormSlot* slots;
  size_t capacity;   // a power of two, at least twice the slots in use
  size_t used;
  uint32_t tuples;
};
}  // namespace

static size_t slotOf(const FormIndex& x, uint32_t node, Ident name) {
  const uint64_t key = (static_cast<uint64_t>(node) << 32) | name;
  size_t i = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & (x.capacity - 1);
  while (x.slots[i].node != 0 && (x.slots[i].node != node || x.slots[i].name != name))
    i = (i + 1) & (x.capacity - 1);
  return i;
}

static void growIndex(Globals* G, FormIndex* x) {
  FormIndex bigger = *x;
  bigger.capacity = x->capacity * 2;
  bigger.slots = static_cast<FormSlot*>(bxAllocZero(G, bigger.capacity * sizeof(FormSlot)));
  for (size_t i = 0; i < x->capacity; ++i)
    if (x->slots[i].node != 0)
      bigger.slots[slotOf(bigger, x->slots[i].node, x->slots[i].name)] = x->slots[i];
  bxFree(x->slots);
  *x = bigger;
}

// The slot of the field of that name in the tuple numbered node; the field
// is appended (Null) when there is none.
static size_t findOrAdd(Globals* G, FormIndex* x, uint32_t node, Value tuple, Ident name) {
  if (2 * (x->used + 1) > x->capacity) growIndex(G, x);
  const size_t i = slotOf(*x, node, name);
  if (x->slots[i].node == 0) {
    vAddField(G, tuple, name);
    x->slots[i] = FormSlot{node, name, tuple.val.tuple.t->logsize - 1, 0};
    x->used++;
  }
  return i;
}

static Value* fieldOf(Value tuple, const FormSlot& slot) {
  return &tuple.val.tuple.t->fields[slot.index].v;
}

// Reads the tokens of the scanner's form states into a new tuple.
//   args  -> { name { "." name } [ value-piece { value-piece } ] }
// A name that ends in "." (or a run of dots) simply stops descending: no
// value piece is ever taken for a name. A dotted name below a field that
// holds a text replaces the text by a tuple.
static Value readForm(Globals* G) {
  Value form{};
  iVTupleSize(G, &form, 20);
  FormIndex index{nullptr, 64, 0, 1};
  index.slots = static_cast<FormSlot*>(bxAllocZero(G, index.capacity * sizeof(FormSlot)));
  char buffer[kMaxFormValue + 1];   // a leaf: nothing nests below this frame
  int token = GetToken(G);
  while (token != tkEndOfFile) {
    if (token != tkFormName) {
      token = GetToken(G);
      continue;
    }
    Value tuple = form;
    size_t slot = findOrAdd(G, &index, 1, tuple, G->ScannerAttribute->ident);
    token = GetToken(G);
    while (token == tkFormDot) {
      token = GetToken(G);
      if (token != tkFormName) continue;
      Value* field = fieldOf(tuple, index.slots[slot]);
      if (index.slots[slot].child == 0) {
        ReleaseValue(G, field);
        iVTuple(G, field);
        index.slots[slot].child = ++index.tuples;
      }
      tuple = *field;
      slot = findOrAdd(G, &index, index.slots[slot].child, tuple, G->ScannerAttribute->ident);
      token = GetToken(G);
    }
    size_t length = 0;
    while (token == tkFormValue) {
      const chars& piece = G->ScannerAttribute->string;
      // NEVER negative: the scanner's pieces have a size of 0 or more.
      const size_t n = piece.size > 0 ? static_cast<size_t>(piece.size) : 0;
      if (length + n <= kMaxFormValue) {
        std::memcpy(buffer + length, piece.str, n);
        length += n;
      }
      token = GetToken(G);
    }
    Value* field = fieldOf(tuple, index.slots[slot]);
    ReleaseValue(G, field);
    *field = MakeString(G, buffer, static_cast<int32_t>(length), 0);
    index.slots[slot].child = 0;
  }
  bxFree(index.slots);
  form.flags = VF_TEMP;
  return form;
}

// The length of the request body as CONTENT_LENGTH announces it: a plain
// decimal number. Absent, empty, signed, garbage or beyond a long is -1, and
// the body is read to the end of standard input as it always was.
static long announcedBodyLength() {
  const char* s = std::getenv("CONTENT_LENGTH");
  if (s == nullptr || *s == '\0') return -1;
  long n = 0;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9' || n > (LONG_MAX - 9) / 10) return -1;
    n = n * 10 + (*s - '0');
  }
  return n;
}

Value dbhReadFormArgs(Globals* G) {
  dbhInitSource(G);
  G->Source->formBodyLeft = announcedBodyLength();
  BeginScanner(G, true);
  Value form = readForm(G);
  CloseScanner(G);
  return form;
}

Value dbhDecodeFormText(Globals* G, const char* text) {
  SourceRec* s = G->Source;
  const int savedMode = s->X_ReadParameters;
  dbhInitSource(G);
  s->formText = text != nullptr ? text : "";
  s->X_ReadParameters = rmFormParameters;
  BeginScanner(G, true);
  Value form = readForm(G);
  CloseScanner(G);
  s->formText = nullptr;
  s->X_ReadParameters = savedMode;
  return form;
}
