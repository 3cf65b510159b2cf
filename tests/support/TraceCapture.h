// TraceCapture - collects the trace lines the library produces while it is
// alive, from any thread, and restores the trace settings afterwards.
//
//   TraceCapture trace;            // sink installed exclusively, mask 4
//   DoSomething();
//   EXPECT_TRUE(trace.Contains("CCmFoo::Bar, failed"));
//
// One capture at a time per process (the sink is a plain function pointer).
#ifndef ZAR_TEST_TRACE_CAPTURE_H
#define ZAR_TEST_TRACE_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

struct TraceLine {
  unsigned level;
  std::string text;  // the whole line, "[module] message"
};

class TraceCapture {
 public:
  // aOption is the trace option to use while capturing (0x4: the sink only).
  explicit TraceCapture(unsigned aMask = 4, unsigned aOption = 0x4);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<TraceLine> Lines() const;
  // The text of every line, in order.
  std::vector<std::string> Texts() const;
  // Lines containing aFragment, optionally only of one level.
  size_t Count(const std::string& aFragment, int aLevel = -1) const;
  bool Contains(const std::string& aFragment, int aLevel = -1) const { return Count(aFragment, aLevel) > 0; }
  // The first line containing aFragment, or "" when none.
  std::string Find(const std::string& aFragment) const;
  void Clear();

 private:
  static void Sink(unsigned aLevel, const char* aLine, unsigned aLength);

  unsigned m_nOldMask;
  unsigned m_nOldOption;
  int m_nOldTroubleshooting;
  mutable std::mutex m_Mutex;
  std::vector<TraceLine> m_Lines;
};

#endif  // ZAR_TEST_TRACE_CAPTURE_H
