// The byte stream: exact wire bytes across block boundaries, round trips,
// sticky failures and the 16-bit string limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CmByteStream.h"
#include "TraceCapture.h"

namespace {

std::string Hex(const std::string& aBytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : aBytes) out += {kHex[c >> 4], kHex[c & 15]};
  return out;
}

TEST(CCmByteStreamT, EncodesBigEndianAcrossBlocks) {
  std::vector<std::unique_ptr<CCmMessageBlock>> blocks;  // 3-byte blocks split every value
  for (int i = 0; i < 10; ++i) {
    blocks.emplace_back(new CCmMessageBlock(3));
    if (i > 0) blocks[0]->Append(blocks[i].get());
  }
  CCmByteStreamNetwork os(*blocks[0]);
  os << uint8_t(0x01) << uint16_t(0x0203) << uint32_t(0x04050607) << int16_t(-2) << int32_t(-3) << 1.0f
     << CCmString("abc") << "";
  ASSERT_TRUE(os.IsGood());
  EXPECT_EQ(Hex(blocks[0]->FlattenChained()), "01" "0203" "04050607" "FFFE" "FFFFFFFD" "3F800000" "0003616263" "0000");

  CCmByteStreamNetwork is(*blocks[0]);
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  int16_t i16 = 0;
  int32_t i32 = 0;
  float f = 0;
  CCmString s, empty("x");
  is >> u8 >> u16 >> u32 >> i16 >> i32 >> f >> s >> empty;
  EXPECT_TRUE(is.IsGood());
  EXPECT_TRUE(u8 == 1 && u16 == 0x0203 && u32 == 0x04050607u && i16 == -2 && i32 == -3 && f == 1.0f);
  EXPECT_EQ(s + "|" + empty, "abc|");
  EXPECT_EQ(blocks[0]->GetChainedLength(), 0u);
}

TEST(CCmByteStreamT, FailuresAreStickyAndTraced) {
  TraceCapture trace;
  CCmMessageBlock small(5);
  CCmByteStreamNetwork os(small);
  os << uint32_t(1) << uint16_t(2) << uint8_t(3);  // 4 + 1 of 2 bytes fit, the last is skipped
  EXPECT_EQ(os.GetResultWrite(), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(small.GetChainedLength(), 5u);
  EXPECT_EQ(trace.Count("CCmByteStreamT::Write, can't write. m_ResultWrite=1174421815 [this=0x", 0), 2u);

  CCmByteStreamNetwork is(small);
  uint32_t a = 0;
  uint16_t b = 7;
  CCmString s("stale");
  is >> a >> b >> s;
  EXPECT_TRUE(a == 1 && b == 0 && s.empty());  // failed reads yield zero
  EXPECT_EQ(is.GetResultRead(), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(trace.Count("CCmByteStreamT::Read, can't read. m_ResultRead=1174421815", 0), 2u);
}

TEST(CCmByteStreamT, StringLengthLimit) {
  TraceCapture trace;
  CCmMessageBlock mb(70000);
  CCmByteStreamNetwork os(mb);
  os << CCmString(65534, 'q');
  ASSERT_TRUE(os.IsGood());
  EXPECT_EQ(Hex(mb.FlattenChained().substr(0, 3)), "FFFE71");
  const unsigned asserts = cm_get_assertions_count();
  os << CCmString(65535, 'q') << uint8_t(7);
  EXPECT_EQ(cm_get_assertions_count(), asserts + 1);
  EXPECT_TRUE(trace.Contains("Assert failed: ll < STRING_LEN_MAX", 0));
  // Nothing of the string is written; the stream goes on with the next value.
  EXPECT_EQ(os.GetResultWrite(), 0);
  EXPECT_EQ(mb.GetChainedLength(), 65537u);
  EXPECT_EQ(Hex(mb.FlattenChained().substr(65536)), "07");
  EXPECT_EQ(trace.Count("can't write"), 0u);
}

}  // namespace
