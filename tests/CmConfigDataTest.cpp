// ConfigData: construction, conversions, the two escaping exceptions,
// equality and buffer copies.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "CmConfigData.h"
#include "CmDebug.h"
#include "CmError.h"
#include "TraceCapture.h"

namespace {

ConfigData Bytes(std::initializer_list<unsigned char> aBytes) {
  return ConfigData(aBytes.begin(), static_cast<uint32_t>(aBytes.size()));
}

TEST(ConfigData, NumbersAreStoredAsText) {
  EXPECT_EQ(ConfigData(42).ToString(), "42");
  EXPECT_EQ(ConfigData(42).ToInt(), 42);
  EXPECT_EQ(ConfigData(-7L).ToLonglong(), -7);
  EXPECT_EQ(ConfigData(18446744073709551615ULL).ToString(), "18446744073709551615");
  EXPECT_EQ(ConfigData(18446744073709551615ULL).ToUint64(), 18446744073709551615ULL);
  EXPECT_EQ(ConfigData(true).ToInt(), 1);
  EXPECT_STREQ(ConfigData(false).ToCstr(), "0");
  EXPECT_EQ(ConfigData(1.5f).ToString(), "1.500000");
  EXPECT_EQ(ConfigData(-0.25).ToString(), "-0.250000");
  EXPECT_DOUBLE_EQ(ConfigData(2.5).ToDouble(), 2.5);
  EXPECT_EQ(ConfigData("4294967297").ToUint32(), 1u);  // ToLonglong cut to 32 bits
  EXPECT_EQ(static_cast<int>(ConfigData("12")), 12);
  EXPECT_TRUE(static_cast<bool>(ConfigData("3")));
}

TEST(ConfigData, IntegerBuffersReadLittleEndian) {
  const ConfigData four = Bytes({0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(four.ToInt(), 1);
  EXPECT_EQ(four.ToString(), "1");
  EXPECT_EQ(four.ToDouble(), 0.0);  // no text
  EXPECT_EQ(four.ToLong(), 0);
  EXPECT_STREQ(four.ToCstr(), "");
  EXPECT_EQ(Bytes({0x34, 0x12}).ToUint32(), 0x1234u);
  EXPECT_EQ(Bytes({0xff}).ToInt(), 255);
  const ConfigData eight = Bytes({0x02, 0, 0, 0, 0x01, 0, 0, 0x80});
  EXPECT_EQ(eight.ToInt(), 2);  // low 32 bits
  EXPECT_EQ(eight.ToUint64(), 0x8000000100000002ULL);
  EXPECT_EQ(eight.ToString(), "9223372041149743106");
  // Three bytes are no integer: the (absent) text is read instead.
  EXPECT_EQ(Bytes({1, 2, 3}).ToInt(), 0);
  EXPECT_EQ(Bytes({1, 2, 3}).ToString(), "");
}

TEST(ConfigData, ToUint64RaisesTheStandardErrors) {
  try {
    ConfigData("abc").ToUint64();
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "invalid stoull argument");
  }
  try {
    ConfigData("99999999999999999999").ToUint64();
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "stoull argument out of range");
  }
  EXPECT_THROW(ConfigData("").ToUint64(), std::invalid_argument);
  EXPECT_EQ(ConfigData(static_cast<const char*>(nullptr)).ToUint64(), 0u);  // no text at all
  EXPECT_EQ(ConfigData("  17xyz").ToUint64(), 17u);
  EXPECT_EQ(ConfigData("abc").ToInt(), 0);
}

TEST(ConfigData, ValidityAndDefaults) {
  ConfigData none;
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.ToIntOrDefault(7), 7);
  EXPECT_TRUE(ConfigData("").IsValid());
  EXPECT_EQ(ConfigData("").ToIntOrDefault(7), 0);
  EXPECT_FALSE(ConfigData(static_cast<const char*>(nullptr)).IsValid());
  EXPECT_STREQ(ConfigData(static_cast<const char*>(nullptr)).ToCstr(), "");
  EXPECT_EQ(Bytes({5}).ToIntOrDefault(7), 5);

  ConfigData text("x");
  text.SetInvalid();
  EXPECT_FALSE(text.IsValid());
  ConfigData bytes = Bytes({1, 2});
  bytes.SetInvalid();
  EXPECT_FALSE(bytes.IsValid());
  EXPECT_EQ(bytes.GetBuffer(), nullptr);
}

TEST(ConfigData, Equality) {
  EXPECT_EQ(ConfigData(), ConfigData());
  EXPECT_EQ(ConfigData("abc"), ConfigData(std::string("abc")));
  EXPECT_NE(ConfigData("abc"), ConfigData("abd"));
  EXPECT_NE(ConfigData("abc"), ConfigData());
  EXPECT_NE(ConfigData("1"), Bytes({1}));  // a text never equals a buffer
  EXPECT_EQ(Bytes({1, 2, 3}), Bytes({1, 2, 3}));
  EXPECT_NE(Bytes({1, 2, 3}), Bytes({1, 2, 4}));
  EXPECT_NE(Bytes({1, 2}), Bytes({1, 2, 0}));
}

TEST(ConfigData, CopiesAreIndependent) {
  ConfigData original = Bytes({9, 8, 7});
  ConfigData copy(original);
  ConfigData assigned("text");
  assigned = original;
  original.SetInvalid();
  EXPECT_EQ(copy, Bytes({9, 8, 7}));
  EXPECT_EQ(assigned, Bytes({9, 8, 7}));
  ConfigData self("same");
  const ConfigData& alias = self;
  self = alias;
  EXPECT_EQ(self.ToString(), "same");
}

TEST(ConfigData, CopyBufferToNeedsTheExactSize) {
  const ConfigData bytes = Bytes({1, 2, 3, 4, 5});
  unsigned char out[5] = {};
  EXPECT_FALSE(bytes.CopyBufferTo(out, 4));
  EXPECT_EQ(out[0], 0);
  EXPECT_TRUE(bytes.CopyBufferTo(out, 5));
  EXPECT_EQ(memcmp(out, "\x01\x02\x03\x04\x05", 5), 0);
}

TEST(ConfigData, SafeCopyRefusesNullPointers) {
  TraceCapture trace;
  const unsigned before = cm_get_assertions_count();
  unsigned char dest[4] = {7, 7, 7, 7};
  EXPECT_EQ(ConfigData::SafeCopy(nullptr, dest, sizeof(dest)), ZAR_E_INVALIDARG);
  EXPECT_EQ(memcmp(dest, "\0\0\0\0", 4), 0);  // zero-filled
  EXPECT_TRUE(trace.Contains("Assert failed: aSource", 0));
  EXPECT_EQ(ConfigData::SafeCopy("abcd", nullptr, 4), ZAR_E_INVALIDARG);
  EXPECT_TRUE(trace.Contains("Assert failed: aDest", 0));
  EXPECT_EQ(cm_get_assertions_count(), before + 2);
  EXPECT_EQ(ConfigData::SafeCopy("abcd", dest, 4), ZAR_S_OK);
  EXPECT_EQ(memcmp(dest, "abcd", 4), 0);
  EXPECT_EQ(ConfigData::SafeCopy(nullptr, nullptr, 0), ZAR_S_OK);
}

}  // namespace
