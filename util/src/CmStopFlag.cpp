#include "CmStopFlag.h"

#include <cstring>

#include "platform/CmPlatform.h"

CCmEnsureSingleThread::CCmEnsureSingleThread() : m_dwThreadId(cm_platform::CurrentThreadId()) {
  memset(m_szReserved, 0, sizeof(m_szReserved));
}

void CCmEnsureSingleThread::Reset2CurrentThreadInfo() { m_dwThreadId = cm_platform::CurrentThreadId(); }

CCmStopFlag::CCmStopFlag() : m_pFlag(new std::atomic<bool>(true)) {}

CCmStopFlag::~CCmStopFlag() {
  delete m_pFlag;
  m_pFlag = nullptr;
}
