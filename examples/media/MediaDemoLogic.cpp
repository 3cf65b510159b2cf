#include "MediaDemoLogic.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace media_demo {

const char* TimerKindName(TimerKind aKind) {
  switch (aKind) {
    case TimerKind::kList: return "list";
    case TimerKind::kHeap: return "heap";
    case TimerKind::kWheel: return "wheel";
    case TimerKind::kCalendar: return "calendar";
  }
  return "?";
}

namespace {

// The whole text must be a decimal number within [aMin, aMax].
bool ParseNumber(const std::string& aText, long aMin, long aMax, long& aValue) {
  if (aText.empty() || aText.size() > 18) return false;
  for (char c : aText) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  const long value = std::strtol(aText.c_str(), nullptr, 10);
  if (errno != 0 || value < aMin || value > aMax) return false;
  aValue = value;
  return true;
}

bool ParseTimerKind(const std::string& aText, TimerKind& aKind) {
  static const TimerKind kinds[] = {TimerKind::kList, TimerKind::kHeap, TimerKind::kWheel, TimerKind::kCalendar};
  for (TimerKind kind : kinds) {
    if (aText == TimerKindName(kind)) {
      aKind = kind;
      return true;
    }
  }
  return false;
}

}  // namespace

ParseOutcome ParseOptions(int aArgc, const char* const* aArgv, Options& aOptions, std::string& aError) {
  for (int i = 1; i < aArgc; ++i) {
    std::string arg = aArgv[i] ? aArgv[i] : "";
    if (arg == "--help" || arg == "-h") return ParseOutcome::kHelp;
    std::string name = arg, value;
    bool hasValue = false;
    const size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    const bool known = name == "--seconds" || name == "--modules-on-threads" || name == "--timer-kind" ||
                       name == "--load" || name == "--json";
    if (!known) {
      aError = "unknown option '" + arg + "'";
      return ParseOutcome::kError;
    }
    if (!hasValue) {
      if (i + 1 >= aArgc || !aArgv[i + 1]) {
        aError = "option " + name + " needs a value";
        return ParseOutcome::kError;
      }
      value = aArgv[++i];
    }
    long number = 0;
    if (name == "--seconds") {
      if (!ParseNumber(value, 1, 3600, number)) {
        aError = "--seconds wants a whole number of seconds from 1 to 3600, not '" + value + "'";
        return ParseOutcome::kError;
      }
      aOptions.seconds = static_cast<int>(number);
    } else if (name == "--modules-on-threads") {
      if (!ParseNumber(value, 0, 2, number)) {
        aError = "--modules-on-threads wants 0, 1 or 2, not '" + value + "'";
        return ParseOutcome::kError;
      }
      aOptions.modulesOnThreads = static_cast<int>(number);
    } else if (name == "--timer-kind") {
      if (!ParseTimerKind(value, aOptions.timerKind)) {
        aError = "--timer-kind wants list, heap, wheel or calendar, not '" + value + "'";
        return ParseOutcome::kError;
      }
    } else if (name == "--load") {
      if (!ParseNumber(value, 0, 10000000, number)) {
        aError = "--load wants events per second from 0 to 10000000, not '" + value + "'";
        return ParseOutcome::kError;
      }
      aOptions.load = number;
    } else {  // --json
      if (value.empty()) {
        aError = "--json wants a file name";
        return ParseOutcome::kError;
      }
      aOptions.jsonPath = value;
    }
  }
  return ParseOutcome::kRun;
}

std::string Usage(const char* aProgram) {
  std::string text = "usage: ";
  text += aProgram ? aProgram : "zar_media_demo";
  text +=
      " [options]\n"
      "Carries synthetic 48 kHz audio frames (20 ms, 2 channels) from a capture module\n"
      "through gain, CRC-16, Base64 transport and a checking sink, in real time.\n"
      "\n"
      "  --seconds N               run time, 1..3600 (default 5)\n"
      "  --modules-on-threads M    0: the whole chain on the capture thread;\n"
      "                            1: the processing chain on its own thread (default);\n"
      "                            2: and the far side (decode, sink) on a third\n"
      "  --timer-kind K            capture timer queue: list (default), heap, wheel, calendar\n"
      "  --load N                  extra events per second posted to the processing thread\n"
      "  --json FILE               write the summary as JSON\n"
      "  --help                    this text\n"
      "\n"
      "Exit status: 0 when no frame was lost, doubled, reordered or corrupt; 1 otherwise;\n"
      "2 for a bad command line.\n";
  return text;
}

std::vector<int16_t> SynthesizeFrame(uint32_t aSeq, int aChannels) {
  constexpr double kPi = 3.14159265358979323846;
  std::vector<int16_t> samples(static_cast<size_t>(kSamplesPerChannel) * aChannels);
  const uint64_t first = static_cast<uint64_t>(aSeq) * kSamplesPerChannel;
  for (int c = 0; c < aChannels; ++c) {
    const uint64_t hz = 440u * static_cast<uint64_t>(c + 1);
    for (int i = 0; i < kSamplesPerChannel; ++i) {
      // The phase is reduced in whole numbers first, so a long run keeps
      // full precision.
      const uint64_t phase = ((first + i) * hz) % kSampleRate;
      const double value = 12000.0 * std::sin(2.0 * kPi * static_cast<double>(phase) / kSampleRate);
      samples[static_cast<size_t>(i) * aChannels + c] = static_cast<int16_t>(std::lround(value));
    }
  }
  return samples;
}

void ApplyGain(int16_t* aSamples, size_t aCount, int aGainQ15) {
  for (size_t i = 0; i < aCount; ++i) {
    const int32_t scaled = (static_cast<int32_t>(aSamples[i]) * aGainQ15 + (1 << 14)) >> 15;
    aSamples[i] = static_cast<int16_t>(std::min<int32_t>(32767, std::max<int32_t>(-32768, scaled)));
  }
}

std::vector<uint8_t> ExpectedFrameBytes(uint32_t aSeq, int aChannels) {
  std::vector<int16_t> samples = SynthesizeFrame(aSeq, aChannels);
  ApplyGain(samples.data(), samples.size(), kGainQ15);
  std::vector<uint8_t> bytes(samples.size() * sizeof(int16_t));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

void FrameAccounting::OnFrame(uint32_t aSeq, bool aCrcOk, bool aContentOk) {
  ++m_qwDelivered;
  if (!aCrcOk || !aContentOk) ++m_qwCorrupt;
  if (aSeq >= m_Seen.size()) m_Seen.resize(std::max<size_t>(static_cast<size_t>(aSeq) + 1, m_Seen.size() * 2));
  if (m_Seen[aSeq]) {
    ++m_qwDoubled;
    return;
  }
  m_Seen[aSeq] = true;
  if (aSeq < m_qwNext) {
    ++m_qwReordered;  // it was missing until now, so it is not lost
  } else {
    m_qwNext = static_cast<uint64_t>(aSeq) + 1;
  }
}

void FrameAccounting::Finish(uint64_t aCaptured) {
  m_qwCaptured = aCaptured;
  m_bFinished = true;
}

uint64_t FrameAccounting::Lost() const {
  const uint64_t limit = m_bFinished ? std::max(m_qwNext, m_qwCaptured) : m_qwNext;
  uint64_t seen = 0;
  for (uint64_t i = 0; i < limit && i < m_Seen.size(); ++i) seen += m_Seen[i] ? 1 : 0;
  return limit - seen;
}

void LatencyHistogram::Add(int64_t aMicros) { m_Samples.push_back(aMicros); }

int64_t LatencyHistogram::Percentile(double aPercent) const {
  if (m_Samples.empty()) return 0;
  std::vector<int64_t> sorted(m_Samples);
  std::sort(sorted.begin(), sorted.end());
  const double rank = std::ceil(aPercent / 100.0 * static_cast<double>(sorted.size()));
  const size_t index = rank < 1.0 ? 0 : std::min(sorted.size() - 1, static_cast<size_t>(rank) - 1);
  return sorted[index];
}

int64_t LatencyHistogram::Max() const {
  return m_Samples.empty() ? 0 : *std::max_element(m_Samples.begin(), m_Samples.end());
}

const std::vector<int64_t>& LatencyHistogram::BucketBounds() {
  // Upper bounds (exclusive) in microseconds; the last bucket is open.
  static const std::vector<int64_t> bounds = {100, 250, 500, 1000, 2000, 5000, 10000, 20000, 50000};
  return bounds;
}

std::vector<uint64_t> LatencyHistogram::BucketCounts() const {
  const std::vector<int64_t>& bounds = BucketBounds();
  std::vector<uint64_t> counts(bounds.size() + 1, 0);
  for (int64_t sample : m_Samples) {
    const size_t bucket = std::upper_bound(bounds.begin(), bounds.end(), sample) - bounds.begin();
    ++counts[bucket];
  }
  return counts;
}

namespace {
std::string Micros(int64_t aMicros) {
  char text[32];
  if (aMicros >= 1000) {
    snprintf(text, sizeof(text), "%lld ms", static_cast<long long>(aMicros / 1000));
  } else {
    snprintf(text, sizeof(text), "%lld us", static_cast<long long>(aMicros));
  }
  return text;
}
}  // namespace

std::string LatencyHistogram::Render(const char* aTitle, int aWidth) const {
  const std::vector<int64_t>& bounds = BucketBounds();
  const std::vector<uint64_t> counts = BucketCounts();
  const uint64_t most = *std::max_element(counts.begin(), counts.end());
  std::string text = aTitle;
  char line[160];
  snprintf(line, sizeof(line), " (%zu samples; p50 %lld us, p99 %lld us, max %lld us)\n", m_Samples.size(),
           static_cast<long long>(Percentile(50)), static_cast<long long>(Percentile(99)),
           static_cast<long long>(Max()));
  text += line;
  for (size_t b = 0; b < counts.size(); ++b) {
    const std::string low = b == 0 ? std::string("0") : Micros(bounds[b - 1]);
    const std::string range = b < bounds.size() ? low + " - " + Micros(bounds[b]) : ">= " + Micros(bounds.back());
    const int bar = most == 0 ? 0 : static_cast<int>((counts[b] * static_cast<uint64_t>(aWidth) + most - 1) / most);
    snprintf(line, sizeof(line), "  %-17s %7llu |%s\n", range.c_str(), static_cast<unsigned long long>(counts[b]),
             std::string(static_cast<size_t>(bar), '#').c_str());
    text += line;
  }
  return text;
}

}  // namespace media_demo
