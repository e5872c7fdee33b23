// filesearch_test.cpp: path operations, the two searches and the
// include-name rule.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/globals.h"
#include "support/filesearch.h"
#include "tests/unit/testing.h"

namespace {

// A scratch directory that is also the current directory while it lives.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/braxel-fs-XXXXXX";
    path_ = mkdtemp(templ);
    char here[4096];
    saved_ = getcwd(here, sizeof here);
    EXPECT_EQ(chdir(path_.c_str()), 0);
  }
  ~ScratchDir() {
    if (chdir(saved_.c_str()) != 0) {}
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {}
  }
  const std::string& path() const { return path_; }
  void file(const std::string& name, const std::string& text = "x") const {
    const std::string full = path_ + "/" + name;
    const size_t slash = full.rfind('/');
    const std::string cmd = "mkdir -p '" + full.substr(0, slash) + "'";
    if (std::system(cmd.c_str()) != 0) {}
    FILE* f = std::fopen(full.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  void dir(const std::string& name) const {
    const std::string cmd = "mkdir -p '" + path_ + "/" + name + "'";
    if (std::system(cmd.c_str()) != 0) {}
  }

 private:
  std::string path_;
  std::string saved_;
};

struct Search {
  int code;
  std::string out;
};

Search search(const char* path, const char* name, size_t size = 1024) {
  char out[4096];
  std::memset(out, 'Z', sizeof out);
  const int code = os_search(path, name, out, size);
  return {code, out};
}

Search searchBraxel(const char* path, const char* name, bool links = true,
                    size_t size = 1024) {
  char out[4096];
  std::memset(out, 'Z', sizeof out);
  const int code = os_search_braxel(path, name, out, size, links);
  return {code, out};
}

}  // namespace

// ---------------------------------------------------------------------------
// Path operations

TEST(PathOperations, DirnameKeepsTheLastSlashOrGivesDotSlash) {
  EXPECT_EQ(os_dirname("page.brx"), "./");
  EXPECT_EQ(os_dirname(""), "./");
  EXPECT_EQ(os_dirname("/a/b/c.brx"), "/a/b/");
  EXPECT_EQ(os_dirname("/x"), "/");
  EXPECT_EQ(os_dirname("a/b/"), "a/b/");
  EXPECT_EQ(os_dirname("./braxel"), "./");
}

TEST(PathOperations, BasenameCutsOnlyAnExactSuffix) {
  EXPECT_EQ(os_basename("/a/b/c.brx", ".brx"), "c");
  EXPECT_EQ(os_basename("/a/b/c.brx", ".BRX"), "c.brx");
  EXPECT_EQ(os_basename("/a/b/c.brx", ""), "c.brx");
  EXPECT_EQ(os_basename("/a/b/c.brx", nullptr), "c.brx");
  EXPECT_EQ(os_basename("shop", nullptr), "shop");
  EXPECT_EQ(os_basename("a/b/", nullptr), "");
  EXPECT_EQ(os_basename(".brx", ".brx"), "");
}

TEST(PathOperations, AbsoluteMeansALeadingSlash) {
  EXPECT_TRUE(os_isAbsolutePath("/etc"));
  EXPECT_FALSE(os_isAbsolutePath("etc/x"));
  EXPECT_FALSE(os_isAbsolutePath("./x"));
  EXPECT_FALSE(os_isAbsolutePath(""));
}

TEST(PathOperations, SearchTextsStandByTheirCodes) {
  EXPECT_STREQ(os_search_msg[kFound], "File found in search path");
  EXPECT_STREQ(os_search_msg[kNotFound], "File not found in search path");
  EXPECT_STREQ(os_search_msg[kNameTooLong], "Resulting file name too long");
  EXPECT_STREQ(os_search_msg[kIllegalSearch], "Illegal search path or name");
}

// ---------------------------------------------------------------------------
// Include names

TEST(IncludeNames, RelativeWithAnAllowedEnding) {
  EXPECT_TRUE(os_IncludeFilename_Allowed("lib/menu.brx"));
  EXPECT_TRUE(os_IncludeFilename_Allowed("Menu.BRX"));
  EXPECT_TRUE(os_IncludeFilename_Allowed("old.dbh"));
  EXPECT_TRUE(os_IncludeFilename_Allowed("x.Braxel"));
  EXPECT_FALSE(os_IncludeFilename_Allowed("/etc/menu.brx"));
  EXPECT_FALSE(os_IncludeFilename_Allowed("menu.txt"));
  EXPECT_FALSE(os_IncludeFilename_Allowed("menu"));
  EXPECT_FALSE(os_IncludeFilename_Allowed("menu.brx.bak"));
  EXPECT_FALSE(os_IncludeFilename_Allowed("lib.brx/menu"));
  EXPECT_FALSE(os_IncludeFilename_Allowed(""));
  EXPECT_FALSE(os_IncludeFilename_Allowed(nullptr));
}

// ---------------------------------------------------------------------------
// os_search

TEST(Search, EntriesAreTriedInOrderAndEmptyOnesSkipped) {
  ScratchDir d;
  d.file("b/x");
  const std::string a = d.path() + "/a";
  const std::string b = d.path() + "/b";
  const std::string path = ":::" + a + "::" + b + ":";
  Search r = search(path.c_str(), "x");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, b + "/x");
  d.file("a/x");
  r = search(path.c_str(), "x");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, a + "/x");
}

TEST(Search, AnEntryEndingInSlashGetsNoSecondSlash) {
  ScratchDir d;
  d.file("cfg/.braxel");
  const std::string path = d.path() + "/cfg/";
  const Search r = search(path.c_str(), ".braxel");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, d.path() + "/cfg/.braxel");
}

TEST(Search, EmptyPathNeverTriesTheNameAlone) {
  ScratchDir d;
  d.file("x");
  Search r = search("", "x");
  EXPECT_EQ(r.code, kNotFound);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(search(":::", "x").code, kNotFound);
}

TEST(Search, MissingFileLeavesOutEmpty) {
  ScratchDir d;
  const Search r = search(d.path().c_str(), "nothing");
  EXPECT_EQ(r.code, kNotFound);
  EXPECT_EQ(r.out, "");
}

TEST(Search, IllegalArguments) {
  EXPECT_EQ(search(nullptr, "x").code, kIllegalSearch);
  EXPECT_EQ(search("/tmp", nullptr).code, kIllegalSearch);
  EXPECT_EQ(search("/tmp", "").code, kIllegalSearch);
}

TEST(Search, ADirectoryIsNotAFile) {
  ScratchDir d;
  d.dir("sub/x");
  const std::string path = d.path() + "/sub";
  EXPECT_EQ(search(path.c_str(), "x").code, kNotFound);
}

TEST(Search, EntryPlusNameNeedingTheBufferIsTooLong) {
  ScratchDir d;
  d.file("x");
  // entry with its slash, the name and 8 bytes of headroom
  const size_t need = d.path().size() + 1 + 1 + 8;
  Search r = search(d.path().c_str(), "x", need);
  EXPECT_EQ(r.code, kNameTooLong);
  EXPECT_EQ(r.out, "");
  r = search(d.path().c_str(), "x", need + 1);
  EXPECT_EQ(r.code, kFound);
  // an entry that does not fit at all
  EXPECT_EQ(search(d.path().c_str(), "x", 4).code, kNameTooLong);
}

// ---------------------------------------------------------------------------
// os_search_braxel

TEST(SearchBraxel, EmptyPathOrAbsoluteNameTriesTheNameItself) {
  ScratchDir d;
  d.file("page.brx");
  Search r = searchBraxel("", "page.brx");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "page.brx");
  const std::string abs = d.path() + "/page.brx";
  r = searchBraxel("/nonexistent", abs.c_str());
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, abs);
  r = searchBraxel("", "missing.brx");
  EXPECT_EQ(r.code, kNotFound);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(searchBraxel("", "page.brx", true, 8).code, kNameTooLong);
}

TEST(SearchBraxel, DotSearchesTheCurrentDirectory) {
  ScratchDir d;
  d.file("hf/shop");
  const Search r = searchBraxel(".", "hf/shop");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "hf/shop");
}

TEST(SearchBraxel, DotSlashPiecesAreRemovedFromEntries) {
  ScratchDir d;
  d.file("lib/x/menu.brx");
  Search r = searchBraxel("./lib/./x", "menu.brx");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "lib/x/menu.brx");
  r = searchBraxel("nothing:././lib/x/", "menu.brx");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "lib/x/menu.brx");
}

TEST(SearchBraxel, DotDotStaysAsWritten) {
  ScratchDir d;
  d.file("lib/menu.brx");
  d.dir("work");
  ASSERT_EQ(chdir("work"), 0);
  const Search r = searchBraxel("../lib", "menu.brx");
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "../lib/menu.brx");
}

TEST(SearchBraxel, SymbolicLinksArePassedOverOnlyWhenNotAllowed) {
  ScratchDir d;
  d.file("real/menu.brx", "real");
  d.file("second/menu.brx", "second");
  d.dir("links");
  ASSERT_EQ(symlink("../real/menu.brx", "links/menu.brx"), 0);
  Search r = searchBraxel("links:second", "menu.brx", true);
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "links/menu.brx");
  r = searchBraxel("links:second", "menu.brx", false);
  EXPECT_EQ(r.code, kFound);
  EXPECT_EQ(r.out, "second/menu.brx");
  r = searchBraxel("links", "menu.brx", false);
  EXPECT_EQ(r.code, kNotFound);
}

TEST(SearchBraxel, IllegalArguments) {
  EXPECT_EQ(searchBraxel(nullptr, "x").code, kIllegalSearch);
  EXPECT_EQ(searchBraxel(".", "").code, kIllegalSearch);
  EXPECT_EQ(searchBraxel(".", nullptr).code, kIllegalSearch);
}

// ---------------------------------------------------------------------------
// The include-name check ends the request

TEST(IncludeCheckDeathTest, ForbiddenNameIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Globals* G = NewTestGlobals();
        G->serverInterface->X_Out = stderr;
        G->serverInterface->X_ErrOut = stderr;
        dbhCheckIncludeFilename(G, Position{3, 7, "page.brx"}, "/etc/passwd");
      },
      testing::ExitedWithCode(1), "Include filenames must  be relative and must end on .brx");
}

TEST(IncludeCheck, AllowedNameReturns) {
  Globals* G = NewTestGlobals();
  dbhCheckIncludeFilename(G, Position{1, 1, "page.brx"}, "lib/menu.brx");
  FinalizeAllGV(G);
  SUCCEED();
}
