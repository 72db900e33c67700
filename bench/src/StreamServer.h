// CStreamServer: the benchmark device's stream port. Every accepted
// connection first sends the attach request (its stream id in the payload);
// then a thread of its own writes the clip's frames to it:
//  - unpaced: the framed clip, `loops` times, in 1 MiB writes straight from
//    memory, then closes (one connection at a time: the clip's headers are
//    renumbered in place for every pass);
//  - paced: one access unit per 1/fps seconds, each in one gathered write
//    with the send time stamped into its headers, until Stop. Connection k
//    starts k/64 of a frame interval late and, after the key picture a
//    stream begins with, at a different picture of the clip, as independent
//    cameras would. With pieceBytes, a picture goes out as a network would
//    deliver it: in pieces of that many bytes, pieceGapUs apart, each
//    frame's header stamped with the time its last piece is due.
// Owns the listener, the connections and their threads; Start and Stop from
// one thread. The clip must outlive the server.
#ifndef QNV_BENCH_STREAMSERVER_H
#define QNV_BENCH_STREAMSERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BenchClip.h"
#include "qnvtools/UniqueFd.h"

namespace qnv::bench {

class CStreamServer {
 public:
  struct SOptions {
    bool paced = false;
    double fps = 25;
    uint64_t loops = 1;       // unpaced passes over the clip
    uint32_t pieceBytes = 0;  // paced: 0 = one gathered write per picture
    uint32_t pieceGapUs = 0;
  };
  struct SPacedStats {
    uint64_t frames = 0;  // stream frames (NAL units) written
    uint64_t units = 0;   // access units written
    uint64_t bytes = 0;
    uint64_t late = 0;  // access units written more than 10 ms after their time
    uint64_t maxLateNs = 0;
  };

  CStreamServer(CBenchClip& clip, const SOptions& options) : m_clip(clip), m_options(options) {}
  ~CStreamServer();
  CStreamServer(const CStreamServer&) = delete;
  CStreamServer& operator=(const CStreamServer&) = delete;

  bool Start(qnvtools::UniqueFd listener);
  void Stop();
  SPacedStats PacedStats() const;

 private:
  void AcceptLoop();
  void Serve(int fd, uint32_t index);
  void ServeUnpaced(int fd, uint32_t streamId);
  void ServePaced(int fd, uint32_t streamId, uint32_t index);
  // One picture (count frames from the clip's firstNal): in one gathered
  // write stamped nowNs, or in pieces (SOptions::pieceBytes) from startNs.
  bool SendGathered(int fd, size_t firstNal, size_t count, uint32_t& counter, uint32_t streamId,
                    uint64_t nowNs, size_t total);
  bool SendInPieces(int fd, size_t firstNal, size_t count, uint32_t& counter, uint32_t streamId,
                    uint64_t startNs, std::vector<uint8_t>& scratch);

  CBenchClip& m_clip;
  const SOptions m_options;
  qnvtools::UniqueFd m_listener;
  qnvtools::UniqueFd m_wake;
  std::thread m_acceptThread;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;      // guards m_connections, m_threads and m_paced
  std::vector<int> m_connections;  // descriptors, shut down by Stop
  std::vector<std::thread> m_threads;
  std::mutex m_unpacedMutex;  // one unpaced sender at a time (it renumbers the clip)
  SPacedStats m_paced;
};

}  // namespace qnv::bench

#endif  // QNV_BENCH_STREAMSERVER_H
