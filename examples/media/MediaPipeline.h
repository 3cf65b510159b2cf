// MediaPipeline.h - the media objects of zar_media_demo: the frame that
// travels, the processing units, and the figures they record.
//
//   capture thread                  processing thread            (far thread with -m 2)
//   20 ms timer -> [capture] --> [gain] -> [crc] -> [encode] --> [decode] -> [sink]
//                   (no unit)     Q15      CRC-16   Base64        Base64     checks
//
// A frame is a counted IProcessData holding its bytes in a message block
// and its metadata in a parameter list; the encode unit writes both into one
// message block and sends it on as Base64 text, the decode unit restores
// them, and the sink checks sequence, CRC and content.
//
// Thread safety: a frame belongs to the thread handling it (one at a time,
// by the pipeline's hand-over). PipelineFigures is shared by the capture,
// sink and status threads and guards itself.
#ifndef ZAR_MEDIA_PIPELINE_H
#define ZAR_MEDIA_PIPELINE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "CmMessageBlock.h"
#include "MediaDemoLogic.h"
#include "ProcessModule.h"
#include "paramlist.h"

namespace media_demo {

// Parameter indexes of a frame's metadata.
enum : DWORD {
  kParamSeq = 1,        // DWORD, from 0
  kParamCaptureUs = 2,  // DWORD, microseconds since the run began
  kParamChannels = 3,   // WORD
  kParamSampleRate = 4, // INT
  kParamGainQ15 = 5,    // INT, set by the gain unit
  kParamCrc = 6,        // WORD, set by the CRC unit over the samples
};

enum FrameType : uint32_t { kFramePcm = 1, kFrameTransport = 2 };

// Microseconds on the steady clock since the process's first call.
uint64_t RunMicros();

class MediaFrame : public IProcessData {
 public:
  // Takes ownership of aPayload (a heap message block).
  MediaFrame(FrameType aType, CCmMessageBlock* aPayload);

  uint32_t AddRef() override { return ++m_nRef; }
  uint32_t Release() override;
  CmResult QueryInterface(const zar::_tagUUID& aIid, void** aOut) override;
  uint32_t GetReference() override { return m_nRef.load(); }
  uint32_t GetDataType() override { return m_Type; }
  unsigned char* GetDataPtr() override;
  int32_t GetDataLength() override;
  uint64_t GetTimestamp() override;
  void* GetUserContext() override { return nullptr; }

  CCmMessageBlock& Payload() { return *m_pPayload; }
  CCmParameterList& Params() { return m_Params; }
  // A DWORD or WORD parameter, or aDefault when it is absent or of another type.
  uint32_t ParamU32(DWORD aIndex, uint32_t aDefault) const;

  // A captured frame: sequence aSeq, the synthetic samples, its metadata.
  static MediaFrame* Capture(uint32_t aSeq, uint64_t aCaptureUs);

 private:
  ~MediaFrame() override;
  std::atomic<uint32_t> m_nRef{0};
  FrameType m_Type;
  CCmMessageBlock* m_pPayload;
  CCmParameterList m_Params;
};

// Everything the run measures. Windows are emptied by the status line.
class PipelineFigures {
 public:
  void AddLateness(int64_t aMicros);
  void AddFrame(uint32_t aSeq, bool aCrcOk, bool aContentOk, int64_t aLatencyMicros);
  void AddTransportError();
  void NoteQueueDepth(uint32_t aDepth);

  struct Window {
    uint64_t delivered = 0;
    int64_t latenessP50 = 0, latenessP99 = 0, latenessMax = 0;
    int64_t latencyP50 = 0, latencyP99 = 0, latencyMax = 0;
    uint32_t queueMax = 0;
  };
  // The figures since the previous call, then a new window.
  Window TakeWindow();
  // Waits until aFrames frames reached the sink (or were refused by the
  // decoder), at most aLimitMs; true when they did.
  bool WaitForFrames(uint64_t aFrames, int aLimitMs);

  // For the summary, once the pipeline is quiet.
  FrameAccounting& Accounting() { return m_Accounting; }
  const LatencyHistogram& Lateness() const { return m_Lateness; }
  const LatencyHistogram& Latency() const { return m_Latency; }
  uint64_t TransportErrors() const { return m_qwTransportErrors; }
  uint32_t QueueMax() const { return m_dwQueueMaxAll; }

 private:
  std::mutex m_Mutex;  // guards everything below
  std::condition_variable m_Arrived;
  FrameAccounting m_Accounting;
  LatencyHistogram m_Lateness, m_Latency;
  LatencyHistogram m_WindowLateness, m_WindowLatency;
  uint64_t m_qwWindowDelivered = 0;
  uint64_t m_qwTransportErrors = 0;
  uint32_t m_dwQueueMax = 0, m_dwQueueMaxAll = 0;
};

// Scales the samples in place by kGainQ15.
class GainUnit : public ProcessUnit {
 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override;
};

// Stamps the CRC-16 of the samples into the metadata.
class CrcUnit : public ProcessUnit {
 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override;
};

// Metadata and samples into one message block, sent on as Base64 text.
class EncodeUnit : public ProcessUnit {
 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override;
};

// Base64 text back into metadata and samples; a frame that does not decode
// is counted as a transport error and goes no further.
class DecodeUnit : public ProcessUnit {
 public:
  explicit DecodeUnit(PipelineFigures& aFigures) : m_Figures(aFigures) {}

 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override;

 private:
  PipelineFigures& m_Figures;
};

// Checks sequence, CRC and content of every frame and records its latency.
class SinkUnit : public ProcessUnit {
 public:
  explicit SinkUnit(PipelineFigures& aFigures) : m_Figures(aFigures) {}

 protected:
  IProcessData* _Process(IProcessData* aData, uint16_t aChannel) override;

 private:
  PipelineFigures& m_Figures;
};

}  // namespace media_demo

#endif  // ZAR_MEDIA_PIPELINE_H
