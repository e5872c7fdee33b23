// sets.cpp: bit sets over small integer ranges. Element e is bit
// (31 - e % 32) of word e / 32, so the top bit of word 0 is element 0.
// lowBound and highBound are hints: every element lies between them.
#include "support/sets.h"

#include <bit>

#include "support/arrays.h"
#include "support/memory.h"

// ---- Words and bits -------------------------------------------------------

static uint32_t bitOf(uint16_t e) { return 1u << (31 - e % 32); }

static size_t wordCount(const BitSet* a) { return static_cast<size_t>(a->lastWord) + 1; }

// The bits of the last word that hold elements up to maxElement.
static uint32_t lastWordMask(const BitSet* a) { return ~0u << (31 - a->maxElement % 32); }

static bool contains(const BitSet* a, unsigned e) {
  return e <= a->maxElement && (a->words[e / 32] & bitOf(static_cast<uint16_t>(e))) != 0;
}

// The bounds, clamped to the range of the set (hints may step past it).
static unsigned lowOf(const BitSet* a) { return a->lowBound; }
static unsigned highOf(const BitSet* a) {
  return a->highBound < a->maxElement ? a->highBound : a->maxElement;
}

template <class T>
static T minOf(T x, T y) { return x < y ? x : y; }
template <class T>
static T maxOf(T x, T y) { return x > y ? x : y; }

// ---- Creation -------------------------------------------------------------

void MakeSet(Globals* G, BitSet* set, uint16_t maxElement) {
  size_t count = (static_cast<size_t>(maxElement) + 32) / 32;
  set->maxElement = maxElement;
  set->words = nullptr;
  MakeArray(G, &set->words, &count);
  if (set->words == nullptr) MALLOC_CHECK(G, nullptr);
  set->lastWord = static_cast<uint16_t>(maxElement / 32);
  AssignEmpty(set);
}

void ReleaseSet(Globals* G, BitSet* set) { ReleaseArray(G, &set->words); }

// ---- Binary operations ----------------------------------------------------

void Union(BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] |= b->words[i];
  a->cachedCount = -1;
  a->lowBound = minOf(a->lowBound, b->lowBound);
  a->highBound = maxOf(a->highBound, b->highBound);
}

void Difference(BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] &= ~b->words[i];
  a->cachedCount = -1;
}

void Intersection(BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] &= b->words[i];
  a->cachedCount = -1;
  a->lowBound = maxOf(a->lowBound, b->lowBound);
  a->highBound = minOf(a->highBound, b->highBound);
}

void SymDiff(BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] ^= b->words[i];
  a->cachedCount = -1;
  a->lowBound = minOf(a->lowBound, b->lowBound);
  a->highBound = maxOf(a->highBound, b->highBound);
}

void Complement(BitSet* a) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] = ~a->words[i];
  a->words[a->lastWord] &= lastWordMask(a);
  if (a->cachedCount >= 0) {
    const int n = a->maxElement + 1 - a->cachedCount;
    a->cachedCount = n <= INT16_MAX ? static_cast<int16_t>(n) : -1;
  }
  a->lowBound = 0;
  a->highBound = a->maxElement;
}

// ---- Elements -------------------------------------------------------------

void SetsInclude(BitSet* a, uint16_t e) {
  if (e > a->maxElement) return;
  a->words[e / 32] |= bitOf(e);
  a->cachedCount = -1;
  if (e < a->lowBound) a->lowBound = e;
  if (e > a->highBound) a->highBound = e;
}

void Exclude(BitSet* a, uint16_t e) {
  if (e > a->maxElement) return;
  a->words[e / 32] &= ~bitOf(e);
  a->cachedCount = -1;
  if (a->lowBound == e && e < UINT16_MAX) a->lowBound = static_cast<uint16_t>(e + 1);
  if (a->highBound == e && e > 0) a->highBound = static_cast<uint16_t>(e - 1);
}

bool IsElement(const BitSet* a, uint16_t e) { return contains(a, e); }

int Card(BitSet* a) {
  if (a->cachedCount >= 0) return a->cachedCount;
  int n = 0;
  const unsigned lo = lowOf(a), hi = highOf(a);
  if (lo <= hi) {
    for (unsigned w = lo / 32; w <= hi / 32; ++w) n += std::popcount(a->words[w]);
  }
  if (n <= INT16_MAX) a->cachedCount = static_cast<int16_t>(n);
  return n;
}

uint16_t Minimum(BitSet* a) {
  const unsigned hi = highOf(a);
  for (unsigned e = lowOf(a); e <= hi; ++e) {
    if (a->words[e / 32] == 0) {
      e = e / 32 * 32 + 31;   // skip the empty word
      continue;
    }
    if (contains(a, e)) {
      a->lowBound = static_cast<uint16_t>(e);
      return static_cast<uint16_t>(e);
    }
  }
  return 0;
}

uint16_t Maximum(BitSet* a) {
  const unsigned lo = lowOf(a);
  for (int e = static_cast<int>(highOf(a)); e >= static_cast<int>(lo); --e) {
    if (a->words[e / 32] == 0) {
      e = e / 32 * 32;   // skip the empty word
      continue;
    }
    if (contains(a, static_cast<unsigned>(e))) {
      a->highBound = static_cast<uint16_t>(e);
      return static_cast<uint16_t>(e);
    }
  }
  return 0;
}

uint16_t Extract(BitSet* a) {
  const uint16_t e = Minimum(a);
  Exclude(a, e);
  return e;
}

// ---- Tests ----------------------------------------------------------------

bool IsSubset(const BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i)
    if ((a->words[i] & ~b->words[i]) != 0) return false;
  return true;
}

bool IsEqual(const BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i)
    if (a->words[i] != b->words[i]) return false;
  return true;
}

bool IsEmpty(const BitSet* a) {
  if (a->lowBound > a->highBound) return true;
  for (size_t i = 0; i < wordCount(a); ++i)
    if (a->words[i] != 0) return false;
  return true;
}

// Calls f for each element in ascending order until f returns false;
// returns false when stopped.
template <class F>
static bool eachElement(const BitSet* a, F f) {
  const unsigned hi = highOf(a);
  for (unsigned e = lowOf(a); e <= hi; ++e) {
    if (a->words[e / 32] == 0) {
      e = e / 32 * 32 + 31;
      continue;
    }
    if (contains(a, e) && !f(static_cast<uint16_t>(e))) return false;
  }
  return true;
}

bool Forall(BitSet* a, bool (*p)(uint16_t)) {
  return eachElement(a, [p](uint16_t e) { return p(e); });
}

bool Exists(BitSet* a, bool (*p)(uint16_t)) {
  return !eachElement(a, [p](uint16_t e) { return !p(e); });
}

bool Exists1(BitSet* a, bool (*p)(uint16_t)) {
  int found = 0;
  eachElement(a, [p, &found](uint16_t e) {
    if (p(e)) ++found;
    return found < 2;
  });
  return found == 1;
}

// ---- Assignment -----------------------------------------------------------

void Assign(BitSet* a, const BitSet* b) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] = b->words[i];
  a->cachedCount = b->cachedCount;
  a->lowBound = b->lowBound;
  a->highBound = b->highBound;
}

void AssignElmt(BitSet* a, uint16_t e) {
  AssignEmpty(a);
  if (e > a->maxElement) return;
  a->words[e / 32] = bitOf(e);
  a->cachedCount = 1;
  a->lowBound = a->highBound = e;
}

void AssignEmpty(BitSet* a) {
  for (size_t i = 0; i < wordCount(a); ++i) a->words[i] = 0;
  a->cachedCount = 0;
  a->lowBound = a->maxElement;
  a->highBound = 0;
}

void ForallDo(BitSet* a, void (*f)(uint16_t)) {
  eachElement(a, [f](uint16_t e) {
    f(e);
    return true;
  });
}

// ---- Reading --------------------------------------------------------------

void ReadSet(FILE* stream, BitSet* a) {
  AssignEmpty(a);
  int c;
  while ((c = std::fgetc(stream)) != EOF && c != '{') {
  }
  while (c != EOF) {
    c = std::fgetc(stream);
    if (c == EOF || c == '}') break;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') continue;
    std::ungetc(c, stream);
    int e;
    if (std::fscanf(stream, "%d", &e) != 1) {
      std::fgetc(stream);   // not a number: skip the character
      continue;
    }
    if (e >= 0 && e <= a->maxElement) SetsInclude(a, static_cast<uint16_t>(e));
  }
  Card(a);
}
