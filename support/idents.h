// idents.h: the identifier table. Names are interned case-insensitively and
// compared as numbers; numbers never change during a request.
#pragma once

#include "support/types.h"

struct IdentEntry {
  uint32_t length;
  Ident number;
  IdentEntry* next;   // next entry of the same bucket
  char name[1];       // length bytes and a zero (allocated to fit)
};

// Buckets: a power of two, 256 at first, doubled when the table holds more
// than two names per bucket, so chains stay short for any set of names.
struct IdentsRec {
  IdentEntry** buckets;
  uint32_t bucketCount;
  uint32_t count;          // highest number handed out
  IdentEntry** entries;    // dynamic array indexed by number
  size_t capacity;         // starts at 1024
};

extern const unsigned char ToUpper[256];

// The bucket-independent hash of a name (over every byte, case-folded); the
// empty name hashes to 0.
uint32_t IdentHash(const char* bytes, size_t length);

void IdentsInitializeGV(Globals* G);
void IdentsFinalizeGV(Globals* G);

Ident MakeIdent(Globals* G, const char* bytes, size_t length);
Ident MakeIdent(Globals* G, const char* text);   // zero-terminated
const char* GetStringIdent(Globals* G, Ident id);
uint32_t GetLengthIdent(Globals* G, Ident id);
Ident MaxIdent(Globals* G);
void WriteIdent(Globals* G, FILE* stream, Ident id);
void WriteIdents(Globals* G);
