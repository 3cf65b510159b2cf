// The process-exit clean-up list and the singleton mutex.
#include "CmUtilTemplates.h"

CCmCleanUpBase* CCmCleanUpBase::s_pHeader = nullptr;

CCmMutexThreadRecursive& CmGetSingletonMutex() {
  // Never destroyed: singletons may be created or cleaned up during exit.
  static CCmMutexThreadRecursive* mutex = new CCmMutexThreadRecursive;
  return *mutex;
}

CCmCleanUpBase::CCmCleanUpBase() : m_pNext(nullptr) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(CmGetSingletonMutex());
  m_pNext = s_pHeader;
  s_pHeader = this;
}

CCmCleanUpBase::~CCmCleanUpBase() = default;

void CCmCleanUpBase::CleanUp() { delete this; }

void CCmCleanUpBase::CleanupAll() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(CmGetSingletonMutex());
  while (s_pHeader) {
    CCmCleanUpBase* const object = s_pHeader;
    s_pHeader = object->m_pNext;
    object->CleanUp();
  }
}
