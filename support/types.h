// types.h: the small shared types every module speaks: identifiers,
// positions, message classes and the global context forward declaration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Globals;   // the global context G (driver/globals.h)
struct Token;     // a syntax tree node (frontend/tree.h)

// An interned, case-insensitive name (support/idents.h); 0 is the empty name.
using Ident = uint32_t;

// Line and column of a token or node, counted from 1 (tab stops every 8
// columns), and the name of the source it came from ("** DYNAMIC TEXT **"
// for computed text). The file name is owned by the source module and lives
// for the whole request.
struct Position {
  uint16_t line;
  uint16_t column;
  const char* file;
};
inline constexpr Position NoPosition{0, 0, nullptr};

// Orders by line, then column; the file is not compared. -1, 0 or 1.
int PositionCompare(const Position& a, const Position& b);
// "%4d,%3d" (line, column), through the output channel (driver/output.cpp).
void WritePosition(FILE* stream, const Position& p);

// Message classes: 1 is fatal and ends the request; the others are stored
// and shown with the syntax-error page.
enum MessageClass : int {
  xxFatal = 1,
  xxRestriction = 2,
  xxError = 3,
  xxWarning = 4,
  xxRepair = 5,
  xxNote = 6,
  xxInformation = 7,
};
