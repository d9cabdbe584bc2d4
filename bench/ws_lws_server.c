/* The same fan-out on libwebsockets, single-threaded, for comparison with bench_ws_hub and the
 * Node.js "ws" server: answers "welcome" on connect, "plugin_call_result" to a plugin_call,
 * remembers "subscribe", and on "bench_fire" broadcasts count events of size bytes to the
 * subscribers (one burst, or paced at rate per second).  Every event is built once and written
 * to each subscriber from its writable callback: one write per callback, as libwebsockets
 * recommends for a server with many connections, or with "batch" as many as the socket takes
 * (lws_send_pipe_choked), which trades fairness for throughput.
 * bench/ws.sh compiles it:  cc -O2 ws_lws_server.c $(pkg-config --cflags --libs libwebsockets)
 *   ws_lws_server [batch] <port> */
#include <libwebsockets.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct msg {
  unsigned char *buf; /* LWS_PRE bytes of headroom, then the payload */
  size_t len;
};

struct session {
  struct lws *wsi;
  int subscribed;
  size_t next;           /* index of the next event to write */
  char rx[4096];         /* the message being received */
  size_t rx_len;
  struct msg replies[4]; /* answers to this client, oldest first */
  int n_replies;
};

static struct lws_context *context;
static const struct lws_protocols *protocol;
static struct msg *events;
static size_t n_events, cap_events;
static long long fire_count, fire_size, fire_rate, fired;
static struct timespec fire_start;
static lws_sorted_usec_list_t pace_timer;
static volatile int interrupted;
static int batch; /* write while the socket takes it, not once per callback */

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static struct msg make_msg(const char *text, size_t len) {
  struct msg m;
  m.buf = malloc(LWS_PRE + len);
  memcpy(m.buf + LWS_PRE, text, len);
  m.len = len;
  return m;
}

static void add_reply(struct session *s, const char *text) {
  if (s->n_replies == 4) return;
  s->replies[s->n_replies++] = make_msg(text, strlen(text));
  lws_callback_on_writable(s->wsi);
}

static void fire_one(void) {
  static char *text;
  static size_t text_cap;
  size_t need = (size_t)fire_size + 128;
  if (text_cap < need) {
    text = realloc(text, need);
    text_cap = need;
  }
  int n = snprintf(text, need, "{\"type\":\"event\",\"event\":\"bench\",\"data\":{\"seq\":%lld,\"t\":%lld,\"pad\":\"",
                   fired, now_ns());
  memset(text + n, 'x', (size_t)fire_size);
  n += (int)fire_size;
  memcpy(text + n, "\"}}", 3);
  n += 3;
  if (n_events == cap_events) {
    cap_events = cap_events ? cap_events * 2 : 1024;
    events = realloc(events, cap_events * sizeof *events);
  }
  events[n_events++] = make_msg(text, (size_t)n);
  ++fired;
}

/* Paced firing: the events due by now, then again in a millisecond. */
static void pace(lws_sorted_usec_list_t *sul) {
  (void)sul;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  long long elapsed = (ts.tv_sec - fire_start.tv_sec) * 1000000000LL + (ts.tv_nsec - fire_start.tv_nsec);
  long long due = elapsed * fire_rate / 1000000000LL + 1;
  if (due > fire_count) due = fire_count;
  while (fired < due) fire_one();
  lws_callback_on_writable_all_protocol(context, protocol);
  if (fired < fire_count) lws_sul_schedule(context, 0, &pace_timer, pace, 1000);
}

static long long member(const char *text, const char *name, long long dflt) {
  const char *p = strstr(text, name);
  if (!p) return dflt;
  p += strlen(name);
  while (*p == '"' || *p == ':' || *p == ' ') ++p;
  return atoll(p);
}

static void handle_message(struct session *s) {
  s->rx[s->rx_len] = 0;
  if (strstr(s->rx, "\"subscribe\"")) {
    s->subscribed = 1;
    s->next = n_events; /* events fired before the subscription are not for it */
  } else if (strstr(s->rx, "\"plugin_call\"")) {
    add_reply(s, "{\"type\":\"plugin_call_result\",\"id\":\"sync\"}");
  } else if (strstr(s->rx, "\"bench_fire\"")) {
    fire_count = member(s->rx, "\"count\"", 1000);
    fire_size = member(s->rx, "\"size\"", 64);
    fire_rate = member(s->rx, "\"rate\"", 0);
    fired = 0;
    if (fire_rate <= 0) {
      while (fired < fire_count) fire_one();
      lws_callback_on_writable_all_protocol(context, protocol);
    } else {
      clock_gettime(CLOCK_MONOTONIC, &fire_start);
      pace(&pace_timer);
    }
  }
}

static int callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *in, size_t len) {
  struct session *s = (struct session *)user;
  switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
      memset(s, 0, sizeof *s);
      s->wsi = wsi;
      add_reply(s, "{\"type\":\"welcome\"}");
      break;
    case LWS_CALLBACK_RECEIVE:
      if (s->rx_len + len < sizeof s->rx) {
        memcpy(s->rx + s->rx_len, in, len);
        s->rx_len += len;
      }
      if (lws_is_final_fragment(wsi) && !lws_remaining_packet_payload(wsi)) {
        handle_message(s);
        s->rx_len = 0;
      }
      break;
    case LWS_CALLBACK_SERVER_WRITEABLE:
      do {
        if (s->n_replies > 0) {
          struct msg m = s->replies[0];
          memmove(s->replies, s->replies + 1, (size_t)(--s->n_replies) * sizeof m);
          int w = lws_write(wsi, m.buf + LWS_PRE, m.len, LWS_WRITE_TEXT);
          free(m.buf);
          if (w < (int)m.len) return -1;
        } else if (s->subscribed && s->next < n_events) {
          struct msg *m = &events[s->next++];
          if (lws_write(wsi, m->buf + LWS_PRE, m->len, LWS_WRITE_TEXT) < (int)m->len) return -1;
        } else {
          break;
        }
      } while (batch && !lws_send_pipe_choked(wsi));
      if (s->n_replies > 0 || (s->subscribed && s->next < n_events)) lws_callback_on_writable(wsi);
      break;
    case LWS_CALLBACK_CLOSED:
      for (int i = 0; i < s->n_replies; ++i) free(s->replies[i].buf);
      s->n_replies = 0;
      break;
    default:
      break;
  }
  return lws_callback_http_dummy(wsi, reason, user, in, len);
}

static const struct lws_protocols protocols[] = {
    {"bench", callback, sizeof(struct session), 4096, 0, NULL, 0},
    {NULL, NULL, 0, 0, 0, NULL, 0},
};

static void on_signal(int sig) {
  (void)sig;
  interrupted = 1;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: ws_lws_server [batch] <port>\n");
    return 2;
  }
  batch = argc > 2 && strcmp(argv[1], "batch") == 0;
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  lws_set_log_level(LLL_ERR, NULL);
  struct lws_context_creation_info info;
  memset(&info, 0, sizeof info);
  info.port = atoi(argv[argc - 1]);
  info.iface = "127.0.0.1";
  info.protocols = protocols;
  context = lws_create_context(&info);
  if (!context) {
    fprintf(stderr, "lws_create_context failed\n");
    return 1;
  }
  protocol = &protocols[0];
  printf("ready %d\n", info.port);
  fflush(stdout);
  while (!interrupted && lws_service(context, 0) >= 0) {
  }
  lws_context_destroy(context);
  return 0;
}
