#include "RequestLog.h"

#include <chrono>

namespace qnv::devsim {

void RequestLog::Append(LoggedRequest request) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(request));
    if (maxEntries_ != 0 && entries_.size() > maxEntries_) entries_.pop_front();
    ++appended_;
  }
  cv_.notify_all();
}

std::vector<LoggedRequest> RequestLog::Snapshot() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void RequestLog::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  appended_ = 0;
}

bool RequestLog::WaitFor(size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                      [&] { return appended_ >= count; });
}

}  // namespace qnv::devsim
