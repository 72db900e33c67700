#include "qnvrecording/CRecordingReader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "qnvrecording/H264Nal.h"

namespace qnvrec {

namespace {

std::string ErrnoText() { return std::strerror(errno); }

std::string Num(uint64_t v) { return std::to_string(v); }

bool FileSize(FILE* f, uint64_t& size) {
  struct stat st;
  if (::fstat(fileno(f), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace

std::string IndexPathFor(const std::string& dataPath) {
  size_t slash = dataPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = dataPath.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return dataPath + ".idx";
  return dataPath.substr(0, dot) + ".idx";
}

bool CRecordingReader::Open(const std::string& dataPath, const std::string& indexPath,
                            std::string& error, const Progress& progress) {
  summary_ = SRecordingSummary{};
  summary_.dataPath = dataPath;
  summary_.indexPath = indexPath;
  records_.clear();
  frames_.clear();

  data_.reset(std::fopen(dataPath.c_str(), "rb"));
  if (!data_ || !FileSize(data_.get(), summary_.dataFileBytes)) {
    error = "cannot read data file " + dataPath + ": " + ErrnoText();
    data_.reset();
    return false;
  }
  std::unique_ptr<FILE, SFileCloser> index(std::fopen(indexPath.c_str(), "rb"));
  if (!index || !FileSize(index.get(), summary_.indexFileBytes)) {
    error = "cannot read index file " + indexPath + ": " + ErrnoText();
    return false;
  }
  // Whole records only; a torn last record is kept aside for the check.
  const size_t whole = static_cast<size_t>(summary_.indexFileBytes / kRecordSize);
  const size_t torn = static_cast<size_t>(summary_.indexFileBytes % kRecordSize);
  records_.resize(whole);
  uint8_t tornBytes[kRecordSize] = {};
  if ((whole > 0 && std::fread(records_.data(), kRecordSize, whole, index.get()) != whole) ||
      (torn > 0 && std::fread(tornBytes, 1, torn, index.get()) != torn)) {
    error = "cannot read index file " + indexPath + ": " +
            (std::ferror(index.get()) ? ErrnoText() : "it shrank while being read");
    return false;
  }
  const uint8_t* first = whole > 0 ? records_[0].bytes : tornBytes;
  size_t firstBytes = whole > 0 ? kRecordSize : torn;
  if (firstBytes >= kMagicOffset + sizeof kMagic &&
      std::memcmp(first + kMagicOffset, kMagic, sizeof kMagic) != 0) {
    error = "not a recording: " + indexPath + " does not start with a frame record";
    return false;
  }
  return Check(error, progress);
}

bool CRecordingReader::Check(std::string& error, const Progress& progress) {
  SRecordingSummary& s = summary_;
  const uint64_t dataSize = s.dataFileBytes;
  const size_t whole = records_.size();
  const bool torn = s.indexFileBytes % kRecordSize != 0;
  frames_.reserve(whole);

  uint64_t expected = 0;  // where the next body must begin
  std::string problem;
  for (size_t k = 0; k < whole && problem.empty(); ++k) {
    const SIndexRecord& r = records_[k];
    const std::string at = "record " + Num(k) + ": ";
    if (!r.HasMagic()) {
      problem = at + "no frame magic";
      break;
    }
    if (r.Offset() != expected) {
      problem = at + "offset " + Num(r.Offset()) +
                (r.Offset() < expected ? " lies inside the previous body" : " leaves a gap") +
                " (expected " + Num(expected) + ")";
      break;
    }
    uint64_t extension = 0;
    if (r.HasExtension()) {
      uint8_t raw[kExtLengthSize];
      if (expected + kExtLengthSize > dataSize) {
        problem = at + "extension block past the end of the data file";
        break;
      }
      if (::fseeko(data_.get(), static_cast<off_t>(expected), SEEK_SET) != 0 ||
          std::fread(raw, 1, sizeof raw, data_.get()) != sizeof raw) {
        error = "cannot read data file " + s.dataPath + ": " + ErrnoText();
        return false;
      }
      extension = kExtLengthSize + uint64_t(Le32(raw));
    }
    const uint64_t body = extension + r.PayloadLength();
    if (kRecordSize + body > kMaxFrameSize) {
      problem = at + "a body of " + Num(body) + " bytes is larger than any frame";
      break;
    }
    if (expected + body > dataSize) {
      problem = at + "body ends at " + Num(expected + body) + ", past the end of the data file (" +
                Num(dataSize) + " bytes)";
      break;
    }
    bool picture = false;
    if (!HoldsPicture(r, expected + extension, r.PayloadLength(), picture, error)) return false;
    frames_.push_back(SFrame{expected, uint32_t(body), uint32_t(extension)});
    if (r.FrameKind() == kFrameKindKey) ++s.keyFrames;
    if (picture) ++s.pictures;
    expected += body;
    if (progress && (k % 4096 == 0 || k + 1 == whole)) progress(k + 1, whole);
  }

  const size_t kept = frames_.size();
  records_.resize(kept);
  s.frames = kept;
  s.bodyBytes = expected;
  s.droppedFrames = (whole - kept) + (torn ? 1 : 0);
  s.droppedIndexBytes = s.indexFileBytes - kept * kRecordSize;
  s.droppedDataBytes = dataSize - expected;
  if (!problem.empty()) s.problems.push_back(problem);
  if (problem.empty() && torn) {
    s.problems.push_back("the index ends in a torn record (" + Num(s.indexFileBytes % kRecordSize) +
                         " of " + Num(kRecordSize) + " bytes)");
  }
  if (problem.empty() && s.droppedDataBytes > 0) {
    s.problems.push_back(Num(s.droppedDataBytes) +
                         " data bytes after the last frame have no index record");
  }
  return true;
}

bool CRecordingReader::HoldsPicture(const SIndexRecord& record, uint64_t payloadOffset,
                                    uint32_t payloadLength, bool& picture, std::string& error) {
  // Parameter sets and SEI come first and are short; the slice that starts a
  // picture lies within the first few KiB. A frame the device's probe marked
  // as an I or P slice counts as a picture whatever its bytes say.
  constexpr uint32_t kPrefix = 4096;
  picture = record.FrameKind() == 1 || record.FrameKind() == 2;
  if (picture || payloadLength == 0) return true;
  uint32_t n = payloadLength < kPrefix ? payloadLength : kPrefix;
  scratch_.resize(n);
  if (::fseeko(data_.get(), static_cast<off_t>(payloadOffset), SEEK_SET) != 0 ||
      std::fread(scratch_.data(), 1, n, data_.get()) != n) {
    error = "cannot read data file " + summary_.dataPath + ": " + ErrnoText();
    return false;
  }
  for (const SNalRef& nal : SplitAnnexB(scratch_.data(), n)) {
    if (StartsPicture(nal)) {
      picture = true;
      break;
    }
  }
  return true;
}

bool CRecordingReader::ReadBody(size_t i, std::vector<uint8_t>& body, std::string& error) {
  const SFrame& f = frames_[i];
  body.resize(f.length);
  if (::fseeko(data_.get(), static_cast<off_t>(f.offset), SEEK_SET) != 0 ||
      (f.length > 0 && std::fread(body.data(), 1, f.length, data_.get()) != f.length)) {
    error = "cannot read frame " + Num(i) + " from " + summary_.dataPath + ": " +
            (std::ferror(data_.get()) ? ErrnoText() : "the file shrank while being read");
    return false;
  }
  return true;
}

void CRecordingReader::Payload(size_t i, const std::vector<uint8_t>& body, const uint8_t*& data,
                               size_t& length) const {
  const size_t skip = frames_[i].extension;
  data = body.data() + skip;
  length = body.size() - skip;
}

}  // namespace qnvrec
