// The C interface (qnvnet.h): each function is one call of the matching
// QNVNet_ export. The C callbacks reach the host through three trampolines
// registered as the library's callbacks; each trampoline reads its
// callback and user pointer as one pair.
#include <memory>
#include <mutex>

#include "QNVNetSdk.h"
#include "platform/FailureNote.h"
#include "platform/ThreadAnnotations.h"
#include "qnvnet.h"

namespace {

// The C reason and loss kinds are the library's own (the result codes of both
// headers come from one list, qnvnet_results.h).
static_assert(QNVNET_REASON_IN_CALLBACK == int32_t(qnv::platform::FailureKind::kInCallback));
static_assert(QNVNET_REASON_PROTOCOL == int32_t(qnv::platform::FailureKind::kProtocol));
static_assert(QNVNET_LOST_NONE == int32_t(QNVNET_LOSS_NONE));
static_assert(QNVNET_LOST_BROKEN_CONNECTION == int32_t(QNVNET_LOSS_BROKEN_CONNECTION));
static_assert(QNVNET_LOST_NO_KEEPALIVE_ANSWER == int32_t(QNVNET_LOSS_NO_KEEPALIVE_ANSWER));
static_assert(QNVNET_LOST_STREAM_STALLED == int32_t(QNVNET_LOSS_STREAM_STALLED));
static_assert(QNVNET_LOST_MALFORMED_MESSAGE == int32_t(QNVNET_LOSS_MALFORMED_MESSAGE));
static_assert(sizeof(qnvnet_loss) == sizeof(QNVNetLoss));

qnvnet_loss ToC(const QNVNetLoss& loss) {
  return qnvnet_loss{int32_t(loss.reason), loss.clientId, loss.handle, loss.detail};
}

int32_t NullArgument(const char* name);
int32_t Explained(uint32_t code);

// A per-handle loss query of the C++ interface, in C terms.
int32_t LossQuery(uint32_t (*query)(uint32_t, QNVNetLoss*), uint32_t id, qnvnet_loss* loss) {
  if (loss == nullptr) return NullArgument("loss");
  QNVNetLoss out{};
  const int32_t rc = Explained(query(id, &out));
  if (rc == QNVNET_SUCCESS) *loss = ToC(out);
  return rc;
}

using qnv::platform::FailureKind;
using qnv::platform::NoteFailure;

// A callback with its user pointer. Replaced whole, never changed, so a
// callback that is running keeps a consistent pair while the host replaces it.
template <typename Cb>
struct SRegistration {
  Cb cb = nullptr;
  void* user = nullptr;
};

// One registered C callback. Any thread may Set or Get; the mutex guards only
// the shared pointer's copy, never a call into the host.
template <typename Cb>
class CSlot {
 public:
  void Set(Cb cb, void* user) {
    auto next =
        cb ? std::make_shared<const SRegistration<Cb>>(SRegistration<Cb>{cb, user}) : nullptr;
    qnv::platform::CLockGuard lock(m_mutex);
    m_current = std::move(next);
  }
  std::shared_ptr<const SRegistration<Cb>> Get() const {
    qnv::platform::CLockGuard lock(m_mutex);
    return m_current;
  }

 private:
  mutable qnv::platform::CMutex m_mutex;
  std::shared_ptr<const SRegistration<Cb>> m_current GUARDED_BY(m_mutex);
};

CSlot<qnvnet_message_cb>& MessageSlot() {
  static CSlot<qnvnet_message_cb> slot;
  return slot;
}
CSlot<qnvnet_stream_cb>& StreamSlot() {
  static CSlot<qnvnet_stream_cb> slot;
  return slot;
}
CSlot<qnvnet_disconnect_cb>& DisconnectSlot() {
  static CSlot<qnvnet_disconnect_cb> slot;
  return slot;
}

bool OnMessage(uint32_t clientId, char* ip, uint16_t port, uint16_t value, char* body,
               int32_t length, uint32_t) {
  if (auto r = MessageSlot().Get())
    r->cb(r->user, clientId, ip, port, value, reinterpret_cast<const uint8_t*>(body), length);
  return true;
}

bool OnStream(uint32_t clientId, char* ip, uint16_t port, char* frame, int32_t length, uint32_t) {
  if (auto r = StreamSlot().Get())
    r->cb(r->user, clientId, ip, port, reinterpret_cast<const uint8_t*>(frame), length);
  return true;
}

bool OnDisconnect(uint32_t clientId, char* ip, uint16_t port, uint32_t) {
  if (auto r = DisconnectSlot().Get()) r->cb(r->user, clientId, ip, port);
  return true;
}

// Registers the trampolines of the callbacks that are set, so a frame with
// no C stream callback costs the library nothing.
int32_t RegisterTrampolines() {
  QNVNet_SetCallback(MessageSlot().Get() ? OnMessage : nullptr,
                     StreamSlot().Get() ? OnStream : nullptr,
                     DisconnectSlot().Get() ? OnDisconnect : nullptr, 0);
  return QNVNET_SUCCESS;
}

int32_t NullArgument(const char* name) {
  qnv::platform::ClearFailure();
  NoteFailure(FailureKind::kBadArgument, 0, "%s is NULL", name);
  return QNVNET_E_BAD_ARGUMENT;
}

// The largest payload a set sends (the C++ exports' -21 beyond it).
constexpr int32_t kMaxPayload = 4076;

// A payload of length bytes at data: 0 when the call may go ahead, else the
// code (nothing is sent). name: the data argument's name.
int32_t PayloadRefusal(const void* data, int32_t length, const char* name) {
  if (length < 0) {
    qnv::platform::ClearFailure();
    NoteFailure(FailureKind::kBadArgument, 0, "length %d is below 0", length);
    return QNVNET_E_BAD_ARGUMENT;
  }
  if (data == nullptr && length > 0) return NullArgument(name);
  if (length > kMaxPayload) {
    qnv::platform::ClearFailure();
    NoteFailure(FailureKind::kBadArgument, 0, "payload of %d bytes is over %d", length,
                kMaxPayload);
    return QNVNET_E_SEND;
  }
  return QNVNET_SUCCESS;
}

// A get's buffer and the capacity *length gives it.
int32_t BufferRefusal(const void* buffer, const int32_t* length) {
  if (length == nullptr) return NullArgument("length");
  if (*length < 0) {
    qnv::platform::ClearFailure();
    NoteFailure(FailureKind::kBadArgument, 0, "*length %d is below 0", *length);
    return QNVNET_E_BAD_ARGUMENT;
  }
  if (buffer == nullptr && *length > 0) return NullArgument("buffer");
  return QNVNET_SUCCESS;
}

// A failure that no failure point explained gets the code's own reason. The
// C++ exports' -3 (a null pointer they need) is the C interface's -90: C
// callers see only the codes qnvnet.h names.
int32_t Explained(uint32_t code) {
  int32_t rc = int32_t(code);
  if (code == QNVNET_ERR_ARGUMENT) {
    qnv::platform::ClearFailure();
    NoteFailure(FailureKind::kBadArgument, 0, "a required pointer is NULL");
    return QNVNET_E_BAD_ARGUMENT;
  }
  if (rc == 0 || qnv::platform::LastFailure().kind != FailureKind::kNone) return rc;
  switch (rc) {
    case QNVNET_E_BAD_ARGUMENT:
      NoteFailure(FailureKind::kBadArgument, 0, "%s", QnvResultText(code));
      break;
    case QNVNET_E_NO_SESSION:
    case QNVNET_E_NO_CHANNEL:
    case QNVNET_E_NO_SAVE:
      NoteFailure(FailureKind::kNotFound, 0, "%s", QnvResultText(code));
      break;
    case QNVNET_E_ROLLOVER_PENDING:
      NoteFailure(FailureKind::kBadArgument, 0, "%s", QnvResultText(code));
      break;
    case QNVNET_E_IN_CALLBACK:
      NoteFailure(FailureKind::kInCallback, 0, "%s", QnvResultText(code));
      break;
    case QNVNET_E_TOO_MANY_SESSIONS:
    case QNVNET_E_TOO_MANY_CHANNELS:
    case QNVNET_E_TOO_MANY_SAVES:
      NoteFailure(FailureKind::kLimit, 0, "%s", QnvResultText(code));
      break;
    default:
      if (rc > 0)
        NoteFailure(FailureKind::kDeviceRefused, rc, "the device refused with result %d", rc);
      else
        NoteFailure(FailureKind::kSystem, 0, "%s", QnvResultText(code));
  }
  return rc;
}

}  // namespace

extern "C" {

const char* qnvnet_strerror(int32_t code) { return QnvResultText(uint32_t(code)); }

int32_t qnvnet_last_error_reason(void) { return int32_t(qnv::platform::LastFailure().kind); }
int32_t qnvnet_last_error_detail(void) { return qnv::platform::LastFailure().detail; }
const char* qnvnet_last_error_text(void) { return qnv::platform::LastFailure().text; }

int32_t qnvnet_set_message_callback(qnvnet_message_cb cb, void* user) {
  MessageSlot().Set(cb, user);
  return RegisterTrampolines();
}
int32_t qnvnet_set_stream_callback(qnvnet_stream_cb cb, void* user) {
  StreamSlot().Set(cb, user);
  return RegisterTrampolines();
}
int32_t qnvnet_set_disconnect_callback(qnvnet_disconnect_cb cb, void* user) {
  DisconnectSlot().Set(cb, user);
  return RegisterTrampolines();
}

int32_t qnvnet_version(uint32_t* version) {
  qnv::platform::ClearFailure();
  if (version == nullptr) return NullArgument("version");
  return Explained(QNVNet_GetSdkVersion(version));
}
int32_t qnvnet_decoder_available(int32_t* available) {
  qnv::platform::ClearFailure();
  if (available == nullptr) return NullArgument("available");
  return Explained(QNVNet_DecoderAvailable(available));
}

int32_t qnvnet_init(void) { return Explained(QNVNet_InitLib()); }
int32_t qnvnet_uninit(void) { return Explained(QNVNet_UnInitLib()); }

int32_t qnvnet_login(uint32_t* client_id, const char* ip, uint16_t port, const char* user,
                     const char* password) {
  if (client_id == nullptr) return NullArgument("client_id");
  if (ip == nullptr) return NullArgument("ip");
  return Explained(QNVNet_DevLogin(client_id, ip, port, user, password));
}
int32_t qnvnet_logout(uint32_t client_id) { return Explained(QNVNet_DevLogout(client_id)); }

int32_t qnvnet_live_open(uint32_t* handle, uint32_t client_id, void* window) {
  if (handle == nullptr) return NullArgument("handle");
  return Explained(QNVNet_LiveOpen(handle, client_id, window));
}
int32_t qnvnet_live_close(uint32_t handle) { return Explained(QNVNet_LiveClose(handle)); }
int32_t qnvnet_live_pause(uint32_t handle) { return Explained(QNVNet_LivePause(handle)); }
int32_t qnvnet_live_play(uint32_t handle) { return Explained(QNVNet_LivePlay(handle)); }
int32_t qnvnet_live_capture(uint32_t handle, const char* path) {
  if (path == nullptr) return NullArgument("path");
  return Explained(QNVNet_LiveCapture(handle, path));
}

int32_t qnvnet_record_open(uint32_t handle, const char* path, uint32_t* id) {
  if (path == nullptr) return NullArgument("path");
  if (id == nullptr) return NullArgument("id");
  return Explained(QNVNet_LiveSaveOpen(handle, path, *id));
}
int32_t qnvnet_record_close(uint32_t handle, uint32_t id) {
  return Explained(QNVNet_LiveSaveClose(handle, id));
}

int32_t qnvnet_record_rollover(uint32_t handle, uint32_t id, const char* new_path,
                               uint32_t* new_id) {
  if (new_path == nullptr) return NullArgument("new_path");
  if (new_id == nullptr) return NullArgument("new_id");
  return Explained(QNVNet_LiveSaveRollover(handle, id, new_path, new_id));
}
int32_t qnvnet_live_set_prerecord(uint32_t handle, uint32_t milliseconds, uint32_t max_bytes) {
  return Explained(QNVNet_LiveSetPreRecord(handle, milliseconds, max_bytes));
}
int32_t qnvnet_live_set_stall_timeout(uint32_t handle, uint32_t milliseconds) {
  return Explained(QNVNet_LiveSetStallTimeout(handle, milliseconds));
}
int32_t qnvnet_live_loss_reason(uint32_t handle, qnvnet_loss* loss) {
  return LossQuery(&QNVNet_LiveGetLossReason, handle, loss);
}
int32_t qnvnet_message_drops(uint32_t client_id, uint64_t* dropped) {
  if (dropped == nullptr) return NullArgument("dropped");
  return Explained(QNVNet_DevGetMessageDrops(client_id, dropped));
}
int32_t qnvnet_session_loss_reason(uint32_t client_id, qnvnet_loss* loss) {
  return LossQuery(&QNVNet_DevGetLossReason, client_id, loss);
}

int32_t qnvnet_disconnect_reason(qnvnet_loss* loss) {
  // No reason note is cleared: this is asked from inside a callback, between
  // the host's own calls.
  if (loss == nullptr) return QNVNET_E_BAD_ARGUMENT;
  QNVNetLoss out{};
  QNVNet_GetDisconnectReason(&out);
  *loss = ToC(out);
  return QNVNET_SUCCESS;
}
const char* qnvnet_loss_text(int32_t reason) { return QnvLossText(uint32_t(reason)); }

int32_t qnvnet_frame_nal(const uint8_t* frame, int32_t length, qnvnet_nal_info* info) {
  qnv::platform::ClearFailure();
  if (frame == nullptr) return NullArgument("frame");
  if (info == nullptr) return NullArgument("info");
  if (length < 0) {
    qnv::platform::ClearFailure();
    NoteFailure(FailureKind::kBadArgument, 0, "length %d is below 0", length);
    return QNVNET_E_BAD_ARGUMENT;
  }
  const QNVNetFrameNal nal = QNVNetFrameNal::OfFrame(frame, uint64_t(length));
  *info =
      qnvnet_nal_info{nal.type, nal.sliceType, nal.startsPicture ? 1 : 0, nal.keyPicture ? 1 : 0};
  return QNVNET_SUCCESS;
}

int32_t qnvnet_ptz_move(uint32_t client_id, uint32_t v1, uint32_t v2, uint32_t v3, uint32_t v4) {
  return Explained(QNVNet_PTZCtrlSend(client_id, v1, v2, v3, v4));
}
int32_t qnvnet_ptz_preset(uint32_t client_id, uint32_t v1, uint32_t v2) {
  return Explained(QNVNet_PTZCtrlPreset(client_id, v1, v2));
}
int32_t qnvnet_ptz_get_param(uint32_t client_id, uint32_t type, void* buffer, int32_t* length) {
  if (int32_t rc = BufferRefusal(buffer, length)) return rc;
  return Explained(QNVNet_PTZGetParam(client_id, type, buffer, *length));
}

int32_t qnvnet_config_get(uint32_t client_id, uint32_t type, void* buffer, int32_t* length) {
  if (int32_t rc = BufferRefusal(buffer, length)) return rc;
  return Explained(QNVNet_ManageGetSysConfig(client_id, type, buffer, *length));
}
int32_t qnvnet_config_set(uint32_t client_id, uint32_t type, const void* data, int32_t length) {
  if (int32_t rc = PayloadRefusal(data, length, "data")) return rc;
  return Explained(QNVNet_ManageSetSysConfig(client_id, type, data, length));
}
int32_t qnvnet_system_command(uint32_t client_id, uint32_t type, const void* data, int32_t length) {
  if (int32_t rc = PayloadRefusal(data, length, "data")) return rc;
  return Explained(QNVNet_ManageSendSysCmd(client_id, type, data, length));
}

int32_t qnvnet_firmware_upload(uint32_t client_id, const char* path) {
  if (path == nullptr) return NullArgument("path");
  return Explained(QNVNet_ManageSysUpdateData(client_id, path));
}
int32_t qnvnet_firmware_start(uint32_t client_id) {
  return Explained(QNVNet_ManageSysUpdateStart(client_id));
}

int32_t qnvnet_rules_download(uint32_t client_id, void* buffer, int32_t* length) {
  if (int32_t rc = BufferRefusal(buffer, length)) return rc;
  return Explained(QNVNet_RuleDownLoad(client_id, buffer, *length));
}
int32_t qnvnet_rules_upload(uint32_t client_id, const void* data, int32_t length) {
  if (int32_t rc = PayloadRefusal(data, length, "data")) return rc;
  return Explained(QNVNet_RuleUpLoad(client_id, data, length));
}
int32_t qnvnet_rules_enable(uint32_t client_id, int32_t on) {
  return Explained(QNVNet_RuleEnable(client_id, on));
}
int32_t qnvnet_rules_state(uint32_t client_id, int32_t* on) {
  if (on == nullptr) return NullArgument("on");
  return Explained(QNVNet_IsRuleEnable(client_id, *on));
}

int32_t qnvnet_algorithm_get(uint32_t client_id, uint32_t type, void* buffer, int32_t* length) {
  if (int32_t rc = BufferRefusal(buffer, length)) return rc;
  return Explained(QNVNet_AlgorGetParam(client_id, type, buffer, *length));
}
int32_t qnvnet_algorithm_set(uint32_t client_id, uint32_t type, const void* data, int32_t length) {
  if (int32_t rc = PayloadRefusal(data, length, "data")) return rc;
  return Explained(QNVNet_AlgorSetParam(client_id, type, data, length));
}

}  // extern "C"
