// ConfigData: conversions, the two escaping exceptions, equality and copies.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "CmConfigData.h"
#include "CmDebug.h"
#include "CmError.h"
#include "TraceCapture.h"

namespace {

ConfigData Bytes(std::initializer_list<unsigned char> aBytes) {
  return ConfigData(aBytes.begin(), static_cast<uint32_t>(aBytes.size()));
}

TEST(ConfigData, NumbersAreTextAndToUint64Throws) {
  EXPECT_EQ(ConfigData(42).ToString(), "42");
  EXPECT_EQ(ConfigData(42).ToInt(), 42);
  EXPECT_EQ(ConfigData(true).ToInt(), 1);
  EXPECT_EQ(ConfigData(1.5f).ToString(), "1.500000");
  EXPECT_EQ(ConfigData(18446744073709551615ULL).ToUint64(), 18446744073709551615ULL);
  EXPECT_EQ(ConfigData("4294967297").ToUint32(), 1u);  // ToLonglong cut to 32 bits
  EXPECT_EQ(ConfigData("abc").ToInt(), 0);
  try {
    ConfigData("abc").ToUint64();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid stoull argument");
  }
  try {
    ConfigData("99999999999999999999").ToUint64();
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "stoull argument out of range");
  }
  EXPECT_EQ(ConfigData(static_cast<const char*>(nullptr)).ToUint64(), 0u);  // no text at all
}

// The conversion operators are implicit: a value reads wherever a number or
// a text is wanted, through the matching To... conversion.
TEST(ConfigData, ConvertsImplicitly) {
  EXPECT_TRUE((std::is_convertible<ConfigData, int>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, bool>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, unsigned int>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, long>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, long long>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, unsigned long>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, double>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, float>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, CCmString>::value));
  EXPECT_TRUE((std::is_convertible<ConfigData, const char*>::value));
  const ConfigData number("300"), big("4294967297"), real("2.5"), zero("0");
  int n = number;
  unsigned int u = big;
  long l = big;
  long long ll = big;
  unsigned long ul = big;
  double d = real;
  float f = real;
  bool b = zero;
  CCmString s = real;
  const char* c = big;
  EXPECT_EQ(n, 300);
  EXPECT_EQ(u, 1u);  // ToUint32: ToLonglong cut to 32 bits
  EXPECT_EQ(l, 4294967297L);
  EXPECT_EQ(ll, 4294967297LL);
  EXPECT_EQ(ul, 4294967297UL);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(f, 2.5f);
  EXPECT_FALSE(b);
  EXPECT_EQ(s, "2.5");
  EXPECT_STREQ(c, "4294967297");
  EXPECT_TRUE(number && !zero);
}

TEST(ConfigData, IntegerBuffersReadLittleEndian) {
  const ConfigData four = Bytes({0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(four.ToInt(), 1);
  EXPECT_EQ(four.ToString(), "1");
  EXPECT_EQ(four.ToDouble(), 0.0);  // the text conversions ignore buffers
  const ConfigData eight = Bytes({0x02, 0, 0, 0, 0x01, 0, 0, 0x80});
  EXPECT_EQ(eight.ToInt(), 2);  // low 32 bits
  EXPECT_EQ(eight.ToUint64(), 0x8000000100000002ULL);
  EXPECT_EQ(Bytes({0x34, 0x12}).ToUint32(), 0x1234u);
  EXPECT_EQ(Bytes({1, 2, 3}).ToInt(), 0);  // three bytes are no integer
}

TEST(ConfigData, ValidityEqualityAndCopies) {
  EXPECT_EQ(ConfigData().ToIntOrDefault(7), 7);
  EXPECT_EQ(ConfigData("").ToIntOrDefault(7), 0);  // an empty text is valid
  EXPECT_FALSE(ConfigData(static_cast<const char*>(nullptr)).IsValid());
  EXPECT_TRUE(ConfigData() == ConfigData());
  EXPECT_TRUE(ConfigData("abc") == ConfigData(std::string("abc")));
  EXPECT_TRUE(ConfigData("abc") != ConfigData());
  EXPECT_TRUE(ConfigData("1") != Bytes({1}));  // a text never equals a buffer
  EXPECT_TRUE(Bytes({1, 2}) != Bytes({1, 2, 0}));

  ConfigData original = Bytes({9, 8, 7});
  ConfigData copy(original), assigned("text");
  assigned = original;
  original.SetInvalid();
  EXPECT_FALSE(original.IsValid());
  EXPECT_TRUE(copy == Bytes({9, 8, 7}) && assigned == Bytes({9, 8, 7}));
}

TEST(ConfigData, BufferCopiesAndTheirRefusals) {
  unsigned char out[5] = {};
  EXPECT_FALSE(Bytes({1, 2, 3, 4, 5}).CopyBufferTo(out, 4));
  EXPECT_TRUE(Bytes({1, 2, 3, 4, 5}).CopyBufferTo(out, 5));
  EXPECT_EQ(memcmp(out, "\x01\x02\x03\x04\x05", 5), 0);

  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  EXPECT_EQ(ConfigData::SafeCopy(nullptr, out, sizeof(out)), ZAR_E_INVALIDARG);
  EXPECT_EQ(memcmp(out, "\0\0\0\0\0", 5), 0);  // zero-filled
  EXPECT_TRUE(trace.Contains("Assert failed: aSource", 0));
  EXPECT_EQ(ConfigData::SafeCopy("abcd", nullptr, 4), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: aDest", 0));
  EXPECT_EQ(cm_get_assertions_count(), before + 2);
}

}  // namespace
