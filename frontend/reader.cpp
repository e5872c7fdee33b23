// reader.cpp: the entries that find, read and parse a template file or a
// computed text into a syntax tree.
#include "frontend/reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "diag/errorpages.h"
#include "diag/messages.h"
#include "driver/config.h"
#include "driver/globals.h"
#include "frontend/parser.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "frontend/tree.h"
#include "interp/builtins.h"
#include "support/filesearch.h"
#include "support/idents.h"
#include "support/memory.h"
#include "support/system.h"

const char* dbhLastFoundFile(Globals* G) {
  const char* f = G->serverInterface->X_FoundFile;
  return f[0] != '\0' ? f : nullptr;
}

// The search that begins every read of a template file: false when the
// file is not found (X_FoundFile empty). The file found stays open: *fd,
// which parseFound reads or the caller closes.
static bool searchTemplate(Globals* G, const char* name, const char* path, bool linksAllowed, int* fd) {
  dbhInitSource(G);
  G->Errors->X_NoErrors = 1;
  BeginScanner(G, false);
  char found[kFoundFileSize];
  *fd = -1;
  if (os_search_braxel(path, name, found, sizeof found, linksAllowed, fd) != kFound) {
    G->serverInterface->X_FoundFile[0] = '\0';
    return false;
  }
  // The stored name stays put for the whole run: the syntax-error page and
  // its re-read may hold on to it.
  std::memcpy(G->serverInterface->X_FoundFile, found, std::strlen(found) + 1);
  return true;
}

// Reads and parses the file found, open as fd; null when it cannot be read
// after all.
static Token* parseFound(Globals* G, bool* opened, int fd) {
  BeginFile(G, G->serverInterface->X_FoundFile, fd);
  *opened = G->Scanner->errorIndication == 0;
  if (!*opened) {
    // found a moment ago, but it cannot be opened now: not found after all
    G->serverInterface->X_FoundFile[0] = '\0';
    CloseScanner(G);
    return nullptr;
  }
  StartInputState(G);
  Parser(G);
  Token* tree = G->Parser->root;
  CloseScanner(G);
  SetMarkerRecording(G, false);
  return tree;
}

Token* dbhReadFileInternal(Globals* G, const char* name, const char* path,
                           bool linksAllowed, bool showErrors) {
  int fd = -1;
  if (!searchTemplate(G, name, path, linksAllowed, &fd)) return nullptr;
  bool opened = false;
  Token* tree = parseFound(G, &opened, fd);
  if (opened && G->Errors->X_NoErrors == 0 && showErrors)
    ShowSyntaxErrors(G, tree, G->serverInterface->X_FoundFile);
  return tree;
}

Token* dbhReadFile(Globals* G, const char* name, const char* path, bool linksAllowed) {
  return dbhReadFileInternal(G, name, path, linksAllowed, false);
}

Token* dbhReadFileHandle(Globals* G, const char* name, const char* path,
                         bool linksAllowed) {
  return dbhReadFileInternal(G, name, path, linksAllowed, true);
}

Token* dbhReadString(Globals* G, const char* text) {
  if (text == nullptr) return nullptr;
  dbhInitSource(G);
  BeginScanner(G, false);
  BeginStringInput(G, text);
  if (G->Scanner->errorIndication != 0) return nullptr;
  StartInputState(G);
  Parser(G);
  Token* tree = G->Parser->root;
  CloseScanner(G);
  return tree;
}

// ---------------------------------------------------------------------------
// The template cache
//
// A process that serves many requests keeps the tree of each main template
// it parsed, and the next request for the template takes the tree instead of
// parsing it again while neither the template nor any file it included at
// parse time has changed (device, inode, size and modification time of
// each). Taking it leaves the request as the parse would have left it:
//   - the made identifiers: a parse makes the names it meets in the order it
//     meets them, and their numbers depend on the names the request made
//     before (form fields): the names are made again in that order, and the
//     tree's name fields are set to the numbers they have now, and the
//     calls bound to the built-ins of that name;
//   - the definition table and the include-once registry: replayed;
//   - the budget: what the parse charged besides the three above (nodes,
//     buffers, the file names) is charged in one sum, and the unused rest of
//     the parse's last chunk comes first for later nodes (PrepaidChunk).
// A parse that stored a message (syntax errors, warnings) is not kept, nor
// one of a file changed within the last kSettleSeconds: a change in the
// same tick of the file system's clock would not show in the stamp.
// The cache is process-wide: it outlives the request cycles. It is charged
// to no request; kCacheBytes (by what the parses charged) and kCacheEntries
// bound it, the least recently used template going first.

namespace {

constexpr size_t kCacheEntries = 512;
constexpr int64_t kCacheBytes = int64_t{64} << 20;
constexpr time_t kSettleSeconds = 2;

// A name field of the tree and the index of its name in CachedTemplate::names.
struct NameField {
  Ident* field;
  uint32_t name;
};

struct CachedTemplate {
  std::string key;
  std::vector<SourceFile> files;     // the template and its includes, as parsed
  Token* root;
  TreeStore trees;
  IncludeOnceNode* fileNames;        // the names the positions point to
  std::vector<std::string> names;    // the made names, in the order the parse met them
  std::vector<NameField> nameFields;
  std::vector<Token*> calls;         // the function calls (their built-ins bound again)
  std::vector<Token*> definitions;   // in the order they were made
  std::vector<std::string> includeOnce;   // in the order they were registered
  int64_t parseCharge;               // what the parse charged besides the above
  size_t chunkLeft;
  int readMode;
  uint64_t lastUse;
};

// Keyed by the file found and the include path (see keyOf).
struct TemplateCache {
  std::unordered_map<std::string, std::unique_ptr<CachedTemplate>> entries;
  int64_t bytes = 0;
  uint64_t clock = 0;
};

// A CGI run never touches the cache: the flag is all it costs at start-up,
// and the cache itself is made on its first use.
bool cacheOn = false;

TemplateCache& theCache() {
  static TemplateCache cache;
  return cache;
}

std::string keyOf(const char* found, const char* includePath) {
  std::string key = found;
  key += '\0';
  key += includePath != nullptr ? includePath : "";
  return key;
}

bool sameStatus(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool unchanged(const CachedTemplate& e) {
  for (const SourceFile& f : e.files) {
    struct stat now;
    if (stat(f.name.c_str(), &now) != 0 || !sameStatus(now, f.status)) return false;
  }
  return true;
}

void drop(Globals* G, CachedTemplate* e) {
  TemplateCache& cache = theCache();
  FreeTrees(G, &e->trees);
  for (IncludeOnceNode* n = e->fileNames; n != nullptr;) {
    IncludeOnceNode* next = n->next;
    bxFree(n->name);
    bxFree(n);
    n = next;
  }
  cache.bytes -= e->parseCharge;
  cache.entries.erase(e->key);
}

// Every node of the tree, once: the walk follows each link a node kind uses
// (a definition's prevDef leads to earlier definitions of the parse, a
// constant's to other constants, which hold no names).
std::vector<Token*> nodesOf(Token* root) {
  std::vector<Token*> nodes;
  std::unordered_set<Token*> seen;
  std::vector<Token*> pending{root};
  while (!pending.empty()) {
    Token* t = pending.back();
    pending.pop_back();
    if (t == nullptr || !seen.insert(t).second) continue;
    nodes.push_back(t);
    Token* links[kMaxTokenLinks];
    const int n = TokenLinks(t, links);
    pending.insert(pending.end(), links, links + n);
  }
  return nodes;
}

// Keeps a tree that was parsed under the logs: the request goes on as if
// it had been parsed the ordinary way.
void keep(Globals* G, Token* root, SourceLog& files, const IdentLog& idents,
          const DefinitionLog& definitions, int64_t charged) {
  TemplateCache& cache = theCache();
  auto kept = std::make_unique<CachedTemplate>();
  CachedTemplate* e = kept.get();
  e->key = keyOf(G->serverInterface->X_FoundFile, G->serverInterface->X_IncludePath);
  e->files = std::move(files.files);
  e->root = root;
  e->trees = TakeTrees(G, &e->chunkLeft);
  PrepaidChunk(G, e->chunkLeft);
  e->fileNames = G->Source->ownedNames;
  G->Source->ownedNames = nullptr;
  e->readMode = G->Source->X_ReadParameters;
  e->definitions = definitions.made;
  for (const IncludeOnceNode* n = G->Source->includeOnce; n != nullptr; n = n->next)
    e->includeOnce.insert(e->includeOnce.begin(), n->name);
  e->parseCharge = charged - idents.charged - definitions.charged - files.onceCharged;

  // The made names in the order of their first lookup, and each name field
  // of the tree by the index of its name.
  std::unordered_map<Ident, uint32_t> index;
  for (const Ident id : idents.looked) {
    if (index.count(id) != 0) continue;
    index.emplace(id, static_cast<uint32_t>(e->names.size()));
    e->names.emplace_back(GetStringIdent(G, id), GetLengthIdent(G, id));
  }
  for (Token* t : nodesOf(root)) {
    for (Ident* field : {&t->name, &t->qualifier}) {
      const auto at = index.find(*field);
      if (at != index.end()) e->nameFields.push_back(NameField{field, at->second});
    }
    if (t->kind == TKfuncall) e->calls.push_back(t);
  }
  e->lastUse = ++cache.clock;
  cache.bytes += e->parseCharge;
  cache.entries[e->key] = std::move(kept);
  // The least recently used go while the cache is over its bounds.
  while (cache.entries.size() > kCacheEntries || (cache.bytes > kCacheBytes && cache.entries.size() > 1)) {
    CachedTemplate* oldest = nullptr;
    for (const auto& [key, c] : cache.entries)
      if (c.get() != e && (oldest == nullptr || c->lastUse < oldest->lastUse)) oldest = c.get();
    drop(G, oldest);
  }
}

// The request takes the kept tree as the parse would have left it.
Token* reuse(Globals* G, CachedTemplate* e) {
  e->lastUse = ++theCache().clock;
  std::vector<Ident> numbers;
  numbers.reserve(e->names.size());
  for (const std::string& name : e->names) numbers.push_back(MakeIdent(G, name.data(), name.size()));
  for (const NameField& f : e->nameFields) *f.field = numbers[f.name];
  // Slot caches stay: a stamp is never given twice, so one from an earlier
  // request matches no tuple of this one.
  for (Token* t : e->calls) t->builtin = FindFunction(G, t->name);
  for (Token* def : e->definitions) ActivateDefinition(G, def);
  for (const std::string& name : e->includeOnce) dbhRegisterIncludeOnce(G, name.c_str());
  Charge(G, static_cast<size_t>(e->parseCharge));
  PrepaidChunk(G, e->chunkLeft);
  G->Source->X_ReadParameters = e->readMode;
  CloseScanner(G);
  SetMarkerRecording(G, false);
  G->Parser->root = e->root;
  return e->root;
}

// The logs of a parse, attached while it runs (also when a fatal error
// ends it).
struct ParseWatch {
  Globals* G;
  SourceLog files{{}, 0};
  IdentLog idents{{}, 0};
  DefinitionLog definitions{{}, 0};
  explicit ParseWatch(Globals* g) : G(g) {
    G->Source->X_Log = &files;
    G->Idents->X_Log = &idents;
    G->token->X_Log = &definitions;
  }
  ~ParseWatch() {
    G->Source->X_Log = nullptr;
    G->Idents->X_Log = nullptr;
    G->token->X_Log = nullptr;
  }
  ParseWatch(const ParseWatch&) = delete;
  ParseWatch& operator=(const ParseWatch&) = delete;
};

// Parses the template found under the logs and keeps the tree when it may.
Token* parseAndKeep(Globals* G, bool* opened, int fd) {
  const MessageRecord* lastMessage = G->Errors->tail;
  const int64_t before = G->serverInterface->X_MemLeft;
  ParseWatch watch(G);
  Token* tree = parseFound(G, opened, fd);
  const int64_t charged = before - G->serverInterface->X_MemLeft;
  SourceLog& files = watch.files;
  const IdentLog& idents = watch.idents;
  const DefinitionLog& definitions = watch.definitions;
  if (!*opened || tree == nullptr || G->Errors->X_NoErrors == 0 || G->Errors->tail != lastMessage)
    return tree;
  const time_t settled = std::time(nullptr) - kSettleSeconds;
  for (const SourceFile& f : files.files)
    if (f.status.st_mtim.tv_sec >= settled) return tree;
  keep(G, tree, files, idents, definitions, charged);
  return tree;
}

}  // namespace

void TemplateCacheStart() { cacheOn = true; }

void TemplateCacheClear(Globals* G) {
  if (!cacheOn) return;
  TemplateCache& cache = theCache();
  while (!cache.entries.empty()) drop(G, cache.entries.begin()->second.get());
}

int64_t TemplateCacheBytes() { return cacheOn ? theCache().bytes : 0; }

Token* dbhReadTemplate(Globals* G, const char* name, const char* path, bool linksAllowed) {
  if (!cacheOn || !SwitchNotOff(Cfg(G).templatecache))
    return dbhReadFileInternal(G, name, path, linksAllowed, true);
  TemplateCache& cache = theCache();
  int fd = -1;
  if (!searchTemplate(G, name, path, linksAllowed, &fd)) return nullptr;
  const auto at = cache.entries.find(keyOf(G->serverInterface->X_FoundFile, G->serverInterface->X_IncludePath));
  if (at != cache.entries.end()) {
    if (unchanged(*at->second)) {
      Close(fd);
      return reuse(G, at->second.get());
    }
    drop(G, at->second.get());
  }
  bool opened = false;
  Token* tree = parseAndKeep(G, &opened, fd);
  if (opened && G->Errors->X_NoErrors == 0) ShowSyntaxErrors(G, tree, G->serverInterface->X_FoundFile);
  return tree;
}
