// source_test.cpp: the source module's reading of form parameters (the query
// string cut at one load, other methods, text to decode). Files, dynamic text,
// the stack of open sources and the include-once registry are read through
// the scanner (scanner_test, scanner.case).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/globals.h"
#include "frontend/scanner.h"
#include "frontend/source.h"
#include "tests/unit/testing_core.h"

namespace {

class SourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearRequest();
    G = NewTestGlobals();
  }
  void TearDown() override {
    FinalizeAllGV(G);
    clearRequest();
  }
  static void clearRequest() {
    unsetenv("REQUEST_METHOD");
    unsetenv("QUERY_STRING");
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
};

// ---- Form parameters --------------------------------------------------------

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

}  // namespace
