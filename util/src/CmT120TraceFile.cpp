// CCmT120TraceFile: one trace file with its record buffer.
//
// The header at offset 0 holds the end of the flushed records; the marker
// after them is not counted, so the next flush writes over it and the file
// always ends with the marker. A flush costs two seeks and a header rewrite.
#include <cstring>
#include <ctime>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformFile.h"

namespace {

constexpr long kHeaderSize = 32;

void WriteHeader(std::FILE* aStream, long aOffset) {
  fseek(aStream, 0, SEEK_SET);
  fprintf(aStream, "%-31ld\n", aOffset);
}

// snprintf with the legacy bounded formatter's answer: -1 when the record
// does not fit aSpace bytes, aSpace when it fills them exactly.
int FormatRecord(char* aOut, size_t aSpace, const char* aModule, const char* aSeparator, const char* aText) {
  if (aSpace == 0) return -1;
  const int64_t now = CmT120TraceNow();
  struct tm local {};
  if (!cm_platform::LocalTime(now / 1000000, &local)) memset(&local, 0, sizeof(local));
  const int ms = static_cast<int>((now % 1000000) / 1000);
  const int pid = static_cast<int>(cm_platform::CurrentProcessId());
  const int tid = static_cast<int>(cm_platform::CurrentThreadId());
  const char* text = aText ? aText : "";
  int n;
  if (!aSeparator) {
    n = snprintf(aOut, aSpace, "[%02d/%02d/%04d %02d:%02d:%02d.%03d pid=%d tid=%d] %s\n", local.tm_mon + 1,
                 local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, ms, pid, tid, text);
  } else if (!aModule) {
    n = snprintf(aOut, aSpace, "[%02d/%02d/%04d %02d:%02d:%02d.%03d pid=%d tid=%d] %s:%s\n", local.tm_mon + 1,
                 local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, ms, pid, tid,
                 aSeparator, text);
  } else {
    n = snprintf(aOut, aSpace, "[%02d/%02d/%04d %02d:%02d:%02d.%03d pid=%d tid=%d] [%s] %s:%s\n", local.tm_mon + 1,
                 local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, ms, pid, tid,
                 aModule, aSeparator, text);
  }
  if (n < 0 || static_cast<size_t>(n) > aSpace) return -1;
  return n;
}

}  // namespace

CCmT120TraceFile::CCmT120TraceFile(const char* aName, unsigned long aSizeLimit, unsigned char aKeepDescriptor,
                                   unsigned char /*aReserved*/)
    : m_dwSizeLimit(static_cast<uint32_t>(aSizeLimit)), m_bKeepDescriptor(aKeepDescriptor) {
  m_pBuffer = new char[m_dwRecordSize * m_nBufferCount + 1];
  const char* name = aName ? aName : "";
  m_pName = new char[strlen(name) + 1];
  strcpy(m_pName, name);
  m_pStream = cm_platform::OpenPrivateStream(m_pName);
  if (!m_pStream) return;
  if (ftell(m_pStream) == 0) {
    WriteHeader(m_pStream, kHeaderSize);
    fflush(m_pStream);
  }
  if (m_bKeepDescriptor) m_nDescriptor = cm_platform::StreamDescriptor(m_pStream);
}

CCmT120TraceFile::~CCmT120TraceFile() {
  flush_buffer();
  delete[] m_pBuffer;
  if (m_pStream) fclose(m_pStream);
  delete[] m_pName;
}

void CCmT120TraceFile::write(const char* aModule, const char* aSeparator, const char* aText) {
  if (!m_pBuffer) return;
  const size_t space = static_cast<size_t>(m_dwRecordSize) * m_nBufferCount - m_dwUsed;
  int n = FormatRecord(m_pBuffer + m_dwUsed, space, aModule, aSeparator, aText);
  if (n < 1 || !m_pStream) return;
  if (static_cast<size_t>(n) == space) n = static_cast<int>(space) - 1;
  m_dwUsed += static_cast<uint32_t>(n);
  ++m_dwRecords;
  if (m_dwRecords >= static_cast<uint32_t>(m_nBufferCount)) flush_buffer();
}

void CCmT120TraceFile::flush_buffer() {
  if (!m_pStream || m_dwUsed == 0) return;
  lock_file();
  long offset = 0;
  fseek(m_pStream, 0, SEEK_SET);
  if (fscanf(m_pStream, "%ld", &offset) != 1 || offset < 0) offset = 0;
  if (m_dwSizeLimit && static_cast<unsigned long>(offset) >= m_dwSizeLimit) {
    fflush(m_pStream);
    m_bFull = 1;
  }
  fseek(m_pStream, offset, SEEK_SET);
  const size_t written = fwrite(m_pBuffer, 1, m_dwUsed, m_pStream);
  fwrite(kMarker, 1, sizeof(kMarker) - 1, m_pStream);
  if (written == m_dwUsed) offset += static_cast<long>(m_dwUsed);
  WriteHeader(m_pStream, offset);
  fflush(m_pStream);
  m_dwUsed = 0;
  m_dwRecords = 0;
  unlock_file();
}

unsigned char CCmT120TraceFile::refresh_settings(unsigned long aSizeLimit, int aBufferCount) {
  if (aBufferCount < 1 || aBufferCount > kMaxBufferCount) return 0;
  flush_buffer();
  m_dwSizeLimit = static_cast<uint32_t>(aSizeLimit);
  if (aBufferCount != m_nBufferCount) {
    delete[] m_pBuffer;
    m_pBuffer = new char[static_cast<size_t>(m_dwRecordSize) * aBufferCount + 1];
    m_nBufferCount = aBufferCount;
    m_dwUsed = 0;
    m_dwRecords = 0;
  }
  return 1;
}

unsigned char CCmT120TraceFile::is_same_file(const char* aName) {
  return aName && m_pName && strcmp(aName, m_pName) == 0;
}
