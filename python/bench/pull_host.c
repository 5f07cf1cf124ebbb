/* The C host loop bench_pull.py measures the package against: a session on BUNDLE with
 * MOTION, a tone pushed as speech, then FRAMES frames pulled into one buffer; prints the
 * wall time of every successful ka_utt_pull_frame in microseconds, one per line.
 *   pull_host BUNDLE MOTION MODEL FRAMES */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "ka/ka.h"

static double now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: pull_host BUNDLE MOTION MODEL FRAMES\n");
    return 2;
  }
  const int frames = atoi(argv[4]);
  ka_ctx* ctx = ka_create(argv[1], argv[3], 0, NULL);
  if (!ctx) {
    fprintf(stderr, "%s\n", ka_last_error());
    return 1;
  }
  ka_utt_opts o = {0};
  o.motion_dir = argv[2];
  o.steady_model = "-";
  o.auto_end_s = -1.0;
  ka_utt* s = ka_utt_create(ctx, &o);
  if (!s) {
    fprintf(stderr, "%s\n", ka_utt_last_error());
    return 1;
  }
  int r;
  while ((r = ka_utt_ready(s)) == 0) nanosleep(&(struct timespec){0, 5000000}, NULL);
  if (r < 0) {
    fprintf(stderr, "%s\n", ka_utt_last_error());
    return 1;
  }
  const int n = 50 * 640;
  short* pcm = malloc(sizeof(short) * n);
  for (int i = 0; i < n; ++i) {
    const double t = i / 16000.0;
    pcm[i] = (short)(9000.0 * sin(2 * M_PI * 220 * t) * (0.55 + 0.45 * sin(2 * M_PI * 3 * t)));
  }
  ka_utt_push_audio(s, pcm, n);
  ka_utt_end_utterance(s);
  const size_t cap = (size_t)ka_width(ctx) * ka_height(ctx) * 3;
  unsigned char* rgb = malloc(cap);
  ka_utt_frame_info info;
  for (int got = 0; got < frames;) {
    const double t0 = now_us();
    const int ok = ka_utt_pull_frame(s, rgb, cap, &info);
    const double t1 = now_us();
    if (ok == 1) {
      printf("%.3f %d\n", t1 - t0, info.kind);
      ++got;
    } else {
      nanosleep(&(struct timespec){0, 1000000}, NULL);
    }
  }
  ka_utt_destroy(s);
  ka_destroy(ctx);
  free(rgb);
  free(pcm);
  return 0;
}
