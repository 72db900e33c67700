// The storage root as the recorder uses it: retention's choices, its exact
// names and nothing else, no link followed, disk blocks counted, instances
// side by side, segments locked while written and repaired when left open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "QNVNetSdk.h"
#include "RecorderFixture.h"
#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/RecordingState.h"
#include "storage/CStorageRoot.h"
#include "storage/Retention.h"
#include "storage/SegmentRepair.h"

namespace fs = std::filesystem;
using namespace qnvrecorder;

namespace {

std::vector<std::string> Removed(const SRetentionPlan& plan) {
  std::vector<std::string> keys;
  for (const SSegment* s : plan.remove) keys.push_back(s->camera + ":" + s->date + "/" + s->stem);
  return keys;
}

}  // namespace

TEST(RecorderRetention, OldestFirstByAgeCameraAndOverallNeverOpen) {
  const time_t now = 1000000;
  // a: three segments of 100 bytes, the first 3 days old; b: three of 100.
  auto seg = [](const char* camera, const char* date, const char* stem, time_t modified) {
    SSegment s;
    s.camera = camera;
    s.date = date;
    s.stem = stem;
    s.stemPath = std::string("/r/") + camera + "/" + date + "/" + stem;
    s.bytes = s.written = 100;
    s.modified = modified;
    return s;
  };
  std::vector<SSegment> segments = {
      seg("a", "2026-01-01", "000000", now - 3 * 86400),
      seg("b", "2026-01-01", "000001", now - 100),
      seg("a", "2026-01-02", "000000", now - 100),
      seg("b", "2026-01-02", "000001", now - 50),
      seg("a", "2026-01-03", "000000", now - 10),
      seg("b", "2026-01-03", "000001", now),
  };
  // Age: only a's first goes (2 days); b has no age limit of its own.
  std::map<std::string, SRetentionLimits> cams = {{"a", {2, 0}}, {"b", {0, 0}}};
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 0, {}, now)),
            (std::vector<std::string>{"a:2026-01-01/000000"}));
  // Camera budget: b keeps 150 bytes -> its two oldest go, a is untouched.
  cams["b"].keepBytes = 150;
  cams["a"].keepDays = 0;
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 0, {}, now)),
            (std::vector<std::string>{"b:2026-01-01/000001", "b:2026-01-02/000001"}));
  // Overall 350 bytes: the oldest across cameras until under, skipping the
  // open segment (b's first).
  cams["b"].keepBytes = 0;
  EXPECT_EQ(Removed(PlanRetention(segments, cams, {}, 350, {"/r/b/2026-01-01/000001"}, now)),
            (std::vector<std::string>{"a:2026-01-01/000000", "a:2026-01-02/000000",
                                      "b:2026-01-02/000001"}));
  // Nothing over any limit: nothing goes.
  EXPECT_TRUE(PlanRetention(segments, cams, {}, 600, {}, now).remove.empty());
  // An open segment counts what is written in it, not the blocks reserved
  // ahead of its writes: b's 4 MiB reservation pushes nothing out.
  segments.push_back(seg("b", "2026-01-04", "000000", now));
  segments.back().bytes = 4u << 20;
  segments.back().written = 50;
  EXPECT_TRUE(
      PlanRetention(segments, cams, {}, 650, {"/r/b/2026-01-04/000000"}, now).remove.empty());
  EXPECT_EQ(PlanRetention(segments, cams, {}, 650, {}, now).remove.size(), 7u);
}

namespace {

// A scratch storage root and a folder outside it that nothing may touch.
class RecorderStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    m_base = qnvrectest::FreshTestDir("qnvrec-st");
    m_root = m_base / "root";
    m_outside = m_base / "outside";
    fs::create_directories(m_root);
    fs::create_directories(m_outside);
  }
  void TearDown() override { fs::remove_all(m_base); }

  // The root opened as instance "site" with camera "cam" claimed.
  void OpenWithCamera(CStorageRoot& storage) {
    std::string error, note;
    ASSERT_TRUE(storage.Open(m_root.string(), "site", error)) << error;
    ASSERT_TRUE(storage.ClaimCamera("cam", error, note)) << error;
  }
  fs::path Day() const { return m_root / "cam" / "2026-01-01"; }

  void Put(const fs::path& path, size_t bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << std::string(bytes, 'x');
  }
  std::vector<std::string> Stems(const std::vector<SSegment>& list) {
    std::vector<std::string> stems;
    for (const SSegment& s : list) stems.push_back(s.camera + "/" + s.date + "/" + s.stem);
    return stems;
  }
  size_t FilesIn(const fs::path& dir) {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
      n += !it->is_directory();
    }
    return n;
  }

  fs::path m_base, m_root, m_outside;
};

TEST_F(RecorderStorage, OnlyItsExactNamesInItsOwnCamerasFoldersAreListedAndRemoved) {
  CStorageRoot storage;
  std::string error, note;
  ASSERT_NO_FATAL_FAILURE(OpenWithCamera(storage));
  const fs::path day = Day();
  Put(day / "000000.qnv", 10);
  Put(day / "000000.idx", 10);
  Put(day / "000000-1.qnv", 10);
  for (const char* foreign : {"notes.txt", "000000.qnv.bak", "250000.qnv", "000000-0.qnv",
                              "1234.qnv", "000000-01.idx", "a00000.mp4", ".000000.mp4.part-ab"}) {
    Put(day / foreign, 3);
  }
  Put(m_root / "cam" / "2026-13-01" / "000000.qnv", 3);      // no calendar day
  Put(m_root / "photos" / "2020-01-01" / "holiday.mp4", 3);  // no camera of this recorder
  Put(m_outside / "2020-01-01" / "000000.mp4", 3);
  Put(m_outside / "victim.qnv", 3);
  fs::create_directory_symlink(m_outside, m_root / "mnt");  // out of ROOT
  fs::create_directory_symlink(m_outside / "2020-01-01", m_root / "cam" / "2020-01-02");
  fs::create_symlink(m_outside / "victim.qnv", day / "000001.qnv");
  EXPECT_FALSE(storage.ClaimCamera("mnt", error, note));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;

  const std::vector<SSegment> list = storage.ListSegments({"cam", "photos", "mnt"});
  EXPECT_EQ(Stems(list),
            (std::vector<std::string>{"cam/2026-01-01/000000", "cam/2026-01-01/000000-1"}));
  for (const SSegment& s : list) storage.RemoveSegment(s);
  EXPECT_FALSE(fs::exists(day / "000000.qnv"));
  EXPECT_FALSE(fs::exists(day / "000000-1.qnv"));
  EXPECT_EQ(FilesIn(m_outside), 2u);
  EXPECT_TRUE(fs::exists(m_root / "photos" / "2020-01-01" / "holiday.mp4"));
  EXPECT_TRUE(fs::is_symlink(day / "000001.qnv"));
  EXPECT_TRUE(fs::exists(day / "notes.txt"));
  EXPECT_TRUE(fs::exists(day / "000000-0.qnv"));
}

// Retention through the catalogue names files by a row's path: only a
// claimed camera's own segment in a real date folder is found.
TEST_F(RecorderStorage, FindSegmentTakesOnlyAClaimedCamerasOwnSegmentByItsPath) {
  CStorageRoot storage;
  ASSERT_NO_FATAL_FAILURE(OpenWithCamera(storage));
  const fs::path day = Day();
  Put(day / "000000.qnv", 10);
  Put(m_root / "000000.qnv", 3);
  Put(m_root / "other" / "2026-01-01" / "000000.qnv", 3);  // a camera not claimed
  Put(m_outside / "2026-01-01" / "000000.qnv", 3);
  Put(m_outside / "victim.qnv", 3);
  fs::create_directory_symlink(m_outside / "2026-01-01", m_root / "cam" / "2026-01-02");
  fs::create_symlink(m_outside / "victim.qnv", day / "000001.qnv");
  SSegment s;
  const std::string r = m_root.string();
  for (const std::string& hostile :
       {m_outside.string() + "/2026-01-01/000000.qnv", r + "/000000.qnv", r + "/cam/../000000.qnv",
        r + "/cam/2026-01-01/../../000000.qnv", r + "/other/2026-01-01/000000.qnv",
        r + "/cam/2026-01-02/000000.qnv", r + "/cam/2026-01-01/000001.qnv",
        r + "/cam/2026-01-01/000000.idx", r + "//cam/2026-01-01/000000.qnv",
        r + "/cam/2026-01-01/x/000000.qnv"}) {
    EXPECT_FALSE(storage.FindSegment(hostile, s)) << hostile;
  }
  ASSERT_TRUE(storage.FindSegment(r + "/cam/2026-01-01/000000.qnv", s));
  storage.RemoveSegment(s);
  EXPECT_FALSE(fs::exists(day / "000000.qnv"));
  EXPECT_EQ(FilesIn(m_outside), 2u);
  EXPECT_TRUE(fs::exists(m_root / "000000.qnv"));
  EXPECT_TRUE(fs::exists(m_root / "other" / "2026-01-01" / "000000.qnv"));
}

// The status file and an own folder (the snapshots', say): a link planted
// at their names is replaced or refused, never written through.
TEST_F(RecorderStorage, StatusAndOwnFoldersAreNeverWrittenThroughALink) {
  CStorageRoot storage;
  std::string error;
  ASSERT_TRUE(storage.Open(m_root.string(), "site", error)) << error;
  const fs::path own = m_root / ".qnv-recorder" / "site";
  Put(m_outside / "victim", 3);
  fs::create_symlink(m_outside / "victim", own / "status.json");
  fs::create_symlink(m_outside / "victim", own / "status.json.tmp");
  EXPECT_TRUE(storage.WriteStatus("{}\n"));
  EXPECT_FALSE(fs::is_symlink(own / "status.json"));
  EXPECT_EQ(fs::file_size(own / "status.json"), 3u);
  EXPECT_EQ(fs::file_size(m_outside / "victim"), 3u);
  EXPECT_EQ(std::ifstream(m_outside / "victim").get(), 'x');
  fs::create_directory_symlink(m_outside, own / "snapshots");
  EXPECT_FALSE(storage.MakeOwnFolder("snapshots", error).Valid());
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_EQ(FilesIn(m_outside), 1u);
}

// FIFOs planted at the names the recorder opens at start (another
// instance's lock, a camera's claim, its own lock) fail the open at once:
// an open of a FIFO would otherwise wait for a writer or a reader for ever.
TEST_F(RecorderStorage, PlantedFifosHoldUpNoStart) {
  fs::create_directories(m_root / ".qnv-recorder" / "other");
  ASSERT_EQ(::mkfifo((m_root / ".qnv-recorder" / "other" / "lock").c_str(), 0600), 0);
  fs::create_directories(m_root / "cam");
  std::ofstream(m_root / "cam" / ".qnv-recorder-instance") << "other\n";
  fs::create_directories(m_root / "cam2");
  ASSERT_EQ(::mkfifo((m_root / "cam2" / ".qnv-recorder-instance").c_str(), 0600), 0);
  fs::create_directories(m_root / ".qnv-recorder" / "fifo");
  ASSERT_EQ(::mkfifo((m_root / ".qnv-recorder" / "fifo" / "lock").c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  CStorageRoot storage;
  std::string error, note;
  ASSERT_TRUE(storage.Open(m_root.string(), "site", error)) << error;
  // The other instance's "lock" is no lock: it does not run, its claim goes.
  EXPECT_TRUE(storage.ClaimCamera("cam", error, note)) << error;
  EXPECT_FALSE(storage.ClaimCamera("cam2", error, note));
  EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
  CStorageRoot fifo;
  EXPECT_FALSE(fifo.Open(m_root.string(), "fifo", error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(RecorderStorage, NewSegmentsAreNeverMadeThroughALinkAndAreLockedWhileOpen) {
  CStorageRoot storage;
  std::string error, note;
  ASSERT_NO_FATAL_FAILURE(OpenWithCamera(storage));
  const time_t when = 1767225600 + 3723;  // 2026-01-01 01:02:03 UTC
  const fs::path day = Day();
  fs::create_directories(day);
  // A dangling link where the next segment would go, and another at its index.
  fs::create_symlink(m_outside / "evil.qnv", day / "010203.qnv");
  fs::create_symlink(m_outside / "evil.idx", day / "010203-1.idx");
  std::unique_ptr<CSegmentFiles> files = storage.CreateSegment("cam", when, error);
  ASSERT_TRUE(files) << error;
  EXPECT_EQ(files->Path(), (day / "010203-2.qnv").string());
  EXPECT_TRUE(files->StillOurs());
  EXPECT_EQ(FilesIn(m_outside), 0u);
  // The library opens them through the day folder's descriptor.
  EXPECT_EQ(files->LibraryPath().rfind("/proc/self/fd/", 0), 0u) << files->LibraryPath();
  EXPECT_TRUE(fs::exists(files->LibraryPath()));
  // Locked while written: a reader's shared lock is refused until it ends.
  const int reader = ::open(files->Path().c_str(), O_RDONLY);
  EXPECT_TRUE(qnvrec::WriterHoldsLock(reader));
  EXPECT_TRUE(files->RemoveIfEmpty());
  files.reset();
  EXPECT_FALSE(qnvrec::WriterHoldsLock(reader));
  ::close(reader);

  // A date folder or a camera folder that is a link is refused outright.
  fs::create_directory_symlink(m_outside, m_root / "cam" / "2026-01-02");
  EXPECT_FALSE(storage.CreateSegment("cam", when + 86400, error));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  fs::create_directory_symlink(m_outside, m_root / "cam2");
  EXPECT_FALSE(storage.ClaimCamera("cam2", error, note));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_EQ(FilesIn(m_outside), 0u);
  EXPECT_TRUE(fs::is_empty(m_outside));
}

TEST_F(RecorderStorage, SizesAreTheDiskBlocksTheFilesTake) {
  CStorageRoot storage;
  ASSERT_NO_FATAL_FAILURE(OpenWithCamera(storage));
  const fs::path data = Day() / "000000.qnv";
  Put(data, 4096);
  fs::resize_file(data, 64u << 20);  // 64 MiB apparent, one block written
  const std::vector<SSegment> list = storage.ListSegments({"cam"});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_LT(list[0].bytes, 1u << 20);
  EXPECT_GT(list[0].bytes, 0u);
}

TEST_F(RecorderStorage, InstancesShareARootEachWithItsOwnFilesAndCameras) {
  std::string error, warning, note;
  auto a = std::make_unique<CStorageRoot>();
  ASSERT_TRUE(a->Open(m_root.string(), "a", error)) << error;
  CStorageRoot again, b;
  EXPECT_FALSE(again.Open(m_root.string(), "a", error));
  EXPECT_NE(error.find("already runs"), std::string::npos) << error;
  EXPECT_NE(error.find(std::to_string(getpid())), std::string::npos) << error;
  ASSERT_TRUE(b.Open(m_root.string(), "b", error)) << error;
  ASSERT_TRUE(a->ClaimCamera("gate", error, note)) << error;
  EXPECT_FALSE(b.ClaimCamera("gate", error, note));
  EXPECT_NE(error.find("belongs to the recorder instance \"a\""), std::string::npos) << error;
  EXPECT_FALSE(CStorageRoot::Inspect(m_root.string(), "b", {"gate"}, error, warning));
  const std::vector<SInstanceInfo> found = FindInstances(m_root.string());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_TRUE(found[0].running && found[1].running);
  EXPECT_EQ(found[0].pid, getpid());
  a.reset();  // instance a stops: its claim can be taken over
  EXPECT_TRUE(b.ClaimCamera("gate", error, note)) << error;
  EXPECT_NE(note.find("takes it over"), std::string::npos) << note;
  EXPECT_FALSE(FindInstances(m_root.string())[0].running);
}

TEST_F(RecorderStorage, CheckFindsWhatAStartWouldRefuse) {
  std::string error, warning;
  EXPECT_TRUE(
      CStorageRoot::Inspect((m_root / "new" / "deeper").string(), "x", {"c"}, error, warning))
      << error;
  Put(m_base / "file", 1);
  EXPECT_FALSE(CStorageRoot::Inspect((m_base / "file").string(), "x", {"c"}, error, warning));
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
  fs::create_directory_symlink(m_outside, m_root / "c");
  EXPECT_FALSE(CStorageRoot::Inspect(m_root.string(), "x", {"c"}, error, warning));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  fs::create_symlink(m_outside, m_root / ".qnv-recorder");
  EXPECT_FALSE(CStorageRoot::Inspect(m_root.string(), "x", {}, error, warning));
  EXPECT_NE(error.find(".qnv-recorder is a symbolic link"), std::string::npos) << error;
}

TEST(RecorderSegmentNames, ExactPatternsSuffixesAndTheClock) {
  const time_t when = 1767225600 + 23 * 3600 + 59 * 60 + 58;  // 2026-01-01 23:59:58
  EXPECT_EQ(DateFolderName(when), "2026-01-01");
  EXPECT_EQ(StemName(when), "235958");
  EXPECT_EQ(StemName(when, 12), "235958-12");
  std::string stem;
  ESegmentFile kind;
  EXPECT_TRUE(ParseSegmentFileName("235958-12.repaired", stem, kind));
  EXPECT_EQ(stem, "235958-12");
  EXPECT_EQ(kind, ESegmentFile::kRepairNote);
  EXPECT_TRUE(ParseSegmentFileName(".235958.mp4.part-a1B2c3", stem, kind));
  EXPECT_EQ(kind, ESegmentFile::kMp4Part);
  for (const char* bad :
       {"235958", "235958.QNV", "236000.qnv", "235958-0.qnv", "235958-01.qnv", "235958-10000.qnv",
        "23595.qnv", "235958.qnv.idx", "x235958.mp4", ".235958.mp4.part-abc", "235958-.qnv"}) {
    EXPECT_FALSE(ParseSegmentFileName(bad, stem, kind)) << bad;
  }
  EXPECT_LT(StemOrder("235958"), StemOrder("235958-1"));
  EXPECT_LT(StemOrder("235958-9"), StemOrder("235958-10"));
  EXPECT_LT(StemOrder("235958-9999"), StemOrder("235959"));
  EXPECT_TRUE(IsDateFolderName("2024-02-29"));
  EXPECT_FALSE(IsDateFolderName("2026-02-29"));
  EXPECT_FALSE(IsDateFolderName("2026-1-01"));
  // A boundary is strictly after the time, even one exactly on a boundary.
  EXPECT_EQ(NextBoundaryMs(600000, 600), 1200000);
  EXPECT_EQ(NextBoundaryMs(599999, 600), 600000);
}

// A segment written as the library writes one: records whose offsets chain
// the bodies; then torn the way a kill leaves it.
void WriteFrames(int dataFd, int indexFd, int frames) {
  uint64_t offset = 0;
  for (int i = 0; i < frames; ++i) {
    std::vector<uint8_t> body = {0, 0, 0, 1, uint8_t(i % 25 == 0 ? 0x65 : 0x41), 0x88};
    body.resize(500 + i, 0xab);
    QNVNetFrameHeader h{};
    std::memcpy(h.bytes + QNVNetFrameHeader::kMagicOffset, QNVNetFrameHeader::kMagic, 4);
    QnvStoreLe32(h.bytes, uint32_t(i));
    QnvStoreLe32(h.bytes + QNVNetFrameHeader::kPayloadLengthOffset, uint32_t(body.size()));
    const uint64_t us = 1767225600000000ull + uint64_t(i) * 40000;
    QnvStoreLe32(h.bytes + QNVNetFrameHeader::kCaptureTimeOffset, uint32_t(us));
    QnvStoreLe32(h.bytes + QNVNetFrameHeader::kCaptureTimeOffset + 4, uint32_t(us >> 32));
    QnvStoreLe32(h.bytes + QNVNetFrameHeader::kDataOffsetOffset, uint32_t(offset));
    h.bytes[QNVNetFrameHeader::kKindOffset] = i % 25 == 0 ? 1 : 2;
    ASSERT_EQ(::write(dataFd, body.data(), body.size()), ssize_t(body.size()));
    ASSERT_EQ(::write(indexFd, h.bytes, sizeof h.bytes), ssize_t(sizeof h.bytes));
    offset += body.size();
  }
}

uint64_t Blocks(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return uint64_t(st.st_blocks) * 512;
}

TEST_F(RecorderStorage, ASegmentLeftUnclosedIsCutBackReleasedAndNoted) {
  CStorageRoot storage;
  std::string error;
  ASSERT_NO_FATAL_FAILURE(OpenWithCamera(storage));
  std::unique_ptr<CSegmentFiles> files = storage.CreateSegment("cam", 1767225600, error);
  ASSERT_TRUE(files) << error;
  const fs::path data = files->Path(), index = qnvrec::IndexPathFor(data.string());
  {
    const int d = ::open(data.c_str(), O_WRONLY), x = ::open(index.c_str(), O_WRONLY);
    WriteFrames(d, x, 30);
    // Frames past the index's last flush, half a record, and blocks reserved ahead.
    ASSERT_EQ(::write(d, std::string(2000, 'z').data(), 2000), 2000);
    ASSERT_EQ(::write(x, "\0\0\0\0QNVV", 8), 8);
    ASSERT_EQ(::fallocate(d, FALLOC_FL_KEEP_SIZE, 0, 4 << 20), 0);
    ::close(d);
    ::close(x);
  }
  const SSegment segment = files->Segment();
  // Locked: its writer runs, nothing is touched.
  EXPECT_EQ(RepairSegment(storage, segment).result, ERepair::kBusy);
  files.reset();  // the writer is gone (as after kill -9)
  const uint64_t blocksBefore = Blocks(data);
  const SRepairOutcome out = RepairSegment(storage, segment);
  ASSERT_EQ(out.result, ERepair::kRepaired) << out.error;
  EXPECT_EQ(out.note.frames, 30u);
  EXPECT_EQ(out.note.droppedDataBytes, 2000u);
  EXPECT_EQ(out.note.droppedIndexBytes, 8u);
  EXPECT_GE(out.note.releasedBytes, 3u << 20);
  EXPECT_LT(Blocks(data), blocksBefore - (3u << 20));
  EXPECT_EQ(fs::file_size(index), 30u * 40);
  {
    qnvrec::CRecordingReader reader;
    ASSERT_TRUE(reader.Open(data.string(), index.string(), error)) << error;
    EXPECT_EQ(reader.Summary().State(), qnvrec::ERecordingState::kRepaired);
    EXPECT_EQ(reader.Summary().repair.droppedDataBytes, 2000u);
    // A reader holds its shared lock: no repair starts under it.
    EXPECT_EQ(RepairSegment(storage, segment).result, ERepair::kBusy);
  }
  EXPECT_EQ(RepairSegment(storage, segment).result, ERepair::kIntact);

  // Nothing whole at all: its files go.
  files = storage.CreateSegment("cam", 1767225600, error);
  ASSERT_TRUE(files) << error;
  const fs::path emptyData = files->Path();
  {
    std::ofstream(emptyData) << std::string(100, 'y');
    std::ofstream(qnvrec::IndexPathFor(emptyData.string())) << std::string("\0\0\0\0QNVV", 8);
  }
  const SSegment emptySegment = files->Segment();
  files.reset();
  EXPECT_EQ(RepairSegment(storage, emptySegment).result, ERepair::kRemoved);
  EXPECT_FALSE(fs::exists(emptyData));
}

}  // namespace
