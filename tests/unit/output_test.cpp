// output_test.cpp: the output channel (nested capture, overflow) and the
// HTML and URL escaping writers in both German-character modes. The file sink
// is checked through the error files of the end-to-end cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"

namespace {

struct Output : ::testing::Test {
  FoundationContext c;
  std::string capture(const std::function<void()>& f) { return CaptureOutput(c.G, f); }
  std::string put(const std::string& text, bool escape, long max = 6666666) {
    return capture([&] { wwwput(c.G, text.c_str(), escape, max); });
  }
};

std::string byte(int b) { return std::string(1, static_cast<char>(b)); }
const std::string kSpecial = "\"&<>^";
bool isSpecial(int b) { return kSpecial.find(static_cast<char>(b)) != std::string::npos; }

// ---- HTML escaping ----------------------------------------------------------

TEST_F(Output, BothGermanModesTheirTableEdgesMaxCountsSourceBytesAndLiteralHtml) {
  EXPECT_EQ("a&lt;b &amp; &quot;c&quot;", capture([&] { wwwputs(c.G, "a<b & \"c\""); }));
  EXPECT_EQ("x&icirc;y&gt;", put("x^y>", true));
  EXPECT_EQ("a<b & \"c\" ^ >", put("a<b & \"c\" ^ >", false));
  std::string others, text, expected;   // controls and bytes above 127 included
  for (int b = 1; b < 256; ++b)
    if (!isSpecial(b)) others += byte(b);
  EXPECT_EQ(others, put(others, true));
  for (int i = 0; i < 3000; ++i) text += "ab<", expected += "ab&lt;";   // several chunks
  EXPECT_EQ(expected, put(text, true));
  EXPECT_EQ("&lt;&lt;&lt;&lt;&lt;", put("<<<<<<<<", true, 5));
  EXPECT_EQ("", put("abc", true, 0));
  const char unterminated[3] = {'<', 'b', 'c'};
  EXPECT_EQ("&lt;b", capture([&] { wwwputn(c.G, unterminated, 2, true); }));
  // The German-character mode's table at the edges of its ranges, escaping or
  // not: controls and most of 127..159 dropped, the umlauts (also their code
  // page 437 codes) and 161..168 named, 169..255 numeric.
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchFalse);
  EXPECT_FALSE(GermanCharMode(c.G));
  c.setGerman(kSwitchTrue);
  std::string edges;
  for (int b : {1, 8, 9, 10, 11, 31, 32, 126, 127, 128, 129, 130, 131, 132, 133, 141, 142, 143, 147, 148,
                149, 152, 153, 154, 155, 159, 160, 161, 168, 169, 196, 214, 220, 223, 225, 228, 246, 252, 255})
    edges += byte(b);
  const std::string named = "\t\n ~&uuml;&auml;&Auml;&ouml;&Ouml;&Uuml;\xa0&iexcl;&uml;&#169;&Auml;&Ouml;&Uuml;"
                            "&szlig;&szlig;&auml;&ouml;&uuml;&#255;";
  EXPECT_EQ(named, put(edges, true));
  EXPECT_EQ(named, put(edges, false));
  EXPECT_EQ("&quot;&amp;&lt;&gt;&icirc;", put(kSpecial, true));
  EXPECT_EQ("&auml;&ouml;a", put("\xe4\r\xf6" "abc", true, 4)) << "dropped bytes count";
  // literal HTML is converted only in German mode
  const std::string html = "<b>Gr\xf6\xdf" "e</b>\r\n";
  c.setGerman(kSwitchFalse);
  EXPECT_EQ(html, capture([&] { wwwputhtml(c.G, html.c_str()); }));
  c.setGerman(kSwitchTrue);
  EXPECT_EQ("<b>Gr&ouml;&szlig;e</b>\n", capture([&] { wwwputhtml(c.G, html.c_str()); }));
}

TEST_F(Output, UrlEncodingOfEveryByteValue) {
  auto url = [&](const std::string& text) { return capture([&] { wwwputurl(c.G, text.c_str()); }); };
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

TEST_F(Output, NestedCapturesLandInTheirOwnBuffersAndTheClientReceivesAfterwards) {
  std::vector<char> outerStore(100), innerStore(100);
  CaptureBuffer outer = MakeCapture(outerStore.data(), outerStore.size());
  CaptureBuffer inner = MakeCapture(innerStore.data(), innerStore.size());
  FILE* page = c.G->serverInterface->X_Out;
  // Each capture as a query tag runs it.
  auto run = [&](CaptureBuffer* b, const std::function<void()>& body) {
    CaptureBuffer* saved = PQTBuffer;
    serverSendOutputToBuffer(c.G, b);
    body();
    if (saved == nullptr) serverSendOutputToClient();
    PQTBuffer = saved;
  };
  ::testing::internal::CaptureStdout();
  run(&outer, [&] {
    serverPuts("select ", page);
    run(&inner, [&] {
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

TEST_F(Output, OverflowIsCutSilentlyTheSameWayForEveryOperation) {
  std::vector<char> store(8);   // seven bytes of text
  CaptureBuffer b = MakeCapture(store.data(), store.size());
  appends(&b, "abcde");
  appendn(&b, "fghij", 4);
  appendc(&b, 'z');
  EXPECT_STREQ("abcdefg", store.data());
  CaptureBuffer p = MakeCapture(store.data(), store.size());
  serverSendOutputToBuffer(c.G, &p);
  serverPrintf(stdout, "%s-%d", "abc", 12345);
  serverPrintf(stdout, "%d", 9);
  EXPECT_STREQ("abc-123", store.data());
  // Longer than the formatting buffer: cut where a written text would be.
  std::vector<char> big(1001);
  CaptureBuffer q = MakeCapture(big.data(), big.size());
  serverSendOutputToBuffer(c.G, &q);
  serverPrintf(stdout, "%s", std::string(600, 'a').c_str());
  serverPrintf(stdout, "%s", std::string(600, 'b').c_str());
  EXPECT_EQ(std::string(600, 'a') + std::string(400, 'b'), std::string(big.data()));
}

}  // namespace
