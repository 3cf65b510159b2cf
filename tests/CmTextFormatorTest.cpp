#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

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

TEST(CCmTextFormator, HexFlagAppliesToOneNumber) {
  Formator f;
  *f << CCmOrdix(CCmOrdix::HEX) << 30ul << "," << 30ul;
  EXPECT_EQ(f.Text(), "1e,30");
  Formator g;
  *g << CCmOrdix(0) << 255 << " " << CCmOrdix(0) << 0u << " " << CCmOrdix(0) << CCmOrdix(1) << 255;
  EXPECT_EQ(g.Text(), "ff 0 255");
  Formator h;  // values other than 0 and 1 change nothing
  *h << CCmOrdix(0) << CCmOrdix(7) << 171;
  EXPECT_EQ(h.Text(), "ab");
}

TEST(CCmTextFormator, IntegerForms) {
  Formator f;
  *f << 0 << "|" << -7 << "|" << INT_MIN << "|" << UINT_MAX << "|" << LLONG_MIN << "|" << ULLONG_MAX;
  EXPECT_EQ(f.Text(), "0|-7|-2147483648|4294967295|-9223372036854775808|18446744073709551615");
  Formator g;  // char and short types print as numbers
  *g << 'A' << "|" << static_cast<unsigned char>(200) << "|" << static_cast<short>(-3) << "|"
     << static_cast<unsigned short>(65535) << "|" << true;
  EXPECT_EQ(g.Text(), "65|200|-3|65535|1");
  Formator h;  // negative values in hexadecimal as two's-complement bits
  *h << CCmOrdix(0) << -5 << "|" << CCmOrdix(0) << -5L << "|" << CCmOrdix(0) << static_cast<short>(-1);
  EXPECT_EQ(h.Text(), "fffffffb|fffffffffffffffb|ffffffff");
  Formator w;  // long is 64-bit here and prints whole
  *w << 6000000000L << "|" << 6000000000ul;
  EXPECT_EQ(w.Text(), "6000000000|6000000000");
}

TEST(CCmTextFormator, LongLongAndFloatsIgnoreAndKeepHexFlag) {
  Formator f;
  *f << CCmOrdix(0) << 255LL << "|" << 1.5 << "|" << 255;
  EXPECT_EQ(f.Text(), "255|1.500|ff");
}

TEST(CCmTextFormator, FloatsTruncateToThreeDigits) {
  Formator f;
  *f << 12.0 << "|" << -0.5 << "|" << 3.14159 << "|" << 1.9999 << "|" << 2.5f << "|" << -1234.0009 << "|"
     << 0.0;
  EXPECT_EQ(f.Text(), "12.000|-0.500|3.141|1.999|2.500|-1234.000|0.000");
  Formator g;
  *g << std::nan("") << "|" << HUGE_VAL << "|" << -HUGE_VAL << "|" << 5e9 << "|" << 1e30;
  EXPECT_EQ(g.Text(), "NaN|inf|-inf|5000000000.000|1.000e+30");
}

TEST(CCmTextFormator, PointersAndText) {
  Formator f;
  *f << reinterpret_cast<void*>(0x123456789abcdef0ull) << "|" << static_cast<void*>(nullptr) << "|"
     << static_cast<const char*>(nullptr) << CCmString("str") << "|" << 17;
  EXPECT_EQ(f.Text(), "0x9abcdef0|0x0|str|17");
  int local = 0;
  Formator g;  // object suffix shape
  *g << "X::Y" << " [this=" << static_cast<const void*>(&local) << "]";
  EXPECT_EQ(g.Text().substr(0, 13), "X::Y [this=0x");
  EXPECT_EQ(g.Text().back(), ']');
}

TEST(CCmTextFormator, KeepsNinetySixByteReserve) {
  const std::string chunk(300, 'x');
  Formator f(1024);
  for (int i = 0; i < 5; ++i) *f << chunk.c_str();
  EXPECT_EQ((*f).tell(), 928u);
  EXPECT_EQ(f.Text().size(), 928u);
  *f << 12345;  // a full buffer drops numbers as well
  EXPECT_EQ((*f).tell(), 928u);

  Formator small(100);
  *small << "abcdefgh";
  EXPECT_EQ(small.Text(), "abcd");
  Formator tiny(50);
  *tiny << "abc" << 1;
  EXPECT_EQ(tiny.Text(), "");
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
