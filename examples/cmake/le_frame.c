/* le_frame BUNDLE OUT.ppm [FRAME]: a C host of the engine, built through
 * CMake's find_package. Renders one drive frame of the bundle (frame 0 unless
 * given) with its "b1" model and writes it as a binary PPM. Exit status 0,
 * 1 on an engine failure, 2 on a usage error. */
#include <stdio.h>
#include <stdlib.h>

#include <le/le.h>

int main(int argc, char** argv) {
  le_ctx* ctx;
  uint8_t* rgba;
  uint64_t cap, i;
  FILE* out;
  int w, h, ok;

  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: le_frame BUNDLE OUT.ppm [FRAME]\n");
    return 2;
  }
  ctx = le_create(argv[1], "b1", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "le_frame: %s\n", le_last_error());
    return 1;
  }
  w = le_width(ctx);
  h = le_height(ctx);
  cap = (uint64_t)w * (uint64_t)h * 4;
  rgba = malloc(cap);
  ok = rgba && le_render_drive_rgba(ctx, argc > 3 ? atoi(argv[3]) : 0, rgba, cap);
  if (!ok) fprintf(stderr, "le_frame: %s\n", rgba ? le_last_error() : "out of memory");
  le_destroy(ctx);
  if (ok) {
    ok = (out = fopen(argv[2], "wb")) != NULL;
    if (ok) {
      /* PPM holds RGB: drop the alpha byte of every pixel. */
      fprintf(out, "P6\n%d %d\n255\n", w, h);
      for (i = 0; i < cap && ok; i += 4) ok = fwrite(rgba + i, 1, 3, out) == 3;
      ok = fclose(out) == 0 && ok;
    }
    if (!ok) perror(argv[2]);
  }
  free(rgba);
  return ok ? 0 : 1;
}
