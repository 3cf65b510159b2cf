// CCmT120TraceFile: one trace file with its record buffer.
//
// The header at offset 0 holds the end of the flushed records; the marker
// after them is not counted, so the next flush writes over it and the file
// always ends with the marker. The stream is only the file's owner: every
// access is a positioned write on its descriptor, so a flush costs two
// system calls (the records with the marker behind them in one block, then
// the header) and no stream buffer can hold back what a crash would lose.
// The header's number is remembered from the last header written rather
// than read back from the file before each flush (that read was a third of
// the calls); only after a failed header write is it read again.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "CmT120Trace.h"
#include "CmT120TraceInternal.h"
#include "platform/CmPlatform.h"
#include "platform/CmPlatformFile.h"

namespace {

constexpr long kHeaderSize = 32;

constexpr size_t kMarkerLength = sizeof(CCmT120TraceFile::kMarker) - 1;

// "%-31ld\n": the number left-aligned in 31 characters, then a newline.
bool WriteHeader(std::FILE* aStream, long aOffset) {
  char header[kHeaderSize + 1];
  if (aOffset >= 0) {
    char digits[24];
    int count = 0;
    for (unsigned long rest = static_cast<unsigned long>(aOffset); count == 0 || rest != 0; rest /= 10) {
      digits[count++] = static_cast<char>('0' + rest % 10);
    }
    for (int i = 0; i < count; ++i) header[i] = digits[count - 1 - i];
    memset(header + count, ' ', kHeaderSize - 1 - count);
    header[kHeaderSize - 1] = '\n';
  } else {
    snprintf(header, sizeof(header), "%-31ld\n", aOffset);
  }
  return cm_platform::WriteAt(cm_platform::StreamDescriptor(aStream), 0, header, kHeaderSize);
}

// The header's number; 0 when it cannot be read.
long ReadHeader(std::FILE* aStream) {
  char header[kHeaderSize + 1];
  const long n = cm_platform::ReadAt(cm_platform::StreamDescriptor(aStream), 0, header, kHeaderSize);
  if (n <= 0) return 0;
  header[n] = '\0';
  long offset = 0;
  if (sscanf(header, "%ld", &offset) != 1 || offset < 0) return 0;
  return offset;
}

// Room for the records, the terminating zero the formatter writes, and the
// marker that the flush appends behind the records.
size_t BufferSize(uint32_t aRecordSize, int aCount) {
  return static_cast<size_t>(aRecordSize) * aCount + 1 + kMarkerLength;
}

// Writes what snprintf would write into aOut[0..aSpace) (the characters
// that fit, then a terminating zero) and counts the length the whole text
// would have. Records used to be printed with snprintf, whose format parsing
// was most of the instructions of a record (callgrind: about 5000 of 6600).
class RecordWriter {
 public:
  RecordWriter(char* aOut, size_t aSpace) : m_pOut(aOut), m_nRoom(aSpace - 1) {}

  void Text(const char* aText, size_t aLength) {
    if (m_nLength < m_nRoom) {
      const size_t room = m_nRoom - m_nLength;
      memcpy(m_pOut + m_nLength, aText, aLength < room ? aLength : room);
    }
    m_nLength += aLength;
  }
  void Text(const char* aText) { Text(aText, strlen(aText)); }
  void Char(char aChar) {
    if (m_nLength < m_nRoom) m_pOut[m_nLength] = aChar;
    ++m_nLength;
  }
  // As "%0<aWidth>d" (aWidth 0: "%d").
  void Int(int aValue, int aWidth) {
    char digits[12];
    int count = 0;
    unsigned int rest = aValue < 0 ? 0u - static_cast<unsigned int>(aValue) : static_cast<unsigned int>(aValue);
    do {
      digits[count++] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    } while (rest != 0);
    if (aValue < 0) Char('-');
    for (int zeros = aWidth - count - (aValue < 0 ? 1 : 0); zeros > 0; --zeros) Char('0');
    while (count > 0) Char(digits[--count]);
  }
  // The terminating zero; returns the whole length.
  size_t Finish() {
    m_pOut[m_nLength < m_nRoom ? m_nLength : m_nRoom] = '\0';
    return m_nLength;
  }

 private:
  char* m_pOut;
  size_t m_nRoom;  // characters that fit before the terminating zero
  size_t m_nLength = 0;
};

// The record in the legacy bounded formatter's terms: -1 when it does not
// fit aSpace bytes, aSpace when it fills them exactly (its last character
// then gave way to the terminating zero).
int FormatRecord(char* aOut, size_t aSpace, const char* aModule, const char* aSeparator, const char* aText) {
  if (aSpace == 0) return -1;
  struct tm local {};
  int micros;
  CmT120TraceLocalNow(local, micros);
  RecordWriter out(aOut, aSpace);
  // "[%02d/%02d/%04d %02d:%02d:%02d.%03d pid=%d tid=%d] "
  out.Char('[');
  out.Int(local.tm_mon + 1, 2);
  out.Char('/');
  out.Int(local.tm_mday, 2);
  out.Char('/');
  out.Int(local.tm_year + 1900, 4);
  out.Char(' ');
  out.Int(local.tm_hour, 2);
  out.Char(':');
  out.Int(local.tm_min, 2);
  out.Char(':');
  out.Int(local.tm_sec, 2);
  out.Char('.');
  out.Int(micros / 1000, 3);
  out.Text(" pid=", 5);
  out.Int(static_cast<int>(cm_platform::CurrentProcessId()), 0);
  out.Text(" tid=", 5);
  out.Int(static_cast<int>(cm_platform::CurrentThreadId()), 0);
  out.Text("] ", 2);
  // Then "%s\n" (text), "%s:%s\n" (separator, text) or "[%s] %s:%s\n".
  if (aSeparator) {
    if (aModule) {
      out.Char('[');
      out.Text(aModule);
      out.Text("] ", 2);
    }
    out.Text(aSeparator);
    out.Char(':');
  }
  out.Text(aText ? aText : "");
  out.Char('\n');
  const size_t n = out.Finish();
  if (n > aSpace || n > static_cast<size_t>(INT32_MAX)) return -1;
  return static_cast<int>(n);
}

}  // namespace

CCmT120TraceFile::CCmT120TraceFile(const char* aName, unsigned long aSizeLimit, unsigned char aKeepDescriptor,
                                   unsigned char /*aReserved*/)
    : m_dwSizeLimit(static_cast<uint32_t>(aSizeLimit)), m_bKeepDescriptor(aKeepDescriptor) {
  m_pBuffer = new char[BufferSize(m_dwRecordSize, m_nBufferCount)];
  const char* name = aName ? aName : "";
  m_pName = new char[strlen(name) + 1];
  strcpy(m_pName, name);
  m_pStream = cm_platform::OpenPrivateStream(m_pName);
  if (!m_pStream) return;
  if (ftell(m_pStream) == 0 && WriteHeader(m_pStream, kHeaderSize)) m_lHeaderOffset = kHeaderSize;
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
  long offset = m_lHeaderOffset >= 0 ? m_lHeaderOffset : ReadHeader(m_pStream);
  if (m_dwSizeLimit && static_cast<unsigned long>(offset) >= m_dwSizeLimit) m_bFull = 1;
  memcpy(m_pBuffer + m_dwUsed, kMarker, kMarkerLength);
  if (cm_platform::WriteAt(cm_platform::StreamDescriptor(m_pStream), offset, m_pBuffer, m_dwUsed + kMarkerLength)) {
    offset += static_cast<long>(m_dwUsed);
  }
  m_lHeaderOffset = WriteHeader(m_pStream, offset) ? offset : -1;
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
    m_pBuffer = new char[BufferSize(m_dwRecordSize, aBufferCount)];
    m_nBufferCount = aBufferCount;
    m_dwUsed = 0;
    m_dwRecords = 0;
  }
  return 1;
}

unsigned char CCmT120TraceFile::is_same_file(const char* aName) {
  return aName && m_pName && strcmp(aName, m_pName) == 0;
}
