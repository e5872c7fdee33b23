// http.cpp: the held-back response header of a web request. The page
// stream is a stdio stream over our own writer with a buffer of kHttpHold
// bytes: the writer runs for the first time when the buffer is full or the
// request ends, and that is when the header is put together and sent.
#include "driver/http.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "driver/config.h"
#include "driver/globals.h"
#include "support/memory.h"
#include "support/system.h"

namespace {

// One response at a time per process: a request cycle starts one and ends
// it. Process-wide because the stream's writer has no other way to it.
struct HttpResponse {
  FILE* file = nullptr;
  Globals* G = nullptr;
  HttpRawWrite raw = nullptr;
  void* target = nullptr;
  bool sent = false;
  int errorStatus = 0;       // the status of an error page, 0 when none
  char* status = nullptr;    // the template's Status value
  char* contentType = nullptr;
  char* lines = nullptr;     // the other lines, each ending in a line feed
  size_t linesLength = 0;
  size_t linesCapacity = 0;
};

HttpResponse response;

bool writeDescriptor(void* /*target*/, const char* bytes, size_t n) {
  return WriteAll(STDOUT_FILENO, bytes, n);
}

const char* reasonPhrase(int code) {
  switch (code) {
    case 403: return "403 Forbidden";
    case 404: return "404 Not Found";
    case 503: return "503 Service Unavailable";
    default: return "500 Internal Server Error";
  }
}

// Collects the header in a local buffer and hands it on in as few writes
// as its length allows.
struct HeaderWriter {
  char buffer[4096];
  size_t used = 0;
  void put(const char* text, size_t n) {
    while (n > 0) {
      if (used == sizeof buffer) flush();
      const size_t room = sizeof buffer - used;
      const size_t part = n < room ? n : room;
      std::memcpy(buffer + used, text, part);
      used += part;
      text += part;
      n -= part;
    }
  }
  void put(const char* text) { put(text, std::strlen(text)); }
  bool flush() {
    const bool ok = used == 0 || response.raw(response.target, buffer, used);
    used = 0;
    return ok;
  }
};

void putHeader(HeaderWriter& w) {
  if (response.errorStatus != 0 || response.status != nullptr) {
    w.put("Status: ");
    w.put(response.errorStatus != 0 ? reasonPhrase(response.errorStatus) : response.status);
    w.put("\n");
  }
  w.put("Content-type: ");
  if (response.contentType != nullptr) {
    w.put(response.contentType);
  } else {
    w.put("text/html");
    const char* charset = Cfg(response.G).charset;
    if (charset != nullptr && charset[0] != '\0') {
      w.put("; charset=");
      w.put(charset);
    }
  }
  w.put("\n");
  if (response.lines != nullptr) w.put(response.lines, response.linesLength);
  w.put("\n");
}

void sendHeader() {
  HeaderWriter w;
  putHeader(w);
  w.flush();
}

ssize_t holdWrite(void* /*cookie*/, const char* bytes, size_t n) {
  if (!response.sent) {
    response.sent = true;
    // A page that fits behind its header goes out with it in one write.
    HeaderWriter w;
    putHeader(w);
    if (n <= sizeof w.buffer - w.used) {
      w.put(bytes, n);
      return w.flush() ? static_cast<ssize_t>(n) : -1;
    }
    w.flush();
  }
  return response.raw(response.target, bytes, n) ? static_cast<ssize_t>(n) : -1;
}

char* copyText(Globals* G, const char* text, size_t n) {
  char* copy = static_cast<char*>(bxAlloc(G, n + 1));
  std::memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}

bool sameName(const char* name, size_t n, const char* wanted) {
  return std::strlen(wanted) == n && strncasecmp(name, wanted, n) == 0;
}

void appendLine(Globals* G, const char* name, size_t nameLength, const char* value,
                size_t valueLength) {
  const size_t need = response.linesLength + nameLength + valueLength + 3;
  if (need > response.linesCapacity) {
    size_t capacity = response.linesCapacity < 256 ? 256 : response.linesCapacity * 2;
    while (capacity < need) capacity *= 2;
    char* bigger = static_cast<char*>(bxAlloc(G, capacity));
    if (response.linesLength > 0) std::memcpy(bigger, response.lines, response.linesLength);
    bxFree(response.lines);
    response.lines = bigger;
    response.linesCapacity = capacity;
  }
  char* p = response.lines + response.linesLength;
  std::memcpy(p, name, nameLength);
  p += nameLength;
  *p++ = ':';
  *p++ = ' ';
  std::memcpy(p, value, valueLength);
  p += valueLength;
  *p++ = '\n';
  response.linesLength = static_cast<size_t>(p - response.lines);
}

}  // namespace

FILE* HttpBegin(Globals* G, HttpRawWrite raw, void* target) {
  response = HttpResponse{};
  response.G = G;
  response.raw = raw != nullptr ? raw : writeDescriptor;
  response.target = target;
  const cookie_io_functions_t io{nullptr, holdWrite, nullptr, nullptr};
  FILE* file = fopencookie(nullptr, "w", io);
  if (file == nullptr) {
    // No stream of our own: the header goes at once, the page follows
    // through standard output.
    response.sent = true;
    sendHeader();
    return stdout;
  }
  static char hold[kHttpHold];
  std::setvbuf(file, hold, _IOFBF, sizeof hold);
  response.file = file;
  return file;
}

void HttpEnd(Globals* /*G*/) {
  if (response.file == nullptr) return;
  // Closing flushes: a page shorter than the hold sends its header now.
  // An empty page still has a header.
  if (!response.sent) {
    std::fflush(response.file);
    if (!response.sent) {
      response.sent = true;
      sendHeader();
    }
  }
  std::fclose(response.file);
  bxFree(response.status);
  bxFree(response.contentType);
  bxFree(response.lines);
  response = HttpResponse{};
}

bool HttpActive() { return response.file != nullptr; }

bool HttpHeaderSent() { return response.sent; }

void HttpAddHeader(Globals* G, const char* name, size_t nameLength, const char* value,
                   size_t valueLength) {
  if (sameName(name, nameLength, "Content-type")) {
    bxFree(response.contentType);
    response.contentType = copyText(G, value, valueLength);
  } else if (sameName(name, nameLength, "Status")) {
    bxFree(response.status);
    response.status = copyText(G, value, valueLength);
  } else {
    appendLine(G, name, nameLength, value, valueLength);
  }
}

void HttpErrorStatus(int code) {
  if (response.errorStatus == 0) response.errorStatus = code;
}

bool HttpHeaderName(const char* name, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-';
    if (!ok) return false;
  }
  return true;
}
