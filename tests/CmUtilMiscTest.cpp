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

std::vector<unsigned char> RandomBytes(std::mt19937& aRng, size_t aLength) {
  std::vector<unsigned char> out(aLength);
  for (auto& b : out) b = static_cast<unsigned char>(aRng());
  return out;
}

TEST(CalcCRC16, CheckValues) {
  unsigned short crc = 0;
  EXPECT_EQ(CalcCRC16(crc, Bytes("123456789"), 9), 0xBB3D);
  EXPECT_EQ(crc, 0xBB3D);
  crc = 0xFFFF;
  EXPECT_EQ(CalcCRC16(crc, Bytes("123456789"), 9), 0x4B37);
  crc = 0;
  EXPECT_EQ(CalcCRC16(crc, Bytes("abc"), 3), 0x9738);
  crc = 0;
  CalcCRC16(crc, Bytes("1234"), 4);  // continued from a previous result
  EXPECT_EQ(CalcCRC16(crc, Bytes("56789"), 5), 0xBB3D);

  TraceCapture trace;
  crc = 0x1234;
  EXPECT_EQ(CalcCRC16(crc, nullptr, 4), 0);
  EXPECT_EQ(crc, 0x1234);
  EXPECT_TRUE(trace.Contains("Assert failed: pData", 0));
}

TEST(CalcCRC16, SlicedEqualsBytewiseForEveryLength) {
  std::mt19937 rng(16);
  const std::vector<unsigned char> data = RandomBytes(rng, kMaxLength + 8);
  for (size_t length = 0; length <= kMaxLength; ++length) {
    const size_t start = length % 8;  // every alignment of the 8-byte steps
    const unsigned short seed = static_cast<unsigned short>(rng());
    unsigned short crc = seed;
    CalcCRC16(crc, const_cast<unsigned char*>(data.data()) + start, length);
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
  crc = 0;
  EXPECT_EQ(CalcCRC16_m(crc, a, 3), model::Crc16(0, Bytes("123"), 3));
  crc = 0;
  b.LockReading();  // skipped, and still counted against len
  EXPECT_EQ(CalcCRC16_m(crc, a, 100), model::Crc16(0, Bytes("12345"), 5));
  EXPECT_TRUE(trace.Contains("Assert failed: pData", 0));

  memset(c.GetTopLevelWritePtr(), 'x', 70000);
  c.AdvanceTopLevelWritePtr(65536 + 3);  // a block counts with its length modulo 65536
  crc = 0;
  EXPECT_EQ(CalcCRC16_m(crc, c, 100000), model::Crc16(0, Bytes("xxx"), 3));
}

TEST(CM_Base64Encode, VectorsAndPadding) {
  const char* const vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                    {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                    {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}};
  for (const auto& v : vectors) {
    std::string text, back;
    CM_Base64Encode(Bytes(v[0]), static_cast<unsigned>(strlen(v[0])), text);
    EXPECT_EQ(text, v[1]);
    CM_Base64Decode(text.c_str(), back);
    EXPECT_EQ(back, v[0]);
    unsigned char out[16];
    EXPECT_EQ(xbase64_encode(Bytes(v[0]), strlen(v[0]), out, sizeof(out)), text.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), text.size()), text);
  }
  std::string text;
  const unsigned char zero = 0;
  CM_Base64Encode(&zero, 1, text);
  EXPECT_EQ(text, "AA==");
  EXPECT_EQ(xbase64_calc_encode_buf_size(nullptr, 3), 8u);
  EXPECT_EQ(xbase64_calc_encode_buf_size(nullptr, 4), 8u);
}

TEST(CM_Base64Decode, RunRules) {
  const char* const cases[][2] = {
      {"  YW=", "a"},       {"\tYWJj=YWJj", "abc"}, {"YWJjZ", "abc"},  // a single leftover character is dropped
      {"YWJjZA", "abcd"},   {"Y\xC3Jj", ""},        {"YW\nJj", "a"},  {" \n YWJj", ""}, {"", ""}};
  for (const auto& c : cases) {
    std::string out = "stale";
    CM_Base64Decode(c[0], out);
    EXPECT_EQ(out, c[1]) << c[0];
  }
  TraceCapture trace;
  std::string out = "stale";
  CM_Base64Decode(nullptr, out);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(trace.Contains("Assert failed: text", 0));
}

TEST(xbase64_decode, GroupRules) {
  xbase64_init_decode_table();
  unsigned char out[12] = {};
  EXPECT_EQ(xbase64_decode(Bytes("YWJjX"), 5, out, sizeof(out)), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
  EXPECT_EQ(xbase64_decode(Bytes("YWJ"), 3, out, sizeof(out)), 0u);
  EXPECT_EQ(xbase64_decode(Bytes("YQ==YWI=YWJj"), 12, out, sizeof(out)), 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "aababc");
}

TEST(Base64, CodecsEqualTheModelsForEveryLength) {
  xbase64_init_decode_table();
  std::mt19937 rng(64);
  const std::string noise = std::string(model::kAlphabet) + "= \t\n\x80\xFF-";
  std::vector<unsigned char> xout(kMaxLength);
  for (size_t length = 0; length <= kMaxLength; ++length) {
    const std::vector<unsigned char> data = RandomBytes(rng, length);
    std::string text, back;
    CM_Base64Encode(data.data(), static_cast<unsigned>(length), text);
    ASSERT_EQ(text, model::Base64Encode(data.data(), length)) << length;
    CM_Base64Decode(text.c_str(), back);
    ASSERT_EQ(back, std::string(data.begin(), data.end())) << length;

    // Text of alphabet characters with occasional noise: the run ends anywhere.
    std::string mixed(length, 'A');
    for (char& ch : mixed) ch = rng() % 64 ? model::kAlphabet[rng() % 64] : noise[rng() % noise.size()];
    CM_Base64Decode(mixed.c_str(), back);
    ASSERT_EQ(back, model::Base64Decode(mixed.c_str())) << mixed;
    const unsigned long n = xbase64_decode(Bytes(mixed.c_str()), length, xout.data(), xout.size());
    ASSERT_EQ(std::string(reinterpret_cast<char*>(xout.data()), n),
              model::XBase64Decode(Bytes(mixed.c_str()), length))
        << mixed;
  }
}

TEST(CM_strcaserstr, FindsTheLastMatchIgnoringCase) {
  const char* hay = "abcABCxy";
  EXPECT_EQ(CM_strcaserstr(hay, "abc"), hay + 3);
  EXPECT_EQ(CM_strcaserstr(hay, "CaB"), hay + 2);
  EXPECT_EQ(CM_strcaserstr(hay, "XY"), hay + 6);
  EXPECT_EQ(CM_strcaserstr(hay, "abcABCxyz"), nullptr);
  EXPECT_EQ(CM_strcaserstr(hay, "q"), nullptr);
  EXPECT_EQ(CM_strcaserstr(hay, ""), nullptr);
  EXPECT_EQ(CM_strcaserstr("", "a"), nullptr);
  EXPECT_EQ(CM_strcaserstr(nullptr, "a"), nullptr);
  EXPECT_EQ(CM_strcaserstr(hay, nullptr), nullptr);
}

}  // namespace
