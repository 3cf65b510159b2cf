// Data blocks, message block chains, CCmDataBlockNoMalloc and CCmAutoBuffer.
// Chains are made of 6-byte blocks so that every operation crosses block
// boundaries; AddressSanitizer turns any double free or leak of a
// duplicate-then-destroy sequence into a failure.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CmDebug.h"
#include "CmMessageBlock.h"
#include "TraceCapture.h"

namespace {

const char kDigits[] = "0123456789ABCDEFGHIJ";

// Caller-owned chain of aCount blocks of aSize bytes, each with its own data block.
struct Chain {
  std::vector<std::unique_ptr<CCmMessageBlock>> blocks;
  Chain(int aCount, unsigned long aSize) {
    for (int i = 0; i < aCount; ++i) {
      blocks.emplace_back(new CCmMessageBlock(aSize));
      if (i > 0) blocks[0]->Append(blocks[i].get());
    }
  }
  CCmMessageBlock& head() { return *blocks[0]; }
  std::string Top(int i) { return std::string(blocks[i]->GetTopLevelReadPtr(), blocks[i]->GetTopLevelLength()); }
};

TEST(CCmDataBlock, FactoryRefusalsAndAlignment) {
  TraceCapture trace;
  CCmDataBlock* db = reinterpret_cast<CCmDataBlock*>(0x1);
  EXPECT_EQ(CCmDataBlock::CreateInstance(db, 0, nullptr), ZAR_E_INVALIDARG);
  EXPECT_EQ(CCmDataBlock::CreateInstanceWithAlignByte(db, 8, nullptr, 0), ZAR_E_INVALIDARG);
  EXPECT_EQ(CCmDataBlock::CreateInstanceWithAlignByte(db, 8, nullptr, 2049), ZAR_E_INVALIDARG);
  EXPECT_EQ(db, reinterpret_cast<CCmDataBlock*>(0x1));
  EXPECT_TRUE(trace.Contains("Assert failed: aSize > 0", 0));
  EXPECT_TRUE(trace.Contains("Assert failed: alignByte > 0", 0));
  EXPECT_TRUE(trace.Contains("Assert failed: alignByte <= 2048", 0));

  for (unsigned long align : {1ul, 3ul, 7ul, 64ul, 1000ul, 2048ul}) {
    ASSERT_EQ(CCmDataBlock::CreateInstanceWithAlignByte(db, 10, "abcdefghij", align), ZAR_S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(db->GetBasePtr()) % align, 0u) << align;
    EXPECT_GT(db->GetLength(), 10u);
    EXPECT_EQ(db->GetCapacity(), db->GetLength());
    EXPECT_EQ(std::string(db->GetBasePtr(), 10), "abcdefghij");
    memset(db->GetBasePtr(), 0x5A, db->GetLength());  // every byte is ours
    EXPECT_EQ(db->GetReference(), 1u);
    db->ReleaseReference();
  }
}

TEST(CCmMessageBlock, WriteAndReadCrossBlockBoundaries) {
  Chain c(2, 6);
  unsigned long n = 0;
  EXPECT_EQ(c.head().Write(kDigits, 10, &n), ZAR_S_OK);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(c.Top(0), "012345");
  EXPECT_EQ(c.Top(1), "6789");
  EXPECT_EQ(c.head().Write(kDigits, 3, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(c.head().GetChainedSpace(), 0u);

  char out[16] = {};
  EXPECT_EQ(c.head().Read(out, 8, &n, false), ZAR_S_OK);  // a peek
  EXPECT_EQ(std::string(out, 8), "01234567");
  EXPECT_EQ(c.head().GetChainedLength(), 12u);
  EXPECT_EQ(c.head().Read(out, 13, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(std::string(out, 12), "01234567890" "1");
  EXPECT_EQ(c.head().GetChainedLength(), 0u);

  Chain d(2, 6);
  EXPECT_EQ(d.head().Write(kDigits, 13, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(d.head().Write(nullptr, 0, &n), ZAR_S_OK);  // nothing to place
  d.head().RewindChained();
  EXPECT_EQ(d.head().Write(nullptr, 7, &n), ZAR_S_OK);  // null source only moves
  EXPECT_EQ(d.Top(1), "6");
  EXPECT_EQ(d.head().AdvanceChainedReadPtr(9, &n), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(n, 7u);
}

TEST(CCmMessageBlock, LocksRefuseWithAssertions) {
  TraceCapture trace;
  Chain c(2, 6);
  c.blocks[1]->LockWriting();
  unsigned long n = 99;
  EXPECT_EQ(c.head().Write(kDigits, 8, &n), ZAR_E_FAIL);
  EXPECT_EQ(n, 6u);  // what fit before the locked block
  EXPECT_EQ(trace.Count("Assert failed: CM_BIT_DISABLED(m_Flag, WRITE_LOCKED)", 0), 1u);
  EXPECT_EQ(c.blocks[1]->AdvanceTopLevelWritePtr(1), ZAR_E_FAIL);
  EXPECT_EQ(c.blocks[1]->GetTopLevelWritePtr(), nullptr);
  c.head().LockReading();
  EXPECT_EQ(c.head().GetTopLevelReadPtr(), nullptr);
  EXPECT_EQ(c.head().Read(nullptr, 1), ZAR_E_FAIL);
  EXPECT_EQ(c.head().AdvanceTopLevelReadPtr(1), ZAR_E_FAIL);
  EXPECT_EQ(trace.Count("Assert failed: CM_BIT_DISABLED(m_Flag, READ_LOCKED)", 0), 3u);

  CCmMessageBlock b(4);
  EXPECT_EQ(b.AdvanceTopLevelWritePtr(5), ZAR_E_NOT_AVAILABLE);
  EXPECT_EQ(b.RetreatTopLevelWritePtr(1), ZAR_E_NOT_AVAILABLE);
  EXPECT_EQ(b.AdvanceTopLevelReadPtr(~0ul), ZAR_E_NOT_AVAILABLE);
  EXPECT_TRUE(trace.Contains("Assert failed: (DWORD)(m_pEndPtr - m_pWritePtr) >= aStep"));
  EXPECT_TRUE(trace.Contains("Assert failed: (DWORD)(m_pWritePtr - m_pReadPtr) >= aStep"));
  EXPECT_TRUE(trace.Contains("Assert failed: m_pWritePtr >= m_pReadPtr + aStep"));
  EXPECT_EQ(b.GetTopLevelLength() + b.GetTopLevelSpace(), 4u);
}

TEST(CCmMessageBlock, AdvanceChainedWritePtrStopsAtReadBlocks) {
  TraceCapture trace;
  Chain c(3, 6);
  unsigned long moved = 0;
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(0, &moved), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(8, &moved), ZAR_S_OK);
  EXPECT_EQ(moved, 8u);
  EXPECT_EQ(c.blocks[1]->GetTopLevelLength(), 2u);
  c.blocks[1]->AdvanceTopLevelReadPtr(1);
  c.head().RetreatTopLevelWritePtr(6);
  EXPECT_EQ(c.head().AdvanceChainedWritePtr(9, &moved), ZAR_E_PARTIAL_DATA);
  EXPECT_EQ(moved, 6u);
  EXPECT_TRUE(trace.Contains("CCmMessageBlock::AdvanceChainedWritePtr, can't advance. m_pBeginPtr=0x", 0));
  EXPECT_TRUE(trace.Contains(" m_pReadPtr=0x"));
}

TEST(CCmMessageBlock, PeekAndUpdateAtAnyOffset) {
  TraceCapture trace;
  Chain c(3, 6);
  c.head().Write(kDigits, 16);
  c.head().AdvanceTopLevelReadPtr(2);  // readable: 2345|6789AB|CDEF
  unsigned char buf[16] = {};
  EXPECT_EQ(c.head().Peek(buf, 7, 3), ZAR_S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "56789AB");
  EXPECT_EQ(c.head().Update(reinterpret_cast<const unsigned char*>("xyzw"), 4, 9), ZAR_S_OK);
  EXPECT_EQ(c.head().FlattenChained(), "23456789AxyzwF");
  EXPECT_EQ(c.head().GetChainedLength(), 14u);  // no position moved

  EXPECT_EQ(c.head().Peek(nullptr, 0, 99), ZAR_S_OK);
  EXPECT_EQ(c.head().Peek(nullptr, 1), ZAR_E_FAIL);
  EXPECT_EQ(c.head().Peek(buf, 5, 10), ZAR_E_FAIL);
  EXPECT_EQ(c.head().Update(buf, 2, ~0ul), ZAR_E_FAIL);  // no wrap-around of the sum
  EXPECT_EQ(c.head().Update(nullptr, 2), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("Assert failed: pPeekBuffer"));
  EXPECT_TRUE(trace.Contains("Assert failed: pSrc"));
  EXPECT_TRUE(trace.Contains("Assert failed: nPeekLen + nOffset <= this->GetChainedLength()"));
  EXPECT_TRUE(trace.Contains("Assert failed: nSrcLen + nOffset <= this->GetChainedLength()"));
}

TEST(CCmMessageBlock, AppendRefusesLoops) {
  TraceCapture trace;
  Chain c(3, 6);
  c.head().Append(c.blocks[1].get());
  c.blocks[2]->Append(&c.head());
  EXPECT_EQ(trace.Count("Assert failed: aMb != pMbMove", 0), 1u);
  EXPECT_EQ(c.blocks[2]->GetNext(), nullptr);
  CCmMessageBlock other(6);
  c.blocks[1]->Append(&other);
  EXPECT_EQ(c.blocks[2]->GetNext(), &other);
}

TEST(CCmMessageBlock, DuplicateSharesDataBlockOrDeepCopiesCallerMemory) {
  char external[8] = "abcdefg";
  CCmMessageBlock ext(7, external, 0, 7);
  ext.AdvanceTopLevelReadPtr(2);
  CCmMessageBlock own(6, nullptr, 0, 3);
  own.LockReading();
  ext.Append(&own);
  CCmMessageBlock* dup = ext.DuplicateChained();
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(own.GetDataBlock()->GetReference(), 2u);
  EXPECT_EQ(dup->GetNext()->GetDataBlock(), own.GetDataBlock());
  EXPECT_NE(dup->GetTopLevelReadPtr(), ext.GetTopLevelReadPtr());
  external[3] = '#';
  EXPECT_EQ(std::string(dup->GetTopLevelReadPtr(), dup->GetTopLevelLength()), "cdefg");
  EXPECT_EQ(dup->GetFlag(), CCmMessageBlock::DUPLICATED);  // no lock, no region bits
  EXPECT_EQ(dup->GetNext()->GetFlag(), CCmMessageBlock::DUPLICATED);
  EXPECT_EQ(dup->GetNext()->GetTopLevelLength(), 3u);
  dup->DestroyChained();
  EXPECT_EQ(own.GetDataBlock()->GetReference(), 1u);
}

TEST(CCmMessageBlock, DisjointAtAndInsideBoundaries) {
  TraceCapture trace;
  Chain c(3, 6);
  c.head().Write(kDigits, 18);
  CCmMessageBlock* dup = c.head().DuplicateChained();
  CCmMessageBlock* second = dup->GetNext();
  EXPECT_EQ(dup->Disjoint(6), second);  // at a boundary: unlinked, not copied
  EXPECT_EQ(dup->GetNext(), nullptr);
  CCmMessageBlock* tail = second->Disjoint(8);  // inside: 6789AB|CD / EFGH
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(second->FlattenChained(), "6789ABCD");
  EXPECT_EQ(tail->FlattenChained(), "EFGH");
  EXPECT_EQ(tail->GetDataBlock(), c.blocks[2]->GetDataBlock());
  EXPECT_EQ(trace.Count("Disjoint, there are not DUPLICATED"), 0u);
  EXPECT_EQ(tail->Disjoint(4), nullptr);  // the whole chain: no tail
  EXPECT_EQ(tail->Disjoint(5), nullptr);
  tail->DestroyChained();
  second->DestroyChained();

  // Behind the split of a caller-owned chain every block is replaced.
  tail = c.head().Disjoint(0);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(c.head().GetTopLevelLength(), 0u);
  EXPECT_EQ(c.head().GetNext(), nullptr);
  EXPECT_EQ(c.blocks[1]->GetNext(), nullptr);
  EXPECT_EQ(tail->FlattenChained(), std::string(kDigits, 18));
  for (CCmMessageBlock* mb = tail; mb; mb = mb->GetNext()) EXPECT_TRUE(mb->GetFlag() & CCmMessageBlock::DUPLICATED);
  EXPECT_EQ(trace.Count("CCmMessageBlock::Disjoint, there are not DUPLICATED blocks behind the disjointed block.", 1),
            2u);
  tail->DestroyChained();
  dup->DestroyChained();
}

TEST(CCmMessageBlock, ReclaimGarbageFreesEmptyDuplicates) {
  TraceCapture trace;
  Chain c(3, 6);
  c.head().Write(kDigits, 14);
  c.head().AdvanceChainedReadPtr(12);
  CCmMessageBlock* dup = c.head().DuplicateChained();
  CCmMessageBlock* third = dup->GetNext()->GetNext();
  EXPECT_EQ(dup->ReclaimGarbage(), third);
  EXPECT_EQ(third->ReclaimGarbage(), third);
  third->AdvanceTopLevelReadPtr(2);
  EXPECT_EQ(third->ReclaimGarbage(), nullptr);
  c.head().SetRtpChainedFlag(true);
  EXPECT_EQ(c.head().ReclaimGarbage(), nullptr);
  EXPECT_TRUE(trace.Contains(
      "CCmMessageBlock::ReclaimGarbage, this function should not be called when m_bRtpChainedFlag = 1 [this=0x", 0));
  c.head().SetRtpChainedFlag(false);
}

TEST(CCmMessageBlock, CombineAndFlattenRefuseReadLockedBytes) {
  TraceCapture trace;
  Chain c(3, 6);
  c.head().Write(kDigits, 15);
  c.head().AdvanceTopLevelReadPtr(1);
  CCmMessageBlock* one = c.head().CombineSingleBuffer();
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->GetNext(), nullptr);
  EXPECT_EQ(std::string(one->GetTopLevelReadPtr(), one->GetTopLevelLength()), std::string(kDigits + 1, 14));
  EXPECT_EQ(one->GetTopLevelSpace(), 0u);
  CCmMessageBlock* again = one->CombineSingleBuffer();  // already single: a duplicate
  EXPECT_EQ(again->GetDataBlock(), one->GetDataBlock());
  again->DestroyChained();
  one->DestroyChained();

  c.blocks[1]->LockReading();
  EXPECT_EQ(c.head().CombineSingleBuffer(), nullptr);
  EXPECT_EQ(c.head().FlattenChained(), "");
  EXPECT_EQ(trace.Count("Assert failed: CM_BIT_DISABLED(m_Flag, READ_LOCKED)", 0), 2u);
}

TEST(CCmMessageBlock, FillIovUsesThePlatformDescriptor) {
  Chain c(4, 6);
  c.head().Write(kDigits, 20);
  c.blocks[1]->AdvanceTopLevelReadPtr(6);  // empty: no entry
  iovec iov[4];
  ASSERT_EQ(c.head().FillIov(iov, 4), 3u);
  EXPECT_EQ(iov[1].iov_base, c.blocks[2]->GetTopLevelReadPtr());
  EXPECT_EQ(iov[2].iov_len, 2u);
  EXPECT_EQ(c.head().FillIov(iov, 1), 1u);
  EXPECT_EQ(iov[0].iov_len, 6u);
}

TEST(CCmMessageBlock, ReserveKeepsPositionsAndBytes) {
  char external[4] = {'w', 'x', 'y', 'z'};
  CCmMessageBlock b(4, external, CCmMessageBlock::WRITE_LOCKED, 4);
  EXPECT_EQ(b.GetFlag(), CCmMessageBlock::EXTERNAL_DATA);  // lock byte never taken from callers
  b.LockWriting();
  b.AdvanceTopLevelReadPtr(1);
  EXPECT_EQ(b.ReserveSpace(0), ZAR_S_OK);
  EXPECT_EQ(b.ReserveSpace(10), ZAR_S_OK);
  EXPECT_EQ(b.GetFlag(), CCmMessageBlock::EXTERNAL_DATA);
  EXPECT_EQ(b.GetTopLevelSpace(), 10u);
  EXPECT_EQ(b.Write("12", 2), ZAR_S_OK);
  EXPECT_EQ(b.FlattenChained(), "xyz12");
  CCmMessageBlock* dup = b.DuplicateTopLevel();
  EXPECT_NE(dup->GetDataBlock(), b.GetDataBlock());  // still a deep copy
  EXPECT_EQ(dup->FlattenChained(), "xyz12");
  dup->DestroyChained();
  EXPECT_EQ(external[0], 'w');
}

TEST(CCmMessageBlock, SetDataOnlyOnEmptyBlocks) {
  TraceCapture trace;
  CCmDataBlock* db = nullptr;
  ASSERT_EQ(CCmDataBlock::CreateInstance(db, 8, "01234567"), ZAR_S_OK);
  CCmMessageBlock b(db, CCmMessageBlock::ALLOCATE_DATA | CCmMessageBlock::READ_LOCKED, 5);
  EXPECT_EQ(b.GetFlag(), 0u);
  EXPECT_EQ(b.SetData(db, 0, 0), ZAR_E_FAIL);
  EXPECT_EQ(b.SetData(4, "abcd", 0, 0), ZAR_E_FAIL);
  EXPECT_EQ(trace.Count("CCmMessageBlock::SetData failed, m_pBeginPtr is not NULL [this=0x", 1), 1u);
  EXPECT_EQ(b.FlattenChained(), "01234");
  EXPECT_EQ(db->GetReference(), 2u);
  db->ReleaseReference();

  CCmMessageBlock empty;
  EXPECT_EQ(empty.SetData(0, nullptr, 0, 0), ZAR_S_OK);
  EXPECT_EQ(empty.GetChainedLength() + empty.GetChainedSpace(), 0u);
  EXPECT_EQ(empty.SetData(3, "abc", CCmMessageBlock::ALLOCATE_DATA, 0), ZAR_S_OK);  // fresh, uncopied
  EXPECT_NE(empty.GetDataBlock(), nullptr);
  EXPECT_EQ(empty.GetTopLevelSpace(), 3u);
}

TEST(CCmMessageBlock, RtpChainedFlagDeletesTheRestOfTheChain) {
  CCmMessageBlock* head = new CCmMessageBlock(4);
  CCmMessageBlock* mid = new CCmMessageBlock(4);
  head->Append(mid);
  mid->Append(new CCmMessageBlock(4));
  head->SetRtpChainedFlag(true);
  mid->SetRtpChainedFlag(true);
  delete head;  // the sanitizer build reports any block left behind
  CCmMessageBlock* dup = nullptr;
  {
    CCmMessageBlock a(4), b(4);
    a.Append(&b);
    dup = a.DuplicateChained();
    dup->SetRtpChainedFlag(true);
  }
  dup->DestroyChained();  // no double delete of the second copy
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
  EXPECT_EQ(b.Write(nullptr, 1), ZAR_E_INVALIDARG);
  EXPECT_EQ(b.Read(nullptr, 1), ZAR_E_INVALIDARG);
  CCmDataBlockNoMalloc none(nullptr, 0);
  EXPECT_EQ(none.Write("a", 1), ZAR_E_UNEXPECTED);
  EXPECT_EQ(none.Read(out, 1), ZAR_E_UNEXPECTED);
  for (const char* text : {"aSrc", "aDst", "m_pCurrentWrite", "m_pCurrentRead"}) {
    EXPECT_TRUE(trace.Contains(std::string("Assert failed: ") + text)) << text;
  }
}

TEST(CCmAutoBuffer, ZeroFilledAndSingleOwner) {
  CCmAutoBuffer a(4);
  EXPECT_EQ(std::string(a.GetPtr(), 5), std::string(5, '\0'));
  a.SetData("abcdef", 6);
  EXPECT_STREQ(a.GetPtr(), "abcd");
  a.SetData("X", 1);
  EXPECT_STREQ(a.GetPtr(), "Xbcd");
  CCmAutoBuffer b(1);
  b = a;
  b.GetPtr()[0] = 'Y';
  EXPECT_STREQ(a.GetPtr(), "Xbcd");
  EXPECT_STREQ(b.GetPtr(), "Ybcd");
  CCmAutoBuffer c(std::move(b));
  EXPECT_EQ(b.GetPtr(), nullptr);
  EXPECT_EQ(c.GetSize(), 4u);
  EXPECT_EQ(CCmAutoBuffer(0).GetPtr(), nullptr);
}

}  // namespace
