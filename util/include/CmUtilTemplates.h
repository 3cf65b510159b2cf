// CmUtilTemplates.h - intrusive reference counting.
//
// CCmReferenceControlT<MutexType> is mixed into a class that is shared by
// pointer: the last ReleaseReference() calls OnReferenceDestory(), which
// deletes the object. The mutex type only documents the intended use; every
// instantiation counts with sequentially consistent atomic operations, so
// AddReference/ReleaseReference may be called from any thread and exactly one
// caller sees the count reach 0.
//
// ICmReferenceControl is the same contract as a pure interface, offered to
// hosts; nothing in the library implements it.
#ifndef CM_UTIL_TEMPLATES_H
#define CM_UTIL_TEMPLATES_H

#include <atomic>

#include "CmDefines.h"

class ICmReferenceControl {
 public:
  virtual unsigned long AddReference() = 0;
  virtual unsigned long ReleaseReference() = 0;

 protected:
  virtual ~ICmReferenceControl() = default;
};

template <class MutexType>
class CCmReferenceControlT {
 public:
  CCmReferenceControlT() : m_dwReference(0) {}
  // A copy starts from the source's current count, as the engine's always did.
  CCmReferenceControlT(const CCmReferenceControlT& aOther) : m_dwReference(aOther.m_dwReference.load()) {}
  CCmReferenceControlT& operator=(const CCmReferenceControlT& aOther) {
    m_dwReference.store(aOther.m_dwReference.load());
    return *this;
  }
  virtual ~CCmReferenceControlT() = default;

  unsigned long AddReference() { return ++m_dwReference; }
  unsigned long ReleaseReference() {
    const uint32_t remaining = --m_dwReference;
    if (remaining == 0) OnReferenceDestory();
    return remaining;
  }
  unsigned long GetReference() { return m_dwReference.load(); }

 protected:
  // The place for a subclass that must be disposed of differently.
  virtual void OnReferenceDestory() { delete this; }

  std::atomic<uint32_t> m_dwReference;
};

#endif  // CM_UTIL_TEMPLATES_H
