// CRangeExporter: one MP4 of a camera's time span from the segments that
// hold it, oldest first. It starts at the key picture at or before FROM
// (found from the index alone, so the frames before it are not read),
// trims playback to FROM with an edit list (or, untrimmed, starts at that
// key picture), passes over pictures a segment repeats from the one before
// (overlapping event clips), carries holes as holes in the time line, and
// stops before TO. After a hole a segment is joined at a key picture, so
// nothing decodes against pictures that are not there. Pictures are timed by
// capture times where a segment's are plausible, else at the stream's rate
// from the time the caller gives for the segment's start. Uses the writer
// for the length of Run; one thread.
#ifndef QNVRECORDING_CRANGEEXPORTER_H
#define QNVRECORDING_CRANGEEXPORTER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qnvrecording/CMp4Writer.h"

namespace qnvrec {

struct SRangeSegment {
  std::string path;     // data file (index beside it)
  int64_t firstUs = 0;  // its first picture, as far as the caller knows
};

struct SRangeOptions {
  int64_t fromUs = 0;
  int64_t toUs = 0;
  bool trim = true;  // an edit list starts playback at FROM
  double defaultFps = 25;
  // Looked at between the frames it reads: once set, Run stops and returns false
  // with "cancelled" (the output is left unfinished). Must outlive Run.
  const std::atomic<bool>* cancel = nullptr;
};

struct SRangeHole {
  int64_t fromUs = 0;  // the last picture before it
  int64_t toUs = 0;    // the first picture after it
};

struct SRangeResult {
  int64_t keyUs = 0;    // the first picture written: a key picture
  int64_t startUs = 0;  // where playback starts: FROM when trimmed, else keyUs
  int64_t lastUs = 0;   // the last picture written
  int64_t endUs = 0;    // where playback ends: lastUs plus one picture interval
  bool trimmed = false;
  bool captureTimes = true;  // every picture timed by its capture time
  uint64_t pictures = 0;
  uint64_t keyPictures = 0;
  uint64_t bytes = 0;
  uint64_t repeated = 0;     // passed over: already written from an earlier segment
  uint64_t undecodable = 0;  // passed over while waiting for a key picture
  uint64_t cutPictures = 0;
  double pictureIntervalUs = 0;
  std::string mimeType;  // of what was written (Mp4MimeType of its SPS)
  std::vector<std::string> used;   // segments that gave pictures
  std::vector<std::string> notes;  // segments damaged or unreadable, and why
  std::vector<SRangeHole> holes;   // over three picture intervals
};

class CRangeExporter {
 public:
  using Progress = std::function<void(size_t segmentsDone, size_t segments)>;

  CRangeExporter(std::vector<SRangeSegment> segments, CMp4Writer& writer, SRangeOptions options)
      : m_segments(std::move(segments)), m_writer(writer), m_options(options) {}
  CRangeExporter(const CRangeExporter&) = delete;
  CRangeExporter& operator=(const CRangeExporter&) = delete;

  // False with a message when nothing could be written, a write failed or
  // the options' cancel flag was set.
  bool Run(SRangeResult& result, std::string& error, const Progress& progress = nullptr);

 private:
  std::vector<SRangeSegment> m_segments;
  CMp4Writer& m_writer;
  SRangeOptions m_options;
};

}  // namespace qnvrec

#endif  // QNVRECORDING_CRANGEEXPORTER_H
