// Data blocks, message block chains, CCmDataBlockNoMalloc and CCmAutoBuffer.
// Chains are made of 6-byte blocks so that every operation crosses block
// boundaries; the sanitizer build turns any double free or leak of a
// duplicate-then-destroy sequence into a failure.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CmMessageBlock.h"
#include "TraceCapture.h"

namespace {

const char kDigits[] = "0123456789ABCDEFGHIJ";
const std::string kAssert = "Assert failed: ";
using Codes = std::vector<int>;

// Every aTexts is in a captured assertion line.
void ExpectAsserts(const TraceCapture& aTrace, std::initializer_list<const char*> aTexts) {
  for (const char* text : aTexts) EXPECT_TRUE(aTrace.Contains(kAssert + text, 0)) << text;
}

// Caller-owned chain of aCount blocks of 6 bytes, filled with aFill digits.
struct Chain {
  std::vector<std::unique_ptr<CCmMessageBlock>> blocks;
  Chain(int aCount, unsigned long aFill = 0) {
    for (int i = 0; i < aCount; ++i) {
      blocks.emplace_back(new CCmMessageBlock(6));
      if (i > 0) blocks[0]->Append(blocks[i].get());
    }
    blocks[0]->Write(kDigits, aFill);
  }
  CCmMessageBlock& head() { return *blocks[0]; }
  std::string Top(int i) { return std::string(blocks[i]->GetTopLevelReadPtr(), blocks[i]->GetTopLevelLength()); }
};

TEST(CCmDataBlock, FactoryRefusalsAndAlignment) {
  TraceCapture trace;
  CCmDataBlock* db = nullptr;
  EXPECT_EQ(Codes({CCmDataBlock::CreateInstance(db, 0, nullptr), CCmDataBlock::CreateInstanceWithAlignByte(db, 8, nullptr, 0),
                   CCmDataBlock::CreateInstanceWithAlignByte(db, 8, nullptr, 2049)}),
            Codes(3, ZAR_E_INVALIDARG));
  EXPECT_EQ(db, nullptr);
  ExpectAsserts(trace, {"aSize > 0", "alignByte > 0", "alignByte <= 2048"});
  for (unsigned long align : {1ul, 3ul, 7ul, 1000ul, 2048ul}) {
    ASSERT_EQ(CCmDataBlock::CreateInstanceWithAlignByte(db, 10, "abcdefghij", align), ZAR_S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(db->GetBasePtr()) % align, 0u) << align;
    EXPECT_EQ(db->GetBasePtr() - db->GetAlignOffset(), reinterpret_cast<char*>(db) + sizeof(CCmDataBlock));
    EXPECT_EQ(db->GetLength(), 10 + align - db->GetAlignOffset());  // so always more than 10
    EXPECT_EQ(std::string(db->GetBasePtr(), 10), "abcdefghij");
    memset(db->GetBasePtr(), 0x5A, db->GetLength());  // every byte of the length is ours
    db->ReleaseReference();
  }
}

// Freed packet-sized allocations are taken again by later blocks of other
// sizes and alignments (and on other threads): each must still hold its
// header, its offset and its whole length.
TEST(CCmDataBlock, ReusedAllocationsHoldEveryByteOfTheirLength) {
  auto check = [](unsigned long aSize, unsigned long aAlign) {
    CCmDataBlock* db = nullptr;
    const int rv = aAlign ? CCmDataBlock::CreateInstanceWithAlignByte(db, aSize, nullptr, aAlign)
                          : CCmDataBlock::CreateInstance(db, aSize, nullptr);
    if (rv != ZAR_S_OK) return false;
    const size_t needed = sizeof(CCmDataBlock) + db->GetAlignOffset() + db->GetLength();
    const bool ok = malloc_usable_size(db) >= needed && db->GetLength() >= aSize &&
                    (aAlign == 0 || reinterpret_cast<uintptr_t>(db->GetBasePtr()) % aAlign == 0);
    memset(db->GetBasePtr(), 0x5A, db->GetLength());
    db->ReleaseReference();
    return ok;
  };
  std::vector<std::pair<unsigned long, unsigned long>> shapes;
  for (unsigned long size : {1ul, 200ul, 224ul, 225ul, 480ul, 1200ul, 1500ul, 1501ul, 2000ul, 4000ul, 4064ul, 5000ul}) {
    for (unsigned long align : {0ul, 16ul, 1000ul, 2048ul}) shapes.emplace_back(size, align);
  }
  int bad = 0;
  // Ascending and descending, so a freed allocation meets both bigger and
  // smaller blocks of its size class.
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& shape : shapes) bad += check(shape.first, shape.second) ? 0 : 1;
    std::reverse(shapes.begin(), shapes.end());
  }
  EXPECT_EQ(bad, 0);

  // Created here, released on a thread that then ends; then more here.
  std::vector<CCmDataBlock*> blocks(40, nullptr);
  for (auto& db : blocks) ASSERT_EQ(CCmDataBlock::CreateInstance(db, 1500, nullptr), ZAR_S_OK);
  std::thread([&] {
    for (auto* db : blocks) db->ReleaseReference();
  }).join();
  for (const auto& shape : shapes) bad += check(shape.first, shape.second) ? 0 : 1;
  EXPECT_EQ(bad, 0);
}

TEST(CCmMessageBlock, WriteAndReadCrossBlockBoundaries) {
  Chain c(2);
  unsigned long n = 0, m = 0;
  EXPECT_EQ(Codes({c.head().Write(kDigits, 10, &n), c.head().Write(kDigits, 3, &m)}), Codes({0, ZAR_E_PARTIAL_DATA}));
  EXPECT_EQ(n + m, 12u);
  EXPECT_EQ(c.Top(0) + "|" + c.Top(1), "012345|678901");
  char out[16] = {};
  EXPECT_EQ(c.head().Read(out, 8, &n, false), ZAR_S_OK);  // a peek: nothing moves
  EXPECT_EQ(c.head().GetChainedLength(), 12u);
  EXPECT_EQ(c.head().Read(out, 13, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(std::string(out, n), "012345678901");
  EXPECT_EQ(Chain(2).head().Write(kDigits, 13, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 12u);

  c.head().RewindChained();
  EXPECT_EQ(c.head().Write(nullptr, 7, &n), ZAR_S_OK);  // a null source only moves positions
  EXPECT_EQ(c.Top(1), "6");
  EXPECT_EQ(c.head().AdvanceChainedReadPtr(9, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 7u);
}

TEST(CCmMessageBlock, LocksAndBoundsRefuseWithAssertions) {
  TraceCapture trace;
  Chain c(2);
  c.blocks[1]->LockWriting();
  unsigned long n = 99;
  EXPECT_EQ(c.head().Write(kDigits, 8, &n), ZAR_E_FAIL);
  EXPECT_EQ(n, 6u);  // what fit before the locked block
  EXPECT_EQ(c.blocks[1]->GetTopLevelWritePtr(), nullptr);
  EXPECT_EQ(trace.Count(kAssert + "CM_BIT_DISABLED(m_Flag, WRITE_LOCKED)", 0), 2u);
  c.head().LockReading();
  EXPECT_EQ(c.head().GetTopLevelReadPtr(), nullptr);
  EXPECT_EQ(Codes({c.head().Read(nullptr, 1), c.head().AdvanceTopLevelReadPtr(1)}), Codes(2, ZAR_E_FAIL));
  EXPECT_EQ(trace.Count(kAssert + "CM_BIT_DISABLED(m_Flag, READ_LOCKED)", 0), 3u);

  CCmMessageBlock b(4);
  EXPECT_EQ(Codes({b.AdvanceTopLevelWritePtr(5), b.RetreatTopLevelWritePtr(1), b.AdvanceTopLevelReadPtr(~0ul)}),
            Codes(3, ZAR_E_NOT_AVAILABLE));  // the last without overflowing a pointer
  ExpectAsserts(trace, {"(DWORD)(m_pEndPtr - m_pWritePtr) >= aStep", "(DWORD)(m_pWritePtr - m_pReadPtr) >= aStep",
                        "m_pWritePtr >= m_pReadPtr + aStep"});
}

TEST(CCmMessageBlock, AdvanceChainedWritePtrStopsAtReadBlocks) {
  TraceCapture trace;
  Chain c(3);
  unsigned long moved = 0;
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(0, &moved), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(8, &moved), ZAR_S_OK);
  EXPECT_EQ(c.blocks[1]->GetTopLevelLength(), 2u);
  c.head().RewindChained();
  c.blocks[1]->AdvanceChainedWritePtr(1);
  c.blocks[1]->AdvanceTopLevelReadPtr(1);
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(9, &moved), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(moved, 6u);
  EXPECT_TRUE(trace.Contains("CCmMessageBlock::AdvanceChainedWritePtr, can't advance. m_pBeginPtr=0x", 0));
}

TEST(CCmMessageBlock, PeekAndUpdateAtAnyOffset) {
  TraceCapture trace;
  Chain c(3, 16);
  c.head().AdvanceTopLevelReadPtr(2);  // readable: 2345|6789AB|CDEF
  unsigned char buf[16] = {};
  EXPECT_EQ(c.head().Peek(buf, 7, 3), ZAR_S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "56789AB");
  EXPECT_EQ(c.head().Update(reinterpret_cast<const unsigned char*>("xyzw"), 4, 9), ZAR_S_OK);
  EXPECT_EQ(c.head().FlattenChained(), "23456789AxyzwF");
  EXPECT_EQ(c.head().Peek(nullptr, 0, 99), ZAR_S_OK);
  EXPECT_EQ(Codes({c.head().Peek(nullptr, 1), c.head().Peek(buf, 5, 10), c.head().Update(buf, 2, ~0ul),
                   c.head().Update(nullptr, 2)}),
            Codes(4, ZAR_E_FAIL));  // the third: the sum must not wrap around
  ExpectAsserts(trace, {"pPeekBuffer", "pSrc", "nPeekLen + nOffset <= this->GetChainedLength()",
                        "nSrcLen + nOffset <= this->GetChainedLength()"});
}

TEST(CCmMessageBlock, DuplicateSharesDataBlockOrDeepCopiesCallerMemory) {
  TraceCapture trace;
  char external[8] = "abcdefg";
  CCmMessageBlock ext(7, external, 0, 7), own(6, nullptr, 0, 3);
  ext.AdvanceTopLevelReadPtr(2);
  own.LockReading();
  ext.Append(&own);
  own.Append(&ext);  // refused: would close a loop
  ext.Append(&own);
  EXPECT_EQ(trace.Count(kAssert + "aMb != pMbMove", 0), 1u);
  EXPECT_EQ(own.GetNext(), nullptr);
  CCmMessageBlock* dup = ext.DuplicateChained();
  EXPECT_EQ(own.GetDataBlock()->GetReference(), 2u);
  EXPECT_EQ(dup->GetNext()->GetDataBlock(), own.GetDataBlock());
  external[3] = '#';
  EXPECT_EQ(std::string(dup->GetTopLevelReadPtr(), dup->GetTopLevelLength()), "cdefg");
  EXPECT_EQ(dup->GetFlag(), CCmMessageBlock::DUPLICATED);  // no lock, no region bits
  EXPECT_EQ(dup->GetNext()->GetFlag(), CCmMessageBlock::DUPLICATED);
  dup->DestroyChained();
  EXPECT_EQ(own.GetDataBlock()->GetReference(), 1u);
}

TEST(CCmMessageBlock, DisjointAtAndInsideBoundaries) {
  TraceCapture trace;
  Chain c(3, 18);
  CCmMessageBlock* dup = c.head().DuplicateChained();
  CCmMessageBlock* second = dup->GetNext();
  EXPECT_EQ(dup->Disjoint(6), second);  // at a boundary: unlinked, not copied
  EXPECT_EQ(dup->GetNext(), nullptr);
  CCmMessageBlock* tail = second->Disjoint(8);  // inside: 6789AB|CD + EFGH
  EXPECT_EQ(second->FlattenChained() + "|" + tail->FlattenChained(), "6789ABCD|EFGH");
  EXPECT_EQ(tail->GetDataBlock(), c.blocks[2]->GetDataBlock());
  EXPECT_EQ(tail->Disjoint(4), nullptr);  // the whole chain: no tail
  EXPECT_EQ(trace.Count("Disjoint, there are not DUPLICATED"), 0u);
  tail->DestroyChained();
  second->DestroyChained();
  dup->DestroyChained();

  tail = c.head().Disjoint(0);  // behind the split every caller-owned block is replaced
  EXPECT_EQ(c.head().GetTopLevelLength(), 0u);
  EXPECT_EQ(c.blocks[1]->GetNext(), nullptr);
  EXPECT_EQ(tail->FlattenChained(), std::string(kDigits, 18));
  for (CCmMessageBlock* mb = tail; mb; mb = mb->GetNext()) EXPECT_TRUE(mb->GetFlag() & CCmMessageBlock::DUPLICATED);
  EXPECT_EQ(trace.Count("CCmMessageBlock::Disjoint, there are not DUPLICATED blocks behind the disjointed block.", 1),
            2u);
  tail->DestroyChained();
}

TEST(CCmMessageBlock, ReclaimGarbageFreesEmptyDuplicates) {
  TraceCapture trace;
  Chain c(3, 14);
  c.head().AdvanceChainedReadPtr(12);
  CCmMessageBlock* dup = c.head().DuplicateChained();
  CCmMessageBlock* third = dup->GetNext()->GetNext();
  EXPECT_EQ(dup->ReclaimGarbage(), third);
  third->AdvanceTopLevelReadPtr(2);
  EXPECT_EQ(third->ReclaimGarbage(), nullptr);
  c.head().SetRtpChainedFlag(true);
  EXPECT_EQ(c.head().ReclaimGarbage(), nullptr);
  EXPECT_TRUE(trace.Contains("ReclaimGarbage, this function should not be called when m_bRtpChainedFlag = 1 [this=0x"));
  c.head().SetRtpChainedFlag(false);
}

TEST(CCmMessageBlock, CombineFlattenAndFillIov) {
  TraceCapture trace;
  Chain c(4, 15);
  c.head().AdvanceTopLevelReadPtr(1);
  c.blocks[1]->AdvanceTopLevelReadPtr(6);  // an empty block in the middle
  CCmMessageBlock* one = c.head().CombineSingleBuffer();
  EXPECT_EQ(one->FlattenChained(), "12345CDE");
  EXPECT_EQ(one->GetTopLevelSpace(), 0u);
  CCmMessageBlock* again = one->CombineSingleBuffer();  // already single: a duplicate
  EXPECT_EQ(again->GetDataBlock(), one->GetDataBlock());
  again->DestroyChained();
  one->DestroyChained();
  iovec iov[4];
  ASSERT_EQ(c.head().FillIov(iov, 4), 2u);
  EXPECT_EQ(iov[1].iov_base, c.blocks[2]->GetTopLevelReadPtr());
  EXPECT_EQ(iov[1].iov_len, 3u);
  EXPECT_EQ(c.head().FillIov(iov, 1), 1u);

  c.blocks[2]->LockReading();  // its bytes cannot be copied: no copy with a hole
  EXPECT_EQ(c.head().CombineSingleBuffer(), nullptr);
  EXPECT_EQ(c.head().FlattenChained(), "");
  EXPECT_EQ(trace.Count(kAssert + "CM_BIT_DISABLED(m_Flag, READ_LOCKED)", 0), 2u);
}

TEST(CCmMessageBlock, SetDataAndReserve) {
  TraceCapture trace;
  CCmDataBlock* db = nullptr;
  ASSERT_EQ(CCmDataBlock::CreateInstance(db, 8, "01234567"), ZAR_S_OK);
  CCmMessageBlock b(db, CCmMessageBlock::ALLOCATE_DATA | CCmMessageBlock::READ_LOCKED, 5);
  db->ReleaseReference();
  EXPECT_EQ(b.GetFlag(), 0u);  // neither request bits nor locks are taken from callers
  EXPECT_EQ(Codes({b.SetData(db, 0, 0), b.SetData(4, "abcd", 0, 0)}), Codes(2, ZAR_E_FAIL));
  EXPECT_EQ(trace.Count("CCmMessageBlock::SetData failed, m_pBeginPtr is not NULL [this=0x", 1), 1u);
  EXPECT_EQ(b.FlattenChained(), "01234");

  char external[4] = {'w', 'x', 'y', 'z'};
  CCmMessageBlock e(4, external, 0, 4);
  e.LockWriting();
  e.AdvanceTopLevelReadPtr(1);
  EXPECT_EQ(e.ReserveSpace(10), ZAR_S_OK);
  EXPECT_EQ(e.GetFlag(), CCmMessageBlock::EXTERNAL_DATA);  // unlocked, still marked as caller memory
  EXPECT_EQ(e.GetTopLevelSpace(), 10u);
  EXPECT_EQ(e.Write("12", 2), ZAR_S_OK);
  CCmMessageBlock* dup = e.DuplicateTopLevel();
  EXPECT_NE(dup->GetDataBlock(), e.GetDataBlock());  // still a deep copy
  EXPECT_EQ(dup->FlattenChained(), "xyz12");
  dup->DestroyChained();
}

TEST(CCmMessageBlock, RtpChainedFlagDeletesTheRestOfTheChain) {
  CCmMessageBlock* head = new CCmMessageBlock(4);
  CCmMessageBlock* mid = new CCmMessageBlock(4);
  head->Append(mid);
  mid->Append(new CCmMessageBlock(4));
  head->SetRtpChainedFlag(true);
  mid->SetRtpChainedFlag(true);
  delete head;  // the sanitizer build reports any block left behind
  Chain c(2);
  CCmMessageBlock* dup = c.head().DuplicateChained();
  dup->SetRtpChainedFlag(true);
  dup->DestroyChained();  // and any second delete of the copy behind it
}

TEST(CCmDataBlockNoMalloc, CursorsAreBoundedByTheRegion) {
  TraceCapture trace;
  char region[6] = {};
  CCmDataBlockNoMalloc b(region, 6);
  unsigned long n = 0;
  EXPECT_EQ(b.Write("abcd", 4, &n), ZAR_S_OK);
  EXPECT_EQ(b.Write("efgh", 4, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 2u);
  char out[8] = {};
  EXPECT_EQ(b.Read(out, 8, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(std::string(out, n), "abcdef");
  CCmDataBlockNoMalloc none(nullptr, 0);
  EXPECT_EQ(Codes({b.Write(nullptr, 1), b.Read(nullptr, 1), none.Write("a", 1), none.Read(out, 1)}),
            Codes({ZAR_E_INVALIDARG, ZAR_E_INVALIDARG, ZAR_E_UNEXPECTED, ZAR_E_UNEXPECTED}));
  ExpectAsserts(trace, {"aSrc", "aDst", "m_pCurrentWrite", "m_pCurrentRead"});
}

TEST(CCmAutoBuffer, ZeroFilledAndSingleOwner) {
  CCmAutoBuffer a(4);
  EXPECT_EQ(std::string(a.GetPtr(), 5), std::string(5, '\0'));
  a.SetData("abcdef", 6);
  a.SetData("X", 1);
  EXPECT_STREQ(a.GetPtr(), "Xbcd");
  CCmAutoBuffer b(1);
  b = a;
  b.GetPtr()[0] = 'Y';
  EXPECT_STREQ(a.GetPtr(), "Xbcd");
  CCmAutoBuffer c(std::move(b));
  EXPECT_STREQ(c.GetPtr(), "Ybcd");
  EXPECT_EQ(CCmAutoBuffer(0).GetPtr(), nullptr);
}

}  // namespace
