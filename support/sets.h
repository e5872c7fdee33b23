// sets.h: bit sets over small integer ranges (token sets of the parser's
// error recovery). Element e is bit (31 - e % 32) of word e / 32.
#pragma once

#include "support/types.h"

struct BitSet {
  uint16_t maxElement;
  uint16_t lastWord;
  uint32_t* words;
  int16_t cachedCount;   // -1 when not known
  uint16_t lowBound;     // hints; empty: lowBound = maxElement, highBound = 0
  uint16_t highBound;
};

void MakeSet(Globals* G, BitSet* set, uint16_t maxElement);
void ReleaseSet(Globals* G, BitSet* set);
void Union(BitSet* a, const BitSet* b);
void Difference(BitSet* a, const BitSet* b);
void Intersection(BitSet* a, const BitSet* b);
void SymDiff(BitSet* a, const BitSet* b);
void Complement(BitSet* a);
void SetsInclude(BitSet* a, uint16_t e);
void Exclude(BitSet* a, uint16_t e);
bool IsElement(const BitSet* a, uint16_t e);
int Card(BitSet* a);
uint16_t Minimum(BitSet* a);
uint16_t Maximum(BitSet* a);
uint16_t Extract(BitSet* a);
bool IsSubset(const BitSet* a, const BitSet* b);
bool IsEqual(const BitSet* a, const BitSet* b);
bool IsEmpty(const BitSet* a);
bool Forall(BitSet* a, bool (*p)(uint16_t));
bool Exists(BitSet* a, bool (*p)(uint16_t));
bool Exists1(BitSet* a, bool (*p)(uint16_t));
void Assign(BitSet* a, const BitSet* b);
void AssignElmt(BitSet* a, uint16_t e);
void AssignEmpty(BitSet* a);
void ForallDo(BitSet* a, void (*f)(uint16_t));
void ReadSet(FILE* stream, BitSet* a);
