// memory.h: the per-request memory budget. Every allocation of the system's
// own data is checked and charged here; freeing never refunds the budget.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "support/types.h"

// The budget is held in 64 bits so that memlimit values of 2048 MB and more
// work as written. It starts at 2147483647.
inline constexpr int64_t kInitialMemBudget = 2147483647;

struct StorageBlock {
  StorageBlock* link;
  size_t size;   // usable bytes after the header
};

// Slot 1 of G: a list of memory blocks, created with one block of 32768
// bytes. Neither it nor G nor the serverInterface record is charged.
struct StorageRec {
  StorageBlock* blocks;
};
inline constexpr size_t kStorageBlockBytes = 32768;

void StorageInitializeGV(Globals* G);
void StorageFinalizeGV(Globals* G);

// Returns p; a null p (the system refused memory) logs
// "\nMALLOC: Not enough memory\n", writes it to standard error and exits.
void* MALLOC_CHECK(Globals* G, void* p);

// Subtracts n from the budget; below zero ends the request (braxel_MemExceed).
void Charge(Globals* G, size_t n);

// malloc + MALLOC_CHECK + Charge(n). The charged size is exactly n.
void* bxAlloc(Globals* G, size_t n);
// Allocates n bytes but charges `charged` bytes: for records whose charged
// size is fixed by the system's rules (identifier entries, tuple records and
// field slots) while our in-memory layout is larger.
void* bxAllocAs(Globals* G, size_t n, size_t charged);
// As bxAllocAs, zero-filled.
void* bxAllocZeroAs(Globals* G, size_t n, size_t charged);
// As bxAlloc, zero-filled.
void* bxAllocZero(Globals* G, size_t n);
// Frees memory from bxAlloc (null is fine). Never refunds.
void bxFree(void* p);

// Frees a block from bxAlloc that was asked for with at least n bytes,
// without asking the C library for its size (null is fine). Never refunds.
void bxFreeSized(void* p, size_t n);

// Copies n bytes; short runs (most texts) without a library call.
[[gnu::always_inline]] inline void CopyBytes(char* to, const char* from, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n > 0 && n < 4) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  } else if (n > 16) {
    std::memcpy(to, from, n);
  }
}

// Copies a zero-terminated text (length + 1 bytes charged).
char* STRDUP(Globals* G, const char* text);
// Copies n bytes and adds a zero (n + 1 bytes charged).
char* STRNDUP(Globals* G, const char* text, size_t n);

// "braxel program exceeded memory limit": log, page text, serverExit.
[[noreturn]] void braxel_MemExceed(Globals* G);

// Typed record allocation through the budget (the only place that
// constructs objects in charged raw memory).
template <class T, class... Args>
T* bxNew(Globals* G, Args&&... args) {
  void* p = bxAlloc(G, sizeof(T));
  return ::new (p) T{std::forward<Args>(args)...};
}
template <class T>
void bxDelete(T* p) {
  if (p) {
    p->~T();
    bxFree(p);
  }
}
// Uncharged variants for G, the Storage and serverInterface records.
template <class T>
T* bxNewUncharged(Globals* G) {
  void* p = MALLOC_CHECK(G, std::malloc(sizeof(T)));
  return ::new (p) T{};
}

// A standard-library allocator that charges the request's budget, for
// containers that hold the system's own data (the session file's buffers and
// maps, for instance). Like bxAlloc it never returns null: a request over
// its budget ends instead.
template <class T>
struct BudgetAllocator {
  using value_type = T;
  Globals* G;
  explicit BudgetAllocator(Globals* g) : G(g) {}
  template <class U>
  BudgetAllocator(const BudgetAllocator<U>& other) : G(other.G) {}
  T* allocate(size_t n) { return static_cast<T*>(bxAlloc(G, n * sizeof(T))); }
  void deallocate(T* p, size_t) { bxFree(p); }
  template <class U>
  bool operator==(const BudgetAllocator<U>& other) const { return G == other.G; }
};
