// idents.cpp: the identifier table (case-insensitive interned names).
#include "support/idents.h"

#include <cstddef>
#include <cstring>

#include "driver/globals.h"
#include "driver/output.h"
#include "support/arrays.h"
#include "support/memory.h"

// ---- Entries --------------------------------------------------------------

static constexpr uint32_t kInitialBuckets = 256;

static IdentEntry** newBuckets(Globals* G, uint32_t n) {
  return static_cast<IdentEntry**>(bxAllocZero(G, sizeof(IdentEntry*) * n));
}

// Doubles the bucket table and moves every made entry to its new chain.
static void growBuckets(Globals* G, IdentsRec* r) {
  const uint32_t n = r->bucketCount * 2;
  IdentEntry** buckets = newBuckets(G, n);
  for (Ident i = r->seed->count + 1; i <= r->count; ++i) {
    IdentEntry* e = r->entries[i];
    const uint32_t h = IdentHash(e->name, e->length) & (n - 1);
    e->next = buckets[h];
    buckets[h] = e;
  }
  bxFree(r->buckets);
  r->buckets = buckets;
  r->bucketCount = n;
}

// Same length n, above 8, is checked by the caller.
static bool sameLongName(const char* a, const char* b, size_t n) {
  using namespace ident_word;
  for (size_t i = 0; i + 8 < n; i += 8)
    if (fold(load<uint64_t>(a + i)) != fold(load<uint64_t>(b + i))) return false;
  return fold(load<uint64_t>(a + n - 8)) == fold(load<uint64_t>(b + n - 8));
}

// Same length n is checked by the caller; when n is at most 8, `word` is
// b's shortWord and `key` its fold.
[[gnu::always_inline]] static inline bool sameName(const char* a, const char* b, size_t n, uint64_t word,
                                                   uint64_t key) {
  if (n > 8) return sameLongName(a, b, n);
  const uint64_t w = ident_word::shortWord(a, n);
  return w == word || ident_word::fold(w) == key;
}

// The entry and its name's bytes in one block.
static IdentEntry* newEntry(Globals* G, const char* bytes, size_t n, Ident number) {
  auto* e = static_cast<IdentEntry*>(bxAllocAs(G, sizeof(IdentEntry) + n + 1, n + kIdentEntryCharge));
  char* name = reinterpret_cast<char*>(e + 1);
  if (n > 0) std::memcpy(name, bytes, n);
  name[n] = '\0';
  *e = IdentEntry{name, static_cast<uint32_t>(n), number, nullptr};
  return e;
}

// ---- The seed -------------------------------------------------------------

static constexpr IdentSeedTable<0> kNoNames = MakeIdentSeed(std::array<const char*, 0>{});
constinit const IdentSeed kNoIdentSeed = kNoNames.seed();

// The seeded entry of a name, or none.
static const IdentEntry* seeded(const IdentSeed& seed, const char* s, size_t length,
                                uint32_t hash, uint64_t word, uint64_t key) {
  for (uint32_t i = hash & seed.slotMask; seed.slots[i] != 0; i = (i + 1) & seed.slotMask) {
    const IdentEntry* e = &seed.entries[seed.slots[i] - 1];
    if (e->length == length && sameName(e->name, s, length, word, key)) return e;
  }
  return nullptr;
}

// ---- Module record --------------------------------------------------------

void IdentsInitializeGV(Globals* G, const IdentSeed& seed) {
  // The record is charged for its fields besides the seed's and the log's
  // pointers and the scanner's recent names.
  auto* r = static_cast<IdentsRec*>(bxAllocAs(G, sizeof(IdentsRec), offsetof(IdentsRec, recent) - sizeof(IdentsRec::seed) - sizeof(IdentsRec::X_Log)));
  G->Idents = r;
  r->seed = &seed;
  r->X_Log = nullptr;
  r->count = seed.count;
  r->capacity = kInitialIdentCapacity;
  std::memset(r->recent, 0, sizeof r->recent);
  MakeArray(G, &r->entries, &r->capacity);
  if (r->entries == nullptr) MALLOC_CHECK(G, nullptr);
  r->bucketCount = kInitialBuckets;
  r->buckets = newBuckets(G, kInitialBuckets);
  Charge(G, seed.charge);
}

void IdentsFinalizeGV(Globals* G) {
  IdentsRec* r = G->Idents;
  if (r == nullptr) return;
  if (r->entries != nullptr) {
    for (Ident i = r->count; i > r->seed->count; --i) bxFree(r->entries[i]);
    ReleaseArray(G, &r->entries);
  }
  bxFree(r->buckets);
  bxFree(r);
  G->Idents = nullptr;
}

// ---- Lookup ---------------------------------------------------------------

// A new entry for a name that is in neither table.
static Ident makeEntry(Globals* G, IdentsRec* r, const char* bytes, size_t length, uint32_t hash) {
  const Ident number = r->count + 1;
  if (number == r->capacity) {
    ExtendArray(G, &r->entries, &r->capacity);
    if (r->entries == nullptr) MALLOC_CHECK(G, nullptr);
  }
  IdentEntry* e = newEntry(G, bytes, length, number);
  r->count = number;
  r->entries[number] = e;
  const uint32_t h = hash & (r->bucketCount - 1);
  e->next = r->buckets[h];
  r->buckets[h] = e;
  if (r->count > 2 * r->bucketCount) growBuckets(G, r);
  return number;
}

// A name of neither table yet: made, and written down for a watching cache.
static Ident makeLogged(Globals* G, IdentsRec* r, const char* bytes, size_t length, uint32_t hash) {
  const int64_t before = G->serverInterface != nullptr ? G->serverInterface->X_MemLeft : 0;
  const Ident number = makeEntry(G, r, bytes, length, hash);
  if (r->X_Log != nullptr) {
    r->X_Log->looked.push_back(number);
    r->X_Log->charged += before - G->serverInterface->X_MemLeft;
  }
  return number;
}

[[gnu::noinline]] static Ident logged(IdentsRec* r, Ident number) {
  r->X_Log->looked.push_back(number);
  return number;
}

// The number of a made name found, written down for a watching cache.
static Ident found(IdentsRec* r, const IdentEntry* e) {
  return r->X_Log != nullptr ? logged(r, e->number) : e->number;
}

// A name not among the made names: seeded, or made now.
[[gnu::noinline]] static Ident seededOrMade(Globals* G, const char* bytes, size_t length, uint32_t hash,
                                            uint64_t word, uint64_t key) {
  IdentsRec* r = G->Idents;
  if (const IdentEntry* e = seeded(*r->seed, bytes, length, hash, word, key)) return e->number;
  return makeLogged(G, r, bytes, length, hash);
}

[[gnu::noinline]] static Ident makeLongIdent(Globals* G, const char* bytes, size_t length) {
  IdentsRec* r = G->Idents;
  if (length > UINT32_MAX - kIdentEntryCharge) length = UINT32_MAX - kIdentEntryCharge;
  const uint32_t hash = IdentHashOfKey(bytes, length, 0);
  for (const IdentEntry* e = r->buckets[hash & (r->bucketCount - 1)]; e != nullptr; e = e->next)
    if (e->length == length && sameLongName(e->name, bytes, length)) return found(r, e);
  return seededOrMade(G, bytes, length, hash, 0, 0);
}

// The search for a short name from entry e on, once e's spelling has
// differed: the made names are compared case-folded.
[[gnu::noinline]] static Ident searchFolded(Globals* G, const IdentEntry* e, const char* bytes, size_t length,
                                            uint32_t hash, uint64_t word, uint64_t key) {
  for (; e != nullptr; e = e->next)
    if (e->length == length && ident_word::fold(ident_word::shortWord(e->name, length)) == key)
      return found(G->Idents, e);
  return seededOrMade(G, bytes, length, hash, word, key);
}

// A name is in one table at most, so the made names, looked up most, are
// looked at first. A short name is mostly spelled as the first time: the
// search compares spellings first, in few registers.
Ident MakeIdent(Globals* G, const char* bytes, size_t length) {
  if (length > 8) return makeLongIdent(G, bytes, length);
  IdentsRec* r = G->Idents;
  const uint64_t word = ident_word::shortWord(bytes, length);
  const uint64_t key = ident_word::fold(word);
  const uint32_t hash = IdentHashOfKey(bytes, length, key);
  for (const IdentEntry* e = r->buckets[hash & (r->bucketCount - 1)]; e != nullptr; e = e->next) {
    if (e->length != length) continue;
    if (ident_word::shortWord(e->name, length) == word) return found(r, e);
    return searchFolded(G, e, bytes, length, hash, word, key);
  }
  return seededOrMade(G, bytes, length, hash, word, key);
}

Ident MakeIdent(Globals* G, const char* text) {
  return MakeIdent(G, text, text == nullptr ? 0 : std::strlen(text));
}

// A seeded name is never logged nor charged by MakeIdent: taking its
// number from its place does the same.
Ident MakeSeededIdent(Globals* G, Ident at, const char* text) {
  const IdentSeed& seed = *G->Idents->seed;
  if (at >= 1 && at <= seed.count &&
      (seed.entries[at].name == text || std::strcmp(seed.entries[at].name, text) == 0))   // a literal shared
    return at;
  return MakeIdent(G, text);
}

// An unknown number reads as the empty name.
static const IdentEntry* entryOf(Globals* G, Ident id) {
  const IdentsRec* r = G->Idents;
  if (id <= r->seed->count || id > r->count) return &r->seed->entries[id <= r->seed->count ? id : 0];
  return r->entries[id];
}

const char* GetStringIdent(Globals* G, Ident id) { return entryOf(G, id)->name; }

uint32_t GetLengthIdent(Globals* G, Ident id) { return entryOf(G, id)->length; }

Ident MaxIdent(Globals* G) { return G->Idents->count; }

// ---- Debugging output -----------------------------------------------------

void WriteIdent(Globals* G, FILE* stream, Ident id) {
  serverPuts(GetStringIdent(G, id), stream);
}

void WriteIdents(Globals* G) {
  FILE* out = G->serverInterface != nullptr ? G->serverInterface->X_Out : stdout;
  for (Ident i = 1; i <= MaxIdent(G); ++i) {
    serverPrintf(out, "%5ld ", static_cast<long>(i));
    WriteIdent(G, out, i);
    serverPutc('\n', out);
  }
}
