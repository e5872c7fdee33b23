// config_test.cpp: the configuration file reader, its defaults, the dash
// rule, the memory limit, the include path conversion and the error pages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "driver/config.h"
#include "driver/globals.h"
#include "support/memory.h"
#include "tests/unit/testing.h"

namespace {

// A program folder holding a `.braxel`; the reader finds it next to the
// program path <folder>/braxel.
class ConfigFolder {
 public:
  explicit ConfigFolder(const std::string& text, bool write = true) {
    char templ[] = "/tmp/braxel-cfg-XXXXXX";
    path_ = mkdtemp(templ);
    if (write) put(".braxel", text);
  }
  ~ConfigFolder() {
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {}
  }
  void put(const std::string& name, const std::string& text) const {
    const std::string full = path_ + "/" + name;
    const std::string cmd = "mkdir -p \"$(dirname '" + full + "')\"";
    if (std::system(cmd.c_str()) != 0) {}
    FILE* f = std::fopen(full.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::string program() const { return path_ + "/braxel"; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Reads the configuration of text and keeps it as X_Resource.
class Reader : public testing::Test {
 protected:
  void SetUp() override { G = NewTestGlobals(); }
  void TearDown() override { FinalizeAllGV(G); }
  const ResourceConfig& read(const std::string& text) {
    folder_ = std::make_unique<ConfigFolder>(text);
    G->serverInterface->X_Resource = readResourceFile(G, folder_->program().c_str(), nullptr);
    return *G->serverInterface->X_Resource;
  }
  Globals* G = nullptr;

 private:
  std::unique_ptr<ConfigFolder> folder_;
};

std::string str(const char* s) { return s == nullptr ? "(null)" : s; }

}  // namespace

// ---------------------------------------------------------------------------
// Defaults

TEST(Defaults, BeforeTheFileIsReadCfgGivesTheBuiltInRecord) {
  const ResourceConfig& d = Cfg(nullptr);
  EXPECT_EQ(str(d.include), "");
  EXPECT_EQ(str(d.sessiondir), "/tmp");
  EXPECT_EQ(str(d.shelltemp), "/tmp");
  EXPECT_EQ(str(d.admin), "root");
  EXPECT_EQ(d.access, kSwitchTrue);
  EXPECT_EQ(d.dbwrite, kSwitchNotGiven);
  EXPECT_EQ(d.user, nullptr);
  EXPECT_EQ(d.errorlog, nullptr);
  EXPECT_EQ(d.isolation, 0);
}

TEST_F(Reader, CommentsAndBlankLinesGiveTheDefaults) {
  const ResourceConfig& r = read("# a comment\n\n   \n   # indented comment\n");
  EXPECT_EQ(r.user, nullptr);
  EXPECT_EQ(r.dbname, nullptr);
  EXPECT_EQ(str(r.include), "");
  EXPECT_EQ(str(r.sessiondir), "/tmp");
  EXPECT_EQ(str(r.admin), "root");
  EXPECT_EQ(str(r.shelltemp), "/tmp");
  EXPECT_EQ(r.access, kSwitchTrue);
  EXPECT_EQ(r.override_, kSwitchTrue);
  EXPECT_EQ(r.secure, kSwitchNotGiven);
  EXPECT_EQ(r.sessionipcheck, kSwitchNotGiven);
  EXPECT_EQ(r.memlimit, 0);
  EXPECT_EQ(r.isolation, 0);
  EXPECT_NE(std::string(r.fileName).find("/.braxel"), std::string::npos);
  EXPECT_EQ(&Cfg(G), &r);
}

// ---------------------------------------------------------------------------
// Named and positional values

TEST_F(Reader, NamedPositionalAndLineByLineFormsAgree) {
  const char* forms[] = {"user=web dbname=shop\n", "web - shop\n", "web\n-\nshop\n",
                         "USER=web\nName=shop\n"};
  for (const char* text : forms) {
    SCOPED_TRACE(text);
    const ResourceConfig& r = read(text);
    EXPECT_EQ(str(r.user), "web");
    EXPECT_EQ(str(r.dbname), "shop");
    FreeResourceConfig(G->serverInterface->X_Resource);
    G->serverInterface->X_Resource = nullptr;
  }
}

TEST_F(Reader, NamedValuesDoNotMoveThePositionCounter) {
  const ResourceConfig& r = read("user=a b\n");
  EXPECT_EQ(str(r.user), "b");   // b went to position 1 and overwrote a
  EXPECT_EQ(r.passwd, nullptr);
}

TEST_F(Reader, SynonymsNameTheSameKeys) {
  const ResourceConfig& r = read(
      "password=p host=h allowwrite=T optimizeconnect=yes includepath=lib allowaccess=on "
      "allowoverride=F linksallowed=1 datasource=ds\n");
  EXPECT_EQ(str(r.passwd), "p");
  EXPECT_EQ(str(r.dbhost), "ds");
  EXPECT_EQ(r.dbwrite, kSwitchTrue);
  EXPECT_EQ(r.optconn, kSwitchTrue);
  EXPECT_EQ(str(r.include), "lib");
  EXPECT_EQ(r.access, kSwitchTrue);
  EXPECT_EQ(r.override_, kSwitchFalse);
  EXPECT_EQ(r.symlink, kSwitchTrue);
}

TEST_F(Reader, AKeyAloneAtTheLineEndStoresNothing) {
  const ResourceConfig& r = read("dbname=\nx\n");
  EXPECT_EQ(r.dbname, nullptr);
  EXPECT_EQ(str(r.user), "x");   // the next line is positional again
}

TEST_F(Reader, AccessWithoutEqualsIsTwoPositionalValues) {
  const ResourceConfig& r = read("access F\n");
  EXPECT_EQ(str(r.user), "access");
  EXPECT_EQ(str(r.passwd), "F");
  EXPECT_EQ(r.access, kSwitchTrue);
}

TEST_F(Reader, BlanksAroundTheEqualsSign) {
  const ResourceConfig& r = read("user = web\tdbname\t=\tshop\n");
  EXPECT_EQ(str(r.user), "web");
  EXPECT_EQ(str(r.dbname), "shop");
}

TEST_F(Reader, QuotedWordsKeepBlanksAndEquals) {
  const ResourceConfig& r = read("admin=\"Web Master <a=b>\" debugdir=\"/var/x y\n");
  EXPECT_EQ(str(r.admin), "Web Master <a=b>");
  EXPECT_EQ(str(r.debugdir), "/var/x y");   // ends at the line end
}

TEST_F(Reader, AnEmptyValueChangesNothing) {
  const ResourceConfig& r = read("dbname=\"\" shop \"\" web\n");
  EXPECT_EQ(str(r.dbname), "shop");   // the pending key took the next value
  EXPECT_EQ(str(r.user), "web");      // and the empty words took no position
  EXPECT_EQ(r.passwd, nullptr);
}

TEST_F(Reader, ATabBeforeTheHashMakesAnOrdinaryWord) {
  const ResourceConfig& r = read("\t#notacomment\n");
  EXPECT_EQ(str(r.user), "#notacomment");
}

TEST_F(Reader, CarriageReturnsEndWords) {
  const ResourceConfig& r = read("user=web\r\ndbname=shop\r\n");
  EXPECT_EQ(str(r.user), "web");
  EXPECT_EQ(str(r.dbname), "shop");
}

TEST_F(Reader, TheReservedPositionIsAcceptedAndIgnored) {
  std::string line;
  for (int i = 1; i <= 12; ++i) line += "v" + std::to_string(i) + " ";
  const ResourceConfig& r = read(line + "\n");
  EXPECT_EQ(str(r.user), "v1");
  EXPECT_EQ(str(r.include), "v7");
  EXPECT_EQ(r.memlimit, 0);   // "v12" has no digits
}

TEST_F(Reader, AllTwentyEightPositions) {
  const ResourceConfig& r = read(
      "u p d h T F inc F F T ignored 0 30 /s F 1.2.3.4 bob /dbg adm F /log ms mp mpw T /sh T "
      "versioning\n");
  EXPECT_EQ(str(r.user), "u");
  EXPECT_EQ(str(r.dbhost), "h");
  EXPECT_EQ(r.dbwrite, kSwitchTrue);
  EXPECT_EQ(r.access, kSwitchFalse);
  EXPECT_EQ(r.symlink, kSwitchTrue);
  EXPECT_EQ(r.timelimit, 30);
  EXPECT_EQ(str(r.sessiondir), "/s");
  EXPECT_EQ(r.sessionipcheck, kSwitchFalse);
  EXPECT_EQ(str(r.debugip), "1.2.3.4");
  EXPECT_EQ(str(r.debuguser), "bob");
  EXPECT_EQ(str(r.debugdir), "/dbg");
  EXPECT_EQ(str(r.admin), "adm");
  EXPECT_EQ(r.secure, kSwitchFalse);
  EXPECT_EQ(str(r.errorlog), "/log");
  EXPECT_EQ(str(r.mailservice), "ms");
  EXPECT_EQ(str(r.mailprofile), "mp");
  EXPECT_EQ(str(r.mailpassword), "mpw");
  EXPECT_EQ(r.germanchar, kSwitchTrue);
  EXPECT_EQ(str(r.shelltemp), "/sh");
  EXPECT_EQ(r.autocommit, kSwitchTrue);
  EXPECT_EQ(r.isolation, 5);
}

// ---------------------------------------------------------------------------
// Value types

TEST_F(Reader, SwitchWords) {
  struct Case {
    const char* word;
    int value;
  } cases[] = {{"T", 1}, {"t", 1}, {"on", 1}, {"ON", 1}, {"Yes", 1}, {"1", 1},
               {"F", 0}, {"true", 0}, {"01", 0}, {"no", 0}, {"off", 0}, {"y", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    const ResourceConfig& r = read(std::string("secure=") + c.word + "\n");
    EXPECT_EQ(r.secure, c.value);
    FreeResourceConfig(G->serverInterface->X_Resource);
    G->serverInterface->X_Resource = nullptr;
  }
}

TEST_F(Reader, IsolationLevelsIgnoreCase) {
  const char* names[] = {"default", "Read_Uncommitted", "READ_COMMITTED", "repeatable_read",
                         "serializable", "VERSIONING"};
  for (int level = 0; level < 6; ++level) {
    SCOPED_TRACE(names[level]);
    const ResourceConfig& r = read(std::string("isolation=") + names[level] + "\n");
    EXPECT_EQ(r.isolation, level);
    FreeResourceConfig(G->serverInterface->X_Resource);
    G->serverInterface->X_Resource = nullptr;
  }
}

TEST_F(Reader, IntegersTakeTheLeadingDigits) {
  const ResourceConfig& r = read("timelimit=42abc\n");
  EXPECT_EQ(r.timelimit, 42);
}

// ---------------------------------------------------------------------------
// The memory limit

TEST_F(Reader, MemlimitSetsTheBudgetWhenRead) {
  read("user=a\nmemlimit=2\n");
  EXPECT_EQ(G->serverInterface->X_MemLeft, 2097152);
}

TEST_F(Reader, AllocationsAfterMemlimitAreCharged) {
  read("memlimit=2\nuser=abcd\n");
  EXPECT_EQ(G->serverInterface->X_MemLeft, 2097152 - 5);
}

TEST_F(Reader, LargeMemlimitWorksInSixtyFourBits) {
  read("memlimit=4096\n");
  EXPECT_EQ(G->serverInterface->X_MemLeft, int64_t{4096} * 1048576);
}

TEST_F(Reader, ZeroOrNegativeMemlimitLeavesTheBudget) {
  const int64_t before = G->serverInterface->X_MemLeft;
  const ResourceConfig& r = read("memlimit=0\n");
  EXPECT_EQ(r.memlimit, 0);
  EXPECT_LE(G->serverInterface->X_MemLeft, before);
  EXPECT_GT(G->serverInterface->X_MemLeft, before - 100000);
  FreeResourceConfig(G->serverInterface->X_Resource);
  G->serverInterface->X_Resource = nullptr;
  const ResourceConfig& n = read("memlimit=-3\n");
  EXPECT_EQ(n.memlimit, -3);
  EXPECT_GT(G->serverInterface->X_MemLeft, before - 200000);
}

// ---------------------------------------------------------------------------
// The dash rule

TEST_F(Reader, DashEmptiesOnlyTheDontCareFields) {
  const ResourceConfig& r = read(
      "user=- passwd=- dbname=- dbhost=- include=- sessiondir=- debugip=- debuguser=- "
      "debugdir=- admin=-\nerrorlog=- mailservice=- mailprofile=- mailpassword=- "
      "shelltemp=-\n");
  for (const char* v : {r.user, r.passwd, r.dbname, r.dbhost, r.include, r.sessiondir,
                        r.debugip, r.debuguser, r.debugdir, r.admin})
    EXPECT_EQ(str(v), "");
  for (const char* v : {r.errorlog, r.mailservice, r.mailprofile, r.mailpassword, r.shelltemp})
    EXPECT_EQ(str(v), "-");
}

TEST_F(Reader, DbnameStarIsKept) {
  const ResourceConfig& r = read("dbname=*\n");
  EXPECT_EQ(str(r.dbname), "*");
}

// ---------------------------------------------------------------------------
// Line length

TEST_F(Reader, ALineOf1022CharactersIsAccepted) {
  const ResourceConfig& r = read(std::string(1022, 'a') + "\n");
  EXPECT_EQ(std::string(r.user), std::string(1022, 'a'));
}

TEST_F(Reader, ALastLineWithoutLineFeedIsRead) {
  const ResourceConfig& r = read("user=web");
  EXPECT_EQ(str(r.user), "web");
}

// ---------------------------------------------------------------------------
// Where the file is found

TEST(Locate, TheTemplateFolderComesBeforeTheProgramFolder) {
  Globals* G = NewTestGlobals();
  ConfigFolder program("user=program\n");
  ConfigFolder templ("user=template\n");
  const std::string page = templ.path() + "/page.brx";
  ResourceConfig* r = readResourceFile(G, program.program().c_str(), page.c_str());
  EXPECT_EQ(str(r->user), "template");
  EXPECT_EQ(str(r->fileName), templ.path() + "/.braxel");
  FreeResourceConfig(r);
  ConfigFolder bare("", false);
  const std::string other = bare.path() + "/page.brx";
  r = readResourceFile(G, program.program().c_str(), other.c_str());
  EXPECT_EQ(str(r->user), "program");
  FreeResourceConfig(r);
  FinalizeAllGV(G);
}

// ---------------------------------------------------------------------------
// Include path conversion

TEST(IncludePath, RelativeEntriesGoBelowTheConfigurationFolder) {
  Globals* G = NewTestGlobals();
  char* include = STRDUP(G, "lib:/usr/share/tags::x");
  EXPECT_EQ(ConvertIncludePath(G, &include, "/srv/app/.braxel"), 0);
  EXPECT_STREQ(include, "/srv/app/lib:/usr/share/tags::/srv/app/x");
  bxFree(include);

  include = STRDUP(G, ":a:");
  ConvertIncludePath(G, &include, ".braxel");
  EXPECT_STREQ(include, ":./a:");
  bxFree(include);

  include = STRDUP(G, "");
  ConvertIncludePath(G, &include, "/srv/.braxel");
  EXPECT_STREQ(include, "");
  bxFree(include);

  include = STRDUP(G, "keep");
  EXPECT_EQ(ConvertIncludePath(G, &include, nullptr), 1);
  EXPECT_STREQ(include, "keep");
  bxFree(include);
  FinalizeAllGV(G);
}

// ---------------------------------------------------------------------------
// Error pages end the request with status 1

namespace {
// Runs the reader on text with the error pages on standard error.
void readToStderr(const std::string& text, bool write = true) {
  Globals* G = NewTestGlobals();
  G->serverInterface->X_ErrOut = stderr;
  ConfigFolder folder(text, write);
  readResourceFile(G, folder.program().c_str(), nullptr);
  std::exit(0);
}
}  // namespace

TEST(ConfigDeathTest, UnknownKey) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readToStderr("user=a\ncolour=blue\n"), testing::ExitedWithCode(1),
              "invalid format.*Error: Unknown parameter name \"colour\"\\.<br>\n$");
}

TEST(ConfigDeathTest, TooManyParameters) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string line;
  for (int i = 1; i <= 27; ++i) line += "x ";
  EXPECT_EXIT(readToStderr(line + "default\nextra\n"), testing::ExitedWithCode(1),
              "Each line is limited to a maximum of 1024 characters.<br>\n"
              "Error: Too many parameters.<br>\n$");
}

TEST(ConfigDeathTest, UnknownIsolationLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readToStderr("isolation=2\n"), testing::ExitedWithCode(1),
              "Error: Value '2' unknown for isolation parameter.<br>\n$");
}

TEST(ConfigDeathTest, LineTooLong) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readToStderr(std::string(1023, 'a') + "\n"), testing::ExitedWithCode(1),
              "Error: Line too long<br>\n$");
}

TEST(ConfigDeathTest, MissingFileNamesTheSearchPath) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readToStderr("", false), testing::ExitedWithCode(1),
              "Can't open resource file `.braxel'<br>\nReason: File not found in search "
              "path<br>\nThe following search path was used: :/tmp/braxel-cfg-[^/]*/<br>\n$");
}
