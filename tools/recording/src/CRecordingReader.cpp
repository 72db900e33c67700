#include "qnvrecording/CRecordingReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qnvrecording/H264Nal.h"
#include "qnvtools/UniqueFd.h"

namespace qnvrec {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

std::string Num(uint64_t v) { return std::to_string(v); }

// Capture-time steps between pictures that count as plausible, and the
// histogram (1 ms buckets) that finds the usual one.
constexpr uint64_t kMinStepUs = 1000;
constexpr uint64_t kMaxStepUs = 10000000;
constexpr size_t kStepBuckets = kMaxStepUs / 1000 + 1;
// A step over this many usual intervals is a hole.
constexpr double kHoleIntervals = 3.0;
// Steps kept for judging once the usual interval is known: the first few
// (the usual one is not known yet) and any that looked long when met.
constexpr size_t kEarlySteps = 16;
constexpr size_t kMaxCandidates = 1024;
// A counter is sequential when this share of its steps is +1 (or 0, frames
// that share a picture's number).
constexpr double kSequentialShare = 0.9;
// Enough of a payload's start to find the slice that begins a picture.
constexpr uint32_t kInspectPrefix = 4096;

}  // namespace

std::string IndexPathFor(const std::string& dataPath) {
  size_t slash = dataPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = dataPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return dataPath + ".idx";
  return dataPath.substr(0, dot) + ".idx";
}

FILE* OpenRegularFile(const std::string& path, SFileId& id, std::string& error) {
  id = SFileId{};
  // Non-blocking, so a FIFO with no writer cannot hold the open; checked on
  // the descriptor, so what is read is what was checked.
  qnvtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.Valid()) {
    error = path + ": " + ErrnoText();
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) {
    error = path + ": " + ErrnoText();
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": " + (S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
    return nullptr;
  }
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  FILE* f = ::fdopen(fd.Get(), "rb");
  if (f == nullptr) {
    error = path + ": " + ErrnoText();
    return nullptr;
  }
  fd.Release();  // the stream owns it now
  id = SFileId{st.st_dev, st.st_ino, true};
  return f;
}

bool CRecordingReader::Open(const std::string& dataPath, const std::string& indexPath,
                            std::string& error, const Progress& progress) {
  m_summary = SRecordingSummary{};
  m_summary.dataPath = dataPath;
  m_summary.indexPath = indexPath;
  m_sps.clear();
  m_pps.clear();
  m_timingProbed = false;
  std::string why;
  m_data.reset(OpenRegularFile(dataPath, m_dataId, why));
  if (!m_data) {
    error = "cannot read data file " + why;
    return false;
  }
  m_summary.writerActive = WriterHoldsLock(fileno(m_data.get()));
  m_summary.repaired = ReadRepairNote(dataPath, m_summary.repair);
  m_index.reset(OpenRegularFile(indexPath, m_indexId, why));
  if (!m_index) {
    error = "cannot read index file " + why;
    return false;
  }
  if (m_dataId == m_indexId) {
    error = dataPath + " and " + indexPath + " are one file";
    return false;
  }
  struct stat st;
  if (::fstat(fileno(m_data.get()), &st) != 0) {
    error = "cannot read data file " + dataPath + ": " + ErrnoText();
    return false;
  }
  m_summary.dataFileBytes = uint64_t(st.st_size);
  if (::fstat(fileno(m_index.get()), &st) != 0) {
    error = "cannot read index file " + indexPath + ": " + ErrnoText();
    return false;
  }
  m_summary.indexFileBytes = uint64_t(st.st_size);
  // A torn last record (fewer than 40 bytes) that does not even begin like
  // one means the file is no index.
  if (m_summary.indexFileBytes > 0 && m_summary.indexFileBytes < SIndexRecord::kSize) {
    uint8_t raw[SIndexRecord::kSize] = {};
    size_t n = std::fread(raw, 1, sizeof raw, m_index.get());
    if (n >= SIndexRecord::kMagicOffset + sizeof SIndexRecord::kMagic &&
        std::memcmp(raw + SIndexRecord::kMagicOffset, SIndexRecord::kMagic,
                    sizeof SIndexRecord::kMagic) != 0) {
      error = "not a recording: " + indexPath + " does not start with a frame record";
      return false;
    }
  }
  return Check(error, progress);
}

bool CRecordingReader::Rewind(std::string& error) {
  m_window.clear();
  m_windowPos = 0;
  m_nextRecord = 0;
  m_nextFrame = 0;
  m_nextOffset = 0;
  if (!m_index || ::fseeko(m_index.get(), 0, SEEK_SET) != 0) {
    error = "cannot read index file " + m_summary.indexPath + ": " + ErrnoText();
    return false;
  }
  return true;
}

bool CRecordingReader::ReadRecord(SIndexRecord& record, std::string& error) {
  if (m_windowPos == m_window.size()) {
    const uint64_t whole = m_summary.indexFileBytes / SIndexRecord::kSize;
    if (m_nextRecord >= whole) return false;
    const size_t n = size_t(std::min<uint64_t>(kWindowRecords, whole - m_nextRecord));
    m_window.resize(n);
    if (std::fread(m_window.data(), SIndexRecord::kSize, n, m_index.get()) != n) {
      error = "cannot read index file " + m_summary.indexPath + ": " +
              (std::ferror(m_index.get()) ? ErrnoText() : "it shrank while being read");
      m_window.clear();
      return false;
    }
    m_windowPos = 0;
    m_nextRecord += n;
  }
  record = m_window[m_windowPos++];
  return true;
}

bool CRecordingReader::FrameOf(const SIndexRecord& r, uint64_t at, SFrame& frame,
                               std::string& problem, std::string& error) {
  frame.record = r;
  if (!r.HasMagic()) {
    problem = "no frame magic";
    return true;
  }
  if (r.DataOffset() != at) {
    problem = "offset " + Num(r.DataOffset()) +
              (r.DataOffset() < at ? " lies inside the previous body" : " leaves a gap") +
              " (expected " + Num(at) + ")";
    return true;
  }
  uint64_t extension = 0;
  if (r.HasExtension()) {
    uint8_t raw[SIndexRecord::kExtLengthSize];
    if (at + SIndexRecord::kExtLengthSize > m_summary.dataFileBytes) {
      problem = "extension block past the end of the data file";
      return true;
    }
    if (::fseeko(m_data.get(), static_cast<off_t>(at), SEEK_SET) != 0 ||
        std::fread(raw, 1, sizeof raw, m_data.get()) != sizeof raw) {
      error = "cannot read data file " + m_summary.dataPath + ": " + ErrnoText();
      return false;
    }
    extension = SIndexRecord::kExtLengthSize + uint64_t(QnvLoadLe32(raw));
  }
  const uint64_t body = extension + r.PayloadLength();
  if (SIndexRecord::kSize + body > SIndexRecord::kMaxFrameSize) {
    problem = "a body of " + Num(body) + " bytes is larger than any frame";
    return true;
  }
  if (at + body > m_summary.dataFileBytes) {
    problem = "body ends at " + Num(at + body) + ", past the end of the data file (" +
              Num(m_summary.dataFileBytes) + " bytes)";
    return true;
  }
  frame.offset = at;
  frame.length = uint32_t(body);
  frame.extension = uint32_t(extension);
  return true;
}

namespace {

// Frame counters: steps of more than one are holes when nearly all steps are
// one (a device that counts otherwise shows none).
class CCounterSteps {
 public:
  void Add(uint64_t frame, uint32_t counter) {
    if (frame > 0) {
      ++m_steps;
      const uint32_t d = counter - m_prev;
      if (d <= 1) {
        ++m_sequential;
      } else if (m_candidates.size() < kMaxCandidates) {
        m_candidates.push_back(SHole{frame, true, m_prev, counter});
      } else {
        ++m_overflow;
      }
    }
    m_prev = counter;
  }
  void AddHoles(std::vector<SHole>& holes, uint64_t& holeCount) const {
    if (m_steps == 0 || m_sequential == m_steps ||
        double(m_sequential) < kSequentialShare * double(m_steps))
      return;
    holes.insert(holes.end(), m_candidates.begin(), m_candidates.end());
    holeCount += m_overflow;
  }

 private:
  uint32_t m_prev = 0;
  uint64_t m_steps = 0, m_sequential = 0, m_overflow = 0;
  std::vector<SHole> m_candidates;
};

// Capture times of pictures: a histogram of the steps finds the usual
// interval; the steps that may be holes are kept until it is known.
class CStampSteps {
 public:
  CStampSteps() : m_count(kStepBuckets, 0), m_sum(kStepBuckets, 0) {}

  void Add(uint64_t frame, uint64_t stamp, SRecordingSummary& s) {
    if (m_pictures == 0) {
      s.firstStampUs = stamp;
    } else if (m_ok) {
      Step(frame, stamp);
    }
    m_prev = stamp;
    s.lastStampUs = stamp;
    ++m_pictures;
  }
  // The usual interval: the fullest 1 ms bucket with its neighbours, which
  // catch an interval that does not fall on whole milliseconds.
  void AddHoles(SRecordingSummary& s, std::vector<SHole>& holes) const {
    if (!m_ok || m_steps == 0) return;
    uint64_t n = 0, sum = 0;
    for (size_t b = m_usual > 0 ? m_usual - 1 : 0; b <= m_usual + 1 && b < kStepBuckets; ++b) {
      n += m_count[b];
      sum += m_sum[b];
    }
    s.stampsUsable = true;
    s.pictureIntervalUs = double(sum) / double(n);
    for (const SHole& h : m_candidates) {
      if (double(h.after - h.before) > kHoleIntervals * s.pictureIntervalUs) holes.push_back(h);
    }
    s.holeCount += m_overflow;
  }

 private:
  void Step(uint64_t frame, uint64_t stamp) {
    const uint64_t step = stamp - m_prev;
    if (stamp <= m_prev || step < kMinStepUs || step > kMaxStepUs) {
      m_ok = false;
      return;
    }
    const size_t b = size_t(step / 1000);
    ++m_count[b];
    m_sum[b] += step;
    if (m_count[b] > m_count[m_usual]) m_usual = b;
    const double interval = double(m_sum[m_usual]) / m_count[m_usual];
    if (m_steps < kEarlySteps || double(step) > kHoleIntervals * interval) {
      if (m_candidates.size() < kMaxCandidates) {
        m_candidates.push_back(SHole{frame, false, m_prev, stamp});
      } else {
        ++m_overflow;
      }
    }
    ++m_steps;
  }

  std::vector<uint32_t> m_count;
  std::vector<uint64_t> m_sum;
  size_t m_usual = 0;
  uint64_t m_steps = 0, m_pictures = 0, m_prev = 0, m_overflow = 0;
  bool m_ok = true;
  std::vector<SHole> m_candidates;
};

// What lies past the last consistent frame: counted, and named as a problem
// when no earlier problem explains it.
void NoteTail(SRecordingSummary& s, uint64_t whole, uint64_t kept, uint64_t bodyBytes, bool torn,
              const std::string& problem) {
  s.frames = kept;
  s.bodyBytes = bodyBytes;
  s.droppedFrames = (whole - kept) + (torn ? 1 : 0);
  s.droppedIndexBytes = s.indexFileBytes - kept * SIndexRecord::kSize;
  s.droppedDataBytes = s.dataFileBytes - bodyBytes;
  if (!problem.empty()) {
    s.problems.push_back(problem);
    return;
  }
  if (torn) {
    s.problems.push_back("the index ends in a torn record (" +
                         Num(s.indexFileBytes % SIndexRecord::kSize) + " of " +
                         Num(SIndexRecord::kSize) + " bytes)");
  }
  if (s.droppedDataBytes > 0) {
    s.problems.push_back(Num(s.droppedDataBytes) +
                         " data bytes after the last frame have no index record");
  }
}

}  // namespace

bool CRecordingReader::Check(std::string& error, const Progress& progress) {
  SRecordingSummary& s = m_summary;
  const uint64_t whole = s.indexFileBytes / SIndexRecord::kSize;
  const bool torn = s.indexFileBytes % SIndexRecord::kSize != 0;
  if (!Rewind(error)) return false;

  CStampSteps stamps;
  CCounterSteps counters;
  uint64_t expected = 0;  // where the next body must begin
  uint64_t kept = 0;
  std::string problem;
  SIndexRecord r;
  SFrame f;
  while (kept < whole) {
    if (!ReadRecord(r, error)) return false;
    if (kept == 0 && !r.HasMagic()) {
      error = "not a recording: " + s.indexPath + " does not start with a frame record";
      return false;
    }
    if (!FrameOf(r, expected, f, problem, error)) return false;
    if (!problem.empty()) {
      problem = "record " + Num(kept) + ": " + problem;
      break;
    }
    bool picture = false, key = false;
    if (!Inspect(expected + f.extension, r.PayloadLength(), picture, key, error)) return false;
    if (key) ++s.keyFrames;
    counters.Add(kept, r.Counter());
    if (picture) {
      ++s.pictures;
      stamps.Add(kept, f.StampUs(), s);
    }
    expected += f.length;
    ++kept;
    if (progress && (kept % 4096 == 1 || kept == whole)) progress(kept, whole);
  }
  NoteTail(s, whole, kept, expected, torn, problem);

  std::vector<SHole> holes;
  stamps.AddHoles(s, holes);
  counters.AddHoles(holes, s.holeCount);
  std::sort(holes.begin(), holes.end(),
            [](const SHole& a, const SHole& b) { return a.frame < b.frame; });
  s.holeCount += holes.size();
  if (holes.size() > kMaxListedHoles) holes.resize(kMaxListedHoles);
  s.holes = std::move(holes);
  return Rewind(error);
}

bool CRecordingReader::Inspect(uint64_t payloadOffset, uint32_t payloadLength, bool& picture,
                               bool& key, std::string& error) {
  // Parameter sets and SEI come first and are short: the slice that begins a
  // picture lies within the first few KiB. The frame kind is not enough:
  // frames of parameter sets carry the key-frame kind too. Pictures and key
  // pictures are counted as the library's public reader counts them.
  picture = key = false;
  if (payloadLength == 0) return true;
  const uint32_t n = std::min(payloadLength, kInspectPrefix);
  m_scratch.resize(n);
  if (::fseeko(m_data.get(), static_cast<off_t>(payloadOffset), SEEK_SET) != 0 ||
      std::fread(m_scratch.data(), 1, n, m_data.get()) != n) {
    error = "cannot read data file " + m_summary.dataPath + ": " + ErrnoText();
    return false;
  }
  const QNVNetFrameNal counted = QNVNetFrameNal::OfPayload(m_scratch.data(), n);
  picture = counted.startsPicture;
  key = counted.keyPicture;
  if (m_timingProbed) return true;
  for (const SNalRef& nal : SplitAnnexB(m_scratch.data(), n)) {
    if (nal.Type() == kNalSps) m_sps.assign(nal.data, nal.data + nal.size);
    if (nal.Type() == kNalPps) m_pps.assign(nal.data, nal.data + nal.size);
    if (!StartsPicture(nal)) continue;
    if (!m_sps.empty() && !m_pps.empty()) {
      m_timingProbed = true;
      m_summary.streamFps = StreamFrameRate(SNalRef{m_sps.data(), m_sps.size()},
                                            SNalRef{m_pps.data(), m_pps.size()}, nal);
    }
    break;
  }
  return true;
}

bool CRecordingReader::NextRecord(SFrame& frame, std::string& error) {
  error.clear();
  if (m_nextFrame >= m_summary.frames) return false;
  SIndexRecord r;
  std::string problem;
  if (!ReadRecord(r, error)) {
    if (error.empty()) error = "the index file shrank while being read";
    return false;
  }
  if (!FrameOf(r, m_nextOffset, frame, problem, error)) return false;
  if (!problem.empty()) {
    error = "the recording changed while being read: record " + Num(m_nextFrame) + ": " + problem;
    return false;
  }
  frame.index = m_nextFrame++;
  m_nextOffset += frame.length;
  return true;
}

bool CRecordingReader::Next(SFrame& frame, std::vector<uint8_t>& body, std::string& error) {
  if (!NextRecord(frame, error)) return false;
  body.resize(frame.length);
  if (::fseeko(m_data.get(), static_cast<off_t>(frame.offset), SEEK_SET) != 0 ||
      (frame.length > 0 &&
       std::fread(body.data(), 1, frame.length, m_data.get()) != frame.length)) {
    error = "cannot read frame " + Num(frame.index) + " from " + m_summary.dataPath + ": " +
            (std::ferror(m_data.get()) ? ErrnoText() : "the file shrank while being read");
    return false;
  }
  return true;
}

void CRecordingReader::Payload(const SFrame& frame, const std::vector<uint8_t>& body,
                               const uint8_t*& data, size_t& length) {
  const size_t skip = std::min<size_t>(frame.extension, body.size());
  data = body.data() + skip;
  length = body.size() - skip;
}

}  // namespace qnvrec
