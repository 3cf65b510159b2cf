// CmMessageBlock.h - the buffers packets and serialised values travel in.
//
// Which to use:
//  - CCmDataBlock: reference-counted raw bytes, allocated together with their
//    header (optionally aligned). Rarely used alone; message blocks hold them.
//  - CCmMessageBlock: a view with read and write positions on a data block or
//    on caller memory, chained through a next pointer. A chain is what gets
//    written, read, duplicated, split and flattened; this is the payload type
//    of the engine.
//  - CCmDataBlockNoMalloc: two independent cursors over a fixed region of
//    caller memory, for parsing or filling a buffer that is not ours.
//  - CCmAutoBuffer: a small owned, zero-filled byte buffer.
// The typed writer/reader over a chain is CCmByteStreamT (CmByteStream.h).
//
// Failed checks report an assertion (CmDebug.h: a level-0 line
// "<file>:<line> Assert failed: <expression>") and return their result code;
// the block keeps its positions. Nothing throws, except that an allocator's
// out-of-memory exception passes through the operations that create message
// block objects.
#ifndef CM_MESSAGE_BLOCK_H
#define CM_MESSAGE_BLOCK_H

#include "CmError.h"
#include "CmMutex.h"
#include "CmString.h"
#include "CmUtilTemplates.h"

// The platform's scatter/gather descriptor (<sys/uio.h>); only FillIov's
// implementation needs its fields.
struct iovec;

#ifndef CM_BIT_ENABLED
#define CM_BIT_ENABLED(word, bit) (((word) & (bit)) != 0)
#define CM_BIT_DISABLED(word, bit) (((word) & (bit)) == 0)
#define CM_SET_BITS(word, bits) ((word) |= (bits))
#define CM_CLR_BITS(word, bits) ((word) &= ~(bits))
#endif

// Reference-counted bytes and their header in one allocation:
//
//   unaligned:  [ CCmDataBlock | length bytes ........................ ]
//                              ^ base
//   aligned:    [ CCmDataBlock | offset | length bytes ............... ]
//                                       ^ base, a multiple of alignByte
//
// Lifetime: born from a factory with a count of 1 owned by the caller; every
// message block on it holds one more. The last ReleaseReference destroys it
// and frees the single allocation. It cannot be deleted directly. An
// allocation of up to 4 KiB is kept by the releasing thread for its next
// block of that size class (up to 64 KiB a thread, freed when the thread
// ends), since packet-sized allocations miss the C library's fast path.
// Thread safety: the count is atomic, so blocks sharing storage may be
// released on different threads; the bytes themselves are not guarded.
class CM_EXPORT CCmDataBlock : public CCmReferenceControlT<CCmMutexThread> {
 public:
  // aSize 0 -> ZAR_E_INVALIDARG (assertion "aSize > 0"); allocation failure
  // -> ZAR_E_OUTOFMEMORY. Copies aSize bytes of aData when given, else the
  // bytes are uninitialised. aDb is set only on success.
  static int CreateInstance(CCmDataBlock*& aDb, unsigned long aSize, const char* aData = nullptr);
  // The base is the first multiple of alignByte (1..2048, not only powers of
  // two) at or after the end of the header; the length is every byte from
  // the base to the end of the allocation, so it exceeds aSize.
  // ZAR_E_INVALIDARG for aSize 0, alignByte 0 or alignByte > 2048.
  static int CreateInstanceWithAlignByte(CCmDataBlock*& aDb, unsigned long aSize, const char* aData,
                                         unsigned long alignByte);

  // As the base's, but the sole owner (count 1) destroys without an atomic
  // read-modify-write: nobody else can hold a reference to add to it.
  unsigned long ReleaseReference() {
    if (m_dwReference.load(std::memory_order_acquire) == 1) {
      m_dwReference.store(0, std::memory_order_relaxed);
      OnReferenceDestory();
      return 0;
    }
    return CCmReferenceControlT<CCmMutexThread>::ReleaseReference();
  }

  char* GetBasePtr() const { return m_pBasePtr; }
  unsigned long GetLength() const { return m_dwLength; }
  unsigned long GetCapacity() const { return m_dwLength; }
  // Bytes skipped between the end of the header and the base (0 unaligned).
  unsigned long GetAlignOffset() const { return m_dwAlignOffset; }

  CCmDataBlock(const CCmDataBlock&) = delete;
  CCmDataBlock& operator=(const CCmDataBlock&) = delete;

 protected:
  void OnReferenceDestory() override;

 private:
  CCmDataBlock(DWORD aLength, char* aBase, DWORD aAlignOffset);
  ~CCmDataBlock() override;
  static int Create(CCmDataBlock*& aDb, unsigned long aSize, const char* aData, unsigned long aAlignByte);

  DWORD m_dwLength;
  char* m_pBasePtr;
  DWORD m_dwAlignOffset;  // bytes between the end of the header and the base
};

// A view on a region with independent read and write positions:
//
//   m_pBeginPtr      m_pReadPtr           m_pWritePtr         m_pEndPtr
//        |               |                     |                   |
//        v               v                     v                   v
//        [ already read  |   readable bytes    |    free space     ]
//                         <- TopLevelLength --> <- TopLevelSpace ->
//
//   chain:  [block] --m_pNext--> [block] --m_pNext--> [block] --> null
//
// The region is a data block (counted, shared by duplicates) or caller
// memory (EXTERNAL_DATA: never freed, duplicated by deep copy). Chained
// length/space are the sums over this block and every block after it; the
// chain operations (Write, Read, Peek, Update, Disjoint, ...) cross block
// boundaries as if the chain were one buffer.
//
// Lifetime: a block constructed by a caller belongs to that caller (stack or
// heap). Blocks made by DuplicateTopLevel, DuplicateChained, Disjoint and
// CombineSingleBuffer carry DUPLICATED, belong to the chain and are freed by
// DestroyChained (or ReclaimGarbage); DestroyChained leaves other blocks to
// their owners. With m_bRtpChainedFlag set (SetRtpChainedFlag), the
// destructor also deletes the rest of the chain.
//
// Calling a member through a null block pointer is not supported: check the
// pointer first.
//
// Thread safety: none inside. A chain belongs to one thread at a time; only
// the data blocks' counts are atomic.
class CM_EXPORT CCmMessageBlock {
 public:
  enum : DWORD {
    EXTERNAL_DATA = 0x00000001,  // region is caller memory; nothing is freed
    ALLOCATE_DATA = 0x00000002,  // request only: allocate even when data is given
    READ_LOCKED = 0x00000100,
    WRITE_LOCKED = 0x00000200,
    DUPLICATED = 0x00020000,  // made by a duplicate operation, owned by the chain
  };
  static constexpr DWORD kLockBits = 0x0000FF00;

  CCmMessageBlock();
  // Both run SetData and drop its result; a block whose data block could not
  // be created stays empty.
  CCmMessageBlock(CCmDataBlock* aDb, unsigned long aFlag, unsigned long aAdvanceWritePtrSize = 0);
  explicit CCmMessageBlock(unsigned long aSize, const char* aData = nullptr, unsigned long aFlag = 0,
                           unsigned long aAdvanceWritePtrSize = 0);
  ~CCmMessageBlock();
  CCmMessageBlock(const CCmMessageBlock&) = delete;
  CCmMessageBlock& operator=(const CCmMessageBlock&) = delete;

  // Accepted only while the block has no region (ZAR_E_FAIL otherwise,
  // nothing changed). With aData and without ALLOCATE_DATA the block wraps
  // the caller's aSize bytes (EXTERNAL_DATA); otherwise it gets a fresh,
  // uncopied data block of aSize (none for 0). The lock byte of aFlag is
  // ignored. aAdvanceWritePtrSize marks that many bytes as written.
  int SetData(unsigned long aSize, const char* aData, unsigned long aFlag, unsigned long aAdvanceWritePtrSize);
  // Takes a reference on aDb (null gives an empty block).
  int SetData(CCmDataBlock* aDb, unsigned long aFlag, unsigned long aAdvanceWritePtrSize);

  CCmMessageBlock* GetNext() const { return m_pNext; }
  DWORD GetTopLevelLength() const { return static_cast<DWORD>(m_pWritePtr - m_pReadPtr); }
  DWORD GetTopLevelSpace() const { return static_cast<DWORD>(m_pEndPtr - m_pWritePtr); }
  DWORD GetChainedLength() const;
  DWORD GetChainedSpace() const;
  DWORD GetFlag() const { return m_Flag; }
  CCmDataBlock* GetDataBlock() const { return m_pDataBlock; }

  // Null (with the lock assertion) when the block is read/write locked.
  const char* GetTopLevelReadPtr() const;
  char* GetTopLevelWritePtr() const;
  // ZAR_E_FAIL when locked, ZAR_E_NOT_AVAILABLE when the step does not fit.
  int AdvanceTopLevelWritePtr(unsigned long aStep);
  int RetreatTopLevelWritePtr(unsigned long aStep);
  int AdvanceTopLevelReadPtr(unsigned long aStep);

  void LockReading() { CM_SET_BITS(m_Flag, READ_LOCKED); }
  void LockWriting() { CM_SET_BITS(m_Flag, WRITE_LOCKED); }

  // Chain transfers. A null aData/aDst only moves positions. When the chain
  // runs out: ZAR_E_PARTIAL_DATA with the count actually moved; a locked
  // block: ZAR_E_FAIL with the count moved before it. The count pointers may
  // be null. Read with aAdvance false copies without moving (a peek).
  int Write(const void* aData, unsigned long aCount, unsigned long* aWritten = nullptr);
  int Read(void* aDst, unsigned long aCount, unsigned long* aRead = nullptr, bool aAdvance = true);
  int AdvanceChainedReadPtr(unsigned long aStep, unsigned long* aStepMoved = nullptr);
  // Marks written bytes across the chain; stops (ZAR_E_PARTIAL_DATA, with a
  // level-0 trace) at a block that has already been read from, and answers a
  // step of 0 with ZAR_E_PARTIAL_DATA.
  int AdvanceChainedWritePtr(unsigned long aStep, unsigned long* aStepMoved = nullptr);

  // Copy out of / over the readable bytes at nOffset into the chain; no
  // position moves. ZAR_E_FAIL for a null buffer or a range past the chained
  // length.
  int Peek(unsigned char* pPeekBuffer, unsigned long nPeekLen, unsigned long nOffset = 0);
  int Update(const unsigned char* pSrc, unsigned long nSrcLen, unsigned long nOffset = 0);

  // Links aMb (and its chain) after the last block; refused (assertion) when
  // that would put a block into the chain twice.
  void Append(CCmMessageBlock* aMb);

  // A DUPLICATED copy of this block alone: shares the data block, or deep
  // copies the region of a block over caller memory. Null on failure.
  CCmMessageBlock* DuplicateTopLevel() const;
  // DUPLICATED copies of every block, linked; null (nothing left over) on
  // failure.
  CCmMessageBlock* DuplicateChained();
  // Splits the chain aStart readable bytes from its start: this chain keeps
  // the head, the returned tail holds only DUPLICATED blocks (blocks of
  // other owners behind the split are replaced by copies and unlinked).
  // Null when there is no tail.
  CCmMessageBlock* Disjoint(unsigned long aStart);
  // Deletes DUPLICATED blocks without readable bytes from the front; returns
  // the first block with readable bytes, or null.
  CCmMessageBlock* ReclaimGarbage();
  // One DUPLICATED block with all readable bytes. Null when a read-locked
  // block holds bytes (they cannot be copied) or allocation fails.
  CCmMessageBlock* CombineSingleBuffer();
  // The readable bytes of the whole chain; empty when a read-locked block
  // holds bytes (rather than a copy with a hole in it).
  CCmString FlattenChained();
  // Every block: read = write = begin.
  void RewindChained();
  // Deletes the chain's DUPLICATED blocks (this one included when it is).
  void DestroyChained();

  // Fills up to aMax entries of aIov with the non-empty blocks' readable
  // bytes; returns the number filled.
  unsigned long FillIov(struct iovec* aIov, unsigned long aMax) const;

  // Makes room for aSize more bytes / for a region of aSize bytes on this
  // block, moving it to a new data block when needed (positions kept).
  int ReserveSpace(unsigned long aSize);
  int ReserveCapacity(unsigned long aSize);

  // When set, destroying this block deletes the rest of its chain too.
  void SetRtpChainedFlag(bool aFlag) { m_bRtpChainedFlag = aFlag; }
  bool GetRtpChainedFlag() const { return m_bRtpChainedFlag; }

 private:
  void SetRegion(char* aBegin, char* aEnd);
  void ReplaceDataBlock(CCmDataBlock* aDb);
  CCmMessageBlock* DuplicateTail(CCmMessageBlock* aHead);
  // Copies aLen readable bytes at aOffset into aPeek, or from aUpdate over
  // them; the range is already checked.
  void TransferRange(unsigned char* aPeek, const unsigned char* aUpdate, unsigned long aLen, unsigned long aOffset);
  // Write (from aSrc) and Read (into aDst) along the chain; a null buffer
  // only moves the position, which moves when aAdvance is set.
  int CopyAlongChain(bool aWrite, char* aDst, const char* aSrc, unsigned long aCount, unsigned long* aDone,
                     bool aAdvance);

  CCmMessageBlock* m_pNext;
  CCmDataBlock* m_pDataBlock;
  char* m_pReadPtr;
  char* m_pWritePtr;
  char* m_pBeginPtr;
  char* m_pEndPtr;
  DWORD m_Flag;
  bool m_bRtpChainedFlag;
};

// Two cursors over caller memory [aStr, aStr + aLen): reads and writes are
// bounded by the end of the region, not by each other. Nothing is owned.
// Thread safety: none.
class CM_EXPORT CCmDataBlockNoMalloc {
 public:
  CCmDataBlockNoMalloc(const char* aStr, unsigned long aLen);

  // Moves min(aLen, room) bytes: 0 when all moved, ZAR_E_PARTIAL_DATA when
  // the region ended first, ZAR_E_INVALIDARG for a null buffer,
  // ZAR_E_UNEXPECTED for a region without memory.
  int Write(const void* aSrc, unsigned long aLen, unsigned long* aWritten = nullptr);
  int Read(void* aDst, unsigned long aLen, unsigned long* aRead = nullptr);

 private:
  char* m_pBegin;
  char* m_pEnd;
  char* m_pCurrentRead;
  char* m_pCurrentWrite;
};

// aSize bytes plus a terminating zero, all zero-filled at construction.
// Each buffer has exactly one owner: copying copies the bytes into a buffer
// of the copy's own, moving hands the buffer over.
// Thread safety: none.
class CM_EXPORT CCmAutoBuffer {
 public:
  explicit CCmAutoBuffer(unsigned int aSize);
  ~CCmAutoBuffer();
  CCmAutoBuffer(const CCmAutoBuffer& aOther);
  CCmAutoBuffer& operator=(const CCmAutoBuffer& aOther);
  CCmAutoBuffer(CCmAutoBuffer&& aOther) noexcept;
  CCmAutoBuffer& operator=(CCmAutoBuffer&& aOther) noexcept;

  char* GetPtr() { return m_pBuffer; }
  unsigned int GetSize() const { return m_dwSize; }
  // Copies min(size, aLen) bytes to the start; the rest keeps its content.
  void SetData(const void* aData, unsigned int aLen);

 private:
  char* m_pBuffer;
  DWORD m_dwSize;
};

#endif  // CM_MESSAGE_BLOCK_H
