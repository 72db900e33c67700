// CRecordings: what the web page asks of a recorder's recordings: a camera's
// segments in a span (from the catalogue the recorder writes, SQLite in the
// storage root or PostgreSQL, else from the segment files' names and their
// indexes' first and last records), its events (the catalogue's), and an MP4
// of a span made by
// the same time-range export qnv-export --catalogue uses, written into a
// descriptor (memory or an unnamed file: no second copy of the video stays
// on disk). Holds no state but its paths; any thread, one call at a time per
// object (the catalogue connection is opened per call).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qnvcatalogue/ICatalogue.h"
#include "qnvrecording/CRangeExporter.h"

namespace qnvrecorder {

class CRecordings {
 public:
  CRecordings(std::string root, std::string instance)
      : m_root(std::move(root)), m_instance(std::move(instance)) {}
  // Reads the catalogue the recorder writes: target as the writer opens it,
  // recorder the name its rows carry. Without this, a catalogue file in ROOT
  // is read if there is one.
  void SetCatalogue(qnvcat::STarget target, std::string recorder);
  // Every read under way or to come gives up at once once fd is readable
  // (the web server's stop); the descriptor must outlive the reads.
  void SetAbortFd(int fd) { m_abortFd = fd; }

  bool Available() const { return !m_root.empty(); }
  const std::string& Root() const { return m_root; }
  const std::string& Instance() const { return m_instance; }
  // Whether ROOT has a catalogue to read.
  bool HasCatalogue() const;

  // Segments of camera with a picture in [fromUs, toUs), oldest first;
  // source says where they came from ("catalogue" or "files").
  bool Segments(const std::string& camera, int64_t fromUs, int64_t toUs,
                std::vector<qnvcat::SSegmentRow>& out, std::string& source, std::string& error);
  // Events in the catalogue (none without one).
  bool Events(const qnvcat::SEventQuery& query, std::vector<qnvcat::SEventRow>& out,
              std::string& error);
  // The MP4 of camera's [fromUs, toUs) into fd (from its start; it is
  // truncated first), as qnv-export --catalogue writes it. Setting *cancel
  // (from any thread) stops it between pictures: false, "cancelled".
  bool Export(const std::string& camera, int64_t fromUs, int64_t toUs, int fd,
              qnvrec::SRangeResult& result, std::string& error,
              const qnvrec::CRangeExporter::Progress& progress = nullptr,
              const std::atomic<bool>* cancel = nullptr);
  // A piece of playback for a browser's Media Source Extensions: camera's
  // pictures from the key picture at or before fromUs (result.keyUs, media
  // time 0) to before toUs as fragmented MP4 into fd (truncated first).
  bool Piece(const std::string& camera, int64_t fromUs, int64_t toUs, int fd,
             qnvrec::SRangeResult& result, std::string& error);
  // An unnamed file for an export in the instance's own folder (gone when
  // closed); -1 with a message.
  int TemporaryFile(std::string& error) const;

 private:
  qnvcat::STarget Target() const;
  bool Write(const std::string& camera, int64_t fromUs, int64_t toUs, int fd, bool fragmented,
             qnvrec::SRangeResult& result, std::string& error,
             const qnvrec::CRangeExporter::Progress& progress, const std::atomic<bool>* cancel);
  bool FileSegments(const std::string& camera, int64_t fromUs, int64_t toUs,
                    std::vector<qnvcat::SSegmentRow>& out, std::string& error);

  std::string m_root, m_instance;
  bool m_hasTarget = false;
  qnvcat::STarget m_target;  // with m_hasTarget
  std::string m_recorder;    // with m_hasTarget
  int m_abortFd = -1;
};

}  // namespace qnvrecorder
