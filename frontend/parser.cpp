// parser.cpp: the table-driven LALR(1) parser of templates, its tree-building
// actions and the automatic error recovery (report, skip to a restart point,
// insert missing tokens).
#include "frontend/parser.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/tree.h"
#include "parser_tables.h"
#include "support/memory.h"
#include "values/value.h"

namespace {

constexpr int kInitialStack = 100;
// Deeper nesting ends the request: the tree walkers recurse on it.
constexpr int kMaxStack = 10000;
constexpr int kMaxExprDepth = 10000;
// Longest text of the expected-token message.
constexpr size_t kMaxExpectedText = 255;
// Room for the states that one simulated lookahead pushes through chained
// reductions (only empty rules push without popping).
constexpr int kSimExtra = 64;

const char* const kTooDeep = "Template nested too deeply";

// A stack entry: its state and attribute, which is a terminal's copy of the
// scanner attribute or a nonterminal's node (tok.pos is then the position of
// its first token). A field that no rule reads of an entry's symbol is left
// as it was.
struct ParseAttr {
  ScanAttr tok;
  Token* node;     // a nonterminal's
  int depth;       // nesting depth of the expression in node (expression
                   // nonterminals only)
  int16_t state;
};
// The budget is charged for a stack entry as it was when the states had an
// array of their own and the attribute held the token code: the states first.
constexpr size_t kChargedState = sizeof(int16_t);
constexpr size_t kChargedEntry = kScanAttrCharge + sizeof(Token*) + 2 * sizeof(int);

// A set of terminals.
struct TokenSet {
  uint64_t bits[2];
};

void setAdd(TokenSet* s, int t) { s->bits[t >> 6] |= uint64_t{1} << (t & 63); }
bool setHas(const TokenSet& s, int t) { return (s.bits[t >> 6] >> (t & 63)) & 1; }
void setUnion(TokenSet* s, const TokenSet& o) {
  s->bits[0] |= o.bits[0];
  s->bits[1] |= o.bits[1];
}

// The restart set of the rest of a continuation walk that reaches the
// configuration "real stack up to this entry, then `state`". Valid while the
// real stack up to the entry is unchanged.
struct RestartMemo {
  TokenSet rest;
  int16_t state;
  bool valid;
};

// A configuration of that form met by the current walk, with the expected
// tokens met from there up to the next one.
struct Checkpoint {
  int index;
  int16_t state;
  TokenSet segment;
};

// The parser's stack. The parser's loop works on a copy of its own, which no
// call out of the loop can reach, so that it stays in registers; the run's
// copy is brought up to date around the calls that use it.
struct Stack {
  ParseAttr* attrs;
  ParseAttr* topAttr;   // the top entry
  ParseAttr* last;      // the last entry there is room for
  ParseAttr* memoHigh;  // no memo above this entry is valid
};

static int topIndex(const Stack& k) { return static_cast<int>(k.topAttr - k.attrs); }
static int stateAt(const Stack& k, int i) { return k.attrs[i].state; }

// One run of the parser.
struct Run {
  Globals* G;
  Stack stack;
  int capacity;
  int la;         // the lookahead and its attribute: the scanner's, until the
                  // error repair changes it in laAttr
  const ScanAttr* lookahead;
  ScanAttr laAttr;
  const ScanAttr* scanned;   // the scanner's attribute (its record lives as long)
  int errors;
  bool recovering;
  int16_t* overlay;   // states pushed while following continuations on a copy
  int overlayCapacity;
  RestartMemo* memo;   // per real stack entry (see restartSet)
  int memoCapacity;
  Checkpoint* checkpoints;
  int checkpointCapacity;
};

// A configuration for simulations: the real stack up to base, then
// count entries of the overlay.
struct Config {
  int base;
  int count;
};

}  // namespace

// ---------------------------------------------------------------- stacks

// The action of state s on terminal t.
static int actionOf(int s, int t) { return ParserActionOn[t][s]; }

static void readToken(Run* r) {
  int la = GetToken(r->G);
  // NEVER: the form-argument codes come only from the form states; anything
  // outside the grammar's terminals is a token no rule accepts
  if (static_cast<unsigned>(la) >= kParserTerminalCount) la = tkTOKchars;
  r->la = la;
  r->lookahead = r->scanned;
}

static ParseAttr* allocAttrs(Globals* G, int capacity) {
  Charge(G, capacity * kChargedState);
  return static_cast<ParseAttr*>(
      bxAllocAs(G, capacity * sizeof(ParseAttr), capacity * kChargedEntry));
}

// Stack k with room for one more entry: the stack doubles, up to kMaxStack.
// (By value: the loop's stack never has its address taken.)
[[gnu::noinline]] static Stack grownStack(Run* r, Stack k) {
  if (r->capacity >= kMaxStack) FatalMessage(r->G, kTooDeep, r->lookahead->pos);
  int capacity = 2 * r->capacity;
  if (capacity > kMaxStack) capacity = kMaxStack;
  ParseAttr* attrs = allocAttrs(r->G, capacity);
  const int top = topIndex(k);
  std::memcpy(static_cast<void*>(attrs), k.attrs, (top + 1) * sizeof(ParseAttr));
  bxFree(k.attrs);
  r->capacity = capacity;
  return Stack{attrs, attrs + top, attrs + capacity - 1, attrs + (k.memoHigh - k.attrs)};
}

// Pushes state on stack k (the run's or the loop's); its attribute is the
// caller's to fill in.
[[gnu::always_inline]] static inline ParseAttr* pushState(Run* r, Stack* k, int state) {
  if (k->topAttr == k->last) *k = grownStack(r, *k);
  ParseAttr* e = ++k->topAttr;
  e->state = static_cast<int16_t>(state);
  return e;
}

// Pushes state where an entry was just popped; its attribute is the
// caller's to fill in.
[[gnu::always_inline]] static inline ParseAttr* replaceTop(Stack* k, int state) {
  ParseAttr* e = ++k->topAttr;
  e->state = static_cast<int16_t>(state);
  return e;
}

static void push(Run* r, int state, const ParseAttr& attr) {
  ParseAttr* e = pushState(r, &r->stack, state);
  e->tok = attr.tok;
  e->node = attr.node;
  e->depth = attr.depth;
}

// The part of a token's attribute that rules read: from its position on
// (the text of a token is the scanner's own).
constexpr size_t kReadFrom = offsetof(ScanAttr, pos);
static_assert(offsetof(ScanAttr, text) < kReadFrom);

// Shifts the lookahead (as push of terminalAttr(its attribute) does, but for
// the text of the token).
[[gnu::always_inline]] static inline void shift(Run* r, Stack* k, int state) {
  ParseAttr* e = pushState(r, k, state);
  std::memcpy(reinterpret_cast<char*>(&e->tok) + kReadFrom,
              reinterpret_cast<const char*>(r->lookahead) + kReadFrom,
              sizeof(ScanAttr) - kReadFrom);
}

static ParseAttr terminalAttr(const ScanAttr& tok) {
  ParseAttr a;
  std::memset(static_cast<void*>(&a), 0, sizeof a);
  a.tok = tok;
  return a;
}

// ---------------------------------------------------------------- tree building

static Token* fix(Globals* G, Token* e) { return FixSideEffects(G, e); }

// The operator of a binary-operator rule.
constexpr int binaryOperator(int rule) {
  switch (rule) {
    case R_SimpleExpression__SimpleExpression_Plus_SimpleExpression: return opPlus;
    case R_SimpleExpression__SimpleExpression_Minus_SimpleExpression: return opMinus;
    case R_SimpleExpression__SimpleExpression_Star_SimpleExpression: return opTimes;
    case R_SimpleExpression__SimpleExpression_Slash_SimpleExpression: return opDiv;
    case R_SimpleExpression__SimpleExpression_Percent_SimpleExpression: return opMod;
    case R_SimpleExpression__SimpleExpression_Less_SimpleExpression:
    case R_Condition__SimpleExpression_Less_SimpleExpression: return opLess;
    case R_SimpleExpression__SimpleExpression_EqEq_SimpleExpression:
    case R_Condition__SimpleExpression_EqEq_SimpleExpression: return opEq;
    case R_SimpleExpression__SimpleExpression_NotEq_SimpleExpression:
    case R_Condition__SimpleExpression_NotEq_SimpleExpression: return opNotEq;
    case R_SimpleExpression__SimpleExpression_AndAnd_SimpleExpression:
    case R_Condition__SimpleExpression_AndAnd_SimpleExpression: return opAnd;
    case R_SimpleExpression__SimpleExpression_OrOr_SimpleExpression:
    case R_Condition__SimpleExpression_OrOr_SimpleExpression: return opOr;
    case R_SimpleExpression__SimpleExpression_LessEq_SimpleExpression:
    case R_Condition__SimpleExpression_LessEq_SimpleExpression: return opLessEq;
    default: return opGreaterEq;
  }
}

// The closing name of a user environment must be the opening one; an
// inserted closer carries the name 0 and is not checked.
static void checkClosingName(Globals* G, const ParseAttr& open, const ParseAttr& close) {
  const Ident closing = close.tok.ident;
  if (closing == 0 || closing == open.tok.ident) return;
  MessageI(G, "Invalid closing tag", xxError, close.tok.pos, InfoIdent(closing));
  MessageI(G, "Begin of unclosed tag ", xxWarning, open.tok.pos, InfoIdent(open.tok.ident));
}

// Statements Statement: the statement goes behind the list's last node,
// which the list's entry keeps in tok.textNode (a nonterminal's entry has no
// other use for it). Returns the list. A statement of several nodes comes in
// last node first.
static Token* appendStatement(ParseAttr* list, Token* statement) {
  if (statement == nullptr) return list->node;
  Token* const last = statement;
  if (statement->next != nullptr) statement = dbhRevToken(statement);
  if (list->node == nullptr) {
    list->tok.textNode = last;
    return statement;
  }
  list->tok.textNode->next = statement;
  list->tok.textNode = last;
  return list->node;
}

// The node of rule `rule`, whose right-hand side is a[1..length]; pos is
// the position of its first token. A Statements entry's list is in source
// order; a[1] is where the rule's own entry goes.
[[gnu::always_inline]] static inline Token* buildNode(Globals* G, int rule, ParseAttr* a,
                                                      Position pos) {
  Token* n = nullptr;
  switch (rule) {
    case R_Template__Statements:   // Template: Statements
      n = a[1].node;
      break;
    case R_Template__Inpfield_TOKchars:   // Template: "TOKinpfield" "TOKchars"
      n = nullptr;
      break;
    case R_Statements__empty:   // Statements: %empty
      n = nullptr;
      break;
    case R_Statements__Statements_Statement:   // Statements: Statements Statement
      n = appendStatement(&a[1], a[2].node);
      break;
    case R_Statement__HTMLText:   // Statement: "HTMLText"
      n = a[1].tok.textNode;
      break;
    case R_Statement__Dbfname:   // Statement: "TOKdbfname"
      n = mTKdbf(G, pos, a[1].tok.nodeKind != 0 ? a[1].tok.nodeKind : uint16_t{TKdbfname},
                 a[1].tok.qualifier, a[1].tok.fieldName);
      break;
    case R_Statement__Dbquery_Greater_Statements_Sections_DbEnd:
      // Statement: "<dbquery" ">" Statements Sections "</db"
      n = mTKQuery(G, a[1].tok.ident, a[3].node, a[4].node, pos);
      break;
    case R_Statement__Dbupdate_Greater_Statements_DbEnd:
      // Statement: "<dbupdate" ">" Statements "</db"
      n = mTKUpdate(G, a[1].tok.nodeKind != 0 ? a[1].tok.nodeKind : uint16_t{TKupdate},
                    a[3].node, pos);
      break;
    case R_Statement__Include_Greater_Statements_IncludeEnd_Greater:
      // Statement: "<include" ">" Statements "</include" ">"
      n = mTKInclude(G, a[3].node, pos);
      break;
    case R_Statement__Shell_Greater_Statements_ShellEnd_Greater:
      // Statement: "<shell" ">" Statements "</shell" ">"
      n = mTKShell(G, a[3].node, pos);
      break;
    case R_Statement__Mail_Arguments_Greater_Statements_MailEnd_Greater:
      // Statement: "<mail" Arguments ">" Statements "</mail" ">"
      n = mTKMail(G, a[2].node, a[4].node, pos);
      break;
    case R_Statement__Assign_FullExpression_Greater_Statements_AssignEnd:
      // Statement: "<assign" FullExpression ">" Statements "</="
      n = mTKAssign(G, fix(G, a[2].node), a[4].node, pos);
      break;
    case R_Statement__Let_FullExpression_Greater:   // Statement: "<let" FullExpression ">"
      n = mTKLet(G, fix(G, a[2].node), pos);
      break;
    case R_Statement__FullExpression_Greater:   // Statement: FullExpression ">"
      n = mTKLet(G, fix(G, a[1].node), pos);
      break;
    case R_Statement__While_Condition_Greater_Statements_WhileEnd:
      // Statement: "<while" Condition ">" Statements "</while"
      n = mTKWhile(G, fix(G, a[2].node), a[4].node, pos);
      break;
    case R_Statement__Ifempty_Greater_Statements_Then_Statements_IfEnd:
      // Statement: "<ifempty" ">" Statements "<then" Statements "</if"
      n = mTKIfEmpty(G, fix(G, a[3].node), a[5].node, nullptr, pos);
      break;
    case R_Statement__Ifempty_Greater_Statements_Then_Statements_Else_Statements_IfEnd:
      // Statement: "<ifempty" ">" Statements "<then" Statements "<else" Statements "</if"
      n = mTKIfEmpty(G, fix(G, a[3].node), a[5].node, a[7].node, pos);
      break;
    case R_Statement__If_Condition_Greater_Statements_IfEnd:
      // Statement: "<if" Condition ">" Statements "</if"
      n = mTKIfBool(G, fix(G, a[2].node), a[4].node, nullptr, pos);
      break;
    case R_Statement__If_Condition_Greater_Statements_Else_Statements_IfEnd:
      // Statement: "<if" Condition ">" Statements "<else" Statements "</if"
      n = mTKIfBool(G, fix(G, a[2].node), a[4].node, a[6].node, pos);
      break;
    case R_Statement__Question_SimpleExpression_Greater:
      // Statement: "<?" SimpleExpression ">"   (output of the value)
      n = fix(G, a[2].node);
      break;
    case R_Statement__Question_SimpleExpression_Separator_SimpleExpression_Greater:
      // Statement: "<?" SimpleExpression Separator SimpleExpression ">"
      n = mTKExprFormat(G, pos, fix(G, a[2].node), fix(G, a[4].node));
      break;
    case R_Statement__DefHead_Parameters_Greater_Statements_DefEnd:
      // Statement: DefHead Parameters ">" Statements "</def"
    case R_Statement__DefEnvHead_Parameters_Greater_Statements_DefenvEnd:
      // Statement: DefEnvHead Parameters ">" Statements "</defenv"
      n = a[1].node;
      n->params = a[2].node;
      n->body = a[4].node;
      break;
    case R_Statement__Defbody:   // Statement: "<defbody"
      n = mTKSimple(G, TKdefbody, pos);
      break;
    case R_Statement__UserTag_Arguments_Greater:   // Statement: "<UserTag" Arguments ">"
      n = mTKCall(G, TKcall, pos, a[1].tok.ident, a[2].node, nullptr);
      break;
    case R_Statement__UserEnv_Arguments_Greater_Statements_UserEnvEnd:
      // Statement: "<UserEnvironment" Arguments ">" Statements "</UserEnvironment"
      n = mTKCall(G, TKcallenv, pos, a[1].tok.ident, a[2].node, a[4].node);
      checkClosingName(G, a[1], a[5]);
      break;
    case R_Statement__Return_FullExpression_Greater:   // Statement: "<return" FullExpression ">"
      n = mTKReturn(G, fix(G, a[2].node), pos);
      break;
    case R_Statement__Return_Greater:   // Statement: "<return" ">"
      n = mTKReturn(G, nullptr, pos);
      break;
    case R_Statement__Break:   // Statement: "<break"
      n = mTKSimple(G, TKbreak, pos);
      break;
    case R_DefHead__Def_Ident:   // DefHead: "<def" "Ident"  (in force from here on)
      n = mTKDefine(G, TKdef, pos, a[2].tok.ident, nullptr);
      break;
    case R_DefEnvHead__Defenv_Ident:   // DefEnvHead: "<defenv" "Ident"
      n = mTKDefine(G, TKdefenv, pos, a[2].tok.ident, nullptr);
      break;
    case R_Sections__empty:   // Sections: %empty
      n = nullptr;
      break;
    case R_Sections__Sections_DbSection_Statements:
      // Sections: Sections "dbSection" Statements   (newest first)
      if (SectionSlotOf(a[2].tok.nodeKind) < 0) {
        n = a[1].node;   // an inserted section tag names no section
      } else {
        n = mTKLayout(G, a[2].tok.nodeKind, a[1].node, a[3].node, a[2].tok.pos);
      }
      break;
    case R_FullExpression__SimpleExpression:   // FullExpression: SimpleExpression
      n = a[1].node;
      break;
    case R_FullExpression__FullExpression_Comma_SimpleExpression:
      // FullExpression: FullExpression "," SimpleExpression
      n = mTKExprBin(G, a[2].tok.pos, a[1].node, opSeq, a[3].node);
      break;
    case R_FullExpression__FullExpression_Equal_SimpleExpression:
      // FullExpression: FullExpression "=" SimpleExpression
      n = mTKExprAssign(G, a[2].tok.pos, a[1].node, a[3].node);
      break;
    case R_SimpleExpression__SimpleExpression_Plus_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_Minus_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_Star_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_Slash_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_Percent_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_Less_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_EqEq_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_NotEq_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_AndAnd_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_OrOr_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_LessEq_SimpleExpression:
    case R_SimpleExpression__SimpleExpression_GreaterEq_SimpleExpression:
    case R_Condition__SimpleExpression_Less_SimpleExpression:
    case R_Condition__SimpleExpression_EqEq_SimpleExpression:
    case R_Condition__SimpleExpression_NotEq_SimpleExpression:
    case R_Condition__SimpleExpression_AndAnd_SimpleExpression:
    case R_Condition__SimpleExpression_OrOr_SimpleExpression:
    case R_Condition__SimpleExpression_LessEq_SimpleExpression:
    case R_Condition__SimpleExpression_GreaterEq_SimpleExpression:
      // SimpleExpression | Condition: SimpleExpression op SimpleExpression
      n = mTKExprBin(G, a[2].tok.pos, a[1].node, binaryOperator(rule), a[3].node);
      break;
    case R_SimpleExpression__Minus_SimpleExpression:   // SimpleExpression: "-" SimpleExpression
      n = mTKExprUn(G, a[1].tok.pos, opNeg, a[2].node);
      break;
    case R_SimpleExpression__Not_SimpleExpression:   // SimpleExpression: "!" SimpleExpression
    case R_Condition__Not_SimpleExpression:          // Condition: "!" SimpleExpression
      n = mTKExprUn(G, a[1].tok.pos, opNot, a[2].node);
      break;
    case R_SimpleExpression__Integer:   // SimpleExpression: "Integer"
      n = mTKConst(G, pos, MakeInteger(a[1].tok.integer));
      break;
    case R_SimpleExpression__Real:   // SimpleExpression: "Real"  (single precision, widened)
      n = mTKConst(G, pos, MakeReal(static_cast<double>(a[1].tok.real)));
      break;
    case R_SimpleExpression__QuotedString: {   // SimpleExpression: "QuotedString"
      Value v{};
      v.type = tString;
      v.flags = 0;
      SetString(&v, a[1].tok.string);
      n = mTKConst(G, pos, v);
      break;
    }
    case R_SimpleExpression__Null:   // SimpleExpression: "null"
      n = mTKConst(G, pos, nullValue);
      break;
    case R_SimpleExpression__Emptytuple: {   // SimpleExpression: "emptytuple"
      Value v{};
      iVTuple(G, &v);
      v.flags = 0;
      n = mTKConst(G, pos, v);
      break;
    }
    case R_SimpleExpression__True:   // SimpleExpression: "true"
    case R_Condition__True:          // Condition: "true"
      n = mTKConst(G, pos, MakeBoolean(true));
      break;
    case R_SimpleExpression__False:   // SimpleExpression: "false"
    case R_Condition__False:          // Condition: "false"
      n = mTKConst(G, pos, MakeBoolean(false));
      break;
    case R_SimpleExpression__SimpleExpression_LBracket_FullExpression_RBracket:
    case R_Condition__SimpleExpression_LBracket_FullExpression_RBracket:
      // SimpleExpression | Condition: SimpleExpression "[" FullExpression "]"
      n = mTKExprIndex(G, a[2].tok.pos, a[1].node, a[3].node);
      break;
    case R_SimpleExpression__SimpleExpression_Dot_Ident:
    case R_Condition__SimpleExpression_Dot_Ident:
      // SimpleExpression | Condition: SimpleExpression "." "Ident"
      n = mTKSelektor(G, a[2].tok.pos, a[3].tok.ident, a[1].node);
      break;
    case R_SimpleExpression__LParen_FullExpression_RParen:
    case R_Condition__LParen_FullExpression_RParen:
      // SimpleExpression | Condition: "(" FullExpression ")"
      n = a[2].node;
      break;
    case R_SimpleExpression__Ident:   // SimpleExpression: "Ident"
    case R_Condition__Ident:          // Condition: "Ident"
      n = mTKName(G, pos, a[1].tok.ident);
      break;
    case R_SimpleExpression__Ident_LParen_Arguments_RParen:
    case R_Condition__Ident_LParen_Arguments_RParen:
      // SimpleExpression | Condition: "Ident" "(" Arguments ")"
      n = mTKFunCall(G, a[2].tok.pos, a[1].tok.ident, a[3].node);
      break;
    case R_Arguments__Ident_Equal_SimpleExpression_Separator_Arguments:
      // Arguments: "Ident" "=" SimpleExpression Separator Arguments
      n = mTKTuple(G, a[5].node, a[2].tok.pos, a[1].tok.ident, fix(G, a[3].node));
      break;
    case R_Arguments__SimpleExpression_Separator_Arguments:
      // Arguments: SimpleExpression Separator Arguments
      n = mTKTuple(G, a[3].node, a[1].node != nullptr ? a[1].node->position : pos, 0,
                   fix(G, a[1].node));
      break;
    case R_Arguments__empty:   // Arguments: %empty
      n = nullptr;
      break;
    case R_Parameters__Ident_Equal_SimpleExpression_ParamSeparator_Parameters:
      // Parameters: "Ident" "=" SimpleExpression ParamSeparator Parameters
      n = mTKTuple(G, a[5].node, pos, a[1].tok.ident, fix(G, a[3].node));
      break;
    case R_Parameters__Ident_ParamSeparator_Parameters:
      // Parameters: "Ident" ParamSeparator Parameters
      n = mTKTuple(G, a[3].node, pos, a[1].tok.ident, nullptr);
      break;
    case R_Parameters__Star_Ident_ParamSeparator_Parameters:
      // Parameters: "*" "Ident" ParamSeparator Parameters
      n = mTKTupleOut(G, a[4].node, pos, a[2].tok.ident);
      break;
    case R_Parameters__empty:   // Parameters: %empty
      n = nullptr;
      break;
    case R_Separator__Comma:           // Separator: ","
    case R_Separator__empty:           // Separator: %empty
    case R_ParamSeparator__Comma:      // ParamSeparator: ","
    case R_ParamSeparator__empty:      // ParamSeparator: %empty
      n = nullptr;
      break;
    default:
      bxAssertFailed(G, "rule without an action", {"parser"}, std::source_location::current());
  }
  return n;
}

// How a rule's expression depth follows from its parts' (ruleDepth).
enum DepthRule : uint8_t {
  drNone,      // outside expressions: 0
  drDeepest,   // lists and pass-through rules: the deepest part's
  drNested,    // one level below the deepest part
};

// Does an entry of the nonterminal carry an expression depth?
constexpr bool hasDepth(int nonterminal) {
  return nonterminal == ntSimpleExpression || nonterminal == ntFullExpression ||
         nonterminal == ntCondition || nonterminal == ntArguments;
}

// The depth rule of each grammar rule.
constexpr DepthRule depthRuleOf(int rule) {
  if (!hasDepth(ParserRuleLhs[rule])) return drNone;
  if (ParserRuleLhs[rule] == ntArguments || ParserRuleLength[rule] == 1 ||
      rule == R_SimpleExpression__LParen_FullExpression_RParen ||
      rule == R_Condition__LParen_FullExpression_RParen) {
    return drDeepest;
  }
  return drNested;
}

// Nesting depth of the expression a rule builds (0 outside expressions):
// only the parts that carry one count.
template <int Rule>
[[gnu::always_inline]] static inline int ruleDepth(const ParseAttr* a) {
  constexpr DepthRule how = depthRuleOf(Rule);
  if constexpr (how == drNone) {
    return 0;
  } else {
    int depth = 0;
    for (int i = 1; i <= ParserRuleLength[Rule]; i++) {
      if (hasDepth(ParserRuleRhs[Rule][i - 1]) && a[i].depth > depth) {
        depth = a[i].depth;
      }
    }
    return how == drNested ? depth + 1 : depth;
  }
}

// Reduces the real stack by Rule and builds its node. The entry of the
// nonterminal holds its first token's position, its node and its depth (no
// rule reads more of a nonterminal's entry). With the rule a constant, the
// rule's length, depth and node come down to the code of that rule alone.
// Returns the state pushed.
struct ReduceBy {
  Run* r;
  Stack* k;   // the run's stack or the loop's
  // The loop's actions on the lookahead, or null. With them, a reduction
  // into a state that can only reduce by one rule goes on with that rule
  // here when the lookahead asks for it, as the loop's next step would.
  const int16_t* actions;
  template <int Rule>
  [[gnu::always_inline]] int operator()() const {
    constexpr int length = ParserRuleLength[Rule];
    ParseAttr* a = k->topAttr - length;   // a[1..length]
    const Position pos = length > 0 ? a[1].tok.pos : r->lookahead->pos;
    const int depth = ruleDepth<Rule>(a);
    if (depth > kMaxExprDepth) FatalMessage(r->G, kTooDeep, pos);
    Token* node = buildNode(r->G, Rule, a, pos);
    // The bottom entry is never popped: first > 0, and the ceiling 0 of a
    // run without memos needs no test of its own.
    ParseAttr* const first = k->topAttr - length + 1;   // the lowest entry popped
    if (first <= k->memoHigh) {
      for (ParseAttr* e = first; e <= k->memoHigh; e++) r->memo[e - k->attrs].valid = false;
      k->memoHigh = first - 1;
    }
    k->topAttr -= length;
    const int state = ParserGoto[k->topAttr->state][ParserRuleLhs[Rule]];
    // Only an empty rule pushes more than it popped; the entry of any other
    // is the one of its first part, which has the position already.
    ParseAttr* e;
    if constexpr (length == 0) {
      e = pushState(r, k, state);
      e->tok.pos = pos;
    } else {
      e = replaceTop(k, state);
    }
    e->node = node;
    if constexpr (hasDepth(ParserRuleLhs[Rule])) e->depth = depth;
    constexpr int next = ParserNextRule[ParserRuleLhs[Rule]];
    if constexpr (next != 0) {
      if (actions != nullptr && actions[state] == -next) return operator()<next>();
    }
    return state;
  }
};

static void reduce(Run* r, int rule) { ParserVisitRule(rule, ReduceBy{r, &r->stack, nullptr}); }

// ---------------------------------------------------------------- simulation

static int configTop(const Run* r, const Config& c) {
  return c.count > 0 ? r->overlay[c.count - 1] : stateAt(r->stack, c.base);
}

// Would t be shifted (or accepted) from the configuration, after the
// reductions it triggers? The configuration itself is left as it is.
static bool willShift(const Run* r, Config c, int t) {
  int16_t extra[kSimExtra];
  int m = 0;
  for (;;) {
    const int s = m > 0 ? extra[m - 1] : configTop(r, c);
    const int act = actionOf(s, t);
    if (act == kActionError) return false;
    if (act > 0) return true;   // shift or accept
    const int rule = -act;
    int k = ParserRuleLength[rule];
    const int fromExtra = k < m ? k : m;
    m -= fromExtra;
    k -= fromExtra;
    const int fromOverlay = k < c.count ? k : c.count;
    c.count -= fromOverlay;
    k -= fromOverlay;
    c.base -= k;
    const int below = m > 0 ? extra[m - 1] : configTop(r, c);
    if (m == kSimExtra) return false;   // NEVER: chained empty rules are few
    extra[m++] = static_cast<int16_t>(ParserGoto[below][ParserRuleLhs[rule]]);
  }
}

// The actions of each state as sets of terminals: those it shifts (or
// accepts), and those of each rule it reduces by (at most kMaxReductions
// rules; a state with more is left to the action table).
constexpr int kMaxReductions = 4;
struct StateSets {
  TokenSet shifts;
  TokenSet reduces[kMaxReductions];
  int16_t rules[kMaxReductions];
  int8_t count;      // rules used
  bool complete;     // every action of the state is in the sets
};
struct ActionSets {
  StateSets of[kParserStateCount];
  ActionSets() : of{} {
    for (int s = 0; s < kParserStateCount; s++) {
      StateSets& ss = of[s];
      ss.complete = true;
      for (int t = 0; t < kParserTerminalCount; t++) {
        const int act = actionOf(s, t);
        if (act == kActionError) continue;
        if (act > 0) {
          setAdd(&ss.shifts, t);
          continue;
        }
        int g = 0;
        while (g < ss.count && ss.rules[g] != -act) g++;
        if (g == kMaxReductions) {
          ss.complete = false;
          continue;
        }
        if (g == ss.count) {
          ss.rules[g] = static_cast<int16_t>(-act);
          ss.count++;
        }
        setAdd(&ss.reduces[g], t);
      }
    }
  }
};
// Made on the first syntax error: a page without one never pays for it
// (it would be most of a small page's start-up).
const ActionSets& actionSets() {
  static const ActionSets sets;
  return sets;
}

// Every terminal.
constexpr TokenSet kAllTerminals = [] {
  TokenSet all{};
  for (int t = 0; t < kParserTerminalCount; t++) all.bits[t >> 6] |= uint64_t{1} << (t & 63);
  return all;
}();

TokenSet setIntersection(const TokenSet& a, const TokenSet& b) {
  return TokenSet{{a.bits[0] & b.bits[0], a.bits[1] & b.bits[1]}};
}
bool setEmpty(const TokenSet& s) { return (s.bits[0] | s.bits[1]) == 0; }

// A simulation of willShift for a set of terminals that have taken the same
// actions so far.
struct SimRun {
  Config c;
  int m;
  int16_t extra[kSimExtra];
  TokenSet tokens;
};

// The terminals t for which willShift(r, c, t) holds. Terminals that take
// the same reduction are simulated together: each run follows the actions
// its terminals share and splits where they part.
static TokenSet expectedSet(const Run* r, const Config& c) {
  TokenSet shifted{};
  SimRun runs[kParserTerminalCount];   // their token sets are disjoint
  const ActionSets& allSets = actionSets();
  int pending = 1;
  runs[0].c = c;
  runs[0].m = 0;
  runs[0].tokens = kAllTerminals;
  while (pending > 0) {
    SimRun& run = runs[pending - 1];
    const int s = run.m > 0 ? run.extra[run.m - 1] : configTop(r, run.c);
    // The terminals reduced by the first rule met go on here, those of any
    // other rule form a run of their own from the same configuration.
    int rule = 0;
    TokenSet same{};
    TokenSet others{};
    const StateSets& sets = allSets.of[s];
    if (sets.complete) {
      setUnion(&shifted, setIntersection(run.tokens, sets.shifts));
      for (int g = 0; g < sets.count; g++) {
        const TokenSet group = setIntersection(run.tokens, sets.reduces[g]);
        if (setEmpty(group)) continue;
        if (rule == 0) {
          rule = sets.rules[g];
          same = group;
        } else {
          setUnion(&others, group);
        }
      }
    } else {
      for (int w = 0; w < 2; w++) {
        for (uint64_t bits = run.tokens.bits[w]; bits != 0; bits &= bits - 1) {
          const int t = w * 64 + __builtin_ctzll(bits);
          const int act = actionOf(s, t);
          if (act == kActionError) continue;
          if (act > 0) {
            setAdd(&shifted, t);   // shift or accept
          } else if (rule == 0 || -act == rule) {
            rule = -act;
            setAdd(&same, t);
          } else {
            setAdd(&others, t);
          }
        }
      }
    }
    if (!setEmpty(others)) {
      runs[pending] = run;
      runs[pending].tokens = others;
      std::swap(runs[pending - 1], runs[pending]);   // the others wait below
      pending++;
    }
    SimRun& go = runs[pending - 1];
    if (rule == 0) {
      pending--;
      continue;
    }
    go.tokens = same;
    int k = ParserRuleLength[rule];
    const int fromExtra = k < go.m ? k : go.m;
    go.m -= fromExtra;
    k -= fromExtra;
    const int fromOverlay = k < go.c.count ? k : go.c.count;
    go.c.count -= fromOverlay;
    k -= fromOverlay;
    go.c.base -= k;
    const int below = go.m > 0 ? go.extra[go.m - 1] : configTop(r, go.c);
    if (go.m == kSimExtra) {   // NEVER: chained empty rules are few
      pending--;
      continue;
    }
    go.extra[go.m++] = static_cast<int16_t>(ParserGoto[below][ParserRuleLhs[rule]]);
  }
  return shifted;
}

static void overlayPush(Run* r, Config* c, int state) {
  if (c->count == r->overlayCapacity) {
    const int capacity = r->overlayCapacity == 0 ? 64 : 2 * r->overlayCapacity;
    int16_t* states = static_cast<int16_t*>(bxAlloc(r->G, capacity * sizeof(int16_t)));
    if (c->count > 0) std::memcpy(states, r->overlay, c->count * sizeof(int16_t));
    bxFree(r->overlay);
    r->overlay = states;
    r->overlayCapacity = capacity;
  }
  r->overlay[c->count++] = static_cast<int16_t>(state);
}

static void addCheckpoint(Run* r, int count, int index, int state) {
  if (count == r->checkpointCapacity) {
    const int capacity = r->checkpointCapacity == 0 ? 64 : 2 * r->checkpointCapacity;
    Checkpoint* c = static_cast<Checkpoint*>(bxAlloc(r->G, capacity * sizeof(Checkpoint)));
    if (count > 0) std::memcpy(static_cast<void*>(c), r->checkpoints, count * sizeof(Checkpoint));
    bxFree(r->checkpoints);
    r->checkpoints = c;
    r->checkpointCapacity = capacity;
  }
  r->checkpoints[count] = Checkpoint{index, static_cast<int16_t>(state), TokenSet{}};
}

static void ensureMemo(Run* r) {
  if (r->memoCapacity >= r->capacity) return;
  RestartMemo* m = static_cast<RestartMemo*>(bxAlloc(r->G, r->capacity * sizeof(RestartMemo)));
  for (int i = 0; i < r->capacity; i++) {
    m[i] = i < r->memoCapacity ? r->memo[i] : RestartMemo{TokenSet{}, 0, false};
  }
  bxFree(r->memo);
  r->memo = m;
  r->memoCapacity = r->capacity;
}

// The restart set: the expected sets of every configuration met while
// following the continuation tokens from the current one to acceptance.
//
// Below the top of the stack the walk only closes the constructs that are
// open there, which later errors at the same depth would walk again; so
// whenever the walk has reduced into the real stack (configuration "real
// stack up to entry i, then one state"), the rest of its restart set is
// remembered for entry i.
static TokenSet restartSet(Run* r) {
  ensureMemo(r);
  TokenSet head{};      // expected tokens before the first checkpoint
  TokenSet rest{};      // restart set of the rest after the last checkpoint
  int checkpoints = 0;
  TokenSet* segment = &head;
  Config c{topIndex(r->stack), 0};
  // The walk closes at most every open construct; the bound only guards
  // against a table fault.
  const long limit = 64L * (topIndex(r->stack) + 1) + 1024;
  for (long step = 0; step < limit; step++) {
    setUnion(segment, expectedSet(r, c));
    const int s = configTop(r, c);
    const int cont = ParserContinuation[s];
    const int act = actionOf(s, cont);
    if (act == kActionAccept || act == kActionError) break;
    if (act > 0) {
      overlayPush(r, &c, act - 1);
      continue;
    }
    const int rule = -act;
    int k = ParserRuleLength[rule];
    const int fromOverlay = k < c.count ? k : c.count;
    c.count -= fromOverlay;
    k -= fromOverlay;
    c.base -= k;
    const int state = ParserGoto[configTop(r, c)][ParserRuleLhs[rule]];
    const bool onReal = c.count == 0;
    overlayPush(r, &c, state);
    if (!onReal || !r->G->Parser->restartMemo) continue;
    const RestartMemo& m = r->memo[c.base];
    if (m.valid && m.state == state) {
      rest = m.rest;
      break;
    }
    addCheckpoint(r, checkpoints, c.base, state);
    segment = &r->checkpoints[checkpoints].segment;
    checkpoints++;
  }
  for (int i = checkpoints - 1; i >= 0; i--) {
    const Checkpoint& cp = r->checkpoints[i];
    setUnion(&rest, cp.segment);
    r->memo[cp.index] = RestartMemo{rest, cp.state, true};
    ParseAttr* const entry = r->stack.attrs + cp.index;
    if (entry > r->stack.memoHigh) r->stack.memoHigh = entry;
  }
  setUnion(&rest, head);
  setAdd(&rest, tkEndOfFile);
  return rest;
}

// ---------------------------------------------------------------- error recovery

// The token names, each followed by a blank in a slot of its own, and their
// lengths with the blank: a name goes into the message text as one copy of
// fixed size.
constexpr size_t kNameSlot = 24;
static_assert(static_cast<size_t>(kParserLongestTokenName) + 1 <= kNameSlot);
struct TokenNameSlots {
  char text[kParserTerminalCount][kNameSlot];
  size_t length[kParserTerminalCount];
  TokenNameSlots() : text{}, length{} {
    for (int t = 0; t < kParserTerminalCount; t++) {
      const size_t n = std::strlen(Parser_TokenName[t]);
      std::memcpy(text[t], Parser_TokenName[t], n);
      text[t][n] = ' ';
      length[t] = n + 1;
    }
  }
};

// Writes the names of the tokens in s, each followed by a blank, to text (of
// kMaxExpectedText bytes and a slot more) as far as they fit; returns the
// length written.
static size_t writeNames(char* text, const TokenSet& s) {
  static const TokenNameSlots names;   // made on the first syntax error
  size_t used = 0;
  for (int w = 0; w < 2; w++) {
    for (uint64_t bits = s.bits[w]; bits != 0; bits &= bits - 1) {
      const int t = w * 64 + __builtin_ctzll(bits);
      const size_t n = names.length[t];
      if (used + n > kMaxExpectedText) return used;
      std::memcpy(text + used, names.text[t], kNameSlot);
      used += n;
    }
  }
  return used;
}

static void reportExpected(Run* r) {
  char text[kMaxExpectedText + 1 + kNameSlot];
  const size_t used = writeNames(text, expectedSet(r, Config{topIndex(r->stack), 0}));
  text[used] = '\0';
  std::memcpy(r->G->Parser->expected, text, used + 1);
  ErrorMessageI(r->G, ecExpectedTokens, xxInformation, r->lookahead->pos, InfoTokens(text));
}

// Inserts the continuation token t before the lookahead.
static void insertToken(Run* r, int t, int target) {
  Globals* G = r->G;
  const Position at = r->lookahead->pos;
  ScanAttr attr;
  std::memset(static_cast<void*>(&attr), 0, sizeof attr);
  ErrorAttribute(G, t, &attr);
  attr.pos = at;
  if (r->lookahead != &r->laAttr) {   // the repair may change it
    r->laAttr = *r->lookahead;
    r->lookahead = &r->laAttr;
  }
  dbhHandleErrorInsert(G, t, &r->la, &r->laAttr);
  ErrorMessageI(G, ecTokenInserted, xxRepair, at, InfoText(Parser_TokenName[t]));
  push(r, target, terminalAttr(attr));
}

// The lookahead has no action: report (unless already recovering), skip to
// a restart point, and insert continuation tokens until the lookahead fits.
static void recover(Run* r) {
  Globals* G = r->G;
  if (!r->recovering) {
    r->errors++;
    r->recovering = true;
    ErrorMessage(G, ecSyntax, xxError, r->lookahead->pos);
    reportExpected(r);
    const TokenSet restart = restartSet(r);
    bool skipped = false;
    while (!setHas(restart, r->la)) {
      readToken(r);
      skipped = true;
    }
    if (skipped) ErrorMessage(G, ecRestartPoint, xxInformation, r->lookahead->pos);
  }
  // The lookahead is one of the tokens expected somewhere along the
  // continuation path; follow the path up to that point.
  while (!willShift(r, Config{topIndex(r->stack), 0}, r->la)) {
    const int s = r->stack.topAttr->state;
    const int cont = ParserContinuation[s];
    const int act = actionOf(s, cont);
    if (act > 0 && act != kActionAccept) {
      insertToken(r, cont, act - 1);
    } else if (act < 0) {
      reduce(r, -act);
    } else {
      // NEVER: the path ended without meeting the lookahead; drop it
      readToken(r);
    }
  }
}

// ---------------------------------------------------------------- module record

void ParserInitializeGV(Globals* G) {
  G->Parser = bxNew<ParserRec>(G);
  G->Parser->root = nullptr;
  G->Parser->expected[0] = '\0';
  G->Parser->restartMemo = true;
}

void ParserFinalizeGV(Globals* G) {
  bxDelete(G->Parser);
  G->Parser = nullptr;
}

void CloseParser(Globals* G) { (void)G; }

// ---------------------------------------------------------------- the parser

int Parser(Globals* G) {
  Run r;
  std::memset(static_cast<void*>(&r), 0, sizeof r);
  r.G = G;
  r.scanned = G->ScannerAttribute;
  r.capacity = kInitialStack;
  r.stack.attrs = allocAttrs(G, r.capacity);
  r.stack.topAttr = r.stack.attrs;
  r.stack.last = r.stack.attrs + r.capacity - 1;
  r.stack.memoHigh = r.stack.attrs;
  std::memset(static_cast<void*>(&r.stack.attrs[0]), 0, sizeof(ParseAttr));
  r.stack.attrs[0].state = kParserStartState;
  readToken(&r);

  Stack k = r.stack;
  int state = kParserStartState;   // the state on top of the stack
  const int16_t* actions = ParserActionOn[r.la];   // those on the lookahead
  for (;;) {
    const int act = actions[state];
    if (act < 0) {
      state = ParserVisitRule(-act, ReduceBy{&r, &k, actions});
    } else if (act > 0) {
      if (act == kActionAccept) break;
      state = act - 1;
      shift(&r, &k, state);
      r.recovering = false;
      readToken(&r);
      actions = ParserActionOn[r.la];
    } else {
      r.stack = k;
      recover(&r);
      k = r.stack;
      state = k.topAttr->state;
      actions = ParserActionOn[r.la];
    }
  }
  r.stack = k;
  G->Parser->root = r.stack.topAttr->node;
  bxFree(r.stack.attrs);
  bxFree(r.overlay);
  bxFree(r.memo);
  bxFree(r.checkpoints);
  return r.errors;
}
