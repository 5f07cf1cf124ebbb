/* A host that renders a bundle's idle loop, each frame with the face rendered and
 * pasted into its driver frame, and writes the first frame as a PPM picture.
 *
 *   host BUNDLE [MODEL_KEY [OUT.ppm]]      (MODEL_KEY defaults to b1)
 *
 * Build against an installed library:
 *   cc host.c $(pkg-config --cflags --libs ka_core) -o host
 */
#include <ka/ka.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The library's diagnostic lines, routed to the host's own log (here: standard error
 * with the host's prefix); errors and warnings only. */
static void on_log(int level, const char* line, void* user) {
  (void)user;
  fprintf(stderr, "host: library %s: %s\n", level == KA_LOG_LEVEL_ERROR ? "error" : "note", line);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s BUNDLE [MODEL_KEY [OUT.ppm]]\n", argv[0]);
    return 2;
  }
  if (strcmp(ka_version(), KA_VERSION) != 0) {
    fprintf(stderr, "header %s, library %s\n", KA_VERSION, ka_version());
    return 1;
  }
  ka_set_log_callback(on_log, NULL);
  ka_set_log_level(KA_LOG_LEVEL_WARNING);

  ka_ctx* ctx = ka_create(argv[1], argc > 2 ? argv[2] : "b1", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "%s\n", ka_last_error());
    return 1;
  }
  const int w = ka_width(ctx), h = ka_height(ctx);
  const size_t cap = (size_t)w * h * 4;
  uint8_t* rgba = malloc(cap);
  if (!rgba) {
    ka_destroy(ctx);
    return 1;
  }
  int rendered = 0, status = 0;
  for (int row = 0; row < ka_drive_frames(ctx); ++row) {
    if (!ka_render_drive_rgba(ctx, row, rgba, cap)) {
      fprintf(stderr, "%s\n", ka_last_error());
      status = 1;
      break;
    }
    if (row == 0 && argc > 3) {
      /* rgba: the driver frame with the rendered face pasted in */
      FILE* f = fopen(argv[3], "wb");
      if (!f) {
        perror(argv[3]);
        status = 1;
        break;
      }
      fprintf(f, "P6\n%d %d\n255\n", w, h);
      for (size_t i = 0; i < (size_t)w * h; ++i) fwrite(rgba + 4 * i, 1, 3, f);
      if (fclose(f) != 0) status = 1;
    }
    ++rendered;
  }
  printf("rendered %d of %d frames, %dx%d\n", rendered, ka_drive_frames(ctx), w, h);
  free(rgba);
  ka_destroy(ctx);
  return status;
}
