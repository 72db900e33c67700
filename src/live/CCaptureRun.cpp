#include "live/CCaptureRun.h"

#include <cstring>
#include <utility>

namespace qnv {

using namespace protocol;

namespace {
bool IsPicture(int type) { return QNVNetFrameNal::IsSlice(type); }
}  // namespace

void CCaptureRun::Clear() {
  m_records.clear();
  m_data.clear();
  m_count = 0;
  m_started = false;
  m_ready = false;
}

void CCaptureRun::Add(const SFrameIndex& header, const SBodyView& body, uint32_t sequence) {
  SFrameIndex record = header;
  record.SetOffset(uint32_t(m_data.size()));
  m_records.insert(m_records.end(), record.bytes, record.bytes + sizeof record.bytes);
  const size_t at = m_data.size();
  m_data.resize(at + body.Size());
  std::memcpy(m_data.data() + at, body.first, body.firstLength);
  if (body.secondLength > 0)
    std::memcpy(m_data.data() + at + body.firstLength, body.second, body.secondLength);
  ++m_count;
  m_next = sequence + 1;
}

void CCaptureRun::CopyRange(const CStreamQueue& queue, size_t from, size_t to) {
  Clear();
  size_t bytes = 0;
  for (size_t i = from; i < to; ++i) bytes += queue.Held(i).body.Size();
  m_records.reserve((to - from) * kFrameHeaderSize);
  m_data.reserve(bytes);
  for (size_t i = from; i < to; ++i) {
    const CStreamQueue::SHeld held = queue.Held(i);
    Add(*held.header, held.body, held.sequence);
  }
}

CCaptureRun::EFrom CCaptureRun::CopyFrom(const CStreamQueue& queue, const uint32_t* next) {
  Clear();
  const size_t n = queue.Count();
  if (n == 0) return EFrom::kNothing;
  // Frames i - 1 and i follow each other: no frame of the stream between them.
  auto follows = [&](size_t i) {
    return i > 0 && queue.Held(i - 1).sequence + 1 == queue.Held(i).sequence;
  };
  if (next != nullptr && queue.Held(n - 1).sequence + 1 == *next) {
    m_next = *next;  // the warm decoder has the newest picture already
    return EFrom::kContinued;
  }
  // Going back from the newest frame, as long as none is missing: where the
  // warm decoder would go on, and the newest frame that begins with a
  // sequence parameter set and has a picture behind it. The later of the two
  // is the less to decode; a warm decoder takes either.
  bool picture = false;
  for (size_t i = n; i-- > 0;) {
    const CStreamQueue::SHeld held = queue.Held(i);
    if (next != nullptr && held.sequence == *next) {
      CopyRange(queue, i, n);
      return EFrom::kContinued;
    }
    const int type = FirstNalType(*held.header, held.body);
    if (IsPicture(type)) picture = true;
    if (type == kNalSps && (picture || HoldsPicture(*held.header, held.body))) {
      CopyRange(queue, i, n);
      return EFrom::kKeyFrame;
    }
    if (!follows(i)) break;
  }
  return EFrom::kNothing;
}

void CCaptureRun::Arm() {
  Clear();
  m_armed = true;
}

void CCaptureRun::Gather(const SFrameIndex& header, const uint8_t* body, uint32_t length,
                         uint32_t sequence) {
  if (!m_armed) return;
  const SBodyView view{body, length};
  const int type = FirstNalType(header, view);
  // Parameter sets before any picture of the run: start (again) from them.
  if (type == kNalSps && !m_ready) {
    Clear();
    m_started = true;
  }
  if (!m_started) return;
  if (m_data.size() + length > kMaxBytes || m_count >= kMaxFrames) {
    if (!m_ready) Clear();
    return;
  }
  Add(header, view, sequence);
  if (!m_ready) m_ready = IsPicture(type) || (type == kNalSps && HoldsPicture(header, view));
}

void CCaptureRun::TakeFrom(CCaptureRun& other) {
  m_records.swap(other.m_records);
  m_data.swap(other.m_data);
  m_count = other.m_count;
  m_next = other.m_next;
  m_started = other.m_started;
  m_ready = other.m_ready;
  m_armed = false;
  other.m_armed = false;
  other.Clear();
}

}  // namespace qnv
