// Recordings built from a real H.264 clip are read back, checked, damaged and
// exported; ffprobe/ffmpeg judge whether the output plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "qnvrecording/CAccessUnitBuilder.h"
#include "qnvrecording/CAnnexBWriter.h"
#include "qnvrecording/CExporter.h"
#include "qnvrecording/CMp4Writer.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/H264Nal.h"
#include "qnvrecording/RecordingState.h"
#include "qnvrecording/SIndexRecord.h"
#include "record/CSaveList.h"
#include "record/CStreamQueue.h"

namespace qnvrec {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "qnv-export-XXXXXX").string();
    EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
    m_path = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// The clip's NAL units, each as a payload with a 4-byte start code.
const std::vector<std::vector<uint8_t>>& SampleNals() {
  static const std::vector<std::vector<uint8_t>> nals = [] {
    static const std::vector<uint8_t> clip = ReadAll(QNV_SAMPLE_H264);
    std::vector<std::vector<uint8_t>> out;
    for (const SNalRef& nal : SplitAnnexB(clip.data(), clip.size())) {
      std::vector<uint8_t> payload{0, 0, 0, 1};
      payload.insert(payload.end(), nal.data, nal.data + nal.size);
      out.push_back(std::move(payload));
    }
    return out;
  }();
  return nals;
}

uint8_t NalType(const std::vector<uint8_t>& payload) {
  return uint8_t(QNVNetFrameNal::TypeOf(payload[4]));
}

uint8_t KindOf(const std::vector<uint8_t>& payload) {
  uint8_t type = NalType(payload);
  return type == kNalIdr ? 1 : type == kNalSlice ? 2 : 0;
}

// Writes a recording whose frames carry the given payloads; every
// extensionEvery-th frame gets an extension block in front of its payload.
void WriteRecording(const std::string& dataPath, const std::vector<std::vector<uint8_t>>& payloads,
                    size_t extensionEvery = 5) {
  std::vector<uint8_t> data, index;
  for (size_t i = 0; i < payloads.size(); ++i) {
    SIndexRecord r{};
    QnvStoreLe32(r.bytes, uint32_t(i));
    std::memcpy(r.bytes + SIndexRecord::kMagicOffset, SIndexRecord::kMagic,
                sizeof SIndexRecord::kMagic);
    QnvStoreLe32(r.bytes + SIndexRecord::kPayloadLengthOffset, uint32_t(payloads[i].size()));
    QnvStoreLe32(r.bytes + SIndexRecord::kDataOffsetOffset, uint32_t(data.size()));
    r.bytes[SIndexRecord::kKindOffset] = KindOf(payloads[i]);
    if (extensionEvery != 0 && i % extensionEvery == 2) {
      r.bytes[SIndexRecord::kExtFlagOffset] = 1;
      uint8_t n[4];
      QnvStoreLe32(n, uint32_t(i % 9));
      data.insert(data.end(), n, n + 4);
      data.insert(data.end(), i % 9, uint8_t(0xEE));
    }
    data.insert(data.end(), payloads[i].begin(), payloads[i].end());
    index.insert(index.end(), r.bytes, r.bytes + SIndexRecord::kSize);
  }
  WriteAll(dataPath, data);
  WriteAll(IndexPathFor(dataPath), index);
}

// Indices of the IDR NAL units of the clip.
std::vector<size_t> IdrPositions() {
  std::vector<size_t> idr;
  for (size_t i = 0; i < SampleNals().size(); ++i) {
    if (NalType(SampleNals()[i]) == kNalIdr) idr.push_back(i);
  }
  return idr;
}

struct SRun {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

SRun Shell(const std::string& command, const std::string& scratch) {
  SRun run;
  std::string errPath = scratch + ".stderr";
  FILE* pipe = ::popen((command + " 2>" + errPath).c_str(), "r");
  if (pipe == nullptr) return run;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
  int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::vector<uint8_t> err = ReadAll(errPath);
  run.err.assign(err.begin(), err.end());
  return run;
}

bool HaveFfprobe() { return std::system("command -v ffprobe >/dev/null 2>&1") == 0; }

// Pictures ffprobe decodes from a file, or -1.
int DecodedFrames(const std::string& path, const std::string& scratch) {
  SRun r = Shell(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 '" +
          path + "'",
      scratch);
  return r.status == 0 ? std::atoi(r.out.c_str()) : -1;
}

// ffmpeg decodes the whole file without a single complaint.
void ExpectCleanDecode(const std::string& path, const std::string& scratch) {
  SRun r = Shell("ffmpeg -nostdin -v error -i '" + path + "' -f null -", scratch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << path;
}

bool Export(const std::string& dataPath, const std::string& out, SExportResult& result,
            std::string& error) {
  CRecordingReader reader;
  if (!reader.Open(dataPath, IndexPathFor(dataPath), error)) return false;
  std::unique_ptr<CVideoWriter> writer;
  if (out.ends_with(".mp4")) {
    writer = std::make_unique<CMp4Writer>(out);
  } else {
    writer = std::make_unique<CAnnexBWriter>(out);
  }
  CExporter exporter(reader, *writer);
  return exporter.Run(result, error);
}

TEST(Export, IndexPathIsDerivedLikeTheLibraryDoes) {
  EXPECT_EQ(IndexPathFor("/v/cam1.dat"), "/v/cam1.idx");
  EXPECT_EQ(IndexPathFor("/v/cam1"), "/v/cam1.idx");
  EXPECT_EQ(IndexPathFor("/v/cam1.2024.dat"), "/v/cam1.2024.idx");
  EXPECT_EQ(IndexPathFor("/v.d/cam1"), "/v.d/cam1.idx");
  EXPECT_EQ(IndexPathFor("cam1.dat"), "cam1.idx");
}

TEST(Export, SpsOfTheClipGivesItsPictureSize) {
  const auto& nals = SampleNals();
  ASSERT_EQ(NalType(nals[0]), kNalSps);
  SSpsInfo info;
  ASSERT_TRUE(ParseSps(SNalRef{nals[0].data() + 4, nals[0].size() - 4}, info));
  EXPECT_EQ(info.width, 640);
  EXPECT_EQ(info.height, 360);
  EXPECT_FALSE(ParseSps(SNalRef{nals[0].data() + 4, 3}, info));
}

TEST(Export, WellFormedRecordingIsConsistentAndExportsToH264AndMp4ThatPlay) {
  ScratchDir dir;
  std::string data = dir / "rec.dat";
  WriteRecording(data, SampleNals());
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(data, IndexPathFor(data), error)) << error;
  const SRecordingSummary& s = reader.Summary();
  EXPECT_TRUE(s.Consistent());
  EXPECT_EQ(s.frames, SampleNals().size());
  EXPECT_EQ(s.keyFrames, 10u);
  EXPECT_EQ(s.pictures, 250u);
  EXPECT_EQ(s.droppedFrames + s.droppedDataBytes + s.droppedIndexBytes, 0u);

  SExportResult result;
  ASSERT_TRUE(Export(data, dir / "out.h264", result, error)) << error;
  EXPECT_EQ(result.pictures, 250u);
  EXPECT_EQ(result.keyPictures, 10u);
  // The raw stream is the clip from its first SPS, without the SEI that stood
  // between the parameter sets and the first IDR.
  std::vector<uint8_t> expected;
  for (size_t i = 0; i < SampleNals().size(); ++i) {
    if (i < IdrPositions()[0] && NalType(SampleNals()[i]) == kNalSei) continue;
    expected.insert(expected.end(), SampleNals()[i].begin(), SampleNals()[i].end());
  }
  EXPECT_EQ(ReadAll(dir / "out.h264"), expected);

  ASSERT_TRUE(Export(data, dir / "out.mp4", result, error)) << error;
  EXPECT_EQ(result.pictures, 250u);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  EXPECT_EQ(DecodedFrames(dir / "out.mp4", dir / "probe"), 250);
  EXPECT_EQ(DecodedFrames(dir / "out.h264", dir / "probe"), 250);
  ExpectCleanDecode(dir / "out.mp4", dir / "probe");
  SRun keys =
      Shell("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 '" +
                dir / "out.mp4" + "' | grep -c K",
            dir / "probe");
  EXPECT_EQ(std::atoi(keys.out.c_str()), 10);
  SRun rate = Shell(
      "ffprobe -v error -select_streams v:0 -show_entries stream=avg_frame_rate,"
      "duration -of csv=p=0 '" +
          dir / "out.mp4" + "'",
      dir / "probe");
  EXPECT_NE(rate.out.find("25/1"), std::string::npos) << rate.out;
  EXPECT_NE(rate.out.find("10.0"), std::string::npos) << rate.out;
}

TEST(Export, OutputStartsAtTheFirstDecodablePicture) {
  ScratchDir dir;
  const auto& nals = SampleNals();
  std::vector<size_t> idr = IdrPositions();
  ASSERT_GE(idr.size(), 3u);
  std::string error;
  SExportResult result;

  // Begins mid-GOP: the P slices before the next SPS/PPS/IDR are dropped.
  std::vector<std::vector<uint8_t>> midGop(nals.begin() + ptrdiff_t(idr[0] + 5), nals.end());
  WriteRecording(dir / "mid.dat", midGop);
  ASSERT_TRUE(Export(dir / "mid.dat", dir / "mid.mp4", result, error)) << error;
  EXPECT_EQ(result.pictures, 225u);

  // Begins at an IDR whose parameter sets were cut off: not decodable.
  std::vector<std::vector<uint8_t>> bareIdr(nals.begin() + ptrdiff_t(idr[0]), nals.end());
  WriteRecording(dir / "bare.dat", bareIdr);
  ASSERT_TRUE(Export(dir / "bare.dat", dir / "bare.h264", result, error)) << error;
  EXPECT_EQ(result.pictures, 225u);
  EXPECT_EQ(result.firstFrame, idr[1] - idr[0]);  // the second IDR, after its own SPS/PPS

  // Parameter sets only in an earlier frame, P slices between them and the
  // IDR whose own SPS/PPS are missing: they are carried forward.
  std::vector<std::vector<uint8_t>> carried;
  carried.push_back(nals[0]);
  carried.push_back(nals[1]);
  for (size_t i = idr[0] + 1; i < idr[1]; ++i) {
    if (NalType(nals[i]) == kNalSlice) carried.push_back(nals[i]);
  }
  for (size_t i = idr[1]; i < nals.size(); ++i) carried.push_back(nals[i]);
  WriteRecording(dir / "carried.dat", carried);
  ASSERT_TRUE(Export(dir / "carried.dat", dir / "carried.mp4", result, error)) << error;
  EXPECT_EQ(result.pictures, 225u);
  EXPECT_EQ(result.firstFrame, 2u + 24u);

  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  for (const char* out : {"mid.mp4", "bare.h264", "carried.mp4"}) {
    EXPECT_EQ(DecodedFrames(dir / out, dir / "probe"), 225) << out;
    ExpectCleanDecode(dir / out, dir / "probe");
  }
}

TEST(Export, FramesHoldingWholeAccessUnitsExportLikeSingleNalFrames) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> units;  // SPS+PPS+SEI+IDR together, as a device sends
  std::vector<uint8_t> pending;
  for (const auto& nal : SampleNals()) {
    pending.insert(pending.end(), nal.begin(), nal.end());
    if (IsSlice(NalType(nal))) {
      units.push_back(std::move(pending));
      pending.clear();
    }
  }
  ASSERT_EQ(units.size(), 250u);
  WriteRecording(dir / "au.dat", units, 3);
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(dir / "au.dat", dir / "au.idx", error)) << error;
  EXPECT_EQ(reader.Summary().pictures, 250u);
  SExportResult result;
  ASSERT_TRUE(Export(dir / "au.dat", dir / "au.mp4", result, error)) << error;
  EXPECT_EQ(result.pictures, 250u);
  EXPECT_EQ(result.firstFrame, 0u);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  EXPECT_EQ(DecodedFrames(dir / "au.mp4", dir / "probe"), 250);
  ExpectCleanDecode(dir / "au.mp4", dir / "probe");
}

TEST(Export, TornLastIndexRecordIsDroppedAndReported) {
  ScratchDir dir;
  std::string data = dir / "torn.dat";
  WriteRecording(data, SampleNals());
  std::vector<uint8_t> index = ReadAll(dir / "torn.idx");
  index.resize(index.size() - 17);  // the last record lost its tail in a crash
  WriteAll(dir / "torn.idx", index);
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(data, dir / "torn.idx", error)) << error;
  const SRecordingSummary& s = reader.Summary();
  EXPECT_FALSE(s.Consistent());
  EXPECT_EQ(s.frames, SampleNals().size() - 1);
  EXPECT_EQ(s.droppedFrames, 1u);
  EXPECT_EQ(s.droppedIndexBytes, 23u);
  EXPECT_EQ(s.droppedDataBytes, SampleNals().back().size());  // the last body, now unindexed
  ASSERT_GE(s.problems.size(), 1u);
  EXPECT_NE(s.problems[0].find("torn"), std::string::npos) << s.problems[0];

  SExportResult result;
  ASSERT_TRUE(Export(data, dir / "torn.mp4", result, error)) << error;
  EXPECT_EQ(result.pictures, 249u);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  ExpectCleanDecode(dir / "torn.mp4", dir / "probe");
}

TEST(Export, IndexPointingPastTheDataIsCutAtTheLastWholeBody) {
  ScratchDir dir;
  std::string data = dir / "short.dat";
  WriteRecording(data, SampleNals(), 0);
  std::vector<uint8_t> bytes = ReadAll(data);
  const size_t full = bytes.size();
  bytes.resize(full - 3000);  // the data file lost its buffered tail
  WriteAll(data, bytes);
  // Where the kept bodies end: the last whole body before the new end.
  size_t end = 0, kept = 0;
  for (const auto& p : SampleNals()) {
    if (end + p.size() > bytes.size()) break;
    end += p.size();
    ++kept;
  }
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(data, dir / "short.idx", error)) << error;
  const SRecordingSummary& s = reader.Summary();
  EXPECT_FALSE(s.Consistent());
  EXPECT_EQ(s.frames, kept);
  EXPECT_EQ(s.droppedFrames, SampleNals().size() - kept);
  EXPECT_EQ(s.droppedDataBytes, bytes.size() - end);
  EXPECT_EQ(s.droppedIndexBytes, (SampleNals().size() - kept) * SIndexRecord::kSize);
  ASSERT_EQ(s.problems.size(), 1u);
  EXPECT_NE(s.problems[0].find("past the end of the data file"), std::string::npos);

  // And the opposite crash: the index lost its tail, the data did not.
  std::string data2 = dir / "lag.dat";
  WriteRecording(data2, SampleNals(), 0);
  std::vector<uint8_t> index = ReadAll(dir / "lag.idx");
  index.resize(200 * SIndexRecord::kSize);
  WriteAll(dir / "lag.idx", index);
  CRecordingReader lag;
  ASSERT_TRUE(lag.Open(data2, dir / "lag.idx", error)) << error;
  EXPECT_EQ(lag.Summary().frames, 200u);
  EXPECT_EQ(lag.Summary().droppedFrames, 0u);
  EXPECT_GT(lag.Summary().droppedDataBytes, 0u);
  EXPECT_FALSE(lag.Summary().Consistent());

  SExportResult result;
  ASSERT_TRUE(Export(data, dir / "short.mp4", result, error)) << error;
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  ExpectCleanDecode(dir / "short.mp4", dir / "probe");
}

TEST(Export, FramesUpTo16MiBAreAcceptedAndLongerOnesEndTheRun) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> payloads(SampleNals().begin(), SampleNals().begin() + 30);
  std::vector<uint8_t> filler{0, 0, 0, 1, kNalFiller};
  filler.resize(SIndexRecord::kMaxFrameSize - SIndexRecord::kSize, 0xFF);  // the longest frame
  payloads.push_back(filler);
  payloads.push_back(SampleNals()[40]);
  WriteRecording(dir / "big.dat", payloads, 0);
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(dir / "big.dat", dir / "big.idx", error)) << error;
  EXPECT_TRUE(reader.Summary().Consistent());
  EXPECT_EQ(reader.Summary().frames, 32u);

  // One more byte in the header's payload length is no frame the library makes.
  std::vector<uint8_t> index = ReadAll(dir / "big.idx");
  QnvStoreLe32(index.data() + 30 * SIndexRecord::kSize + SIndexRecord::kPayloadLengthOffset,
               uint32_t(filler.size() + 1));
  WriteAll(dir / "big.idx", index);
  ASSERT_TRUE(reader.Open(dir / "big.dat", dir / "big.idx", error)) << error;
  EXPECT_EQ(reader.Summary().frames, 30u);
  EXPECT_EQ(reader.Summary().droppedFrames, 2u);
  ASSERT_EQ(reader.Summary().problems.size(), 1u);
  EXPECT_NE(reader.Summary().problems[0].find("larger than any frame"), std::string::npos);
}

TEST(Export, InputThatIsNoRecordingGivesAClearError) {
  ScratchDir dir;
  std::mt19937 rng(7);
  std::vector<uint8_t> junk(5000);
  for (auto& b : junk) b = uint8_t(rng());
  WriteAll(dir / "junk.dat", junk);
  WriteAll(dir / "junk.idx", junk);
  CRecordingReader reader;
  std::string error;
  EXPECT_FALSE(reader.Open(dir / "junk.dat", dir / "junk.idx", error));
  EXPECT_NE(error.find("not a recording"), std::string::npos) << error;

  EXPECT_FALSE(reader.Open(dir / "junk.dat", dir / "missing.idx", error));
  EXPECT_NE(error.find("missing.idx"), std::string::npos) << error;
  fs::create_directory(dir / "adir.dat");
  WriteAll(dir / "adir.idx", {});
  EXPECT_FALSE(reader.Open(dir / "adir.dat", dir / "adir.idx", error));

  // An empty recording opens and has nothing to export.
  WriteAll(dir / "empty.dat", {});
  WriteAll(dir / "empty.idx", {});
  ASSERT_TRUE(reader.Open(dir / "empty.dat", dir / "empty.idx", error)) << error;
  EXPECT_TRUE(reader.Summary().Consistent());
  SExportResult result;
  EXPECT_FALSE(Export(dir / "empty.dat", dir / "empty.mp4", result, error));
  EXPECT_NE(error.find("nothing to export"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "empty.mp4"));
}

TEST(Export, DamagedRecordingsNeverCrashTheReaderOrTheExporter) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> twoGops(SampleNals().begin(), SampleNals().begin() + 60);
  WriteRecording(dir / "base.dat", twoGops);
  const std::vector<uint8_t> data = ReadAll(dir / "base.dat");
  const std::vector<uint8_t> index = ReadAll(dir / "base.idx");
  std::mt19937 rng(1234);
  for (int round = 0; round < 150; ++round) {
    std::vector<uint8_t> d = data, x = index;
    std::vector<uint8_t>& target = rng() % 2 ? d : x;
    switch (rng() % 3) {
      case 0:
        for (int i = 0; i < 4; ++i) target[rng() % target.size()] = uint8_t(rng());
        break;
      case 1:
        target.resize(rng() % target.size());
        break;
      default:
        QnvStoreLe32(
            x.data() + (rng() % (x.size() / SIndexRecord::kSize)) * SIndexRecord::kSize +
                (rng() % 2 ? SIndexRecord::kDataOffsetOffset : SIndexRecord::kPayloadLengthOffset),
            uint32_t(rng()));
    }
    WriteAll(dir / "m.dat", d);
    WriteAll(dir / "m.idx", x);
    SExportResult result;
    std::string error;
    bool ok = Export(dir / "m.dat", dir / (round % 2 ? "m.mp4" : "m.h264"), result, error);
    if (!ok) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(Export, RecordingWrittenByTheLibraryReadsBackConsistentAndPlays) {
  ScratchDir dir;
  qnv::CStreamQueue queue;
  queue.SetCapacity(60000);  // pre-record begins somewhere inside a GOP
  qnv::CSaveList saves;
  const auto& nals = SampleNals();
  auto deliver = [&](size_t i) {
    qnv::protocol::SFrameIndex header{};
    std::memcpy(header.bytes + qnv::protocol::kFrameMagicOffset, qnv::protocol::kFrameMagic, 4);
    qnv::platform::StoreLe32(header.bytes + qnv::protocol::kFramePayloadLengthOffset,
                             uint32_t(nals[i].size()));
    header.SetFrameKind(KindOf(nals[i]));
    queue.Append(nals[i].data(), int32_t(nals[i].size()), header, true);
    saves.WriteFrame(header, nals[i].data(), uint32_t(nals[i].size()));
  };
  size_t i = 0;
  for (; i < 100; ++i) deliver(i);
  uint32_t id = 0;
  ASSERT_EQ(saves.Open((dir / "lib.dat").c_str(), queue, id), 0u);
  for (; i < nals.size(); ++i) deliver(i);
  saves.CloseAll();

  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(dir / "lib.dat", dir / "lib.idx", error)) << error;
  EXPECT_TRUE(reader.Summary().Consistent()) << reader.Summary().problems[0];
  EXPECT_EQ(reader.Summary().dataFileBytes, fs::file_size(dir / "lib.dat"));
  SExportResult result;
  ASSERT_TRUE(Export(dir / "lib.dat", dir / "lib.mp4", result, error)) << error;
  EXPECT_GE(result.pictures, 150u);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  EXPECT_EQ(DecodedFrames(dir / "lib.mp4", dir / "probe"), int(result.pictures));
  ExpectCleanDecode(dir / "lib.mp4", dir / "probe");
}

// Capture times for the clip's frames: picture p at stamp(p); the frames in
// front of a picture (parameter sets, SEI) carry its time. Counters jump by
// counterJump from frame jumpAt on.
void StampRecording(const std::string& dataPath, const std::function<uint64_t(size_t)>& stamp,
                    size_t jumpAt = SIZE_MAX, uint32_t counterJump = 0) {
  WriteRecording(dataPath, SampleNals(), 0);
  std::vector<uint8_t> index = ReadAll(IndexPathFor(dataPath));
  size_t picture = 0;
  for (size_t i = 0; i < SampleNals().size(); ++i) {
    uint8_t* r = index.data() + i * SIndexRecord::kSize;
    const uint64_t t = stamp(picture);
    QnvStoreLe32(r + SIndexRecord::kCaptureTimeOffset, uint32_t(t));
    QnvStoreLe32(r + SIndexRecord::kCaptureTimeOffset + 4, uint32_t(t >> 32));
    if (i >= jumpAt) QnvStoreLe32(r, uint32_t(i) + counterJump);
    const auto& nal = SampleNals()[i];
    if (StartsPicture(SNalRef{nal.data() + 4, nal.size() - 4})) ++picture;
  }
  WriteAll(IndexPathFor(dataPath), index);
}

TEST(Export, CaptureTimesTimeTheExportAndHolesAreReportedAndKept) {
  ScratchDir dir;
  const std::string data = dir / "timed.dat";
  constexpr uint64_t kBase = 1700000000000000, kStep = 33333;  // 30 pictures a second
  // 2 s missing after picture 100; the frame counter skips 7 frames later on.
  StampRecording(
      data, [&](size_t p) { return kBase + p * kStep + (p >= 100 ? 2000000 : 0); }, 200, 7);
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(data, IndexPathFor(data), error)) << error;
  const SRecordingSummary& s = reader.Summary();
  ASSERT_TRUE(s.stampsUsable);
  EXPECT_NEAR(s.pictureIntervalUs, double(kStep), 1.0);
  ASSERT_EQ(s.holeCount, 2u) << (s.holes.empty() ? 0 : s.holes[0].frame);
  EXPECT_FALSE(s.holes[0].counter);
  EXPECT_EQ(s.holes[0].after - s.holes[0].before, kStep + 2000000);
  EXPECT_TRUE(s.holes[1].counter);
  EXPECT_EQ(s.holes[1].frame, 200u);

  CMp4Writer writer(dir / "timed.mp4");
  CExporter exporter(reader, writer);
  SExportResult result;
  ASSERT_TRUE(exporter.Run(result, error)) << error;
  EXPECT_EQ(result.timeSource, ETimeSource::kCaptureTimes);
  const double truth = 250.0 / 30 + 2.0;
  EXPECT_NEAR(result.durationSeconds, truth, 1.0 / 30);
  if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe not installed";
  SRun probe = Shell(
      "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + dir / "timed.mp4" + "'",
      dir / "probe");
  EXPECT_NEAR(std::atof(probe.out.c_str()), truth, 1.0 / 30) << probe.out;
  // The index is at the front: the moov box comes before the mdat box.
  std::vector<uint8_t> mp4 = ReadAll(dir / "timed.mp4");
  std::string head(mp4.begin(), mp4.begin() + std::min<size_t>(mp4.size(), 4096));
  EXPECT_NE(head.find("moov"), std::string::npos);
}

TEST(Export, WithoutCaptureTimesTheStreamTimingOrTheFrameRateTimesPictures) {
  ScratchDir dir;
  const std::string data = dir / "plain.dat";
  StampRecording(data, [](size_t) { return uint64_t(0); });
  CRecordingReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(data, IndexPathFor(data), error)) << error;
  EXPECT_FALSE(reader.Summary().stampsUsable);
  EXPECT_EQ(reader.Summary().holeCount, 0u);
  ETimeSource source;
  ExportTimeBase(reader.Summary(), SExportOptions{}, source);
  EXPECT_EQ(source,
            reader.Summary().streamFps > 0 ? ETimeSource::kStreamTiming : ETimeSource::kFrameRate);
  CAnnexBWriter writer(dir / "plain.h264");
  SExportOptions forced;
  forced.fps = 50;
  CExporter exporter(reader, writer, forced);
  SExportResult result;
  ASSERT_TRUE(exporter.Run(result, error)) << error;
  EXPECT_EQ(result.timeSource, ETimeSource::kFrameRate);
  EXPECT_NEAR(result.durationSeconds, 5.0, 1e-9);
}

TEST(Export, AccessUnitIsCutAtItsBound) {
  std::vector<size_t> sizes;
  CAccessUnitBuilder builder([&](SAccessUnit& u) {
    sizes.push_back(u.annexB.size());
    return true;
  });
  std::vector<uint8_t> first(1 << 20, 0x11), further(1 << 20, 0x11);
  first[0] = 0x65;  // IDR slice, first_mb_in_slice 0
  first[1] = 0x80;
  further[0] = 0x41;  // slice, first_mb_in_slice 1: the same picture goes on
  further[1] = 0x40;
  ASSERT_TRUE(builder.Add(SNalRef{first.data(), first.size()}));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(builder.Add(SNalRef{further.data(), further.size()}));
  ASSERT_TRUE(builder.Add(SNalRef{first.data(), first.size()}));
  ASSERT_TRUE(builder.Finish());
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_LE(sizes[0], kMaxAccessUnitBytes);
  EXPECT_EQ(builder.CutUnits(), 1u);
}

TEST(ExportTool, NeverTouchesTheRecordingOrAFileItDidNotCreate) {
  ScratchDir dir;
  const std::string tool = QNV_EXPORT_BIN;
  const std::string data = dir / "rec.dat";
  WriteRecording(data, SampleNals());
  const std::vector<uint8_t> dataBefore = ReadAll(data), indexBefore = ReadAll(dir / "rec.idx");
  // The recording under other names: another spelling, a hard link.
  ASSERT_EQ(::link((dir / "rec.idx").c_str(), (dir / "link.h264").c_str()), 0);
  for (const std::string& out : {dir / "./rec.dat", dir / "link.h264"}) {
    SRun r = Shell(tool + " -q --format h264 '" + data + "' '" + out + "'", dir / "run");
    EXPECT_EQ(r.status, 2) << out;
    EXPECT_NE(r.err.find("recording itself"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadAll(data), dataBefore);
  EXPECT_EQ(ReadAll(dir / "rec.idx"), indexBefore);

  // A failed export leaves an existing output as it was and nothing beside it.
  WriteRecording(dir / "noidr.dat", {SampleNals()[0], SampleNals()[1]});
  WriteAll(dir / "keep.mp4", {'k', 'e', 'e', 'p'});
  SRun failed =
      Shell(tool + " -q '" + dir / "noidr.dat" + "' '" + dir / "keep.mp4" + "'", dir / "run");
  EXPECT_EQ(failed.status, 2);
  EXPECT_EQ(ReadAll(dir / "keep.mp4"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  SRun leftovers = Shell("ls -a '" + dir / "" + "' | grep -c part", dir / "run");
  EXPECT_EQ(std::atoi(leftovers.out.c_str()), 0) << leftovers.out;

  // FIFOs, as input or output, are refused at once rather than waited on.
  ASSERT_EQ(::mkfifo((dir / "fifo.dat").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.idx").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "out.mp4").c_str(), 0600), 0);
  SRun in = Shell("timeout 10 " + tool + " --check '" + dir / "fifo.dat" + "'", dir / "run");
  EXPECT_EQ(in.status, 2);
  EXPECT_NE(in.err.find("not a regular file"), std::string::npos) << in.err;
  SRun out =
      Shell("timeout 10 " + tool + " -q '" + data + "' '" + dir / "out.mp4" + "'", dir / "run");
  EXPECT_EQ(out.status, 2);
  EXPECT_NE(out.err.find("not a regular file"), std::string::npos) << out.err;

  SRun strict = Shell(tool + " --check --strict '" + data + "'", dir / "run");
  EXPECT_EQ(strict.status, 0) << strict.out;  // no holes in the plain clip
}

TEST(ExportTool, HelpChecksJsonAndErrors) {
  ScratchDir dir;
  const std::string tool = QNV_EXPORT_BIN;
  SRun help = Shell(tool + " --help", dir / "run");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: qnv-export"), std::string::npos);

  WriteRecording(dir / "ok.dat", SampleNals());
  SRun check = Shell(tool + " --check --json '" + dir / "ok.dat" + "'", dir / "run");
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_NE(check.out.find("\"consistent\":true"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("\"pictures\":250"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("\"durationSeconds\":10.000"), std::string::npos) << check.out;

  SRun fps = Shell(tool + " --check --fps 50 '" + dir / "ok.dat" + "'", dir / "run");
  EXPECT_NE(fps.out.find("5.000 s"), std::string::npos) << fps.out;

  SRun exported =
      Shell(tool + " -q '" + dir / "ok.dat" + "' '" + dir / "ok.mp4" + "'", dir / "run");
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.out.find("250 pictures"), std::string::npos) << exported.out;
  EXPECT_TRUE(fs::exists(dir / "ok.mp4"));

  std::vector<uint8_t> index = ReadAll(dir / "ok.idx");
  index.resize(index.size() - 5);
  WriteAll(dir / "ok.idx", index);
  SRun damaged = Shell(tool + " --check '" + dir / "ok.dat" + "'", dir / "run");
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("dropped:    1 frames"), std::string::npos) << damaged.out;
  EXPECT_NE(damaged.err.find("torn"), std::string::npos) << damaged.err;
  SRun recovered =
      Shell(tool + " -q '" + dir / "ok.dat" + "' '" + dir / "rec.h264" + "'", dir / "run");
  EXPECT_EQ(recovered.status, 0) << recovered.err;
  EXPECT_NE(recovered.err.find("dropped 1 frames"), std::string::npos) << recovered.err;

  std::vector<uint8_t> junk(1000, 0x41);
  WriteAll(dir / "junk.dat", junk);
  WriteAll(dir / "junk.idx", junk);
  SRun bad = Shell(tool + " '" + dir / "junk.dat" + "' '" + dir / "junk.mp4" + "'", dir / "run");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("not a recording"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(dir / "junk.mp4"));

  EXPECT_EQ(Shell(tool + " --bogus x", dir / "run").status, 2);
  EXPECT_EQ(Shell(tool + " --fps 0 x", dir / "run").status, 2);
  EXPECT_EQ(Shell(tool, dir / "run").status, 2);
  EXPECT_EQ(Shell(tool + " '" + dir / "ok.idx" + "'", dir / "run").status, 2);
  EXPECT_EQ(Shell(tool + " '" + dir / "ok.dat" + "' out.avi", dir / "run").status, 2);
}

}  // namespace
}  // namespace qnvrec

namespace qnvrec {
namespace {

// A recording its writer still holds (flock) is open, not damaged; one its
// writer repaired (a note beside it) is repaired; only real damage fails a
// check, so a cron job over a recorder's storage does not cry wolf.
TEST(ExportTool, CheckTellsOpenAndRepairedFromDamaged) {
  ScratchDir dir;
  const std::string tool = QNV_EXPORT_BIN;
  const std::string data = dir / "live.qnv";
  WriteRecording(data, SampleNals());
  // As a writer leaves it mid-way: the data runs ahead of the index.
  std::vector<uint8_t> bytes = ReadAll(data);
  bytes.resize(bytes.size() + 300, 0x41);
  WriteAll(data, bytes);
  const int writer = ::open(data.c_str(), O_RDONLY);
  ASSERT_TRUE(TakeWriterLock(writer));
  SRun open = Shell(tool + " --check --json '" + data + "'", dir / "run");
  EXPECT_EQ(open.status, 0) << open.err;
  EXPECT_NE(open.out.find("\"state\":\"open\""), std::string::npos) << open.out;
  SRun openText = Shell(tool + " --check '" + data + "'", dir / "run");
  EXPECT_NE(openText.out.find("state:      open"), std::string::npos) << openText.out;
  ::close(writer);
  SRun damaged = Shell(tool + " --check --json '" + data + "'", dir / "run");
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("\"state\":\"damaged\""), std::string::npos) << damaged.out;

  // Repaired by its writer: consistent again, with the note telling what went.
  bytes.resize(bytes.size() - 300);
  WriteAll(data, bytes);
  SRepairNote note;
  note.repairedUnix = 1767225600;
  note.frames = 250;
  note.droppedDataBytes = 300;
  note.releasedBytes = 4u << 20;
  note.reason = "300 data bytes after the last frame have no index record";
  const std::string text = RepairNoteText(note);
  WriteAll(RepairNotePathFor(data), {text.begin(), text.end()});
  SRun repaired = Shell(tool + " --check --json '" + data + "'", dir / "run");
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("\"state\":\"repaired\""), std::string::npos) << repaired.out;
  EXPECT_NE(repaired.out.find("\"dropped_data_bytes\":300"), std::string::npos) << repaired.out;
  SRun repairedText = Shell(tool + " --check '" + data + "'", dir / "run");
  EXPECT_NE(repairedText.out.find("state:      repaired"), std::string::npos) << repairedText.out;

  // A note does not hide damage done after the repair.
  bytes.resize(bytes.size() + 7, 0x41);
  WriteAll(data, bytes);
  EXPECT_EQ(Shell(tool + " --check '" + data + "'", dir / "run").status, 1);
}

}  // namespace
}  // namespace qnvrec
