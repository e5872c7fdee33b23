// config_test.cpp: the configuration file reader (words, positions, value
// types, the dash rule, the memory limit) and the include path conversion.
// Where the file is found and every refusal's page are end-to-end cases.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

std::string str(const char* s) { return s == nullptr ? "(null)" : s; }

// The text fields that the word rules reach, as one line.
std::string texts(const ResourceConfig& r) {
  return "user=" + str(r.user) + " passwd=" + str(r.passwd) + " dbname=" + str(r.dbname) +
         " admin=" + str(r.admin) + " debugdir=" + str(r.debugdir);
}

// The switches, as 0 (off), 1 (on) or 2 (not given).
std::string switches(const ResourceConfig& r) {
  const auto n = [](int v) { return std::to_string(v); };
  return "dbwrite=" + n(r.dbwrite) + " optconn=" + n(r.optconn) + " access=" + n(r.access) +
         " override=" + n(r.override_) + " symlink=" + n(r.symlink) + " ipcheck=" + n(r.sessionipcheck) +
         " secure=" + n(r.secure) + " german=" + n(r.germanchar) + " commit=" + n(r.autocommit);
}

// Reads text as the `.braxel` next to the program and keeps it as X_Resource.
class Reader : public testing::Test {
 protected:
  const ResourceConfig& read(const std::string& text) {
    FreeResourceConfig(G->serverInterface->X_Resource);
    folder_ = std::make_unique<ScratchFolder>();
    folder_->put(".braxel", text);
    G->serverInterface->X_Resource = readResourceFile(G, (folder_->path + "/braxel").c_str(), nullptr);
    return *G->serverInterface->X_Resource;
  }
  FoundationContext c;
  Globals* G = c.G;

 private:
  std::unique_ptr<ScratchFolder> folder_;
};

}  // namespace

// ---- Words, keys and positions ----------------------------------------------

TEST_F(Reader, CommentsBlankLinesAndWordRules) {
  const ResourceConfig& r = read("# a comment\n\n   \n   # indented comment\n");
  EXPECT_EQ(texts(r), "user=(null) passwd=(null) dbname=(null) admin=root debugdir=(null)");
  EXPECT_EQ(str(r.fileName).substr(str(r.fileName).size() - 8), "/.braxel");
  // before the file is read the built-in record answers
  EXPECT_EQ(str(Cfg(nullptr).admin), "root");
  EXPECT_EQ(Cfg(nullptr).access, kSwitchTrue);
  const char* const cases[][2] = {
      // positions run across lines; "-" is a don't-care; keys ignore case and blanks
      {"web\n-\nshop\n", "user=web passwd= dbname=shop"},
      {"USER = web\tName\t=\tshop", "user=web passwd=(null) dbname=shop"},
      // a named value takes no position: b goes to position 1
      {"user=a b\n", "user=b passwd=(null) dbname=(null)"},
      // a key alone at the line end stores nothing; the next line is positional
      {"dbname=\nx\n", "user=x passwd=(null) dbname=(null)"},
      {"access F\n", "user=access passwd=F dbname=(null)"},
      // empty values are ignored and take no position
      {"dbname=\"\" shop \"\" web\n", "user=web passwd=(null) dbname=shop"},
      {"\t#notacomment\n", "user=#notacomment passwd=(null) dbname=(null)"},
      {"user=web\r\ndbname=*\r\n", "user=web passwd=(null) dbname=*"},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(texts(read(text)).substr(0, std::strlen(expected)), expected) << text;
  EXPECT_EQ(texts(read("admin=\"Web Master <a=b>\" debugdir=\"/var/x y\n")),
            "user=(null) passwd=(null) dbname=(null) admin=Web Master <a=b> debugdir=/var/x y");
  // a NUL byte separates words; bytes above 127 belong to them
  static const char kNul[] = "dbname=a\0b\xe4\n";
  const ResourceConfig& nul = read(std::string(kNul, sizeof kNul - 1));
  EXPECT_EQ(str(nul.dbname), "a");
  EXPECT_EQ(str(nul.user), "b\xe4");
}

TEST_F(Reader, SynonymsAndAllTwentyEightPositions) {
  const ResourceConfig& syn = read(
      "password=p host=h allowwrite=T optimizeconnect=yes includepath=lib allowaccess=on "
      "allowoverride=F linksallowed=1 datasource=ds\n");
  EXPECT_EQ(str(syn.passwd) + " " + str(syn.dbhost) + " " + str(syn.include), "p ds lib");
  EXPECT_EQ(switches(syn),
            "dbwrite=1 optconn=1 access=1 override=0 symlink=1 ipcheck=2 secure=2 german=2 commit=2");
  const ResourceConfig& r = read(
      "u p d h T F inc F F T 99 0 30x /s F 1.2.3.4 bob /dbg adm F /log ms mp mpw T /sh T "
      "versioning\n");
  EXPECT_EQ(texts(r), "user=u passwd=p dbname=d admin=adm debugdir=/dbg");
  EXPECT_EQ(str(r.dbhost) + " " + str(r.include) + " " + str(r.sessiondir) + " " + str(r.debugip) + " " +
                str(r.debuguser) + " " + str(r.errorlog) + " " + str(r.mailservice) + " " +
                str(r.mailprofile) + " " + str(r.mailpassword) + " " + str(r.shelltemp),
            "h inc /s 1.2.3.4 bob /log ms mp mpw /sh");
  EXPECT_EQ(switches(r),
            "dbwrite=1 optconn=0 access=0 override=0 symlink=1 ipcheck=0 secure=0 german=1 commit=1");
  EXPECT_EQ(r.memlimit, 0);     // 99 went to the reserved position
  EXPECT_EQ(r.timelimit, 30);   // the leading digits
  EXPECT_EQ(r.isolation, 5);
}

// ---- Value types and the dash rule ------------------------------------------

TEST_F(Reader, SwitchWordsIsolationLevelsAndTheDashRule) {
  const std::pair<const char*, int> switches[] = {{"T", 1}, {"t", 1}, {"on", 1}, {"ON", 1}, {"Yes", 1}, {"1", 1},
                  {"F", 0}, {"true", 0}, {"01", 0}, {"no", 0}, {"off", 0}, {"y", 0}};
  for (const auto& [word, value] : switches) EXPECT_EQ(read(std::string("secure=") + word).secure, value) << word;
  const char* levels[] = {"default", "Read_Uncommitted", "READ_COMMITTED", "repeatable_read",
                          "serializable", "VERSIONING"};
  for (int level = 0; level < 6; ++level)
    EXPECT_EQ(read(std::string("isolation=") + levels[level]).isolation, level);
  const ResourceConfig& r = read(
      "user=- passwd=- dbname=- dbhost=- include=- sessiondir=- debugip=- debuguser=- "
      "debugdir=- admin=-\nerrorlog=- mailservice=- mailprofile=- mailpassword=- "
      "shelltemp=-\n");
  for (const char* v : {r.user, r.passwd, r.dbname, r.dbhost, r.include, r.sessiondir,
                        r.debugip, r.debuguser, r.debugdir, r.admin})
    EXPECT_EQ(str(v), "");
  for (const char* v : {r.errorlog, r.mailservice, r.mailprofile, r.mailpassword, r.shelltemp})
    EXPECT_EQ(str(v), "-");
  EXPECT_EQ(str(read("user=-x\n").user), "-x");
}

TEST_F(Reader, MemlimitSetsTheBudgetWhenRead) {
  read("user=a\nmemlimit=2\nuser=abcd\n");
  EXPECT_EQ(G->serverInterface->X_MemLeft, 2097152 - 5);   // what came after is charged
  read("memlimit=4096\n");
  EXPECT_EQ(G->serverInterface->X_MemLeft, int64_t{4096} * 1048576);
  read("memlimit=18446744073709551618\n");   // 2^64 + 2: no wrap to 2 MB
  EXPECT_GT(G->serverInterface->X_MemLeft, int64_t{1} << 62);
  const int64_t before = G->serverInterface->X_MemLeft;
  EXPECT_EQ(read("memlimit=0\n").memlimit, 0);
  EXPECT_EQ(read("memlimit=-3\n").memlimit, -3);
  EXPECT_GT(G->serverInterface->X_MemLeft, before - 100000);   // unchanged but for charges
  EXPECT_EQ(read("memlimit=+3x\n").memlimit, 3);
}

// ---- Include path conversion ------------------------------------------------

TEST(IncludePath, RelativeEntriesGoBelowTheConfigurationFolder) {
  FoundationContext c;
  Globals* G = c.G;
  const char* const cases[][3] = {  // include, configuration file, result
      {"lib:/usr/share/tags::x", "/srv/app/.braxel", "/srv/app/lib:/usr/share/tags::/srv/app/x"},
      {":a:", ".braxel", ":./a:"},
      {"", "/srv/.braxel", ""},
  };
  for (const auto& [given, config, expected] : cases) {
    char* include = STRDUP(G, given);
    EXPECT_EQ(ConvertIncludePath(G, &include, config), 0);
    EXPECT_STREQ(include, expected);
    bxFree(include);
  }
  char* include = STRDUP(G, "keep");
  EXPECT_EQ(ConvertIncludePath(G, &include, nullptr), 1);
  EXPECT_STREQ(include, "keep");
  bxFree(include);
}
