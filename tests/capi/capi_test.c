/* The C interface against a simulated device on 127.0.0.1 (port in
 * QNV_DEVSIM_PORT, process id in QNV_DEVSIM_PID): failure reasons per cause
 * and per thread, user pointers handed back to callbacks, NULL arguments,
 * recordings, pictures counted with qnvnet_frame_nal, a stall reported
 * with its reason (the device stopped with SIGSTOP), the code of each
 * function's each failing way, and uninit waiting for callbacks in progress.
 * Plain C99. */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <qnvnet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int g_failures = 0;

#define CHECK(cond)                                                                               \
  do {                                                                                            \
    if (!(cond)) {                                                                                \
      fprintf(stderr, "%s:%d: CHECK(%s) failed; reason %d (%d): %s\n", __FILE__, __LINE__, #cond, \
              (int)qnvnet_last_error_reason(), (int)qnvnet_last_error_detail(),                   \
              qnvnet_last_error_text());                                                          \
      ++g_failures;                                                                               \
    }                                                                                             \
  } while (0)

static uint16_t g_port;

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

/* Every login failure names its own cause. */
static void test_login_reasons(void) {
  uint32_t client = 0;
  CHECK(qnvnet_login(&client, "300.1.2.3", g_port, "admin", "admin") == QNVNET_E_NO_SESSION);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_BAD_ADDRESS);

  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "wrong") == QNVNET_E_NO_SESSION);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_BAD_CREDENTIALS);
  CHECK(qnvnet_last_error_detail() == 1);

  /* A port nobody listens on: the listening socket is closed again first. */
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  CHECK(bind(s, (struct sockaddr*)&a, sizeof a) == 0 &&
        getsockname(s, (struct sockaddr*)&a, &len) == 0);
  close(s);
  CHECK(qnvnet_login(&client, "127.0.0.1", ntohs(a.sin_port), "admin", "admin") ==
        QNVNET_E_NO_SESSION);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_CONNECTION_REFUSED);
  CHECK(strstr(qnvnet_last_error_text(), "refused") != NULL);

  /* A device that accepts the connection and never answers. */
  s = socket(AF_INET, SOCK_STREAM, 0);
  a.sin_port = 0;
  CHECK(bind(s, (struct sockaddr*)&a, sizeof a) == 0 && listen(s, 4) == 0 &&
        getsockname(s, (struct sockaddr*)&a, &len) == 0);
  CHECK(qnvnet_login(&client, "127.0.0.1", ntohs(a.sin_port), "admin", "admin") ==
        QNVNET_E_NO_SESSION);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_NO_ANSWER);
  close(s);

  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "admin") == QNVNET_SUCCESS);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_NONE);
  CHECK(qnvnet_logout(client) == QNVNET_SUCCESS);
}

static void* fail_login_elsewhere(void* arg) {
  uint32_t client = 0;
  *(int32_t*)arg = qnvnet_login(&client, "not-an-address", g_port, "admin", "admin");
  return NULL;
}

/* Another thread's failure leaves this thread's reason alone. */
static void test_reason_per_thread(void) {
  uint32_t client = 0;
  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "wrong") == QNVNET_E_NO_SESSION);
  int32_t other = 0;
  pthread_t t;
  pthread_create(&t, NULL, fail_login_elsewhere, &other);
  pthread_join(t, NULL);
  CHECK(other == QNVNET_E_NO_SESSION);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_BAD_CREDENTIALS);
}

struct host_state {
  pthread_mutex_t lock;
  int frames;
  int key_frames;
  int pictures;
  int key_pictures;
};

static void on_frame(void* user, uint32_t client_id, const char* ip, uint16_t port,
                     const uint8_t* frame, int32_t length) {
  struct host_state* st = user;
  (void)client_id, (void)ip, (void)port;
  qnvnet_nal_info nal;
  const int32_t rc = qnvnet_frame_nal(frame, length, &nal);
  pthread_mutex_lock(&st->lock);
  ++st->frames;
  if (length >= 40 && frame[35] == 1) ++st->key_frames;
  if (rc == 0 && nal.starts_picture) ++st->pictures;
  if (rc == 0 && nal.key_picture) ++st->key_pictures;
  pthread_mutex_unlock(&st->lock);
}

static int frames_of(struct host_state* st) {
  pthread_mutex_lock(&st->lock);
  int n = st->frames;
  pthread_mutex_unlock(&st->lock);
  return n;
}

/* The stream callback gets the host's own pointer; a recording opens and
 * closes; a recording under a regular file fails with the system's reason. */
static void test_live_and_recording(void) {
  struct host_state st = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, 0};
  CHECK(qnvnet_set_stream_callback(on_frame, &st) == 0);
  uint32_t client = 0, handle = 0, id = 0;
  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "admin") == 0);
  CHECK(qnvnet_live_open(&handle, client, NULL) == 0);
  for (int i = 0; i < 200 && frames_of(&st) < 30; ++i) sleep_ms(20);
  CHECK(frames_of(&st) >= 30);

  char dir[] = "/tmp/qnvnet-capi-XXXXXX";
  CHECK(mkdtemp(dir) != NULL);
  char path[256], blocked[256];
  snprintf(path, sizeof path, "%s/a/rec.dat", dir);
  CHECK(qnvnet_record_open(handle, path, &id) == 0 && id == 1);
  CHECK(qnvnet_record_close(handle, id) == 0);
  CHECK(qnvnet_record_close(handle, id) == QNVNET_E_NO_SAVE);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_NOT_FOUND);
  snprintf(blocked, sizeof blocked, "%s/a/rec.dat/x.dat", dir);
  CHECK(qnvnet_record_open(handle, blocked, &id) == QNVNET_E_SAVE_OPEN);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_SYSTEM);
  CHECK(strstr(qnvnet_last_error_text(), "Not a directory") != NULL);

  CHECK(qnvnet_record_open(handle, path, NULL) == QNVNET_E_BAD_ARGUMENT);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_BAD_ARGUMENT);
  int32_t length = 0;
  CHECK(qnvnet_config_get(client, 13, NULL, NULL) == QNVNET_E_BAD_ARGUMENT);
  CHECK(qnvnet_config_get(client, 13, NULL, &length) == 0 && length > 0);

  /* Parameter sets travel in frames of their own and may carry the probe's
   * key mark; only pictures count as key pictures. */
  pthread_mutex_lock(&st.lock);
  CHECK(st.pictures > 0 && st.pictures < st.frames);
  CHECK(st.key_pictures > 0 && st.key_pictures <= st.key_frames);
  pthread_mutex_unlock(&st.lock);
  qnvnet_nal_info nal;
  const uint8_t shortFrame[8] = {0};
  CHECK(qnvnet_frame_nal(shortFrame, (int32_t)sizeof shortFrame, &nal) == 0 && nal.type == -1);
  CHECK(qnvnet_frame_nal(NULL, 0, &nal) == QNVNET_E_BAD_ARGUMENT);

  CHECK(qnvnet_set_stream_callback(NULL, NULL) == 0);
  sleep_ms(100);
  int before = frames_of(&st);
  sleep_ms(300);
  CHECK(frames_of(&st) == before);
  CHECK(qnvnet_live_close(handle) == 0);
  CHECK(qnvnet_logout(client) == 0);
  char cmd[300];
  snprintf(cmd, sizeof cmd, "rm -rf %s", dir);
  CHECK(system(cmd) == 0);
}

struct loss_seen {
  pthread_mutex_t lock;
  int count;
  uint16_t port;
  qnvnet_loss loss;
};

static void on_disconnect(void* user, uint32_t client_id, const char* ip, uint16_t port) {
  struct loss_seen* seen = user;
  qnvnet_loss loss;
  qnvnet_disconnect_reason(&loss);
  (void)client_id, (void)ip;
  pthread_mutex_lock(&seen->lock);
  ++seen->count;
  seen->port = port;
  seen->loss = loss;
  pthread_mutex_unlock(&seen->lock);
}

static int losses_of(struct loss_seen* seen) {
  pthread_mutex_lock(&seen->lock);
  int n = seen->count;
  pthread_mutex_unlock(&seen->lock);
  return n;
}

/* A channel whose device stops sending is reported once as stalled, with
 * its handle, inside the disconnect callback and afterwards. */
static void test_stall(pid_t device) {
  struct loss_seen seen = {PTHREAD_MUTEX_INITIALIZER, 0, 0, {0, 0, 0, 0}};
  struct host_state st = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, 0};
  CHECK(qnvnet_set_disconnect_callback(on_disconnect, &seen) == 0);
  CHECK(qnvnet_set_stream_callback(on_frame, &st) == 0);
  uint32_t client = 0, handle = 0;
  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "admin") == 0);
  CHECK(qnvnet_live_open(&handle, client, NULL) == 0);
  CHECK(qnvnet_live_set_stall_timeout(handle, 50) == QNVNET_E_BAD_ARGUMENT);
  CHECK(qnvnet_last_error_reason() == QNVNET_REASON_BAD_ARGUMENT);
  CHECK(qnvnet_live_set_stall_timeout(handle, 500) == 0);
  for (int i = 0; i < 200 && frames_of(&st) < 10; ++i) sleep_ms(20);
  qnvnet_loss loss;
  CHECK(qnvnet_live_loss_reason(handle, &loss) == 0 && loss.reason == QNVNET_LOST_NONE);
  CHECK(qnvnet_session_loss_reason(client, &loss) == 0 && loss.reason == QNVNET_LOST_NONE);
  CHECK(qnvnet_live_loss_reason(handle, NULL) == QNVNET_E_BAD_ARGUMENT);
  CHECK(kill(device, SIGSTOP) == 0);
  for (int i = 0; i < 250 && losses_of(&seen) == 0; ++i) sleep_ms(20);
  CHECK(kill(device, SIGCONT) == 0);
  pthread_mutex_lock(&seen.lock);
  CHECK(seen.count == 1);
  CHECK(seen.port == (uint16_t)(g_port + 2));
  CHECK(seen.loss.reason == QNVNET_LOST_STREAM_STALLED);
  CHECK(seen.loss.handle == handle && seen.loss.client_id == client && seen.loss.detail == 500);
  pthread_mutex_unlock(&seen.lock);
  CHECK(qnvnet_live_loss_reason(handle, &loss) == 0 && loss.reason == QNVNET_LOST_STREAM_STALLED);
  /* Outside the callback there is nothing to tell. */
  CHECK(qnvnet_disconnect_reason(&loss) == 0 && loss.reason == QNVNET_LOST_NONE);
  CHECK(strcmp(qnvnet_loss_text(QNVNET_LOST_NO_KEEPALIVE_ANSWER), "no keep-alive answer") == 0);
  CHECK(qnvnet_set_stream_callback(NULL, NULL) == 0);
  CHECK(qnvnet_live_close(handle) == 0);
  CHECK(qnvnet_logout(client) == 0);
  CHECK(qnvnet_set_disconnect_callback(NULL, NULL) == 0);
}

/* Every failing way of every function gives a code qnvnet.h names, with its
 * reason; a NULL the call needs is QNVNET_E_BAD_ARGUMENT, never the C++
 * exports' -3, and nothing reaches the device. */
static void test_codes_of_each_function(void) {
  uint32_t client = 0, handle = 0, u = 0;
  int32_t i = 0, length = 0;
  uint64_t drops = 0;
  uint8_t buf[16] = {0};
  qnvnet_loss loss;
  qnvnet_nal_info nal;
#define EXPECT_CODE(call, code, reason)                                                    \
  do {                                                                                     \
    int32_t rc_ = (call);                                                                  \
    if (rc_ != (code) || qnvnet_last_error_reason() != (reason)) {                         \
      fprintf(stderr, "%s:%d: %s gave %d reason %d, wanted %d reason %d (%s)\n", __FILE__, \
              __LINE__, #call, (int)rc_, (int)qnvnet_last_error_reason(), (int)(code),     \
              (int)(reason), qnvnet_last_error_text());                                    \
      ++g_failures;                                                                        \
    }                                                                                      \
  } while (0)
#define BAD(call) EXPECT_CODE(call, QNVNET_E_BAD_ARGUMENT, QNVNET_REASON_BAD_ARGUMENT)
#define GONE(call) EXPECT_CODE(call, QNVNET_E_NO_SESSION, QNVNET_REASON_NOT_FOUND)
  BAD(qnvnet_version(NULL));
  BAD(qnvnet_decoder_available(NULL));
  BAD(qnvnet_login(NULL, "127.0.0.1", g_port, "admin", "admin"));
  BAD(qnvnet_login(&client, NULL, g_port, "admin", "admin"));
  BAD(qnvnet_frame_nal(buf, -1, &nal));
  BAD(qnvnet_frame_nal(buf, 4, NULL));
  CHECK(qnvnet_disconnect_reason(NULL) == QNVNET_E_BAD_ARGUMENT);

  /* Unknown ids: every function that names a session or channel. */
  const uint32_t nobody = 0x7ffffff0u;
  GONE(qnvnet_live_open(&handle, nobody, NULL));
  GONE(qnvnet_live_close(nobody));
  GONE(qnvnet_live_pause(nobody));
  GONE(qnvnet_live_play(nobody));
  GONE(qnvnet_live_capture(nobody, "/tmp/x.jpg"));
  GONE(qnvnet_record_open(nobody, "/tmp/x.dat", &u));
  GONE(qnvnet_record_close(nobody, 1));
  GONE(qnvnet_record_rollover(nobody, 1, "/tmp/y.dat", &u));
  GONE(qnvnet_live_set_prerecord(nobody, 1000, 0));
  GONE(qnvnet_live_set_stall_timeout(nobody, 1000));
  GONE(qnvnet_live_loss_reason(nobody, &loss));
  GONE(qnvnet_session_loss_reason(nobody, &loss));
  GONE(qnvnet_message_drops(nobody, &drops));
  GONE(qnvnet_ptz_move(nobody, 1, 2, 3, 4));
  GONE(qnvnet_ptz_preset(nobody, 1, 2));
  length = (int32_t)sizeof buf;
  GONE(qnvnet_ptz_get_param(nobody, 1, buf, &length));
  GONE(qnvnet_config_get(nobody, 13, buf, &length));
  GONE(qnvnet_config_set(nobody, 31, buf, 4));
  GONE(qnvnet_system_command(nobody, 1, NULL, 0));
  GONE(qnvnet_firmware_upload(nobody, "/dev/null"));
  GONE(qnvnet_firmware_start(nobody));
  GONE(qnvnet_rules_download(nobody, buf, &length));
  GONE(qnvnet_rules_upload(nobody, buf, 4));
  GONE(qnvnet_rules_enable(nobody, 1));
  GONE(qnvnet_rules_state(nobody, &i));
  GONE(qnvnet_algorithm_get(nobody, 1, buf, &length));
  GONE(qnvnet_algorithm_set(nobody, 1, buf, 4));
  CHECK(qnvnet_logout(nobody) == QNVNET_SUCCESS);

  /* A live session: bad pointers and lengths fail before anything is sent. */
  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "admin") == 0);
  CHECK(qnvnet_live_open(&handle, client, NULL) == 0);
  BAD(qnvnet_live_open(NULL, client, NULL));
  BAD(qnvnet_live_capture(handle, NULL));
  BAD(qnvnet_record_open(handle, NULL, &u));
  BAD(qnvnet_record_open(handle, "/tmp/x.dat", NULL));
  BAD(qnvnet_record_rollover(handle, 1, NULL, &u));
  BAD(qnvnet_record_rollover(handle, 1, "/tmp/y.dat", NULL));
  BAD(qnvnet_live_set_stall_timeout(handle, 99));
  BAD(qnvnet_live_loss_reason(handle, NULL));
  BAD(qnvnet_session_loss_reason(client, NULL));
  BAD(qnvnet_message_drops(client, NULL));
  EXPECT_CODE(qnvnet_record_close(handle, 9), QNVNET_E_NO_SAVE, QNVNET_REASON_NOT_FOUND);
  EXPECT_CODE(qnvnet_record_rollover(handle, 9, "/tmp/y.dat", &u), QNVNET_E_NO_SAVE,
              QNVNET_REASON_NOT_FOUND);
  EXPECT_CODE(qnvnet_live_capture(handle, "/tmp"), QNVNET_E_CAPTURE, QNVNET_REASON_BAD_ARGUMENT);
  EXPECT_CODE(qnvnet_firmware_upload(client, "/tmp"), QNVNET_E_FIRMWARE,
              QNVNET_REASON_BAD_ARGUMENT);
  BAD(qnvnet_firmware_upload(client, NULL));
  /* The eight payload functions of the report, each with a NULL buffer or
   * data and a positive length, a NULL length, a negative length. */
  length = 8;
  BAD(qnvnet_config_get(client, 13, NULL, &length));
  BAD(qnvnet_ptz_get_param(client, 1, NULL, &length));
  BAD(qnvnet_rules_download(client, NULL, &length));
  BAD(qnvnet_algorithm_get(client, 1, NULL, &length));
  CHECK(length == 8); /* untouched */
  BAD(qnvnet_config_get(client, 13, buf, NULL));
  BAD(qnvnet_ptz_get_param(client, 1, buf, NULL));
  BAD(qnvnet_rules_download(client, buf, NULL));
  BAD(qnvnet_algorithm_get(client, 1, buf, NULL));
  length = -1;
  BAD(qnvnet_config_get(client, 13, buf, &length));
  BAD(qnvnet_algorithm_get(client, 1, buf, &length));
  BAD(qnvnet_config_set(client, 31, NULL, 4));
  BAD(qnvnet_rules_upload(client, NULL, 4));
  BAD(qnvnet_algorithm_set(client, 1, NULL, 4));
  BAD(qnvnet_system_command(client, 1, NULL, 4));
  BAD(qnvnet_config_set(client, 31, buf, -1));
  BAD(qnvnet_rules_upload(client, buf, -5));
  static uint8_t big[4077];
  EXPECT_CODE(qnvnet_config_set(client, 31, big, 4077), QNVNET_E_SEND, QNVNET_REASON_BAD_ARGUMENT);
  EXPECT_CODE(qnvnet_rules_upload(client, big, 4077), QNVNET_E_SEND, QNVNET_REASON_BAD_ARGUMENT);
  BAD(qnvnet_rules_state(client, NULL));
  /* A device's own refusal comes through as its positive code. */
  length = (int32_t)sizeof buf;
  int32_t rc = qnvnet_config_get(client, 0, buf, &length);
  CHECK(rc > 0 && qnvnet_last_error_reason() == QNVNET_REASON_DEVICE_REFUSED &&
        qnvnet_last_error_detail() == rc);
  /* None of the above reached the device: the session answers as before. */
  CHECK(qnvnet_message_drops(client, &drops) == 0 && drops == 0);
  length = (int32_t)sizeof buf;
  CHECK(qnvnet_config_get(client, 13, buf, &length) == 0 && length > 0);
  CHECK(qnvnet_live_close(handle) == 0);
  CHECK(qnvnet_logout(client) == 0);
  CHECK(strcmp(qnvnet_strerror(QNVNET_E_IN_CALLBACK), "not allowed from a callback") == 0);
#undef GONE
#undef BAD
#undef EXPECT_CODE
}

/* What the callbacks of the uninit tests do and saw. */
struct uninit_state {
  pthread_mutex_t lock;
  int sleep_ms;      /* each stream callback sleeps this long */
  int call_exports;  /* ... then calls a device export on its session */
  int call_uninit;   /* ... or calls qnvnet_uninit and qnvnet_init */
  int inside;        /* callbacks running now */
  int entered;       /* callbacks begun */
  int32_t export_rc; /* the export's code, the last time */
  int32_t uninit_rc; /* the code uninit gave inside */
  int32_t uninit_reason;
  int32_t init_rc;
  uint32_t client;
};

static void on_frame_for_uninit(void* user, uint32_t client_id, const char* ip, uint16_t port,
                                const uint8_t* frame, int32_t length) {
  struct uninit_state* st = user;
  (void)client_id, (void)ip, (void)port, (void)frame, (void)length;
  pthread_mutex_lock(&st->lock);
  ++st->inside;
  ++st->entered;
  pthread_mutex_unlock(&st->lock);
  sleep_ms(st->sleep_ms);
  if (st->call_exports) {
    uint8_t buf[64];
    int32_t n = (int32_t)sizeof buf;
    const int32_t rc = qnvnet_config_get(st->client, 13, buf, &n);
    pthread_mutex_lock(&st->lock);
    st->export_rc = rc;
    pthread_mutex_unlock(&st->lock);
  }
  if (st->call_uninit) {
    const int32_t rc = qnvnet_uninit();
    const int32_t reason = qnvnet_last_error_reason();
    const int32_t init = qnvnet_init();
    pthread_mutex_lock(&st->lock);
    st->uninit_rc = rc;
    st->uninit_reason = reason;
    st->init_rc = init;
    pthread_mutex_unlock(&st->lock);
  }
  pthread_mutex_lock(&st->lock);
  --st->inside;
  pthread_mutex_unlock(&st->lock);
}

static int entered_of(struct uninit_state* st) {
  pthread_mutex_lock(&st->lock);
  int n = st->entered;
  pthread_mutex_unlock(&st->lock);
  return n;
}

/* Opens channels on the device whose callbacks are set as st says, waits
 * until a callback runs, and uninits: when it returns, none is inside one
 * and none begins later. */
static void uninit_during_callbacks(struct uninit_state* st, int channels) {
  CHECK(qnvnet_init() == 0);
  CHECK(qnvnet_set_stream_callback(on_frame_for_uninit, st) == 0);
  CHECK(qnvnet_login(&st->client, "127.0.0.1", g_port, "admin", "admin") == 0);
  for (int c = 0; c < channels; ++c) {
    uint32_t handle = 0;
    CHECK(qnvnet_live_open(&handle, st->client, NULL) == 0);
  }
  for (int i = 0; i < 500 && entered_of(st) == 0; ++i) sleep_ms(10);
  CHECK(entered_of(st) > 0);
  CHECK(qnvnet_uninit() == 0);
  pthread_mutex_lock(&st->lock);
  CHECK(st->inside == 0);
  const int entered = st->entered;
  pthread_mutex_unlock(&st->lock);
  sleep_ms(300);
  CHECK(entered_of(st) == entered);
  CHECK(qnvnet_set_stream_callback(NULL, NULL) == 0);
}

static void test_uninit_waits_for_callbacks(void) {
  /* Sleeping callbacks on four channels. */
  struct uninit_state sleeping = {PTHREAD_MUTEX_INITIALIZER, 500, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int cycle = 0; cycle < 3; ++cycle) uninit_during_callbacks(&sleeping, 4);

  /* Callbacks that call a device export while uninit runs: the export fails
   * at once, and uninit waits for it. */
  struct uninit_state calling = {PTHREAD_MUTEX_INITIALIZER, 200, 1, 0, 0, 0, 0, 0, 0, 0, 0};
  uninit_during_callbacks(&calling, 2);
  CHECK(calling.export_rc == 0 || calling.export_rc == QNVNET_E_NO_SESSION ||
        calling.export_rc == QNVNET_E_SEND || calling.export_rc == QNVNET_E_NO_REPLY);

  /* A callback calling uninit (and init) gets a code, not a deadlock. */
  struct uninit_state self = {PTHREAD_MUTEX_INITIALIZER, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  uninit_during_callbacks(&self, 1);
  CHECK(self.uninit_rc == QNVNET_E_IN_CALLBACK);
  CHECK(self.uninit_reason == QNVNET_REASON_IN_CALLBACK);
  CHECK(self.init_rc == QNVNET_E_IN_CALLBACK);

  /* The library starts again afterwards. */
  CHECK(qnvnet_init() == 0);
  uint32_t client = 0;
  CHECK(qnvnet_login(&client, "127.0.0.1", g_port, "admin", "admin") == 0);
  CHECK(qnvnet_logout(client) == 0);
}

int main(void) {
  const char* port = getenv("QNV_DEVSIM_PORT");
  if (port == NULL) {
    fprintf(stderr, "QNV_DEVSIM_PORT is not set\n");
    return 1;
  }
  g_port = (uint16_t)atoi(port);
  CHECK(qnvnet_init() == 0);
  test_login_reasons();
  test_reason_per_thread();
  test_live_and_recording();
  const char* pid = getenv("QNV_DEVSIM_PID");
  if (pid != NULL) test_stall((pid_t)atoi(pid));
  test_codes_of_each_function();
  CHECK(qnvnet_uninit() == 0);
  test_uninit_waits_for_callbacks();
  CHECK(qnvnet_uninit() == 0);
  if (g_failures)
    fprintf(stderr, "%d checks failed\n", g_failures);
  else
    printf("all checks passed\n");
  return g_failures ? 1 : 0;
}
