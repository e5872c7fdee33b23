// idents.cpp: the identifier table (case-insensitive interned names).
#include "support/idents.h"

#include <cstddef>
#include <cstring>

#include "driver/globals.h"
#include "driver/output.h"
#include "support/arrays.h"
#include "support/memory.h"

// ---- Case folding ---------------------------------------------------------

// Maps a-z to A-Z; every other byte value, 128 to 255 included, stays.
const unsigned char ToUpper[256] = {
      0,   1,   2,   3,   4,   5,   6,   7,   8,   9,  10,  11,  12,  13,  14,  15,
     16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,
     32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  42,  43,  44,  45,  46,  47,
     48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,  63,
     64,  65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,
     80,  81,  82,  83,  84,  85,  86,  87,  88,  89,  90,  91,  92,  93,  94,  95,
     96,  65,  66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,
     80,  81,  82,  83,  84,  85,  86,  87,  88,  89,  90, 123, 124, 125, 126, 127,
    128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
    144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157, 158, 159,
    160, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174, 175,
    176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191,
    192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207,
    208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219, 220, 221, 222, 223,
    224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 239,
    240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255,
};

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

// Same length is checked by the caller; compares from the last byte down.
static bool sameName(const unsigned char* a, const unsigned char* b, size_t n) {
  while (n > 0) {
    --n;
    if (ToUpper[a[n]] != ToUpper[b[n]]) return false;
  }
  return true;
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
static const IdentEntry* seeded(const IdentSeed& seed, const unsigned char* s, size_t length,
                                uint32_t hash) {
  for (uint32_t i = hash & seed.slotMask; seed.slots[i] != 0; i = (i + 1) & seed.slotMask) {
    const IdentEntry* e = &seed.entries[seed.slots[i] - 1];
    if (e->length == length && sameName(reinterpret_cast<const unsigned char*>(e->name), s, length))
      return e;
  }
  return nullptr;
}

// ---- Module record --------------------------------------------------------

void IdentsInitializeGV(Globals* G, const IdentSeed& seed) {
  // The record is charged for its fields besides the seed's and the log's
  // pointers.
  auto* r = static_cast<IdentsRec*>(bxAllocAs(G, sizeof(IdentsRec), sizeof(IdentsRec) - sizeof(IdentsRec::seed) - sizeof(IdentsRec::X_Log)));
  G->Idents = r;
  r->seed = &seed;
  r->X_Log = nullptr;
  r->count = seed.count;
  r->capacity = kInitialIdentCapacity;
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

Ident MakeIdent(Globals* G, const char* bytes, size_t length) {
  IdentsRec* r = G->Idents;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes);
  if (length > UINT32_MAX - kIdentEntryCharge) length = UINT32_MAX - kIdentEntryCharge;
  const uint32_t hash = IdentHash(bytes, length);
  if (const IdentEntry* e = seeded(*r->seed, s, length, hash)) return e->number;
  for (IdentEntry* e = r->buckets[hash & (r->bucketCount - 1)]; e != nullptr; e = e->next) {
    if (e->length == length &&
        sameName(reinterpret_cast<const unsigned char*>(e->name), s, length)) {
      if (r->X_Log != nullptr) r->X_Log->looked.push_back(e->number);
      return e->number;
    }
  }
  const int64_t before = G->serverInterface != nullptr ? G->serverInterface->X_MemLeft : 0;
  const Ident number = makeEntry(G, r, bytes, length, hash);
  if (r->X_Log != nullptr) {
    r->X_Log->looked.push_back(number);
    r->X_Log->charged += before - G->serverInterface->X_MemLeft;
  }
  return number;
}

Ident MakeIdent(Globals* G, const char* text) {
  return MakeIdent(G, text, text == nullptr ? 0 : std::strlen(text));
}

// A seeded name is never logged nor charged by MakeIdent: taking its
// number from its place does the same.
Ident MakeSeededIdent(Globals* G, Ident at, const char* text) {
  const IdentSeed& seed = *G->Idents->seed;
  if (at >= 1 && at <= seed.count && std::strcmp(seed.entries[at].name, text) == 0) return at;
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
