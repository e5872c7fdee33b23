// cgi_test.cpp: form decoding into tuples (rules, limits, many fields) and
// the predefined variables a page cannot observe. The client address, form
// bodies on standard input and what templates see of the variables are
// end-to-end cases; random form input is in the fuzz corpus (form-*).
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "db/query.h"
#include "diag/messages.h"
#include "driver/cgi.h"
#include "driver/globals.h"
#include "frontend/source.h"
#include "interp/interpret.h"
#include "support/idents.h"
#include "support/memory.h"
#include "tests/unit/testing_core.h"
#include "values/value.h"

namespace {

class Cgi : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"REQUEST_METHOD", "QUERY_STRING", "REMOTE_ADDR", "CONTENT_LENGTH"}) unsetenv(v);
    G = NewTestGlobals();
  }
  void TearDown() override { FinalizeAllGV(G); }

  // The tuple decoded from text, written as {name="text",name={...}}; bytes
  // outside 32..126 as \xNN.
  std::string decode(const std::string& text) {
    Value form = dbhDecodeFormText(G, text.c_str());
    const std::string s = render(form);
    ReleaseValue(G, &form);
    return s;
  }
  std::string render(Value v) {
    if (v.type == tString) return "\"" + bytes(v.val.str, v.size) + "\"";
    if (v.type != tTuple) return std::string("<") + vTypeName[v.type] + ">";
    std::string s = "{";
    const Tuple* t = v.val.tuple.t;
    for (int32_t i = 0; i < t->logsize; ++i) {
      if (i > 0) s += ",";
      s += bytes(GetStringIdent(G, t->fields[i].name), GetLengthIdent(G, t->fields[i].name)) +
           "=" + render(t->fields[i].v);
    }
    return s + "}";
  }
  static std::string bytes(const char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      s += c >= 32 && c < 127 ? std::string(1, p[i]) : std::string("\\x") + digits[c >> 4] + digits[c & 15];
    }
    return s;
  }
  std::string text(Value v) {
    return v.type == tString ? std::string(v.val.str, static_cast<size_t>(v.size)) : "<not a text>";
  }

  Globals* G = nullptr;
};

}  // namespace

// ---- Form decoding ----------------------------------------------------------

TEST_F(Cgi, DecodingRulesOversizeValuesAndManyFieldsInTheirPlaces) {
  const char* const cases[][2] = {
      {"p.q=1&p.r=2&p.s.t=3", R"({p={q="1",r="2",s={t="3"}}})"},
      // the last occurrence wins at the place of the first; case does not matter
      {"a=1&b=5&A=2", R"({a="2",b="5"})"},
      {"Name=1&name=2", R"({Name="2"})"},
      {"flag&x=&y", R"({flag="",x="",y=""})"},
      {"", "{}"},
      {"&&&", "{}"},
      // names are taken unchanged; values are decoded
      {"%41=%41&a+b=x+y", R"({%41="A",a+b="x y"})"},
      {"c=%0D%0A1&d=1\r\n", R"({c="\x0a1",d="1\x0d"})"},
      {"a=x =y.z", R"({a="x =y.z"})"},
      {"=v&b=1", R"({b="1"})"},
      {"a=x\x7fy&b=%7F&c\x7f=1", R"({a="x\x7fy",b="\x7f",c\x7f="1"})"},
      // a dotted name turns a text into a tuple, a later value a tuple into a text
      {"a=1&a.b=2", R"({a={b="2"}})"},
      {"a.b=2&a=3", R"({a="3"})"},
      {"a.b=1&a=2&a.c=3&a.c.d=4&a.c=5", R"({a={c="5"}})"},
      // a "." not followed by a name is skipped
      {"a.=1&b=2", R"({a="1",b="2"})"},
      {"a..b=1&.c=2&d.", R"({a={b="1"},c="2",d=""})"},
      // a name is looked up in its own tuple only
      {"a.b=1&b=2&a.a=3", R"({a={b="1",a="3"},b="2"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c[0]), c[1]) << c[0];
  // an illegal percent is stored as a message and dropped; the Source module
  // reads as before
  EXPECT_EQ(G->Errors->X_NoErrors, 1);
  EXPECT_EQ(decode("a=%zz&b=%4&c=1"), R"({a="zz",b="4",c="1"})");
  EXPECT_EQ(G->Errors->X_NoErrors, 0);
  EXPECT_EQ(G->Source->formText, nullptr);
  const std::string z(32767, 'z'), piece(20000, 'x');
  EXPECT_EQ(decode("a=" + std::string(40000, 'x')), R"({a=""})");
  EXPECT_EQ(decode("a=" + std::string(32768, 'x')), R"({a=""})");
  EXPECT_EQ(decode("a=" + z + "+"), "{a=\"" + z + "\"}");
  EXPECT_EQ(decode("a=" + piece + "+" + piece + "+y"), "{a=\"" + piece + "  y\"}");
  std::string input, expected = "{";
  for (int i = 0; i < 3000; ++i) {
    const std::string n = std::to_string(i);
    input += "n" + n + "=" + n + "&t.m" + n + "=" + n + "&";
    expected += "n" + n + "=\"" + (i % 7 == 0 ? "again" : n) + "\",";
  }
  for (int i = 0; i < 3000; i += 7) input += "N" + std::to_string(i) + "=again&";
  Value form = dbhDecodeFormText(G, input.c_str());
  ASSERT_EQ(form.val.tuple.t->logsize, 3001);
  const Value* t = vGetField(form, MakeIdent(G, "t"));
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->type, tTuple);
  EXPECT_EQ(t->val.tuple.t->logsize, 3000);
  EXPECT_EQ(text(*vGetField(*t, MakeIdent(G, "m2999"))), "2999");
  std::string rendered = render(form);
  rendered.erase(rendered.find("t={"), rendered.find('}') - rendered.find("t={") + 2);
  EXPECT_EQ(rendered, expected.substr(0, expected.size() - 1) + "}");
  ReleaseValue(G, &form);
}

// ---- Variable reads ---------------------------------------------------------

// Each read of a text variable is a fresh temporary that its reader frees
// (not marked, it would leak at every read); the current column of a query.
TEST_F(Cgi, FreshTemporariesTheCurrentColumnAndTheLocalClock) {
  Value os = GetLocalVariable(G, nullValue, IdSrvOs), again = GetLocalVariable(G, nullValue, IdSrvOs);
  EXPECT_TRUE(IsTemp(os));
  EXPECT_NE(os.val.str, again.val.str);
  Field f{MakeIdent(G, "price"), MakeInteger(42)};
  G->query->X_CurrentField = &f;
  Value name = GetLocalVariable(G, nullValue, IdSrvFname);
  EXPECT_EQ(text(name), "price");
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvField).val.Integer, 42);
  G->query->X_CurrentField = nullptr;
  for (Value* v : {&os, &again, &name}) ReleaseValue(G, v);
  // The clock read through a fixed zone, against the UTC clock moved by hand.
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved != nullptr ? saved : "";
  setenv("TZ", "XYZ-5:30", 1);
  constexpr long kOffset = 5 * 3600 + 30 * 60;
  // The seconds of the clock the variables read: std::time() can lag it
  // by a tick at a second boundary.
  auto clockSeconds = [] {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return std::time_t{tv.tv_sec};
  };
  const std::time_t before = clockSeconds();
  const int32_t date = GetLocalVariable(G, nullValue, IdSrvDate).val.Integer;
  const int32_t now = GetLocalVariable(G, nullValue, IdSrvTime).val.Integer;
  const std::time_t after = clockSeconds();
  auto dateAt = [](std::time_t t) {
    t += kOffset;
    std::tm u{};
    gmtime_r(&t, &u);
    return (u.tm_year + 1900) * 10000 + (u.tm_mon + 1) * 100 + u.tm_mday;
  };
  EXPECT_TRUE(date == dateAt(before) || date == dateAt(after)) << date;
  const long seconds = now / 10000000 * 3600 + now / 100000 % 100 * 60 + now / 1000 % 100;
  const long from = (before + kOffset) % 86400, to = (after + kOffset) % 86400;
  if (from <= to) {
    EXPECT_TRUE(from <= seconds && seconds <= to) << now;
  }
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvTimeZone).val.Integer, -kOffset);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvDaylight).val.Integer, 0);

  // daylight saving time all year
  setenv("TZ", "AAA3BBB,J1/0,J365/25", 1);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvTimeZone).val.Integer, 3 * 3600);
  EXPECT_EQ(GetLocalVariable(G, nullValue, IdSrvDaylight).val.Integer, 1);
  Value names = GetLocalVariable(G, nullValue, IdSrvTZName);
  EXPECT_EQ(render(names), R"({0="AAA",1="BBB"})");
  ReleaseValue(G, &names);

  saved != nullptr ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
  tzset();
}
