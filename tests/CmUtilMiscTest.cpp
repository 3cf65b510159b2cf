// CRC-16, both Base64 codecs and CM_strcaserstr. The table-driven codecs are
// held to the plain models of ByteCodecModels.h on random input of every
// length from 0 to 4096.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ByteCodecModels.h"
#include "CmMessageBlock.h"
#include "CmUtilMisc.h"
#include "TraceCapture.h"

namespace {

constexpr size_t kMaxLength = 4096;

unsigned char* Bytes(const char* aText) { return reinterpret_cast<unsigned char*>(const_cast<char*>(aText)); }

unsigned short Crc(unsigned short aSeed, const char* aText) {
  CalcCRC16(aSeed, Bytes(aText), strlen(aText));
  return aSeed;
}

TEST(CalcCRC16, CheckValuesAndContinuation) {
  EXPECT_EQ(Crc(0, "123456789"), 0xBB3D);  // CRC-16/ARC
  EXPECT_EQ(Crc(0xFFFF, "123456789"), 0x4B37);  // CRC-16/MODBUS
  EXPECT_EQ(Crc(0, "abc"), 0x9738);
  EXPECT_EQ(Crc(Crc(0, "1234"), "56789"), 0xBB3D);
  TraceCapture trace;
  unsigned short crc = 0x1234;
  EXPECT_EQ(CalcCRC16(crc, nullptr, 4), 0);
  EXPECT_EQ(crc, 0x1234);
  EXPECT_TRUE(trace.Contains("Assert failed: pData", 0));
}

TEST(CalcCRC16, SlicedEqualsBytewiseForEveryLength) {
  std::mt19937 rng(16);
  std::vector<unsigned char> data(kMaxLength + 8);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  for (size_t length = 0; length <= kMaxLength; ++length) {
    const size_t start = length % 8;  // every alignment of the 8-byte steps
    const unsigned short seed = static_cast<unsigned short>(rng());
    unsigned short crc = seed;
    CalcCRC16(crc, data.data() + start, length);
    ASSERT_EQ(crc, model::Crc16(seed, data.data() + start, length)) << "length " << length;
  }
}

TEST(CalcCRC16_m, FollowsTheChain) {
  TraceCapture trace;
  CCmMessageBlock a(5), b(7), c(70000);
  a.Write("12345", 5);
  b.Write("6789", 4);
  a.Append(&b);
  unsigned short crc = 0;
  EXPECT_EQ(CalcCRC16_m(crc, a, 100), 0xBB3D);
  EXPECT_EQ(CalcCRC16_m(crc = 0, a, 3), Crc(0, "123"));
  b.LockReading();  // skipped, and still counted against len
  EXPECT_EQ(CalcCRC16_m(crc = 0, a, 100), Crc(0, "12345"));
  EXPECT_TRUE(trace.Contains("Assert failed: pData", 0));
  memset(c.GetTopLevelWritePtr(), 'x', 70000);
  c.AdvanceTopLevelWritePtr(65536 + 3);  // a block counts with its length modulo 65536
  EXPECT_EQ(CalcCRC16_m(crc = 0, c, 100000), Crc(0, "xxx"));
}

TEST(Base64, VectorsPaddingAndRunRules) {
  xbase64_init_decode_table();
  const char* const vectors[][2] = {{"", ""},         {"f", "Zg=="},        {"fo", "Zm8="},
                                    {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                    {"abc", "YWJj"}};
  for (const auto& v : vectors) {
    std::string text, back;
    CM_Base64Encode(Bytes(v[0]), static_cast<unsigned>(strlen(v[0])), text);
    EXPECT_EQ(text, v[1]);
    CM_Base64Decode(text.c_str(), back);
    EXPECT_EQ(back, v[0]);
    unsigned char out[12];
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), xbase64_encode(Bytes(v[0]), strlen(v[0]), out, 12)), text);
  }
  std::string out;
  const unsigned char zero = 0;
  CM_Base64Encode(&zero, 1, out);
  EXPECT_EQ(out, "AA==");
  EXPECT_EQ(xbase64_calc_encode_buf_size(nullptr, 3) + xbase64_calc_encode_buf_size(nullptr, 5), 16u);

  // Blanks, then the run up to the first other byte; a single leftover character is dropped.
  const char* const runs[][2] = {{"  YW=", "a"}, {"\tYWJj=YWJj", "abc"}, {"YWJjZ", "abc"}, {"YWJjZA", "abcd"},
                                 {"Y\xC3Jj", ""}, {"YW\nJj", "a"},        {" \n YWJj", ""}};
  for (const auto& r : runs) {
    CM_Base64Decode(r[0], out);
    EXPECT_EQ(out, r[1]) << r[0];
  }
  unsigned char bytes[12];
  EXPECT_EQ(xbase64_decode(Bytes("YWJjX"), 5, bytes, 3), 3u);  // the fifth character is ignored
  EXPECT_EQ(xbase64_decode(Bytes("YWJ"), 3, bytes, 0), 0u);
  EXPECT_EQ(xbase64_decode(Bytes("YQ==YWI=YWJj"), 12, bytes, 9), 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 6), "aababc");
  TraceCapture trace;
  CM_Base64Decode(nullptr, out);
  EXPECT_TRUE(out.empty() && trace.Contains("Assert failed: text", 0));
}

TEST(Base64, CodecsEqualTheModelsForEveryLength) {
  xbase64_init_decode_table();
  std::mt19937 rng(64);
  const std::string noise = std::string(model::kAlphabet) + "= \t\n\x80\xFF-";
  std::vector<unsigned char> xout(kMaxLength);
  for (size_t length = 0; length <= kMaxLength; ++length) {
    std::string data(length, '\0'), text, back;
    for (char& ch : data) ch = static_cast<char>(rng());
    CM_Base64Encode(Bytes(data.c_str()), static_cast<unsigned>(length), text);
    ASSERT_EQ(text, model::Base64Encode(Bytes(data.c_str()), length)) << length;
    CM_Base64Decode(text.c_str(), back);
    ASSERT_EQ(back, data) << length;

    // Alphabet characters with occasional noise: the run ends anywhere.
    std::string mixed(length, 'A');
    for (char& ch : mixed) ch = rng() % 64 ? model::kAlphabet[rng() % 64] : noise[rng() % noise.size()];
    CM_Base64Decode(mixed.c_str(), back);
    ASSERT_EQ(back, model::Base64Decode(mixed.c_str())) << mixed;
    const unsigned long n = xbase64_decode(Bytes(mixed.c_str()), length, xout.data(), xout.size());
    ASSERT_EQ(std::string(xout.begin(), xout.begin() + static_cast<long>(n)),
              model::XBase64Decode(Bytes(mixed.c_str()), length))
        << mixed;
  }
}

TEST(CM_strcaserstr, FindsTheLastMatchIgnoringCase) {
  const char* hay = "abcABCxy";
  EXPECT_EQ(CM_strcaserstr(hay, "abc"), hay + 3);
  EXPECT_EQ(CM_strcaserstr(hay, "CaB"), hay + 2);
  EXPECT_EQ(CM_strcaserstr(hay, "XY"), hay + 6);
  for (const char* needle : {"abcABCxyz", "q", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(CM_strcaserstr(hay, needle), nullptr);
  }
  EXPECT_EQ(CM_strcaserstr("", "a"), nullptr);
  EXPECT_EQ(CM_strcaserstr(nullptr, "a"), nullptr);
}

}  // namespace
