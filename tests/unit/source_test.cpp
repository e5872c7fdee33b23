// source_test.cpp: the source module's read modes, the stack of open sources
// with their names, and the include-once registry.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "tests/unit/testing.h"

namespace {

class SourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearRequest();
    G = NewTestGlobals();
    dir = std::filesystem::temp_directory_path() /
          ("source_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    FinalizeAllGV(G);
    clearRequest();
    std::filesystem::remove_all(dir);
  }
  static void clearRequest() {
    unsetenv("REQUEST_METHOD");
    unsetenv("QUERY_STRING");
  }

  std::string write(const std::string& name, const std::string& content) {
    const std::filesystem::path p = dir / name;
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }

  std::string read(int fd, size_t size) {
    std::string buffer(size, '\0');
    const long n = GetLine(G, fd, buffer.data(), size);
    EXPECT_GE(n, 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

  // A pipe holding text, closed for writing; returns the reading end.
  int pipeWith(const std::string& text) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    return fds[0];
  }

  Globals* G = nullptr;
  std::filesystem::path dir;
};

// ---------------------------------------------------------------------------
// Dynamic text

TEST_F(SourceTest, DynamicTextInLoads) {
  const std::string text(4096, 'd');
  dbhInitSource(G);
  BeginString(G, text.c_str());
  EXPECT_EQ(G->Source->X_ReadParameters, 1);
  EXPECT_EQ(read(0, 4096), text);
  EXPECT_EQ(G->Source->X_ReadParameters, 2);
  EXPECT_EQ(read(0, 4096), "");
  dbhInitSource(G);
  BeginString(G, "abcdefghijklmnopqrst");
  EXPECT_EQ(read(0, 8), "abcdefgh");
  EXPECT_EQ(read(0, 8), "ijklmnop");
  EXPECT_EQ(G->Source->X_ReadParameters, 1);
  EXPECT_EQ(read(0, 8), "qrst");
  EXPECT_EQ(read(0, 8), "");
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  EXPECT_STREQ(G->Source->fileNames[1], "** DYNAMIC TEXT **");
  EXPECT_STREQ(G->ScannerAttribute->pos.file, "** DYNAMIC TEXT **");
  EXPECT_EQ(G->Source->includeNames[1], nullptr);
}

// ---------------------------------------------------------------------------
// Form parameters

TEST_F(SourceTest, GetQueryStringIsCutAtOneLoadAlsoThroughTheScanner) {
  EXPECT_EQ(G->Source->X_ReadParameters, 3);
  EXPECT_EQ(G->Source->X_FileStackTop, 0);
  setenv("REQUEST_METHOD", "GET", 1);
  const std::string query = "n=" + std::string(10000, 'q');
  setenv("QUERY_STRING", query.c_str(), 1);
  EXPECT_EQ(read(0, 8192), query.substr(0, 8192));
  EXPECT_EQ(G->Source->X_ReadParameters, 2);
  EXPECT_EQ(read(0, 8192), "");
  // through the scanner
  dbhInitSource(G);
  G->Source->X_ReadParameters = 3;
  BeginScanner(G, true);
  ASSERT_EQ(GetToken(G), tkFormName);
  size_t value = 0;
  int code;
  while ((code = GetToken(G)) == tkFormValue) value += static_cast<size_t>(G->ScannerAttribute->string.size);
  EXPECT_EQ(code, tkEndOfFile);
  EXPECT_EQ(value, 8192u - 2u);   // the first buffer load holds "n=" and the start
}

TEST_F(SourceTest, OtherMethodsReadTheDescriptorAndDecodeTextComesFirst) {
  // get in lower case is not GET: the body comes from the descriptor
  setenv("REQUEST_METHOD", "get", 1);
  setenv("QUERY_STRING", "from=query", 1);
  int fd = pipeWith("from=body");
  EXPECT_EQ(read(fd, 4), "from");
  EXPECT_EQ(G->Source->X_ReadParameters, 3);   // later calls read on
  EXPECT_EQ(read(fd, 100), "=body");
  EXPECT_EQ(read(fd, 100), "");
  close(fd);
  // (POST, no method and GET without a query string are form cases end to
  // end.) Text to decode is read instead of the request.
  setenv("REQUEST_METHOD", "GET", 1);
  G->Source->X_ReadParameters = 3;
  G->Source->formText = "from=text";
  EXPECT_EQ(read(0, 4), "from");
  EXPECT_EQ(read(0, 100), "=text");
  EXPECT_EQ(G->Source->formText, nullptr);
  EXPECT_EQ(read(0, 100), "");
}

// ---------------------------------------------------------------------------
// The stack of open sources

TEST_F(SourceTest, FilesOpenAndCloseInNestedLevelsAndMissingOnesChangeNothing) {
  const std::string a = write("a.brx", "AAAA");
  const std::string b = write("b.brx", "BB");
  dbhInitSource(G);
  const int fa = BeginSource(G, a.c_str());
  ASSERT_GE(fa, 1);
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  EXPECT_EQ(G->Source->X_ReadParameters, 0);
  EXPECT_EQ(std::string(G->ScannerAttribute->pos.file), a);
  EXPECT_EQ(read(fa, 2), "AA");
  // a missing file changes nothing
  G->Scanner->errorIndication = 4;
  EXPECT_LT(BeginSource(G, (dir / "missing.brx").c_str()), 1);
  EXPECT_EQ(G->Scanner->errorIndication, 0);   // cleared by the attempt
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  EXPECT_EQ(std::string(G->ScannerAttribute->pos.file), a);

  const int fb = BeginSource(G, b.c_str());
  ASSERT_GE(fb, 1);
  dbhSetIncludeName(G, "b.brx", 5);
  EXPECT_EQ(G->Source->X_FileStackTop, 2);
  EXPECT_STREQ(dbhCurrentIncludeName(G), "b.brx");
  EXPECT_EQ(std::string(G->ScannerAttribute->pos.file), b);
  EXPECT_EQ(read(fb, 10), "BB");
  EXPECT_EQ(SourceSizeHint(G, fb), 2);
  CloseSource(G, fb);

  // back in the includer: its name and its descriptor
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  EXPECT_EQ(std::string(G->ScannerAttribute->pos.file), a);
  EXPECT_EQ(dbhCurrentIncludeName(G), nullptr);
  EXPECT_EQ(read(fa, 10), "AA");
  CloseSource(G, fa);
  EXPECT_EQ(G->Source->X_FileStackTop, 0);
  // the name stays valid for positions after the file is closed
  EXPECT_EQ(std::string(G->ScannerAttribute->pos.file), a);
}

TEST_F(SourceTest, IncludeInsideDynamicTextResumesTheTextAndInitCornerCases) {
  const std::string inc = write("inc.brx", "III");
  dbhInitSource(G);
  BeginString(G, "0123456789");
  EXPECT_EQ(read(0, 4), "0123");
  const int fd = BeginSource(G, inc.c_str());
  ASSERT_GE(fd, 1);
  EXPECT_EQ(read(fd, 10), "III");
  CloseSource(G, fd);
  EXPECT_EQ(G->Source->X_ReadParameters, 1);
  EXPECT_STREQ(G->ScannerAttribute->pos.file, kDynamicTextName);
  EXPECT_EQ(read(fd, 10), "456789");
  EXPECT_EQ(read(fd, 10), "");
  // closing descriptor 0 or closing in read mode 2 changes nothing
  dbhInitSource(G);
  BeginString(G, "x");
  CloseSource(G, 0);
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  EXPECT_EQ(read(0, 10), "x");
  CloseSource(G, 5);   // read mode 2: nothing happens
  EXPECT_EQ(G->Source->X_FileStackTop, 1);
  dbhRegisterIncludeOnce(G, "kept.brx");
  dbhInitSource(G);
  BeginString(G, "a");
  BeginString(G, "b");
  EXPECT_EQ(G->Source->X_FileStackTop, 2);
  G->Source->X_ReadParameters = 3;
  dbhInitSource(G);
  EXPECT_EQ(G->Source->X_FileStackTop, 0);
  EXPECT_EQ(G->Source->fileNames[1], nullptr);
  EXPECT_EQ(G->Source->X_ReadParameters, 3);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "kept.brx"), 1);
}

// ---------------------------------------------------------------------------
// The include-once registry

TEST_F(SourceTest, IncludeOnceComparesNamesAsWritten) {
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "a.brx"), 0);
  std::string name = "a.brx";
  dbhRegisterIncludeOnce(G, name.c_str());
  name = "zzzzz";   // the registry keeps its own copy
  dbhRegisterIncludeOnce(G, "lib/b.brx");
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "a.brx"), 1);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "lib/b.brx"), 1);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "./a.brx"), 0);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "A.brx"), 0);
  EXPECT_EQ(dbhCheckInIncludeOnce(G, "a.br"), 0);
}

}  // namespace
