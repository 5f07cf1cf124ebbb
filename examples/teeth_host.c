/* A host that opens a speaking session on a bundle and arms it with the bundle's own
 * borrowed teeth in one call, then pulls a second of idle frames through the pass.
 *
 *   teeth_host BUNDLE MOTION_DIR [MODEL_KEY]      (MODEL_KEY defaults to b1)
 *
 * Build against an installed library:
 *   cc teeth_host.c $(pkg-config --cflags --libs ka_core) -o teeth_host
 */
#define _POSIX_C_SOURCE 199309L
#include <ka/ka.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s BUNDLE MOTION_DIR [MODEL_KEY]\n", argv[0]);
    return 2;
  }
  ka_set_log_level(KA_LOG_LEVEL_ERROR);
  ka_ctx* ctx = ka_create(argv[1], argc > 3 ? argv[3] : "b1", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "%s\n", ka_last_error());
    return 1;
  }
  ka_utt* s = ka_utt_open(ctx, argv[2]);
  int status = 1, r = 0;
  if (!s) {
    fprintf(stderr, "%s\n", ka_utt_last_error());
    goto out;
  }
  for (int waited = 0; (r = ka_utt_ready(s)) == 0 && waited < 60000; waited += 10) sleep_ms(10);
  if (r != 1) {
    fprintf(stderr, "session not ready: %s\n", ka_utt_last_error());
    goto out;
  }

  /* Members, bank decode and attach in one call; a refusal comes back as text. */
  char err[1024], geometry[256] = "";
  if (ka_utt_tessera_attach_bundle(s, argv[1], err, sizeof err) != 0) {
    fprintf(stderr, "%s\n", err);
    goto out;
  }
  ka_utt_tessera_geometry(s, geometry, sizeof geometry);
  printf("teeth attached (corpus geometry %s)\n", geometry);

  const size_t cap = (size_t)ka_width(ctx) * ka_height(ctx) * 3;
  uint8_t* rgb = malloc(cap);
  int frames = 0;
  for (int tries = 0; rgb && frames < 25 && tries < 20000; ++tries) {
    if (ka_utt_pull_frame(s, rgb, cap, NULL))
      ++frames;
    else
      sleep_ms(1);
  }
  free(rgb);
  int64_t borrowed = 0, refused = 0;
  const int state = ka_utt_tessera_stats(s, &borrowed, &refused, err, sizeof err);
  printf("pulled %d frames; teeth pass %s\n", frames, state == 1 ? "healthy" : err);
  status = frames == 25 && state == 1 ? 0 : 1;
out:
  ka_utt_destroy(s);
  ka_destroy(ctx);
  return status;
}
