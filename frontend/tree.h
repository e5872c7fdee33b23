// tree.h: the syntax tree. Every node is a Token: statement lists are linked
// through next; the kind decides which of the fields below are in use.
#pragma once

#include <vector>

#include "support/types.h"
#include "values/value.h"

struct FunctionRecord;

enum TokenKind : uint16_t {
  TKtext = 1,
  TKfield = 4,
  TKfname = 5,
  TKupdate = 6,
  TKquery = 7,
  TKinpfield = 10,
  TKcustomfield = 13,   // customer-specific field output (not supported)
  TKdbfname = 20,
  TKdbfnamehtml = 21,
  TKdbfnametext = 22,
  TKdbfnameurl = 23,
  TKdbfnameinput = 24,
  TKdbfdbhtml = 25,
  TKffname = 30,
  TKffnamequoted = 31,
  TKffhstv = 32,
  TKifempty = 40,
  TKifbool = 41,
  TKshell = 44,
  TKinclude = 46,
  TKwhile = 47,
  TKmail = 48,
  TKstamp = 51,
  TKassign = 52,
  TKdatabase = 54,
  TKhead = 55,
  TKbody = 56,
  TKrowbegin = 57,
  TKrowend = 58,
  TKcolumn = 59,
  TKfoot = 60,
  TKempty = 61,
  TKsep = 63,
  TKtop = 64,
  TKrow = 65,
  TKexprbin = 70,
  TKexprun = 71,
  TKexprassign = 72,
  TKexprformat = 73,
  TKfuncall = 74,
  TKexprindex = 75,
  TKexprcopy = 76,
  TKexprformatstr = 77,
  TKlet = 80,
  TKName = 92,
  TKconst = 95,
  TKselektor = 96,
  TKdef = 100,
  TKdefenv = 101,
  TKtuple = 102,
  TKcall = 103,
  TKcallenv = 104,
  TKdefbody = 105,
  TKtupleout = 106,
  TKbreak = 200,
  TKreturn = 201,
};

// Operator codes of expression nodes.
enum OperatorCode : int {
  opPlus = 43, opMinus = 45, opTimes = 42, opDiv = 47, opMod = 37,
  opLess = 60, opLessEq = 108, opGreaterEq = 103, opEq = 101, opNotEq = 35,
  opAnd = 110, opOr = 111, opSeq = 44, opNeg = 95, opNot = 33, opAssign = 32,
};

// Format codes of TKexprformat.
enum FormatCode : int {
  fmtHtml = 1, fmtQuoted = 3, fmtInput = 4, fmtFurl = 5, fmtCustom = 6,
  fmtDbhtml = 7, fmtHstv = 8,
};

// The section slots of a query node.
enum SectionSlot : int {
  SecTop, SecHead, SecBody, SecRowbegin, SecColumn, SecRowend, SecFoot, SecSep,
  SecEmpty, SecCount,
};
// The slot of a section kind (55..64), or -1.
int SectionSlotOf(uint16_t kind);

// The field a TKName or TKselektor node found last, with the count of
// vFieldEpoch then (0: none) and the tuple it was found in (which a
// selection compares with its base's): while the count stands, the field is
// where it was.
struct FieldCache {
  uint64_t epoch;
  Field* field;
  Tuple* tuple;
};

// One node. Field use by kind:
//   TKtext           text, textLength (no position)
//   field outputs    name (field), qualifier (query name or 0)
//   TKupdate/TKstamp/TKdatabase  body
//   TKquery          body (query text), sections[], sectionList, name
//   section 55..64   body (its statements)
//   (sections is a separate array of SecCount slots, each the body of the
//   section written first of its kind, or null)
//   TKifempty        cond (tested statements), thenPart, elsePart
//   TKifbool         cond (expression), thenPart, elsePart
//   TKwhile          cond, body
//   TKassign         expr (target), body
//   TKlet, TKreturn  expr (none for a bare return)
//   TKshell, TKinclude  body;  TKmail  params (TKtuple list), body
//   TKdef, TKdefenv  name, params (TKtuple / TKtupleout), body, prevDef
//   TKcall, TKcallenv  name, params (arguments), body (TKcallenv only)
//   TKtuple          name (0 positional), expr (argument or default, or none)
//   TKtupleout       name
//   TKexprbin        left, op, right, format (its shape: interp/eval.cpp)
//   TKexprun         op, left (operand)
//   TKexprassign     left (target), op = 32, right (value)
//   TKexprformat     left (expression), format (code)
//   TKexprformatstr  left (expression), right (format expression)
//   TKfuncall        name, builtin (or null), params (TKtuple arguments)
//   TKexprindex      left (base), right (index)
//   TKexprcopy       left (wrapped expression), position NoPosition
//   TKName           name, slot, found
//   TKconst          constant
//   TKselektor       name (field), left (base), slot, found
//
// Fields that no kind uses together share storage: after the part every
// node has (next, kind, position, the names), five words hold what the
// kind needs, as laid out below. So a field may be read only on the kinds
// listed for it above; a walk over a tree follows TokenLinks. A node is made
// only as long as the fields of its kind reach (a text node's bytes follow
// its text field). Nodes are charged to the budget at kChargedNodeBytes
// each, whatever their size.
struct Token {
  Token* next;
  uint16_t kind;
  // An expression's side effects, as the side-effect pass rates them (0
  // none, 1 may call a user-defined function, 2 contains an assignment),
  // set when the node is made; above 0 only on the kinds with operands
  // (unary and binary operators, index, selection, copy, function call).
  uint8_t effects;
  int32_t textLength;
  Position position;
  Ident name;
  Ident qualifier;

  union {
    Token* left;
    Token* cond;
    Token* expr;
    Token* prevDef;   // TKdef, TKdefenv; TKconst: the next listed constant
    char* text;
  };
  union {
    // TKName, TKselektor: where the name was found last (interp/eval.cpp).
    SlotCache slot;
    struct {
      int op;
      int format;
    };
    Token* body;
    Token* thenPart;
  };
  union {
    Value constant;    // TKconst
    FieldCache found;  // TKName, TKselektor
    struct {
      union {
        Token* right;
        Token* elsePart;
        Token* params;
        Token** sections;
      };
      union {
        const FunctionRecord* builtin;
        Token* sectionList;
      };
    };
  };
};

// What a syntax node costs the memory budget, and a text node besides its
// bytes: the size of the record before its fields shared storage, so that
// what a page costs stays as it was.
inline constexpr size_t kChargedNodeBytes = 184;

// The nodes a node links to, by its kind (next first; null links are
// left out); out must hold kMaxTokenLinks. Returns their number.
inline constexpr int kMaxTokenLinks = 4 + SecCount;
int TokenLinks(const Token* t, Token** out);

// A block that nodes are carved from: a chunk, or one large node (every
// node under AddressSanitizer), or a region of chunks (a large template's,
// see tree.cpp). The node bytes follow the header.
struct TreeBlock {
  TreeBlock* link;
  void* region;   // a region: the allocation it lies in; null otherwise
};

// The trees of a request, released together: every block their nodes were
// carved from, and the constant nodes whose strings and tuples are
// allocations of their own (linked through prevDef, which a constant does
// not otherwise use).
struct TreeStore {
  TreeBlock* blocks;
  Token* constants;
};

// What a parse does to the definition table, written down while a template
// cache watches it: the definitions in the order they were made, and what
// the table's growth charged to the budget.
struct DefinitionLog {
  std::vector<Token*> made;
  int64_t charged;
};

// The token module record (slot 11): the definition table, indexed by
// identifier, each slot the newest TKdef / TKdefenv of that name.
struct TokenModule {
  Token** defs;
  size_t size;
  // Nodes are carved from chunks and live until the end of the request; a
  // text node carries its bytes right behind it. The budget is charged a
  // chunk at a time, for nodes at their charged size: chunkLeft is what is
  // left of the chunk charged last, and a node that does not fit in it
  // takes a new one. Where the next node's bytes come from is apart
  // (chunk, and roomLeft at the end of the record).
  char* chunk;
  size_t chunkLeft;
  // Bytes of a chunk that the budget was charged for already (a cached
  // tree's last chunk, see PrepaidChunk): the next chunk holds this much
  // and costs nothing.
  uint32_t prepaid;
  // The chunks taken for the trees (counted up to the first region's), and
  // where the next one in a region is (a large template's, see tree.cpp).
  uint32_t chunksTaken;
  TreeStore trees;
  DefinitionLog* X_Log;   // null unless a template cache watches the parse
  char* regionNext;
  size_t roomLeft;   // bytes left behind chunk
};

// The expression-node pool (slot 20).
struct ExprRec {
  Token* freeList;
};

void tokenInitializeGV(Globals* G);
void tokenFinalizeGV(Globals* G);

// Takes the trees parsed so far out of the request, for a cache that keeps
// them; nodes made later go into new chunks. *chunkLeft: the bytes left in
// the last chunk, which a fresh parse would still have used.
TreeStore TakeTrees(Globals* G, size_t* chunkLeft);
// Releases trees: the constants' values, then the blocks.
void FreeTrees(Globals* G, TreeStore* trees);
// After a cached tree stands for a parse: its last chunk's unused bytes were
// charged with it, and are the first that later nodes take.
void PrepaidChunk(Globals* G, size_t bytes);
void exprInitializeGV(Globals* G);
void exprFinalizeGV(Globals* G);

// The current definition of a name, or null.
Token* LookupDefinition(Globals* G, Ident name);
// Makes def the current definition of its name (the interpreter re-activates
// definitions this way).
void ActivateDefinition(Globals* G, Token* def);
// Drops the definitions registered from a file (syntax-error page re-read).
void DropDefinitionsOfFile(Globals* G, const char* file);

Token* NewExpr(Globals* G);
void FreeExpr(Globals* G, Token* t);

Token* mTKText(Globals* G, const char* text, int32_t length);
// The text node of prefix and text joined (as mTKText of the joined bytes).
Token* mTKTextJoined(Globals* G, const char* prefix, int32_t prefixLength, const char* text,
                     int32_t length);
Token* mTKSimple(Globals* G, uint16_t kind, Position pos);
Token* mTKdbf(Globals* G, Position pos, uint16_t kind, Ident qualifier, Ident fieldName);
Token* mTKUpdate(Globals* G, uint16_t kind, Token* body, Position pos);
Token* mTKLayout(Globals* G, uint16_t kind, Token* next, Token* body, Position pos);
Token* mTKQuery(Globals* G, Ident name, Token* queryText, Token* sections, Position pos);
Token* mTKIfEmpty(Globals* G, Token* tested, Token* thenPart, Token* elsePart, Position pos);
Token* mTKIfBool(Globals* G, Token* cond, Token* thenPart, Token* elsePart, Position pos);
Token* mTKWhile(Globals* G, Token* cond, Token* body, Position pos);
Token* mTKAssign(Globals* G, Token* target, Token* body, Position pos);
Token* mTKLet(Globals* G, Token* expr, Position pos);
Token* mTKReturn(Globals* G, Token* expr, Position pos);
Token* mTKInclude(Globals* G, Token* body, Position pos);
Token* mTKShell(Globals* G, Token* body, Position pos);
Token* mTKMail(Globals* G, Token* params, Token* body, Position pos);
Token* mTKDefine(Globals* G, uint16_t kind, Position pos, Ident name, Token* body);
Token* mTKCall(Globals* G, uint16_t kind, Position pos, Ident name, Token* args, Token* body);
Token* mTKTuple(Globals* G, Token* next, Position pos, Ident name, Token* expr);
Token* mTKTupleOut(Globals* G, Token* next, Position pos, Ident name);
Token* mTKExprBin(Globals* G, Position pos, Token* left, int op, Token* right);
Token* mTKExprUn(Globals* G, Position pos, int op, Token* operand);
Token* mTKExprAssign(Globals* G, Position pos, Token* target, Token* value);
Token* mTKExprIndex(Globals* G, Position pos, Token* base, Token* index);
Token* mTKSelektor(Globals* G, Position pos, Ident fieldName, Token* base);
Token* mTKName(Globals* G, Position pos, Ident id);
Token* mTKConst(Globals* G, Position pos, const Value& value);
Token* mTKExprCopy(Globals* G, Token* expr);
Token* mTKExprFormat(Globals* G, Position pos, Token* expr, Token* format);
Token* mTKFunCall(Globals* G, Position pos, Ident name, Token* args);

Token* AppendToken(Globals* G, Token* list, Token* item);
Token* dbhRevToken(Token* list);
Token* FixSideEffects(Globals* G, Token* expr);
void WriteTokenKind(FILE* stream, uint16_t kind);
// Number of entries of a list.
int ListLength(const Token* list);
