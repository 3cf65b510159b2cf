// The trace-file front end (CCmT120Trace) and the registry of open files
// (CCmT120TraceFileMgr), and the trace path's sink that reaches them.
//
// Nothing in this file traces: it runs inside the trace path, and a message
// written from here would come straight back.
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "CmClockSource.h"
#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "CmTrace.h"
#include "CmTraceInternal.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformClock.h"
#include "platform/CmPlatformFile.h"

namespace {

constexpr size_t kTraceDirBuffer = 512;
constexpr size_t kMaxEnvValue = 505;
constexpr int32_t kRingSize = 10;

std::atomic<CCmT120TraceFileMgr*> g_pTraceMgr{nullptr};  // the m_trace_mgr singleton
std::mutex g_MgrCreateMutex;

std::atomic<CCmT120Trace*> g_pT120Trace{nullptr};  // the t120_trace singleton
std::mutex g_TraceCreateMutex;

// The directory found in the environment, remembered once found.
std::mutex g_DirMutex;
char g_szTraceDir[kTraceDirBuffer];
std::atomic<bool> g_bTraceDirSet{false};

// The folder the library's own levels are named after.
const char kLibraryFolder[] = "zarutil";

struct TraceDirectory {
  std::string path;        // ends with '/'
  unsigned privateLevels;  // the trailing levels the library creates and owns
  bool createParents;      // whether missing levels above them are created too
  bool fromEnvironment;    // named by USERPROFILE or TEMP: remembered
};

// Where the trace files go. USERPROFILE, else TEMP, names a directory that
// gets a "logs" level. Without either (or with an over-long value) the
// user's state directory gets "zarutil/logs"; only a user without a home
// falls back to the temporary directory, in a folder of that user's own
// ("zarutil-<uid>/logs"): trace files never sit straight in a directory
// that other users can write.
TraceDirectory ChooseTraceDirectory() {
  std::string value;
  if (!cm_platform::GetEnv("USERPROFILE", value) && !cm_platform::GetEnv("TEMP", value)) value.clear();
  if (!value.empty() && value.size() < kMaxEnvValue) return {value + "/logs/", 1, false, true};
  std::string state;
  if (cm_platform::UserStateDirectory(state)) return {state + kLibraryFolder + "/logs/", 2, true, false};
  const std::string temp = cm_platform::TempDirectory();
  return {temp + kLibraryFolder + "-" + cm_platform::UserTag() + "/logs/", 2, false, false};
}

// The choice in force: the environment's once remembered, else made afresh.
TraceDirectory CurrentTraceDirectory() {
  if (g_bTraceDirSet.load(std::memory_order_acquire)) return {g_szTraceDir, 1, false, true};
  return ChooseTraceDirectory();
}

// The directory part of a composed name: no trailing '/', since the name
// formats add one.
std::string WithoutTrailingSlash(const char* aDir) {
  std::string dir(aDir ? aDir : "");
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

// ---- the date and the test hooks

void CmT120TraceLocalNow(struct tm& aLocal, int& aMicroseconds) {
  thread_local int64_t t_nSecond = -1;
  thread_local struct tm t_Local {};
  const int64_t now = cm_clock::WallMicroseconds();
  const int64_t second = now / 1000000;
  if (second != t_nSecond) {
    if (!cm_platform::LocalTime(second, &t_Local)) memset(&t_Local, 0, sizeof(t_Local));
    t_nSecond = second;
  }
  aLocal = t_Local;
  aMicroseconds = static_cast<int>(now % 1000000);
}

void CmT120TraceResetDirCacheForTesting() {
  std::lock_guard<std::mutex> lock(g_DirMutex);
  g_bTraceDirSet.store(false);
  g_szTraceDir[0] = '\0';
}

void CmT120TraceResetInstanceForTesting() {
  std::lock_guard<std::mutex> lock(g_TraceCreateMutex);
  delete g_pT120Trace.exchange(nullptr);
}

const char* CmT120TraceProcessName() {
  static const std::string s_strName = [] {
    std::string path;
    if (!cm_platform::ExecutablePath(path)) return std::string("util");
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.empty() ? std::string("util") : name;
  }();
  return s_strName.c_str();
}

// ---- CCmT120TraceFileMgr

CCmT120TraceFileMgr* CCmT120TraceFileMgr::instance() {
  CCmT120TraceFileMgr* mgr = g_pTraceMgr.load(std::memory_order_acquire);
  if (mgr) return mgr;
  std::lock_guard<std::mutex> lock(g_MgrCreateMutex);
  mgr = g_pTraceMgr.load(std::memory_order_acquire);
  if (!mgr) {
    mgr = new (std::nothrow) CCmT120TraceFileMgr();
    g_pTraceMgr.store(mgr, std::memory_order_release);
  }
  return mgr;
}

CCmT120TraceFileMgr::CCmT120TraceFileMgr() = default;

CCmT120TraceFileMgr::~CCmT120TraceFileMgr() {
  cm_clock::SleepMs(200);
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  while (m_pHead) {
    CCmT120TraceFile* file = m_pHead;
    m_pHead = file->m_pNext;
    delete file;
  }
  m_dwCount = 0;
}

CCmT120TraceFile* CCmT120TraceFileMgr::Find(void* aFile) {
  for (CCmT120TraceFile* f = m_pHead; f; f = f->m_pNext) {
    if (f == aFile) return f;
  }
  return nullptr;
}

void* CCmT120TraceFileMgr::open(const char* aName, unsigned long aSizeLimit, unsigned char aKeepDescriptor,
                                unsigned char aReserved) {
  if (!aName) return nullptr;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  for (CCmT120TraceFile* f = m_pHead; f; f = f->m_pNext) {
    if (f->is_same_file(aName)) return f;
  }
  CCmT120TraceFile* file = new CCmT120TraceFile(aName, aSizeLimit, aKeepDescriptor, aReserved);
  file->m_pNext = m_pHead;
  m_pHead = file;
  ++m_dwCount;
  return file;
}

void CCmT120TraceFileMgr::close(void* aFile) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  for (CCmT120TraceFile** link = &m_pHead; *link; link = &(*link)->m_pNext) {
    if (*link != aFile) continue;
    CCmT120TraceFile* file = *link;
    *link = file->m_pNext;
    --m_dwCount;
    delete file;
    return;
  }
}

void CCmT120TraceFileMgr::write(void* aFile, const char* aModule, const char* aSeparator, const char* aText) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFile* file = Find(aFile);
  if (file) file->write(aModule, aSeparator, aText);
}

bool CCmT120TraceFileMgr::is_full(void* aFile) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFile* file = Find(aFile);
  return file && file->is_full();
}

void CCmT120TraceFileMgr::refresh_settings(unsigned long aSizeLimit, int aBufferCount) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  for (CCmT120TraceFile* f = m_pHead; f; f = f->m_pNext) f->refresh_settings(aSizeLimit, aBufferCount);
}

uint32_t CCmT120TraceFileMgr::file_count() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  return m_dwCount;
}

std::string CCmT120TraceFileMgr::file_name(void* aFile) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFile* file = Find(aFile);
  return file ? std::string(file->name()) : std::string();
}

// ---- CCmT120Trace

CCmT120Trace* CCmT120Trace::instance() {
  CCmT120Trace* trace = g_pT120Trace.load(std::memory_order_acquire);
  if (trace) return trace;
  std::lock_guard<std::mutex> lock(g_TraceCreateMutex);
  trace = g_pT120Trace.load(std::memory_order_acquire);
  if (trace) return trace;
  try {
    trace = new CCmT120Trace("Log", nullptr, 0);
    trace->load(nullptr);
  } catch (const std::bad_array_new_length&) {
  } catch (const std::exception&) {
  }
  g_pT120Trace.store(trace, std::memory_order_release);
  return trace;
}

CCmT120Trace::CCmT120Trace(const char* aName, const char* aFixedName, unsigned char aFixedFlag)
    : m_strTraceName(aName ? aName : ""),
      m_pFixedName(nullptr),
      m_bFixedFlag(aFixedFlag),
      m_dwProcessId(cm_platform::CurrentProcessId()) {
  if (aFixedName) {
    m_pFixedName = new char[strlen(aFixedName) + 1];
    strcpy(m_pFixedName, aFixedName);
  }
  ReadDate(m_nDay, m_nMonth);
}

CCmT120Trace::~CCmT120Trace() {
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  if (mgr) {
    CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
    mgr->close(m_pInfoFile);
    mgr->close(m_pErrorFile);
  }
  delete[] m_pFixedName;
}

void CCmT120Trace::ReadDate(int& aDay, int& aMonth) {
  struct tm local {};
  int micros;
  CmT120TraceLocalNow(local, micros);
  aDay = local.tm_mday;
  aMonth = local.tm_mon + 1;
}

const char* CCmT120Trace::get_trace_dir() {
  if (g_bTraceDirSet.load(std::memory_order_acquire)) return g_szTraceDir;
  const TraceDirectory dir = ChooseTraceDirectory();
  if (!dir.fromEnvironment) {
    // Not remembered: a variable set later is still found. Per thread, so
    // that the text a caller holds is not rewritten under it.
    thread_local std::string t_strDir;
    t_strDir = dir.path;
    return t_strDir.c_str();
  }
  std::lock_guard<std::mutex> lock(g_DirMutex);
  if (!g_bTraceDirSet.load(std::memory_order_relaxed)) {
    snprintf(g_szTraceDir, sizeof(g_szTraceDir), "%s", dir.path.c_str());
    g_bTraceDirSet.store(true, std::memory_order_release);
  }
  return g_szTraceDir;
}

std::string CCmT120Trace::NextName(const std::string& aDir, bool aInfo) {
  const std::string dir = WithoutTrailingSlash(aDir.c_str());
  int32_t& index = aInfo ? m_nInfoIndex : m_nErrorIndex;
  char name[1024];
  if (m_pFixedName && m_bFixedFlag) {
    snprintf(name, sizeof(name), "%s/%s", dir.c_str(), m_pFixedName);
    return name;
  }
  if (m_pFixedName) {
    snprintf(name, sizeof(name), "%s/%s.%d", dir.c_str(), m_pFixedName, static_cast<int>(index));
  } else {
    snprintf(name, sizeof(name), aInfo ? "%s/%s_info_%d.log" : "%s/%s_error_%d.log", dir.c_str(),
             CmT120TraceProcessName(), static_cast<int>(index));
  }
  index = (index + 1) % kRingSize;
  return name;
}

unsigned char CCmT120Trace::load(void* aFile) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  if (!aFile && m_pInfoFile) return 1;
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  if (!mgr) return 1;
  const TraceDirectory dir = CurrentTraceDirectory();
  // A directory that someone else controls gets no file: its records drop.
  const bool usable = cm_platform::MakePrivateDirectory(dir.path, dir.privateLevels, dir.createParents);
  std::string infoName, errorName;
  const bool info = !aFile || aFile == m_pInfoFile;
  const bool error = !m_pFixedName && (!aFile || aFile == m_pErrorFile);
  if (info) infoName = NextName(dir.path, true);
  if (error) errorName = NextName(dir.path, false);
  if (aFile) mgr->close(aFile);
  if (info) m_pInfoFile = usable ? mgr->open(infoName.c_str(), kSizeLimit, m_bFixedFlag, 0) : nullptr;
  if (error) m_pErrorFile = usable ? mgr->open(errorName.c_str(), kSizeLimit, m_bFixedFlag, 0) : nullptr;
  return 1;
}

void CCmT120Trace::trace_string(unsigned long aLevel, const char* aModule, const char* aText) {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  if (!mgr) return;
  if (m_pInfoFile) mgr->write(m_pInfoFile, aModule, "", aText);

  int day, month;
  ReadDate(day, month);
  if (day != m_nDay || month != m_nMonth) {
    m_nDay = day;
    m_nMonth = month;
    m_nInfoIndex = 0;
    m_nErrorIndex = 0;
    load(m_pInfoFile);
    load(m_pWarningFile);
    load(m_pErrorFile);
  }
  if (m_pInfoFile && mgr->is_full(m_pInfoFile)) load(m_pInfoFile);
  if (aLevel == 0 && m_pErrorFile) {
    mgr->write(m_pErrorFile, aModule, "", aText);
    if (mgr->is_full(m_pErrorFile)) load(m_pErrorFile);
  }
}

unsigned char CCmT120Trace::is_module_trace_enabled(unsigned long aLevel, const char* aModule) {
  if (aLevel > 0xFFFFFFFFul || !CmTraceIsEnabled(static_cast<unsigned>(aLevel))) return 0;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_ModuleMutex);
  if (!aModule) return m_setModules.empty();
  return !m_setModules.empty() && m_setModules.count(aModule) > 0;
}

void CCmT120Trace::enable_module_trace(const char* aModule) {
  if (!aModule) return;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_ModuleMutex);
  m_setModules.insert(aModule);
}

void CCmT120Trace::disable_module_trace(const char* aModule) {
  if (!aModule) return;
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_ModuleMutex);
  m_setModules.erase(aModule);
}

CCmString CCmT120Trace::info_file_name() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  return mgr ? CCmString(mgr->file_name(m_pInfoFile)) : CCmString();
}

CCmString CCmT120Trace::error_file_name() {
  CCmMutexGuardT<CCmMutexThreadRecursive> guard(m_Mutex);
  CCmT120TraceFileMgr* mgr = CCmT120TraceFileMgr::instance();
  return mgr ? CCmString(mgr->file_name(m_pErrorFile)) : CCmString();
}

// ---- the trace path's output

namespace {

// Option bit 0x2: the process-wide front end, made by the first message.
class TraceFileSink final : public ICmTraceSink {
 public:
  void Write(unsigned aLevel, const char* aModule, char* aText, unsigned /*aLength*/) override {
    if (CCmT120Trace* trace = CCmT120Trace::instance()) trace->trace_string(aLevel, aModule, aText);
  }
  bool ModuleEnabled(unsigned aLevel, const char* aModule) override {
    CCmT120Trace* trace = CCmT120Trace::instance();
    return trace && trace->is_module_trace_enabled(aLevel, aModule);
  }
};

TraceFileSink g_FileSink;
[[maybe_unused]] const bool g_bFileSinkSet = (CmTraceSetSink(CmTraceOutput_Files, &g_FileSink), true);

}  // namespace
