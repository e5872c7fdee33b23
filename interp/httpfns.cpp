// httpfns.cpp: the HTTP built-ins: response header lines, cookies and
// session keys.
#include <strings.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/globals.h"
#include "driver/http.h"
#include "driver/output.h"
#include "interp/builtins.h"
#include "interp/eval.h"
#include "support/memory.h"
#include "values/value.h"

namespace {

Value* setValue(Value* r, Value v) {
  *r = v;
  return r;
}

const char* sbytes(const Value& v) { return v.val.str ? v.val.str : ""; }
size_t slen(const Value& v) {
  return v.val.str ? static_cast<size_t>(v.size) : 0;
}

// An argument that must be a String; the caller releases it.
Value stringArgument(const BuiltinCall& call, Token* node, int index) {
  Value v = eval(call.G, node);
  if (v.type != tString) call.typeError(tString, index);
  return v;
}

bool hasBreak(const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (text[i] == '\r' || text[i] == '\n' || text[i] == '\0') return true;
  return false;
}

// A line may still be added: on the command line there is no header, and
// the lines are dropped.
bool headerOpen(const BuiltinCall& call) {
  if (!HttpActive()) return false;
  if (HttpHeaderSent()) call.fail("HTTP header already sent");
  return true;
}

// "NNN" or "NNN reason", the code from 100 to 599.
bool statusValue(const char* text, size_t n) {
  if (n < 3 || text[0] < '1' || text[0] > '5') return false;
  for (size_t i = 1; i < 3; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return n == 3 || text[3] == ' ';
}

// Cookie names: RFC 6265 tokens (no controls, blanks or separators).
bool cookieName(const char* text, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= ' ' || c >= 127 || std::strchr("()<>@,;:\\\"/[]?={}", c) != nullptr) return false;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cookie value decoded as form data is: '+' a blank, %XX a byte, and the
// '%' of a broken escape dropped.
Value decodedText(Globals* G, const char* text, size_t n) {
  char* bytes = static_cast<char*>(bxAlloc(G, n + 1));
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    int high = -1;
    int low = -1;
    if (text[i] == '%' && i + 2 < n && (high = hexDigit(text[i + 1])) >= 0 &&
        (low = hexDigit(text[i + 2])) >= 0) {
      bytes[length++] = static_cast<char>(high * 16 + low);
      i += 2;
    } else if (text[i] != '%') {
      bytes[length++] = text[i] == '+' ? ' ' : text[i];
    }
  }
  const Value v = MakeString(G, bytes, static_cast<int32_t>(length), VF_TEMP);
  bxFree(bytes);
  return v;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// httpheader(name, value): adds the response header line "name: value".
Value* bihttpheader(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value name = stringArgument(call, argv[0], 0);
  Value value = stringArgument(call, argv[1], 1);
  if (!HttpHeaderName(sbytes(name), slen(name)))
    call.fail("HTTP header name must consist of letters, digits and '-'");
  if (hasBreak(sbytes(value), slen(value))) {
    const std::string text = "Line break or NUL in HTTP header: " + std::string(sbytes(name));
    call.fail(text.c_str());
  }
  const bool status = slen(name) == 6 && strncasecmp(sbytes(name), "Status", 6) == 0;
  if (status && !statusValue(sbytes(value), slen(value)))
    call.fail("HTTP status must be a code from 100 to 599, then a blank and a reason");
  if (headerOpen(call)) HttpAddHeader(G, sbytes(name), slen(name), sbytes(value), slen(value));
  ReleaseIfTemp(G, &name);
  ReleaseIfTemp(G, &value);
  return setValue(r, MakeBoolean(true));
}

// cookie(name): the request cookie of that name, decoded, or Null.
Value* bicookie(Value* r, Globals* G, int, Token** argv) {
  const BuiltinCall call(G);
  Value name = stringArgument(call, argv[0], 0);
  const char* wanted = sbytes(name);
  const size_t wantedLength = slen(name);
  Value result = nullValue;
  const char* header = std::getenv("HTTP_COOKIE");
  for (const char* p = header; p != nullptr && *p != '\0' && result.type == tNull;) {
    while (isBlank(*p) || *p == ';') ++p;
    const char* end = std::strchr(p, ';');
    if (end == nullptr) end = p + std::strlen(p);
    const char* equals = static_cast<const char*>(std::memchr(p, '=', end - p));
    if (equals != nullptr) {
      const char* nameEnd = equals;
      while (nameEnd > p && isBlank(nameEnd[-1])) --nameEnd;
      if (static_cast<size_t>(nameEnd - p) == wantedLength &&
          std::memcmp(p, wanted, wantedLength) == 0) {
        const char* v = equals + 1;
        const char* vEnd = end;
        while (v < vEnd && isBlank(*v)) ++v;
        while (vEnd > v && isBlank(vEnd[-1])) --vEnd;
        if (vEnd - v >= 2 && *v == '"' && vEnd[-1] == '"') {
          ++v;
          --vEnd;
        }
        result = decodedText(G, v, static_cast<size_t>(vEnd - v));
      }
    }
    p = end;
  }
  ReleaseIfTemp(G, &name);
  return setValue(r, result);
}

// setcookie(name, value [, seconds]): adds a Set-Cookie line.
Value* bisetcookie(Value* r, Globals* G, int argc, Token** argv) {
  const BuiltinCall call(G);
  Value name = stringArgument(call, argv[0], 0);
  Value value = eval(G, argv[1]);
  if (value.type != tString && value.type != tInteger) call.typeError(tString, 1);
  bool maxAge = false;
  int32_t seconds = 0;
  if (argc > 2) {
    const Value s = eval(G, argv[2]);
    if (s.type != tInteger) call.typeError(tInteger, 2);
    maxAge = true;
    seconds = s.val.Integer;
  }
  if (!cookieName(sbytes(name), slen(name))) call.fail("Cookie name not allowed");
  if (headerOpen(call)) {
    // Room for the name, the value with every byte escaped, and the
    // attributes with the longest Max-Age.
    const size_t size = slen(name) + 3 * slen(value) + 128;
    char* storage = static_cast<char*>(bxAlloc(G, size));
    CaptureBuffer line = MakeCapture(storage, size);
    appendn(&line, sbytes(name), slen(name));
    appendc(&line, '=');
    char number[24];
    if (value.type == tInteger) {
      std::snprintf(number, sizeof number, "%d", value.val.Integer);
      appends(&line, number);
    } else {
      appendurln(&line, sbytes(value), slen(value));
    }
    appends(&line, "; Path=/; HttpOnly; SameSite=Lax");
    if (maxAge) {
      std::snprintf(number, sizeof number, "; Max-Age=%d", seconds);
      appends(&line, number);
    }
    const char* https = std::getenv("HTTPS");
    if (https != nullptr && strcasecmp(https, "on") == 0) appends(&line, "; Secure");
    HttpAddHeader(G, "Set-Cookie", 10, storage, static_cast<size_t>(line.pos - storage));
    bxFree(storage);
  }
  ReleaseIfTemp(G, &name);
  ReleaseIfTemp(G, &value);
  return setValue(r, MakeBoolean(true));
}

// sessionkey(): 128 bits from the system's random source as 32 lowercase
// hexadecimal digits.
Value* bisessionkey(Value* r, Globals* G, int, Token**) {
  const BuiltinCall call(G);
  unsigned char bits[16];
  size_t got = 0;
  while (got < sizeof bits) {
    const ssize_t n = getrandom(bits + got, sizeof bits - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) call.fail("Cannot read the system's random source");
    got += static_cast<size_t>(n);
  }
  static const char hex[] = "0123456789abcdef";
  char text[32];
  for (size_t i = 0; i < sizeof bits; ++i) {
    text[2 * i] = hex[bits[i] >> 4];
    text[2 * i + 1] = hex[bits[i] & 15];
  }
  return setValue(r, MakeString(G, text, 32, VF_TEMP));
}
