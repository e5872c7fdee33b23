// scanner.re: the template scanner, one re2c condition per start state; the
// build generates the C++ scanner from this file.
//
// Each input level (template file, scan-time include, dynamic text, form
// parameters) is read into memory whole, through GetLine, and ends with a NUL
// sentinel. The generated matcher checks the bounds whenever it meets a NUL,
// so NUL bytes and byte 127 inside the input are ordinary characters. Lines
// and columns are counted lazily: a tracker walks forward to the start of each
// token, so every byte is counted once.
#include "frontend/scanner.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "diag/messages.h"
#include "driver/predefined.h"
#include "driver/globals.h"
#include "frontend/source.h"
#include "frontend/tree.h"
#include "support/filesearch.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"
#include "values/strings.h"

/*!types:re2c*/

// ---------------------------------------------------------------------------
// Records

static constexpr int kStateNone = -1;      // no start state set yet
static constexpr int kContinue = -1;       // an action that returns no token
static constexpr size_t kInitialBuffer = 8448;
static constexpr int kMaxSavedLevels = 16;
static constexpr size_t kIncludeSearchSize = 1024;

// One input level: its whole input with a NUL after the last byte.
struct ScanLevel {
  int fd;
  bool open;
  unsigned char* buffer;
  size_t length;
  const unsigned char* cur;     // next byte to scan
  const unsigned char* track;   // bytes before this are counted in line/column
  uint32_t line;
  uint32_t column;
};

struct ScannerBuffers {
  int state;
  int prevState;
  ScanLevel level;                        // the level being scanned
  ScanLevel saved[kMaxSavedLevels];       // suspended levels, innermost last
  int depth;
  unsigned serial;                        // changes whenever the level changes
  unsigned char* scratch;                 // string values and composed texts
  size_t scratchSize;
  size_t stringLength;                    // bytes of the string being collected
  Position stringPos;                     // its opening quote
  Position keywordPos;                    // keyword of a token returned later
  Position includePos;                    // keyword of a scan-time include
  Ident firstName;                        // the field name of a field output
  Ident qualifier;                        // its qualifier, 0 when none
  char oneByte[2];                        // a decoded form-value byte
};

// ---------------------------------------------------------------------------
// States and positions

static void setState(ScannerBuffers* B, int state) {
  B->prevState = B->state;
  B->state = state;
}

static YYCONDTYPE currentCondition(const ScannerBuffers* B) {
  return B->state < 0 ? yycText : static_cast<YYCONDTYPE>(B->state);
}

// Counts byte c into a line and column.
[[gnu::always_inline]] static inline void countByte(uint32_t* line, uint32_t* column,
                                                    unsigned char c) {
  if (static_cast<unsigned char>(c - '\t') > '\n' - '\t') {
    ++*column;   // neither a tab nor a line end
  } else if (c == '\n') {
    ++*line;
    *column = 1;
  } else {
    *column += 8 - (*column - 1) % 8;
  }
}

// Counts the bytes from the tracker up to p into the level's line and column.
[[gnu::noinline]] static void advanceTracker(ScanLevel& L, const unsigned char* p) {
  uint32_t line = L.line;
  uint32_t column = L.column;
  for (const unsigned char* q = L.track; q < p; q++) countByte(&line, &column, *q);
  L.line = line;
  L.column = column;
  L.track = p;
}

// Line and column of a position in the file the token attribute names.
struct LineColumn {
  uint16_t line;
  uint16_t column;
};

// The position of the byte at p; p never lies before an earlier token start.
[[gnu::always_inline]] static inline LineColumn lineColumnAt(ScannerBuffers* B,
                                                             const unsigned char* p) {
  ScanLevel& L = B->level;
  if (p > L.track) {
    if (p - L.track == 1 && static_cast<unsigned char>(*L.track - '\t') > '\n' - '\t') {
      L.column++;   // one byte, neither a tab nor a line end (a blank, mostly)
      L.track = p;
    } else {
      advanceTracker(L, p);
    }
  }
  return LineColumn{static_cast<uint16_t>(L.line), static_cast<uint16_t>(L.column)};
}

[[gnu::always_inline]] static inline Position withFile(Globals* G, LineColumn at) {
  return Position{at.line, at.column, G->ScannerAttribute->pos.file};
}

[[gnu::always_inline]] static inline Position positionAt(Globals* G, ScannerBuffers* B,
                                                         const unsigned char* p) {
  return withFile(G, lineColumnAt(B, p));
}

// The position of the token at tok and the tracker moved to its end.
[[gnu::always_inline]] static inline LineColumn stepAt(ScannerBuffers* B,
                                                       const unsigned char* tok,
                                                       const unsigned char* end) {
  const LineColumn pos = lineColumnAt(B, tok);
  ScanLevel& L = B->level;
  if (end - tok == 1) {
    countByte(&L.line, &L.column, *tok);
    L.track = end;
  } else {
    advanceTracker(L, end);
  }
  return pos;
}

// The position of a token that holds neither a tab nor a line end; the
// tracker moves past it at once (no later position lies inside it).
[[gnu::always_inline]] static inline LineColumn spanHere(ScannerBuffers* B,
                                                         const unsigned char* tok,
                                                         const unsigned char* end) {
  const LineColumn pos = lineColumnAt(B, tok);
  ScanLevel& L = B->level;
  L.column += static_cast<uint32_t>(end - tok);
  L.track = end;
  return pos;
}

[[gnu::always_inline]] static inline Position spanAt(Globals* G, ScannerBuffers* B,
                                                     const unsigned char* tok,
                                                     const unsigned char* end) {
  return withFile(G, spanHere(B, tok, end));
}

// Moves the tracker over bytes that hold neither a tab nor a line end when
// it stands at their start (else they are counted when a position is next
// asked for).
[[gnu::always_inline]] static inline void passOver(ScannerBuffers* B, const unsigned char* tok,
                                                   const unsigned char* end) {
  ScanLevel& L = B->level;
  if (L.track == tok) {
    L.column += static_cast<uint32_t>(end - tok);
    L.track = end;
  }
}

// ---------------------------------------------------------------------------
// Scratch space (grows geometrically; reused for every token)

static unsigned char* reserveScratch(Globals* G, ScannerBuffers* B, size_t needed) {
  if (needed > B->scratchSize) {
    size_t size = B->scratchSize > 0 ? B->scratchSize : 256;
    while (size < needed) size *= 2;
    unsigned char* grown = static_cast<unsigned char*>(bxAlloc(G, size));
    if (B->scratch != nullptr) {
      std::memcpy(grown, B->scratch, B->scratchSize);
      bxFree(B->scratch);
    }
    B->scratch = grown;
    B->scratchSize = size;
  }
  return B->scratch;
}

static void appendString(Globals* G, ScannerBuffers* B, const unsigned char* bytes, size_t n) {
  unsigned char* s = reserveScratch(G, B, B->stringLength + n + 1);
  std::memcpy(s + B->stringLength, bytes, n);
  B->stringLength += n;
}

// ---------------------------------------------------------------------------
// Input levels

static size_t largestPowerOfTwo(size_t n) {
  size_t p = 1;
  while (p <= n / 2) p *= 2;
  return p;
}

// Reads the whole input of a level. A read asks for the largest power of two
// that fits into the free part of the buffer (8192 bytes at first, which is
// where a GET query string is cut); the buffer doubles when less than an
// eighth of it is free. A size known in advance avoids the doubling, and
// the read that could only find the end of a file read whole.
static void fillLevel(Globals* G, ScanLevel& L) {
  bool exact = false;
  const long hint = SourceSizeHint(G, L.fd, &exact);
  size_t size = kInitialBuffer;
  if (hint > 0) size = static_cast<size_t>(hint) + static_cast<size_t>(hint) / 4 + kInitialBuffer;
  unsigned char* buffer = static_cast<unsigned char*>(bxAlloc(G, size));
  size_t length = 0;
  for (;;) {
    if (size - length - 1 < size / 8) {
      unsigned char* grown = static_cast<unsigned char*>(bxAlloc(G, size * 2));
      std::memcpy(grown, buffer, length);
      bxFree(buffer);
      buffer = grown;
      size *= 2;
    }
    const size_t chunk = largestPowerOfTwo(size - length - 1);
    const long n = GetLine(G, L.fd, reinterpret_cast<char*>(buffer) + length, chunk);
    if (n <= 0) break;
    length += static_cast<size_t>(n);
    if (exact && length == static_cast<size_t>(hint)) break;
  }
  buffer[length] = 0;
  L.buffer = buffer;
  L.length = length;
  L.cur = buffer;
  L.track = buffer;
  L.line = 1;
  L.column = 1;
}

static void openLevel(Globals* G, ScannerBuffers* B, int fd) {
  if (B->level.open) B->saved[B->depth++] = B->level;
  B->level = ScanLevel{};
  B->level.fd = fd;
  B->level.open = true;
  B->serial++;
  fillLevel(G, B->level);
}

static void releaseLevel(ScanLevel& L) {
  bxFree(L.buffer);
  L = ScanLevel{};
}

// Drops every level without reading on (a new scan starts).
static void dropLevels(ScannerBuffers* B) {
  if (B->level.open && B->level.fd > 0) Close(B->level.fd);
  releaseLevel(B->level);
  while (B->depth > 0) {
    ScanLevel& L = B->saved[--B->depth];
    if (L.fd > 0) Close(L.fd);
    releaseLevel(L);
  }
  B->serial++;
}

// ---------------------------------------------------------------------------
// Token attribute

// The attribute of a token at pos; every member the token does not name is
// zero.
[[gnu::always_inline]] static inline ScanAttr* newAttr(Globals* G, const unsigned char* text,
                                                       size_t length, Position pos) {
  ScanAttr* a = G->ScannerAttribute;
  *a = ScanAttr{.text = reinterpret_cast<const char*>(text),
                .pos = pos,
                .length = static_cast<uint16_t>(length > 65535 ? 65535 : length),
                .nodeKind = 0,
                .ident = 0,
                .integer = 0,
                .real = 0.0f,
                .string = chars{nullptr, 0},
                .textNode = nullptr,
                .fieldName = 0,
                .qualifier = 0};
  return a;
}

// newAttr at a position in the file the attribute names already.
[[gnu::always_inline]] static inline ScanAttr* newAttrHere(Globals* G, const unsigned char* text,
                                                           size_t length, LineColumn at) {
  return newAttr(G, text, length, Position{at.line, at.column, G->ScannerAttribute->pos.file});
}

[[gnu::always_inline]] static inline int simpleToken(Globals* G, ScannerBuffers* B,
                                                     const unsigned char* tok,
                                                     const unsigned char* cur, int code) {
  newAttrHere(G, tok, static_cast<size_t>(cur - tok), spanHere(B, tok, cur));
  return code;
}

// HTMLText whose text is the given bytes (copied into a TKtext node).
[[gnu::always_inline]] static inline int textToken(Globals* G, const unsigned char* text,
                                                   size_t length, LineColumn pos) {
  Token* node = mTKText(G, reinterpret_cast<const char*>(text), static_cast<int32_t>(length));
  ScanAttr* a = newAttrHere(G, text, length, pos);
  a->text = node->text;
  a->textNode = node;
  return tkHTMLText;
}

// The bytes that end a text run: "<", "/", tab and line end; a NUL byte is
// checked against the end of the input.
static constexpr struct TextStops {
  bool stop[256];
  constexpr TextStops() : stop{} {
    stop[0] = stop[static_cast<unsigned char>('<')] = stop[static_cast<unsigned char>('/')] = true;
    stop[static_cast<unsigned char>('\t')] = stop[static_cast<unsigned char>('\n')] = true;
  }
} kTextStops;

// The end of the run of text bytes (neither "<", "/", tab nor line end) that
// starts at p: the longest match of [^</\t\n]+, or p itself.
static inline const unsigned char* textRunEnd(const unsigned char* p, const unsigned char* lim) {
#if defined(__SSE2__)
  const __m128i less = _mm_set1_epi8('<');
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i newline = _mm_set1_epi8('\n');
  while (lim - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(v, less), _mm_cmpeq_epi8(v, slash));
    const __m128i hit =
        _mm_or_si128(stops, _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, newline)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  for (;;) {
    while (!kTextStops.stop[*p]) p++;
    if (*p != 0 || p == lim) return p;
    p++;   // a NUL byte inside the input is text
  }
}

// A text run and the line end that may follow it (the first text rule): the
// bytes hold no tab and no line end but the last, so the tracker moves over
// them at once.
static int runToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                    const unsigned char* cur) {
  const LineColumn pos = lineColumnAt(B, tok);
  ScanLevel& L = B->level;
  if (cur[-1] == '\n') {
    L.line++;
    L.column = 1;
  } else {
    L.column += static_cast<uint32_t>(cur - tok);
  }
  L.track = cur;
  return textToken(G, tok, static_cast<size_t>(cur - tok), pos);
}

// HTMLText made of a prefix ("<" or "</") and some input bytes.
static int composedText(Globals* G, ScannerBuffers* B, const char* prefix,
                        const unsigned char* bytes, size_t n, Position pos) {
  const size_t p = std::strlen(prefix);
  // The scratch space grows (and is charged) as when the text was put
  // together there.
  reserveScratch(G, B, p + n + 1);
  Token* node = mTKTextJoined(G, prefix, static_cast<int32_t>(p),
                              reinterpret_cast<const char*>(bytes), static_cast<int32_t>(n));
  ScanAttr* a = newAttr(G, reinterpret_cast<const unsigned char*>(node->text), p + n, pos);
  a->textNode = node;
  return tkHTMLText;
}

// ---------------------------------------------------------------------------
// Markers and messages

[[gnu::noinline]] static void recordKeyword(Globals* G, Position pos) {
  const ScannerRec* S = G->Scanner;
  if (S->pendingLess.line != 0) SetMarker(G, mkKeyword, S->pendingLess, 0);
  SetMarker(G, mkKeyword, pos, 0);
}

[[gnu::always_inline]] static inline void markKeyword(Globals* G, Position pos) {
  if (MarkerRecording(G)) recordKeyword(G, pos);
  G->Scanner->pendingLess = NoPosition;
}

[[gnu::always_inline]] static inline void markKeywordHere(Globals* G, LineColumn at) {
  if (MarkerRecording(G)) recordKeyword(G, withFile(G, at));
  G->Scanner->pendingLess = NoPosition;
}

[[gnu::always_inline]] static inline void markTagEnd(Globals* G, Position pos) {
  if (MarkerRecording(G)) SetMarker(G, mkTagEnd, pos, 1);
}

[[gnu::always_inline]] static inline void markTagEndHere(Globals* G, LineColumn at) {
  if (MarkerRecording(G)) SetMarker(G, mkTagEnd, withFile(G, at), 1);
}

static int illegal(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  MessageI(G, "illegal character", xxError, positionAt(G, B, tok),
           InfoChar(static_cast<char>(*tok)));
  return kContinue;
}

// A run of include-name characters that no ">" follows: each of its bytes is
// an illegal character, as if the longest match had been tried at each one.
static int illegalRun(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                      const unsigned char* cur) {
  for (const unsigned char* p = tok; p < cur; p++) illegal(G, B, p);
  return kContinue;
}

// ---------------------------------------------------------------------------
// Text and tags

static int lessSign(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  G->Scanner->pendingLess = spanAt(G, B, tok, tok + 1);
  setState(B, yycTagStart);
  return kContinue;
}

// "<" followed by bytes that start no template tag: the text is copied.
// A name (named) holds neither a tab nor a line end: the tracker moves past
// it at once.
static int plainTag(Globals* G, ScannerBuffers* B, const char* prefix,
                    const unsigned char* bytes, size_t n, bool named = false) {
  const Position pos = G->Scanner->pendingLess.line != 0 ? G->Scanner->pendingLess
                                                          : positionAt(G, B, bytes);
  if (named) spanAt(G, B, bytes, bytes + n);
  G->Scanner->pendingLess = NoPosition;
  setState(B, yycText);
  return composedText(G, B, prefix, bytes, n, pos);
}

[[gnu::always_inline]] static inline int keyword(Globals* G, ScannerBuffers* B,
                                                 const unsigned char* tok,
                                                 const unsigned char* cur, int code, int next) {
  const LineColumn pos = spanHere(B, tok, cur);
  markKeywordHere(G, pos);
  newAttrHere(G, tok, static_cast<size_t>(cur - tok), pos);
  setState(B, next);
  return code;
}

// A keyword whose token comes later (dbquery, db, dbf, ff, ff_hstv): the
// token will stand at the keyword.
[[gnu::always_inline]] static inline int deferredKeyword(Globals* G, ScannerBuffers* B,
                                                         const unsigned char* tok,
                                                         const unsigned char* cur, int next) {
  B->keywordPos = spanAt(G, B, tok, cur);
  markKeyword(G, B->keywordPos);
  setState(B, next);
  return kContinue;
}

static int endOfTag(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  markTagEndHere(G, spanHere(B, tok, tok + 1));
  setState(B, yycText);
  return kContinue;
}

// A name after "<" or in a tag's continuation: a user-defined tag, or plain
// text after "<", or a name starting an expression statement.
[[gnu::always_inline]] static inline int tagName(Globals* G, ScannerBuffers* B,
                                                 const unsigned char* tok,
                                                 const unsigned char* cur, bool afterLess) {
  const size_t n = static_cast<size_t>(cur - tok);
  const Ident id = MakeScannedIdent(G, reinterpret_cast<const char*>(tok), n);
  const Token* def = LookupDefinition(G, id);
  if (def == nullptr && afterLess) return plainTag(G, B, "<", tok, n, true);
  const LineColumn pos = spanHere(B, tok, cur);
  G->Scanner->pendingLess = NoPosition;
  ScanAttr* a = newAttrHere(G, tok, n, pos);
  a->ident = id;
  setState(B, yycExpression);
  if (def == nullptr) return tkIdent;
  return def->kind == TKdef ? tkUserTag : tkUserEnv;
}

// "/" and a name that is no keyword: the end of a user environment, plain
// text after "<", or (kSlashOperator) the operator "/" followed by the name
// in an expression, which the caller scans from the name on.
static constexpr int kSlashOperator = -2;

static int closingName(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                       const unsigned char* cur, bool afterLess) {
  const size_t n = static_cast<size_t>(cur - tok);
  const Ident id = MakeScannedIdent(G, reinterpret_cast<const char*>(tok + 1), n - 1);
  if (LookupDefinition(G, id) != nullptr) {
    const Position pos = positionAt(G, B, tok);
    G->Scanner->pendingLess = NoPosition;
    ScanAttr* a = newAttr(G, tok, n, pos);
    a->ident = id;
    setState(B, yycTagNext);
    return tkUserEnvEnd;
  }
  if (afterLess) return plainTag(G, B, "<", tok, n, true);
  return kSlashOperator;
}

static int slashOperator(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  setState(B, yycExpression);
  return simpleToken(G, B, tok, tok + 1, tkSlash);
}

// ---------------------------------------------------------------------------
// Query, update and section tags

static int sectionToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                        const unsigned char* cur, int code, uint16_t kind, Ident id,
                        int next, bool joined) {
  Position pos;
  if (joined) {
    pos = positionAt(G, B, tok);
    markKeyword(G, pos);
  } else {
    pos = B->keywordPos;
    passOver(B, tok, cur);
  }
  ScanAttr* a = newAttr(G, tok, static_cast<size_t>(cur - tok), pos);
  a->nodeKind = kind;
  a->ident = id;
  setState(B, next);
  return code;
}

static int queryToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                      const unsigned char* cur, bool named) {
  const size_t n = static_cast<size_t>(cur - tok);
  ScanAttr* a = newAttr(G, tok, n, B->keywordPos);
  a->nodeKind = TKquery;
  a->ident = named ? MakeScannedIdent(G, reinterpret_cast<const char*>(tok), n) : 0;
  if (named) passOver(B, tok, cur);
  setState(B, yycExpression);
  return tkDbquery;
}

static int missingSectionKind(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  const Position pos = positionAt(G, B, tok);
  Message(G, "missing db section kind", xxError, pos);
  markTagEnd(G, pos);
  setState(B, yycText);
  return kContinue;
}

// ---------------------------------------------------------------------------
// Field outputs

static int fieldName(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                     const unsigned char* cur, int next) {
  B->qualifier = 0;
  B->firstName = MakeScannedIdent(G, reinterpret_cast<const char*>(tok), static_cast<size_t>(cur - tok));
  passOver(B, tok, cur);
  setState(B, next);
  return kContinue;
}

// The second name of a qualified field: the first one becomes the qualifier.
static int fieldSubName(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                        const unsigned char* cur) {
  const Ident qualifier = B->firstName;
  fieldName(G, B, tok, cur, yycFieldSubFormat);
  B->qualifier = qualifier;
  return kContinue;
}

static int missingName(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                       const char* text) {
  const Position pos = positionAt(G, B, tok);
  Message(G, text, xxError, pos);
  markTagEnd(G, pos);
  setState(B, yycText);
  return kContinue;
}

// The ">" (last byte of the match) ends a field output of the given kind.
static int fieldToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                      const unsigned char* cur, uint16_t kind) {
  markTagEnd(G, spanAt(G, B, cur - 1, cur));
  ScanAttr* a = newAttr(G, tok, static_cast<size_t>(cur - tok), B->keywordPos);
  a->nodeKind = kind;
  a->fieldName = B->firstName;
  a->qualifier = B->qualifier;
  setState(B, yycText);
  return tkDbfname;
}

// <field> and <fname>: the keyword and the ">" in one match.
static int fieldKeyword(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                        const unsigned char* cur, uint16_t kind) {
  B->keywordPos = positionAt(G, B, tok);
  markKeyword(G, B->keywordPos);
  B->firstName = 0;
  B->qualifier = 0;
  return fieldToken(G, B, tok, cur, kind);
}


// ---------------------------------------------------------------------------
// Scan-time includes

static int includeKeyword(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  B->includePos = positionAt(G, B, tok);
  markKeyword(G, B->includePos);
  setState(B, yycIncludeName);
  return kContinue;
}

// The match is the file name, optional blanks and the ">" that ends the tag.
static int includeFile(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                       const unsigned char* cur) {
  size_t n = 0;
  while (tok[n] != ' ' && tok[n] != '\t' && tok[n] != '\r' && tok[n] != '\n' && tok[n] != '>') n++;
  char* name = reinterpret_cast<char*>(reserveScratch(G, B, n + 1));
  std::memcpy(name, tok, n);
  name[n] = 0;
  const Position namePos = positionAt(G, B, tok);
  const Position endPos = positionAt(G, B, cur - 1);
  setState(B, yycText);
  dbhCheckIncludeFilename(G, namePos, name);
  const bool marking = MarkerRecording(G);
  if (dbhCheckInIncludeOnce(G, name) && !marking) {
    markTagEnd(G, endPos);
    return kContinue;
  }
  const char* path = G->serverInterface->X_IncludePath;
  if (path == nullptr) path = "";
  char found[kIncludeSearchSize];
  const int code = os_search_braxel(path, name, found, sizeof found, true);
  if (code != kFound) {
    Position at = endPos;
    at.column = 1;
    const int index = code >= 0 && code <= kIllegalSearch ? code : kIllegalSearch;
    MessageI(G, os_search_msg[index], xxError, at, InfoText(name));
    MessageI(G, "Include Path is ", xxInformation, at, InfoText(path));
    markTagEnd(G, endPos);
    return kContinue;
  }
  if (marking) SetMarkerInclude(G, found, namePos);
  markTagEnd(G, endPos);
  // The includer resumes after the tag; the depth check reports at the tag.
  B->level.cur = cur;
  const char* includeName = name;
  G->ScannerAttribute->pos = B->includePos;
  BeginFile(G, found);
  if (G->Scanner->errorIndication == 0) {
    dbhSetIncludeName(G, includeName, n);
  } else {
    // found a moment ago but no longer readable: reported as not found
    G->Scanner->errorIndication = 0;
    Position at = endPos;
    at.column = 1;
    MessageI(G, os_search_msg[kNotFound], xxError, at, InfoText(includeName));
  }
  return kContinue;
}

static int includeOnce(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  markKeyword(G, positionAt(G, B, tok));
  const char* name = dbhCurrentIncludeName(G);
  if (name != nullptr && !dbhCheckInIncludeOnce(G, name)) dbhRegisterIncludeOnce(G, name);
  setState(B, yycTagNext);
  return kContinue;
}

// ---------------------------------------------------------------------------
// Comments

static int commentStart(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  if (MarkerRecording(G)) SetMarker(G, mkCommentStart, positionAt(G, B, tok), 0);
  setState(B, yycComment);
  return kContinue;
}

static int commentEnd(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  if (MarkerRecording(G)) SetMarker(G, mkCommentEnd, positionAt(G, B, tok), 2);
  setState(B, B->prevState);
  return kContinue;
}

// ---------------------------------------------------------------------------
// Strings

static int stringStart(Globals* G, ScannerBuffers* B, const unsigned char* tok, int state) {
  B->stringPos = spanAt(G, B, tok, tok + 1);
  B->stringLength = 0;
  if (MarkerRecording(G)) SetMarker(G, mkStringStart, B->stringPos, 0);
  setState(B, state);
  return kContinue;
}

// A run of string bytes, neither a tab nor a line end among them.
static int stringRun(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                     const unsigned char* cur) {
  passOver(B, tok, cur);
  appendString(G, B, tok, static_cast<size_t>(cur - tok));
  return kContinue;
}

static int stringEscape(Globals* G, ScannerBuffers* B, unsigned char c) {
  switch (c) {
    case 'n': c = 10; break;
    case 'r': c = 13; break;
    case 'b': c = 8; break;
    case 't': c = 9; break;
    case 'f': c = 12; break;
    case '0': c = 12; break;
    default: break;
  }
  appendString(G, B, &c, 1);
  return kContinue;
}

// The closing quote, or the newline that leaves the string unclosed.
static int stringEnd(Globals* G, ScannerBuffers* B, const unsigned char* tok, bool closed) {
  const Position at = positionAt(G, B, tok);
  if (!closed) Message(G, "unclosed string", xxError, B->stringPos);
  if (MarkerRecording(G)) SetMarker(G, mkStringEnd, at, closed ? 1 : 0);
  reserveScratch(G, B, B->stringLength + 1);
  const chars value = chars_make(G, reinterpret_cast<const char*>(B->scratch),
                                 static_cast<int32_t>(B->stringLength));
  ScanAttr* a = newAttr(G, reinterpret_cast<const unsigned char*>(value.str),
                        static_cast<size_t>(value.size), B->stringPos);
  a->string = value;
  setState(B, yycExpression);
  return tkQuotedString;
}

// ---------------------------------------------------------------------------
// Numbers and names of expressions

// Decimal digits; values beyond the 32-bit range become 2147483647.
static int integerToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                        const unsigned char* cur) {
  // Once past the range the value only grows with more digits.
  uint64_t v = 0;
  for (const unsigned char* p = tok; p < cur; p++) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > INT32_MAX) {
      v = INT32_MAX;
      break;
    }
  }
  ScanAttr* a = newAttrHere(G, tok, static_cast<size_t>(cur - tok), spanHere(B, tok, cur));
  a->integer = static_cast<int32_t>(v);
  return tkInteger;
}

// A real literal, converted with strtod and held in single precision. The
// text is copied so that strtod sees exactly the match (a lower-case e that
// follows is a name of its own).
static int realToken(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                     const unsigned char* cur) {
  const size_t n = static_cast<size_t>(cur - tok);
  char* text = reinterpret_cast<char*>(reserveScratch(G, B, n + 1));
  std::memcpy(text, tok, n);
  text[n] = 0;
  const double v = std::strtod(text, nullptr);
  ScanAttr* a = newAttr(G, tok, n, positionAt(G, B, tok));
  a->real = static_cast<float>(v);
  return tkReal;
}

[[gnu::always_inline]] static inline int nameToken(Globals* G, ScannerBuffers* B,
                                                   const unsigned char* tok,
                                                   const unsigned char* cur, Ident id) {
  const size_t n = static_cast<size_t>(cur - tok);
  ScanAttr* a = newAttrHere(G, tok, n, spanHere(B, tok, cur));
  a->ident = id != 0 ? id : MakeScannedIdent(G, reinterpret_cast<const char*>(tok), n);
  return tkIdent;
}

// ">" ends the tag; ";" ends the statement and the tag goes on.
[[gnu::always_inline]] static inline int tagEndToken(Globals* G, ScannerBuffers* B,
                                                     const unsigned char* tok, bool endsTag) {
  const LineColumn pos = spanHere(B, tok, tok + 1);
  if (endsTag) markTagEndHere(G, pos);
  newAttrHere(G, tok, 1, pos);
  setState(B, endsTag ? yycText : yycTagNext);
  return tkGreater;
}

// ---------------------------------------------------------------------------
// Form arguments

// A form argument name may hold tabs and line ends.
static int formName(Globals* G, ScannerBuffers* B, const unsigned char* tok,
                    const unsigned char* cur) {
  const size_t n = static_cast<size_t>(cur - tok);
  ScanAttr* a = newAttr(G, tok, n, positionAt(G, B, tok));
  a->ident = MakeScannedIdent(G, reinterpret_cast<const char*>(tok), n);
  return tkFormName;
}

static int formBytes(Globals* G, ScannerBuffers* B, const unsigned char* tok, size_t n,
                     char* bytes) {
  ScanAttr* a = newAttr(G, tok, n, positionAt(G, B, tok));
  a->string = chars{bytes, static_cast<int32_t>(n)};
  return tkFormValue;
}

static int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

static int formEscape(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  const int byte = hexValue(tok[1]) * 16 + hexValue(tok[2]);
  if (byte == 13) return kContinue;
  B->oneByte[0] = static_cast<char>(byte);
  return formBytes(G, B, tok, 1, B->oneByte);
}

// ---------------------------------------------------------------------------
// End of input

static int endOfLevel(Globals* G, ScannerBuffers* B, const unsigned char* tok) {
  if (B->depth > 0) {
    CloseFile(G);
    return kContinue;
  }
  const Position pos = positionAt(G, B, tok);
  const YYCONDTYPE c = currentCondition(B);
  if (c != yycText && c != yycFormName && c != yycFormValue) {
    Message(G, "unexpected end of file", xxError, pos);
  }
  CloseSource(G, B->level.fd);
  releaseLevel(B->level);
  B->serial++;
  newAttr(G, nullptr, 0, pos);
  return tkEndOfFile;
}

// ---------------------------------------------------------------------------
// The matcher

// Matches rules of the current start state and runs their actions until one
// returns a token code, or until an action switches levels (an include
// began or a level ended: then kContinue or the code is returned, and the
// caller starts again on the new level). RET ends each action: with a token,
// the cursor is written back into the level it was taken from; an action
// that returns no token goes on with the next match here. (A function cannot
// continue or leave the caller's loop, hence the macro.)
#define RET(action)                                  \
  {                                                  \
    const int code_ = (action);                      \
    if (B->serial != serial) return code_;           \
    if (code_ != kContinue) {                        \
      B->level.cur = cur;                            \
      return code_;                                  \
    }                                                \
    continue;                                        \
  }

// The start states whose ws+ rule skips blanks and that have no other rule
// starting with one.
static constexpr uint32_t kBlankSkipStates =
    1u << yycTagStart | 1u << yycTagNext | 1u << yycSectionKind | 1u << yycQueryName |
    1u << yycFieldName | 1u << yycFieldFormat | 1u << yycFieldSubName | 1u << yycFieldSubFormat |
    1u << yycFormFieldName | 1u << yycFormFieldFormat | 1u << yycHostVarName |
    1u << yycHostVarEnd | 1u << yycIncludeName | 1u << yycExpression;

[[gnu::always_inline]] static inline int scanOne(Globals* G, ScannerBuffers* B) {
  const unsigned char* cur = B->level.cur;
  const unsigned char* const lim = B->level.buffer + B->level.length;
  const unsigned char* mar = cur;
  const unsigned char* tok = cur;
  const unsigned serial = B->serial;
  for (;;) {
  tok = cur;
  static_assert(yycText == 0, "no start state set yet (negative) reads as text");
  if (B->state <= yycText) {
    // The longest text run, as the first text rule matches it.
    const unsigned char* p = textRunEnd(cur, lim);
    if (p != cur) {
      if (*p == '\n') p++;
      cur = p;
      RET(runToken(G, B, tok, cur));
    }
  } else if (*cur == ' ' && ((kBlankSkipStates >> B->state) & 1) != 0) {
    // Blanks, as the state's ws+ rule skips them; a tab or line end that
    // follows is left to that rule. The tracker moves past them at once.
    const unsigned char* p = cur + 1;
    while (*p == ' ') p++;
    passOver(B, cur, p);
    cur = p;
    tok = p;
  }
  /*!re2c
    re2c:api:style = free-form;
    re2c:define:YYCTYPE = "unsigned char";
    re2c:define:YYCURSOR = cur;
    re2c:define:YYLIMIT = lim;
    re2c:define:YYMARKER = mar;
    re2c:define:YYGETCONDITION = "currentCondition(B)";
    re2c:define:YYSETCONDITION = "setState(B, @@);";
    re2c:yyfill:enable = 0;
    re2c:eof = 0;

    ws       = [ \t\r\n];
    name     = [a-zA-Z] [a-zA-Z0-9_$]*;
    word     = [a-zA-Z0-9_$]+;
    incname  = [a-zA-Z0-9$%./:@_]+;
    hex      = [0-9a-fA-F];
    linecomment = "//" ("\r"? "\n" | [ \t] [^\n]* "\n"?);

    // ----- text
    <Text> [^</\t\n]+ "\n"? | "\n" | "\t" | "/" {
      RET(textToken(G, tok, static_cast<size_t>(cur - tok), stepAt(B, tok, cur)));
    }
    <Text> "<" { RET(lessSign(G, B, tok)); }

    // ----- comments, in text, tags and expressions
    <Text,TagStart,TagNext,Expression> "/*" { RET(commentStart(G, B, tok)); }
    <Text,TagStart,TagNext,Expression> linecomment { RET(kContinue); }
    <Comment> "*/" { RET(commentEnd(G, B, tok)); }
    <Comment> [^*]+ | "*" { RET(kContinue); }

    // ----- keywords after "<" and in a tag's continuation
    <TagStart,TagNext> ws+ { RET(kContinue); }
    <TagStart,TagNext> "?"        { RET(keyword(G, B, tok, cur, tkQuestion, yycExpression)); }
    <TagStart,TagNext> "let"      { RET(keyword(G, B, tok, cur, tkLet, yycExpression)); }
    <TagStart,TagNext> "if"       { RET(keyword(G, B, tok, cur, tkIf, yycExpression)); }
    <TagStart,TagNext> "ifempty"  { RET(keyword(G, B, tok, cur, tkIfempty, yycExpression)); }
    <TagStart,TagNext> "then"     { RET(keyword(G, B, tok, cur, tkThen, yycTagNext)); }
    <TagStart,TagNext> "else"     { RET(keyword(G, B, tok, cur, tkElse, yycTagNext)); }
    <TagStart,TagNext> "/if"      { RET(keyword(G, B, tok, cur, tkIfEnd, yycTagNext)); }
    <TagStart,TagNext> "while"    { RET(keyword(G, B, tok, cur, tkWhile, yycExpression)); }
    <TagStart,TagNext> "/while"   { RET(keyword(G, B, tok, cur, tkWhileEnd, yycTagNext)); }
    <TagStart,TagNext> "assign"   { RET(keyword(G, B, tok, cur, tkAssign, yycExpression)); }
    <TagStart>         "="        { RET(keyword(G, B, tok, cur, tkAssign, yycExpression)); }
    <TagStart,TagNext> "/assign" | "/=" { RET(keyword(G, B, tok, cur, tkAssignEnd, yycTagNext)); }
    <TagStart,TagNext> "def"      { RET(keyword(G, B, tok, cur, tkDef, yycExpression)); }
    <TagStart,TagNext> "/def"     { RET(keyword(G, B, tok, cur, tkDefEnd, yycTagNext)); }
    <TagStart,TagNext> "defenv"   { RET(keyword(G, B, tok, cur, tkDefenv, yycExpression)); }
    <TagStart,TagNext> "/defenv"  { RET(keyword(G, B, tok, cur, tkDefenvEnd, yycTagNext)); }
    <TagStart,TagNext> "defbody"  { RET(keyword(G, B, tok, cur, tkDefbody, yycTagNext)); }
    <TagStart,TagNext> "return"   { RET(keyword(G, B, tok, cur, tkReturn, yycExpression)); }
    <TagStart,TagNext> "break"    { RET(keyword(G, B, tok, cur, tkBreak, yycTagNext)); }
    <TagStart,TagNext> "include" ws* ">" {
      cur = tok + 7;   // the ">" is scanned again in the expression
      RET(keyword(G, B, tok, cur, tkInclude, yycExpression));
    }
    <TagStart,TagNext> "include"  { RET(includeKeyword(G, B, tok)); }
    <TagStart,TagNext> "/include" { RET(keyword(G, B, tok, cur, tkIncludeEnd, yycExpression)); }
    <TagStart,TagNext> "includeonce" { RET(includeOnce(G, B, tok)); }
    <TagStart,TagNext> "shell"    { RET(keyword(G, B, tok, cur, tkShell, yycExpression)); }
    <TagStart,TagNext> "/shell"   { RET(keyword(G, B, tok, cur, tkShellEnd, yycExpression)); }
    <TagStart,TagNext> "mail"     { RET(keyword(G, B, tok, cur, tkMail, yycExpression)); }
    <TagStart,TagNext> "/mail"    { RET(keyword(G, B, tok, cur, tkMailEnd, yycExpression)); }
    <TagStart,TagNext> "dbquery"  { RET(deferredKeyword(G, B, tok, cur, yycQueryName)); }
    <TagStart,TagNext> "dbupdate" {
      RET(sectionToken(G, B, tok, cur, tkDbupdate, TKupdate, Idupdate, yycExpression, true));
    }
    <TagStart,TagNext> "db"       { RET(deferredKeyword(G, B, tok, cur, yycSectionKind)); }
    <TagStart,TagNext> "dbstamp"  {
      RET(sectionToken(G, B, tok, cur, tkDbupdate, TKstamp, Idstamp, yycExpression, true));
    }
    <TagStart,TagNext> "dbdatabase" {
      RET(sectionToken(G, B, tok, cur, tkDbupdate, TKdatabase, Iddatabase, yycExpression, true));
    }
    <TagStart,TagNext> "dbhead"   { RET(sectionToken(G, B, tok, cur, tkDbSection, TKhead, Idhead, yycTagNext, true)); }
    <TagStart,TagNext> "dbbody"   { RET(sectionToken(G, B, tok, cur, tkDbSection, TKbody, Idbody, yycTagNext, true)); }
    <TagStart,TagNext> "dbrow"    { RET(sectionToken(G, B, tok, cur, tkDbSection, TKrowbegin, Idrowbegin, yycTagNext, true)); }
    <TagStart,TagNext> "dbrowend" { RET(sectionToken(G, B, tok, cur, tkDbSection, TKrowend, Idrowend, yycTagNext, true)); }
    <TagStart,TagNext> "dbcolumn" { RET(sectionToken(G, B, tok, cur, tkDbSection, TKcolumn, Idcolumn, yycTagNext, true)); }
    <TagStart,TagNext> "dbfoot"   { RET(sectionToken(G, B, tok, cur, tkDbSection, TKfoot, Idfoot, yycTagNext, true)); }
    <TagStart,TagNext> "dbempty"  { RET(sectionToken(G, B, tok, cur, tkDbSection, TKempty, Idempty, yycTagNext, true)); }
    <TagStart,TagNext> "dbsep"    { RET(sectionToken(G, B, tok, cur, tkDbSection, TKsep, Idaltquery, yycTagNext, true)); }
    <TagStart,TagNext> "dbtop"    { RET(sectionToken(G, B, tok, cur, tkDbSection, TKtop, Idtop, yycTagNext, true)); }
    <TagStart,TagNext> "/db" | "/dbquery" | "/dbupdate" | "/dbdatabase" {
      RET(keyword(G, B, tok, cur, tkDbEnd, yycTagNext));
    }
    <TagStart,TagNext> "field" ws* ">" { RET(fieldKeyword(G, B, tok, cur, TKfield)); }
    <TagStart,TagNext> "fname" ws* ">" { RET(fieldKeyword(G, B, tok, cur, TKfname)); }
    <TagStart>         "dbf"      { RET(deferredKeyword(G, B, tok, cur, yycFieldName)); }
    <TagStart>         "ff"       { RET(deferredKeyword(G, B, tok, cur, yycFormFieldName)); }
    <TagStart,TagNext> "ff_hstv"  { RET(deferredKeyword(G, B, tok, cur, yycHostVarName)); }
    <TagStart>         "\\" { RET(plainTag(G, B, "<", tok, 0)); }
    <TagStart> name     { RET(tagName(G, B, tok, cur, true)); }
    <TagNext>  name     { RET(tagName(G, B, tok, cur, false)); }
    <TagStart> "/" name { RET(closingName(G, B, tok, cur, true)); }
    <TagNext>  "/" name {
      const int code = closingName(G, B, tok, cur, false);
      if (code == kSlashOperator) {
        cur = tok + 1;
        RET(slashOperator(G, B, tok));
      }
      RET(code);
    }
    <TagNext>  ";"      { RET(kContinue); }
    <TagNext>  "("      { RET(simpleToken(G, B, tok, cur, tkLParen)); }
    <TagNext>  ">"      { RET(endOfTag(G, B, tok)); }
    <TagStart> *        { RET(plainTag(G, B, "<", tok, 1)); }
    <TagNext>  *        { RET(illegal(G, B, tok)); }

    // ----- section kinds after "db"
    <SectionKind> ws+        { RET(kContinue); }
    <SectionKind> "stamp"    { RET(sectionToken(G, B, tok, cur, tkDbupdate, TKstamp, Idstamp, yycExpression, false)); }
    <SectionKind> "database" { RET(sectionToken(G, B, tok, cur, tkDbupdate, TKdatabase, Iddatabase, yycExpression, false)); }
    <SectionKind> "head"     { RET(sectionToken(G, B, tok, cur, tkDbSection, TKhead, Idhead, yycTagNext, false)); }
    <SectionKind> "body"     { RET(sectionToken(G, B, tok, cur, tkDbSection, TKbody, Idbody, yycTagNext, false)); }
    <SectionKind> "row" | "rowbegin" { RET(sectionToken(G, B, tok, cur, tkDbSection, TKrowbegin, Idrowbegin, yycTagNext, false)); }
    <SectionKind> "rowend"   { RET(sectionToken(G, B, tok, cur, tkDbSection, TKrowend, Idrowend, yycTagNext, false)); }
    <SectionKind> "column"   { RET(sectionToken(G, B, tok, cur, tkDbSection, TKcolumn, Idcolumn, yycTagNext, false)); }
    <SectionKind> "foot"     { RET(sectionToken(G, B, tok, cur, tkDbSection, TKfoot, Idfoot, yycTagNext, false)); }
    <SectionKind> "empty"    { RET(sectionToken(G, B, tok, cur, tkDbSection, TKempty, Idempty, yycTagNext, false)); }
    <SectionKind> "sep"      { RET(sectionToken(G, B, tok, cur, tkDbSection, TKsep, Idaltquery, yycTagNext, false)); }
    <SectionKind> "top"      { RET(sectionToken(G, B, tok, cur, tkDbSection, TKtop, Idtop, yycTagNext, false)); }
    <SectionKind> ">"        { RET(missingSectionKind(G, B, tok)); }
    <SectionKind> *          { RET(illegal(G, B, tok)); }

    // ----- the optional query name after "dbquery"
    <QueryName> ws+          { RET(kContinue); }
    <QueryName> [a-zA-Z0-9]+ { RET(queryToken(G, B, tok, cur, true)); }
    <QueryName> ">" {
      cur = tok;   // the ">" is scanned again in the expression
      RET(queryToken(G, B, tok, cur, false));
    }
    <QueryName> *            { RET(illegal(G, B, tok)); }

    // ----- database field outputs
    <FieldName,FieldFormat,FieldSubName,FieldSubFormat,FormFieldName,FormFieldFormat,HostVarName,HostVarEnd> ws+ {
      RET(kContinue);
    }
    <FieldName> word { RET(fieldName(G, B, tok, cur, yycFieldFormat)); }
    <FieldName,FieldSubName> ">" { RET(missingName(G, B, tok, "missing name of field")); }
    <FieldFormat> "." {
      passOver(B, tok, cur);
      setState(B, yycFieldSubName);
      RET(kContinue);
    }
    <FieldSubName> word { RET(fieldSubName(G, B, tok, cur)); }
    <FieldFormat,FieldSubFormat> ">"             { RET(fieldToken(G, B, tok, cur, TKdbfname)); }
    <FieldFormat,FieldSubFormat> "html" ws* ">"   { RET(fieldToken(G, B, tok, cur, TKdbfnamehtml)); }
    <FieldFormat,FieldSubFormat> "text" ws* ">"   { RET(fieldToken(G, B, tok, cur, TKdbfnametext)); }
    <FieldFormat,FieldSubFormat> "furl" ws* ">"   { RET(fieldToken(G, B, tok, cur, TKdbfnameurl)); }
    <FieldFormat,FieldSubFormat> "input" ws* ">"  { RET(fieldToken(G, B, tok, cur, TKdbfnameinput)); }
    <FieldFormat,FieldSubFormat> "dbhtml" ws* ">" { RET(fieldToken(G, B, tok, cur, TKdbfdbhtml)); }
    <FieldFormat,FieldSubFormat> "cust" ws* ">"   { RET(fieldToken(G, B, tok, cur, TKcustomfield)); }

    // ----- form field and host-variable outputs
    <FormFieldName> word { RET(fieldName(G, B, tok, cur, yycFormFieldFormat)); }
    <FormFieldName,HostVarName> ">" { RET(missingName(G, B, tok, "missing name of form field")); }
    <FormFieldFormat> ">"             { RET(fieldToken(G, B, tok, cur, TKffname)); }
    <FormFieldFormat> "quoted" ws* ">" { RET(fieldToken(G, B, tok, cur, TKffnamequoted)); }
    <HostVarName> word { RET(fieldName(G, B, tok, cur, yycHostVarEnd)); }
    <HostVarEnd> ">"   { RET(fieldToken(G, B, tok, cur, TKffhstv)); }
    <FieldName,FieldFormat,FieldSubName,FieldSubFormat,FormFieldName,FormFieldFormat,HostVarName,HostVarEnd> * {
      RET(illegal(G, B, tok));
    }

    // ----- the file name of a scan-time include
    <IncludeName> ws+                { RET(kContinue); }
    <IncludeName> incname ws* ">"    { RET(includeFile(G, B, tok, cur)); }
    <IncludeName> incname            { RET(illegalRun(G, B, tok, cur)); }
    <IncludeName> *                  { RET(illegal(G, B, tok)); }

    // ----- expressions
    <Expression> ws+          { RET(kContinue); }
    <Expression> "true"       { RET(simpleToken(G, B, tok, cur, tkTrue)); }
    <Expression> "false"      { RET(simpleToken(G, B, tok, cur, tkFalse)); }
    <Expression> "null"       { RET(simpleToken(G, B, tok, cur, tkNull)); }
    <Expression> "emptytuple" { RET(simpleToken(G, B, tok, cur, tkEmptytuple)); }
    <Expression> "braxel"     { RET(nameToken(G, B, tok, cur, G->Scanner->formatIds[fwDbhtml])); }
    <Expression> name         { RET(nameToken(G, B, tok, cur, 0)); }
    <Expression> [0-9]+       { RET(integerToken(G, B, tok, cur)); }
    <Expression> [0-9]* "." [0-9]+ ("E" [+-]? [0-9]+)? { RET(realToken(G, B, tok, cur)); }
    <Expression> "\""         { RET(stringStart(G, B, tok, yycStringDouble)); }
    <Expression> "'"          { RET(stringStart(G, B, tok, yycStringSingle)); }
    <Expression> "+"          { RET(simpleToken(G, B, tok, cur, tkPlus)); }
    <Expression> "-"          { RET(simpleToken(G, B, tok, cur, tkMinus)); }
    <Expression> "*"          { RET(simpleToken(G, B, tok, cur, tkStar)); }
    <Expression> "/"          { RET(simpleToken(G, B, tok, cur, tkSlash)); }
    <Expression> "%"          { RET(simpleToken(G, B, tok, cur, tkPercent)); }
    <Expression> "=="         { RET(simpleToken(G, B, tok, cur, tkEqEq)); }
    <Expression> "!="         { RET(simpleToken(G, B, tok, cur, tkNotEq)); }
    <Expression> "<"          { RET(simpleToken(G, B, tok, cur, tkLess)); }
    <Expression> "<="         { RET(simpleToken(G, B, tok, cur, tkLessEq)); }
    <Expression> "&&"         { RET(simpleToken(G, B, tok, cur, tkAndAnd)); }
    <Expression> "||"         { RET(simpleToken(G, B, tok, cur, tkOrOr)); }
    <Expression> "!"          { RET(simpleToken(G, B, tok, cur, tkNot)); }
    <Expression> "="          { RET(simpleToken(G, B, tok, cur, tkEqual)); }
    <Expression> ","          { RET(simpleToken(G, B, tok, cur, tkComma)); }
    <Expression> "."          { RET(simpleToken(G, B, tok, cur, tkDot)); }
    <Expression> "("          { RET(simpleToken(G, B, tok, cur, tkLParen)); }
    <Expression> ")"          { RET(simpleToken(G, B, tok, cur, tkRParen)); }
    <Expression> "["          { RET(simpleToken(G, B, tok, cur, tkLBracket)); }
    <Expression> "]"          { RET(simpleToken(G, B, tok, cur, tkRBracket)); }
    <Expression> ":"          { RET(simpleToken(G, B, tok, cur, tkDef)); }
    <Expression> ">"          { RET(tagEndToken(G, B, tok, true)); }
    <Expression> ";"          { RET(tagEndToken(G, B, tok, false)); }
    <Expression> *            { RET(illegal(G, B, tok)); }

    // ----- string literals
    <StringDouble> [^"\\\t\n]+ { RET(stringRun(G, B, tok, cur)); }
    <StringSingle> [^'\\\t\n]+ { RET(stringRun(G, B, tok, cur)); }
    <StringDouble,StringSingle> "\\" [^\n] {
      if (tok[1] != '\t') passOver(B, tok, cur);
      RET(stringEscape(G, B, tok[1]));
    }
    <StringDouble,StringSingle> "\t" { appendString(G, B, tok, 1); RET(kContinue); }
    <StringDouble> "\"" { RET(stringEnd(G, B, tok, true)); }
    <StringSingle> "'"  { RET(stringEnd(G, B, tok, true)); }
    <StringDouble,StringSingle> "\n" { RET(stringEnd(G, B, tok, false)); }
    <StringDouble,StringSingle> * { RET(illegal(G, B, tok)); }

    // ----- form argument names and values
    <FormName> [^&.=]+ { RET(formName(G, B, tok, cur)); }
    <FormName> "."     { RET(simpleToken(G, B, tok, cur, tkFormDot)); }
    <FormName> "&"     { RET(kContinue); }
    <FormName> "="     { setState(B, yycFormValue); RET(kContinue); }
    <FormValue> [^%&+\n]+ {
      RET(formBytes(G, B, tok, static_cast<size_t>(cur - tok),
                       const_cast<char*>(reinterpret_cast<const char*>(tok))));
    }
    <FormValue> "+"    { B->oneByte[0] = ' '; RET(formBytes(G, B, tok, 1, B->oneByte)); }
    <FormValue> "%" hex hex { RET(formEscape(G, B, tok)); }
    <FormValue> "\n"   { RET(kContinue); }
    <FormValue> "&"    { setState(B, yycFormName); RET(simpleToken(G, B, tok, cur, tkFormEnd)); }
    <FormName,FormValue> * { RET(illegal(G, B, tok)); }

    // ----- end of a level's input
    <Text,TagStart,TagNext,SectionKind,QueryName,Expression,StringDouble,StringSingle,FieldName,FieldFormat,FieldSubName,FieldSubFormat,FormFieldName,FormFieldFormat,HostVarName,HostVarEnd,IncludeName,Comment,FormName,FormValue> $ {
      RET(endOfLevel(G, B, tok));
    }
  */
  }
}
#undef RET

// ---------------------------------------------------------------------------
// Module records

void ScannerInitializeGV(Globals* G) {
  ScannerRec* S = static_cast<ScannerRec*>(bxAllocZero(G, sizeof(ScannerRec)));
  G->Scanner = S;
  for (int i = 0; i < 7; i++) S->formatIds[i] = MakeIdent(G, kFormatWords[i]);
  S->pendingLess = NoPosition;
  ScannerInitializeGeneratedGV(G);
}

void ScannerFinalizeGV(Globals* G) {
  ScannerFinalizeGeneratedGV(G);
  bxFree(G->Scanner);
  G->Scanner = nullptr;
}

void ScannerInitializeGeneratedGV(Globals* G) {
  G->ScannerAttribute = static_cast<ScanAttr*>(bxAllocZeroAs(G, sizeof(ScanAttr), kScanAttrCharge));
  ScannerBuffers* B = static_cast<ScannerBuffers*>(bxAllocZero(G, sizeof(ScannerBuffers)));
  B->state = kStateNone;
  B->prevState = kStateNone;
  G->ScannerBuf = B;
}

void ScannerFinalizeGeneratedGV(Globals* G) {
  ScannerBuffers* B = G->ScannerBuf;
  if (B != nullptr) {
    dropLevels(B);
    bxFree(B->scratch);
    bxFree(B);
    G->ScannerBuf = nullptr;
  }
  bxFree(G->ScannerAttribute);
  G->ScannerAttribute = nullptr;
}

// ---------------------------------------------------------------------------
// Starting and ending input

void BeginScanner(Globals* G, bool withInput) {
  ScannerBuffers* B = G->ScannerBuf;
  dropLevels(B);
  B->state = kStateNone;
  B->prevState = kStateNone;
  B->stringLength = 0;
  G->Scanner->errorIndication = 0;
  G->Scanner->pendingLess = NoPosition;
  if (withInput) {
    openLevel(G, B, 0);
    setState(B, yycFormName);
  }
}

void BeginFile(Globals* G, const char* name, int opened) {
  ScannerBuffers* B = G->ScannerBuf;
  if (B->level.open && B->depth >= kMaxSavedLevels) {
    if (opened != -1) Close(opened);
    G->Scanner->errorIndication = 2;
    return;
  }
  const int fd = BeginSource(G, name, opened);
  if (fd < 1) {
    G->Scanner->errorIndication = 4;
    return;
  }
  openLevel(G, B, fd);
}

void BeginStringInput(Globals* G, const char* text) {
  ScannerBuffers* B = G->ScannerBuf;
  if (B->level.open && B->depth >= kMaxSavedLevels) {
    G->Scanner->errorIndication = 2;
    return;
  }
  BeginString(G, text);
  openLevel(G, B, 0);
}

void CloseFile(Globals* G) {
  ScannerBuffers* B = G->ScannerBuf;
  if (!B->level.open) {
    G->Scanner->errorIndication = 3;
    return;
  }
  CloseSource(G, B->level.fd);
  releaseLevel(B->level);
  B->serial++;
  if (B->depth > 0) {
    B->level = B->saved[--B->depth];
  } else {
    G->Scanner->errorIndication = 3;
  }
}

void StartInputState(Globals* G) { setState(G->ScannerBuf, yycText); }

void CloseScanner(Globals*) {}

// ---------------------------------------------------------------------------
// Tokens

int GetToken(Globals* G) {
  ScannerBuffers* B = G->ScannerBuf;
  for (;;) {
    if (!B->level.open) {
      newAttr(G, nullptr, 0, G->ScannerAttribute->pos);
      return tkEndOfFile;
    }
    const int code = scanOne(G, B);
    if (code != kContinue) return code;
  }
}

static int copyWord(Globals* G, char* buffer, int (*convert)(int)) {
  const ScanAttr* a = G->ScannerAttribute;
  const int n = a->text != nullptr ? a->length : 0;
  for (int i = 0; i < n; i++) {
    const unsigned char c = static_cast<unsigned char>(a->text[i]);
    buffer[i] = static_cast<char>(convert != nullptr ? convert(c) : c);
  }
  buffer[n] = 0;
  return n;
}

int GetWord(Globals* G, char* buffer) { return copyWord(G, buffer, nullptr); }
int GetLower(Globals* G, char* buffer) { return copyWord(G, buffer, ::tolower); }
int GetUpper(Globals* G, char* buffer) { return copyWord(G, buffer, ::toupper); }

int ScannerGetLine(Globals* G) {
  ScannerBuffers* B = G->ScannerBuf;
  if (B->level.open) positionAt(G, B, B->level.cur);
  return static_cast<int>(static_cast<uint16_t>(B->level.open ? B->level.line : G->ScannerAttribute->pos.line));
}

// ---------------------------------------------------------------------------
// The parser's token insertion

void ErrorAttribute(Globals* G, int token, ScanAttr* attribute) {
  const Position pos = G->ScannerAttribute->pos;
  *attribute = ScanAttr{};
  attribute->pos = pos;
  switch (token) {
    case tkQuotedString:
    case tkTOKchars:
      attribute->string = chars_empty(G);
      break;
    case tkHTMLText:
      attribute->textNode = mTKText(G, "", 0);
      break;
    default:
      break;
  }
}

void dbhHandleErrorInsert(Globals* G, int token, int* lookahead, ScanAttr* attribute) {
  if (token != tkGreater) return;
  setState(G->ScannerBuf, yycText);
  // the inserted ">" stands just before the lookahead
  if (MarkerRecording(G)) SetMarker(G, mkTagEnd, G->ScannerAttribute->pos, 0);
  if (*lookahead == tkEndOfFile) return;
  Token* node = mTKText(G, " ", 1);
  attribute->textNode = node;
  attribute->text = node->text;
  attribute->length = 1;
  *lookahead = tkHTMLText;
}
