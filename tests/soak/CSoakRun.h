// CSoakRun: one soak of the library against simulated devices on 127.0.0.1.
// Sessions on several devices stream into up to 64 channels while channels
// open and close, recordings start and stop, devices drop every connection
// or reboot, and the callbacks call exports. Every recording that ends is
// checked with the recording reader. Run() does a warm-up pass, takes the
// process's threads, descriptors and memory as the baseline, runs the soak
// and compares at the end.
//
// Run() is called once, from one thread; it starts and joins its own worker
// threads. The library's callbacks reach the one instance through a static
// pointer, so one CSoakRun exists at a time.
#ifndef QNV_SOAK_CSOAKRUN_H
#define QNV_SOAK_CSOAKRUN_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ProcessStats.h"
#include "devsim/Simulator.h"

namespace qnv::soak {

struct SSoakOptions {
  double minutes = 10;
  int devices = 4;
  int sessionsPerDevice = 2;
  int channels = 64;
  int recordingsPerChannel = 3;  // open at once, at most
  double dropEverySeconds = 45;  // a device drops everything or reboots
  std::string dir;               // recordings go here (created, emptied at the end)
  uint32_t seed = 1;
  uint32_t bitrate = 256000;  // per stream
};

// Totals of one run; updated from the workers and the library's threads.
struct SSoakFigures {
  std::atomic<uint64_t> logins{0}, loginFailures{0};
  std::atomic<uint64_t> sessionsLost{0}, drops{0}, reboots{0};
  std::atomic<uint64_t> channelOpens{0}, channelOpenFailures{0}, channelCloses{0};
  std::atomic<uint64_t> recordingsOpened{0}, recordingOpenFailures{0};
  std::atomic<uint64_t> recordingsClosedByHost{0}, recordingsEndedWithChannel{0};
  std::atomic<uint64_t> recordingsChecked{0}, recordingsInconsistent{0}, recordingsEmpty{0};
  std::atomic<uint64_t> recordedFrames{0}, recordedBytes{0};
  std::atomic<uint64_t> frames{0}, frameBytes{0}, badFrames{0};
  std::atomic<uint64_t> commandDisconnects{0}, streamDisconnects{0};
  std::atomic<uint64_t> callbackExports{0};
  std::atomic<uint64_t> commands{0}, commandFailures{0};
  std::atomic<uint64_t> unexpectedResults{0};

  // Back to zero (after the warm-up, when no other thread counts).
  void Reset() {
    for (std::atomic<uint64_t>* v : {&logins,
                                     &loginFailures,
                                     &sessionsLost,
                                     &drops,
                                     &reboots,
                                     &channelOpens,
                                     &channelOpenFailures,
                                     &channelCloses,
                                     &recordingsOpened,
                                     &recordingOpenFailures,
                                     &recordingsClosedByHost,
                                     &recordingsEndedWithChannel,
                                     &recordingsChecked,
                                     &recordingsInconsistent,
                                     &recordingsEmpty,
                                     &recordedFrames,
                                     &recordedBytes,
                                     &frames,
                                     &frameBytes,
                                     &badFrames,
                                     &commandDisconnects,
                                     &streamDisconnects,
                                     &callbackExports,
                                     &commands,
                                     &commandFailures,
                                     &unexpectedResults})
      v->store(0);
  }
};

class CSoakRun {
 public:
  explicit CSoakRun(SSoakOptions options);
  ~CSoakRun();
  CSoakRun(const CSoakRun&) = delete;
  CSoakRun& operator=(const CSoakRun&) = delete;

  // The whole soak; true when every check passed. Progress goes to `log`.
  bool Run(FILE* log);
  // The figures and the resource comparison, after Run.
  void PrintFigures(FILE* out) const;

 private:
  struct SRecording {
    uint32_t id;
    std::string path;
  };
  struct SChannel {
    uint32_t handle;
    uint32_t clientId;
    std::vector<SRecording> recordings;
  };
  struct SSession {
    uint32_t clientId;
    int device;
  };
  struct SEvent {
    uint32_t clientId;
    bool stream;  // the streaming connection failed (else the command connection)
  };

  // One pass of the workload for `seconds`; leaves nothing open behind it.
  bool Pass(double seconds, bool progress, FILE* log);
  void Step();
  void Reconcile();
  void EnsureSessions();
  void EnsureChannels();
  void CloseChannel(size_t index);
  void ForgetSession(uint32_t clientId);
  void StartRecording();
  void StopRecording();
  void DropDevice();
  void CloseEverything();
  void CommandLoop();
  void VerifyLoop();
  void Verify(const std::string& path);
  void Expect(uint32_t rc, std::initializer_list<uint32_t> allowed, const char* what);
  std::string NewRecordingPath();

  static bool OnFrame(uint32_t clientId, char* ip, uint16_t port, char* frame, int32_t length,
                      uint32_t user);
  static bool OnDisconnect(uint32_t clientId, char* ip, uint16_t port, uint32_t user);

  SSoakOptions m_options;
  SSoakFigures m_figures;
  std::vector<std::unique_ptr<devsim::Simulator>> m_devices;
  std::mt19937 m_random;

  // Host bookkeeping: the action thread only, so no lock (the command thread
  // reads a copy of the session ids under m_sessionsMutex).
  std::vector<SSession> m_sessions;
  std::vector<SChannel> m_channels;
  std::mutex m_sessionsMutex;
  std::vector<uint32_t> m_sessionIds;
  uint64_t m_recordingSerial = 0;

  // Reports from the callbacks; never held across an export.
  std::mutex m_eventsMutex;
  std::vector<SEvent> m_events;

  // Recordings waiting for the reader's check.
  std::mutex m_verifyMutex;
  std::condition_variable m_verifyWake;
  std::deque<std::string> m_toVerify;
  bool m_verifyDone = false;
  std::vector<std::string> m_badRecordings;

  std::atomic<bool> m_stop{false};
  SProcessStats m_baseline{}, m_final{}, m_peak{};
  double m_seconds = 0;

  static CSoakRun* m_current;
};

}  // namespace qnv::soak

#endif  // QNV_SOAK_CSOAKRUN_H
