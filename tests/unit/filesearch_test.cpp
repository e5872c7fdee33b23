// filesearch_test.cpp: path operations, the two searches and the
// include-name rule (the fatal include check is an end-to-end case).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <string>

#include "support/filesearch.h"
#include "tests/unit/testing.h"

namespace {

// A scratch folder that is also the current directory while it lives.
struct ScratchDir : ScratchFolder {
  const std::filesystem::path saved = std::filesystem::current_path();
  ScratchDir() { std::filesystem::current_path(path); }
  ~ScratchDir() { std::filesystem::current_path(saved); }
  void file(const std::string& name) const { put(name); }
  void dir(const std::string& name) const { std::filesystem::create_directories(path + "/" + name); }
};

// The result code and the found name, as "code name", of os_search or (with
// links given) of os_search_braxel.
std::string search(const char* path, const char* name, size_t size = 1024, int links = -1) {
  char out[4096];
  std::memset(out, 'Z', sizeof out);
  const int code =
      links < 0 ? os_search(path, name, out, size) : os_search_braxel(path, name, out, size, links != 0);
  return std::to_string(code) + " " + out;
}
std::string searchBraxel(const char* path, const char* name, bool links = true, size_t size = 1024) {
  return search(path, name, size, links);
}

}  // namespace

// ---- Path operations --------------------------------------------------------

TEST(PathOperations, DirnameBasenameAndAbsolute) {
  const char* const dirs[][2] = {{"page.brx", "./"}, {"", "./"},         {"/a/b/c.brx", "/a/b/"},
                                 {"/x", "/"},        {"a/b/", "a/b/"},    {"./braxel", "./"}};
  for (const auto& d : dirs) EXPECT_EQ(os_dirname(d[0]), d[1]) << d[0];
  const char* const bases[][3] = {{"/a/b/c.brx", ".brx", "c"},   {"/a/b/c.brx", ".BRX", "c.brx"},
                                  {"/a/b/c.brx", "", "c.brx"},   {"/a/b/c.brx", nullptr, "c.brx"},
                                  {"shop", nullptr, "shop"},     {"a/b/", nullptr, ""},
                                  {".brx", ".brx", ""}};
  for (const auto& b : bases) EXPECT_EQ(os_basename(b[0], b[1]), b[2]) << b[0];
  EXPECT_TRUE(os_isAbsolutePath("/etc"));
  EXPECT_FALSE(os_isAbsolutePath("etc/x"));
  EXPECT_FALSE(os_isAbsolutePath("./x"));
  EXPECT_FALSE(os_isAbsolutePath(""));
}

TEST(PathOperationsDeathTest, ANullPathIsAConsistencyFailure) {
  EXPECT_DEATH(os_isAbsolutePath(nullptr),
               "^filesearch:[0-9]+: os_isAbsolutePath: Assertion `path != \\(\\(void \\*\\)0\\)' failed.\n");
}

// ---- Include names ----------------------------------------------------------

TEST(IncludeNames, RelativeWithAnAllowedEnding) {
  for (const char* name : {"lib/menu.brx", "Menu.BRX", "old.dbh", "x.Braxel"})
    EXPECT_TRUE(os_IncludeFilename_Allowed(name)) << name;
  for (const char* name : {"/etc/menu.brx", "menu.txt", "menu", "menu.brx.bak", "lib.brx/menu", ""})
    EXPECT_FALSE(os_IncludeFilename_Allowed(name)) << name;
  EXPECT_FALSE(os_IncludeFilename_Allowed(nullptr));
}

// ---- os_search --------------------------------------------------------------

TEST(Search, EntriesAreTriedInOrderAndEmptyOnesSkipped) {
  ScratchDir d;
  d.file("b/x");
  const std::string a = d.path + "/a";
  const std::string b = d.path + "/b/";   // no second slash is added
  const std::string path = ":::" + a + "::" + b + ":";
  EXPECT_EQ(search(path.c_str(), "x"), "0 " + b + "x");
  d.file("a/x");
  EXPECT_EQ(search(path.c_str(), "x"), "0 " + a + "/x");
}

TEST(Search, NotFoundIllegalArgumentsAndNamesTooLongForTheBuffer) {
  ScratchDir d;
  d.file("x");
  d.dir("sub/x");
  // an empty path never tries the name alone; a directory is not a file
  for (const std::string& path : {std::string(), std::string(":::"), d.path + "/sub"})
    EXPECT_EQ(search(path.c_str(), "x"), "1 ") << path;
  EXPECT_EQ(search(d.path.c_str(), "nothing"), "1 ");
  EXPECT_EQ(search(nullptr, "x"), "3 ");
  EXPECT_EQ(search("/tmp", nullptr), "3 ");
  EXPECT_EQ(search("/tmp", ""), "3 ");
  EXPECT_EQ(searchBraxel(nullptr, "x"), "3 ");
  EXPECT_EQ(searchBraxel(".", ""), "3 ");
  EXPECT_EQ(searchBraxel(".", nullptr), "3 ");
  // entry with its slash, the name and 8 bytes of headroom
  const size_t need = d.path.size() + 1 + 1 + 8;
  EXPECT_EQ(search(d.path.c_str(), "x", need), "2 ");
  EXPECT_EQ(search(d.path.c_str(), "x", need + 1), "0 " + d.path + "/x");
  EXPECT_EQ(search(d.path.c_str(), "x", 4), "2 ");   // the entry alone does not fit
  EXPECT_EQ(searchBraxel(d.path.c_str(), "x", true, need), "2 ");
}

// ---- os_search_braxel -------------------------------------------------------

TEST(SearchBraxel, EmptyPathOrAbsoluteNameTriesTheNameAndDotSlashPiecesGo) {
  ScratchDir d;
  d.file("page.brx");
  EXPECT_EQ(searchBraxel("", "page.brx"), "0 page.brx");
  const std::string abs = d.path + "/page.brx";
  EXPECT_EQ(searchBraxel("/nonexistent", abs.c_str()), "0 " + abs);
  EXPECT_EQ(searchBraxel("", "missing.brx"), "1 ");
  EXPECT_EQ(searchBraxel("", "page.brx", true, 8), "2 ");
  d.file("hf/shop");
  d.file("lib/x/menu.brx");
  EXPECT_EQ(searchBraxel(".", "hf/shop"), "0 hf/shop");
  EXPECT_EQ(searchBraxel("./lib/./x", "menu.brx"), "0 lib/x/menu.brx");
  EXPECT_EQ(searchBraxel("nothing:././lib/x/", "menu.brx"), "0 lib/x/menu.brx");
  ASSERT_EQ(chdir("hf"), 0);
  EXPECT_EQ(searchBraxel("../lib/x", "menu.brx"), "0 ../lib/x/menu.brx");
}

TEST(SearchBraxel, SymbolicLinksArePassedOverOnlyWhenNotAllowed) {
  ScratchDir d;
  d.file("real/menu.brx");
  d.file("second/menu.brx");
  d.dir("links");
  ASSERT_EQ(symlink("../real/menu.brx", "links/menu.brx"), 0);
  EXPECT_EQ(searchBraxel("links:second", "menu.brx", true), "0 links/menu.brx");
  EXPECT_EQ(searchBraxel("links:second", "menu.brx", false), "0 second/menu.brx");
  EXPECT_EQ(searchBraxel("links", "menu.brx", false), "1 ");
}
