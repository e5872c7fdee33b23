// types.cpp: the ordering of source positions (their printing goes through
// the output channel: WritePosition in driver/output.cpp).
#include "support/types.h"

int PositionCompare(const Position& a, const Position& b) {
  if (a.line != b.line) return a.line < b.line ? -1 : 1;
  if (a.column != b.column) return a.column < b.column ? -1 : 1;
  return 0;
}
