// CCmMessageBlock: views on data blocks or caller memory, chained.
//
// The chain operations are loops rather than recursion over m_pNext, so a
// long chain (one block per received packet) cannot exhaust the stack.
#include <cstring>
#include <new>

#include "CmDebug.h"
#include "CmMessageBlock.h"
#include "platform/CmPlatformIov.h"

// Reports the assertion aText when aCond fails. Used where the checked
// expression, evaluated literally, could overflow a pointer or a sum.
#define MB_CHECK_RETURN(aCond, aText, aRv)          \
  do {                                              \
    if (!(aCond)) {                                 \
      CmAssertFailed(__FILE__, __LINE__, aText);    \
      return aRv;                                   \
    }                                               \
  } while (0)

namespace {

// A flag word taken from a caller or copied from another block: the lock
// byte and the region bits are never carried over.
DWORD CallerFlags(unsigned long aFlag) {
  return static_cast<DWORD>(aFlag) &
         ~(CCmMessageBlock::EXTERNAL_DATA | CCmMessageBlock::ALLOCATE_DATA | CCmMessageBlock::kLockBits);
}

unsigned long Min(unsigned long aLeft, unsigned long aRight) { return aLeft < aRight ? aLeft : aRight; }

}  // namespace

CCmMessageBlock::CCmMessageBlock()
    : m_pNext(nullptr),
      m_pDataBlock(nullptr),
      m_pReadPtr(nullptr),
      m_pWritePtr(nullptr),
      m_pBeginPtr(nullptr),
      m_pEndPtr(nullptr),
      m_Flag(0),
      m_bRtpChainedFlag(false) {}

CCmMessageBlock::CCmMessageBlock(CCmDataBlock* aDb, unsigned long aFlag, unsigned long aAdvanceWritePtrSize)
    : CCmMessageBlock() {
  SetData(aDb, aFlag, aAdvanceWritePtrSize);
}

CCmMessageBlock::CCmMessageBlock(unsigned long aSize, const char* aData, unsigned long aFlag,
                                 unsigned long aAdvanceWritePtrSize)
    : CCmMessageBlock() {
  SetData(aSize, aData, aFlag, aAdvanceWritePtrSize);
}

CCmMessageBlock::~CCmMessageBlock() {
  // Each deleted block applies its own flag to what follows it.
  CCmMessageBlock* next = m_bRtpChainedFlag ? m_pNext : nullptr;
  m_pNext = nullptr;
  while (next) {
    CCmMessageBlock* after = next->m_bRtpChainedFlag ? next->m_pNext : nullptr;
    next->m_pNext = nullptr;
    delete next;
    next = after;
  }
  ReplaceDataBlock(nullptr);
}

void CCmMessageBlock::SetRegion(char* aBegin, char* aEnd) {
  m_pBeginPtr = m_pReadPtr = m_pWritePtr = aBegin;
  m_pEndPtr = aEnd;
}

// Adopts one reference already taken on aDb and releases the held one.
void CCmMessageBlock::ReplaceDataBlock(CCmDataBlock* aDb) {
  if (m_pDataBlock) m_pDataBlock->ReleaseReference();
  m_pDataBlock = aDb;
}

int CCmMessageBlock::SetData(unsigned long aSize, const char* aData, unsigned long aFlag,
                             unsigned long aAdvanceWritePtrSize) {
  if (m_pBeginPtr) return ZAR_E_FAIL;
  if (aData && CM_BIT_DISABLED(aFlag, ALLOCATE_DATA)) {
    char* region = const_cast<char*>(aData);
    SetRegion(region, region + aSize);
    m_Flag = CallerFlags(aFlag) | EXTERNAL_DATA;
  } else {
    if (aSize > 0) {
      CCmDataBlock* db = nullptr;
      const int rv = CCmDataBlock::CreateInstance(db, aSize, nullptr);
      if (rv != ZAR_S_OK) return rv;
      ReplaceDataBlock(db);
      SetRegion(db->GetBasePtr(), db->GetBasePtr() + db->GetLength());
    }
    m_Flag = CallerFlags(aFlag);
  }
  if (aAdvanceWritePtrSize) AdvanceTopLevelWritePtr(aAdvanceWritePtrSize);
  return ZAR_S_OK;
}

int CCmMessageBlock::SetData(CCmDataBlock* aDb, unsigned long aFlag, unsigned long aAdvanceWritePtrSize) {
  if (m_pBeginPtr) {
    CM_WARNING_TRACE_THIS("CCmMessageBlock::SetData failed, m_pBeginPtr is not NULL");
    return ZAR_E_FAIL;
  }
  if (aDb) aDb->AddReference();
  ReplaceDataBlock(aDb);
  if (aDb) {
    SetRegion(aDb->GetBasePtr(), aDb->GetBasePtr() + aDb->GetLength());
  } else {
    SetRegion(nullptr, nullptr);
  }
  m_Flag = CallerFlags(aFlag);
  if (aAdvanceWritePtrSize) AdvanceTopLevelWritePtr(aAdvanceWritePtrSize);
  return ZAR_S_OK;
}

DWORD CCmMessageBlock::GetChainedLength() const {
  DWORD total = 0;
  for (const CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) total += mb->GetTopLevelLength();
  return total;
}

DWORD CCmMessageBlock::GetChainedSpace() const {
  DWORD total = 0;
  for (const CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) total += mb->GetTopLevelSpace();
  return total;
}

const char* CCmMessageBlock::GetTopLevelReadPtr() const {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, READ_LOCKED), nullptr);
  return m_pReadPtr;
}

char* CCmMessageBlock::GetTopLevelWritePtr() const {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, WRITE_LOCKED), nullptr);
  return m_pWritePtr;
}

int CCmMessageBlock::AdvanceTopLevelWritePtr(unsigned long aStep) {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, WRITE_LOCKED), ZAR_E_FAIL);
  CM_ASSERTE_RETURN((DWORD)(m_pEndPtr - m_pWritePtr) >= aStep, ZAR_E_NOT_AVAILABLE);
  m_pWritePtr += aStep;
  return ZAR_S_OK;
}

int CCmMessageBlock::RetreatTopLevelWritePtr(unsigned long aStep) {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, WRITE_LOCKED), ZAR_E_FAIL);
  CM_ASSERTE_RETURN((DWORD)(m_pWritePtr - m_pReadPtr) >= aStep, ZAR_E_NOT_AVAILABLE);
  m_pWritePtr -= aStep;
  return ZAR_S_OK;
}

int CCmMessageBlock::AdvanceTopLevelReadPtr(unsigned long aStep) {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, READ_LOCKED), ZAR_E_FAIL);
  MB_CHECK_RETURN(aStep <= GetTopLevelLength(), "m_pWritePtr >= m_pReadPtr + aStep", ZAR_E_NOT_AVAILABLE);
  m_pReadPtr += aStep;
  return ZAR_S_OK;
}

// Write and Read first try the case of nearly every packet: the bytes fit
// this block, which the chain walk would also finish at, with the same
// result; only what crosses a block goes the whole way.
int CCmMessageBlock::Write(const void* aData, unsigned long aCount, unsigned long* aWritten) {
  if (CM_BIT_DISABLED(m_Flag, WRITE_LOCKED) && aCount <= GetTopLevelSpace()) {
    if (aData && aCount) memcpy(m_pWritePtr, aData, aCount);
    m_pWritePtr += aCount;
    if (aWritten) *aWritten = aCount;
    return ZAR_S_OK;
  }
  return CopyAlongChain(true, nullptr, static_cast<const char*>(aData), aCount, aWritten, true);
}

int CCmMessageBlock::Read(void* aDst, unsigned long aCount, unsigned long* aRead, bool aAdvance) {
  if (CM_BIT_DISABLED(m_Flag, READ_LOCKED) && aCount <= GetTopLevelLength()) {
    if (aDst && aCount) memcpy(aDst, m_pReadPtr, aCount);
    if (aAdvance) m_pReadPtr += aCount;
    if (aRead) *aRead = aCount;
    return ZAR_S_OK;
  }
  return CopyAlongChain(false, static_cast<char*>(aDst), nullptr, aCount, aRead, aAdvance);
}

int CCmMessageBlock::CopyAlongChain(bool aWrite, char* aDst, const char* aSrc, unsigned long aCount,
                                    unsigned long* aDone, bool aAdvance) {
  const DWORD lock = aWrite ? WRITE_LOCKED : READ_LOCKED;
  unsigned long done = 0;
  int rv = ZAR_E_PARTIAL_DATA;
  for (CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) {
    if (CM_BIT_ENABLED(mb->m_Flag, lock)) {
      CmAssertFailed(__FILE__, __LINE__,
                     aWrite ? "CM_BIT_DISABLED(m_Flag, WRITE_LOCKED)" : "CM_BIT_DISABLED(m_Flag, READ_LOCKED)");
      rv = ZAR_E_FAIL;
      break;
    }
    const unsigned long rest = aCount - done;
    const unsigned long room = aWrite ? mb->GetTopLevelSpace() : mb->GetTopLevelLength();
    const unsigned long n = Min(rest, room);
    char*& position = aWrite ? mb->m_pWritePtr : mb->m_pReadPtr;
    if (n && aWrite && aSrc) memcpy(position, aSrc + done, n);
    if (n && !aWrite && aDst) memcpy(aDst + done, position, n);
    if (aAdvance) position += n;
    done += n;
    if (rest <= room) {
      rv = ZAR_S_OK;
      break;
    }
  }
  if (aDone) *aDone = done;
  return rv;
}

int CCmMessageBlock::AdvanceChainedReadPtr(unsigned long aStep, unsigned long* aStepMoved) {
  return Read(nullptr, aStep, aStepMoved, true);
}

int CCmMessageBlock::AdvanceChainedWritePtr(unsigned long aStep, unsigned long* aStepMoved) {
  CM_ASSERTE_RETURN(CM_BIT_DISABLED(m_Flag, WRITE_LOCKED), ZAR_E_FAIL);
  unsigned long remaining = aStep;
  for (CCmMessageBlock* mb = this; mb && remaining > 0; mb = mb->m_pNext) {
    if (mb->m_pReadPtr != mb->m_pBeginPtr) {
      CM_ERROR_TRACE("CCmMessageBlock::AdvanceChainedWritePtr, can't advance. m_pBeginPtr="
                     << static_cast<const void*>(mb->m_pBeginPtr)
                     << " m_pReadPtr=" << static_cast<const void*>(mb->m_pReadPtr) << CM_THIS_SUFFIX);
      break;
    }
    if (CM_BIT_ENABLED(mb->m_Flag, WRITE_LOCKED)) {
      CmAssertFailed(__FILE__, __LINE__, "CM_BIT_DISABLED(m_Flag, WRITE_LOCKED)");
      break;
    }
    const unsigned long space = mb->GetTopLevelSpace();
    if (remaining <= space) {
      mb->m_pWritePtr += remaining;
      if (aStepMoved) *aStepMoved = aStep;
      return ZAR_S_OK;
    }
    mb->m_pWritePtr = mb->m_pEndPtr;
    remaining -= space;
  }
  if (aStepMoved) *aStepMoved = aStep - remaining;
  return ZAR_E_PARTIAL_DATA;
}

void CCmMessageBlock::TransferRange(unsigned char* aPeek, const unsigned char* aUpdate, unsigned long aLen,
                                    unsigned long aOffset) {
  CCmMessageBlock* mb = this;
  while (mb && mb->GetTopLevelLength() <= aOffset) {
    aOffset -= mb->GetTopLevelLength();
    mb = mb->m_pNext;
  }
  for (; mb && aLen > 0; mb = mb->m_pNext) {
    const unsigned long n = Min(aLen, mb->GetTopLevelLength() - aOffset);
    // An empty block may have no region at all; memcpy wants a pointer even for 0 bytes.
    if (n == 0) continue;
    if (aPeek) {
      memcpy(aPeek, mb->m_pReadPtr + aOffset, n);
      aPeek += n;
    } else {
      memcpy(mb->m_pReadPtr + aOffset, aUpdate, n);
      aUpdate += n;
    }
    aLen -= n;
    aOffset = 0;
  }
}

int CCmMessageBlock::Peek(unsigned char* pPeekBuffer, unsigned long nPeekLen, unsigned long nOffset) {
  if (nPeekLen == 0) return ZAR_S_OK;
  CM_ASSERTE_RETURN(pPeekBuffer, ZAR_E_FAIL);
  const unsigned long chained = GetChainedLength();
  MB_CHECK_RETURN(nPeekLen <= chained && nOffset <= chained - nPeekLen,
                  "nPeekLen + nOffset <= this->GetChainedLength()", ZAR_E_FAIL);
  TransferRange(pPeekBuffer, nullptr, nPeekLen, nOffset);
  return ZAR_S_OK;
}

int CCmMessageBlock::Update(const unsigned char* pSrc, unsigned long nSrcLen, unsigned long nOffset) {
  if (nSrcLen == 0) return ZAR_S_OK;
  CM_ASSERTE_RETURN(pSrc, ZAR_E_FAIL);
  const unsigned long chained = GetChainedLength();
  MB_CHECK_RETURN(nSrcLen <= chained && nOffset <= chained - nSrcLen,
                  "nSrcLen + nOffset <= this->GetChainedLength()", ZAR_E_FAIL);
  TransferRange(nullptr, pSrc, nSrcLen, nOffset);
  return ZAR_S_OK;
}

void CCmMessageBlock::Append(CCmMessageBlock* aMb) {
  CCmMessageBlock* pMbMove = this;
  for (;;) {
    CM_ASSERTE_RETURN_VOID(aMb != pMbMove);
    if (!pMbMove->m_pNext) break;
    pMbMove = pMbMove->m_pNext;
  }
  // A chain that leads back to our last block would close a loop.
  for (const CCmMessageBlock* p = aMb; p; p = p->m_pNext) CM_ASSERTE_RETURN_VOID(p != pMbMove);
  pMbMove->m_pNext = aMb;
}

CCmMessageBlock* CCmMessageBlock::DuplicateTopLevel() const {
  CCmMessageBlock* dup = nullptr;
  if (CM_BIT_ENABLED(m_Flag, EXTERNAL_DATA)) {
    // Caller memory may vanish with its owner: copy the whole region.
    const unsigned long size = static_cast<unsigned long>(m_pEndPtr - m_pBeginPtr);
    dup = new CCmMessageBlock(size, m_pBeginPtr, (m_Flag & ~EXTERNAL_DATA) | ALLOCATE_DATA, 0);
    if (size > 0 && !dup->m_pBeginPtr) {
      delete dup;
      return nullptr;
    }
    if (size > 0) memcpy(dup->m_pBeginPtr, m_pBeginPtr, size);
  } else {
    dup = new CCmMessageBlock();
    dup->SetData(m_pDataBlock, m_Flag, 0);
  }
  dup->m_pReadPtr = dup->m_pBeginPtr + (m_pReadPtr - m_pBeginPtr);
  dup->m_pWritePtr = dup->m_pBeginPtr + (m_pWritePtr - m_pBeginPtr);
  dup->m_Flag = CallerFlags(m_Flag) | DUPLICATED;
  return dup;
}

CCmMessageBlock* CCmMessageBlock::DuplicateChained() {
  CCmMessageBlock* head = nullptr;
  CCmMessageBlock** link = &head;
  try {
    for (const CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) {
      CCmMessageBlock* dup = mb->DuplicateTopLevel();
      if (!dup) {
        if (head) head->DestroyChained();
        return nullptr;
      }
      *link = dup;
      link = &dup->m_pNext;
    }
  } catch (...) {
    if (head) head->DestroyChained();
    throw;
  }
  return head;
}

void CCmMessageBlock::DestroyChained() {
  CCmMessageBlock* mb = this;
  while (mb) {
    CCmMessageBlock* next = mb->m_pNext;
    if (CM_BIT_ENABLED(mb->m_Flag, DUPLICATED)) {
      if (mb->m_bRtpChainedFlag) mb->m_pNext = nullptr;
      delete mb;
    }
    mb = next;
  }
}

CCmMessageBlock* CCmMessageBlock::ReclaimGarbage() {
  if (m_bRtpChainedFlag) {
    CM_ERROR_TRACE_THIS("CCmMessageBlock::ReclaimGarbage, this function should not be called when "
                        "m_bRtpChainedFlag = "
                        << static_cast<int>(m_bRtpChainedFlag));
    return nullptr;
  }
  CCmMessageBlock* mb = this;
  while (mb && mb->GetTopLevelLength() == 0) {
    CCmMessageBlock* next = mb->m_pNext;
    if (CM_BIT_ENABLED(mb->m_Flag, DUPLICATED)) {
      mb->m_pNext = nullptr;  // its flag must not take the rest with it
      delete mb;
    }
    mb = next;
  }
  return mb;
}

CCmMessageBlock* CCmMessageBlock::DuplicateTail(CCmMessageBlock* aHead) {
  CCmMessageBlock* head = aHead;
  CCmMessageBlock** link = &head;
  CCmMessageBlock* mb = aHead;
  while (mb) {
    CCmMessageBlock* next = mb->m_pNext;
    if (CM_BIT_DISABLED(mb->m_Flag, DUPLICATED)) {
      CM_WARNING_TRACE_THIS("CCmMessageBlock::Disjoint, there are not DUPLICATED blocks behind the disjointed block.");
      CCmMessageBlock* dup = mb->DuplicateTopLevel();
      if (!dup) {
        // Free the tail's own blocks and unlink the others, so that no owner
        // keeps a pointer into a freed block.
        for (CCmMessageBlock* p = head; p;) {
          CCmMessageBlock* after = p->m_pNext;
          p->m_pNext = nullptr;
          if (CM_BIT_ENABLED(p->m_Flag, DUPLICATED)) delete p;
          p = after;
        }
        return nullptr;
      }
      dup->m_pNext = next;
      mb->m_pNext = nullptr;
      *link = dup;
      mb = dup;
    }
    link = &mb->m_pNext;
    mb = next;
  }
  return head;
}

CCmMessageBlock* CCmMessageBlock::Disjoint(unsigned long aStart) {
  unsigned long remaining = aStart;
  for (CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) {
    const unsigned long len = mb->GetTopLevelLength();
    if (remaining > 0 && remaining == len) {
      CCmMessageBlock* tail = mb->m_pNext;
      mb->m_pNext = nullptr;
      return tail ? DuplicateTail(tail) : nullptr;
    }
    if (remaining < len) {
      CCmMessageBlock* split = mb->DuplicateTopLevel();
      if (!split) return nullptr;
      split->m_pReadPtr += remaining;
      split->m_pNext = mb->m_pNext;
      mb->m_pWritePtr -= len - remaining;
      mb->m_pNext = nullptr;
      return DuplicateTail(split);
    }
    remaining -= len;
  }
  return nullptr;
}

CCmMessageBlock* CCmMessageBlock::CombineSingleBuffer() {
  const DWORD total = GetChainedLength();
  if (GetTopLevelLength() == total) return DuplicateChained();
  CCmDataBlock* db = nullptr;
  if (CCmDataBlock::CreateInstance(db, total, nullptr) != ZAR_S_OK) return nullptr;
  CCmMessageBlock combined(db, 0, 0);
  db->ReleaseReference();
  for (const CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) {
    const DWORD len = mb->GetTopLevelLength();
    if (len == 0) continue;
    const char* bytes = mb->GetTopLevelReadPtr();
    if (!bytes) return nullptr;  // read-locked: a copy with a hole is worse than none
    combined.Write(bytes, len);
  }
  return combined.DuplicateChained();
}

CCmString CCmMessageBlock::FlattenChained() {
  CCmString out;
  out.reserve(static_cast<size_t>(GetChainedLength()) + 1);
  for (const CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) {
    const DWORD len = mb->GetTopLevelLength();
    if (len == 0) continue;
    const char* bytes = mb->GetTopLevelReadPtr();
    if (!bytes) return CCmString();  // read-locked: see CombineSingleBuffer
    out.append(bytes, len);
  }
  return out;
}

void CCmMessageBlock::RewindChained() {
  for (CCmMessageBlock* mb = this; mb; mb = mb->m_pNext) mb->m_pReadPtr = mb->m_pWritePtr = mb->m_pBeginPtr;
}

unsigned long CCmMessageBlock::FillIov(struct iovec* aIov, unsigned long aMax) const {
  CM_ASSERTE_RETURN(aIov || aMax == 0, 0);
  unsigned long filled = 0;
  for (const CCmMessageBlock* mb = this; mb && filled < aMax; mb = mb->m_pNext) {
    const DWORD len = mb->GetTopLevelLength();
    if (len == 0) continue;
    cm_platform::IovSet(aIov, filled++, mb->GetTopLevelReadPtr(), len);
  }
  return filled;
}

int CCmMessageBlock::ReserveSpace(unsigned long aSize) {
  if (GetTopLevelSpace() >= aSize) return ZAR_S_OK;
  return ReserveCapacity(static_cast<unsigned long>(m_pWritePtr - m_pBeginPtr) + aSize);
}

int CCmMessageBlock::ReserveCapacity(unsigned long aSize) {
  const unsigned long capacity = static_cast<unsigned long>(m_pEndPtr - m_pBeginPtr);
  if (capacity >= aSize) return ZAR_S_OK;
  CCmDataBlock* db = nullptr;
  const int rv = CCmDataBlock::CreateInstance(db, aSize, nullptr);
  if (rv != ZAR_S_OK) return rv;
  char* const base = db->GetBasePtr();
  const ptrdiff_t readOffset = m_pReadPtr - m_pBeginPtr;
  const ptrdiff_t writeOffset = m_pWritePtr - m_pBeginPtr;
  if (m_pBeginPtr) memcpy(base, m_pBeginPtr, capacity);
  ReplaceDataBlock(db);
  m_pBeginPtr = base;
  m_pReadPtr = base + readOffset;
  m_pWritePtr = base + writeOffset;
  m_pEndPtr = base + db->GetLength();
  // EXTERNAL_DATA stays: duplicates of a block that began on caller memory
  // remain deep copies.
  CM_CLR_BITS(m_Flag, ALLOCATE_DATA | kLockBits);
  return ZAR_S_OK;
}
