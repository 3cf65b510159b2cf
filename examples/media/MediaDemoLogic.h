// MediaDemoLogic.h - the parts of zar_media_demo that decide something and
// can be checked without threads or a clock: the command line, the
// synthetic audio, the gain, the sink's frame accounting and the latency
// histograms.
//
// Thread safety: none inside; every object belongs to one thread at a time
// (the demo guards the shared ones with its own locks).
#ifndef ZAR_MEDIA_DEMO_LOGIC_H
#define ZAR_MEDIA_DEMO_LOGIC_H

#include <cstdint>
#include <string>
#include <vector>

namespace media_demo {

// ---- the command line

enum class TimerKind { kList, kHeap, kWheel, kCalendar };

const char* TimerKindName(TimerKind aKind);

struct Options {
  int seconds = 5;
  // 0: the whole chain runs on the capture thread; 1: the processing chain
  // on its own thread; 2: and the far side (decode + sink) on a third.
  int modulesOnThreads = 1;
  TimerKind timerKind = TimerKind::kList;
  long load = 0;  // extra events per second posted to the processing thread
  std::string jsonPath;
};

enum class ParseOutcome { kRun, kHelp, kError };

// Accepts "--name value" and "--name=value". kError leaves a one-line
// reason in aError (the option and what was wrong with it).
ParseOutcome ParseOptions(int aArgc, const char* const* aArgv, Options& aOptions, std::string& aError);
std::string Usage(const char* aProgram);

// ---- the audio

constexpr int kSampleRate = 48000;
constexpr int kFrameMs = 20;
constexpr int kSamplesPerChannel = kSampleRate * kFrameMs / 1000;  // 960
constexpr int kChannels = 2;
// Gain of the gain unit in Q15 (0.75).
constexpr int kGainQ15 = 24576;

// Interleaved 16-bit samples of frame aSeq: channel c is a sine of
// 440 x (c + 1) Hz, continuous across frames.
std::vector<int16_t> SynthesizeFrame(uint32_t aSeq, int aChannels);
// Q15 gain with rounding and saturation, in place.
void ApplyGain(int16_t* aSamples, size_t aCount, int aGainQ15);
// What the sink expects to receive for frame aSeq: the synthetic frame
// after the gain, as bytes.
std::vector<uint8_t> ExpectedFrameBytes(uint32_t aSeq, int aChannels);

// ---- the sink's accounting

// Counts what arrives at the sink against the capture sequence 0, 1, 2, ...
//   lost       a sequence number that never arrived
//   doubled    a sequence number that arrived again
//   reordered  a sequence number that arrived after a later one
//   corrupt    a frame whose CRC or content did not match (each frame
//              counted once, whatever else is wrong with it)
class FrameAccounting {
 public:
  void OnFrame(uint32_t aSeq, bool aCrcOk, bool aContentOk);
  // Closes the books against the number of frames captured: frames at the
  // tail that never arrived are lost.
  void Finish(uint64_t aCaptured);

  uint64_t Delivered() const { return m_qwDelivered; }
  uint64_t Lost() const;
  uint64_t Doubled() const { return m_qwDoubled; }
  uint64_t Reordered() const { return m_qwReordered; }
  uint64_t Corrupt() const { return m_qwCorrupt; }
  // Nothing lost, doubled, reordered or corrupt (after Finish).
  bool Clean() const { return Lost() == 0 && m_qwDoubled == 0 && m_qwReordered == 0 && m_qwCorrupt == 0; }

 private:
  std::vector<bool> m_Seen;  // by sequence number
  uint64_t m_qwNext = 0;     // one past the highest sequence number seen
  uint64_t m_qwDelivered = 0;
  uint64_t m_qwDoubled = 0;
  uint64_t m_qwReordered = 0;
  uint64_t m_qwCorrupt = 0;
  uint64_t m_qwCaptured = 0;
  bool m_bFinished = false;
};

// ---- latency figures

// Samples in microseconds with exact percentiles and a fixed-bucket text
// histogram.
class LatencyHistogram {
 public:
  void Add(int64_t aMicros);
  void Clear() { m_Samples.clear(); }
  size_t Count() const { return m_Samples.size(); }
  // Nearest-rank percentile (aPercent in 0..100); 0 when empty.
  int64_t Percentile(double aPercent) const;
  int64_t Max() const;
  // Counts per bucket, the bucket bounds being BucketBounds().
  std::vector<uint64_t> BucketCounts() const;
  static const std::vector<int64_t>& BucketBounds();
  // One line per bucket: range, count and a bar scaled to aWidth.
  std::string Render(const char* aTitle, int aWidth) const;

 private:
  std::vector<int64_t> m_Samples;
};

}  // namespace media_demo

#endif  // ZAR_MEDIA_DEMO_LOGIC_H
