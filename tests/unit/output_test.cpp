// output_test.cpp: the output channel (sinks, nested capture, overflow) and
// the HTML and URL escaping writers in both German-character modes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

std::string put(FoundationContext& c, const std::string& text, bool escape, long max = 6666666) {
  return CaptureOutput(c.G, [&] { wwwput(c.G, text.c_str(), escape, max); });
}
std::string url(FoundationContext& c, const std::string& text) {
  return CaptureOutput(c.G, [&] { wwwputurl(c.G, text.c_str()); });
}
std::string byte(int b) { return std::string(1, static_cast<char>(b)); }

// ---- HTML escaping, German-character mode off -------------------------------

TEST(Escaping, TheFiveSpecialCharacters) {
  FoundationContext c;
  EXPECT_EQ("a&lt;b &amp; &quot;c&quot;", CaptureOutput(c.G, [&] { wwwputs(c.G, "a<b & \"c\""); }));
  EXPECT_EQ("x&icirc;y", CaptureOutput(c.G, [&] { wwwputs(c.G, "x^y"); }));
  EXPECT_EQ("a&gt;b", put(c, "a>b", true));
  EXPECT_EQ("a<b & \"c\" ^ >", put(c, "a<b & \"c\" ^ >", false));
  EXPECT_EQ("'single' stays", put(c, "'single' stays", true));
}

TEST(Escaping, WithoutGermanModeHighBytesAndControlsPass) {
  FoundationContext c;
  std::string all;
  for (int b = 1; b < 256; ++b)
    if (std::string("\"&<>^").find(static_cast<char>(b)) == std::string::npos) all += byte(b);
  EXPECT_EQ(all, put(c, all, true));
  EXPECT_EQ(all, put(c, all, false));
}

TEST(Escaping, MaxCountsSourceBytes) {
  FoundationContext c;
  EXPECT_EQ("&lt;&lt;&lt;&lt;&lt;", put(c, "<<<<<<<<", true, 5));
  EXPECT_EQ("abc", put(c, "abcdef", true, 3));
  EXPECT_EQ("", put(c, "abc", true, 0));
  EXPECT_EQ("ab", CaptureOutput(c.G, [&] { wwwputn(c.G, "abcdef", 2, true); }));
  const char unterminated[3] = {'<', 'b', 'c'};
  EXPECT_EQ("&lt;b", CaptureOutput(c.G, [&] { wwwputn(c.G, unterminated, 2, true); }));
}

TEST(Escaping, LongTextsPassWhole) {
  FoundationContext c;
  std::string text, expected;
  for (int i = 0; i < 3000; ++i) {
    text += "ab<";
    expected += "ab&lt;";
  }
  EXPECT_EQ(expected, put(c, text, true));
}

// ---- HTML escaping, German-character mode on --------------------------------

TEST(GermanEscaping, TheModeIsOnOnlyWhenTheSwitchIsTrue) {
  FoundationContext c;
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchFalse);
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchTrue);
  EXPECT_TRUE(GermanCharMode(c.G));
}

TEST(GermanEscaping, UmlautsSharpSAndDroppedCarriageReturn) {
  FoundationContext c;
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("Gr&ouml;&szlig;e", put(c, "Gr\xf6\xdf" "e", true));
  EXPECT_EQ("line1\nline2", put(c, "line1\r\nline2", true));
  EXPECT_EQ("&#233;", put(c, byte(233), true));
  EXPECT_EQ("a\tb", put(c, "a\tb", true));
}

TEST(GermanEscaping, TheWholeByteTable) {
  FoundationContext c;
  c.setGerman(kSwitchTrue);
  const std::vector<int> dropped = {0x01, 8, 11, 13, 31, 127, 128, 130, 131, 133, 141,
                                    143, 147, 149, 152, 155, 159};
  for (int b : dropped) EXPECT_EQ("", put(c, byte(b), true)) << b;
  for (int b : {9, 10, 32, 65, 126, 160}) EXPECT_EQ(byte(b), put(c, byte(b), true)) << b;
  const char* const latin[] = {"&iexcl;", "&cent;", "&pound;", "&curren;",
                               "&yen;", "&brkbar;", "&sect;", "&uml;"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(latin[i], put(c, byte(161 + i), true));
  const std::vector<std::pair<int, std::string>> named = {
      {196, "&Auml;"}, {214, "&Ouml;"}, {220, "&Uuml;"}, {228, "&auml;"}, {246, "&ouml;"},
      {252, "&uuml;"}, {223, "&szlig;"}, {225, "&szlig;"}, {132, "&auml;"}, {148, "&ouml;"},
      {129, "&uuml;"}, {142, "&Auml;"}, {153, "&Ouml;"}, {154, "&Uuml;"}};
  for (const auto& [b, entity] : named) {
    EXPECT_EQ(entity, put(c, byte(b), true)) << b;
    EXPECT_EQ(entity, put(c, byte(b), false)) << b << " converts without escaping too";
  }
  for (int b : {169, 170, 195, 197, 224, 233, 255})
    EXPECT_EQ("&#" + std::to_string(b) + ";", put(c, byte(b), true)) << b;
}

TEST(GermanEscaping, SpecialCharactersFollowTheEscapeFlag) {
  FoundationContext c;
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("&quot;&amp;&lt;&gt;&icirc;", put(c, "\"&<>^", true));
  EXPECT_EQ("\"&<>^", put(c, "\"&<>^", false));
}

TEST(GermanEscaping, MaxCountsSourceBytesIncludingDroppedOnes) {
  FoundationContext c;
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("&auml;&ouml;a", put(c, "\xe4\r\xf6" "abc", true, 4));
}

TEST(GermanEscaping, LiteralHtmlIsConvertedOnlyInGermanMode) {
  FoundationContext c;
  const std::string html = "<b>Gr\xf6\xdf" "e</b>\r\n";
  EXPECT_EQ(html, CaptureOutput(c.G, [&] { wwwputhtml(c.G, html.c_str()); }));
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("<b>Gr&ouml;&szlig;e</b>\n", CaptureOutput(c.G, [&] { wwwputhtml(c.G, html.c_str()); }));
}

// ---- URL encoding -----------------------------------------------------------

TEST(UrlEncoding, Examples) {
  FoundationContext c;
  EXPECT_EQ("a+b%2fc%3fd%3de", url(c, "a b/c?d=e"));
  EXPECT_EQ("x.y-z_1*", url(c, "x.y-z_1*"));
  EXPECT_EQ("%0a%7f%80%ff%01", url(c, "\n\x7f\x80\xff\x01"));
}

TEST(UrlEncoding, EverySpecialCharacterIsEncodedAndTheRestPasses) {
  FoundationContext c;
  const std::string special = "!\"#$%&'()+,/:;<=>?[\\]^`{|}~";
  for (char ch : special) {
    char expected[4];
    std::snprintf(expected, sizeof expected, "%%%02x", static_cast<unsigned char>(ch));
    EXPECT_EQ(expected, url(c, std::string(1, ch))) << ch;
  }
  const std::string plain = "ABCXYZabcxyz0189*-.@_";
  EXPECT_EQ(plain, url(c, plain));
}

// ---- Sinks and capture --------------------------------------------------------

TEST(Capture, NestedCapturesLandInTheirOwnBuffers) {
  FoundationContext c;
  std::vector<char> outerStore(100), innerStore(100);
  CaptureBuffer outer = MakeCapture(outerStore.data(), outerStore.size());
  CaptureBuffer inner = MakeCapture(innerStore.data(), innerStore.size());
  FILE* page = c.G->serverInterface->X_Out;

  // The outer capture, as a query tag starts it.
  CaptureBuffer* saved = PQTBuffer;
  ASSERT_EQ(nullptr, saved);
  serverSendOutputToBuffer(c.G, &outer);
  serverPuts("select ", page);
  {
    CaptureBuffer* savedInner = PQTBuffer;
    serverSendOutputToBuffer(c.G, &inner);
    serverPrintf(page, "%d", 42);
    wwwputs(c.G, "<x>");
    if (savedInner == nullptr) serverSendOutputToClient();
    PQTBuffer = savedInner;
  }
  serverPutc('*', page);
  if (saved == nullptr) serverSendOutputToClient();
  PQTBuffer = saved;

  EXPECT_STREQ("42&lt;x&gt;", innerStore.data());
  EXPECT_STREQ("select *", outerStore.data());
  EXPECT_EQ(nullptr, PQTBuffer);
  // The client receives output again (the capture helper sees the slots
  // switch back to the buffer sink from the client sink).
  EXPECT_EQ("back", CaptureOutput(c.G, [&] { serverPuts("back", page); }));
}

TEST(Capture, OverflowIsCutSilentlyTheSameWayForEveryOperation) {
  std::vector<char> store(8);   // seven bytes of text
  CaptureBuffer b = MakeCapture(store.data(), store.size());
  appends(&b, "abcde");
  appends(&b, "fghij");
  EXPECT_STREQ("abcdefg", store.data());
  appendc(&b, 'z');
  EXPECT_STREQ("abcdefg", store.data());

  CaptureBuffer p = MakeCapture(store.data(), store.size());
  CaptureBuffer* saved = PQTBuffer;
  serverSendOutputToBuffer(nullptr, &p);
  serverPrintf(stdout, "%s-%d", "abc", 12345);
  EXPECT_STREQ("abc-123", store.data());
  serverPrintf(stdout, "%d", 9);
  EXPECT_STREQ("abc-123", store.data());

  // A long formatted text, cut where a written one would be cut.
  std::vector<char> big(1001);
  CaptureBuffer q = MakeCapture(big.data(), big.size());
  serverSendOutputToBuffer(nullptr, &q);
  serverPrintf(stdout, "%s", std::string(600, 'a').c_str());
  serverPrintf(stdout, "%s", std::string(600, 'b').c_str());
  EXPECT_EQ(std::string(600, 'a') + std::string(400, 'b'), std::string(big.data()));
  serverSendOutputToClient();
  PQTBuffer = saved;
}

TEST(Capture, AppendnCopiesCountedBytes) {
  std::vector<char> store(16);
  CaptureBuffer b = MakeCapture(store.data(), store.size());
  appendn(&b, "abcdef", 3);
  appendn(&b, "xyz", 0);
  EXPECT_STREQ("abc", store.data());
  EXPECT_EQ(store.data() + 3, b.pos);
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
