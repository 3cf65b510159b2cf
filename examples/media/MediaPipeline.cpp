#include "MediaPipeline.h"

#include <cstring>
#include <string>

#include "CmByteStream.h"
#include "CmClock.h"
#include "CmUtilMisc.h"

namespace media_demo {

uint64_t RunMicros() {
  static const unsigned long long start = tick_policy::now_us();
  return tick_policy::now_us() - start;
}

MediaFrame::MediaFrame(FrameType aType, CCmMessageBlock* aPayload) : m_Type(aType), m_pPayload(aPayload) {}

MediaFrame::~MediaFrame() { delete m_pPayload; }

uint32_t MediaFrame::Release() {
  const uint32_t left = --m_nRef;
  if (left == 0) delete this;
  return left;
}

CmResult MediaFrame::QueryInterface(const zar::_tagUUID& aIid, void** aOut) {
  if (!aOut) return ZAR_E_POINTER;
  *aOut = nullptr;
  if (aIid != zar::IID_IZarUnknown) return ZAR_E_NOINTERFACE;
  AddRef();
  *aOut = static_cast<zar::IZarUnknown*>(this);
  return ZAR_S_OK;
}

unsigned char* MediaFrame::GetDataPtr() {
  return reinterpret_cast<unsigned char*>(const_cast<char*>(m_pPayload->GetTopLevelReadPtr()));
}

int32_t MediaFrame::GetDataLength() { return static_cast<int32_t>(m_pPayload->GetTopLevelLength()); }

uint64_t MediaFrame::GetTimestamp() { return ParamU32(kParamSeq, 0) * static_cast<uint64_t>(kSamplesPerChannel); }

uint32_t MediaFrame::ParamU32(DWORD aIndex, uint32_t aDefault) const {
  const CCmParameterByIndex* param = m_Params.FindParameter(aIndex);
  if (!param) return aDefault;
  const CCmMetaData& value = param->GetMetaData();
  if (value.GetType() == CM_DATA_DWORD) {
    unsigned int v = 0;
    return value.Get(v) == 0 ? v : aDefault;
  }
  if (value.GetType() == CM_DATA_WORD) {
    unsigned short v = 0;
    return value.Get(v) == 0 ? v : aDefault;
  }
  return aDefault;
}

MediaFrame* MediaFrame::Capture(uint32_t aSeq, uint64_t aCaptureUs) {
  const std::vector<int16_t> samples = SynthesizeFrame(aSeq, kChannels);
  const unsigned long bytes = samples.size() * sizeof(int16_t);
  CCmMessageBlock* payload = new CCmMessageBlock(bytes);
  payload->Write(samples.data(), bytes);
  MediaFrame* frame = new MediaFrame(kFramePcm, payload);
  frame->AddRef();
  CCmParameterList& params = frame->Params();
  params.AddParameter(new CCmParameterByIndex(kParamSeq, static_cast<unsigned int>(aSeq)));
  params.AddParameter(new CCmParameterByIndex(kParamCaptureUs, static_cast<unsigned int>(aCaptureUs)));
  params.AddParameter(new CCmParameterByIndex(kParamChannels, static_cast<unsigned short>(kChannels)));
  params.AddParameter(new CCmParameterByIndex(kParamSampleRate, static_cast<int>(kSampleRate)));
  return frame;
}

void PipelineFigures::AddLateness(int64_t aMicros) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  m_Lateness.Add(aMicros);
  m_WindowLateness.Add(aMicros);
}

void PipelineFigures::AddFrame(uint32_t aSeq, bool aCrcOk, bool aContentOk, int64_t aLatencyMicros) {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Accounting.OnFrame(aSeq, aCrcOk, aContentOk);
    m_Latency.Add(aLatencyMicros);
    m_WindowLatency.Add(aLatencyMicros);
    ++m_qwWindowDelivered;
  }
  m_Arrived.notify_all();
}

void PipelineFigures::AddTransportError() {
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_qwTransportErrors;
  }
  m_Arrived.notify_all();
}

void PipelineFigures::NoteQueueDepth(uint32_t aDepth) {
  std::lock_guard<std::mutex> lock(m_Mutex);
  if (aDepth > m_dwQueueMax) m_dwQueueMax = aDepth;
  if (aDepth > m_dwQueueMaxAll) m_dwQueueMaxAll = aDepth;
}

PipelineFigures::Window PipelineFigures::TakeWindow() {
  std::lock_guard<std::mutex> lock(m_Mutex);
  Window w;
  w.delivered = m_qwWindowDelivered;
  w.latenessP50 = m_WindowLateness.Percentile(50);
  w.latenessP99 = m_WindowLateness.Percentile(99);
  w.latenessMax = m_WindowLateness.Max();
  w.latencyP50 = m_WindowLatency.Percentile(50);
  w.latencyP99 = m_WindowLatency.Percentile(99);
  w.latencyMax = m_WindowLatency.Max();
  w.queueMax = m_dwQueueMax;
  m_WindowLateness.Clear();
  m_WindowLatency.Clear();
  m_qwWindowDelivered = 0;
  m_dwQueueMax = 0;
  return w;
}

bool PipelineFigures::WaitForFrames(uint64_t aFrames, int aLimitMs) {
  std::unique_lock<std::mutex> lock(m_Mutex);
  return m_Arrived.wait_for(lock, std::chrono::milliseconds(aLimitMs),
                            [&] { return m_Accounting.Delivered() + m_qwTransportErrors >= aFrames; });
}

IProcessData* GainUnit::_Process(IProcessData* aData, uint16_t) {
  MediaFrame* frame = static_cast<MediaFrame*>(aData);
  int16_t* samples = reinterpret_cast<int16_t*>(frame->GetDataPtr());
  ApplyGain(samples, static_cast<size_t>(frame->GetDataLength()) / sizeof(int16_t), kGainQ15);
  frame->Params().AddParameter(new CCmParameterByIndex(kParamGainQ15, static_cast<int>(kGainQ15)));
  frame->AddRef();  // the unit gives this reference up after delivering
  return frame;
}

IProcessData* CrcUnit::_Process(IProcessData* aData, uint16_t) {
  MediaFrame* frame = static_cast<MediaFrame*>(aData);
  unsigned short crc = 0;
  CalcCRC16_m(crc, frame->Payload(), frame->Payload().GetChainedLength());
  frame->Params().AddParameter(new CCmParameterByIndex(kParamCrc, crc));
  frame->AddRef();
  return frame;
}

IProcessData* EncodeUnit::_Process(IProcessData* aData, uint16_t) {
  MediaFrame* frame = static_cast<MediaFrame*>(aData);
  DWORD paramBytes = 0;
  if (frame->Params().GetStreamLength(paramBytes) != 0) return nullptr;
  const DWORD sampleBytes = frame->Payload().GetChainedLength();
  CCmMessageBlock wire(paramBytes + sampleBytes);
  CCmByteStreamNetwork out(wire);
  if (frame->Params().StreamTo(out) != 0) return nullptr;
  wire.Write(frame->GetDataPtr(), sampleBytes);
  const CCmString bytes = wire.FlattenChained();
  std::string text;
  CM_Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size()), text);
  CCmMessageBlock* payload = new CCmMessageBlock(text.size());
  payload->Write(text.data(), text.size());
  MediaFrame* sent = new MediaFrame(kFrameTransport, payload);
  sent->AddRef();
  return sent;
}

IProcessData* DecodeUnit::_Process(IProcessData* aData, uint16_t) {
  MediaFrame* frame = static_cast<MediaFrame*>(aData);
  const std::string text(reinterpret_cast<const char*>(frame->GetDataPtr()), frame->GetDataLength());
  std::string bytes;
  CM_Base64Decode(text.c_str(), bytes);
  CCmMessageBlock wire(bytes.size(), bytes.data(), 0, bytes.size());  // a view on the decoded bytes
  CCmByteStreamNetwork in(wire);
  CCmParameterList params;
  if (bytes.empty() || params.StreamFrom(in) != 0) {
    m_Figures.AddTransportError();
    return nullptr;
  }
  const DWORD sampleBytes = wire.GetChainedLength();
  CCmMessageBlock* payload = new CCmMessageBlock(sampleBytes);
  payload->Write(wire.GetTopLevelReadPtr(), sampleBytes);
  MediaFrame* received = new MediaFrame(kFramePcm, payload);
  received->AddRef();
  received->Params() = params;
  return received;
}

IProcessData* SinkUnit::_Process(IProcessData* aData, uint16_t) {
  MediaFrame* frame = static_cast<MediaFrame*>(aData);
  const uint32_t seq = frame->ParamU32(kParamSeq, 0xFFFFFFFFu);
  const uint32_t channels = frame->ParamU32(kParamChannels, 0);
  const uint32_t stamped = frame->ParamU32(kParamCrc, 0x10000u);  // beyond 16 bits: no stamp
  const uint64_t captured = frame->ParamU32(kParamCaptureUs, 0);
  unsigned short crc = 0;
  CalcCRC16_m(crc, frame->Payload(), frame->Payload().GetChainedLength());
  bool contentOk = false;
  if (seq != 0xFFFFFFFFu && channels >= 1 && channels <= 8) {
    const std::vector<uint8_t> expected = ExpectedFrameBytes(seq, static_cast<int>(channels));
    contentOk = expected.size() == static_cast<size_t>(frame->GetDataLength()) &&
                std::memcmp(expected.data(), frame->GetDataPtr(), expected.size()) == 0;
  }
  // Capture times travel as 32 bits of microseconds: a 71-minute wrap at most.
  const uint32_t now = static_cast<uint32_t>(RunMicros());
  const int64_t latency = static_cast<uint32_t>(now - static_cast<uint32_t>(captured));
  m_Figures.AddFrame(seq == 0xFFFFFFFFu ? 0 : seq, stamped == crc, contentOk, latency);
  return nullptr;
}

}  // namespace media_demo
