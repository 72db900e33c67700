#include "RunDecoders.h"

#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "FfmpegPtr.h"
#include "FrameRun.h"
#include "LibavLog.h"
#include "PictureWriter.h"
#include "QNVPlayer.h"

namespace qnv::player {

RunDecoders& RunDecoders::Instance() {
  static RunDecoders decoders;
  return decoders;
}

// The thread must not outlive the code it runs when the library is unloaded.
RunDecoders::~RunDecoders() { Shutdown(); }

int RunDecoders::Capture(uint32_t* decoder, uint32_t keepMs, const uint8_t* records, uint32_t count,
                         const uint8_t* data, uint64_t dataLength, const char* path) {
  if (decoder == nullptr || path == nullptr || path[0] == '\0') return QNVPLAYER_ERR_ARGUMENT;
  if (!FrameRun::Check(records, count, data, dataLength)) return QNVPLAYER_ERR_ARGUMENT;
  LibavLog::Install();
  const uint32_t handle = *decoder;
  std::shared_ptr<Entry> entry;
  if (handle != 0) {
    std::lock_guard lock(m_mutex);
    auto it = m_kept.find(handle);
    if (it == m_kept.end()) return QNVPLAYER_ERR_HANDLE;
    entry = it->second;
    ++entry->busy;
  } else {
    entry = std::make_shared<Entry>();
  }

  int rc = QNVPLAYER_OK;
  FramePtr picture;
  {
    std::lock_guard use(entry->use);
    if (!entry->decoder) entry->decoder = H264Decoder::Create(1);
    if (!entry->decoder) {
      rc = QNVPLAYER_ERR_RESOURCE;
    } else {
      // The run begins at a key frame with its parameter sets, or goes on
      // where the decoder's last run ended: either way it simply carries on.
      FrameRun run(records, count, data, dataLength);
      run.ForEachUnit(
          [&](const uint8_t* bytes, size_t size) { entry->decoder->Feed(bytes, size); });
      entry->decoder->Flush();
      if (const AVFrame* latest = entry->decoder->Latest()) {
        picture.reset(av_frame_clone(latest));
        if (!picture) rc = QNVPLAYER_ERR_RESOURCE;
      } else {
        rc = QNVPLAYER_ERR_NO_PICTURE;
      }
    }
  }

  // A decoder that gave a picture is kept for keepMs; one that gave none is
  // of no use to a later run, which then starts at a key frame anyway.
  std::shared_ptr<Entry> dropped;
  {
    std::lock_guard lock(m_mutex);
    bool keep = rc == QNVPLAYER_OK && keepMs > 0 && !m_stopping;
    uint32_t kept = handle;
    if (handle != 0) {
      --entry->busy;
      auto it = m_kept.find(handle);
      // Released or shut down while it decoded: the caller no longer wants it.
      if (it == m_kept.end() || it->second != entry) {
        keep = false;
      } else if (!keep && entry->busy == 0) {
        dropped = std::move(it->second);
        m_kept.erase(it);
      }
    } else if (keep) {
      do kept = ++m_lastHandle;
      while (kept == 0 || m_kept.count(kept) != 0);
      m_kept[kept] = entry;
    }
    if (keep) {
      entry->expires = std::chrono::steady_clock::now() + std::chrono::milliseconds(keepMs);
      if (!m_expiryRunning) {
        try {
          if (m_expiry.joinable()) m_expiry.join();  // it has ended (see Expire)
          m_expiry = std::thread(&RunDecoders::Expire, this);
          m_expiryRunning = true;
        } catch (const std::system_error&) {
          // No thread to free it later: not kept.
          dropped = std::move(m_kept[kept]);
          m_kept.erase(kept);
          keep = false;
        }
      }
      m_changed.notify_all();
    }
    *decoder = keep ? kept : 0;
  }
  dropped.reset();  // outside the lock: freeing a decoder takes a while
  if (rc != QNVPLAYER_OK) return rc;
  return PictureWriter::Write(*picture, path);
}

int RunDecoders::Release(uint32_t decoder) {
  std::shared_ptr<Entry> dropped;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_kept.find(decoder);
    if (decoder == 0 || it == m_kept.end()) return QNVPLAYER_ERR_HANDLE;
    dropped = std::move(it->second);
    m_kept.erase(it);
    m_changed.notify_all();
  }
  return QNVPLAYER_OK;
}

void RunDecoders::Expire() {
  std::unique_lock lock(m_mutex);
  while (!m_stopping && !m_kept.empty()) {
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    std::vector<std::shared_ptr<Entry>> expired;
    for (auto it = m_kept.begin(); it != m_kept.end();) {
      Entry& e = *it->second;
      if (e.busy == 0 && e.expires <= now) {
        expired.push_back(std::move(it->second));
        it = m_kept.erase(it);
        continue;
      }
      if (e.busy == 0 && e.expires < next) next = e.expires;
      ++it;
    }
    if (!expired.empty()) {
      lock.unlock();
      expired.clear();
      lock.lock();
      continue;
    }
    if (next == std::chrono::steady_clock::time_point::max()) {
      m_changed.wait(lock);  // every kept decoder is in use: its call wakes us
    } else {
      m_changed.wait_until(lock, next);
    }
  }
  // Ended under the lock: a call that keeps a decoder from now on sees the
  // flag down, joins this thread (which only returns) and starts another.
  m_expiryRunning = false;
}

void RunDecoders::Shutdown() {
  std::map<uint32_t, std::shared_ptr<Entry>> kept;
  std::thread expiry;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    kept.swap(m_kept);
    expiry = std::move(m_expiry);
    m_changed.notify_all();
  }
  if (expiry.joinable()) expiry.join();
  kept.clear();
  std::lock_guard lock(m_mutex);
  m_stopping = false;
  m_expiryRunning = false;
}

size_t RunDecoders::Kept() {
  std::lock_guard lock(m_mutex);
  return m_kept.size();
}

uint64_t RunDecoders::Pictures(uint32_t decoder) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_kept.find(decoder);
    if (it == m_kept.end()) return 0;
    entry = it->second;
  }
  std::lock_guard use(entry->use);
  return entry->decoder ? entry->decoder->Pictures() : 0;
}

}  // namespace qnv::player
