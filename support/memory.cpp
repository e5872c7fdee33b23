// memory.cpp: the per-request memory budget and the checked allocators.
#include "support/memory.h"

#include <cstdint>
#include <cstring>

#include <malloc.h>

#include "driver/globals.h"
#include "driver/output.h"

// ---- Fatal paths ----------------------------------------------------------

// Set once the process is on its way out because the system refused memory;
// a second refusal on that path (the error log may allocate) must not recurse.
static bool outOfMemoryExit = false;

static const char kMallocText[] = "\nMALLOC: Not enough memory\n";
static const char kLimitLog[] = "braxel program exceeded memory limit\n";
static const char kLimitPage[] = "</table></table></table><p>braxel program exceeded memory limit\n";

// The budget granted to the exit path after the limit was hit, so that
// logging and finalization can still allocate without coming back here.
static constexpr int64_t kExitPathBudget = INT64_MAX / 4;

void* MALLOC_CHECK(Globals* G, void* p) {
  if (p != nullptr) return p;
  if (outOfMemoryExit || G == nullptr || G->serverInterface == nullptr) {
    // Nothing to log with, or already on the way out: the end without a
    // context (no page, no release).
    std::fputs(kMallocText, stderr);
    serverExit(nullptr);
  }
  outOfMemoryExit = true;
  serverLog(G, kMallocText);
  std::fputs(kMallocText, stderr);
  serverExit(G);
}

void braxel_MemExceed(Globals* G) {
  if (G == nullptr || G->serverInterface == nullptr) {
    std::fputs(kLimitLog, stderr);
    serverExit(nullptr);
  }
  ServerInterface* si = G->serverInterface;
  si->X_MemLeft = kExitPathBudget;
  serverLog(G, kLimitLog);
  // The message must reach the browser even when the limit was hit while a
  // tag body was being captured.
  serverDropCapture();
  serverPuts(kLimitPage, si->X_ErrOut);
  serverExit(G);
}

// ---- Charging -------------------------------------------------------------

void Charge(Globals* G, size_t n) {
  if (G == nullptr || G->serverInterface == nullptr) return;   // before the budget exists
  ServerInterface* si = G->serverInterface;
  const int64_t left = si->X_MemLeft;
  if (left < 0 || n > static_cast<uint64_t>(left)) {
    si->X_MemLeft = -1;
    braxel_MemExceed(G);
  }
  si->X_MemLeft = left - static_cast<int64_t>(n);
}

// ---- Allocators -----------------------------------------------------------

// Small blocks that bxFree received are kept, by the size class the C
// library gave them, for the next allocations of that class: a string made
// and dropped in a loop costs a list operation instead of a trip through
// malloc and free. (Under AddressSanitizer every block goes back at once, so
// that a use after free is still caught.) The classes are the library's:
// blocks of 16-byte steps that give 24, 40, 56, ... usable bytes.
#if defined(__SANITIZE_ADDRESS__)
static constexpr bool kKeepSmallBlocks = false;
#else
static constexpr bool kKeepSmallBlocks = true;
#endif
static constexpr size_t kSmallClasses = 8;      // up to 136 usable bytes
static constexpr int kKeptPerClass = 64;
namespace {
struct KeptBlock {
  KeptBlock* next;
};
struct SmallBlocks {
  KeptBlock* head[kSmallClasses];
  int count[kSmallClasses];
};
SmallBlocks kept{};
}  // namespace

// The class of a library chunk of the given size (a multiple of 16, at
// least 32, that holds 8 bytes more than its usable ones), or kSmallClasses
// when it is larger than the classes kept.
static size_t classOfChunk(size_t chunk) {
  const size_t c = chunk / 16 - 2;
  return c < kSmallClasses ? c : kSmallClasses;
}

// The class of a request of n bytes: that of the chunk malloc gives it.
static size_t classOfRequest(size_t n) {
  return classOfChunk(n + 8 < 32 ? 32 : (n + 8 + 15) & ~size_t{15});
}

void* bxAllocAs(Globals* G, size_t n, size_t charged) {
  Charge(G, charged);
  if (kKeepSmallBlocks) {
    const size_t c = classOfRequest(n);
    if (c < kSmallClasses && kept.head[c] != nullptr) {
      KeptBlock* b = kept.head[c];
      kept.head[c] = b->next;
      --kept.count[c];
      return b;
    }
  }
  return MALLOC_CHECK(G, std::malloc(n == 0 ? 1 : n));
}

void* bxAllocZeroAs(Globals* G, size_t n, size_t charged) {
  Charge(G, charged);
  return MALLOC_CHECK(G, std::calloc(n == 0 ? 1 : n, 1));
}

void* bxAlloc(Globals* G, size_t n) { return bxAllocAs(G, n, n); }

void* bxAllocZero(Globals* G, size_t n) { return bxAllocZeroAs(G, n, n); }

// Keeps p in class c when the class is kept and has room; else frees it.
static void keepOrFree(void* p, size_t c) {
  if (c < kSmallClasses && kept.count[c] < kKeptPerClass) {
    auto* b = static_cast<KeptBlock*>(p);
    b->next = kept.head[c];
    kept.head[c] = b;
    ++kept.count[c];
    return;
  }
  std::free(p);
}

void bxFree(void* p) {
  if (!kKeepSmallBlocks || p == nullptr) {
    std::free(p);
    return;
  }
  const size_t chunk = malloc_usable_size(p) + 8;
  keepOrFree(p, chunk % 16 == 0 ? classOfChunk(chunk) : kSmallClasses);
}

// The class of what was asked for is never above that of the chunk the
// library gave, whose usable bytes cover every request of the class.
void bxFreeSized(void* p, size_t n) {
  if (!kKeepSmallBlocks || p == nullptr) {
    std::free(p);
    return;
  }
  keepOrFree(p, classOfRequest(n));
}

char* STRNDUP(Globals* G, const char* text, size_t n) {
  char* copy = static_cast<char*>(bxAlloc(G, n + 1));
  if (n > 0) std::memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}

char* STRDUP(Globals* G, const char* text) {
  if (text == nullptr) return nullptr;
  return STRNDUP(G, text, std::strlen(text));
}

// ---- The Storage record ---------------------------------------------------

void StorageInitializeGV(Globals* G) {
  StorageRec* s = bxNewUncharged<StorageRec>(G);
  auto* block = static_cast<StorageBlock*>(MALLOC_CHECK(G, std::malloc(kStorageBlockBytes)));
  block->link = nullptr;
  block->size = kStorageBlockBytes - sizeof(StorageBlock);
  s->blocks = block;
  G->Storage = s;
}

void StorageFinalizeGV(Globals* G) {
  StorageRec* s = G->Storage;
  if (s == nullptr) return;
  for (StorageBlock* b = s->blocks; b != nullptr;) {
    StorageBlock* next = b->link;
    std::free(b);
    b = next;
  }
  s->~StorageRec();
  std::free(s);
  G->Storage = nullptr;
}
