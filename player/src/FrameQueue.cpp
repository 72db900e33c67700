#include "FrameQueue.h"

#include <utility>

namespace qnv::player {

bool FrameQueue::Fits(const CodedFrame& f) const {
  return m_frames.size() < m_limits.maxFrames && m_bytes + f.size() <= m_limits.maxBytes;
}

bool FrameQueue::FitsHard(const CodedFrame& f) const {
  return m_frames.size() < 2 * m_limits.maxFrames && m_bytes + f.size() <= 2 * m_limits.maxBytes;
}

void FrameQueue::Enqueue(CodedFramePtr frame) {
  m_bytes += frame->size();
  m_frames.push_back(std::move(frame));
}

CodedFramePtr FrameQueue::Pop() {
  if (m_frames.empty()) return nullptr;
  CodedFramePtr f = std::move(m_frames.front());
  m_frames.pop_front();
  m_bytes -= f->size();
  return f;
}

void FrameQueue::DiscardBacklog() {
  // Without an SPS in the backlog, every parameter set in it may still be needed.
  size_t lastSps = 0;
  for (size_t i = m_frames.size(); i-- > 0;) {
    if (ParameterSetsOnly(*m_frames[i]) && m_frames[i]->nal.sps) {
      lastSps = i;
      break;
    }
  }
  std::deque<CodedFramePtr> kept;
  for (size_t i = 0; i < m_frames.size(); ++i) {
    if (i >= lastSps && ParameterSetsOnly(*m_frames[i])) {
      kept.push_back(std::move(m_frames[i]));
    } else {
      ++m_dropped;
    }
  }
  m_frames = std::move(kept);
  m_bytes = 0;
  for (const auto& f : m_frames) m_bytes += f->size();
}

bool FrameQueue::Push(CodedFramePtr frame) {
  const CodedFrame& f = *frame;
  // Until the first key frame there is nothing to decode from.
  if (!m_synced) {
    if (!f.nal.KeyStart()) {
      ++m_dropped;
      return false;
    }
    m_synced = true;
  }
  if (ParameterSetsOnly(f)) {
    // A new SPS is a key frame: after an overflow it replaces the backlog.
    if (f.nal.sps && (m_dropping || !Fits(f))) {
      DiscardBacklog();
      m_dropping = false;
    }
    if (!FitsHard(f)) {
      ++m_dropped;
      return false;
    }
    Enqueue(std::move(frame));
    return true;
  }
  if (f.nal.KeyStart()) {
    if (m_dropping || !Fits(f)) DiscardBacklog();
    m_dropping = false;
  } else if (m_dropping) {
    ++m_dropped;
    return false;
  }
  if (!Fits(f)) {
    // Either the queue is full or this one frame is larger than the whole
    // budget: everything up to the next key frame goes.
    m_dropping = true;
    ++m_dropped;
    return false;
  }
  Enqueue(std::move(frame));
  return true;
}

}  // namespace qnv::player
