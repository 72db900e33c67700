// Fuzzes the exporter's recording reader with arbitrary data and index files:
// Open must either refuse with a message or keep a run of frames that really
// lies in the data file, account for every byte it did not keep, and read
// every kept body back; the export pass (NAL splitting, access units, SPS
// parsing) then runs over the kept frames into a writer that only checks.
//
// Input: u32 LE index length (taken modulo what follows + 1), the index file,
// then the data file.
#include <unistd.h>

#include <string>

#include "FuzzInput.h"
#include "qnvrecording/CExporter.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/H264Nal.h"

namespace qnv::fuzz {
namespace {

std::string g_dir, g_data, g_index;

bool WriteFile(const std::string& path, const uint8_t* p, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = n == 0 || std::fwrite(p, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

// Accepts every picture after checking what the exporter hands over. Owns
// nothing; the exporter's thread only.
class CCheckingWriter : public qnvrec::CVideoWriter {
 public:
  bool Begin(const qnvrec::SNalRef& sps, const qnvrec::SNalRef& pps, const qnvrec::STimeBase&,
             std::string&) override {
    QNV_FUZZ_CHECK(sps.Type() == qnvrec::kNalSps && pps.Type() == qnvrec::kNalPps);
    qnvrec::SSpsInfo info;
    if (qnvrec::ParseSps(sps, info)) QNV_FUZZ_CHECK(info.width >= 0 && info.height >= 0);
    QNV_FUZZ_CHECK(!m_begun);
    m_begun = true;
    return true;
  }
  bool Write(const qnvrec::SAccessUnit& unit, std::string&) override {
    QNV_FUZZ_CHECK(m_begun);
    QNV_FUZZ_CHECK(unit.annexB.size() >= 5);
    QNV_FUZZ_CHECK(unit.annexB[0] == 0 && unit.annexB[1] == 0 && unit.annexB[2] == 0 &&
                   unit.annexB[3] == 1);
    QNV_FUZZ_CHECK(unit.annexB.size() <= qnvrec::kMaxAccessUnitBytes);
    QNV_FUZZ_CHECK(unit.pts > m_lastPts);
    m_lastPts = unit.pts;
    return true;
  }
  bool Finish(std::string&) override { return m_begun; }

 private:
  bool m_begun = false;
  int64_t m_lastPts = -1;
};

}  // namespace
}  // namespace qnv::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace qnv::fuzz;
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/qnv-fuzz-rec-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) Fail("no temporary directory");
  g_dir = templ;
  g_data = g_dir + "/rec.dat";
  g_index = g_dir + "/rec.idx";
  std::atexit([] {
    ::unlink(g_data.c_str());
    ::unlink(g_index.c_str());
    ::rmdir(g_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qnv::fuzz;
  using namespace qnvrec;
  CFuzzInput in(data, size);
  const uint32_t indexLength = in.U32() % uint32_t(in.Remaining() + 1);
  size_t got;
  const uint8_t* index = in.Bytes(indexLength, &got);
  const std::vector<uint8_t> body = in.Rest();
  if (!WriteFile(g_index, index, got) || !WriteFile(g_data, body.data(), body.size()))
    Fail("cannot write the input files");

  CRecordingReader reader;
  std::string error;
  uint64_t lastDone = 0;
  const bool opened = reader.Open(g_data, g_index, error, [&](uint64_t done, uint64_t total) {
    QNV_FUZZ_CHECK(done <= total && done >= lastDone);
    lastDone = done;
  });
  if (!opened) {
    QNV_FUZZ_CHECK(!error.empty());
    return 0;
  }
  const SRecordingSummary& s = reader.Summary();
  QNV_FUZZ_CHECK(s.dataFileBytes == body.size() && s.indexFileBytes == got);
  QNV_FUZZ_CHECK(s.frames == reader.FrameCount());
  QNV_FUZZ_CHECK(s.frames * SIndexRecord::kSize + s.droppedIndexBytes == s.indexFileBytes);
  QNV_FUZZ_CHECK(s.bodyBytes + s.droppedDataBytes == s.dataFileBytes);
  QNV_FUZZ_CHECK(s.keyFrames <= s.frames && s.pictures <= s.frames);
  QNV_FUZZ_CHECK(s.Consistent() == (s.droppedIndexBytes == 0 && s.droppedDataBytes == 0));
  QNV_FUZZ_CHECK((s.droppedFrames == 0) == (s.droppedIndexBytes == 0));

  QNV_FUZZ_CHECK(s.holes.size() <= kMaxListedHoles && s.holes.size() <= s.holeCount);
  uint64_t expected = 0;
  std::vector<uint8_t> frameBody;
  SFrame frame;
  QNV_FUZZ_CHECK(reader.Rewind(error));
  for (size_t i = 0; i < reader.FrameCount(); ++i) {
    QNV_FUZZ_CHECK(reader.Next(frame, frameBody, error));
    const SIndexRecord& r = frame.record;
    QNV_FUZZ_CHECK(frame.index == i);
    QNV_FUZZ_CHECK(r.HasMagic());
    QNV_FUZZ_CHECK(r.DataOffset() == expected && frame.offset == expected);
    QNV_FUZZ_CHECK(std::memcmp(r.bytes, index + i * SIndexRecord::kSize, SIndexRecord::kSize) == 0);
    QNV_FUZZ_CHECK(frameBody.size() == frame.length);
    QNV_FUZZ_CHECK(expected + frameBody.size() <= body.size());
    QNV_FUZZ_CHECK(frameBody.empty() ||
                   std::memcmp(frameBody.data(), body.data() + expected, frameBody.size()) == 0);
    const uint8_t* payload;
    size_t length;
    CRecordingReader::Payload(frame, frameBody, payload, length);
    QNV_FUZZ_CHECK(length == r.PayloadLength());
    QNV_FUZZ_CHECK(payload + length == frameBody.data() + frameBody.size());
    for (const SNalRef& nal : SplitAnnexB(payload, length)) {
      QNV_FUZZ_CHECK(nal.size > 0);
      QNV_FUZZ_CHECK(nal.data >= payload && nal.data + nal.size <= payload + length);
      StartsPicture(nal);
    }
    expected += frameBody.size();
  }
  QNV_FUZZ_CHECK(expected == s.bodyBytes);
  QNV_FUZZ_CHECK(!reader.Next(frame, frameBody, error) && error.empty());

  CCheckingWriter writer;
  CExporter exporter(reader, writer);
  SExportResult result;
  if (!exporter.Run(result, error)) QNV_FUZZ_CHECK(!error.empty());
  return 0;
}
