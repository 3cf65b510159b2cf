// CmT120Trace.h - the library's own trace files.
//
// With trace option bit 0x2 (cm_set_trace_option) every produced trace
// message is also written to text files: "<process>_info_<n>.log" receives
// messages of every level, "<process>_error_<n>.log" level-0 messages only.
// Three classes share the work:
//  - CCmT120Trace: the front end (singleton instance()); picks the file and
//    starts the next one when a file is full or the calendar day changed.
//  - CCmT120TraceFileMgr: the process-wide registry of open files, one
//    object per file name.
//  - CCmT120TraceFile: one buffered file.
//
// Where the files go: the environment variable USERPROFILE, or TEMP when it
// is not set, followed by "/logs/". With neither set, or a value of 505
// characters or more, the user's state directory ($XDG_STATE_HOME, else
// $HOME/.local/state) followed by "/zarutil/logs/"; only a user without a
// home gets "$TMPDIR/zarutil-<uid>/logs/" (/tmp without TMPDIR). Trace
// files never go straight into a shared temporary directory. The levels
// the library adds ("logs", "zarutil", "zarutil-<uid>") are created
// owner-only; when one of them exists but is owned by someone else, is
// writable by others or is a symbolic link, the directory is refused and no
// file is opened (records drop, as for a file that cannot be opened). The
// process name is the executable's file name ("util" when it cannot be
// told). New files are readable and writable by their owner only, and a
// symbolic link in place of a trace file is refused (the file then stays
// closed and drops records).
//
// File layout (binary):
//   offset 0   header: the offset of the end of the last flushed record as
//              "%-31ld\n" (32 bytes; a new file holds 32)
//   offset 32  records, one line each:
//              "[MM/DD/YYYY hh:mm:ss.mmm pid=P tid=T] [module] :text\n"
//              (local time, month first)
//   then       "************************* Current Trace Point *************************\n\n"
//              which the next flush overwrites
// Each kind has a ring of ten files (index 0..9): a file whose header has
// reached its size limit (20 MiB, 20971520 bytes) when a flush begins is
// marked full, takes that record, and the next file of the ring is started
// (emptied first). A new calendar day restarts both rings at index 0.
// Rotation happens only when messages arrive.
#ifndef CM_T120_TRACE_H
#define CM_T120_TRACE_H

#include <cstdio>
#include <set>
#include <string>

#include "CmMutex.h"
#include "CmString.h"

// One trace file with its record buffer. Created and destroyed by
// CCmT120TraceFileMgr (open/close); a file that cannot be opened keeps a
// null stream and drops its records.
//
// Thread safety: none of its own; the manager serialises every use.
class CM_EXPORT CCmT120TraceFile {
 public:
  static constexpr uint32_t kRecordSize = 10240;
  static constexpr int kMaxBufferCount = 1024;
  static constexpr char kMarker[] = "************************* Current Trace Point *************************\n\n";

  // Opens (emptying) aName and writes the header 32. aKeepDescriptor keeps
  // the stream's descriptor number (descriptor()). aReserved is not used.
  CCmT120TraceFile(const char* aName, unsigned long aSizeLimit, unsigned char aKeepDescriptor,
                   unsigned char aReserved);
  // Flushes the buffer and closes the file.
  ~CCmT120TraceFile();
  CCmT120TraceFile(const CCmT120TraceFile&) = delete;
  CCmT120TraceFile& operator=(const CCmT120TraceFile&) = delete;

  // Adds one record; a record that does not fit the buffer's free space is
  // dropped. Flushes when the buffer holds its count of records. A null
  // aModule leaves out " [module]", a null aSeparator leaves out the module
  // and the separator.
  void write(const char* aModule, const char* aSeparator, const char* aText);
  // Writes the buffered records at the header's offset, then the marker,
  // then the new header. The file is this object's alone (opened emptied),
  // so the header's number is kept in memory instead of being read back
  // before every flush: a flush is two positioned writes.
  void flush_buffer();
  // Flushes, sets the size limit (0: none) and, when aBufferCount differs,
  // makes a buffer for that many records. false (nothing changed) for a
  // count outside 1..kMaxBufferCount.
  unsigned char refresh_settings(unsigned long aSizeLimit, int aBufferCount);
  unsigned char is_same_file(const char* aName);

  bool is_full() const { return m_bFull != 0; }
  bool is_open() const { return m_pStream != nullptr; }
  const char* name() const { return m_pName; }
  int descriptor() const { return m_nDescriptor; }

 protected:
  void lock_file() {}
  void unlock_file() {}

 private:
  friend class CCmT120TraceFileMgr;

  CCmT120TraceFile* m_pNext = nullptr;
  unsigned char m_bFull = 0;
  std::FILE* m_pStream = nullptr;
  char* m_pName = nullptr;
  uint32_t m_dwSizeLimit;
  int32_t m_nBufferCount = 1;
  unsigned char m_bKeepDescriptor;
  char* m_pBuffer = nullptr;
  uint32_t m_dwUsed = 0;
  uint32_t m_dwRecords = 0;
  uint32_t m_dwRecordSize = kRecordSize;
  int32_t m_nDescriptor = -1;
  // The number the header holds, as this object last wrote it; -1 when
  // unknown (a header write failed), and the next flush reads it back.
  long m_lHeaderOffset = -1;
};

// Registry of the open trace files, one per name. instance() is the
// process-wide manager; nothing in the library destroys it. The destructor
// waits 200 ms (for writers finishing) and then closes every file.
//
// Thread safety: any thread; the list and every file it holds are guarded by
// the manager's lock. The front end takes its own lock before this one.
class CM_EXPORT CCmT120TraceFileMgr {
 public:
  static CCmT120TraceFileMgr* instance();

  CCmT120TraceFileMgr();
  ~CCmT120TraceFileMgr();
  CCmT120TraceFileMgr(const CCmT120TraceFileMgr&) = delete;
  CCmT120TraceFileMgr& operator=(const CCmT120TraceFileMgr&) = delete;

  // The registered file of that name, or a new one (emptying the file);
  // null for a null name.
  void* open(const char* aName, unsigned long aSizeLimit, unsigned char aKeepDescriptor, unsigned char aReserved);
  // Unregisters and destroys a registered file; anything else is ignored.
  void close(void* aFile);
  // Writes a record to a registered file; anything else is ignored.
  void write(void* aFile, const char* aModule, const char* aSeparator, const char* aText);
  // true when aFile is registered and marked full.
  bool is_full(void* aFile);
  // refresh_settings of every registered file.
  void refresh_settings(unsigned long aSizeLimit, int aBufferCount);
  uint32_t file_count();
  // Name of a registered file; "" for anything else.
  std::string file_name(void* aFile);

 private:
  CCmT120TraceFile* Find(void* aFile);

  CCmT120TraceFile* m_pHead = nullptr;
  uint32_t m_dwCount = 0;
  CCmMutexThreadRecursive m_Mutex;  // guards the list and the files
};

// The front end: routes messages to the info and error files and rotates
// them. instance() is the process-wide object ("Log", no fixed name), created
// with its files by the first message with trace option 0x2 or by the first
// is_module_trace_enabled(); it is never destroyed. Objects made directly
// open their files on load(nullptr) and close them when destroyed.
//
// A fixed name replaces the two rings by one file "<dir>/<fixed>" (aFixedFlag
// set) or "<dir>/<fixed>.<n>" that takes the info slot.
//
// Module filter (is_module_trace_enabled): the set of enabled modules starts
// empty; while it is empty only the null module passes, once it holds names
// only those pass. enable_module_trace/disable_module_trace edit it.
//
// Thread safety: any thread. trace_string and load hold the object's lock;
// the module set has a lock of its own.
class CM_EXPORT CCmT120Trace {
 public:
  static constexpr unsigned long kSizeLimit = 0x1400000;  // 20 MiB

  static CCmT120Trace* instance();

  CCmT120Trace(const char* aName, const char* aFixedName, unsigned char aFixedFlag);
  virtual ~CCmT120Trace();
  CCmT120Trace(const CCmT120Trace&) = delete;
  CCmT120Trace& operator=(const CCmT120Trace&) = delete;

  // (Re)opens files: null opens both (once); the info or the error file
  // starts the next file of its ring. Always true.
  virtual unsigned char load(void* aFile);
  void trace_string(unsigned long aLevel, const char* aModule, const char* aText);
  // "<USERPROFILE or TEMP>/logs/" (remembered once found), else the system's
  // temporary directory without a trailing '/'.
  const char* get_trace_dir();
  unsigned char is_module_trace_enabled(unsigned long aLevel, const char* aModule);
  void enable_module_trace(const char* aModule);
  void disable_module_trace(const char* aModule);

  // Names of the current files ("" when none).
  CCmString info_file_name();
  CCmString error_file_name();

 private:
  std::string NextName(const std::string& aDir, bool aInfo);
  void ReadDate(int& aDay, int& aMonth);

  std::string m_strTraceName;
  char* m_pFixedName;
  unsigned char m_bFixedFlag;
  void* m_pInfoFile = nullptr;
  void* m_pWarningFile = nullptr;  // never opened
  void* m_pErrorFile = nullptr;
  int32_t m_nInfoIndex = 0;
  int32_t m_nErrorIndex = 0;
  int32_t m_nDay = 0;
  int32_t m_nMonth = 0;
  uint32_t m_dwProcessId;
  CCmMutexThreadRecursive m_Mutex;        // guards files, indices and date
  std::set<std::string> m_setModules;
  CCmMutexThreadRecursive m_ModuleMutex;  // guards m_setModules
};

#endif  // CM_T120_TRACE_H
