#include "TraceCapture.h"

#include <atomic>

#include "CmTrace.h"
#include "CmTraceInternal.h"

namespace {
std::atomic<TraceCapture*> g_pCapture{nullptr};
std::mutex g_CaptureMutex;  // keeps the capture alive while a sink call runs
}  // namespace

TraceCapture::TraceCapture(unsigned aMask, unsigned aOption)
    : m_nOldMask(get_external_trace_mask()),
      m_nOldOption(cm_get_trace_option()),
      m_nOldTroubleshooting(CmTraceGetTroubleshootingLevel()) {
  {
    std::lock_guard<std::mutex> lock(g_CaptureMutex);
    g_pCapture.store(this);
  }
  set_util_external_trace_sink(&TraceCapture::Sink);
  set_util_logstash_external_trace_sink(nullptr);
  set_external_trace_mask(aMask);
  cm_set_trace_option(aOption);
}

TraceCapture::~TraceCapture() {
  set_util_external_trace_sink(nullptr);
  set_external_trace_mask(m_nOldMask);
  cm_set_trace_option(m_nOldOption);
  CmTraceSetTroubleshootingLevel(m_nOldTroubleshooting);
  std::lock_guard<std::mutex> lock(g_CaptureMutex);
  g_pCapture.store(nullptr);
}

void TraceCapture::Sink(unsigned aLevel, const char* aLine, unsigned aLength) {
  std::lock_guard<std::mutex> lock(g_CaptureMutex);
  TraceCapture* self = g_pCapture.load();
  if (!self) return;
  std::lock_guard<std::mutex> own(self->m_Mutex);
  self->m_Lines.push_back({aLevel, std::string(aLine, aLength)});
}

std::vector<TraceLine> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  return m_Lines;
}

std::vector<std::string> TraceCapture::Texts() const {
  std::vector<std::string> texts;
  for (const TraceLine& line : Lines()) texts.push_back(line.text);
  return texts;
}

size_t TraceCapture::Count(const std::string& aFragment, int aLevel) const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  size_t n = 0;
  for (const TraceLine& line : m_Lines) {
    if ((aLevel < 0 || static_cast<unsigned>(aLevel) == line.level) && line.text.find(aFragment) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

std::string TraceCapture::Find(const std::string& aFragment) const {
  std::lock_guard<std::mutex> lock(m_Mutex);
  for (const TraceLine& line : m_Lines) {
    if (line.text.find(aFragment) != std::string::npos) return line.text;
  }
  return std::string();
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Lines.clear();
}
