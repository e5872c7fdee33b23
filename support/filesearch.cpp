// filesearch.cpp: path operations, the configuration and template searches
// and the include-name rule.
#include "support/filesearch.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "diag/messages.h"

const char* const os_search_msg[4] = {
    "File found in search path",
    "File not found in search path",
    "Resulting file name too long",
    "Illegal search path or name",
};

// ---------------------------------------------------------------------------
// Static helpers

// A candidate is found when it can be opened for reading as a file. A
// directory opens too, but reading it fails, so it does not count. With
// opened, a found file stays open and *opened receives its descriptor.
static bool readable(const char* name, int* opened = nullptr) {
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  if (ok && opened != nullptr)
    *opened = fd;
  else
    close(fd);
  return ok;
}

static bool isSymbolicLink(const char* name) {
  struct stat st;
  if (lstat(name, &st) != 0) return false;   // a failing lstat counts as found
  return S_ISLNK(st.st_mode);
}

static const char* skipColons(const char* p) {
  while (*p == ':') ++p;
  return p;
}

static void clearOut(char* out, size_t size) {
  if (out != nullptr && size > 0) out[0] = '\0';
}

// Copies the directory entry [begin, end) into out with a '/' added when it
// does not end in one; with clean, every "./" at the start of the entry or
// directly after a '/' is then dropped ("." becomes empty, "./lib/./x"
// becomes "lib/x/"). Returns the length, or -1 when the entry does not fit.
static long copyEntry(const char* begin, const char* end, char* out, size_t size,
                      bool clean) {
  size_t n = static_cast<size_t>(end - begin);
  const bool slash = n > 0 && end[-1] != '/';
  if (n + (slash ? 1 : 0) + 1 > size) return -1;
  std::memcpy(out, begin, n);
  if (slash) out[n++] = '/';
  out[n] = '\0';
  if (!clean) return static_cast<long>(n);
  size_t w = 0;
  for (size_t r = 0; r < n;) {
    if ((w == 0 || out[w - 1] == '/') && out[r] == '.' && out[r + 1] == '/') {
      r += 2;
      continue;
    }
    out[w++] = out[r++];
  }
  out[w] = '\0';
  return static_cast<long>(w);
}

// The common walk of both searches over the entries of a path; opened as
// in readable (a link refused is closed again).
static int searchPath(const char* path, const char* name, char* out, size_t size,
                      bool clean, bool linksAllowed, int* opened = nullptr) {
  const size_t nameLength = std::strlen(name);
  const char* p = skipColons(path);
  while (*p != '\0') {
    const char* end = std::strchr(p, ':');
    if (end == nullptr) end = p + std::strlen(p);
    const long n = copyEntry(p, end, out, size, clean);
    if (n < 0 || static_cast<size_t>(n) + nameLength + 8 >= size) {
      clearOut(out, size);
      return kNameTooLong;
    }
    std::memcpy(out + n, name, nameLength + 1);
    if (readable(out, opened)) {
      if (linksAllowed || !isSymbolicLink(out)) return kFound;
      if (opened != nullptr) {
        close(*opened);
        *opened = -1;
      }
    }
    p = skipColons(end);
  }
  clearOut(out, size);
  return kNotFound;
}

// ---------------------------------------------------------------------------
// Path operations

bool os_isAbsolutePath(const char* path) {
  bxAssert(nullptr, path != nullptr, "path != ((void *)0)", {"filesearch"});
  return path[0] == '/';
}

std::string os_dirname(const char* path) {
  if (path == nullptr) return "./";
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return "./";
  return std::string(path, static_cast<size_t>(slash - path) + 1);
}

std::string os_basename(const char* path, const char* suffix) {
  if (path == nullptr) return "";
  const char* slash = std::strrchr(path, '/');
  std::string base(slash == nullptr ? path : slash + 1);
  if (suffix != nullptr && suffix[0] != '\0') {
    const size_t n = std::strlen(suffix);
    if (base.size() >= n && base.compare(base.size() - n, n, suffix) == 0)
      base.resize(base.size() - n);
  }
  return base;
}

// ---------------------------------------------------------------------------
// Searches

int os_search(const char* path, const char* name, char* out, size_t size, int* opened) {
  clearOut(out, size);
  if (path == nullptr || name == nullptr || name[0] == '\0' || out == nullptr)
    return kIllegalSearch;
  if (*skipColons(path) == '\0') return kNotFound;   // the name alone is not tried
  return searchPath(path, name, out, size, false, true, opened);
}

int os_search_braxel(const char* path, const char* name, char* out, size_t size,
                     bool linksAllowed, int* opened) {
  clearOut(out, size);
  if (path == nullptr || name == nullptr || name[0] == '\0' || out == nullptr)
    return kIllegalSearch;
  if (*skipColons(path) == '\0' || name[0] == '/') {
    const size_t n = std::strlen(name);
    if (n + 1 > size) return kNameTooLong;
    std::memcpy(out, name, n + 1);
    if (readable(out, opened)) return kFound;
    clearOut(out, size);
    return kNotFound;
  }
  return searchPath(path, name, out, size, true, linksAllowed, opened);
}

// ---------------------------------------------------------------------------
// Include names

bool os_IncludeFilename_Allowed(const char* name) {
  if (name == nullptr || name[0] == '/') return false;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return false;
  return strcasecmp(dot, ".brx") == 0 || strcasecmp(dot, ".dbh") == 0 ||
         strcasecmp(dot, ".braxel") == 0;
}

static const char kIncludeNameMessage[] =
    "Include filenames must  be relative and must end on .brx";

void dbhCheckIncludeFilename(Globals* G, Position pos, const char* name) {
  if (!os_IncludeFilename_Allowed(name))
    FatalMessageI(G, kIncludeNameMessage, pos, InfoText(name != nullptr ? name : ""));
}

// No ".." component, and the last component is not ".braxel".
static bool staysInPathAwayFromConfiguration(const char* name) {
  const char* component = name;
  for (const char* p = name;; ++p) {
    if (*p != '/' && *p != '\0') continue;
    const size_t n = static_cast<size_t>(p - component);
    if (n == 2 && component[0] == '.' && component[1] == '.') return false;
    if (*p == '\0') return strcasecmp(component, ".braxel") != 0;
    component = p + 1;
  }
}

void dbhCheckComputedIncludeFilename(Globals* G, Position pos, const char* name) {
  dbhCheckIncludeFilename(G, pos, name);
  if (!staysInPathAwayFromConfiguration(name))
    FatalMessageI(G, kIncludeNameMessage, pos, InfoText(name));
}
