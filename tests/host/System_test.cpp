#include "System.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>

namespace {

using System::Int;
using System::Round;

// Round goes to the nearest integer, halves to the even neighbour; Int cuts
// toward zero. Each case in both precisions.
struct RoundCase {
  double x;
  std::int64_t round;
  double trunc;
};

void PrintTo(const RoundCase& c, std::ostream* os) { *os << c.x; }

class RoundAndInt : public testing::TestWithParam<RoundCase> {};

TEST_P(RoundAndInt, DoublePrecision) {
  const RoundCase c = GetParam();
  EXPECT_EQ(Round(c.x), c.round);
  EXPECT_EQ(Int(c.x), c.trunc);
}

TEST_P(RoundAndInt, ExtendedPrecision) {
  const RoundCase c = GetParam();
  const long double x = c.x;
  EXPECT_EQ(Round(x), c.round);
  EXPECT_EQ(Int(x), static_cast<long double>(c.trunc));
}

INSTANTIATE_TEST_SUITE_P(Cases, RoundAndInt,
                         testing::Values(RoundCase{0.5, 0, 0.0}, RoundCase{1.5, 2, 1.0},
                                         RoundCase{2.5, 2, 2.0}, RoundCase{3.5, 4, 3.0},
                                         RoundCase{-0.5, 0, -0.0}, RoundCase{-2.5, -2, -2.0},
                                         RoundCase{-3.5, -4, -3.0}, RoundCase{-2.7, -3, -2.0},
                                         RoundCase{-0.7, -1, -0.0}, RoundCase{2.4999, 2, 2.0},
                                         RoundCase{2147483647.0, 2147483647, 2147483647.0},
                                         RoundCase{4294967296.5, 4294967296, 4294967296.0}));

// The product that separates the precisions: 0.0025 s and 0.0105 s in ms.
// In double the product rounds to an exact half first; in extended it stays
// just above the half.
TEST(RoundAndInt, PrecisionChangesTheHalfCases) {
  volatile double a = 0.0025, b = 0.0105;  // keep the products at run time
  EXPECT_EQ(Round(static_cast<double>(a * 1000.0)), 2);
  EXPECT_EQ(Round(static_cast<double>(b * 1000.0)), 10);
  EXPECT_EQ(Round(static_cast<long double>(a) * 1000.0L), 3);
  EXPECT_EQ(Round(static_cast<long double>(b) * 1000.0L), 11);
}

TEST(UnicodeString, RoundTripsUtf8) {
  const char* samples[] = {"", "winmm.dll", "Qev Soft", "d\xC3\xA9j\xC3\xA0", "\xF0\x9F\x95\x90 clock"};
  for (const char* s : samples) {
    const System::UnicodeString u(s);
    EXPECT_EQ(u.ToUtf8(), s);
  }
  EXPECT_EQ(System::UnicodeString("\xF0\x9F\x95\x90").Length(), 2u);  // a surrogate pair
}

TEST(UnicodeString, ReplacesIllFormedInput) {
  struct Case {
    const char* in;
    std::u16string out;
  } cases[] = {
      {"a\xFF" "b", u"a\uFFFDb"},        // invalid lead byte
      {"\xC3", u"\uFFFD"},               // truncated sequence
      {"\xC0\xAF", u"\uFFFD\uFFFD"},     // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(System::UnicodeString(c.in).str(), c.out) << c.in;
  EXPECT_EQ(System::UnicodeString(std::u16string{u'a', char16_t(0xD800)}).ToUtf8(), "a\xEF\xBF\xBD");
}

TEST(UnicodeString, WideAndAnsi) {
  const System::UnicodeString name(u"timeGetDevCaps");
  EXPECT_EQ(name.ToWide(), L"timeGetDevCaps");
  EXPECT_EQ(System::ToAnsi(name), "timeGetDevCaps");
  EXPECT_TRUE(System::SameText(u"WinMM.DLL", u"winmm.dll"));
  EXPECT_FALSE(System::SameText(u"winmm.dl", u"winmm.dll"));
}

}  // namespace
