// CCmDataBlock: header and bytes in one malloc'ed allocation, so a packet
// costs one allocation and its bytes sit next to their count in cache.
#include <cstdlib>
#include <cstring>
#include <new>

#include "CmDebug.h"
#include "CmMessageBlock.h"

namespace {

// Lengths are 32-bit; keep header + bytes + alignment within that range.
constexpr unsigned long kMaxDataBlockSize = 0xFFFFFFFFUL - 4096;

}  // namespace

CCmDataBlock::CCmDataBlock(DWORD aLength, char* aBase, DWORD aAlignOffset)
    : m_dwLength(aLength), m_pBasePtr(aBase), m_dwAlignOffset(aAlignOffset) {}

CCmDataBlock::~CCmDataBlock() = default;

void CCmDataBlock::OnReferenceDestory() {
  this->~CCmDataBlock();
  std::free(this);
}

int CCmDataBlock::CreateInstance(CCmDataBlock*& aDb, unsigned long aSize, const char* aData) {
  CM_ASSERTE_RETURN(aSize > 0, ZAR_E_INVALIDARG);
  return Create(aDb, aSize, aData, 0);
}

int CCmDataBlock::CreateInstanceWithAlignByte(CCmDataBlock*& aDb, unsigned long aSize, const char* aData,
                                              unsigned long alignByte) {
  CM_ASSERTE_RETURN(aSize > 0, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(alignByte > 0, ZAR_E_INVALIDARG);
  CM_ASSERTE_RETURN(alignByte <= 2048, ZAR_E_INVALIDARG);
  return Create(aDb, aSize, aData, alignByte);
}

// aAlignByte 0 makes an unaligned block whose bytes follow the header.
int CCmDataBlock::Create(CCmDataBlock*& aDb, unsigned long aSize, const char* aData, unsigned long aAlignByte) {
  CM_ASSERTE_RETURN(aSize <= kMaxDataBlockSize, ZAR_E_INVALIDARG);
  const size_t total = sizeof(CCmDataBlock) + aSize + aAlignByte;
  void* memory = std::malloc(total);
  if (!memory) return ZAR_E_OUTOFMEMORY;

  char* const headerEnd = static_cast<char*>(memory) + sizeof(CCmDataBlock);
  char* base = headerEnd;
  if (aAlignByte > 0) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(headerEnd);
    const uintptr_t aligned = (end + aAlignByte - 1) / aAlignByte * aAlignByte;
    base = headerEnd + (aligned - end);
  }
  const DWORD offset = static_cast<DWORD>(base - headerEnd);
  const DWORD length = static_cast<DWORD>(aSize + aAlignByte - offset);
  if (aData) memcpy(base, aData, aSize);
  aDb = new (memory) CCmDataBlock(length, base, offset);
  aDb->m_dwReference.store(1, std::memory_order_relaxed);  // not yet shared
  return ZAR_S_OK;
}
