// The byte stream: exact wire bytes across block boundaries, round trips,
// sticky failures and the 16-bit string limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CmByteStream.h"
#include "TraceCapture.h"

namespace {

// A caller-owned chain of 3-byte blocks, so every multi-byte value is split.
struct SmallBlocks {
  std::vector<std::unique_ptr<CCmMessageBlock>> blocks;
  explicit SmallBlocks(int aCount) {
    for (int i = 0; i < aCount; ++i) {
      blocks.emplace_back(new CCmMessageBlock(3));
      if (i > 0) blocks[0]->Append(blocks[i].get());
    }
  }
  CCmMessageBlock& head() { return *blocks[0]; }
};

std::string Hex(const std::string& aBytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : aBytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

TEST(CCmByteStreamT, EncodesBigEndianAcrossBlocks) {
  SmallBlocks chain(12);
  CCmByteStreamNetwork os(chain.head());
  os << uint8_t(0x01) << uint16_t(0x0203) << uint32_t(0x04050607) << int16_t(-2) << int32_t(-3) << 1.0f
     << CCmString("abc") << "" << 'z';
  os.Write("\x00\xFF", 2);
  ASSERT_TRUE(os.IsGood());
  EXPECT_EQ(Hex(chain.head().FlattenChained()),
            "01"
            "0203"
            "04050607"
            "FFFE"
            "FFFFFFFD"
            "3F800000"
            "0003616263"
            "0000"
            "7A"
            "00FF");

  CCmByteStreamNetwork is(chain.head());
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  int16_t i16 = 0;
  int32_t i32 = 0;
  float f = 0;
  CCmString s, empty("x");
  char z = 0;
  char raw[2] = {};
  is >> u8 >> u16 >> u32 >> i16 >> i32 >> f >> s >> empty >> z;
  is.Read(raw, 2);
  EXPECT_TRUE(is.IsGood());
  EXPECT_EQ(u8, 1);
  EXPECT_EQ(u16, 0x0203);
  EXPECT_EQ(u32, 0x04050607u);
  EXPECT_EQ(i16, -2);
  EXPECT_EQ(i32, -3);
  EXPECT_EQ(f, 1.0f);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(empty, "");
  EXPECT_EQ(z, 'z');
  EXPECT_EQ(raw[1], '\xFF');
  EXPECT_EQ(chain.head().GetChainedLength(), 0u);
}

TEST(CCmByteStreamT, FailuresAreStickyAndTraced) {
  TraceCapture trace;
  CCmMessageBlock small(5);
  CCmByteStreamNetwork os(small);
  os << uint32_t(1) << uint16_t(2);  // 4 + 1 of 2 bytes fit
  EXPECT_EQ(os.GetResultWrite(), ZAR_E_PARTIAL_DATA);
  os << uint8_t(3);  // skipped
  EXPECT_EQ(small.GetChainedLength(), 5u);
  EXPECT_EQ(trace.Count("CCmByteStreamT::Write, can't write. m_ResultWrite=1174421815 [this=0x", 0), 2u);

  CCmByteStreamNetwork is(small);
  uint32_t a = 0;
  uint16_t b = 7;
  CCmString s("keep?");
  is >> a >> b >> s;
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 0);  // a failed read yields zero
  EXPECT_EQ(s, "");
  EXPECT_FALSE(is.IsGood());
  EXPECT_EQ(is.GetResultRead(), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(trace.Count("CCmByteStreamT::Read, can't read. m_ResultRead=1174421815", 0), 2u);

  small.LockWriting();
  CCmByteStreamNetwork locked(small);
  locked << uint8_t(1);
  EXPECT_EQ(locked.GetResultWrite(), ZAR_E_FAIL);
}

TEST(CCmByteStreamT, StringLengthLimit) {
  TraceCapture trace;
  CCmMessageBlock mb(70000);
  CCmByteStreamNetwork os(mb);
  os << CCmString(65534, 'q');
  ASSERT_TRUE(os.IsGood());
  EXPECT_EQ(mb.GetChainedLength(), 65536u);
  unsigned char prefix[2];
  mb.Peek(prefix, 2);
  EXPECT_EQ(prefix[0], 0xFF);
  EXPECT_EQ(prefix[1], 0xFE);

  os << CCmString(65535, 'q');
  EXPECT_TRUE(trace.Contains("Assert failed: ll < STRING_LEN_MAX", 0));
  EXPECT_EQ(mb.GetChainedLength(), 65536u);  // nothing written
  EXPECT_EQ(os.GetResultWrite(), ZAR_E_INVALIDARG);

  CCmByteStreamNetwork is(mb);
  CCmString back;
  is >> back;
  EXPECT_EQ(back, std::string(65534, 'q'));
}

}  // namespace
