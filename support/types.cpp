// types.cpp: ordering and printing of source positions.
#include "support/types.h"

#include "driver/output.h"

int PositionCompare(const Position& a, const Position& b) {
  if (a.line != b.line) return a.line < b.line ? -1 : 1;
  if (a.column != b.column) return a.column < b.column ? -1 : 1;
  return 0;
}

void WritePosition(FILE* stream, const Position& p) {
  serverPrintf(stream, "%4d,%3d", static_cast<int>(p.line), static_cast<int>(p.column));
}
