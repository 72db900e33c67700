/* A minimal C host: logs in to the device given on the command line, reads
 * configuration item 13, watches live video until 10 frames arrived, logs
 * out. A failed login prints the library's reason.
 * Usage: host_c PORT [ADDRESS] */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <qnvnet.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct counter {
  pthread_mutex_t lock;
  int frames;
};

static int frames_seen(struct counter* c) {
  pthread_mutex_lock(&c->lock);
  int n = c->frames;
  pthread_mutex_unlock(&c->lock);
  return n;
}

static void on_frame(void* user, uint32_t client_id, const char* ip, uint16_t port,
                     const uint8_t* frame, int32_t length) {
  (void)client_id, (void)ip, (void)port, (void)frame, (void)length;
  struct counter* c = user;
  pthread_mutex_lock(&c->lock);
  ++c->frames;
  pthread_mutex_unlock(&c->lock);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: host_c PORT [ADDRESS]\n");
    return 2;
  }
  struct counter counter = {PTHREAD_MUTEX_INITIALIZER, 0};
  qnvnet_set_stream_callback(on_frame, &counter);
  if (qnvnet_init() != QNVNET_SUCCESS) return 1;
  uint32_t client = 0;
  int32_t rc = qnvnet_login(&client, argc > 2 ? argv[2] : "127.0.0.1", (uint16_t)atoi(argv[1]),
                            "admin", "admin");
  if (rc != QNVNET_SUCCESS) {
    fprintf(stderr, "login: %s: %s\n", qnvnet_strerror(rc), qnvnet_last_error_text());
    qnvnet_uninit();
    return 1;
  }
  char info[256];
  int32_t length = sizeof info;
  rc = qnvnet_config_get(client, 13, info, &length);
  printf("config 13: result %d, %d bytes\n", (int)rc, (int)length);
  uint32_t handle = 0;
  rc = qnvnet_live_open(&handle, client, NULL);
  const struct timespec pause = {0, 50 * 1000 * 1000};
  for (int i = 0; rc == QNVNET_SUCCESS && i < 100 && frames_seen(&counter) < 10; ++i)
    nanosleep(&pause, NULL);
  if (rc == QNVNET_SUCCESS) qnvnet_live_close(handle);
  printf("live: result %d, %d frames\n", (int)rc, frames_seen(&counter));
  qnvnet_set_stream_callback(NULL, NULL);
  qnvnet_logout(client);
  qnvnet_uninit();
  return rc == QNVNET_SUCCESS && frames_seen(&counter) >= 10 ? 0 : 1;
}
