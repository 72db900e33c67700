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

bool CEventThread::Start(Routine routine, void* arg, std::shared_ptr<void> keepAlive) {
  if (m_thread.joinable()) return false;
  auto state = std::make_shared<State>();
  state->routine = routine;
  state->arg = arg;
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

int CEventThread::SetRun(bool on) {
  if (!m_state) return 0;
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->ended) return 0;
    m_state->run = on;
  }
  m_state->changed.notify_all();
  return 1;
}

bool CEventThread::IsRunning() const {
  if (!m_state) return false;
  std::lock_guard<std::mutex> lock(m_state->mutex);
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
    std::unique_lock<std::mutex> lock(state->mutex);
    state->routine = nullptr;
    state->stop = true;
    state->changed.notify_all();
    if (!self)
      state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return state->ended; });
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
  std::unique_lock<std::mutex> lock(state->mutex);
  for (;;) {
    state->changed.wait(lock, [&] { return state->stop || state->run; });
    if (state->stop || state->routine == nullptr) break;
    Routine routine = state->routine;
    void* arg = state->arg;
    lock.unlock();
    bool more = routine(arg);
    lock.lock();
    if (!more) break;
  }
  state->routine = nullptr;
  state->ended = true;
  lock.unlock();
  platform::DebugOutput(kMsgThreadEnded);
  state->changed.notify_all();
  // keepAlive goes last: it may hold the very object that owns this thread.
  keepAlive.reset();
}

}  // namespace qnv
