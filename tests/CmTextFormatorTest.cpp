#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <type_traits>

#include "CmTrace.h"

namespace {

class Formator {
 public:
  explicit Formator(unsigned aCapacity = 1024) : m_Fmt(m_Buf, aCapacity) {}
  CCmTextFormator& operator*() { return m_Fmt; }
  std::string Text() const { return m_Buf; }
  char m_Buf[4096];
  CCmTextFormator m_Fmt;
};

// What a fresh formator of 1024 bytes makes of aItems streamed in order.
template <class... Items>
std::string Fmt(const Items&... aItems) {
  Formator f;
  (*f << ... << aItems);
  return f.Text();
}

TEST(CCmTextFormator, HexFlagAppliesToOneNumber) {
  // A plain enumeration: 0 selects hexadecimal, 1 decimal.
  EXPECT_TRUE(std::is_enum<CCmOrdix>::value);
  EXPECT_EQ(static_cast<int>(CCmOrdix::HEX), 0);
  EXPECT_EQ(static_cast<int>(CCmOrdix::DECIMAL), 1);
  const CCmOrdix hex = CCmOrdix::HEX, dec = static_cast<CCmOrdix>(1), other = static_cast<CCmOrdix>(7);
  EXPECT_EQ(Fmt(hex, 30ul, ",", 30ul), "1e,30");
  EXPECT_EQ(Fmt(CCmOrdix(0), 255, " ", CCmOrdix(0), 0u, " ", CCmOrdix(0), dec, 255), "ff 0 255");
  EXPECT_EQ(Fmt(CCmOrdix(0), other, 171), "ab");  // values other than 0 and 1 change nothing
}

TEST(CCmTextFormator, IntegerForms) {
  EXPECT_EQ(Fmt(0, "|", -7, "|", INT_MIN, "|", UINT_MAX, "|", LLONG_MIN, "|", ULLONG_MAX),
            "0|-7|-2147483648|4294967295|-9223372036854775808|18446744073709551615");
  // char and short types print as numbers
  EXPECT_EQ(Fmt('A', "|", static_cast<unsigned char>(200), "|", static_cast<short>(-3), "|",
                static_cast<unsigned short>(65535), "|", true),
            "65|200|-3|65535|1");
  // negative values in hexadecimal as two's-complement bits
  EXPECT_EQ(Fmt(CCmOrdix(0), -5, "|", CCmOrdix(0), -5L, "|", CCmOrdix(0), static_cast<short>(-1)),
            "fffffffb|fffffffffffffffb|ffffffff");
  EXPECT_EQ(Fmt(6000000000L, "|", 6000000000ul), "6000000000|6000000000");  // long is 64-bit here
  // long long and floats ignore the hex flag and keep it for the next number
  EXPECT_EQ(Fmt(CCmOrdix(0), 255LL, "|", 1.5, "|", 255), "255|1.500|ff");
}

TEST(CCmTextFormator, FloatsTruncateToThreeDigits) {
  EXPECT_EQ(Fmt(12.0, "|", -0.5, "|", 3.14159, "|", 1.9999, "|", 2.5f, "|", -1234.0009, "|", 0.0),
            "12.000|-0.500|3.141|1.999|2.500|-1234.000|0.000");
  EXPECT_EQ(Fmt(std::nan(""), "|", HUGE_VAL, "|", -HUGE_VAL, "|", 5e9, "|", 1e30),
            "NaN|inf|-inf|5000000000.000|1.000e+30");
}

TEST(CCmTextFormator, PointersAndText) {
  EXPECT_EQ(Fmt(reinterpret_cast<void*>(0x123456789abcdef0ull), "|", static_cast<void*>(nullptr), "|",
                static_cast<const char*>(nullptr), CCmString("str"), "|", 17),
            "0x9abcdef0|0x0|str|17");
  int local = 0;  // object suffix shape
  const std::string suffix = Fmt("X::Y", " [this=", static_cast<const void*>(&local), "]");
  EXPECT_EQ(suffix.substr(0, 13), "X::Y [this=0x");
  EXPECT_EQ(suffix.back(), ']');
}

TEST(CCmTextFormator, KeepsNinetySixByteReserve) {
  const std::string chunk(300, 'x');
  Formator f(1024);
  for (int i = 0; i < 5; ++i) *f << chunk.c_str();
  EXPECT_EQ((*f).tell(), 928u);
  EXPECT_EQ(f.Text().size(), 928u);
  *f << 12345;  // a full buffer drops numbers as well
  EXPECT_EQ((*f).tell(), 928u);
  Formator small(100), tiny(50);
  *small << "abcdefgh";
  *tiny << "abc" << 1;
  EXPECT_EQ(small.Text() + "|" + tiny.Text(), "abcd|");
  EXPECT_EQ((*tiny).tell(), 0u);
}

TEST(CCmTextFormator, ResetAndCopy) {
  Formator f;
  *f << CCmOrdix(0) << "abc";
  (*f).reset();
  *f << 255;
  EXPECT_EQ(f.Text(), "255");  // reset also returns to decimal
  CCmTextFormator copy(*f);
  copy << "!";
  EXPECT_EQ(f.Text(), "255!");  // both write into the same buffer
  EXPECT_EQ(std::string(static_cast<char*>(*f)), "255!");
}

}  // namespace
