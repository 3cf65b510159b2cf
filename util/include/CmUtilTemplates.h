// CmUtilTemplates.h - intrusive reference counting, the process-exit
// clean-up list and the singleton template.
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
//
// CCmSingletonT<T>::Instance() creates the one T of the process on first use
// and enrols it in the clean-up list (CCmCleanUpBase); the host's
// CCmCleanUpBase::CleanupAll() at shutdown destroys everything enrolled,
// newest first.
#ifndef CM_UTIL_TEMPLATES_H
#define CM_UTIL_TEMPLATES_H

#include <atomic>
#include <new>

#include "CmDebug.h"
#include "CmDefines.h"
#include "CmMutex.h"

// The reference-counting contract as a pure interface, offered to hosts;
// nothing in the library implements it. Thread safety: up to the host's
// implementation.
class ICmReferenceControl {
 public:
  virtual unsigned long AddReference() = 0;
  virtual unsigned long ReleaseReference() = 0;

 protected:
  virtual ~ICmReferenceControl() = default;
};

// Intrusive reference count mixed into a class shared by pointer; the last
// ReleaseReference disposes of the object through OnReferenceDestory.
//
// Thread safety: AddReference/ReleaseReference from any thread; exactly one
// caller sees the count reach 0 (see above).
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

// The process-wide recursive mutex that guards singleton creation and the
// clean-up list (recursive: creating a singleton enrols it under the same
// lock).
CM_EXPORT CCmMutexThreadRecursive& CmGetSingletonMutex();

// An object destroyed at the host's shutdown. Constructing one pushes it at
// the head of the process-wide list; CleanupAll() calls CleanUp() on every
// enrolled object, the most recently constructed first. The default
// CleanUp() deletes the object, so enrolled objects must live on the heap.
//
// Thread safety: construction and CleanupAll() may run on any thread; both
// hold CmGetSingletonMutex(). Objects enrolled while CleanupAll runs (by a
// destructor, say) are cleaned up in the same call.
class CM_EXPORT CCmCleanUpBase {
 public:
  static void CleanupAll();

 protected:
  CCmCleanUpBase();
  virtual ~CCmCleanUpBase();
  virtual void CleanUp();

 private:
  CCmCleanUpBase* m_pNext;
  static CCmCleanUpBase* s_pHeader;  // guarded by CmGetSingletonMutex()
};

// The one T of the process, created on first Instance() and destroyed by
// CCmCleanUpBase::CleanupAll() (after which the next Instance() creates a
// fresh one). T needs a default constructor reachable by CCmSingletonT<T>
// (make it a friend when the constructor is private).
//
// Thread safety: Instance() may be called from any thread; exactly one T is
// created. A pointer obtained from Instance() is valid until CleanupAll.
template <class T>
class CM_EXPORT CCmSingletonT : public CCmCleanUpBase {
 public:
  static T* Instance() {
    CCmSingletonT* singleton = m_psInstance.load(std::memory_order_acquire);
    if (singleton) return &singleton->m_Instance;
    {
      CCmMutexGuardT<CCmMutexThreadRecursive> guard(CmGetSingletonMutex());
      singleton = m_psInstance.load(std::memory_order_acquire);
      if (!singleton) {
        singleton = new (std::nothrow) CCmSingletonT;
        m_psInstance.store(singleton, std::memory_order_release);
      }
    }
    CM_ASSERTE_RETURN(m_psInstance, nullptr);
    return &singleton->m_Instance;
  }

 protected:
  CCmSingletonT() = default;
  ~CCmSingletonT() override {
    CM_INFO_TRACE_THIS("CCmSingletonT::~CCmSingletonT() instance = " << static_cast<const void*>(&m_Instance));
    m_psInstance.store(nullptr, std::memory_order_release);
  }

 private:
  T m_Instance;
  static std::atomic<CCmSingletonT*> m_psInstance;
};

template <class T>
std::atomic<CCmSingletonT<T>*> CCmSingletonT<T>::m_psInstance{nullptr};

#endif  // CM_UTIL_TEMPLATES_H
