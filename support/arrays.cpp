// arrays.cpp: dynamic arrays that grow by doubling, charged to the budget.
#include "support/arrays.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/memory.h"

// The platform alignment for element sizes.
static constexpr size_t kAlign = 4;

// Sizes below the alignment round up to 1, 2 or 4; larger sizes to a
// multiple of the alignment.
static size_t roundSize(size_t s) {
  if (s == 0) return 1;
  if (s < kAlign) {
    size_t p = 1;
    while (p < s) p <<= 1;
    return p;
  }
  return (s + kAlign - 1) / kAlign * kAlign;
}

// The charged allocation of an array block; null when the system refuses
// it or the size does not fit (the caller reports).
static void* allocBlock(Globals* G, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / 2 / size) return nullptr;
  const size_t bytes = count * size;
  Charge(G, bytes);
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void MakeArray(Globals* G, void** block, size_t* count, size_t elementSize) {
  const size_t size = roundSize(elementSize);
  size_t n = *count;
  if (size % 2 == 1)
    n = (n + 3) / 4 * 4;
  else if (size % 4 == 2)
    n = (n + 1) / 2 * 2;
  *count = n;
  *block = allocBlock(G, n, size);
  if (*block == nullptr) std::fputs("MakeArray: out of memory\n", stderr);
}

void ExtendArray(Globals* G, void** block, size_t* count, size_t elementSize) {
  const size_t size = roundSize(elementSize);
  const size_t n = *count;
  void* grown = n > SIZE_MAX / 4 ? nullptr : allocBlock(G, n * 2, size);
  if (grown == nullptr) {
    std::fputs("ExtendArray: out of memory\n", stderr);
    std::free(*block);
    *block = nullptr;
    return;
  }
  if (*block != nullptr && n > 0) std::memcpy(grown, *block, n * size);
  std::free(*block);
  *block = grown;
  *count = n * 2;
}

void ReleaseArray(Globals* /*G*/, void** block) {
  std::free(*block);
  *block = nullptr;
}
