// strings_test.cpp: the chars operations (null vs empty, ordering) and the
// textual forms of values; the concatenation limit is an end-to-end case.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"
#include "values/strings.h"

namespace {

struct Strings : ::testing::Test {
  FoundationContext c;
  // Value2Char as a std::string; "<none>" for no text.
  std::string text(Value v) {
    char* t = Value2Char(c.G, v);
    if (t == nullptr) return "<none>";
    std::string s(t);
    bxFree(t);
    return s;
  }
  std::string written(Value v, OutputMode mode) {
    return CaptureOutput(c.G, [&] { WriteValue(c.G, v, mode); });
  }
};

TEST_F(Strings, NullEmptyMakeAndOrdering) {
  const int64_t before = c.left();
  chars n;
  chars_null(&n);
  chars e = chars_empty(c.G);
  chars m = chars_make(c.G, "hello world", 5);
  chars none = chars_make(c.G, nullptr, 4);
  EXPECT_EQ(before - 1 - 6, c.left()) << "size + 1 bytes, nothing for the null string";
  EXPECT_STREQ("", e.str);
  EXPECT_STREQ("hello", m.str);
  EXPECT_EQ(nullptr, none.str);
  EXPECT_EQ(4, none.size);
  EXPECT_EQ(0, chars_cmp(c.G, n, none));
  EXPECT_LT(chars_cmp(c.G, n, e), 0) << "the null string orders below the empty string";
  EXPECT_GT(chars_cmp(c.G, e, n), 0);
  chars hi = chars_make(c.G, "\xe4", 1);
  chars z = chars_make(c.G, "ab\0zz", 5);   // compared up to the first zero
  chars ab = chars_make(c.G, "ab", 2);
  EXPECT_GT(chars_cmp(c.G, hi, m), 0) << "bytes compare unsigned";
  EXPECT_EQ(0, chars_cmp(c.G, z, ab));
  EXPECT_LT(chars_cmp(c.G, ab, m), 0);
  for (chars* s : {&e, &m, &hi, &z, &ab, &n}) chars_free(c.G, s);
  EXPECT_EQ(nullptr, e.str);
}

TEST_F(Strings, EveryTypeHasItsFixedFormAndTemporariesAreReleased) {
  Value odd = MakeBoolean(true);
  odd.val.Boolean = 17;   // any non-zero word reads as true
  const std::pair<Value, const char*> cases[] = {
      {nullValue, "<none>"},
      {errorValue, "<none>"},
      {MakeInteger(INT32_MIN), "-2147483648"},
      {MakeReal(1.5), "1.500000"},
      {MakeReal(-0.000001), "-0.000001"},
      {MakeReal(1e20), "100000000000000000000.000000"},
      {falseValue, "false"},
      {odd, "true"},
  };
  for (const auto& [v, shown] : cases) {
    EXPECT_EQ(shown, text(v));
    EXPECT_EQ(shown == std::string("<none>") ? "" : shown, written(v, omEscaped));
  }
  EXPECT_EQ(309u + 7u, text(MakeReal(1e308)).size()) << "no exponent form";
  EXPECT_EQ(309u + 7u, written(MakeReal(1e308), omPlain).size());

  Value n = MakeStringZ(c.G, nullptr, 0);
  Value e = MakeStringZ(c.G, "", 0);
  Value z = MakeString(c.G, "ab\0cd", 5, 0);
  EXPECT_EQ("<none>", text(n));
  EXPECT_EQ("", text(e));
  EXPECT_EQ("ab", text(z));
  ReleaseValue(c.G, &e);
  ReleaseValue(c.G, &z);
  // temporaries are released by the conversion only
  Value t;
  iVTuple(c.G, &t);
  Value temp = AssignValue(c.G, t);
  temp.flags = VF_TEMP;
  EXPECT_EQ("(tuple)", text(temp));
  EXPECT_EQ(1, t.val.tuple.t->refcount) << "the temporary's reference was dropped";
  EXPECT_EQ("(tuple)", text(t));
  EXPECT_EQ(1, t.val.tuple.t->refcount) << "a borrowed value is left alone";
  ReleaseValue(c.G, &t);
  // A temporary concatenation result: converting it frees it (ASan checks).
  Value cat{tString, VF_TEMP, 0, {}};
  SetString(&cat, chars_cat(c.G, "ab", 2, "cd", 2));
  EXPECT_EQ("abcd", text(cat));
}

// The tuple display is the layers' above: WriteValue hands a tuple to the
// hook main installs and leaves a temporary to its owner.
TEST_F(Strings, ATupleGoesToTheDisplayHookAndATemporaryIsLeftToItsOwner) {
  static std::string shown;
  valueSetHooks(ValueHooks{nullptr, nullptr, [](Globals*, Value t, const char* name) {
                             shown = name + std::to_string(t.val.tuple.t->logsize);
                           }});
  Value t;
  iVTuple(c.G, &t);
  *vAddField(c.G, t, MakeIdent(c.G, "k")) = MakeInteger(7);
  Value temp = AssignValue(c.G, t);
  temp.flags = VF_TEMP;
  WriteValue(c.G, temp, omEscaped);
  valueSetHooks(ValueHooks{});
  EXPECT_EQ("this1", shown);
  EXPECT_EQ(2, t.val.tuple.t->refcount);
  EXPECT_EQ("", written(temp, omEscaped)) << "no hook, no display";
  ReleaseValue(c.G, &temp);
  ReleaseValue(c.G, &t);
}

TEST_F(Strings, StringsAreEscapedOnlyInMode2AndStopAtAZeroOrTheSizeAndUrlForms) {
  Value s = MakeStringZ(c.G, "a<b>&\"", 0);
  EXPECT_EQ("a<b>&\"", written(s, omPlain));
  EXPECT_EQ("a<b>&\"", written(s, omHtml));
  EXPECT_EQ("a&lt;b&gt;&amp;&quot;", written(s, omEscaped));
  Value z = MakeString(c.G, "ab\0cd", 5, 0);
  EXPECT_EQ("ab", written(z, omEscaped));
  EXPECT_EQ("", written(MakeStringZ(c.G, nullptr, 0), omEscaped));
  s.size = 3;
  EXPECT_EQ("a<b", written(s, omPlain));
  s.size = 6;
  ReleaseValue(c.G, &s);
  ReleaseValue(c.G, &z);
  // URL-encoded forms
  auto url = [&](Value v) { return CaptureOutput(c.G, [&] { WriteValueAsUrl(c.G, v); }); };
  EXPECT_EQ("1.500000", url(MakeReal(1.5)));
  EXPECT_EQ("", url(nullValue));
  Value temp = MakeStringZ(c.G, "a b/c&", VF_TEMP);
  EXPECT_EQ("a+b%2fc%26", url(temp));   // released by the conversion (ASan checks)
}

}  // namespace
