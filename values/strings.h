// strings.h: the chars operations and the textual forms of values.
#pragma once

#include "values/value.h"

inline constexpr int32_t kMaxStringLength = 32767;

void chars_null(chars* c);
chars chars_empty(Globals* G);
chars chars_make(Globals* G, const char* bytes, int32_t n);
chars chars_copy(Globals* G, const char* str, int32_t size);
chars chars_cat(Globals* G, const char* a, int32_t asize, const char* b, int32_t bsize);
void chars_free(Globals* G, chars* c);
int chars_cmp(Globals* G, const chars& a, const chars& b);

// The decimal text of an integer, as "%d" writes it, into buf (at least
// kIntegerTextSize bytes), zero-terminated; returns its length.
inline constexpr size_t kIntegerTextSize = 12;
int IntegerText(int32_t i, char* buf);

// The text of a Real with the given number of decimals, as "%.<decimals>f"
// writes it (correctly rounded, ties to even, the sign of a negative zero
// kept), into buf (at least kFixedTextSize bytes), zero-terminated; returns
// its length, or -1 for what it leaves to printf: more than nine decimals,
// magnitudes from 1e9 on, infinities and NaNs.
inline constexpr size_t kFixedTextSize = 24;
int FixedText(double x, int decimals, char* buf);

// The text of a Real as "%f" writes it (FixedText where it can), into buf
// (at least kRealTextSize bytes: "%f" of the largest double takes 317),
// zero-terminated; returns its length.
inline constexpr size_t kRealTextSize = 400;
int RealText(double x, char* buf);

// A new allocation (bxAlloc; free with bxFree) of the value's text, or null
// for Null/Error/the null string. A temporary value is released afterwards.
char* Value2Char(Globals* G, Value v);
// WriteValue's output modes: how a String is written. Numbers, booleans and
// tuples are written the same in every mode.
enum OutputMode : int {
  omPlain = 0,     // unescaped: a plain database field, the current column
  omHtml = 1,      // unescaped: a field or expression in the html format
  omEscaped = 2,   // the HTML special characters escaped: text fields, form
                   // fields, embedded expressions
};

// Writes the value through the output channel in the given mode.
// The value is not released, temporary or not (the caller owns it).
void WriteValue(Globals* G, Value v, OutputMode mode);
// Value2Char (which releases a temporary), then URL-encoded output.
void WriteValueAsUrl(Globals* G, Value v);
