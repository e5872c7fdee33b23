// idents.h: the identifier table. Names are interned case-insensitively and
// compared as numbers; numbers never change during a request.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <string_view>
#include <vector>

#include "driver/globals.h"
#include "support/types.h"

struct IdentEntry {
  const char* name;   // length bytes and a zero (a made entry's own, after it)
  uint32_t length;
  Ident number;
  IdentEntry* next;   // next made entry of the same bucket
};

// The table by number starts with room for this many entries.
inline constexpr size_t kInitialIdentCapacity = 1024;
// The budget an entry costs besides its name's bytes.
inline constexpr size_t kIdentEntryCharge = 13;

// Folds a-z to A-Z; every other byte value, 128 to 255 included, stays.
constexpr unsigned char FoldIdentChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// Names are hashed and compared a word of up to 8 bytes at a time, each
// word case-folded as a whole (ident_word::fold). The bytes of a word are those
// of the host's byte order, so that the seed laid out at compile time hashes
// as the names looked up at run time.
namespace ident_word {

// The sizeof(T) bytes at p as one word.
template <typename T>
constexpr T load(const char* p) {
  if (std::is_constant_evaluated()) {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
      const size_t at = std::endian::native == std::endian::little ? i : sizeof(T) - 1 - i;
      v |= static_cast<T>(static_cast<unsigned char>(p[i])) << (8 * at);
    }
    return v;
  }
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// FoldIdentChar on each byte of a word: a-z to A-Z, every other byte stays.
constexpr uint64_t fold(uint64_t x) {
  constexpr uint64_t ones = 0x0101010101010101u;
  const uint64_t low7 = x & (0x7F * ones);
  const uint64_t fromA = low7 + (0x80 - 'a') * ones;      // high bit: byte at least 'a'
  const uint64_t pastZ = low7 + (0x80 - 'z' - 1) * ones;  // high bit: byte beyond 'z'
  const uint64_t lower = fromA & ~pastZ & ~x & (0x80 * ones);
  return x - (lower >> 2);
}

// The word of a name of at most 8 bytes, not folded: with the length it
// tells the name apart from every other name.
constexpr uint64_t shortWord(const char* p, size_t n) {
  if (n >= 4) return load<uint32_t>(p) | static_cast<uint64_t>(load<uint32_t>(p + n - 4)) << 32;
  if (n == 0) return 0;
  const auto byte = [p](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(p[i])); };
  return byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16;
}

constexpr uint64_t mix(uint64_t h, uint64_t word) {
  h = (h ^ word) * 0x9E3779B97F4A7C15u;
  return h ^ (h >> 32);
}

}  // namespace ident_word

// The bucket-independent hash of a name, case-folded: every byte counts,
// for a hash of a few bytes and the length alone lets a request with many
// similar names (n1, n2, ...: form fields sent by a visitor) pile them into
// a few chains and take quadratic time. `key` is the folded shortWord of a
// name of at most 8 bytes.
constexpr uint32_t IdentHashOfKey(const char* bytes, size_t n, uint64_t key) {
  uint64_t h = key + n;
  if (n > 8) {
    using namespace ident_word;
    for (size_t i = 0; i + 8 < n; i += 8) h = mix(h, fold(load<uint64_t>(bytes + i)));
    h = mix(h, fold(load<uint64_t>(bytes + n - 8)));
  }
  return static_cast<uint32_t>(((h ^ (h >> 31)) * 0x9E3779B97F4A7C15u) >> 32);
}

constexpr uint32_t IdentHash(const char* bytes, size_t n) {
  return IdentHashOfKey(bytes, n, n <= 8 ? ident_word::fold(ident_word::shortWord(bytes, n)) : 0);
}

// The names every request starts with, numbered 0 (the empty name) to
// count in a fixed order, laid out at compile time (MakeIdentSeed) so that
// start-up neither allocates nor hashes them. They are found through an
// open-addressed table of their own, besides the table of made names.
struct IdentSeed {
  const IdentEntry* entries;   // by number, 0 to count
  Ident count;
  const uint16_t* slots;       // 0 empty, else number + 1; slotMask + 1 of them
  uint32_t slotMask;
  size_t charge;               // what making them one by one charges
};

// The storage of a seed of at most N names (MakeIdentSeed fills it).
template <size_t N>
struct IdentSeedTable {
  static_assert(N + 1 < kInitialIdentCapacity, "the seeded names fit the first table by number");
  static constexpr size_t kSlots = [] {
    size_t n = 1;
    while (n < 4 * (N + 1)) n *= 2;   // at most a quarter full: a miss ends soon
    return n;
  }();
  IdentEntry entries[N + 1];
  uint16_t slots[kSlots];
  Ident count;
  size_t charge;

  constexpr IdentSeed seed() const {
    return IdentSeed{entries, count, slots, static_cast<uint32_t>(kSlots - 1), charge};
  }
  // The number of a name of the seed (compile time; none is a build error).
  consteval Ident number(const char* name) const {
    const size_t n = std::string_view(name).size();
    for (Ident i = 0; i <= count; ++i)
      if (entries[i].length == n && sameIdentName(entries[i].name, name, n)) return i;
    throw "not a name of the seed";
  }
  static constexpr bool sameIdentName(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (FoldIdentChar(static_cast<unsigned char>(a[i])) != FoldIdentChar(static_cast<unsigned char>(b[i])))
        return false;
    return true;
  }
};

// Numbers names as MakeIdent would, made one by one in this order on an
// empty table: a name equal to an earlier one but for case keeps the
// earlier number and spelling.
template <size_t N>
consteval IdentSeedTable<N> MakeIdentSeed(const std::array<const char*, N>& names) {
  IdentSeedTable<N> t{};
  t.entries[0] = IdentEntry{"", 0, 0, nullptr};
  t.count = 0;
  t.charge = kIdentEntryCharge;
  for (const char* name : names) {
    const size_t n = std::string_view(name).size();
    bool known = n == 0;
    for (Ident i = 1; i <= t.count && !known; ++i)
      known = t.entries[i].length == n && IdentSeedTable<N>::sameIdentName(t.entries[i].name, name, n);
    if (known) continue;
    ++t.count;
    t.entries[t.count] = IdentEntry{name, static_cast<uint32_t>(n), t.count, nullptr};
    t.charge += n + kIdentEntryCharge;
  }
  for (Ident i = 0; i <= t.count; ++i) {
    size_t s = IdentHash(t.entries[i].name, t.entries[i].length) & (IdentSeedTable<N>::kSlots - 1);
    while (t.slots[s] != 0) s = (s + 1) & (IdentSeedTable<N>::kSlots - 1);
    t.slots[s] = static_cast<uint16_t>(i + 1);
  }
  return t;
}

// The seeded names come first; the names made later hang in buckets: a
// power of two, 256 at first, doubled when the table holds more than two
// names per bucket (seeded ones counted), so chains stay short for any set
// of names.
// What a parse does to the table, written down while a template cache
// watches it: the numbers of the made names it looked up, in the order of
// the lookups, and what the names it made charged to the budget.
struct IdentLog {
  std::vector<Ident> looked;
  int64_t charged;
};

// A spelling of at most 8 bytes looked up lately and its number; all zero
// stands for the empty name, number 0.
struct RecentIdent {
  uint64_t word;     // ident_word::shortWord of the spelling
  uint32_t length;
  Ident number;
};
inline constexpr size_t kRecentIdents = 64;

struct IdentsRec {
  const IdentSeed* seed;
  IdentLog* X_Log;         // null unless a template cache watches a parse
  IdentEntry** buckets;
  uint32_t bucketCount;
  uint32_t count;          // highest number handed out
  IdentEntry** entries;    // made entries by number (a seeded number's slot unused)
  size_t capacity;         // starts at 1024
  // The scanner's names, by spelling (MakeScannedIdent); not charged.
  RecentIdent recent[kRecentIdents];
};

// The seed of the empty name alone.
extern const IdentSeed kNoIdentSeed;

// The table starts with the seed's names, charged as if each was made.
void IdentsInitializeGV(Globals* G, const IdentSeed& seed = kNoIdentSeed);
void IdentsFinalizeGV(Globals* G);

Ident MakeIdent(Globals* G, const char* bytes, size_t length);
Ident MakeIdent(Globals* G, const char* text);   // zero-terminated

// MakeIdent for the names the scanner meets: a spelling of at most 8 bytes
// met lately is answered from a small table by its exact bytes, without
// hashing or folding (not while a template cache watches, which writes
// every lookup down).
inline Ident MakeScannedIdent(Globals* G, const char* bytes, size_t length) {
  if (length > 8) return MakeIdent(G, bytes, length);
  IdentsRec* r = G->Idents;
  const uint64_t word = ident_word::shortWord(bytes, length);
  RecentIdent& e = r->recent[((word + length) * 0x9E3779B97F4A7C15u) >> 58];
  static_assert(kRecentIdents == 64, "the slot is the top 6 bits of the product");
  if (e.word == word && e.length == length && r->X_Log == nullptr) return e.number;
  const Ident number = MakeIdent(G, bytes, length);
  e = RecentIdent{word, static_cast<uint32_t>(length), number};
  return number;
}
// MakeIdent for a name the caller expects the seed to hold as number `at`:
// that number when the seed's name there is spelled alike, found without a
// hash; else whatever MakeIdent gives.
Ident MakeSeededIdent(Globals* G, Ident at, const char* text);
const char* GetStringIdent(Globals* G, Ident id);
uint32_t GetLengthIdent(Globals* G, Ident id);
Ident MaxIdent(Globals* G);
void WriteIdent(Globals* G, FILE* stream, Ident id);
void WriteIdents(Globals* G);
