// output_test.cpp: the output channel (sinks, nested capture, overflow) and
// the HTML and URL escaping writers in both German-character modes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

std::string put(FoundationContext& c, const std::string& text, bool escape, long max = 6666666) {
  return CaptureOutput(c.G, [&] { wwwput(c.G, text.c_str(), escape, max); });
}
std::string byte(int b) { return std::string(1, static_cast<char>(b)); }

// ---- HTML escaping ----------------------------------------------------------

TEST(Escaping, GermanModeOffConvertsOnlyTheFiveSpecialCharacters) {
  FoundationContext c;
  EXPECT_EQ("a&lt;b &amp; &quot;c&quot;", CaptureOutput(c.G, [&] { wwwputs(c.G, "a<b & \"c\""); }));
  EXPECT_EQ("x&icirc;y&gt;", put(c, "x^y>", true));
  EXPECT_EQ("a<b & \"c\" ^ >", put(c, "a<b & \"c\" ^ >", false));
  std::string others;   // every other byte, controls and bytes above 127 included
  for (int b = 1; b < 256; ++b)
    if (std::string("\"&<>^").find(static_cast<char>(b)) == std::string::npos) others += byte(b);
  EXPECT_EQ(others, put(c, others, true));
  // Longer than one chunk of the writer.
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) text += "ab<", expected += "ab&lt;";
  EXPECT_EQ(expected, put(c, text, true));
}

TEST(Escaping, MaxCountsSourceBytesDroppedOnesIncluded) {
  FoundationContext c;
  EXPECT_EQ("&lt;&lt;&lt;&lt;&lt;", put(c, "<<<<<<<<", true, 5));
  EXPECT_EQ("", put(c, "abc", true, 0));
  const char unterminated[3] = {'<', 'b', 'c'};
  EXPECT_EQ("&lt;b", CaptureOutput(c.G, [&] { wwwputn(c.G, unterminated, 2, true); }));
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("&auml;&ouml;a", put(c, "\xe4\r\xf6" "abc", true, 4));
}

TEST(Escaping, TheGermanModeIsOnOnlyWhenTheSwitchIsTrue) {
  FoundationContext c;
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchFalse);
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchTrue);
  EXPECT_TRUE(GermanCharMode(c.G));
  EXPECT_EQ("Gr&ouml;&szlig;e\n", put(c, "Gr\xf6\xdf" "e\r\n", true));
}

// Every byte value against the table of the German-character mode.
TEST(Escaping, GermanModeWholeByteTable) {
  FoundationContext c;
  c.setGerman(kSwitchTrue);
  std::vector<std::string> expected(256);
  auto range = [&](int from, int to, const std::string& out) {
    for (int b = from; b <= to; ++b) expected[b] = out;
  };
  for (int b = 9; b <= 160; ++b) expected[b] = byte(b);
  range(11, 31, "");
  range(127, 159, "");
  for (int b = 169; b <= 255; ++b) expected[b] = "&#" + std::to_string(b) + ";";
  const char* const latin[] = {"&iexcl;", "&cent;", "&pound;", "&curren;",
                               "&yen;",   "&brkbar;", "&sect;", "&uml;"};
  for (int i = 0; i < 8; ++i) expected[161 + i] = latin[i];
  const std::pair<int, const char*> named[] = {
      {196, "&Auml;"}, {214, "&Ouml;"}, {220, "&Uuml;"}, {228, "&auml;"}, {246, "&ouml;"},
      {252, "&uuml;"}, {223, "&szlig;"}, {225, "&szlig;"}, {132, "&auml;"}, {148, "&ouml;"},
      {129, "&uuml;"}, {142, "&Auml;"}, {153, "&Ouml;"}, {154, "&Uuml;"}};
  for (const auto& [b, entity] : named) expected[b] = entity;
  const std::string special = "\"&<>^";
  EXPECT_EQ("&quot;&amp;&lt;&gt;&icirc;", put(c, special, true));
  for (int b = 1; b < 256; ++b) {
    const bool isSpecial = special.find(static_cast<char>(b)) != std::string::npos;
    if (!isSpecial) {
      EXPECT_EQ(expected[b], put(c, byte(b), true)) << b;
    }
    EXPECT_EQ(isSpecial ? byte(b) : expected[b], put(c, byte(b), false)) << b;
  }
}

TEST(Escaping, LiteralHtmlIsConvertedOnlyInGermanMode) {
  FoundationContext c;
  const std::string html = "<b>Gr\xf6\xdf" "e</b>\r\n";
  EXPECT_EQ(html, CaptureOutput(c.G, [&] { wwwputhtml(c.G, html.c_str()); }));
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("<b>Gr&ouml;&szlig;e</b>\n", CaptureOutput(c.G, [&] { wwwputhtml(c.G, html.c_str()); }));
}

// ---- URL encoding -----------------------------------------------------------

TEST(UrlEncoding, EveryByteValue) {
  FoundationContext c;
  auto url = [&](const std::string& text) { return CaptureOutput(c.G, [&] { wwwputurl(c.G, text.c_str()); }); };
  EXPECT_EQ("a+b%2fc%3fd%3de", url("a b/c?d=e"));
  const std::string special = "!\"#$%&'()+,/:;<=>?[\\]^`{|}~";
  for (int b = 1; b < 256; ++b) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02x", b);
    const bool encoded = b < 32 || b > 126 || special.find(static_cast<char>(b)) != std::string::npos;
    EXPECT_EQ(b == ' ' ? "+" : encoded ? hex : byte(b), url(byte(b))) << b;
  }
}

// ---- Sinks and capture --------------------------------------------------------

TEST(Capture, NestedCapturesLandInTheirOwnBuffersAndTheClientReceivesAfterwards) {
  FoundationContext c;
  std::vector<char> outerStore(100), innerStore(100);
  CaptureBuffer outer = MakeCapture(outerStore.data(), outerStore.size());
  CaptureBuffer inner = MakeCapture(innerStore.data(), innerStore.size());
  FILE* page = c.G->serverInterface->X_Out;
  // Each capture as a query tag runs it.
  auto capture = [&](CaptureBuffer* b, const std::function<void()>& body) {
    CaptureBuffer* saved = PQTBuffer;
    serverSendOutputToBuffer(c.G, b);
    body();
    if (saved == nullptr) serverSendOutputToClient();
    PQTBuffer = saved;
  };
  ::testing::internal::CaptureStdout();
  capture(&outer, [&] {
    serverPuts("select ", page);
    capture(&inner, [&] {
      serverPrintf(page, "%d", 42);
      wwwputs(c.G, "<x>");
    });
    serverPutc('*', page);
  });
  serverPuts("back", page);
  std::fflush(page);
  EXPECT_EQ("back", ::testing::internal::GetCapturedStdout());
  EXPECT_STREQ("42&lt;x&gt;", innerStore.data());
  EXPECT_STREQ("select *", outerStore.data());
  EXPECT_EQ(nullptr, PQTBuffer);
}

TEST(Capture, OverflowIsCutSilentlyTheSameWayForEveryOperation) {
  std::vector<char> store(8);   // seven bytes of text
  CaptureBuffer b = MakeCapture(store.data(), store.size());
  appends(&b, "abcde");
  appendn(&b, "fghij", 4);
  appendc(&b, 'z');
  EXPECT_STREQ("abcdefg", store.data());

  CaptureBuffer p = MakeCapture(store.data(), store.size());
  serverSendOutputToBuffer(nullptr, &p);
  serverPrintf(stdout, "%s-%d", "abc", 12345);
  serverPrintf(stdout, "%d", 9);
  EXPECT_STREQ("abc-123", store.data());
  // A formatted text longer than the formatting buffer, cut where a written
  // one would be cut.
  std::vector<char> big(1001);
  CaptureBuffer q = MakeCapture(big.data(), big.size());
  serverSendOutputToBuffer(nullptr, &q);
  serverPrintf(stdout, "%s", std::string(600, 'a').c_str());
  serverPrintf(stdout, "%s", std::string(600, 'b').c_str());
  EXPECT_EQ(std::string(600, 'a') + std::string(400, 'b'), std::string(big.data()));
  serverSendOutputToClient();
  PQTBuffer = nullptr;
}

TEST(FileSink, OutputGoesToTheFileUntilTheClientSinkReturns) {
  FoundationContext c;
  FILE* f = std::tmpfile();
  ASSERT_NE(nullptr, f);
  serverSendOutputToFile(c.G, f);
  EXPECT_EQ(f, serverFileSink());
  serverPrintf(stdout, "n=%d;", 5);
  serverPuts("text", stdout);
  serverPutc('!', stdout);
  wwwputs(c.G, "<");
  serverSendOutputToClient();
  std::rewind(f);
  char line[64] = {};
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, f));
  EXPECT_STREQ("n=5;text!&lt;", line);
  std::fclose(f);
  serverSendOutputToFile(c.G, nullptr);
  serverSendOutputToClient();
}

}  // namespace
