// builtins.cpp: the built-in function registry, the built-ins' error
// operations and the string, number and type-test library.
#include "interp/builtins.h"

#include <crypt.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <utility>

#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "interp/eval.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"

// ---- Registration tables ------------------------------------------------

constexpr FunctionTableRow bitab[] = {
    {"asc", biasc, 1, 1},
    {"chr", bichr, 1, 1},
    {"contains", bicontains, 2, 2},
    {"containscase", bicontainscase, 2, 2},
    {"copy", bicopy, 1, 1},
    {"clone", bicopy, 1, 1},
    {"crypt", bicrypt, 1, 2},
    {"decodeurl", bidecodeurl, 1, 1},
    {"default", bidefault, 1, 25},
    {"directory", bidirectory, 1, 2},
    {"fname", bifname, 1, 1},
    {"index", biindex, 2, 3},
    {"indexcase", biindexcase, 2, 3},
    {"integer", biinteger, 1, 2},
    {"isnull", biisnull, 1, 1},
    {"isbool", biisbool, 1, 1},
    {"isdecl", biisdecl, 1, 1},
    {"isempty", biisempty, 1, 1},
    {"isinteger", biisinteger, 1, 1},
    {"isstring", biisstring, 1, 1},
    {"istuple", biistuple, 1, 1},
    {"isreal", biisreal, 1, 1},
    {"left", bileft, 2, 2},
    {"len", bilen, 1, 1},
    {"random", birandom, 0, 0},
    {"real", bireal, 1, 1},
    {"right", biright, 2, 2},
    {"srandom", bisrandom, 1, 1},
    {"subst", bisubst, 3, 3},
    {"substall", bisubstall, 3, 3},
    {"substring", bisubstring, 3, 3},
    {"tolower", bitolower, 1, 1},
    {"toupper", bitoupper, 1, 1},
    {"trim", bitrim, 1, 1},
    {"trimleft", bitrimleft, 1, 1},
    {"trimright", bitrimright, 1, 1},
    {"array", biarray, 1, 2},
    {"resize", biresize, 2, 3},
    {"ArAppend", biArAppend, 2, 20000},
    {"ArConcat", biArConcat, 2, 99},
    {"TuAppField", biTuAppField, 2, 3},
    {"TuInsField", biTuInsField, 2, 3},
    {"TuAssField", biTuAssField, 2, 3},
    {"TuDelField", biTuDelField, 1, 2},
    {"TuName", biTuName, 2, 2},
    {"TuFieldSort", biTuFieldSort, 1, 1},
    {"TuSlice", biTuSlice, 3, 3},
    {"TuProject", biTuProject, 2, 2},
    {"TuMerge", biTuMerge, 2, 2},
    {"TuAssign", biTuAssign, 2, 2},
};

// The HTTP built-ins (interp/httpfns.cpp).
constexpr FunctionTableRow httptab[] = {
    {"cookie", bicookie, 1, 1},
    {"httpheader", bihttpheader, 2, 2},
    {"sessionkey", bisessionkey, 0, 0},
    {"setcookie", bisetcookie, 2, 3},
};

constexpr FunctionTableRow userfuntab[] = {
    {"repeat", birepeat, 2, 2},
};

// ---- The names every request starts with --------------------------------

// In the order start-up has always made them, which must never change (a
// session file stores their numbers): the scanner's format words, the
// tables above, the session built-ins (session/session.cpp registers them
// after these), the predefined identifiers (driver/predefined.cpp,
// InitIdentifiers). A unit test compares the table with what start-up makes.
constexpr const char* kSessionFunctionNames[] = {
    "sessioniOpen", "sessioniRead", "sessioniClose", "sessioniAbort", "sessioniCreate", "sessioniDelete",
};
constexpr const char* kPredefinedNames[] = {
    "head", "top", "body", "rowbegin", "rowend", "column", "foot",
    "SrvMax", "braxel", "stamp", "SrvMaxNest", "empty",
    "SrvHost", "Srv_Remote_Host", "SrvHostname", "SrvName", "SrvIp", "Srv_Remote_Addr", "SrvDate",
    "SrvTime", "SrvTimeZone", "SrvDaylight", "SrvTZName", "SrvFname", "SrvField", "SrvServer",
    "SrvDbsys", "SrvOs", "SrvUserAgent", "Srv_Http_User_Agent", "SrvUser", "Srv_Remote_User",
    "Srv_Server_Name", "Srv_Server_Port", "Srv_Server_Admin", "Srv_Server_Protocol", "SrvFileName",
    "SrvLocalUrl", "SrvBraxelVersion", "SrvPid", "Srv_Server_Software", "SrvDebug", "Srv_Http_Accept",
    "update", "altquery", "database", "ff", "gl", "se", "SrvDebugShow", "this",
    "0", "1",
};

constexpr size_t kBuiltinCount = std::size(bitab) + std::size(httptab) + std::size(userfuntab);
constexpr size_t kStartNameCount =
    std::size(kFormatWords) + kBuiltinCount + std::size(kSessionFunctionNames) + std::size(kPredefinedNames);

consteval std::array<const char*, kStartNameCount> startNameList() {
  std::array<const char*, kStartNameCount> names{};
  size_t n = 0;
  for (const char* word : kFormatWords) names[n++] = word;
  for (const auto table : {std::span<const FunctionTableRow>(bitab), std::span<const FunctionTableRow>(httptab),
                            std::span<const FunctionTableRow>(userfuntab)})
    for (const FunctionTableRow& row : table) names[n++] = row.name;
  for (const char* name : kSessionFunctionNames) names[n++] = name;
  for (const char* name : kPredefinedNames) names[n++] = name;
  return names;
}

constexpr auto kStartNameTable = MakeIdentSeed(startNameList());
constinit const IdentSeed kStartNames = kStartNameTable.seed();

// ---- Registry -----------------------------------------------------------

// The built-ins of the tables, each numbered by its name: laid out at
// compile time, so that no request registers them one by one.
consteval std::array<FunctionRecord, kBuiltinCount> builtinRecords() {
  std::array<FunctionRecord, kBuiltinCount> records{};
  size_t n = 0;
  for (const auto table : {std::span<const FunctionTableRow>(bitab), std::span<const FunctionTableRow>(httptab),
                            std::span<const FunctionTableRow>(userfuntab)})
    for (const FunctionTableRow& row : table)
      records[n++] = FunctionRecord{kStartNameTable.number(row.name), row.fn, row.minArity, row.maxArity, nullptr};
  return records;
}
constexpr std::array<FunctionRecord, kBuiltinCount> kBuiltins = builtinRecords();

// By name number: the built-in of the tables, or none.
consteval std::array<const FunctionRecord*, kStartNameTable.count + 1> builtinsByNumber() {
  std::array<const FunctionRecord*, kStartNameTable.count + 1> byNumber{};
  for (const FunctionRecord& r : kBuiltins) {
    if (byNumber[r.name] != nullptr) throw "a built-in registered twice";
    byNumber[r.name] = &r;
  }
  return byNumber;
}
constexpr std::array<const FunctionRecord*, kStartNameTable.count + 1> kBuiltinByNumber = builtinsByNumber();

// The tables' built-ins are charged as their records were when each request
// made them; a function registered later (the session built-ins) gets a
// record of its own.
void dbhfunInitializeGV(Globals* G) {
  G->dbhfun = bxNew<DbhfunRec>(G);
  G->dbhfun->head = nullptr;
  G->dbhfun->randomSeeded = false;
  Charge(G, kBuiltinCount * sizeof(FunctionRecord));
}

void dbhfunFinalizeGV(Globals* G) {
  if (!G->dbhfun) return;
  FunctionRecord* r = G->dbhfun->head;
  while (r) {
    FunctionRecord* next = r->next;
    bxFree(r);
    r = next;
  }
  bxFree(G->dbhfun);
  G->dbhfun = nullptr;
}

void dbhRegisterFunctions(Globals* G, const FunctionTableRow* table) {
  for (const FunctionTableRow* row = table; row->name[0] != '\0'; ++row)
    dbhRegisterFunction(G, row->name, row->fn, row->minArity, row->maxArity);
}

void dbhRegisterFunction(Globals* G, const char* name, BuiltinFunction fn,
                         int16_t minArity, int16_t maxArity) {
  const Ident id = MakeIdent(G, name);
  if (FindFunction(G, id)) {
    fprintf(stderr, "Function %s registered twice\n", name);
    fflush(stderr);
    abort();
  }
  FunctionRecord* r = bxNew<FunctionRecord>(G);
  r->name = id;
  r->fn = fn;
  r->minArity = minArity;
  r->maxArity = maxArity;
  r->next = G->dbhfun->head;
  G->dbhfun->head = r;
}

const FunctionRecord* FindFunction(Globals* G, Ident name) {
  if (name < kBuiltinByNumber.size() && kBuiltinByNumber[name] != nullptr) return kBuiltinByNumber[name];
  if (!G->dbhfun) return nullptr;
  for (const FunctionRecord* r = G->dbhfun->head; r; r = r->next)
    if (r->name == name) return r;
  return nullptr;
}

// ---- Error operations ---------------------------------------------------

void dbhFunError(Globals* G, const char* text) {
  FatalMessage(G, text, G->dbhtml->X_MsgPos);
}

void dbhFunTypeError(Globals* G, int type, int index) {
  char text[80];
  const char* name = (type >= 0 && type <= tTuple) ? vTypeName[type] : "Error";
  snprintf(text, sizeof text, "Parameter %i must be of type %s.", index + 1, name);
  dbhFunError(G, text);
}

BuiltinCall::BuiltinCall(Globals* g) : G(g), pos(g->dbhtml->X_MsgPos) {}

void BuiltinCall::fail(const char* text) const {
  G->dbhtml->X_MsgPos = pos;
  dbhFunError(G, text);
}

void BuiltinCall::typeError(int type, int index) const {
  G->dbhtml->X_MsgPos = pos;
  dbhFunTypeError(G, type, index);
}

// ---- Field arguments ----------------------------------------------------

FieldRef EvalFieldRef(Globals* G, Token* node) {
  FieldRef ref{nullptr, nullValue};
  Ident name = 0;
  ref.field = evalfield(G, node, &ref.tuple, &name);
  return ref;
}

bool IsStandalone(const FieldRef& ref) { return ref.field != nullptr && ref.tuple.type != tTuple; }

Value TakeFieldRefValue(Globals* G, FieldRef* ref) {
  Value v = ref->field->v;
  if (IsStandalone(*ref)) {
    bxFree(ref->field);
  } else if (IsTemp(ref->tuple)) {
    v = AssignValue(G, v);
    if (v.type > tBoolean) v.flags |= VF_TEMP;
    ReleaseValue(G, &ref->tuple);
  }
  ref->field = nullptr;
  return v;
}

void ReleaseFieldRef(Globals* G, FieldRef* ref) {
  if (IsStandalone(*ref)) {
    ReleaseIfTemp(G, &ref->field->v);
    bxFree(ref->field);
  } else if (ref->tuple.type == tTuple && IsTemp(ref->tuple)) {
    ReleaseValue(G, &ref->tuple);
  }
  ref->field = nullptr;
}

// ---- Helpers ------------------------------------------------------------

namespace {

const char* sbytes(const Value& v) { return v.val.str ? v.val.str : ""; }
int32_t slen(const Value& v) { return v.val.str ? v.size : 0; }

Value* setValue(Value* r, Value v) {
  *r = v;
  return r;
}

// A new temporary String of n bytes, uninitialised but zero-terminated.
Value newString(Globals* G, int32_t n, char** bytes) {
  char* p = static_cast<char*>(bxAlloc(G, static_cast<size_t>(n) + 1));
  p[n] = '\0';
  *bytes = p;
  Value v{};
  v.type = tString;
  v.flags = VF_TEMP;
  v.val.str = p;
  v.size = n;
  return v;
}

Value tempString(Globals* G, const char* bytes, int32_t n) {
  return MakeString(G, bytes, n, VF_TEMP);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

unsigned char lowerByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
unsigned char upperByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// First occurrence of p (m bytes) in s (n bytes) at or after start; -1 when none.
int32_t findFrom(const char* s, int32_t n, const char* p, int32_t m, int32_t start) {
  if (start > n || m > n - start) return -1;
  if (m == 0) return start;
  const void* hit = memmem(s + start, static_cast<size_t>(n - start), p, static_cast<size_t>(m));
  return hit ? static_cast<int32_t>(static_cast<const char*>(hit) - s) : -1;
}

// The searches that memmem does not serve: ignoring case, or from the end.
// They run in time linear in the text whatever the pattern (Knuth-Morris-
// Pratt); the pattern's border table lives on the stack unless the pattern
// is long, and is charged then.
struct Searched {
  const char* bytes;
  int32_t length;
  bool backward;   // read from the last byte to the first
  bool nocase;
  unsigned char at(int32_t i) const {
    const unsigned char c = static_cast<unsigned char>(bytes[backward ? length - 1 - i : i]);
    return nocase ? lowerByte(c) : c;
  }
};

// The first occurrence of p in s (both read as they say) at or after
// start, counted in the reading direction; -1 when none.
int32_t searchKmp(Globals* G, const Searched& s, const Searched& p, int32_t start) {
  const int32_t n = s.length, m = p.length;
  if (start > n || m > n - start) return -1;
  if (m == 0) return start;
  int32_t small[256];
  int32_t* border = small;
  if (m > 256) border = static_cast<int32_t*>(bxAlloc(G, sizeof(int32_t) * static_cast<size_t>(m)));
  border[0] = 0;
  for (int32_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && p.at(i) != p.at(k)) k = border[k - 1];
    if (p.at(i) == p.at(k)) ++k;
    border[i] = k;
  }
  int32_t found = -1;
  for (int32_t i = start, k = 0; i < n; ++i) {
    while (k > 0 && s.at(i) != p.at(k)) k = border[k - 1];
    if (s.at(i) == p.at(k)) ++k;
    if (k == m) {
      found = i - m + 1;
      break;
    }
  }
  if (border != small) bxFree(border);
  return found;
}

// findFrom, with bytes compared ignoring case.
int32_t findFromNoCase(Globals* G, const char* s, int32_t n, const char* p, int32_t m,
                       int32_t start) {
  return searchKmp(G, Searched{s, n, false, true}, Searched{p, m, false, true}, start);
}

// The last occurrence of p (m bytes) in s (n bytes); -1 when none.
int32_t findLast(Globals* G, const char* s, int32_t n, const char* p, int32_t m) {
  const int32_t at = searchKmp(G, Searched{s, n, true, false}, Searched{p, m, true, false}, 0);
  return at < 0 ? -1 : n - at - m;
}

Value* boolResult(Value* r, bool b) { return setValue(r, MakeBoolean(b)); }

// Type tests: the evaluated argument's type.
Value* typeTest(Value* r, Globals* G, Token* arg, uint16_t type) {
  Value v = eval(G, arg);
  const bool hit = v.type == type;
  ReleaseIfTemp(G, &v);
  return boolResult(r, hit);
}

// Text to number, as strtol/strtod read it; blanks may follow the number,
// anything else makes the result Null. No digits at all converts to 0.
bool onlyBlanksFrom(const char* p) {
  while (isBlank(*p)) ++p;
  return *p == '\0';
}

}  // namespace

// ---- Type and declaration tests -----------------------------------------

// isinteger(x), isreal(x), isstring(x), istuple(x), isbool(x)
Value* biisinteger(Value* r, Globals* G, int, Token** argv) { return typeTest(r, G, argv[0], tInteger); }
Value* biisreal(Value* r, Globals* G, int, Token** argv) { return typeTest(r, G, argv[0], tReal); }
Value* biisstring(Value* r, Globals* G, int, Token** argv) { return typeTest(r, G, argv[0], tString); }
Value* biistuple(Value* r, Globals* G, int, Token** argv) { return typeTest(r, G, argv[0], tTuple); }
Value* biisbool(Value* r, Globals* G, int, Token** argv) { return typeTest(r, G, argv[0], tBoolean); }

// isdecl(x): the argument denotes an entry.
Value* biisdecl(Value* r, Globals* G, int, Token** argv) {
  FieldRef ref = EvalFieldRef(G, argv[0]);
  const bool found = ref.field != nullptr;
  ReleaseFieldRef(G, &ref);
  return boolResult(r, found);
}

// isnull(x): no entry, or its value is Null.
Value* biisnull(Value* r, Globals* G, int, Token** argv) {
  FieldRef ref = EvalFieldRef(G, argv[0]);
  const bool null = !ref.field || ref.field->v.type == tNull || ref.field->v.type == tError;
  ReleaseFieldRef(G, &ref);
  return boolResult(r, null);
}

// isempty(x): no entry, Null, a String of spaces only, or a Tuple without fields.
Value* biisempty(Value* r, Globals* G, int, Token** argv) {
  FieldRef ref = EvalFieldRef(G, argv[0]);
  bool empty = true;
  if (ref.field) {
    const Value& v = ref.field->v;
    switch (v.type) {
      case tNull:
      case tError:
        break;
      case tString: {
        const char* s = sbytes(v);
        for (int32_t i = 0; i < slen(v) && empty; ++i) empty = s[i] == ' ';
        break;
      }
      case tTuple:
        empty = v.val.tuple.t->logsize == 0;
        break;
      default:
        empty = false;
    }
  }
  ReleaseFieldRef(G, &ref);
  return boolResult(r, empty);
}

// fname(x): the name of the denoted field, Null when none or unnamed.
Value* bifname(Value* r, Globals* G, int, Token** argv) {
  FieldRef ref = EvalFieldRef(G, argv[0]);
  Value result = nullValue;
  if (ref.field && ref.field->name != 0)
    result = MakeStringZ(G, GetStringIdent(G, ref.field->name), VF_TEMP);
  ReleaseFieldRef(G, &ref);
  return setValue(r, result);
}

// default(a1, ..., an): the first argument that denotes a non-Null entry.
Value* bidefault(Value* r, Globals* G, int argc, Token** argv) {
  for (int i = 0; i < argc; ++i) {
    FieldRef ref = EvalFieldRef(G, argv[i]);
    if (ref.field && ref.field->v.type != tNull && ref.field->v.type != tError) {
      return setValue(r, TakeFieldRefValue(G, &ref));
    }
    ReleaseFieldRef(G, &ref);
  }
  return setValue(r, nullValue);
}

// ---- Conversions --------------------------------------------------------

// integer(x [, base])
Value* biinteger(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  Value v = eval(G, argv[0]);
  switch (v.type) {
    case tNull:
      return setValue(r, nullValue);
    case tInteger:
      return setValue(r, MakeInteger(v.val.Integer));
    case tReal: {
      const double d = v.val.Real;
      int32_t i = 0;
      if (d != d) i = 0;   // NaN
      else if (d >= 2147483647.0) i = INT32_MAX;
      else if (d <= -2147483648.0) i = INT32_MIN;
      else i = static_cast<int32_t>(d);
      return setValue(r, MakeInteger(i));
    }
    case tBoolean:
      return setValue(r, MakeInteger(v.val.Boolean != 0 ? 1 : 0));
    case tString: {
      int base = 10;
      if (argc > 1) {
        Value b = eval(G, argv[1]);
        if (b.type != tInteger) call.fail("Base Arbument must be of type integer");
        base = b.val.Integer;
      }
      const char* text = sbytes(v);
      long n = 0;
      const char* end = text;
      if (base == 0 || (base >= 2 && base <= 36)) {
        char* e = nullptr;
        n = strtol(text, &e, base);
        end = e;
      }
      // The number is read as a 32-bit strtol would: out of range saturates.
      if (n > INT32_MAX) n = INT32_MAX;
      if (n < INT32_MIN) n = INT32_MIN;
      const bool ok = onlyBlanksFrom(end);
      ReleaseIfTemp(G, &v);
      return setValue(r, ok ? MakeInteger(static_cast<int32_t>(n)) : nullValue);
    }
    default:
      call.fail("Type error in integer function");
  }
}

// real(x)
Value* bireal(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value v = eval(G, argv[0]);
  switch (v.type) {
    case tNull:
      return setValue(r, nullValue);
    case tInteger:
      return setValue(r, MakeReal(v.val.Integer));
    case tReal:
      return setValue(r, MakeReal(v.val.Real));
    case tBoolean:
      return setValue(r, MakeReal(v.val.Boolean != 0 ? 1.0 : 0.0));
    case tString: {
      const char* text = sbytes(v);
      char* end = nullptr;
      const double d = strtod(text, &end);
      const bool ok = onlyBlanksFrom(end);
      ReleaseIfTemp(G, &v);
      return setValue(r, ok ? MakeReal(d) : nullValue);
    }
    default:
      call.fail("Type error in real function");
  }
}

// len(x): bytes of a String, fields of a Tuple.
Value* bilen(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value v = eval(G, argv[0]);
  int32_t n = 0;
  if (v.type == tString) n = slen(v);
  else if (v.type == tTuple) n = v.val.tuple.t->logsize;
  else call.fail("Type error in len function");
  ReleaseIfTemp(G, &v);
  return setValue(r, MakeInteger(n));
}

// asc(s): the code of a one-byte String.
Value* biasc(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value v = eval(G, argv[0]);
  if (v.type != tString) call.fail("Argument of acc must be a string");
  if (slen(v) != 1) call.fail("Argument of acc must be one character");
  const int code = static_cast<unsigned char>(sbytes(v)[0]);
  ReleaseIfTemp(G, &v);
  return setValue(r, MakeInteger(code));
}

// chr(n): the one-byte String of a code; 0 gives the empty String.
Value* bichr(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  const Value v = eval(G, argv[0]);
  if (v.type != tInteger) call.fail("Argument of chr must be an integer");
  if (v.val.Integer < -128 || v.val.Integer > 255)
    call.fail("Argument of chr must be in the range -128..255");
  const char byte = static_cast<char>(static_cast<unsigned char>(v.val.Integer & 0xFF));
  return setValue(r, tempString(G, &byte, byte == '\0' ? 0 : 1));
}

// ---- Searching ----------------------------------------------------------

namespace {

Value* containsCommon(Value* r, Globals* G, Token** argv, bool nocase) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type == tNull) return boolResult(r, false);
  if (s.type != tString) call.fail("First  argument of contains must be a string");
  Value p = eval(G, argv[1]);
  if (p.type != tString) call.fail("Second argument of contains must be a string");
  const int32_t at = nocase ? findFromNoCase(G, sbytes(s), slen(s), sbytes(p), slen(p), 0)
                            : findFrom(sbytes(s), slen(s), sbytes(p), slen(p), 0);
  ReleaseIfTemp(G, &s);
  ReleaseIfTemp(G, &p);
  return boolResult(r, at >= 0);
}

Value* indexCommon(Value* r, Globals* G, int argc, Token** argv, bool nocase) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type == tNull) return setValue(r, nullValue);
  if (s.type != tString) call.typeError(tString, 0);
  Value p = eval(G, argv[1]);
  if (p.type != tString) call.typeError(tString, 1);
  int32_t start = 0;
  if (argc > 2) {
    const Value st = eval(G, argv[2]);
    if (st.type != tInteger) call.typeError(tInteger, 2);
    start = st.val.Integer < 0 ? 0 : st.val.Integer;   // a negative start counts as 0
  }
  int32_t at = -1;
  if (start < slen(s))
    at = nocase ? findFromNoCase(G, sbytes(s), slen(s), sbytes(p), slen(p), start)
                : findFrom(sbytes(s), slen(s), sbytes(p), slen(p), start);
  ReleaseIfTemp(G, &s);
  ReleaseIfTemp(G, &p);
  return setValue(r, at >= 0 ? MakeInteger(at) : nullValue);
}

}  // namespace

// contains(s, p), containscase(s, p)
Value* bicontains(Value* r, Globals* G, int, Token** argv) { return containsCommon(r, G, argv, false); }
Value* bicontainscase(Value* r, Globals* G, int, Token** argv) { return containsCommon(r, G, argv, true); }
// index(s, p [, start]), indexcase(s, p [, start])
Value* biindex(Value* r, Globals* G, int argc, Token** argv) { return indexCommon(r, G, argc, argv, false); }
Value* biindexcase(Value* r, Globals* G, int argc, Token** argv) { return indexCommon(r, G, argc, argv, true); }

// ---- Cutting strings ----------------------------------------------------

// substring(s, from, to): from and to are evaluated before s.
Value* bisubstring(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  const Value f = eval(G, argv[1]);
  if (f.type != tInteger) call.fail("Second argument of substring must be an integer");
  const Value t = eval(G, argv[2]);
  if (t.type != tInteger) call.fail("Third argument of substring must be an integer");
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.fail("First argument of substring must be a string");
  int32_t from = f.val.Integer, to = t.val.Integer;
  if (to < from) std::swap(from, to);
  const int32_t n = slen(s);
  from = from < 0 ? 0 : (from > n ? n : from);
  to = to < 0 ? 0 : (to > n ? n : to);
  const Value result = tempString(G, sbytes(s) + from, to - from);
  ReleaseIfTemp(G, &s);
  return setValue(r, result);
}

namespace {

// left(s, n) and right(s, n)
Value* leftRight(Value* r, Globals* G, Token** argv, bool fromRight) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.typeError(tString, 0);
  Value n = eval(G, argv[1]);
  const char* text = sbytes(s);
  const int32_t len = slen(s);
  int32_t from = 0, to = len;
  if (n.type == tInteger) {
    int32_t k = n.val.Integer;
    k = k < 0 ? 0 : (k > len ? len : k);
    if (fromRight) from = len - k;
    else to = k;
  } else if (n.type == tString) {
    const char* p = sbytes(n);
    const int32_t m = slen(n);
    if (!fromRight) {
      const int32_t at = findFrom(text, len, p, m, 0);
      if (at >= 0) to = at;
    } else {
      const int32_t at = findLast(G, text, len, p, m);
      if (at >= 0) from = at + m;
    }
    ReleaseIfTemp(G, &n);
  } else {
    call.typeError(tInteger, 1);
  }
  const Value result = tempString(G, text + from, to - from);
  ReleaseIfTemp(G, &s);
  return setValue(r, result);
}

// trim, trimleft, trimright
Value* trimCommon(Value* r, Globals* G, Token** argv, bool lead, bool trail, const char* message) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.fail(message);
  const char* text = sbytes(s);
  int32_t from = 0, to = slen(s);
  if (lead) while (from < to && isBlank(text[from])) ++from;
  if (trail) while (to > from && isBlank(text[to - 1])) --to;
  const Value result = tempString(G, text + from, to - from);
  ReleaseIfTemp(G, &s);
  return setValue(r, result);
}

// tolower, toupper: a temporary argument is converted in place.
Value* caseCommon(Value* r, Globals* G, Token** argv, bool upper, const char* message) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.fail(message);
  if (!IsTemp(s)) {
    s = AssignValue(G, s);
    s.flags = VF_TEMP;
  }
  char* text = s.val.str;
  for (int32_t i = 0; text && i < s.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    text[i] = static_cast<char>(upper ? upperByte(c) : lowerByte(c));
  }
  return setValue(r, s);
}

}  // namespace

Value* bileft(Value* r, Globals* G, int, Token** argv) { return leftRight(r, G, argv, false); }
Value* biright(Value* r, Globals* G, int, Token** argv) { return leftRight(r, G, argv, true); }
Value* bitrim(Value* r, Globals* G, int, Token** argv) {
  return trimCommon(r, G, argv, true, true, "Argument of trim must be a string");
}
Value* bitrimleft(Value* r, Globals* G, int, Token** argv) {
  return trimCommon(r, G, argv, true, false, "Argument of trimleft must be a string");
}
Value* bitrimright(Value* r, Globals* G, int, Token** argv) {
  return trimCommon(r, G, argv, false, true, "Argument of trimright must be a string");
}
Value* bitolower(Value* r, Globals* G, int, Token** argv) {
  return caseCommon(r, G, argv, false, "Argument of tolower must be a string");
}
Value* bitoupper(Value* r, Globals* G, int, Token** argv) {
  return caseCommon(r, G, argv, true, "Argument of toupper must be a string");
}

// ---- Replacing ----------------------------------------------------------

namespace {

// Longest result of subst and substall.
constexpr int64_t kMaxReplaceLength = 32766;

Value* substCommon(Value* r, Globals* G, Token** argv, bool all) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.typeError(tString, 0);
  Value p = eval(G, argv[1]);
  if (p.type != tString) call.typeError(tString, 1);
  Value rp = eval(G, argv[2]);
  if (rp.type != tString) call.typeError(tString, 2);
  const int32_t m = slen(p);
  if (m == 0) call.fail("The pattern must not be an empty string");
  const char* text = sbytes(s);
  const int32_t n = slen(s);
  const char* pat = sbytes(p);
  const char* rep = sbytes(rp);
  const int32_t k = slen(rp);

  // Occurrences, left to right, never overlapping.
  int64_t count = 0;
  for (int32_t at = findFrom(text, n, pat, m, 0); at >= 0;
       at = all ? findFrom(text, n, pat, m, at + m) : -1)
    ++count;

  Value result = s;
  if (count > 0) {
    if (k == m && IsTemp(s)) {
      for (int32_t at = findFrom(text, n, pat, m, 0); at >= 0;
           at = all ? findFrom(text, n, pat, m, at + m) : -1)
        memcpy(s.val.str + at, rep, static_cast<size_t>(k));
    } else {
      const int64_t length = n + count * (k - m);
      if (length > kMaxReplaceLength) call.fail("String length overflow");
      char* out = nullptr;
      result = newString(G, static_cast<int32_t>(length), &out);
      int32_t from = 0;
      for (int32_t at = findFrom(text, n, pat, m, 0); at >= 0;
           at = all ? findFrom(text, n, pat, m, at + m) : -1) {
        memcpy(out, text + from, static_cast<size_t>(at - from));
        out += at - from;
        memcpy(out, rep, static_cast<size_t>(k));
        out += k;
        from = at + m;
      }
      memcpy(out, text + from, static_cast<size_t>(n - from));
      ReleaseIfTemp(G, &s);
    }
  }
  ReleaseIfTemp(G, &p);
  ReleaseIfTemp(G, &rp);
  return setValue(r, result);
}

}  // namespace

// subst(s, p, r): the first occurrence replaced.
Value* bisubst(Value* r, Globals* G, int, Token** argv) { return substCommon(r, G, argv, false); }
// substall(s, p, r): every occurrence replaced.
Value* bisubstall(Value* r, Globals* G, int, Token** argv) { return substCommon(r, G, argv, true); }

// repeat(s, n): both evaluated, s first, before the types are tested, n
// first. A negative count gives the empty String; the memory budget is what
// bounds a long result.
Value* birepeat(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  const Value n = eval(G, argv[1]);
  if (n.type != tInteger) call.fail("Second  argument of repeat must be an Integer");
  if (s.type != tString) call.typeError(tString, 0);
  const int64_t count = n.val.Integer < 0 ? 0 : n.val.Integer;
  const int64_t len = slen(s);
  const int64_t total = count * len;
  if (total > INT32_MAX - 1) call.fail("String length overflow");
  char* out = nullptr;
  const Value result = newString(G, static_cast<int32_t>(total), &out);
  if (total > 0) {
    // Fill by doubling: the first copy, then the filled part copied onto itself.
    memcpy(out, sbytes(s), static_cast<size_t>(len));
    int64_t filled = len;
    while (filled < total) {
      const int64_t chunk = filled < total - filled ? filled : total - filled;
      memcpy(out + filled, out, static_cast<size_t>(chunk));
      filled += chunk;
    }
  }
  ReleaseIfTemp(G, &s);
  return setValue(r, result);
}

// ---- Other functions ----------------------------------------------------

// copy(x), clone(x): a deep copy.
Value* bicopy(Value* r, Globals* G, int, Token** argv) {
  Value v = eval(G, argv[0]);
  Value c = CopyValue(G, v);
  ReleaseIfTemp(G, &v);
  if (c.type > tBoolean) c.flags |= VF_TEMP;
  return setValue(r, c);
}

// crypt(s [, salt]): the system library's one-way hash; default salt "Qz".
Value* bicrypt(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.typeError(tString, 0);
  Value salt = nullValue;
  if (argc > 1) {
    salt = eval(G, argv[1]);
    if (salt.type != tString) call.typeError(tString, 1);
  }
  const char* hash = crypt(sbytes(s), argc > 1 ? sbytes(salt) : "Qz");
  const Value result = hash ? MakeStringZ(G, hash, VF_TEMP) : nullValue;
  ReleaseIfTemp(G, &s);
  ReleaseIfTemp(G, &salt);
  return setValue(r, result);
}

// decodeurl(s): URL-encoded form data decoded into a tuple of named fields.
Value* bidecodeurl(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value s = eval(G, argv[0]);
  if (s.type != tString) call.fail("First argument of decodeurl must be a string");
  Value t = dbhDecodeFormText(G, sbytes(s));
  if (t.type > tBoolean) t.flags |= VF_TEMP;
  ReleaseIfTemp(G, &s);
  return setValue(r, t);
}

// directory(path [, flags]): checks its arguments; no directory is read.
Value* bidirectory(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  Value path = eval(G, argv[0]);
  if (path.type != tString) call.fail("argument must be a String");
  if (argc > 1) {
    Value flags = eval(G, argv[1]);
    if (flags.type != tString) call.fail("second argument must be a String");
    ReleaseIfTemp(G, &flags);
  }
  ReleaseIfTemp(G, &path);
  Value t{};
  iVTuple(G, &t);
  t.flags = VF_TEMP;
  return setValue(r, t);
}

// random(): the system generator's next number. Unless the template seeded
// it, the first call seeds it from the system's entropy, so that no two
// requests share a sequence; the seed is not a secret's worth, though.
Value* birandom(Value* r, Globals* G, int, Token**) {
  if (!G->dbhfun->randomSeeded) {
    unsigned seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed))
      seed = static_cast<unsigned>(time(nullptr) ^ getpid());
    srandom(seed);
    G->dbhfun->randomSeeded = true;
  }
  return setValue(r, MakeInteger(static_cast<int32_t>(random())));
}

// srandom(n): seeds the generator.
Value* bisrandom(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  const Value n = eval(G, argv[0]);
  if (n.type != tInteger) call.typeError(tInteger, 0);
  srandom(static_cast<unsigned>(n.val.Integer));
  G->dbhfun->randomSeeded = true;
  return setValue(r, nullValue);
}
