// SegmentNames: the exact names the recorder gives what it writes under a
// camera's folder, and the one place that tells them from anything else.
//
//   CAMERA/YYYY-MM-DD/HHMMSS.qnv        a segment's data file (UTC date and time)
//   CAMERA/YYYY-MM-DD/HHMMSS.idx        its index
//   CAMERA/YYYY-MM-DD/HHMMSS.mp4        its MP4 copy (when configured)
//   CAMERA/YYYY-MM-DD/HHMMSS.repaired   the note of a repair (see qnvrecording's RecordingState.h)
//   CAMERA/YYYY-MM-DD/.HHMMSS.mp4.part-XXXXXX   an MP4 copy being written
//
// HHMMSS may carry a suffix -N (1 to 9999, no leading zero) when a name is
// taken: HHMMSS-1, HHMMSS-2, ... A continuous segment is named by the clock
// boundary it begins at; one that begins elsewhere (after a connection, a
// full disk) by the second it was opened in; an event clip by the second its
// alarm arrived. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace qnvrecorder {

inline constexpr const char* kSegmentExtension = ".qnv";
inline constexpr const char* kIndexExtension = ".idx";
inline constexpr const char* kMp4Extension = ".mp4";
inline constexpr unsigned kMaxStemSuffix = 9999;

enum class ESegmentFile { kData, kIndex, kMp4, kRepairNote, kMp4Part };
inline constexpr int kSegmentFileKinds = 5;

// "YYYY-MM-DD" of a UTC time.
std::string DateFolderName(time_t when);
// "HHMMSS" of a UTC time, with "-N" when suffix is above 0.
std::string StemName(time_t when, unsigned suffix = 0);
// The file name of a stem's file of this kind (not kMp4Part).
std::string SegmentFileName(const std::string& stem, ESegmentFile kind);

// True for a date folder's exact name (a real calendar day from 1970 to 9999).
bool IsDateFolderName(std::string_view name);
// True for one of the recorder's own file names; stem and kind say which.
bool ParseSegmentFileName(std::string_view name, std::string& stem, ESegmentFile& kind);
// Orders stems in time: seconds of the day, then the suffix ("000000-10"
// after "000000-9"); 0 for a name that is no stem.
uint64_t StemOrder(std::string_view stem);

// The first multiple of segmentSeconds after unixMs (strictly), in ms.
int64_t NextBoundaryMs(int64_t unixMs, int segmentSeconds);

}  // namespace qnvrecorder
