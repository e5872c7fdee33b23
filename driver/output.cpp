// output.cpp: the output channel (client, file and buffer sinks with nested
// capture) and the HTML and URL escaping writers.
#include "driver/output.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "driver/config.h"
#include "driver/globals.h"

// ---- Client sink ----------------------------------------------------------

static int clientPrintf(FILE* stream, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = std::vfprintf(stream, format, ap);
  va_end(ap);
  return n;
}
// A text that fits in the room left in the stream's buffer is copied there
// at once, as putc_unlocked does with a byte (a line-buffered or unbuffered
// stream leaves no room, so it always goes through the library).
static int clientPuts(const char* text, FILE* stream) {
  const size_t n = std::strlen(text);
  if (static_cast<size_t>(stream->_IO_write_end - stream->_IO_write_ptr) > n) {
    std::memcpy(stream->_IO_write_ptr, text, n);
    stream->_IO_write_ptr += n;
    return 1;
  }
  return fputs_unlocked(text, stream);
}
static int clientPutc(int c, FILE* stream) { return fputc_unlocked(c, stream); }

PrintfSlot serverPrintf = clientPrintf;
PutsSlot serverPuts = clientPuts;
PutcSlot serverPutc = clientPutc;

// ---- File sink ------------------------------------------------------------

// The file sink's target (an error file while an error page is copied).
static FILE* fileSink = nullptr;

static int dbhFilePrintf(FILE* /*stream*/, const char* format, ...) {
  if (fileSink == nullptr) return 0;
  va_list ap;
  va_start(ap, format);
  const int n = std::vfprintf(fileSink, format, ap);
  va_end(ap);
  return n;
}
static int dbhFilePuts(const char* text, FILE* /*stream*/) {
  return fileSink == nullptr ? 0 : std::fputs(text, fileSink);
}
static int dbhFilePutc(int c, FILE* /*stream*/) {
  return fileSink == nullptr ? 0 : std::fputc(c, fileSink);
}

// ---- Buffer sink ----------------------------------------------------------

CaptureBuffer* PQTBuffer = nullptr;

CaptureBuffer MakeCapture(char* storage, size_t size) {
  if (size == 0) return CaptureBuffer{nullptr, nullptr};
  storage[0] = '\0';
  return CaptureBuffer{storage, storage + size - 1};
}

void appendn(CaptureBuffer* b, const char* text, size_t n) {
  if (b == nullptr || b->pos == nullptr) return;
  const size_t room = static_cast<size_t>(b->end - b->pos);
  if (n > room) n = room;   // the rest is cut off silently
  std::memcpy(b->pos, text, n);
  b->pos += n;
  *b->pos = '\0';
}

void appends(CaptureBuffer* b, const char* text) {
  if (b == nullptr || b->pos == nullptr) return;
  const size_t room = static_cast<size_t>(b->end - b->pos);
  appendn(b, text, strnlen(text, room + 1));
}

void appendc(CaptureBuffer* b, int c) {
  const char ch = static_cast<char>(c);
  appendn(b, &ch, 1);
}

static int buffPuts(const char* text, FILE* /*stream*/) {
  appends(PQTBuffer, text);
  return 0;
}
static int buffPutc(int c, FILE* /*stream*/) {
  appendc(PQTBuffer, c);
  return c;
}
// Formats into a temporary text as long as the room left (so that a
// formatted text is cut at the same place as a written one), then appends.
static int buffPrintf(FILE* /*stream*/, const char* format, ...) {
  if (PQTBuffer == nullptr || PQTBuffer->pos == nullptr) return 0;
  const size_t room = static_cast<size_t>(PQTBuffer->end - PQTBuffer->pos);
  char local[512];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(local, sizeof local, format, ap);
  va_end(ap);
  if (n <= 0) return 0;
  if (static_cast<size_t>(n) < sizeof local) {
    appendn(PQTBuffer, local, static_cast<size_t>(n));
    return n;
  }
  // Long texts: a temporary freed before return, not charged.
  const size_t size = (static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room) + 1;
  char* temp = static_cast<char*>(std::malloc(size));
  if (temp == nullptr) return 0;
  va_start(ap, format);
  std::vsnprintf(temp, size, format, ap);
  va_end(ap);
  appendn(PQTBuffer, temp, size - 1);
  std::free(temp);
  return n;
}

// ---- Sink selection -------------------------------------------------------

void serverSendOutputToClient() {
  serverPrintf = clientPrintf;
  serverPuts = clientPuts;
  serverPutc = clientPutc;
}

void serverSendOutputToFile(Globals* /*G*/, FILE* file) {
  fileSink = file;
  serverPrintf = dbhFilePrintf;
  serverPuts = dbhFilePuts;
  serverPutc = dbhFilePutc;
}

void serverSendOutputToBuffer(Globals* /*G*/, CaptureBuffer* buffer) {
  PQTBuffer = buffer;
  serverPrintf = buffPrintf;
  serverPuts = buffPuts;
  serverPutc = buffPutc;
}

void serverDropCapture() {
  PQTBuffer = nullptr;
  serverSendOutputToClient();
}

FILE* serverFileSink() { return fileSink; }

void OutputInitializeProcess() {
  // In the large-data section behind all other zero-initialized data: a
  // web request writes through its own stream and never touches this
  // buffer, which would otherwise part the small variables around it onto
  // one more page each process start brings in.
  [[gnu::section(".lbss.stdout")]] static char stdoutBuffer[1 << 16];
  std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);
}

// ---- HTML escaping --------------------------------------------------------

// On only when the setting is exactly true.
bool GermanCharMode(Globals* G) { return SwitchOn(Cfg(G).germanchar); }

namespace {

// How the German-character mode writes one byte.
enum class ByteRule : unsigned char { Keep, Drop, Special, Named, Numeric };

struct GermanTable {
  ByteRule rule[256];
  const char* name[256];
};

constexpr GermanTable makeGermanTable() {
  GermanTable t{};
  for (int c = 0; c < 256; ++c) {
    t.rule[c] = ByteRule::Keep;
    t.name[c] = nullptr;
  }
  auto drop = [&t](int from, int to) {
    for (int c = from; c <= to; ++c) t.rule[c] = ByteRule::Drop;
  };
  auto named = [&t](int c, const char* n) {
    t.rule[c] = ByteRule::Named;
    t.name[c] = n;
  };
  drop(0, 8);
  drop(11, 31);
  drop(127, 128);
  drop(130, 131);
  drop(133, 141);
  drop(143, 147);
  drop(149, 152);
  drop(155, 159);
  const char specials[] = "\"&<>^";
  for (int i = 0; specials[i] != '\0'; ++i) t.rule[static_cast<unsigned char>(specials[i])] = ByteRule::Special;
  for (int c = 169; c < 256; ++c) t.rule[c] = ByteRule::Numeric;
  const char* const latin[] = {"&iexcl;", "&cent;", "&pound;", "&curren;",
                               "&yen;",   "&brkbar;", "&sect;", "&uml;"};
  for (int i = 0; i < 8; ++i) named(161 + i, latin[i]);
  named(196, "&Auml;");
  named(214, "&Ouml;");
  named(220, "&Uuml;");
  named(228, "&auml;");
  named(246, "&ouml;");
  named(252, "&uuml;");
  named(223, "&szlig;");
  named(225, "&szlig;");
  named(132, "&auml;");   // code page 437 umlauts
  named(148, "&ouml;");
  named(129, "&uuml;");
  named(142, "&Auml;");
  named(153, "&Ouml;");
  named(154, "&Uuml;");
  return t;
}
constexpr GermanTable kGerman = makeGermanTable();

constexpr const char* specialEntity(unsigned char c) {
  switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '^': return "&icirc;";
    default: return nullptr;
  }
}

// Collects converted output and hands it to the channel string by string.
struct Chunk {
  explicit Chunk(FILE* s) : stream(s) {}
  FILE* stream;
  size_t used = 0;
  char text[512];

  void flush() {
    if (used == 0) return;
    text[used] = '\0';
    serverPuts(text, stream);
    used = 0;
  }
  void put(char c) {
    if (used + 1 >= sizeof text) flush();
    text[used++] = c;
  }
  void put(const char* s) {
    for (; *s != '\0'; ++s) put(*s);
  }
  // A short text of n bytes held in an 8-byte array (an entity).
  void putShort(const char (&s)[8], size_t n) {
    if (used + sizeof s >= sizeof text) flush();
    std::memcpy(text + used, s, sizeof s);
    used += n;
  }
  void put(const char* s, size_t n) {
    while (n > 0) {
      if (used + 1 >= sizeof text) flush();
      const size_t room = sizeof text - 1 - used;
      const size_t k = n < room ? n : room;
      std::memcpy(text + used, s, k);
      used += k;
      s += k;
      n -= k;
    }
  }
};

// The bytes that a plain (not German) escaping writes as they are (all but
// the zero that ends the text and, when escaping, the special characters),
// and the entities of the special characters, padded to 8 bytes.
struct PlainTable {
  bool kept[2][256];
  char entity[256][8];
  unsigned char entityLength[256];
};
constexpr PlainTable makePlainTable() {
  PlainTable t{};
  for (int c = 1; c < 256; ++c) {
    const char* e = specialEntity(static_cast<unsigned char>(c));
    t.kept[0][c] = true;
    t.kept[1][c] = e == nullptr;
    for (int k = 0; e != nullptr && e[k] != '\0'; ++k) {
      t.entity[c][k] = e[k];
      t.entityLength[c] = static_cast<unsigned char>(k + 1);
    }
  }
  return t;
}
constexpr PlainTable kPlain = makePlainTable();

FILE* pageStream(Globals* G) {
  return G != nullptr && G->serverInterface != nullptr ? G->serverInterface->X_Out : stdout;
}

// The escaping loop: at most max source bytes, never past a zero byte.
void putEscaped(Globals* G, const char* text, size_t max, bool escape) {
  if (text == nullptr) return;
  Chunk out(pageStream(G));
  const bool german = GermanCharMode(G);
  if (!german) {
    // Runs of bytes kept as they are, each followed by an entity or the end.
    const bool* kept = kPlain.kept[escape ? 1 : 0];
    size_t i = 0;
    while (i < max) {
      size_t j = i;
      while (j < max && kept[static_cast<unsigned char>(text[j])]) ++j;
      out.put(text + i, j - i);
      if (j >= max || text[j] == '\0') break;
      const auto c = static_cast<unsigned char>(text[j]);
      out.putShort(kPlain.entity[c], kPlain.entityLength[c]);
      i = j + 1;
    }
    out.flush();
    return;
  }
  for (size_t i = 0; i < max && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (kGerman.rule[c]) {
      case ByteRule::Keep: out.put(static_cast<char>(c)); break;
      case ByteRule::Drop: break;
      case ByteRule::Special:
        if (escape)
          out.put(specialEntity(c));
        else
          out.put(static_cast<char>(c));
        break;
      case ByteRule::Named: out.put(kGerman.name[c]); break;
      case ByteRule::Numeric: {
        char ref[8];
        std::snprintf(ref, sizeof ref, "&#%i;", static_cast<int>(c));
        out.put(ref);
        break;
      }
    }
  }
  out.flush();
}

}  // namespace

void wwwput(Globals* G, const char* text, bool escape, long max) {
  if (max <= 0) return;
  putEscaped(G, text, static_cast<size_t>(max), escape);
}

void wwwputn(Globals* G, const char* text, size_t n, bool escape) {
  putEscaped(G, text, n, escape);
}

void wwwputs(Globals* G, const char* text) { wwwput(G, text, true, 6666666); }

void wwwputhtml(Globals* G, const char* text) {
  if (text == nullptr) return;
  if (!GermanCharMode(G)) {
    serverPuts(text, pageStream(G));
    return;
  }
  wwwput(G, text, false, 66666666);
}

// ---- URL encoding ---------------------------------------------------------

static bool UrlEscaped(unsigned char c) {
  if (c < 32 || c > 126) return true;
  return std::strchr("!\"#$%&'()+,/:;<=>?[\\]^`{|}~", c) != nullptr;
}

void wwwputurl(Globals* G, const char* text) {
  if (text == nullptr) return;
  static const char hex[] = "0123456789abcdef";
  Chunk out(pageStream(G));
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == ' ') {
      out.put('+');
    } else if (UrlEscaped(c)) {
      out.put('%');
      out.put(hex[c >> 4]);
      out.put(hex[c & 15]);
    } else {
      out.put(static_cast<char>(c));
    }
  }
  out.flush();
}

// ---- Positions ------------------------------------------------------------

void WritePosition(FILE* stream, const Position& p) {
  serverPrintf(stream, "%4d,%3d", static_cast<int>(p.line), static_cast<int>(p.column));
}

// ---- Appends with SQL quoting and URL encoding ----------------------------

// An SQL string literal: absent or empty text is NULL; an apostrophe is
// doubled, a backslash dropped, a control character becomes a blank.
void appendquoted(CaptureBuffer* b, const char* text) {
  if (text == nullptr || text[0] == 0) {
    appends(b, "NULL");
    return;
  }
  appendc(b, '\'');
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p == '\'') {
      appendc(b, '\'');
      appendc(b, '\'');
    } else if (*p == '\\') {
      continue;
    } else if (*p < 32) {
      appendc(b, ' ');
    } else {
      appendc(b, *p);
    }
  }
  appendc(b, '\'');
}

// URL encoding as wwwputurl writes it.
void appendurl(CaptureBuffer* b, const char* text) {
  if (text != nullptr) appendurln(b, text, std::strlen(text));
}

void appendurln(CaptureBuffer* b, const char* text, size_t n) {
  static const char hex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (const unsigned char* end = p + n; p < end; ++p) {
    if (*p == ' ') {
      appendc(b, '+');
    } else if (UrlEscaped(*p)) {
      appendc(b, '%');
      appendc(b, hex[*p >> 4]);
      appendc(b, hex[*p & 15]);
    } else {
      appendc(b, *p);
    }
  }
}
