// CExporter: turns the frames of an opened recording into a playable video.
// It skips to the first decodable point (an IDR picture whose SPS and PPS
// have been seen, possibly in earlier frames), puts those parameter sets in
// front of it, groups the NAL units into pictures and hands them to a writer.
// Uses the reader and the writer for the length of Run; one thread.
#ifndef QNVRECORDING_CEXPORTER_H
#define QNVRECORDING_CEXPORTER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qnvrecording/CRecordingReader.h"
#include "qnvrecording/CVideoWriter.h"

namespace qnvrec {

// Where the pictures' times came from.
enum class ETimeSource { kCaptureTimes, kStreamTiming, kFrameRate };
const char* TimeSourceName(ETimeSource source);

struct SExportOptions {
  // > 0: pictures are 1/fps apart whatever the recording says. 0: capture
  // times when usable, else the stream's own timing, else defaultFps.
  double fps = 0;
  double defaultFps = 25;
};

struct SExportResult {
  uint64_t firstFrame = 0;     // index of the frame holding the first IDR written
  uint64_t skippedFrames = 0;  // frames before it, not decodable on their own
  uint64_t pictures = 0;       // access units written
  uint64_t keyPictures = 0;    // of them, IDR pictures
  uint64_t bytes = 0;          // H.264 bytes written
  uint64_t cutPictures = 0;    // pictures over the size bound, cut short
  ETimeSource timeSource = ETimeSource::kFrameRate;
  double durationSeconds = 0;  // from the first picture's time to the end of the last
};

class CExporter {
 public:
  using Progress = std::function<void(uint64_t done, uint64_t total)>;

  CExporter(CRecordingReader& reader, CVideoWriter& writer, SExportOptions options = {})
      : m_reader(reader), m_writer(writer), m_options(options) {}
  CExporter(const CExporter&) = delete;
  CExporter& operator=(const CExporter&) = delete;

  bool Run(SExportResult& result, std::string& error, const Progress& progress = nullptr);

 private:
  CRecordingReader& m_reader;
  CVideoWriter& m_writer;
  SExportOptions m_options;
};

// The time base and source an export of this recording uses.
STimeBase ExportTimeBase(const SRecordingSummary& summary, const SExportOptions& options,
                         ETimeSource& source);

}  // namespace qnvrec

#endif  // QNVRECORDING_CEXPORTER_H
