// tree.cpp: the syntax tree: node constructors, the definition table, the
// expression-node pool, list operations and the side-effect pass.
#include "frontend/tree.h"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "diag/messages.h"
#include "driver/globals.h"
#include "frontend/scanner.h"
#include "interp/builtins.h"
#include "support/memory.h"

// ---------------------------------------------------------------- helpers

// Nodes live until the end of the request and are never freed one by one, so
// they are carved from large chunks: one allocation per chunk instead of two
// per text run; the chunks go with the request (or with a template cache
// that keeps the tree). The budget is charged as if each node took its
// charged size of a chunk of its own: a chunk of kChunkBytes whenever a node
// does not fit in what is left of the one charged last. Under
// AddressSanitizer every node is a block of its own (charged its charged
// size), so that an overrun of one node is still caught.
#if defined(__SANITIZE_ADDRESS__)
static constexpr bool kNodeChunks = false;
#else
static constexpr bool kNodeChunks = true;
#endif
static constexpr size_t kChunkBytes = 65536;

// The header before the node bytes of a block keeps them aligned as malloc
// aligns; the budget is charged for the node bytes alone.
static constexpr size_t kBlockHeader = alignof(std::max_align_t);
static_assert(sizeof(TreeBlock) <= kBlockHeader);

// A block of n node bytes (charged: n bytes), linked into the request's trees.
static char* newBlock(Globals* G, size_t n, size_t charged, bool zeroed) {
  void* p = zeroed ? bxAllocZeroAs(G, kBlockHeader + n, charged) : bxAllocAs(G, kBlockHeader + n, charged);
  TokenModule* m = G->token;
  m->trees.blocks = ::new (p) TreeBlock{m->trees.blocks, nullptr};
  return static_cast<char*>(p) + kBlockHeader;
}

// A large template's nodes fill hundreds of chunks, and faulting in and
// clearing their pages 4 KB at a time took much of its parse. Past the first
// kChunksBeforeRegions chunks of a tree (a page of the usual size never
// gets that far), chunks come out of regions of one huge page each, marked
// for transparent huge pages. A region's header lies in the page after it; the
// region is a block of the trees and goes with them. Where the system
// refuses regions, chunks are blocks of their own as before.
static constexpr uint32_t kChunksBeforeRegions = 32;
static constexpr uintptr_t kPageBytes = 4096;
static constexpr uintptr_t kHugePageBytes = uintptr_t{2} << 20;
static_assert(kHugePageBytes % kChunkBytes == 0);

// Set once a region was refused: no further attempts.
static bool regionsRefused = false;

// Takes a region from the allocator (with a huge page to spare, so that it
// can start on a huge page's boundary), links it into the request's trees
// and makes it the one chunks come out of; false if the system refused.
static bool newRegion(Globals* G) {
  if (regionsRefused) return false;
  void* const base = std::malloc(2 * kHugePageBytes + kPageBytes);
  if (base == nullptr) {
    regionsRefused = true;
    return false;
  }
  const uintptr_t start = (reinterpret_cast<uintptr_t>(base) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  char* const region = reinterpret_cast<char*>(start);
  if (madvise(region, kHugePageBytes, MADV_HUGEPAGE) != 0) {
    std::free(base);
    regionsRefused = true;
    return false;
  }
  TokenModule* m = G->token;
  m->trees.blocks = ::new (region + kHugePageBytes) TreeBlock{m->trees.blocks, base};
  m->regionNext = region;
  return true;
}

// A template that filled a chunk goes on into the next: its pages are
// faulted in with one call instead of one trap each (a run of text pieces
// fills a chunk in microseconds; the traps were a large part of a parse).
static void prefault(char* start, size_t n) {
  const uintptr_t from = (reinterpret_cast<uintptr_t>(start) + kPageBytes - 1) & ~(kPageBytes - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(start) + n) & ~(kPageBytes - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

// A chunk of kChunkBytes node bytes (the budget's chunks are charged apart,
// see carve). A region's pages are faulted in all at once when it is taken
// (one call instead of one for each of its chunks); *faulted tells that the
// chunk's pages are in.
static char* newChunk(Globals* G, bool* faulted) {
  TokenModule* m = G->token;
  *faulted = false;
  if (m->chunksTaken < kChunksBeforeRegions) {
    m->chunksTaken++;
    return newBlock(G, kChunkBytes, 0, false);
  }
  // No region yet, or the last one is used up (the next chunk would be its
  // header's page).
  const bool used = (reinterpret_cast<uintptr_t>(m->regionNext) & (kHugePageBytes - 1)) == 0;
  if (used) {
    if (!newRegion(G)) return newBlock(G, kChunkBytes, 0, false);
    prefault(m->regionNext, kHugePageBytes);
  }
  *faulted = true;
  char* const chunk = m->regionNext;
  m->regionNext += kChunkBytes;
  return chunk;
}

// A node of c charged bytes does not fit in what is left of the chunk
// charged last: the rest of a chunk paid for with a cached tree comes
// first, as it would have after a fresh parse, else a new chunk is charged.
[[gnu::noinline]] static void chargeChunk(Globals* G, size_t c) {
  TokenModule* m = G->token;
  const size_t paid = m->prepaid;
  m->prepaid = 0;
  if (c <= paid) {
    m->chunkLeft = paid;
    return;
  }
  Charge(G, kChunkBytes);
  m->chunkLeft = kChunkBytes;
}

// The next chunk to carve nodes from.
[[gnu::noinline]] static void newRoom(Globals* G) {
  TokenModule* m = G->token;
  const bool later = m->trees.blocks != nullptr;
  bool faulted = false;
  m->chunk = newChunk(G, &faulted);
  if (later && !faulted) prefault(m->chunk, kChunkBytes);
  m->roomLeft = kChunkBytes;
}

static constexpr size_t alignedForToken(size_t n) { return (n + alignof(Token) - 1) & ~(alignof(Token) - 1); }

// Charges c bytes (aligned) in the chunk charged last, or in a new one.
[[gnu::always_inline]] static inline void chargeInChunk(Globals* G, size_t c) {
  TokenModule* m = G->token;
  if (c > m->chunkLeft) chargeChunk(G, c);
  m->chunkLeft -= c;
}

// n bytes for nodes, aligned for a Token, charged as c bytes (a larger c
// than kChunkBytes / 4 makes a block of its own). They are not cleared:
// every caller initializes what it carves (a chunk is not worth zeroing
// twice).
[[gnu::always_inline]] static inline void* carve(Globals* G, size_t n, size_t c) {
  n = alignedForToken(n);
  c = alignedForToken(c);
  if (!kNodeChunks || c > kChunkBytes / 4) return newBlock(G, n, c, true);
  chargeInChunk(G, c);
  TokenModule* m = G->token;
  if (n > m->roomLeft) newRoom(G);
  void* p = m->chunk;
  m->chunk += n;
  m->roomLeft -= n;
  return p;
}

static_assert(sizeof(Token) <= kChargedNodeBytes);

// Charges c bytes as carve charges them, for what takes no bytes of its own.
static void chargeOnly(Globals* G, size_t c) {
  c = alignedForToken(c);
  if (!kNodeChunks || c > kChunkBytes / 4) {
    Charge(G, c);
    return;
  }
  chargeInChunk(G, c);
}

// A node is made only as long as the fields its kind uses reach (the
// table in tree.h): the part every node has, then one to five words.
static constexpr size_t kNamesBytes = offsetof(Token, left);
static constexpr size_t kFirstWordBytes = offsetof(Token, left) + sizeof(Token*);
static constexpr size_t kSecondWordBytes = offsetof(Token, body) + sizeof(Token*);
static constexpr size_t kThirdWordBytes = offsetof(Token, right) + sizeof(Token*);
static constexpr size_t kFourthWordBytes = offsetof(Token, builtin) + sizeof(Token*);
static_assert(offsetof(Token, text) + sizeof(char*) == kFirstWordBytes &&
              offsetof(Token, op) + 2 * sizeof(int) == kSecondWordBytes &&
              offsetof(Token, params) + sizeof(Token*) == kThirdWordBytes &&
              offsetof(Token, sectionList) + sizeof(Token*) == kFourthWordBytes);

// A text node's bytes follow right behind its text field.
static constexpr size_t kTextNodeBytes = kFirstWordBytes;

// The pooled kinds (operators, index, copy) use no field past right.
static constexpr size_t kPooledBytes = kThirdWordBytes;

static bool pooledKind(uint16_t kind) {
  return kind == TKexprbin || kind == TKexprun || kind == TKexprassign || kind == TKexprindex ||
         kind == TKexprcopy;
}

// A node whose first kBytes are zero (all of them, or a text node's). The
// bytes are cleared sixteen at a time: the compiler would clear a node with
// a string instruction, whose start-up costs more than the stores (and nodes
// are made by the million).
static_assert(std::is_trivially_default_constructible_v<Token> && sizeof(Token) % 8 == 0);
template <size_t kBytes = sizeof(Token)>
[[gnu::always_inline]] static inline Token* zeroNode(void* bytes) {
  static_assert(kBytes % 8 == 0 && kBytes <= sizeof(Token));
  Token* const t = ::new (bytes) Token;
  char* const p = reinterpret_cast<char*>(t);
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  [&]<size_t... I>(std::index_sequence<I...>) {
    (_mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * I), zero), ...);
  }(std::make_index_sequence<kBytes / 16>{});
  if constexpr (kBytes % 16 != 0) std::memset(p + kBytes - 8, 0, 8);
#else
  std::memset(p, 0, kBytes);
#endif
  return t;
}

// A node of kBytes (what its kind uses, see above).
template <size_t kBytes>
[[gnu::always_inline]] static inline Token* newNode(Globals* G, uint16_t kind, Position pos) {
  Token* t = zeroNode<kBytes>(carve(G, kBytes, kChargedNodeBytes));
  t->kind = kind;
  t->position = pos;
  return t;
}

// The section slots of a query node.
static Token** newSections(Globals* G) {
  Token** slots = static_cast<Token**>(carve(G, SecCount * sizeof(Token*), SecCount * sizeof(Token*)));
  for (int i = 0; i < SecCount; i++) slots[i] = nullptr;
  return slots;
}

static Token* newPooled(Globals* G, uint16_t kind, Position pos) {
  Token* t = NewExpr(G);
  t->kind = kind;
  t->position = pos;
  return t;
}

static bool sameFile(const char* a, const char* b) {
  if (a == b) return true;
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// Makes slot n of the definition table exist: a table too small for n is
// replaced by one of 2 * n slots (16 for the name 0 of an inserted token).
static void growDefinitions(Globals* G, Ident n) {
  TokenModule* m = G->token;
  if (n < m->size) return;
  const size_t size = n == 0 ? 16 : 2 * static_cast<size_t>(n);
  Token** slots = static_cast<Token**>(bxAlloc(G, size * sizeof(Token*)));
  for (size_t i = 0; i < size; i++) slots[i] = i < m->size ? m->defs[i] : nullptr;
  bxFree(m->defs);
  m->defs = slots;
  m->size = size;
}

// ---------------------------------------------------------------- module records

// The record is charged for the definition table and the chunk; the
// bookkeeping of the trees is not the template's to pay.
void tokenInitializeGV(Globals* G) {
  G->token = static_cast<TokenModule*>(
      bxAllocAs(G, sizeof(TokenModule), offsetof(TokenModule, prepaid)));
  G->token->defs = nullptr;
  G->token->size = 0;
  G->token->chunk = nullptr;
  G->token->chunkLeft = 0;
  G->token->prepaid = 0;
  G->token->trees = TreeStore{nullptr, nullptr};
  G->token->X_Log = nullptr;
  G->token->chunksTaken = 0;
  G->token->regionNext = nullptr;
  G->token->roomLeft = 0;
}

// The request's trees go with it.
void tokenFinalizeGV(Globals* G) {
  if (G->token == nullptr) return;
  FreeTrees(G, &G->token->trees);
  bxFree(G->token->defs);
  bxFree(G->token);
  G->token = nullptr;
}

TreeStore TakeTrees(Globals* G, size_t* chunkLeft) {
  TokenModule* m = G->token;
  const TreeStore taken = m->trees;
  *chunkLeft = m->chunkLeft;
  m->trees = TreeStore{nullptr, nullptr};
  m->chunk = nullptr;
  m->chunkLeft = 0;
  m->roomLeft = 0;
  // The region goes with the trees; the next tree starts with chunks of
  // its own.
  m->chunksTaken = 0;
  m->regionNext = nullptr;
  // Pooled nodes waiting for reuse lie in the blocks taken.
  if (G->expr != nullptr) G->expr->freeList = nullptr;
  return taken;
}

void FreeTrees(Globals* G, TreeStore* trees) {
  for (Token* t = trees->constants; t != nullptr; t = t->prevDef) ReleaseValue(G, &t->constant);
  for (TreeBlock* b = trees->blocks; b != nullptr;) {
    TreeBlock* next = b->link;
    if (b->region != nullptr) {
      std::free(b->region);
    } else {
      bxFree(b);
    }
    b = next;
  }
  *trees = TreeStore{nullptr, nullptr};
}

void PrepaidChunk(Globals* G, size_t bytes) { G->token->prepaid = static_cast<uint32_t>(bytes); }

void exprInitializeGV(Globals* G) {
  G->expr = bxNew<ExprRec>(G);
  G->expr->freeList = nullptr;
}

// Pooled nodes are tree nodes: they live as long as the tree chunks.
void exprFinalizeGV(Globals* G) {
  if (G->expr == nullptr) return;
  bxDelete(G->expr);
  G->expr = nullptr;
}

// ---------------------------------------------------------------- definition table

Token* LookupDefinition(Globals* G, Ident name) {
  const TokenModule* m = G->token;
  return name < m->size ? m->defs[name] : nullptr;
}

void ActivateDefinition(Globals* G, Token* def) {
  growDefinitions(G, def->name);
  G->token->defs[def->name] = def;
}

void DropDefinitionsOfFile(Globals* G, const char* file) {
  TokenModule* m = G->token;
  for (size_t i = 0; i < m->size; i++) {
    while (m->defs[i] != nullptr && sameFile(m->defs[i]->position.file, file)) {
      m->defs[i] = m->defs[i]->prevDef;
    }
  }
}

// ---------------------------------------------------------------- expression pool

// A node for one of the pooled kinds.
Token* NewExpr(Globals* G) {
  ExprRec* pool = G->expr;
  Token* t = pool->freeList;
  if (t == nullptr) return newNode<kPooledBytes>(G, 0, NoPosition);
  pool->freeList = t->next;
  return zeroNode<kPooledBytes>(t);
}

// Only nodes of the pooled kinds are long enough to be taken again; any
// other goes with the trees.
void FreeExpr(Globals* G, Token* t) {
  if (t == nullptr || !pooledKind(t->kind)) return;
  t->next = G->expr->freeList;
  G->expr->freeList = t;
}

// ---------------------------------------------------------------- statement nodes

int SectionSlotOf(uint16_t kind) {
  switch (kind) {
    case TKtop: return SecTop;
    case TKhead: return SecHead;
    case TKbody: return SecBody;
    case TKrowbegin: return SecRowbegin;
    case TKcolumn: return SecColumn;
    case TKrowend: return SecRowend;
    case TKfoot: return SecFoot;
    case TKsep: return SecSep;
    case TKempty: return SecEmpty;
    default: return -1;
  }
}

// A text node with room for n bytes of text behind it in the same block,
// terminated by a NUL; the caller copies the bytes in.
[[gnu::always_inline]] static inline Token* newTextNode(Globals* G, size_t n) {
  char* block = static_cast<char*>(carve(G, kTextNodeBytes + n + 1, kChargedNodeBytes + n + 1));
  Token* t = zeroNode<kTextNodeBytes>(block);
  t->kind = TKtext;
  t->text = block + kTextNodeBytes;
  t->text[n] = '\0';
  t->textLength = static_cast<int32_t>(n);
  return t;
}

Token* mTKText(Globals* G, const char* text, int32_t length) {
  Token* t = newTextNode(G, static_cast<size_t>(length));
  CopyBytes(t->text, text, static_cast<size_t>(length));
  return t;
}

Token* mTKTextJoined(Globals* G, const char* prefix, int32_t prefixLength, const char* text,
                     int32_t length) {
  const size_t p = static_cast<size_t>(prefixLength);
  Token* t = newTextNode(G, p + static_cast<size_t>(length));
  CopyBytes(t->text, prefix, p);
  CopyBytes(t->text + p, text, static_cast<size_t>(length));
  return t;
}

Token* mTKSimple(Globals* G, uint16_t kind, Position pos) {
  return newNode<sizeof(Token)>(G, kind, pos);
}

Token* mTKdbf(Globals* G, Position pos, uint16_t kind, Ident qualifier, Ident fieldName) {
  Token* t = newNode<kNamesBytes>(G, kind, pos);
  t->name = fieldName;
  t->qualifier = qualifier;
  return t;
}

Token* mTKUpdate(Globals* G, uint16_t kind, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, kind, pos);
  t->body = body;
  return t;
}

// A section node is charged for the section slots it once carried as well;
// the query node takes each section's body into its own slots.
Token* mTKLayout(Globals* G, uint16_t kind, Token* next, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, kind, pos);
  t->next = next;
  t->body = body;
  chargeOnly(G, SecCount * sizeof(Token*));
  return t;
}

// The section list is newest first; copying every node's slot in list order
// leaves the section written first in the source in each slot.
Token* mTKQuery(Globals* G, Ident name, Token* queryText, Token* sections, Position pos) {
  Token* t = newNode<kFourthWordBytes>(G, TKquery, pos);
  t->name = name;
  t->body = queryText;
  t->sectionList = sections;
  t->sections = newSections(G);
  for (Token* s = sections; s != nullptr; s = s->next) {
    const int slot = SectionSlotOf(s->kind);
    bxAssert(G, slot >= 0, "slot >= 0", {"tree"});
    t->sections[slot] = s->body;
  }
  return t;
}

Token* mTKIfEmpty(Globals* G, Token* tested, Token* thenPart, Token* elsePart, Position pos) {
  Token* t = newNode<kThirdWordBytes>(G, TKifempty, pos);
  t->cond = tested;
  t->thenPart = thenPart;
  t->elsePart = elsePart;
  return t;
}

Token* mTKIfBool(Globals* G, Token* cond, Token* thenPart, Token* elsePart, Position pos) {
  Token* t = newNode<kThirdWordBytes>(G, TKifbool, pos);
  t->cond = cond;
  t->thenPart = thenPart;
  t->elsePart = elsePart;
  return t;
}

Token* mTKWhile(Globals* G, Token* cond, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, TKwhile, pos);
  t->cond = cond;
  t->body = body;
  return t;
}

Token* mTKAssign(Globals* G, Token* target, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, TKassign, pos);
  t->expr = target;
  t->body = body;
  return t;
}

// The let node stands where its expression stands.
Token* mTKLet(Globals* G, Token* expr, Position pos) {
  Token* t = newNode<kFirstWordBytes>(G, TKlet, expr != nullptr ? expr->position : pos);
  t->expr = expr;
  return t;
}

Token* mTKReturn(Globals* G, Token* expr, Position pos) {
  Token* t = newNode<kFirstWordBytes>(G, TKreturn, pos);
  t->expr = expr;
  return t;
}

Token* mTKInclude(Globals* G, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, TKinclude, pos);
  t->body = body;
  return t;
}

Token* mTKShell(Globals* G, Token* body, Position pos) {
  Token* t = newNode<kSecondWordBytes>(G, TKshell, pos);
  t->body = body;
  return t;
}

Token* mTKMail(Globals* G, Token* params, Token* body, Position pos) {
  Token* t = newNode<kThirdWordBytes>(G, TKmail, pos);
  t->params = params;
  t->body = body;
  return t;
}

// The new definition becomes the current one of its name; it remembers the
// one it replaces.
Token* mTKDefine(Globals* G, uint16_t kind, Position pos, Ident name, Token* body) {
  Token* t = newNode<kThirdWordBytes>(G, kind, pos);
  t->name = name;
  t->body = body;
  DefinitionLog* log = G->token->X_Log;
  const int64_t before = G->serverInterface->X_MemLeft;
  growDefinitions(G, name);
  if (log != nullptr) {
    log->made.push_back(t);
    log->charged += before - G->serverInterface->X_MemLeft;
  }
  t->prevDef = G->token->defs[name];
  G->token->defs[name] = t;
  return t;
}

Token* mTKCall(Globals* G, uint16_t kind, Position pos, Ident name, Token* args, Token* body) {
  Token* t = newNode<kThirdWordBytes>(G, kind, pos);
  t->name = name;
  t->params = args;
  t->body = body;
  return t;
}

Token* mTKTuple(Globals* G, Token* next, Position pos, Ident name, Token* expr) {
  Token* t = newNode<kFirstWordBytes>(G, TKtuple, pos);
  t->next = next;
  t->name = name;
  t->expr = expr;
  return t;
}

Token* mTKTupleOut(Globals* G, Token* next, Position pos, Ident name) {
  Token* t = newNode<kFirstWordBytes>(G, TKtupleout, pos);
  t->next = next;
  t->name = name;
  return t;
}

// ---------------------------------------------------------------- expression nodes

static uint8_t effectsOf(const Token* e) { return e != nullptr ? e->effects : 0; }

Token* mTKExprBin(Globals* G, Position pos, Token* left, int op, Token* right) {
  Token* t = newPooled(G, TKexprbin, pos);
  t->left = left;
  t->op = op;
  t->right = right;
  t->effects = std::max(effectsOf(left), effectsOf(right));
  return t;
}

Token* mTKExprUn(Globals* G, Position pos, int op, Token* operand) {
  Token* t = newPooled(G, TKexprun, pos);
  t->op = op;
  t->left = operand;
  t->effects = effectsOf(operand);
  return t;
}

Token* mTKExprAssign(Globals* G, Position pos, Token* target, Token* value) {
  Token* t = newPooled(G, TKexprassign, pos);
  t->left = target;
  t->op = opAssign;
  t->right = value;
  t->effects = 2;
  return t;
}

Token* mTKExprIndex(Globals* G, Position pos, Token* base, Token* index) {
  Token* t = newPooled(G, TKexprindex, pos);
  t->left = base;
  t->right = index;
  t->effects = std::max(effectsOf(base), effectsOf(index));
  return t;
}

Token* mTKSelektor(Globals* G, Position pos, Ident fieldName, Token* base) {
  Token* t = newNode<sizeof(Token)>(G, TKselektor, pos);
  t->name = fieldName;
  t->left = base;
  t->effects = effectsOf(base);
  return t;
}

Token* mTKName(Globals* G, Position pos, Ident id) {
  Token* t = newNode<sizeof(Token)>(G, TKName, pos);
  t->name = id;
  return t;
}

// A string or a tuple is released with the trees: the node is listed (the
// other values hold nothing to release).
Token* mTKConst(Globals* G, Position pos, const Value& value) {
  static_assert(offsetof(Token, constant) + sizeof(Value) == kFourthWordBytes);
  Token* t = newNode<kFourthWordBytes>(G, TKconst, pos);
  t->constant = value;
  if (value.type == tString || value.type == tTuple) {
    TreeStore& trees = G->token->trees;
    t->prevDef = trees.constants;
    trees.constants = t;
  }
  return t;
}

Token* mTKExprCopy(Globals* G, Token* expr) {
  Token* t = newPooled(G, TKexprcopy, NoPosition);
  t->left = expr;
  t->effects = effectsOf(expr);
  return t;
}

// A format given by one of the format words becomes a format code; any other
// format expression is evaluated at run time.
Token* mTKExprFormat(Globals* G, Position pos, Token* expr, Token* format) {
  static constexpr int codeOfWord[7] = {
      fmtHtml,     // fwHtml
      fmtFurl,     // fwFurl
      fmtQuoted,   // fwQuoted
      fmtDbhtml,   // fwDbhtml
      fmtInput,    // fwInput
      fmtCustom,   // fwCustom
      fmtHstv,     // fwHstv
  };
  if (format != nullptr && format->kind == TKName && format->name != 0) {
    for (int w = 0; w < 7; w++) {
      if (G->Scanner->formatIds[w] == format->name) {
        Token* t = newNode<kSecondWordBytes>(G, TKexprformat, pos);
        t->left = expr;
        t->format = codeOfWord[w];
        return t;
      }
    }
  }
  Token* t = newNode<kThirdWordBytes>(G, TKexprformatstr, pos);
  t->left = expr;
  t->right = format;
  return t;
}

// Built-in functions are bound here and their argument count checked; any
// other name must be a def seen before the call.
Token* mTKFunCall(Globals* G, Position pos, Ident name, Token* args) {
  Token* t = newNode<kFourthWordBytes>(G, TKfuncall, pos);
  t->name = name;
  t->params = args;
  t->builtin = FindFunction(G, name);
  uint8_t effects = t->builtin != nullptr ? 0 : 1;
  for (const Token* a = args; a != nullptr; a = a->next) effects = std::max(effects, effectsOf(a->expr));
  t->effects = effects;
  const int count = ListLength(args);
  if (t->builtin != nullptr) {
    if (count < t->builtin->minArity) {
      Message(G, "Too few parameters for function", xxError, pos);
    } else if (count > t->builtin->maxArity) {
      Message(G, "Too many parameters for function", xxError, pos);
    }
  } else {
    const Token* def = LookupDefinition(G, name);
    if (def == nullptr || def->kind != TKdef) Message(G, "Unknown Function ", xxError, pos);
  }
  return t;
}

// ---------------------------------------------------------------- lists

int TokenLinks(const Token* t, Token** out) {
  int n = 0;
  const auto link = [&](Token* to) {
    if (to != nullptr) out[n++] = to;
  };
  link(t->next);
  switch (t->kind) {
    case TKquery:
      link(t->body);
      link(t->sectionList);
      for (int i = 0; i < SecCount; i++) link(t->sections[i]);
      break;
    case TKifempty:
    case TKifbool:
      link(t->cond);
      link(t->thenPart);
      link(t->elsePart);
      break;
    case TKwhile:
      link(t->cond);
      link(t->body);
      break;
    case TKassign:
      link(t->expr);
      link(t->body);
      break;
    case TKlet:
    case TKreturn:
    case TKtuple:
      link(t->expr);
      break;
    case TKupdate:
    case TKstamp:
    case TKdatabase:
    case TKshell:
    case TKinclude:
      link(t->body);
      break;
    case TKmail:
    case TKcall:
    case TKcallenv:
      link(t->params);
      link(t->body);
      break;
    case TKdef:
    case TKdefenv:
      link(t->params);
      link(t->body);
      link(t->prevDef);
      break;
    case TKexprbin:
    case TKexprassign:
    case TKexprindex:
    case TKexprformatstr:
      link(t->left);
      link(t->right);
      break;
    case TKexprun:
    case TKexprformat:
    case TKexprcopy:
    case TKselektor:
      link(t->left);
      break;
    case TKfuncall:
      link(t->params);
      break;
    default:
      if (t->kind >= TKhead && t->kind <= TKrow) link(t->body);   // a section
      break;
  }
  return n;
}

Token* AppendToken(Globals* G, Token* list, Token* item) {
  (void)G;
  if (list == nullptr) return item;
  Token* last = list;
  while (last->next != nullptr) last = last->next;
  last->next = item;
  return list;
}

Token* dbhRevToken(Token* list) {
  Token* reversed = nullptr;
  while (list != nullptr) {
    Token* next = list->next;
    list->next = reversed;
    reversed = list;
    list = next;
  }
  return reversed;
}

int ListLength(const Token* list) {
  int n = 0;
  for (; list != nullptr; list = list->next) n++;
  return n;
}

// ---------------------------------------------------------------- side-effect pass
//
// Levels: 0 no side effect, 1 may call a user-defined function, 2 contains an
// assignment. An operand is wrapped in a copy node where another operand of
// the same node has side effects. The pass walks the expression with its own
// stack, so that a deep expression cannot exhaust the machine stack. Each
// node knows its own level (effects), so the pass walks only where there are
// side effects.

namespace {

struct FixFrame {
  Token* node;
  int stage;
  int level;      // level gathered so far (right operand, index, value, arguments)
  Token* arg;     // the argument entry being rated (calls)
};

struct FixStack {
  FixFrame local[64];
  FixFrame* frames = local;
  size_t capacity = 64;
  size_t count = 0;
};

}  // namespace

[[gnu::noinline]] static void fixGrow(Globals* G, FixStack* s) {
  const size_t capacity = 2 * s->capacity;
  FixFrame* frames = static_cast<FixFrame*>(bxAlloc(G, capacity * sizeof(FixFrame)));
  std::memcpy(static_cast<void*>(frames), s->frames, s->count * sizeof(FixFrame));
  if (s->frames != s->local) bxFree(s->frames);
  s->frames = frames;
  s->capacity = capacity;
}

// Walks into node next: a node with side effects (only one with operands
// has any) gets a frame, any other is completed at once with level 0 (a node
// without side effects has nothing below it to copy).
[[gnu::always_inline]] static inline void fixPush(Globals* G, FixStack* s, Token* node,
                                                  int* result) {
  if (node->effects == 0) {
    *result = 0;
    return;
  }
  if (s->count == s->capacity) fixGrow(G, s);
  s->frames[s->count++] = FixFrame{node, 0, 0, nullptr};
}

// Copy(e, level): an operand whose value must be taken before its neighbour
// changes it.
static Token* copyOperand(Globals* G, Token* e, int level) {
  switch (e->kind) {
    case TKexprbin:
    case TKexprun:
    case TKexprassign:
    case TKexprindex:
    case TKselektor:
      return mTKExprCopy(G, e);
    case TKName:
      return level < 2 ? e : mTKExprCopy(G, e);
    default:   // calls and constants are fresh values; copy nodes already are copies
      return e;
  }
}

Token* FixSideEffects(Globals* G, Token* expr) {
  // a name, a constant, a statement or an expression without side effects:
  // nothing to copy
  if (expr == nullptr || expr->effects == 0) return expr;
  FixStack s;
  int result = 0;   // level of the node completed last
  fixPush(G, &s, expr, &result);
  while (s.count > 0) {
    FixFrame* f = &s.frames[s.count - 1];
    Token* n = f->node;
    switch (n->kind) {
      case TKexprun:
      case TKselektor:
      case TKexprcopy:
        // unary, selector, copy: the level of the operand
        if (f->stage == 0 && n->left != nullptr) {
          f->stage = 1;
          fixPush(G, &s, n->left, &result);
          continue;
        }
        if (f->stage == 0) result = 0;
        break;
      case TKexprbin:
      case TKexprindex:
      case TKexprassign:
        // right operand (index, value) first, then the left one (base,
        // target); level gathers the right one's
        if (f->stage == 0) {
          f->stage = 1;
          fixPush(G, &s, n->right, &result);
          continue;
        }
        if (f->stage == 1) {
          f->level = result;
          f->stage = 2;
          fixPush(G, &s, n->left, &result);
          continue;
        }
        if (n->kind == TKexprbin) {
          // a right operand with side effects copies the left one
          if (f->level > 0) n->left = copyOperand(G, n->left, f->level);
        } else if (result > 0) {
          // a base or target with side effects copies the index or value
          n->right = copyOperand(G, n->right, result);
        }
        result = n->kind == TKexprassign ? 2 : std::max(result, f->level);
        break;
      case TKfuncall: {
        // every argument; with side effects among two or more arguments of a
        // built-in, every argument is copied
        if (f->stage == 0) {
          f->stage = 1;
          f->arg = n->params;
        } else {
          f->level = std::max(f->level, result);
          f->arg = f->arg->next;
        }
        while (f->arg != nullptr && f->arg->expr == nullptr) f->arg = f->arg->next;
        if (f->arg != nullptr) {
          fixPush(G, &s, f->arg->expr, &result);
          continue;
        }
        const int m = f->level;
        if (m > 0 && n->builtin != nullptr && ListLength(n->params) >= 2) {
          for (Token* a = n->params; a != nullptr; a = a->next) {
            if (a->expr != nullptr) a->expr = copyOperand(G, a->expr, m);
          }
        }
        result = n->builtin != nullptr ? m : std::max(m, 1);
        break;
      }
      default:
        // NEVER: only nodes with operands get a frame
        result = 0;
        break;
    }
    s.count--;
  }
  if (s.frames != s.local) bxFree(s.frames);
  return expr;
}

// ---------------------------------------------------------------- kind names

void WriteTokenKind(FILE* stream, uint16_t kind) {
  const char* name = "Token???";
  switch (kind) {
    case TKtext: name = "TKtext"; break;
    case TKfield: name = "TKfield"; break;
    case TKfname: name = "TKfname"; break;
    case TKupdate: name = "TKupdate"; break;
    case TKquery: name = "TKquery"; break;
    case TKinpfield: name = "TKinpfield"; break;
    case TKcustomfield: name = "TKcustomfield"; break;
    case TKdbfname: name = "TKdbfname"; break;
    case TKdbfnamehtml: name = "TKdbfnamehtml"; break;
    case TKdbfnametext: name = "TKdbfnametext"; break;
    case TKdbfnameurl: name = "TKdbfnameurl"; break;
    case TKdbfnameinput: name = "TKdbfnameinput"; break;
    case TKdbfdbhtml: name = "TKdbfdbhtml"; break;
    case TKffname: name = "TKffname"; break;
    case TKffnamequoted: name = "TKffnamequoted"; break;
    case TKffhstv: name = "TKffhstv"; break;
    case TKifempty: name = "TKifempty"; break;
    case TKifbool: name = "TKifbool"; break;
    case TKwhile: name = "TKwhile"; break;
    case TKstamp: name = "TKstamp"; break;
    case TKassign: name = "TKassign"; break;
    case TKdatabase: name = "TKdatabase"; break;
    case TKhead: name = "TKhead"; break;
    case TKbody: name = "TKbody"; break;
    case TKrowbegin: name = "TKrowbegin"; break;
    case TKrowend: name = "TKrowend"; break;
    case TKcolumn: name = "TKcolumn"; break;
    case TKfoot: name = "TKfoot"; break;
    case TKempty: name = "TKempty"; break;
    case TKsep: name = "TKsep"; break;
    case TKtop: name = "TKtop"; break;
    case TKrow: name = "TKrow"; break;
    case TKexprbin: name = "TKexprbin"; break;
    case TKexprun: name = "TKexprun"; break;
    case TKlet: name = "TKlet"; break;
    case TKName: name = "TKName"; break;
    case TKconst: name = "TKconst"; break;
    default: break;
  }
  std::fputs(name, stream);
}
