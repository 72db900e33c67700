#include "transport/CEventThread.h"

#include <chrono>
#include <system_error>

#include "platform/Debug.h"

namespace qnv {

namespace {
constexpr const char* kMsgCreateFailed = "创建线程失败!\n";
constexpr const char* kMsgThreadEnded = "本线程被命令关闭!\n";
constexpr const char* kMsgLeftRunning = "线程被强行关闭!\n";
}  // namespace

CEventThread::~CEventThread() {
  if (IsRunning()) Stop(100);
  // A thread left running was detached by Stop; one that ended by itself is
  // joined here.
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id())
      m_thread.detach();
    else
      m_thread.join();
  }
}

bool CEventThread::Start(Routine routine, std::shared_ptr<void> keepAlive) {
  if (m_thread.joinable() || !routine) return false;
  auto state = std::make_shared<State>();
  state->routine = std::move(routine);
  try {
    m_thread = std::thread(&CEventThread::ThreadMain, state, std::move(keepAlive));
  } catch (const std::system_error&) {
    platform::DebugOutput(kMsgCreateFailed);
    return false;
  }
  m_threadId = m_thread.get_id();
  m_state = std::move(state);
  return true;
}

bool CEventThread::IsRunning() const {
  if (!m_state) return false;
  platform::CLockGuard lock(m_state->mutex);
  return !m_state->ended;
}

bool CEventThread::IsCurrentThread() const {
  return m_state && std::this_thread::get_id() == m_threadId;
}

bool CEventThread::Stop(uint32_t timeoutMs) {
  if (!m_state) return true;
  std::shared_ptr<State> state = m_state;
  bool self = std::this_thread::get_id() == m_threadId;
  bool ended;
  {
    platform::CUniqueLock lock(state->mutex);
    // The routine is released on the thread that ends; only the stop is
    // asked for here, so a turn in progress keeps what it runs.
    state->stop = true;
    state->changed.notify_all();
    if (!self)
      state->changed.wait_for(lock.Native(), std::chrono::milliseconds(timeoutMs),
                              [&]() REQUIRES(state->mutex) { return state->ended; });
    ended = state->ended;
  }
  if (ended) {
    if (m_thread.joinable()) m_thread.join();
  } else {
    if (!self) platform::DebugOutput(kMsgLeftRunning);
    if (m_thread.joinable()) m_thread.detach();
  }
  m_state.reset();
  m_threadId = std::thread::id();
  return ended;
}

void CEventThread::ThreadMain(std::shared_ptr<State> state, std::shared_ptr<void> keepAlive) {
  // Stop sets the flag under the mutex and then waits for `ended`, so a turn
  // that began before the stop is finished, and none begins after it.
  while (!state->stop.load() && state->routine()) {
  }
  platform::CUniqueLock lock(state->mutex);
  Routine finished = std::move(state->routine);
  state->ended = true;
  lock.Unlock();
  platform::DebugOutput(kMsgThreadEnded);
  state->changed.notify_all();
  // keepAlive goes last: it may hold the very object that owns this thread.
  finished = nullptr;
  keepAlive.reset();
}

}  // namespace qnv
