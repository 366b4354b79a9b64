/* vever_core: C interface of the talking-avatar engine.
 *
 * Every function here has C linkage and never lets an exception escape.
 * Functions that can fail empty the calling thread's last error on entry and
 * set it on failure; read it with le_last_error() on the same thread. */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A rendering context opened on one avatar bundle. */
typedef struct le_ctx le_ctx;

/* Opens the bundle at bundle_dir (a directory or an IMX container) with the
 * render model "model_" + model_key + ".onnx". threads < 1 uses the engine's
 * thread budget; ep names an execution provider and may be NULL.
 * Returns NULL on failure. */
le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
/* Releases a context; NULL is ignored. */
void le_destroy(le_ctx* ctx);

/* The calling thread's last error: never NULL, empty when there is none.
 * Valid until this thread's next le_* call that resets or sets it. */
const char* le_last_error(void);

/* Rows of a host keypoint set: every keypoint set crossing this interface is
 * le_host_kp_rows() x 3 floats, row-major. */
int le_host_kp_rows(void);

/* Accessors; 0 for a NULL context. They leave the last error alone. */
int le_nt(const le_ctx* ctx);
int le_width(const le_ctx* ctx);
int le_height(const le_ctx* ctx);
int le_crop(const le_ctx* ctx);
int le_drive_frames(const le_ctx* ctx);

/* ---- Bundle resolution and warp-prior access, without a context ---- */

/* Writes the directory to read the bundle from (unwrapping an IMX container
 * once) into out, NUL-terminated; cap counts the terminator.
 * Returns 1, or -1 on failure. */
int le_bundle_resolve_handle(const char* handle, char* out, size_t cap);
/* Writes the file a member resolves to (older name, else newer name, else the
 * older name). Returns 1 when that file exists, 0 when not, -1 on failure.
 * Sets the last error only when resolving the bundle fails. */
int le_bundle_resolve_member(const char* handle, const char* member, char* out, size_t cap);

/* A reader of the bundle's video-coded warp prior. */
typedef struct le_prior le_prior;
/* look_ahead < 1 means 2; history < 0 means 0. NULL on failure. */
le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);
/* Copies prior frame t (crop x crop x 3 halves, R, G, B planes) into out.
 * Returns 1, or 0 on failure. */
int le_prior_row(le_prior* prior, int t, void* out, size_t cap);
/* Bytes of one prior row; 0 for NULL. */
size_t le_prior_row_bytes(const le_prior* prior);
/* The decoder behind the prior; "" for NULL. */
const char* le_prior_backend(const le_prior* prior);
void le_prior_close(le_prior* prior);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* The host keypoint contract: 21 rows of 3 floats. */
constexpr int kHostKpRows = 21;
}  // namespace le
#endif

#endif /* LE_LE_H */
