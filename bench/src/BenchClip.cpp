#include "BenchClip.h"

#include <cstring>

#include "QNVNetSdk.h"
#include "devsim/Simulator.h"

namespace qnv::bench {

namespace {
constexpr size_t kStartCodeSize = 4;
}  // namespace

void WriteFrameHeader(uint8_t* header, uint32_t counter, uint32_t streamId, uint32_t payloadLength,
                      uint64_t sendTimeNs) {
  devsim::wire::FrameHeader h;
  h.counter = counter;
  h.streamId = streamId;
  h.payloadLength = payloadLength;
  h.captureTimeUs = sendTimeNs;  // the field carries nanoseconds here
  const auto bytes = devsim::wire::EncodeFrameHeader(h);
  std::memcpy(header, bytes.data(), bytes.size());
}

bool CBenchClip::Load(const std::string& path, std::string* error) {
  std::vector<std::vector<uint8_t>> nals = devsim::LoadClipNalUnits(path);
  if (nals.empty()) {
    *error = "no H.264 NAL units in \"" + path + "\" (make it with scripts/make-bench-clip)";
    return false;
  }
  size_t rawSize = 0;
  for (const auto& nal : nals) rawSize += nal.size();
  m_raw.clear();
  m_framed.clear();
  m_nals.clear();
  m_units.clear();
  m_raw.reserve(rawSize);
  m_framed.reserve(rawSize + nals.size() * kFrameHeaderSize);
  SAccessUnit unit{0, 0, false};
  for (const auto& nal : nals) {
    SNal n{m_raw.size(), m_framed.size(), uint32_t(nal.size())};
    m_raw.insert(m_raw.end(), nal.begin(), nal.end());
    m_framed.resize(m_framed.size() + kFrameHeaderSize);
    WriteFrameHeader(m_framed.data() + n.framedOffset, uint32_t(m_nals.size()), 0, n.length, 0);
    m_framed.insert(m_framed.end(), nal.begin(), nal.end());
    m_nals.push_back(n);
    ++unit.nalCount;
    const int32_t type =
        nal.size() > kStartCodeSize ? QNVNetFrameNal::TypeOf(nal[kStartCodeSize]) : 0;
    if (type == QNVNetFrameNal::kTypeIdr) unit.key = true;
    if (type == QNVNetFrameNal::kTypeSlice || type == QNVNetFrameNal::kTypeIdr) {
      m_units.push_back(unit);
      unit = SAccessUnit{m_nals.size(), 0, false};
    }
  }
  if (m_units.empty()) {
    *error = "no picture in \"" + path + "\"";
    return false;
  }
  return true;
}

void CBenchClip::SetFramedLoop(uint64_t loop, uint32_t streamId) {
  const uint64_t base = loop * m_nals.size();
  for (size_t i = 0; i < m_nals.size(); ++i) {
    uint8_t* h = m_framed.data() + m_nals[i].framedOffset;
    devsim::wire::PutU32(h + kFrameCounterOffset, uint32_t(base + i));
    devsim::wire::PutU32(h + kFrameStreamIdOffset, streamId);
  }
}

}  // namespace qnv::bench
