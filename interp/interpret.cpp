// interpret.cpp: the statement interpreter, computed template text and the interpreter's module records.
#include "interp/interpret.h"

#include <sys/resource.h>

#include <cstring>

#include "db/query.h"
#include "db/tags.h"
#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "driver/output.h"
#include "frontend/reader.h"
#include "frontend/tree.h"
#include "interp/calls.h"
#include "interp/eval.h"
#include "interp/format.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/strings.h"
#include "values/value.h"

// ---------------------------------------------------------------------------
// Module records: environment (outermost frame), dbhtml, html, cmc
// ---------------------------------------------------------------------------

void environmentInitializeGV(Globals* G) {
  EnvironmentModule* m = bxNew<EnvironmentModule>(G);
  Environment* outer = &m->outer;
  InitFrame(outer, NoPosition, nullptr, nullptr, nullptr);
  iVTuple(G, &outer->locals);
  m->current = outer;
  vFieldsMoved();
  G->environment = m;
}

void environmentFinalizeGV(Globals* G) {
  EnvironmentModule* m = G->environment;
  if (m == nullptr) return;
  ReleaseValue(G, &m->outer.locals);
  ReleaseValue(G, &m->outer.returnValue);
  bxDelete(m);
  G->environment = nullptr;
}

// The stack the recursive walkers may use below the current frame: the
// soft stack limit (main raises it to the hard limit), at most the smallest
// gap the kernel keeps between the stack and other mappings, less a reserve
// for the frames above this one (a parse of an included file, the deepest
// of them) and for the fatal path's error page. Under AddressSanitizer
// frames are several times larger (the parser's alone takes tens of KB),
// and the reserve is a larger share of a small stack.
#if defined(__SANITIZE_ADDRESS__)
static constexpr rlim_t kReserveShare = 2;
#else
static constexpr rlim_t kReserveShare = 4;
#endif

static intptr_t stackRoom() {
  constexpr rlim_t kCeiling = rlim_t{96} << 20;
  constexpr rlim_t kReserve = rlim_t{256} << 10;
  rlim_t limit = kCeiling;
  rlimit rl{};
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < limit)
    limit = rl.rlim_cur;
  const rlim_t reserve = limit > kReserveShare * kReserve ? kReserve : limit / kReserveShare;
  return static_cast<intptr_t>(limit - reserve);
}

void dbhtmlInitializeGV(Globals* G) {
  DbhtmlRec* d = bxNew<DbhtmlRec>(G);
  d->X_FileName = nullptr;
  d->X_MsgPos = NoPosition;
  d->X_CallDepth = 0;
  d->X_ExprDepth = 0;
  d->X_StmtDepth = 0;
  d->X_StackBase = reinterpret_cast<intptr_t>(__builtin_frame_address(0));
  d->X_StackRoom = stackRoom();
  G->dbhtml = d;
}

const char* dbhtmlFileName(Globals* G) {
  return G->dbhtml != nullptr ? G->dbhtml->X_FileName : nullptr;
}

void dbhtmlFinalizeGV(Globals* G) {
  DbhtmlRec* d = G->dbhtml;
  if (d == nullptr) return;
  bxFree(d->X_FileName);
  bxDelete(d);
  G->dbhtml = nullptr;
}

void htmlInitializeGV(Globals* G) {
  G->html = static_cast<unsigned char*>(bxAllocZero(G, 1));
}

void htmlFinalizeGV(Globals* G) {
  bxFree(G->html);
  G->html = nullptr;
}

void cmcInitializeGV(Globals* G) { G->cmc = nullptr; }

void cmcFinalizeGV(Globals* G) { G->cmc = nullptr; }

int Align(int n) { return (n + 3) & ~3; }

// ---------------------------------------------------------------------------
// Nesting bounds
// ---------------------------------------------------------------------------

void EnterNesting(Globals* G, Position pos) {
  DbhtmlRec* d = G->dbhtml;
  if (++d->X_CallDepth > kMaxCallDepth || StackExhausted(d))
    FatalMessage(G, "Calls nested too deeply", pos);
}

void LeaveNesting(Globals* G) { --G->dbhtml->X_CallDepth; }

// ---------------------------------------------------------------------------
// Helpers of the statements
// ---------------------------------------------------------------------------

static bool capturing() { return PQTBuffer != nullptr; }

static FILE* pageStream(Globals* G) { return G->serverInterface->X_Out; }

// The condition of an if or while tag did not give a Boolean: a stored
// message, then a fatal hint that depends on the kind of the condition.
[[noreturn]] static void ConditionError(Globals* G, const Token* cond) {
  const Position pos = cond != nullptr ? cond->position : G->dbhtml->X_MsgPos;
  Message(G, "Condition did not return true or false", xxError, pos);
  const char* hint = "Please adapt condition accordingly.";
  switch (cond != nullptr ? cond->kind : 0) {
    case TKexprbin: case TKexprun:
      hint = "Please use a boolean operator <, <=, ==, !=. &&, ||.";
      break;
    case TKexprassign:
      hint = "Please use == to compare two values instead of = (= stands for assignment).";
      break;
    case TKfuncall:
      hint = "Make sure the called function returns a boolean value.";
      break;
    case TKName: case TKexprindex:
      hint = "Make sure the accessed variable contains a boolean value.";
      break;
    default:
      break;
  }
  FatalMessage(G, hint, pos);
}

// Literal template text.
static void putText(Globals* G, const Token* node) {
  if (node->text == nullptr) return;
  if (capturing()) {
    appends(PQTBuffer, node->text);
  } else if (GermanCharMode(G)) {
    wwwput(G, node->text, false, 66666666);
  } else {
    serverPuts(node->text, pageStream(G));
  }
}

// The value of a form field, or Error when there is none.
static Value formField(Globals* G, Ident name) {
  return GetLocalVariable(G, G->value->ff, name);
}

// Captured text of a value (released when temporary): appended as it is,
// or SQL-quoted.
static void appendValueText(Globals* G, Value v, bool quoted) {
  char* text = Value2Char(G, v);
  if (quoted) appendquoted(PQTBuffer, text);
  else if (text != nullptr) appends(PQTBuffer, text);
  bxFree(text);
}

// ff name / ff name quoted
static void putFormField(Globals* G, const Token* node, bool quoted) {
  Value v = formField(G, node->name);
  if (v.type == tError) return;   // an absent form field writes nothing
  if (capturing()) {
    appendValueText(G, v, quoted);
    return;
  }
  if (quoted) serverPutc('"', pageStream(G));
  WriteValue(G, v, omEscaped);
  if (quoted) serverPutc('"', pageStream(G));
  ReleaseIfTemp(G, &v);
}

// ff_hstv name: a host variable of an update statement.
static void putFormHostVariable(Globals* G, const Token* node, Value hostTuple) {
  if (!capturing() || hostTuple.type != tTuple) return;
  Value* param = vAddField(G, hostTuple, node->name);
  Value v = formField(G, node->name);
  if (v.type == tError) return;
  if (v.type == tString) StoreValue(G, param, v);
  else ReleaseIfTemp(G, &v);
  appends(PQTBuffer, "?");
}

// dbf name [html|text|furl|input]
static void putDatabaseField(Globals* G, Token* node) {
  if (node->kind == TKdbfnameinput) FatalMessage(G, "Invalid format specification", node->position);
  Field* f = findha(G, node);
  if (f == nullptr) return;
  if (node->kind == TKdbfnameurl) {
    if (capturing()) {
      char* text = Value2Char(G, f->v);
      if (text != nullptr) appendurl(PQTBuffer, text);
      bxFree(text);
    } else {
      WriteValueAsUrl(G, f->v);
    }
    return;
  }
  if (capturing()) {
    appenddbf(PQTBuffer, &f->v);
    return;
  }
  const OutputMode mode = node->kind == TKdbfname       ? omPlain
                          : node->kind == TKdbfnamehtml ? omHtml
                                                        : omEscaped;
  WriteValue(G, f->v, mode);
}

// dbf name dbhtml: the field's text runs as template text.
static void runDatabaseField(Globals* G, Token* node, Value hostTuple) {
  Field* f = findha(G, node);
  if (f == nullptr) return;
  G->dbhtml->X_MsgPos = node->position;
  InterpretValue(G, f->v, hostTuple);
  f = findha(G, node);   // the run may have moved the field
  if (f != nullptr && IsTemp(f->v)) ReleaseValue(G, &f->v);
}

// An embedded expression: its value HTML-escaped, or its text while capturing.
static void putExpression(Globals* G, Token* node) {
  if (capturing()) {
    char* text = evalexpr(G, node);
    if (text != nullptr) appends(PQTBuffer, text);
    bxFree(text);
    return;
  }
  Value v = eval(G, node);
  WriteValue(G, v, omEscaped);
  ReleaseIfTemp(G, &v);
}

// An expression with a computed format. A borrowed format text is copied
// first, so that the formatted expression may change the variable holding it.
[[gnu::noinline]] static void putFormatted(Globals* G, Token* node, Value hostTuple) {
  Value format = eval(G, node->right);
  if (format.type != tString) FatalMessage(G, "Format must be of type string", node->position);
  const char* text = format.val.str != nullptr ? format.val.str : "";
  char local[256];
  char* owned = nullptr;
  if (!IsTemp(format)) {
    const size_t n = std::strlen(text);
    if (n < sizeof local) {
      std::memcpy(local, text, n + 1);
      text = local;
    } else {
      owned = STRNDUP(G, text, n);
      text = owned;
    }
  }
  FormatValue(G, node->left, text, nullptr, "", node->position, hostTuple);
  ReleaseIfTemp(G, &format);
  bxFree(owned);
}

// return [expression]
static int runReturn(Globals* G, Token* node) {
  G->dbhtml->X_MsgPos = node->position;
  if (node->expr == nullptr) return irReturn;
  const Value v = eval(G, node->expr);
  Environment* frame = G->environment->current;
  ReleaseValue(G, &frame->returnValue);
  StoreValue(G, &frame->returnValue, v);
  return irReturnValue;
}

// while cond > body </while>: the condition is evaluated once more after a
// pass that ended with break or return, before the loop is left.
static int runWhile(Globals* G, Token* node, Value hostTuple) {
  int code = irEnd;
  Value c = nullValue;
  for (;;) {
    // An empty body runs no statement: the loop itself checks the limit.
    if (os_TimeLimitSpent()) TimeLimitExceeded(G, node->position);
    c = eval(G, node->cond);
    if (c.type != tBoolean || c.val.Boolean == 0 || code != irEnd) break;
    code = Interpret(G, node->body, hostTuple);
  }
  if (c.type != tBoolean) ConditionError(G, node->cond);
  return code == irBreak ? irEnd : code;
}

static int runIf(Globals* G, Token* node, Value hostTuple) {
  const Value c = eval(G, node->cond);
  if (c.type != tBoolean) ConditionError(G, node->cond);
  return Interpret(G, c.val.Boolean != 0 ? node->thenPart : node->elsePart, hostTuple);
}

[[noreturn]] static void invalidStatement(Globals* G, const Token* node) {
  const Position pos = node->kind == TKtext ? G->dbhtml->X_MsgPos : node->position;
  if (capturing()) FatalMessage(G, "Invalid braxel Tag in text mode", pos);
  fputs("Interpret: unexpected node ", stderr);
  WriteTokenKind(stderr, node->kind);
  fputc('\n', stderr);
  FatalMessage(G, "Internal Error, Invalid Token", pos);
}

// One statement; the result code of Interpret (non-zero ends the list).
static int runStatement(Globals* G, Token* node, Value hostTuple) {
  switch (node->kind) {
    case TKtext:
      putText(G, node);
      return irEnd;
    case TKfield: {
      const Field* f = G->query->X_CurrentField;
      if (f != nullptr) WriteValue(G, f->v, omPlain);
      return irEnd;
    }
    case TKfname: {
      const Field* f = G->query->X_CurrentField;
      if (f != nullptr) wwwputs(G, GetStringIdent(G, f->name));
      return irEnd;
    }
    case TKupdate: case TKstamp: case TKdatabase:
      perform_updates(G, node->kind, node);
      return irEnd;
    case TKquery:
      return prepare_query(G, node);
    case TKcustomfield:
      FatalMessage(G, "Customer-specific field formats are not available in this braxel",
                   node->position);
    case TKdbfname: case TKdbfnamehtml: case TKdbfnametext: case TKdbfnameurl:
    case TKdbfnameinput:
      putDatabaseField(G, node);
      return irEnd;
    case TKdbfdbhtml:
      runDatabaseField(G, node, hostTuple);
      return irEnd;
    case TKffname: putFormField(G, node, false); return irEnd;
    case TKffnamequoted: putFormField(G, node, true); return irEnd;
    case TKffhstv: putFormHostVariable(G, node, hostTuple); return irEnd;
    case TKifempty:
      return Interpret(G, CheckEmpty(G, node->cond) ? node->thenPart : node->elsePart, hostTuple);
    case TKifbool:
      return runIf(G, node, hostTuple);
    case TKshell:
      if (SwitchNotOff(Cfg(G).secure))   // on unless set false
        FatalMessage(G, "Shell Tag not allowed in secure mode", node->position);
      execute_shell(G, node);
      return irEnd;
    case TKinclude:   // nests through include_dbh
      return include_dbh(G, node);
    case TKwhile:
      return runWhile(G, node, hostTuple);
    case TKmail:
      send_mail(G, node);
      return irEnd;
    case TKassign:
      perform_assign(G, node);
      return irEnd;
    case TKexprbin: case TKexprun: case TKexprassign: case TKfuncall: case TKexprindex:
    case TKexprcopy: case TKName: case TKconst: case TKselektor:
      putExpression(G, node);
      return irEnd;
    case TKexprformat:
      FormatNamed(G, node, hostTuple);
      return irEnd;
    case TKexprformatstr:
      putFormatted(G, node, hostTuple);
      return irEnd;
    case TKlet:
      evalForEffect(G, node->expr);
      return irEnd;
    case TKdef: case TKdefenv:
      ActivateDefinition(G, node);
      return irEnd;
    case TKcall: case TKcallenv:
      return ProcessCall(G, node->name, node->kind == TKcallenv ? node->body : nullptr,
                         node->params, node->position, nullptr, hostTuple);
    case TKdefbody:
      return ProcessBodyCall(G, node->position, hostTuple);
    case TKbreak:
      return irBreak;
    case TKreturn:
      return runReturn(G, node);
    default:
      invalidStatement(G, node);
  }
}

// ---------------------------------------------------------------------------
// Public entry points
// ---------------------------------------------------------------------------

int Interpret(Globals* G, Token* list, Value hostTuple) {
  DbhtmlRec* d = G->dbhtml;
  if (++d->X_StmtDepth > kMaxExprDepth || StackExhausted(d))
    FatalMessage(G, "Statements nested too deeply", list != nullptr ? list->position : d->X_MsgPos);
  for (Token* node = list; node != nullptr; node = node->next) {
    // Text has no position of its own; the loop around it checks too.
    if (os_TimeLimitSpent() && node->kind != TKtext) TimeLimitExceeded(G, node->position);
    // Assignments, the most frequent statement of a loop, without the
    // statement table's indirect jump.
    if (node->kind == TKlet) {
      evalForEffect(G, node->expr);
      continue;
    }
    const int code = runStatement(G, node, hostTuple);
    if (code != irEnd) {
      --d->X_StmtDepth;
      return code;
    }
  }
  d->X_MsgPos = NoPosition;
  --d->X_StmtDepth;
  return irEnd;
}

int InterpretString(Globals* G, const char* text, Value hostTuple) {
  DbhtmlRec* d = G->dbhtml;
  EnterNesting(G, d->X_MsgPos);
  ErrorsRec* errors = G->Errors;
  const int noErrorsBefore = errors->X_NoErrors;
  errors->X_NoErrors = 1;
  Token* tree = dbhReadString(G, text != nullptr ? text : "");
  if (errors->X_NoErrors == 0) {
    ShowStringSyntaxErrors(G, tree, text != nullptr ? text : "");
    FatalMessage(G, "Syntax Errors in computed braxel", d->X_MsgPos);
  }
  errors->X_NoErrors = noErrorsBefore;
  const int code = Interpret(G, tree, hostTuple);
  LeaveNesting(G);
  return code;
}

int InterpretValue(Globals* G, Value v, Value hostTuple) {
  if (v.type != tString) return irEnd;
  return InterpretString(G, v.val.str != nullptr ? v.val.str : "", hostTuple);
}

char* evalexpr(Globals* G, Token* expr) { return Value2Char(G, eval(G, expr)); }
