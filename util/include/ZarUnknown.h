// ZarUnknown.h - the counted interface base of the engine's pluggable
// objects (memory pools, processing modules and units).
//
//  - zar::_tagUUID: a 16-byte interface identifier; IID_IZarUnknown is the
//    one every object answers.
//  - zar::IZarUnknown: the interface itself (AddRef, Release,
//    QueryInterface, GetReference).
//  - zar::CZarUnknownImpl: the reference count an implementation mixes in
//    beside its interface; it deletes the object when the count reaches 0.
//
// An implementation derives from its interface and from CZarUnknownImpl and
// forwards AddRef/Release/GetReference to the count (see ZARMemPool).
#ifndef ZAR_UNKNOWN_H
#define ZAR_UNKNOWN_H

#include "CmError.h"
#include "CmMutex.h"
#include "CmUtilTemplates.h"

namespace zar {

// Laid out as a 32-bit, two 16-bit and eight 8-bit fields, like the
// identifier's text form {Data1-Data2-Data3-Data4[0..1]-Data4[2..7]}.
struct _tagUUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

inline bool operator==(const _tagUUID& aLeft, const _tagUUID& aRight) {
  if (aLeft.Data1 != aRight.Data1 || aLeft.Data2 != aRight.Data2 || aLeft.Data3 != aRight.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (aLeft.Data4[i] != aRight.Data4[i]) return false;
  }
  return true;
}
inline bool operator!=(const _tagUUID& aLeft, const _tagUUID& aRight) { return !(aLeft == aRight); }

// {00000000-2013-0114-0123-456789ABCDEF}
constexpr _tagUUID IID_IZarUnknown = {0x00000000, 0x2013, 0x0114, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// Lifetime: counted; the last Release deletes the object. Thread safety:
// AddRef, Release and GetReference may be called from any thread.
class CM_EXPORT IZarUnknown {
 public:
  virtual ~IZarUnknown() = default;
  // Both return the count after the change.
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  // ZAR_E_POINTER for a null aOut; ZAR_E_NOINTERFACE (and null stored) for
  // an identifier the object does not answer; 0 with a counted pointer
  // stored otherwise.
  virtual CmResult QueryInterface(const _tagUUID& aIid, void** aOut) = 0;
  virtual uint32_t GetReference() = 0;
};

// The reference count of an IZarUnknown implementation. The count starts at
// 0; whoever creates the object takes the first reference. The last
// ReleaseReference runs OnReferenceDestory, which deletes the object through
// its virtual destructor.
//
// Thread safety: the count is atomic; QueryInterface may be called from any
// thread.
class CM_EXPORT CZarUnknownImpl : public CCmReferenceControlT<CCmMutexThread> {
 public:
  CZarUnknownImpl() = default;
  ~CZarUnknownImpl() override;

  // Answers only IID_IZarUnknown, storing the address of this
  // CZarUnknownImpl part with one more reference (release it through
  // ReleaseReference). See IZarUnknown::QueryInterface for the codes.
  virtual CmResult QueryInterface(const _tagUUID& aIid, void** aOut);

 protected:
  void OnReferenceDestory() override;
};

}  // namespace zar

#endif  // ZAR_UNKNOWN_H
