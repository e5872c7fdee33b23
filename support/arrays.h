// arrays.h: dynamic arrays that grow by doubling, charged to the budget.
#pragma once

#include "support/types.h"

// Allocates count x size bytes (count and size adjusted as documented) into
// *block. A failed allocation writes "MakeArray: out of memory\n" to stderr
// and leaves *block null.
void MakeArray(Globals* G, void** block, size_t* count, size_t elementSize);
// Doubles the block (copying); failure writes "ExtendArray: out of memory\n"
// and leaves *block null.
void ExtendArray(Globals* G, void** block, size_t* count, size_t elementSize);
void ReleaseArray(Globals* G, void** block);

template <class T>
void MakeArray(Globals* G, T** block, size_t* count) {
  void* b = nullptr;
  MakeArray(G, &b, count, sizeof(T));
  *block = static_cast<T*>(b);
}
template <class T>
void ExtendArray(Globals* G, T** block, size_t* count) {
  void* b = *block;
  ExtendArray(G, &b, count, sizeof(T));
  *block = static_cast<T*>(b);
}
template <class T>
void ReleaseArray(Globals* G, T** block) {
  void* b = *block;
  ReleaseArray(G, &b);
  *block = nullptr;
}
