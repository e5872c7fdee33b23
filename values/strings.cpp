// strings.cpp: the chars operations and the textual forms of values.
#include "values/strings.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "driver/globals.h"
#include "driver/output.h"
#include "support/memory.h"

// ---- chars ----------------------------------------------------------------

void chars_null(chars* c) {
  c->str = nullptr;
  c->size = 0;
}

chars chars_empty(Globals* G) {
  chars c;
  c.str = static_cast<char*>(bxAlloc(G, 1));
  c.str[0] = '\0';
  c.size = 0;
  return c;
}

chars chars_make(Globals* G, const char* bytes, int32_t n) {
  chars c;
  if (n < 0) n = 0;
  c.size = n;
  if (bytes == nullptr) {
    c.str = nullptr;
    return c;
  }
  c.str = STRNDUP(G, bytes, static_cast<size_t>(n));
  return c;
}

chars chars_copy(Globals* G, const char* str, int32_t size) { return chars_make(G, str, size); }

chars chars_cat(Globals* G, const char* a, int32_t asize, const char* b, int32_t bsize) {
  if (a == nullptr || asize < 0) asize = 0;
  if (b == nullptr || bsize < 0) bsize = 0;
  if (asize > kMaxStringLength) {
    asize = kMaxStringLength;
    bsize = 0;
  } else if (bsize > kMaxStringLength - asize) {
    bsize = kMaxStringLength - asize;
  }
  chars c;
  c.size = asize + bsize;
  c.str = static_cast<char*>(bxAlloc(G, static_cast<size_t>(c.size) + 1));
  CopyBytes(c.str, a, static_cast<size_t>(asize));
  CopyBytes(c.str + asize, b, static_cast<size_t>(bsize));
  c.str[c.size] = '\0';
  return c;
}

void chars_free(Globals* G, chars* c) {
  if (c->str != nullptr && !InSessionSpace(G, c->str)) bxFree(c->str);
  chars_null(c);
}

int chars_cmp(Globals* /*G*/, const chars& a, const chars& b) {
  if (a.str == nullptr) return b.str == nullptr ? 0 : -1;
  if (b.str == nullptr) return 1;
  return std::strcmp(a.str, b.str);
}

// ---- Conversions ----------------------------------------------------------

// "00" to "99": the digits of a number are written two at a time.
static constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int IntegerText(int32_t i, char* buf) {
  uint32_t u = i < 0 ? 0u - static_cast<uint32_t>(i) : static_cast<uint32_t>(i);
  // The digit count from the bit length (log10 2 is about 1233 / 4096):
  // estimate + 1 digits, one fewer below the smallest number of that many.
  static constexpr uint32_t kLowest[10] = {0, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                           100000000, 1000000000};
  const int estimate = ((32 - __builtin_clz(u | 1)) * 1233) >> 12;
  const int digits = estimate + 1 - (u < kLowest[estimate] ? 1 : 0);
  const int len = (i < 0 ? 1 : 0) + digits;
  // From the right: the lowest two digits first.
  char* p = buf + len;
  *p = '\0';
  while (u >= 100) {
    const uint32_t pair = u % 100;
    u /= 100;
    p -= 2;
    std::memcpy(p, &kDigitPairs[2 * pair], 2);
  }
  if (u >= 10) {
    p -= 2;
    std::memcpy(p, &kDigitPairs[2 * u], 2);
  } else {
    *--p = static_cast<char>('0' + u);
  }
  if (i < 0) *--p = '-';
  return len;
}

// Exact: the double is m * 2^-shift with an m of at most 53 bits, so its value times
// 10^decimals is m * 10^decimals (below 2^83) shifted right, and what the
// shift drops decides the rounding against exactly one half.
int FixedText(double x, int decimals, char* buf) {
  static constexpr uint64_t kPow10[10] = {1,      10,      100,      1000,      10000,
                                          100000, 1000000, 10000000, 100000000, 1000000000};
  if (decimals < 0 || decimals > 9 || !std::isfinite(x)) return -1;
  const double a = std::fabs(x);
  if (a >= 1e9) return -1;
  uint64_t bits = 0;
  std::memcpy(&bits, &a, sizeof bits);
  const int biased = static_cast<int>(bits >> 52);     // the sign bit is clear
  const uint64_t field = bits & ((uint64_t{1} << 52) - 1);
  // a = m * 2^-shift; the shift is at least 23, as a < 2^30
  const uint64_t m = biased == 0 ? field : field | uint64_t{1} << 52;
  const int shift = biased == 0 ? 1074 : 1075 - biased;
  const unsigned __int128 p = static_cast<unsigned __int128>(m) * kPow10[decimals];
  uint64_t q = 0;
  if (shift < 128) {
    q = static_cast<uint64_t>(p >> shift);
    const unsigned __int128 rest = p - (static_cast<unsigned __int128>(q) << shift);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  }   // else p < 2^83 <= half: rounds to zero
  char* out = buf;
  if (std::signbit(x)) *out++ = '-';
  const uint64_t whole = q / kPow10[decimals];
  out += IntegerText(static_cast<int32_t>(whole), out);   // below 2^31: a < 1e9
  if (decimals > 0) {
    *out++ = '.';
    uint64_t digits = q % kPow10[decimals];
    for (int k = decimals - 1; k >= 0; --k) {
      out[k] = static_cast<char>('0' + digits % 10);
      digits /= 10;
    }
    out += decimals;
  }
  *out = '\0';
  return static_cast<int>(out - buf);
}

int RealText(double x, char* buf) {
  const int fixed = FixedText(x, 6, buf);
  if (fixed >= 0) return fixed;
  const int n = std::snprintf(buf, kRealTextSize, "%f", x);
  return n < 0 ? 0 : n;
}

char* Value2Char(Globals* G, Value v) {
  char* text = nullptr;
  switch (v.type) {
    case tError:
    case tNull: break;
    case tInteger: {
      char digits[kIntegerTextSize];
      text = STRNDUP(G, digits, static_cast<size_t>(IntegerText(v.val.Integer, digits)));
      break;
    }
    case tReal: {
      char digits[kRealTextSize];
      text = STRNDUP(G, digits, static_cast<size_t>(RealText(v.val.Real, digits)));
      break;
    }
    case tBoolean: text = STRDUP(G, v.val.Boolean != 0 ? "true" : "false"); break;
    case tString: text = STRDUP(G, v.val.str); break;
    case tTuple: text = STRDUP(G, "(tuple)"); break;
    default:
      std::fprintf(stderr, "evalexpr: Internal error: not a valid constant expression tag '%d'\n",
                   static_cast<int>(v.type));
      return STRDUP(G, "???");
  }
  ReleaseIfTemp(G, &v);
  return text;
}

void WriteValue(Globals* G, Value v, OutputMode mode) {
  FILE* out = G->serverInterface->X_Out;
  switch (v.type) {
    case tInteger: {
      char digits[kIntegerTextSize];
      IntegerText(v.val.Integer, digits);
      serverPuts(digits, out);
      break;
    }
    case tReal: {
      char digits[kRealTextSize];
      RealText(v.val.Real, digits);
      serverPuts(digits, out);
      break;
    }
    case tBoolean: serverPuts(v.val.Boolean != 0 ? "true" : "false", out); break;
    case tString:
      if (v.val.str != nullptr && v.size > 0)
        wwwput(G, v.val.str, mode == omEscaped, v.size);
      break;
    case tTuple:
      if (valueHooks().showTuple != nullptr) valueHooks().showTuple(G, v, "this");
      break;
    default: break;
  }
}

void WriteValueAsUrl(Globals* G, Value v) {
  char* text = Value2Char(G, v);
  if (text == nullptr) return;
  wwwputurl(G, text);
  bxFree(text);
}
