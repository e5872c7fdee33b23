// config.cpp: the configuration file `.braxel`: search, reader, error pages,
// the defaults and the include path conversion.
#include "driver/config.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "driver/globals.h"
#include "support/filesearch.h"
#include "support/memory.h"

// ---------------------------------------------------------------------------
// The keys

namespace {

enum KeyKind { kText, kSwitch, kInteger, kLevel, kStore, kReserved };

struct KeyInfo {
  const char* names[3];   // key name and synonyms; unused slots null
  KeyKind kind;
  char* ResourceConfig::*text;
  int ResourceConfig::*flag;     // switches, the isolation level and the session store
  long ResourceConfig::*number;
};

constexpr int kLastPosition = 28;   // the last key that a position can give
constexpr int kKeyCount = 32;       // positional keys, then keys given by name only
constexpr size_t kLineSize = 1024;
constexpr int64_t kMegabyte = 1048576;

// Indexed by position (entry 0 unused); the entries after kLastPosition can
// only be given by name. ORDER: the fields of ResourceConfig.
const KeyInfo kKeys[kKeyCount] = {
    {{nullptr, nullptr, nullptr}, kReserved, nullptr, nullptr, nullptr},
    {{"user", nullptr, nullptr}, kText, &ResourceConfig::user, nullptr, nullptr},
    {{"passwd", "password", nullptr}, kText, &ResourceConfig::passwd, nullptr, nullptr},
    {{"dbname", "name", nullptr}, kText, &ResourceConfig::dbname, nullptr, nullptr},
    {{"dbhost", "host", "datasource"}, kText, &ResourceConfig::dbhost, nullptr, nullptr},
    {{"dbwrite", "allowwrite", nullptr}, kSwitch, nullptr, &ResourceConfig::dbwrite, nullptr},
    {{"optconn", "optimizeconnect", nullptr}, kSwitch, nullptr, &ResourceConfig::optconn,
     nullptr},
    {{"include", "includepath", nullptr}, kText, &ResourceConfig::include, nullptr, nullptr},
    {{"access", "allowaccess", nullptr}, kSwitch, nullptr, &ResourceConfig::access, nullptr},
    {{"override", "allowoverride", nullptr}, kSwitch, nullptr, &ResourceConfig::override_,
     nullptr},
    {{"symlink", "linksallowed", nullptr}, kSwitch, nullptr, &ResourceConfig::symlink,
     nullptr},
    {{nullptr, nullptr, nullptr}, kReserved, nullptr, nullptr, nullptr},
    {{"memlimit", nullptr, nullptr}, kInteger, nullptr, nullptr, &ResourceConfig::memlimit},
    {{"timelimit", nullptr, nullptr}, kInteger, nullptr, nullptr, &ResourceConfig::timelimit},
    {{"sessiondir", nullptr, nullptr}, kText, &ResourceConfig::sessiondir, nullptr, nullptr},
    {{"sessionipcheck", nullptr, nullptr}, kSwitch, nullptr,
     &ResourceConfig::sessionipcheck, nullptr},
    {{"debugip", nullptr, nullptr}, kText, &ResourceConfig::debugip, nullptr, nullptr},
    {{"debuguser", nullptr, nullptr}, kText, &ResourceConfig::debuguser, nullptr, nullptr},
    {{"debugdir", nullptr, nullptr}, kText, &ResourceConfig::debugdir, nullptr, nullptr},
    {{"admin", nullptr, nullptr}, kText, &ResourceConfig::admin, nullptr, nullptr},
    {{"secure", nullptr, nullptr}, kSwitch, nullptr, &ResourceConfig::secure, nullptr},
    {{"errorlog", nullptr, nullptr}, kText, &ResourceConfig::errorlog, nullptr, nullptr},
    {{"mailservice", nullptr, nullptr}, kText, &ResourceConfig::mailservice, nullptr, nullptr},
    {{"mailprofile", nullptr, nullptr}, kText, &ResourceConfig::mailprofile, nullptr, nullptr},
    {{"mailpassword", nullptr, nullptr}, kText, &ResourceConfig::mailpassword, nullptr,
     nullptr},
    {{"germanchar", nullptr, nullptr}, kSwitch, nullptr, &ResourceConfig::germanchar, nullptr},
    {{"shelltemp", nullptr, nullptr}, kText, &ResourceConfig::shelltemp, nullptr, nullptr},
    {{"autocommit", nullptr, nullptr}, kSwitch, nullptr, &ResourceConfig::autocommit, nullptr},
    {{"isolation", nullptr, nullptr}, kLevel, nullptr, &ResourceConfig::isolation, nullptr},
    {{"charset", nullptr, nullptr}, kText, &ResourceConfig::charset, nullptr, nullptr},
    {{"sessionstore", nullptr, nullptr}, kStore, nullptr, &ResourceConfig::sessionstore,
     nullptr},
    {{"templatecache", nullptr, nullptr}, kSwitch, nullptr, &ResourceConfig::templatecache,
     nullptr},
};

// Text fields whose value "-" (don't care) is made empty after reading.
char* ResourceConfig::* const kDashFields[] = {
    &ResourceConfig::user,      &ResourceConfig::passwd,     &ResourceConfig::dbname,
    &ResourceConfig::dbhost,    &ResourceConfig::include,    &ResourceConfig::sessiondir,
    &ResourceConfig::debugip,   &ResourceConfig::debuguser,  &ResourceConfig::debugdir,
    &ResourceConfig::admin,
};

// Every text field, for freeing.
char* ResourceConfig::* const kTextFields[] = {
    &ResourceConfig::fileName,    &ResourceConfig::user,         &ResourceConfig::passwd,
    &ResourceConfig::dbname,      &ResourceConfig::dbhost,       &ResourceConfig::include,
    &ResourceConfig::sessiondir,  &ResourceConfig::debugip,      &ResourceConfig::debuguser,
    &ResourceConfig::debugdir,    &ResourceConfig::admin,        &ResourceConfig::errorlog,
    &ResourceConfig::mailservice, &ResourceConfig::mailprofile,  &ResourceConfig::mailpassword,
    &ResourceConfig::shelltemp,   &ResourceConfig::charset,
};

// Indexed by kSessionStoreFile, kSessionStoreDatabase.
const char* const kSessionStores[2] = {"file", "database"};

const char* const kIsolationLevels[6] = {
    "DEFAULT", "READ_UNCOMMITTED", "READ_COMMITTED", "REPEATABLE_READ", "SERIALIZABLE",
    "VERSIONING",
};

// The defaults' texts.
char gDefaultInclude[] = "";
char gDefaultTmp[] = "/tmp";
char gDefaultShellTemp[] = "/tmp";
char gDefaultAdmin[] = "root";

}  // namespace

// The built-in defaults, in force until the file has been read.
const ResourceConfig kDefaultConfig = {
    nullptr,           // fileName
    nullptr,           // user
    nullptr,           // passwd
    nullptr,           // dbname
    nullptr,           // dbhost
    kSwitchNotGiven,   // dbwrite
    kSwitchNotGiven,   // optconn
    gDefaultInclude,   // include
    kSwitchTrue,       // access
    kSwitchTrue,       // override
    kSwitchNotGiven,   // symlink
    0,                 // memlimit
    kTimeLimitNotGiven,   // timelimit
    gDefaultTmp,       // sessiondir
    kSwitchNotGiven,   // sessionipcheck
    nullptr,           // debugip
    nullptr,           // debuguser
    nullptr,           // debugdir
    gDefaultAdmin,     // admin
    kSwitchNotGiven,   // secure
    nullptr,           // errorlog
    nullptr,           // mailservice
    nullptr,           // mailprofile
    nullptr,           // mailpassword
    kSwitchNotGiven,   // germanchar
    gDefaultShellTemp, // shelltemp
    kSwitchNotGiven,   // autocommit
    0,                 // isolation
    nullptr,           // charset
    kSessionStoreFile, // sessionstore
    kSwitchNotGiven,   // templatecache
};

namespace {

// The open configuration file, read through a buffer of its own. The end
// of the file, and a failing read, end the reading for good.
class ConfigFile {
 public:
  explicit ConfigFile(int fd) : fd_(fd) {}
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;
  ~ConfigFile() { close(); }

  // The next byte, or -1.
  int get() {
    if (next_ == end_) {
      const ssize_t n = fd_ >= 0 ? ::read(fd_, buffer_, sizeof buffer_) : -1;
      if (n <= 0) {
        close();
        return -1;
      }
      next_ = 0;
      end_ = static_cast<size_t>(n);
    }
    return static_cast<unsigned char>(buffer_[next_++]);
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  size_t next_ = 0;
  size_t end_ = 0;
  char buffer_[kLineSize];
};

}  // namespace

// ---------------------------------------------------------------------------
// Error pages

static const char kErrorHead[] = "<HTML><title>Error in braxel</title>\n";

static void writeFormatPage(FILE* out) {
  std::fputs(kErrorHead, out);
  std::fputs(
      "The braxel configuration file `.braxel' has an invalid format.<br>\n"
      "The proper format contains a list of parameters as outlined in the<br>\n"
      "table below. You can pass parameters based on the order of their<br>\n"
      "expected positon; however, not every parameter is required. If you omit<br>\n"
      "certain parameters you can pass the remaining parameters in any order<br>\n"
      "provided that you name them as follows: parametername=parametervalue.<br>\n"
      "Parameters are separated by whitespace (space or tabs) or newlines.<br>\n"
      "The following parameters may be specified (a string is any character sequence "
      "containing no white space):<br>\n",
      out);
  std::fputs(
      "<table border>\n"
      "<tr><td><b>position</b></td><td><b>parameter-name</b></td><td><b>description</b>"
      "</td><td><b>remarks</b></td><td><b>parameter-value</b></td><td>default-value</td>"
      "</tr>\n",
      out);
  // position, name, description, remarks, value, default (null: no cell)
  struct Row {
    int position;
    const char* name;
    const char* description;
    const char* remarks;
    const char* value;
    const char* fallback;
  };
  static const Row kRows[] = {
      {1, "user",
       "user name for the database system, required only for databases with user "
       "authentification",
       "", "string", nullptr},
      {2, "passwd",
       "password for the database system, required only for databases with user "
       "authentification",
       "", "string", nullptr},
      {3, "dbname", "database name, for database systems that support multiple databases",
       "Ignored with ODBC", "string", nullptr},
      {4, "dbhost", "name of the database host", "", "string", nullptr},
      {5, "dbwrite", "T to allow write access to the database", "", "T or F", "F"},
      {6, "optconn", "T to enable database connection caching", "", "T or F", "F"},
      {7, "include", "braxel include paths separated by ;", "", "string", "empty string"},
      {8, "access", "allow web server access", "", "T or F", "T"},
      {9, "override", "allows child configuration to override parent configuration",
       "Not supported yet.", "T or F", nullptr},
      {10, "symlink", "allow symbolic links for include files", "", "T or F", "T"},
      {12, "memlimit", "memory limit of braxel programs in MB", "",
       "integer value greater than 0", "4 GB"},
      {13, "timelimit", "time limit of braxel programs in seconds", "0 for none",
       "integer value", "30 for web requests, none on the command line"},
      {14, "sessiondir", "directory with session files", "", "string", "C:\\temp"},
      {15, "sessionipcheck", "T to automatically perform IP address check in session mode",
       "", "T or F", "T"},
      {16, "debugip",
       "list of IP addresses separated by ; on which debugging is allowed. If 'localhost' "
       "is specified instead of an IP address then debugging is allowed if the IP address "
       "of the browser is the same as the IP address of the web server",
       "", "string", "empty string"},
      {17, "debuguser", "list of users separated by ; that are allowed to debug", "", "string",
       "empty string"},
      {18, "debugdir", "directory to write debugging files to", "", "string",
       "undefined,don't write debugging files"},
      {19, "admin", "email address of administrator", "", "string", "administrator"},
      {20, "secure", "T to disallow shell and file access", "", "T or F", "T"},
      {21, "errorlog", "file where braxel errors are logged", "", "string",
       "undefined, don't log braxel errors"},
      {22, "mailservice", "service for CMC logon; used by mail tag", "", "string",
       "undefined, logon to a service provider that does not require a service name"},
      {23, "mailprofile", "profile for CMC logon; used by mail tag", "", "string",
       "undefined, logon to a service provider that does not require a user name"},
      {24, "mailpassword", "password for CMC logon; used by mail tag", "", "string",
       "undefined, logon to a service provider that does not require a password"},
      {25, "germanchar", "convert german umlauts", "", "T or F", "F"},
      {26, "shelltemp", "temporary directory for shell output; used by shell tag", "",
       "string", "C:\\temp"},
      {27, "autocommit", "auto (T) or manual (F) commit mode for db", "", "T or F", "T"},
      {28, "isolation",
       "transaction isolation level for db; valid values are:<br>DEFAULT,<br>"
       "READ_UNCOMMITTED,<br>READ_COMMITTED,<br>REPEATABLE_READ,<br>SERIALIZABLE,<br>"
       "VERSIONING",
       "", "string", "DEFAULT"},
  };
  for (const Row& r : kRows) {
    std::fprintf(out, "<tr><td>%d</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>",
                 r.position, r.name, r.description, r.remarks, r.value);
    if (r.fallback != nullptr) std::fprintf(out, "<td>%s</td>", r.fallback);
    std::fputs("</tr>\n", out);
  }
  std::fprintf(out,
               "</table><p>Don't care entries are marked with the special parameter-value "
               "`-'.<br>\nIf `dbhost' = `-', then the database engine runs on the local "
               "host.<br>\n.<br>\nIf `dbname' = `-', then no data base access is allowed."
               "<br>\nIf `dbname' = `*', then the BRAXEL file is allowed to specify a data "
               "base.<br>\nIf `include' = `-', then the include path is empty.<br>\nA line "
               "starting with `#' is a comment line and is ignored.<br>\nBlank lines are "
               "ignored.<br>\nEach line is limited to a maximum of %d characters.<br>\n",
               static_cast<int>(kLineSize));
}

// The format page, the error line (before, the word, after), and the end
// of the request.
[[noreturn]] static void formatError(Globals* G, ConfigFile& file, ResourceConfig* r,
                                     const char* before, std::string_view word = {},
                                     const char* after = "") {
  file.close();
  FILE* out = G->serverInterface->X_ErrOut;
  writeFormatPage(out);
  std::fputs(before, out);
  if (!word.empty()) std::fwrite(word.data(), 1, word.size(), out);
  std::fputs(after, out);
  FreeResourceConfig(r);
  serverExit(G);
}

// ---------------------------------------------------------------------------
// Storing values

// The word is this name, in any case.
static bool sameWord(std::string_view w, const char* name) {
  return name != nullptr && std::strlen(name) == w.size() &&
         strncasecmp(name, w.data(), w.size()) == 0;
}

// The position of the word among the names (any case), or -1.
template <size_t N>
static int wordIndex(std::string_view w, const char* const (&names)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (sameWord(w, names[i])) return static_cast<int>(i);
  return -1;
}

static int switchValue(std::string_view w) {
  const bool on = sameWord(w, "T") || sameWord(w, "on") || sameWord(w, "yes") || w == "1";
  return on ? kSwitchTrue : kSwitchFalse;
}

// The leading decimal digits (with an optional sign); no digits give 0.
// Saturates instead of overflowing.
static long integerValue(std::string_view w) {
  size_t i = 0;
  bool negative = false;
  if (i < w.size() && (w[i] == '-' || w[i] == '+')) negative = w[i++] == '-';
  long v = 0;
  constexpr long kMax = 1L << 52;
  for (; i < w.size() && w[i] >= '0' && w[i] <= '9'; ++i) {
    v = v * 10 + (w[i] - '0');
    if (v > kMax) v = kMax;
  }
  return negative ? -v : v;
}

static int keyOf(std::string_view w) {
  for (int pos = 1; pos < kKeyCount; ++pos)
    for (const char* name : kKeys[pos].names)
      if (sameWord(w, name)) return pos;
  return 0;
}

static void store(Globals* G, ConfigFile& file, ResourceConfig* r, int pos, std::string_view w) {
  const KeyInfo& k = kKeys[pos];
  switch (k.kind) {
    case kReserved:
      return;
    case kText:
      bxFree(r->*k.text);
      r->*k.text = STRNDUP(G, w.data(), w.size());
      return;
    case kSwitch:
      r->*k.flag = switchValue(w);
      return;
    case kInteger:
      r->*k.number = integerValue(w);
      if (k.number == &ResourceConfig::memlimit && r->memlimit > 0) {
        // Takes effect now; what start-up used so far is not counted.
        const int64_t mb = r->memlimit;
        G->serverInterface->X_MemLeft =
            mb > INT64_MAX / kMegabyte ? INT64_MAX : mb * kMegabyte;
      }
      return;
    case kLevel:
      r->*k.flag = wordIndex(w, kIsolationLevels);
      if (r->*k.flag < 0)
        formatError(G, file, r, "Error: Value '", w, "' unknown for isolation parameter.<br>\n");
      return;
    case kStore:
      r->*k.flag = wordIndex(w, kSessionStores);
      if (r->*k.flag < 0)
        formatError(G, file, r, "Error: Value '", w, "' unknown for sessionstore parameter.<br>\n");
      return;
  }
}

// ---------------------------------------------------------------------------
// Reading

// Reads one line of at most kLineSize - 1 bytes (line feed included) into
// buf; returns its length, 0 at the end of the file, -1 when the line does
// not fit.
static long readLine(ConfigFile& f, char* buf) {
  size_t n = 0;
  while (n < kLineSize - 1) {
    const int c = f.get();
    if (c < 0) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') return static_cast<long>(n);
  }
  if (n == kLineSize - 1) return -1;
  return static_cast<long>(n);
}

static bool isWordEnd(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=' || c == '\0';
}

// The words of one line. A NUL byte counts as white space.
static void parseLine(Globals* G, ConfigFile& file, ResourceConfig* r, const char* buf, size_t n,
                      int* position) {
  size_t i = 0;
  while (i < n && buf[i] == ' ') ++i;
  if (i == n || buf[i] == '\n' || buf[i] == '#') return;
  int pending = 0;   // cleared at the start of every line
  for (;;) {
    while (i < n && (buf[i] == ' ' || buf[i] == '\t' || buf[i] == '\r' || buf[i] == '\n' ||
                     buf[i] == '\0'))
      ++i;
    if (i >= n) return;
    std::string_view word;
    if (buf[i] == '"') {
      const size_t start = ++i;
      while (i < n && buf[i] != '"' && buf[i] != '\r' && buf[i] != '\n') ++i;
      word = std::string_view(buf + start, i - start);
      if (i < n && buf[i] == '"') ++i;
    } else {
      const size_t start = i;
      while (i < n && !isWordEnd(buf[i])) ++i;
      word = std::string_view(buf + start, i - start);
    }
    while (i < n && (buf[i] == ' ' || buf[i] == '\t')) ++i;
    if (i < n && buf[i] == '=') {
      pending = keyOf(word);
      if (pending == 0)
        formatError(G, file, r, "Error: Unknown parameter name \"", word, "\".<br>\n");
      ++i;
      continue;
    }
    if (word.empty()) continue;
    if (pending != 0) {
      store(G, file, r, pending, word);
      pending = 0;
      continue;
    }
    if (*position > kLastPosition) formatError(G, file, r, "Error: Too many parameters.<br>\n");
    store(G, file, r, (*position)++, word);
  }
}

static ResourceConfig* newDefaults(Globals* G, const char* fileName) {
  ResourceConfig* r = bxNew<ResourceConfig>(G);
  *r = kDefaultConfig;
  r->fileName = STRDUP(G, fileName);
  r->include = STRDUP(G, kDefaultConfig.include);
  r->sessiondir = STRDUP(G, kDefaultConfig.sessiondir);
  r->admin = STRDUP(G, kDefaultConfig.admin);
  r->shelltemp = STRDUP(G, kDefaultConfig.shelltemp);
  return r;
}

// ---------------------------------------------------------------------------
// Public interface

ResourceConfig* readResourceFile(Globals* G, const char* programPath,
                                 const char* templatePath) {
  const std::string path = (templatePath != nullptr ? os_dirname(templatePath) : std::string()) +
                           ":" + os_dirname(programPath);
  char found[kLineSize];
  // The search leaves the file it found open for reading.
  int fd = -1;
  const int code = os_search(path.c_str(), ".braxel", found, sizeof found, &fd);
  if (code != kFound) {
    std::fprintf(G->serverInterface->X_ErrOut,
                 "%sCan't open resource file `.braxel'<br>\nReason: %s<br>\n"
                 "The following search path was used: %s<br>\n",
                 kErrorHead, os_search_msg[code], path.c_str());
    serverExit(G);
  }
  ConfigFile file(fd);
  ResourceConfig* r = newDefaults(G, found);
  char buf[kLineSize];
  int position = 1;
  for (;;) {
    const long n = readLine(file, buf);
    if (n == 0) break;
    if (n < 0) formatError(G, file, r, "Error: Line too long<br>\n");
    parseLine(G, file, r, buf, static_cast<size_t>(n), &position);
  }
  file.close();
  for (char* ResourceConfig::*field : kDashFields)
    if (r->*field != nullptr && std::strcmp(r->*field, "-") == 0) (r->*field)[0] = '\0';
  return r;
}

int ConvertIncludePath(Globals* G, char** include, const char* configPath) {
  if (configPath == nullptr) return 1;
  const std::string dir = os_dirname(configPath);
  std::string converted;
  // Entry by entry; every ':' is copied, so empty entries keep their places.
  for (const char* p = *include != nullptr ? *include : ""; *p != '\0';) {
    const size_t n = std::strcspn(p, ":");
    if (n > 0 && *p != '/') converted += dir;
    converted.append(p, n);
    p += n;
    if (*p == ':') converted += *p++;
  }
  bxFree(*include);
  *include = STRDUP(G, converted.c_str());
  return 0;
}

void FreeResourceConfig(ResourceConfig* r) {
  if (r == nullptr) return;
  for (char* ResourceConfig::*field : kTextFields) bxFree(r->*field);
  bxDelete(r);
}
