/* le_info [BUNDLE [MODEL_KEY]]: a C host of the engine, built through
 * pkg-config. Prints the engine's version and, given a bundle, what a context
 * opened on it holds. Exit status 0, or 1 when the bundle does not open. */
#include <stdio.h>

#include <le/le.h>

int main(int argc, char** argv) {
  const char* key = argc > 2 ? argv[2] : "b1";
  le_ctx* ctx;

  printf("engine %s, host keypoint sets of %d rows\n", le_version(), le_host_kp_rows());
  if (argc < 2) return 0;
  ctx = le_create(argv[1], key, 0, NULL);
  if (!ctx) {
    fprintf(stderr, "le_info: %s\n", le_last_error());
    return 1;
  }
  printf("%s: %dx%d, crop %d, %d source frames, %d drive frames\n", argv[1], le_width(ctx),
         le_height(ctx), le_crop(ctx), le_nt(ctx), le_drive_frames(ctx));
  le_destroy(ctx);
  return 0;
}
