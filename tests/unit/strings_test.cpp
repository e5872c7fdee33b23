// strings_test.cpp: the chars operations (null vs empty, the concatenation
// limit, ordering) and the textual forms of values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/unit/foundation_context.h"
#include "tests/unit/testing.h"
#include "values/strings.h"

namespace {

// Value2Char as a std::string; "<none>" for no text.
std::string text(FoundationContext& c, Value v) {
  char* t = Value2Char(c.G, v);
  if (t == nullptr) return "<none>";
  std::string s(t);
  bxFree(t);
  return s;
}

// ---- chars ----------------------------------------------------------------

TEST(Chars, NullAndEmptyAreDifferent) {
  FoundationContext c;
  chars n;
  chars_null(&n);
  const int64_t before = c.left();
  chars e = chars_empty(c.G);
  EXPECT_EQ(before - 1, c.left());
  ASSERT_NE(nullptr, e.str);
  EXPECT_EQ(0, e.size);
  EXPECT_EQ('\0', e.str[0]);
  EXPECT_EQ(0, chars_cmp(c.G, n, n));
  EXPECT_LT(chars_cmp(c.G, n, e), 0);
  EXPECT_GT(chars_cmp(c.G, e, n), 0);
  EXPECT_EQ(0, chars_cmp(c.G, e, e));
  chars_free(c.G, &e);
  EXPECT_EQ(nullptr, e.str);
  chars_free(c.G, &n);   // freeing the null string is harmless
}

TEST(Chars, MakeAndCopyChargeSizePlusOne) {
  FoundationContext c;
  const int64_t before = c.left();
  chars m = chars_make(c.G, "hello world", 5);
  EXPECT_STREQ("hello", m.str);
  EXPECT_EQ(5, m.size);
  EXPECT_EQ(before - 6, c.left());
  chars k = chars_copy(c.G, m.str, m.size);
  EXPECT_NE(m.str, k.str);
  EXPECT_STREQ("hello", k.str);
  chars none = chars_make(c.G, nullptr, 4);
  EXPECT_EQ(nullptr, none.str);
  EXPECT_EQ(4, none.size);
  EXPECT_EQ(before - 12, c.left());
  chars_free(c.G, &m);
  chars_free(c.G, &k);
}

TEST(Chars, ComparisonIsBytewiseUnsignedUpToTheFirstZero) {
  FoundationContext c;
  chars a = chars_make(c.G, "abc", 3);
  chars b = chars_make(c.G, "abd", 3);
  chars hi = chars_make(c.G, "\xe4", 1);
  chars z = chars_make(c.G, "ab\0zz", 5);   // the size is not consulted
  chars ab = chars_make(c.G, "ab", 2);
  EXPECT_LT(chars_cmp(c.G, a, b), 0);
  EXPECT_GT(chars_cmp(c.G, b, a), 0);
  EXPECT_GT(chars_cmp(c.G, hi, a), 0) << "bytes above 127 order after ASCII";
  EXPECT_EQ(0, chars_cmp(c.G, z, ab));
  EXPECT_LT(chars_cmp(c.G, ab, a), 0);
  for (chars* s : {&a, &b, &hi, &z, &ab}) chars_free(c.G, s);
}

TEST(Chars, ConcatenationIsCutAt32767) {
  FoundationContext c;
  const std::string x(20000, 'x'), y(20000, 'y');
  const int64_t before = c.left();
  chars r = chars_cat(c.G, x.data(), 20000, y.data(), 20000);
  EXPECT_EQ(32767, r.size);
  EXPECT_EQ(before - 32768, c.left()) << "exactly the result plus one";
  EXPECT_EQ(32767u, std::strlen(r.str));
  EXPECT_EQ(x + std::string(12767, 'y'), std::string(r.str));
  chars_free(c.G, &r);

  const std::string big(40000, 'b');
  chars s = chars_cat(c.G, big.data(), 40000, "tail", 4);
  EXPECT_EQ(32767, s.size);
  EXPECT_EQ(std::string(32767, 'b'), std::string(s.str));
  chars_free(c.G, &s);

  chars exact = chars_cat(c.G, x.data(), 20000, y.data(), 12767);
  EXPECT_EQ(32767, exact.size);
  chars_free(c.G, &exact);

  chars small = chars_cat(c.G, "ab", 2, "cd", 2);
  EXPECT_STREQ("abcd", small.str);
  EXPECT_EQ(4, small.size);
  chars_free(c.G, &small);
  chars withNull = chars_cat(c.G, nullptr, 0, "cd", 2);
  EXPECT_STREQ("cd", withNull.str);
  chars_free(c.G, &withNull);
}

// ---- Value2Char -----------------------------------------------------------

TEST(ValueText, FixedForms) {
  FoundationContext c;
  EXPECT_EQ("<none>", text(c, nullValue));
  EXPECT_EQ("<none>", text(c, errorValue));
  EXPECT_EQ("0", text(c, MakeInteger(0)));
  EXPECT_EQ("-2147483648", text(c, MakeInteger(INT32_MIN)));
  EXPECT_EQ("1.500000", text(c, MakeReal(1.5)));
  EXPECT_EQ("-0.000001", text(c, MakeReal(-0.000001)));
  EXPECT_EQ("100000000000000000000.000000", text(c, MakeReal(1e20)));
  // Large reals print every integer digit: no exponent form.
  EXPECT_EQ(308u + 8u, text(c, MakeReal(1e308)).size());
  EXPECT_EQ("true", text(c, trueValue));
  EXPECT_EQ("false", text(c, falseValue));
  Value b = MakeBoolean(true);
  b.val.Boolean = 17;   // any non-zero word reads as true
  EXPECT_EQ("true", text(c, b));
}

TEST(ValueText, StringsNullEmptyAndEmbeddedZero) {
  FoundationContext c;
  Value n = MakeStringZ(c.G, nullptr, 0);
  Value e = MakeStringZ(c.G, "", 0);
  Value z = MakeString(c.G, "ab\0cd", 5, 0);
  EXPECT_EQ("<none>", text(c, n));
  EXPECT_EQ("", text(c, e));
  EXPECT_EQ("ab", text(c, z));
  ReleaseValue(c.G, &e);
  ReleaseValue(c.G, &z);
}

TEST(ValueText, TuplesReadAsTupleAndTemporariesAreReleased) {
  FoundationContext c;
  Value t;
  iVTuple(c.G, &t);
  Value temp = AssignValue(c.G, t);
  temp.flags = VF_TEMP;
  EXPECT_EQ(2, t.val.tuple.t->refcount);
  EXPECT_EQ("(tuple)", text(c, temp));
  EXPECT_EQ(1, t.val.tuple.t->refcount) << "the temporary's reference was dropped";
  EXPECT_EQ("(tuple)", text(c, t));
  EXPECT_EQ(1, t.val.tuple.t->refcount) << "a borrowed value is left alone";
  ReleaseValue(c.G, &t);

  // A temporary concatenation result: converting it frees it (ASan checks).
  Value cat{tString, VF_TEMP, {}};
  cat.val.String = chars_cat(c.G, "ab", 2, "cd", 2);
  EXPECT_EQ("abcd", text(c, cat));
}

TEST(ValueText, AnInvalidTypeIsReportedAndReadsAsQuestionMarks) {
  FoundationContext c;
  Value bad{9, 0, {}};
  ::testing::internal::CaptureStderr();
  const std::string t = text(c, bad);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ("???", t);
  EXPECT_EQ("evalexpr: Internal error: not a valid constant expression tag '9'\n", err);
}

// ---- WriteValue -----------------------------------------------------------

TEST(ValueWrite, NumbersBooleansAndNull) {
  FoundationContext c;
  auto out = [&](Value v, int mode) { return CaptureOutput(c.G, [&] { WriteValue(c.G, v, mode); }); };
  for (int mode = 0; mode <= 2; ++mode) {
    EXPECT_EQ("-42", out(MakeInteger(-42), mode));
    EXPECT_EQ("2.250000", out(MakeReal(2.25), mode));
    EXPECT_EQ("true", out(trueValue, mode));
    EXPECT_EQ("false", out(falseValue, mode));
    EXPECT_EQ("", out(nullValue, mode));
    EXPECT_EQ("", out(errorValue, mode));
  }
}

TEST(ValueWrite, StringsAreEscapedOnlyInMode2AndStopAtAZero) {
  FoundationContext c;
  auto out = [&](Value v, int mode) { return CaptureOutput(c.G, [&] { WriteValue(c.G, v, mode); }); };
  Value s = MakeStringZ(c.G, "a<b>&\"", 0);
  EXPECT_EQ("a<b>&\"", out(s, 0));
  EXPECT_EQ("a<b>&\"", out(s, 1));
  EXPECT_EQ("a&lt;b&gt;&amp;&quot;", out(s, 2));
  Value z = MakeString(c.G, "ab\0cd", 5, 0);
  EXPECT_EQ("ab", out(z, 2));
  Value n = MakeStringZ(c.G, nullptr, 0);
  EXPECT_EQ("", out(n, 2));
  // The size bounds the text even where the bytes go on.
  Value cut = MakeStringZ(c.G, "abcdef", 0);
  cut.val.String.size = 3;
  EXPECT_EQ("abc", out(cut, 0));
  cut.val.String.size = 6;
  ReleaseValue(c.G, &s);
  ReleaseValue(c.G, &z);
  ReleaseValue(c.G, &cut);
}

TEST(ValueWrite, UrlEncodedForms) {
  FoundationContext c;
  auto url = [&](Value v) { return CaptureOutput(c.G, [&] { WriteValueAsUrl(c.G, v); }); };
  Value s = MakeStringZ(c.G, "a b/c", 0);
  EXPECT_EQ("a+b%2fc", url(s));
  EXPECT_EQ("1.500000", url(MakeReal(1.5)));
  EXPECT_EQ("-7", url(MakeInteger(-7)));
  EXPECT_EQ("", url(nullValue));
  Value temp = MakeStringZ(c.G, "x&y", VF_TEMP);
  EXPECT_EQ("x%26y", url(temp));   // released by the conversion (ASan checks)
  ReleaseValue(c.G, &s);
}

}  // namespace
