/* vever_core: C interface of the talking-avatar engine.
 *
 * Every function here has C linkage and never lets an exception escape.
 * Functions that can fail empty the calling thread's last error on entry and
 * set it on failure; read it with le_last_error() on the same thread. */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

/* What the shared library exports; everything else stays inside it. */
#if defined(__GNUC__) || defined(__clang__)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A rendering context opened on one avatar bundle. */
typedef struct le_ctx le_ctx;

/* Opens the bundle at bundle_dir (a directory or an IMX container) with the
 * render model "model_" + model_key + ".onnx". threads < 1 uses the engine's
 * thread budget; ep names an execution provider and may be NULL.
 * Returns NULL on failure. */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads,
                         const char* ep);
/* Releases a context; NULL is ignored. */
LE_API void le_destroy(le_ctx* ctx);

/* The calling thread's last error: never NULL, empty when there is none.
 * Valid until this thread's next le_* call that resets or sets it. */
LE_API const char* le_last_error(void);

/* Rows of a host keypoint set: every keypoint set crossing this interface is
 * le_host_kp_rows() x 3 floats, row-major. */
LE_API int le_host_kp_rows(void);

/* The engine's version, "MAJOR.MINOR.PATCH" (the shared library's own). */
LE_API const char* le_version(void);

/* ---- Diagnostic lines ----
 * The engine reports what it chose and what it degraded to as single lines
 * "[<subsystem>] <text>", e.g. "[le-driver] ...". By default each goes to
 * standard error followed by a newline. A host that sets a callback receives
 * every line instead: level (LE_LOG_INFO or LE_LOG_WARNING), the subsystem
 * ("le", "le-driver", "le_a2x", ...), the whole line without its newline,
 * and the user pointer it passed. The callback may run on any engine thread,
 * also concurrently; it must not throw. NULL restores standard error. A line
 * already being delivered when the callback is replaced may still reach the
 * previous callback, so keep it (and its user data) valid. */
#define LE_LOG_INFO 1
#define LE_LOG_WARNING 2
typedef void (*le_log_fn)(void* user, int level, const char* subsystem, const char* line);
LE_API void le_set_log_callback(le_log_fn fn, void* user);

/* Accessors; 0 for a NULL context. They leave the last error alone. */
LE_API int le_nt(const le_ctx* ctx);
LE_API int le_width(const le_ctx* ctx);
LE_API int le_height(const le_ctx* ctx);
LE_API int le_crop(const le_ctx* ctx);
LE_API int le_drive_frames(const le_ctx* ctx);

/* ---- Rendering and pasting on a context ----
 * A crop is crop x crop x 3 floats in [0, 1], R, G, B planes, owned by the
 * context and valid until its next render. A frame is W x H x 3 bytes RGB
 * (x 4 with alpha 255 for the RGBA calls). */

/* Renders the crop for source frame t from 63-float keypoint sets. */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int t, const float* kp_source,
                                      const float* kp_driven);
/* Renders drive frame i from the bundle's drive tables. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int i);
/* Pastes crop into driver frame t, written to out (cap >= W x H x 3). 1 or 0. */
LE_API int le_paste_crop(le_ctx* ctx, int t, const float* crop, uint8_t* out, uint64_t cap);
/* Pastes the latest rendered crop into driver frame t; returns the context's
 * frame buffer, valid until the next paste on the context. */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int t);
/* Render, paste and expand to RGBA (cap >= W x H x 4). 1 or 0. */
LE_API int le_render_kp_rgba(le_ctx* ctx, int t, const float* kp_source, const float* kp_driven,
                             uint8_t* out, uint64_t cap);
LE_API int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, uint64_t cap);
/* Driver frame t, valid until the next frame pull on the context. */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int t);

/* ---- Bundle resolution and warp-prior access, without a context ---- */

/* Writes the directory to read the bundle from (unwrapping an IMX container
 * once) into out, NUL-terminated; cap counts the terminator.
 * Returns 1, or -1 on failure. */
LE_API int le_bundle_resolve_handle(const char* handle, char* out, size_t cap);
/* Writes the file a member resolves to (older name, else newer name, else the
 * older name). Returns 1 when that file exists, 0 when not, -1 on failure.
 * Sets the last error only when resolving the bundle fails. */
LE_API int le_bundle_resolve_member(const char* handle, const char* member, char* out, size_t cap);

/* A reader of the bundle's video-coded warp prior. */
typedef struct le_prior le_prior;
/* look_ahead < 1 means 2; history < 0 means 0. NULL on failure. */
LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);
/* Copies prior frame t (crop x crop x 3 halves, R, G, B planes) into out.
 * Returns 1, or 0 on failure. */
LE_API int le_prior_row(le_prior* prior, int t, void* out, size_t cap);
/* Bytes of one prior row; 0 for NULL. */
LE_API size_t le_prior_row_bytes(const le_prior* prior);
/* The decoder behind the prior; "" for NULL. */
LE_API const char* le_prior_backend(const le_prior* prior);
LE_API void le_prior_close(le_prior* prior);

/* ------------------------------------------------------------------------
 * Teeth-borrow members.
 *
 * A bundle arms the teeth borrow only when it carries all four members
 * (bank track, bank sidecar, head weights, head configuration). These
 * functions never fail through le_last_error(): le_tessera_members_open and
 * le_tessera_members_reorder copy their message into the caller's buffer
 * (at most err_len - 1 bytes, always terminated, when err is non-NULL and
 * err_len is positive). Every function accepts a NULL handle and then returns
 * 0, "" or NULL. Strings and arrays returned point into the handle and stay
 * valid until it is closed, except where noted. */

typedef struct le_tessera_carriage le_tessera_carriage;
typedef struct le_tessera_members le_tessera_members;

/* The member slots: 4 of them; le_tessera_slot_key gives the slot key of
 * index 0..3 ("bank_track", "bank_sidecar", "head_weights", "head_config"),
 * NULL for any other index. */
LE_API int le_tessera_slot_count(void);
LE_API const char* le_tessera_slot_key(int index);

/* What a bundle declares and holds. Opening never fails on a malformed
 * bundle (every member then counts as missing); NULL only for a NULL path
 * or when memory runs out. */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);
/* 1 when all four members are present, else 0. */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);
/* 1 when the manifest declares a tessera block, else 0. */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);
/* Resolved path of a slot key; "" for an unknown slot. The text lives in one
 * scratch string of the handle that the next call overwrites. */
LE_API const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot);
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);
/* Slot key of the index-th missing member; NULL when out of range. */
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index);

/* Loads and checks all four members; NULL with the message in err on any
 * failure. */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len);
LE_API void le_tessera_members_close(le_tessera_members* m);
LE_API int le_tessera_members_n_donors(const le_tessera_members* m);
/* n_donors (x, y) centres interleaved; NULL when empty. */
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);
/* The canonical (x, y) centre. */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);
/* n_donors apertures; NULL when empty. */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m);
/* The 12 geometry-stamp integers: canvas_w, canvas_h, window_x0, window_y0,
 * window_w, window_h, pad, band_r0, band_r1, band_c0, band_c1, shift_margin. */
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* m);
/* The head checkpoint bytes (NULL when empty) and their count. */
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API int64_t le_tessera_members_head_pt_len(const le_tessera_members* m);
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* Size of one stored donor patch in pixels. */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
/* band_h * n_donors * band_w * 3: the reference bank in memory. */
LE_API int64_t le_tessera_members_band_bytes(const le_tessera_members* m);
/* Copies the references from track order (track) into donor order (donor);
 * both buffers hold le_tessera_members_band_bytes bytes. 0 on success, 1 on
 * failure with the message in err; nothing is written on failure. */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track,
                                      uint8_t* donor, char* err, int err_len);

/* The teeth pass run offline over F compose canvases. band: the reference
 * bank in donor order (n_donors stored patches of RGB bytes, as
 * le_tessera_members_band_bytes counts them); cent, c_canon, aperture and
 * stamp as le_tessera_members_* give them; head_pt/head_pt_len and head_json:
 * the head checkpoint and its configuration. canvases: F frames of
 * canvas_w x canvas_h x 3 RGB bytes; masks: F compose masks of
 * canvas_w x canvas_h bytes (255 inside the mouth). Every frame is emitted:
 * out_skipped[i] is 1 for a frame the pass could not place (its window slot
 * is left as it was), else 0 with the borrow window (window_h x window_w x 3
 * bytes, to be written at window_y0, window_x0) at out_windows +
 * i * window_h * window_w * 3. Returns 0, or 1 with the message in err (at
 * most err_len - 1 bytes, always terminated). */
LE_API int le_tessera_run(const uint8_t* band, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                          const uint8_t* canvases, const uint8_t* masks, int frames,
                          uint8_t* out_windows, int32_t* out_skipped, char* err, int err_len);
/* Same, with a mouth shift per frame: F pairs (sy, sx); a pair whose sy is
 * -10000 lets the pass derive the shift from the frame's mask. shifts may be
 * NULL (every shift derived). */
LE_API int le_tessera_run_shift(const uint8_t* band, int n_donors, const double* cent,
                                const double* c_canon, const double* aperture, const int32_t* stamp,
                                const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                                const uint8_t* canvases, const uint8_t* masks,
                                const int32_t* shifts, int frames, uint8_t* out_windows,
                                int32_t* out_skipped, char* err, int err_len);

/* ------------------------------------------------------------------------
 * Audio to motion: the streaming audio-to-expression stream (le_a2x_*) and
 * the frame-chunk audio conditioner (le_fca_*). Audio is 16 kHz mono float;
 * one frame is 640 samples (40 ms). Each family keeps its own per-thread
 * last error, replaced by every failure and not emptied on entry.
 * ------------------------------------------------------------------------ */

typedef struct le_a2x le_a2x;

/* Opens a stream on a motion directory (a bundle directory or IMX container).
 * threads < 1, or not below the engine's thread budget, uses the budget.
 * The legacy audio frontend is the model named by $W2V_ONNX. NULL on failure. */
LE_API le_a2x* le_a2x_create(const char* bundle_dir, int threads);
/* NULL is ignored. */
LE_API void le_a2x_destroy(le_a2x* s);
/* The calling thread's last error of the le_a2x_* family ("" if none). */
LE_API const char* le_a2x_last_error(void);
/* Loads the process-wide legacy frontend (path NULL or "" means $W2V_ONNX).
 * 1 when it is loaded, else 0. */
LE_API int le_a2x_preload_w2v(const char* path);
/* Appends samples (count <= 0 appends nothing); allowed after finish.
 * 1, or 0 when the samples could not be stored. */
LE_API int le_a2x_push(le_a2x* s, const float* samples, int count);
/* Marks the end of the audio: every frame of it becomes pullable. */
LE_API void le_a2x_finish(le_a2x* s);
/* -1 until finished, then ceil(samples / 640). */
LE_API int le_a2x_total(le_a2x* s);
/* Frames that can be pulled now; each call does at most one frontend
 * window's worth of work. */
LE_API int le_a2x_avail(le_a2x* s);
/* Writes up to max_frames frames: corpus index (1 int), corpus keypoints and
 * driven keypoints (63 floats each) per frame. Returns the frames written. */
LE_API int le_a2x_pull(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp,
                       int max_frames);
/* As le_a2x_pull plus one width value per frame (0 without a width output). */
LE_API int le_a2x_pull_wn(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp,
                          float* width, int max_frames);
/* Starts the next utterance at corpus frame start (start < 0 continues the
 * walk where it stands), walking forwards (direction >= 0) or backwards,
 * looping (loop != 0) or bouncing at the ends. */
LE_API void le_a2x_reset(le_a2x* s, int start, int direction, int loop);
/* Recorded only. */
LE_API void le_a2x_set_eager(le_a2x* s, int eager);
/* Corpus frames (rows of xs_target.bin); 0 for NULL. */
LE_API int le_a2x_nt(const le_a2x* s);
/* 1 when the encoder has a width output, else 0. */
LE_API int le_a2x_width(const le_a2x* s);
/* Deltas (frames x 63) of a whole clip without touching the stream's state.
 * Frames written, 0 for count < 1, -2 when max_frames < ceil(count / 640),
 * -1 on failure. */
LE_API int le_a2x_deltas(le_a2x* s, const float* samples, int count, float* deltas, int max_frames);
/* As le_a2x_deltas plus one width value per frame; -3 when the encoder has
 * no width output. */
LE_API int le_a2x_deltas_wn(le_a2x* s, const float* samples, int count, float* deltas, float* width,
                            int max_frames);

typedef struct le_fca le_fca;

/* Opens the conditioner on the legacy audio model and fca_stream.onnx;
 * threads < 1 uses the engine's thread budget. NULL on failure. */
LE_API le_fca* le_fca_create(const char* audio_model, const char* cond_model, int threads);
/* Deltas (frames x 63) of a whole clip: ceil(count / 640) on success, 0 for
 * count < 1, -1 when max_frames is too small (last error untouched) or on
 * failure. */
LE_API int le_fca_deltas(le_fca* c, const float* samples, int count, float* deltas, int max_frames);
/* NULL is ignored. */
LE_API void le_fca_destroy(le_fca* c);
/* The calling thread's last error of the le_fca_* family ("" if none). */
LE_API const char* le_fca_last_error(void);

/* ------------------------------------------------------------------------
 * The motion generator (le_motion_*): the second motion source, for motion
 * directories without the streaming a2x encoder. A log-mel front end and a
 * speech-feature network run every 5 frames, a motion network turns chunks
 * of 80 frames (advancing by 70) into motion, and each frame is emitted as
 * the corpus keypoints plus a stitched keypoint difference. A generator is
 * used by one thread at a time. le_motion_create, le_motion_push,
 * le_motion_avail and le_motion_pull empty the family's per-thread last
 * error on entry.
 *
 * The motion directory holds meta.json ("nt", "n_src", "n_emo", "s_bridge",
 * optional "delta_pitch"), raw float32 members of exact sizes
 * (hubert_stft_window.bin, hubert_stft_binmat.bin, hubert_fmean.bin,
 * hubert_fstd.bin, emo.bin, ch_xs_info.bin, ch_sc.bin, ch_eye_open.bin,
 * ch_eye_ball.bin, v_min_max.bin, src_xs_info.bin, xs_target.bin) and the
 * networks hubert_student.onnx, lmdm.onnx and stitch.onnx.
 * LE_MOTION_DUMP, when it names a directory, receives intermediate arrays
 * as raw float32 files.
 * ------------------------------------------------------------------------ */

typedef struct le_motion le_motion;

/* threads < 1 uses the engine's thread budget; ep NULL or "" is the CPU
 * provider, "coreml[<sep><unit>]" the CoreML provider; anything else is
 * refused. NULL on failure. */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);
/* NULL is ignored. */
LE_API void le_motion_destroy(le_motion* m);
/* The calling thread's last error of the le_motion_* family ("" if none). */
LE_API const char* le_motion_last_error(void);
/* Appends samples: 1 (count 0 included), 0 for NULL samples or generator, a
 * negative count, or after finish. */
LE_API int le_motion_push(le_motion* m, const float* samples, int count);
/* Marks the end of the audio and builds the final motion. */
LE_API void le_motion_finish(le_motion* m);
/* -1 until finished, then ceil(samples / 640). */
LE_API int le_motion_total(le_motion* m);
/* Frames that can be pulled now; does the audio and motion work now due. */
LE_API int le_motion_avail(le_motion* m);
/* Writes up to max_frames frames: corpus index (1 int, corpus_index may be
 * NULL), corpus keypoints and driven keypoints (63 floats each). Returns
 * the frames written; after a failure, those written before it. */
LE_API int le_motion_pull(le_motion* m, int* corpus_index, float* base_kp, float* driven_kp,
                          int max_frames);
/* Starts the next utterance at corpus frame start (clamped into the corpus),
 * walking forwards (direction >= 0) or backwards, looping (loop != 0) or
 * bouncing at the ends. */
LE_API void le_motion_reset(le_motion* m, int start, int direction, int loop);
/* 0 turns eager mode off; 1 or more releases provisional frames every that
 * many frames of audio; below 0 lets the measured cost choose the step.
 * Provisional frames come early, before their look-ahead audio. */
LE_API void le_motion_set_eager(le_motion* m, int eager);
/* Corpus frames; 0 for NULL. */
LE_API int le_motion_nt(const le_motion* m);

/* ------------------------------------------------------------------------
 * The batch stream renderer (le_stream_*): renders a whole clip of speech
 * in one call. Motion deltas come from the frame-chunk conditioner
 * (fca_stream.onnx of the bundle), the corpus walk starts at frame 0 on
 * every run, a render thread works up to 4 crops ahead, and the calling
 * thread pastes each crop into its driver frame and hands it to the
 * callback, in order. Runs of one renderer must not overlap. The family
 * keeps its own per-thread last error.
 * ------------------------------------------------------------------------ */

typedef struct le_stream le_stream;

/* Receives frame number `frame` (from 0): w x h x 3 bytes RGB, valid only
 * during the call. */
typedef void (*le_stream_frame_fn)(void* user, int frame, const uint8_t* rgb, int w, int h);

/* Opens the bundle's "render" model and the conditioner on audio_model.
 * The first `skip` frames of every clip are not rendered (a negative skip
 * counts as 0); deltas are scaled by gain. NULL on failure. */
LE_API le_stream* le_stream_create(const char* bundle_dir, const char* audio_model, int threads,
                                   int skip, float gain);
/* Renders the clip and delivers its frames to on_frame (may be NULL).
 * Returns the frames delivered, 0 when the clip has none after skip, -1 on
 * failure (no frame at or after a failing one is delivered). */
LE_API int le_stream_run(le_stream* s, const float* samples, int count, le_stream_frame_fn on_frame,
                         void* user);
/* Size of the delivered frames; 0 for NULL. */
LE_API int le_stream_width(const le_stream* s);
LE_API int le_stream_height(const le_stream* s);
/* NULL is ignored. */
LE_API void le_stream_destroy(le_stream* s);
/* The calling thread's last error of the le_stream_* family ("" if none). */
LE_API const char* le_stream_last_error(void);

/* ------------------------------------------------------------------------
 * Utterance sessions (le_utt_*): push speech, pull finished frames.
 *
 * A session runs on a context (which must outlive it) and a motion
 * directory. Its own threads turn the audio into motion, render faces and
 * paste them into the driver frames; the host's calls only touch queues
 * under the session's lock and never wait for rendering. Between utterances
 * the session delivers the idle loop (the driver video's own frames), during
 * one it delivers speech frames, and after one it eases back over a few ramp
 * frames. At most 8 finished frames wait for the host; an idle frame is made
 * only when none waits, so pull at your own pace (typically 25 fps).
 *
 * Every function may be called from any host thread; one session may be used
 * from several threads at once. The family keeps its own per-thread last
 * error (le_utt_last_error); only le_utt_create empties it on entry.
 * ------------------------------------------------------------------------ */

typedef struct le_utt le_utt;

/* Creation options; zero every field you do not set. */
typedef struct le_utt_opts {
  const char* motion_dir;    /* required: the motion directory (or IMX container) */
  int threads;               /* threads of the motion source; < 1: the context's */
  const char* ep;            /* execution provider of the motion generator; NULL: none */
  const char* steady_model;  /* model key of the batch renderer; NULL or "": "b24_fp32";
                                "-": none. $LE_STEADY_MODEL replaces it when set. */
  int eager;                 /* -2: hybrid; >= 1: fixed eager value; else from $LE_UTT_HYBRID */
  double end_silence_s;      /* silence after the last push that ends an utterance;
                                0: 0.6 s; negative: only le_utt_end_utterance ends one */
  int end_ramp_frames;       /* ramp after an utterance; < 1: 6 */
  int interrupt_ramp_frames; /* ramp after an interrupt; < 1: 4 */
} le_utt_opts;

/* Frame kinds (le_utt_frame_info.kind). */
enum {
  LE_UTT_KIND_IDLE = 0,   /* the idle loop's driver frame */
  LE_UTT_KIND_SPEECH = 1, /* a rendered frame of an utterance */
  LE_UTT_KIND_RAMP = 2    /* a rendered frame easing back to the idle loop */
};

/* Session states (le_utt_stats.state). */
enum {
  LE_UTT_STATE_IDLE = 0,
  LE_UTT_STATE_WAITING = 1, /* an utterance started; waiting for its motion */
  LE_UTT_STATE_SPEAKING = 2,
  LE_UTT_STATE_RAMP = 3
};

/* What a pulled frame shows. */
typedef struct le_utt_frame_info {
  int64_t seq;    /* sequence number over the session's life, from 0; frames dropped
                     by an interrupt leave their numbers unused */
  int32_t kind;   /* LE_UTT_KIND_*: 0 idle, 1 speech, 2 ramp */
  int32_t index;  /* corpus (driver) frame shown */
  int32_t number; /* speech frame number within its utterance from 0; -1 otherwise */
} le_utt_frame_info;

typedef struct le_utt_stats {
  int64_t frames_out;         /* frames pulled */
  int64_t speech_frames_out;  /* pulled frames of kind 1 */
  int64_t utterances_started; /* utterances whose first speech frame was finished */
  double first_frame_ms;      /* latest such utterance: first push to first finished frame */
  double frame_cost_ms;       /* smoothed cost of one speech frame (render and hand-off) */
  int32_t state;              /* LE_UTT_STATE_*: 0 idle, 1 waiting for motion, 2 speaking, 3 ramp */
} le_utt_stats;

/* Opens a session and starts its threads; the motion source and the batch
 * renderer load on a warm-up thread (see le_utt_ready). Idle frames are
 * available at once. NULL on failure. */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);
/* le_utt_create with motion_dir and every other option zero. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);
/* Stops and joins the session's threads and frees it; NULL is ignored.
 * Waits at most for the motion-source call or render in progress. */
LE_API void le_utt_destroy(le_utt* s);
/* The calling thread's last error of the le_utt_* family ("" if none). */
LE_API const char* le_utt_last_error(void);
/* 1 once the motion source is loaded, 0 before; -1 for NULL, and -1 when the
 * warm-up failed (its message becomes the last error). Audio pushed before
 * the source is loaded is dropped, so wait for 1 before speaking. */
LE_API int le_utt_ready(le_utt* s);
/* Audio a session holds that is neither spoken nor dropped: pushed and not
 * yet taken, plus the unspoken rest of the utterance in progress. */
#define LE_UTT_MAX_HELD_SAMPLES (16000 * 300) /* 300 s at 16 kHz */
/* Appends 16-bit PCM, 16 kHz mono. Returns 1; 0 for bad arguments, and 0
 * (nothing appended) when the held audio would exceed
 * LE_UTT_MAX_HELD_SAMPLES: push again once some of it is spoken. */
LE_API int le_utt_push_audio(le_utt* s, const int16_t* samples, int count);
/* Samples the session holds now (see LE_UTT_MAX_HELD_SAMPLES); 0 for NULL. */
LE_API int64_t le_utt_held_audio(le_utt* s);
/* The current utterance ends once its audio has been spoken. */
LE_API void le_utt_end_utterance(le_utt* s);
/* Drops the current utterance, its pending audio and every waiting frame;
 * the next frames ease from the last pulled one back to the idle loop. Audio
 * pushed after this call returns opens the next utterance. */
LE_API void le_utt_interrupt(le_utt* s);
/* Frames that may be pulled now (0 for NULL). While an utterance's audio
 * is still arriving, its first speech frames are held back until the motion
 * in hand lasts until the next block of it is due (at most 9 frames, about
 * 160-200 ms with the a2x stream), so a host pulling at 25 fps never runs
 * dry in the middle of speech; audio that is complete when its first frames
 * come is not held. */
LE_API int le_utt_frames_available(le_utt* s);
/* Copies the oldest waiting frame (W x H x 3 bytes RGB) into dst. Returns 1,
 * or 0 when none waits (no error), when cap is too small (the frame stays)
 * or for bad arguments. Never blocks on rendering. */
LE_API int le_utt_pull_frame(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info);
/* le_utt_pull_frame, telling also where a speech frame's voice is in the
 * audio the host pushed: *audio_at (may be NULL) is the position, in samples
 * counted from the session's first accepted push, of the first of the 640
 * samples the frame speaks (those past the end of its utterance's audio are
 * not its own); -1 for idle and ramp frames. Accepted pushes count whether or
 * not they were spoken: audio of an utterance that failed, or that an
 * interrupt dropped, keeps its place; refused pushes do not count. A host
 * keeping what it pushed plays [*audio_at, *audio_at + 640) under the frame,
 * even when an utterance never showed. dst may be NULL with cap 0: the
 * frame is taken without its pixels, for a host that holds its picture
 * already (an idle frame it keeps, found by le_utt_peek_frame). Errors as
 * le_utt_pull_frame's. */
LE_API int le_utt_pull_frame_at(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info,
                                int64_t* audio_at);
/* Samples of audio one frame speaks: 40 ms at 16 kHz. */
#define LE_UTT_FRAME_SAMPLES 640
/* le_utt_pull_frame_at, bringing also the frame's own voice: voice (may be
 * NULL) receives LE_UTT_FRAME_SAMPLES samples, the 640 a speech frame speaks
 * (silence past the end of its utterance's audio), silence for idle and ramp
 * frames. The session keeps a speech frame's audio with the frame, so a host
 * plays it under the frame without keeping its own copy of what it pushed.
 * dst may be NULL with cap 0, and audio_at NULL, as for le_utt_pull_frame_at. */
LE_API int le_utt_pull_frame_voice(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info,
                                   int64_t* audio_at, int16_t* voice);
/* The frame le_utt_pull_frame would take next, left in place: fills *info
 * and *audio_at (either may be NULL) and returns 1, or 0 when none can be
 * pulled now (not counted as an underrun). */
LE_API int le_utt_peek_frame(le_utt* s, le_utt_frame_info* info, int64_t* audio_at);
/* Fills *stats; nothing for NULL arguments. */
LE_API void le_utt_get_stats(le_utt* s, le_utt_stats* stats);
/* Copies the latest render failure ("" if none) into text (at most len - 1
 * bytes, terminated) and the failure count into *failures (may be NULL).
 * Returns -1 once a fatal failure (a speech or ramp frame lost) was seen,
 * else 0. The session goes on after a failure: a speech frame that fails
 * twice is given up (its number stays unused), a failing motion source ends
 * its utterance ("... motion: ..."), a lost idle frame is not fatal. */
LE_API int le_utt_render_status(le_utt* s, char* text, int len, int64_t* failures);

/* Teeth borrow on a session: every rendered face then takes the inside of
 * its mouth from donor mouths of the bundle's reference bank before it is
 * pasted, one frame later than without it. The arguments are the loaded
 * members (le_tessera_members_*) with the bank decoded into donor order;
 * manifest_json is the bundle's manifest text. Attaching again replaces the
 * borrow and clears its counters and failure. Returns 0 when armed, or 1 with
 * the message in err (at most err_len - 1 bytes, always terminated). */
LE_API int le_utt_tessera_attach(le_utt* s, const uint8_t* band, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture,
                                 const int32_t* stamp, const uint8_t* head_pt, int64_t head_pt_len,
                                 const char* head_json, const char* manifest_json, char* err,
                                 int err_len);
/* le_utt_tessera_attach from the teeth members of the session's own bundle:
 * loads them, decodes the bank track and attaches. Returns 0 when armed, 1
 * with the message in err, or 2 when the bundle carries no complete set of
 * members (nothing attached, err empty). */
LE_API int le_utt_tessera_attach_bundle(le_utt* s, char* err, int err_len);
/* Frames the borrow wrote (*applied) and skipped (*skipped; either pointer
 * may be NULL), and the failure reason ("" while healthy) in reason. Returns
 * LE_BORROW_NONE (0) with no borrow attached, LE_BORROW_HEALTHY (1) attached
 * and healthy, LE_BORROW_FAILED (255) attached and failed: a failed borrow
 * delivers no frames until it is attached again. */
enum { LE_BORROW_NONE = 0, LE_BORROW_HEALTHY = 1, LE_BORROW_FAILED = 255 };
LE_API int le_utt_tessera_stats(le_utt* s, int64_t* applied, int64_t* skipped, char* reason,
                                int reason_len);
/* Mean and largest synthesis weight over the frames the borrow blended, and
 * their count. Returns 1 when at least one frame has statistics, else 0. */
LE_API int le_utt_tessera_synth_w(le_utt* s, double* mean, double* max, int64_t* frames);
/* Copies the corpus geometry the borrow composes with ("v1", "v2" or "v3";
 * "" without a borrow). Returns 1 when a borrow is attached, else 0. */
LE_API int le_utt_tessera_geometry(le_utt* s, char* buf, int len);

/* ------------------------------------------------------------------------
 * Voice activity (le_vad_*): the chance that each 32 ms of 16 kHz mono audio
 * holds speech, from the Silero VAD v5 network (silero_vad_v5.onnx), run on
 * one thread. A detector follows one stream: each call continues from the
 * previous chunk, so feed the stream's chunks in order, without gaps, and
 * reset between streams. One thread at a time per detector; detectors are
 * independent. le_vad_open and le_vad_chance empty the last error
 * (le_last_error) on entry and set it on failure.
 * ------------------------------------------------------------------------ */

typedef struct le_vad le_vad;

/* Samples of one call: 32 ms at 16 kHz. */
#define LE_VAD_CHUNK_SAMPLES 512

/* Opens the network at model_path. NULL on failure: the last error names
 * the file and why (unreadable, or not this network and what differs). */
LE_API le_vad* le_vad_open(const char* model_path);
/* The chance (0..1) that the next n samples of the stream hold speech; n
 * must be LE_VAD_CHUNK_SAMPLES. Samples are in [-1, 1] (values beyond are
 * clipped). -1 for bad arguments, a sample that is not finite or a failed
 * run, with the last error set; the stream's state is then unchanged. */
LE_API float le_vad_chance(le_vad* vad, const float* samples, size_t n);
/* A new stream: state and context back to zero. NULL is ignored. */
LE_API void le_vad_reset(le_vad* vad);
/* NULL is ignored. */
LE_API void le_vad_close(le_vad* vad);

/* ------------------------------------------------------------------------
 * Telemetry: a process-wide list of named measurements and events that the
 * engine records as it works (an utterance session records, per utterance,
 * "utt.first_frame_ms", "utt.speech_frames", "utt.frame_cost_mean_ms",
 * "utt.frame_cost_max_ms" and "utt.underruns"). The host drains it as JSON.
 * The list keeps the newest 4096 records; older ones are counted as dropped.
 * ------------------------------------------------------------------------ */

/* Records a measurement; name NULL or "" is ignored. */
LE_API void le_tel_record(const char* name, double value);
/* Records an event with a text value. */
LE_API void le_tel_record_str(const char* name, const char* value);
/* The pending records as one JSON document:
 *   {"dropped": N, "records": [{"seq": S, "t_ms": T, "name": "...", "value": V}, ...]}
 * with t_ms milliseconds since the first record of the process and V a
 * number or a string. Valid until this thread's next le_tel_pending_json. */
LE_API const char* le_tel_pending_json(void);
/* Removes the records that this thread's latest le_tel_pending_json listed
 * (records made since stay pending) and returns how many were removed. */
LE_API int le_tel_flush(void);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* The host keypoint contract: 21 rows of 3 floats. */
constexpr int kHostKpRows = 21;
/* Floats of one keypoint set. */
constexpr int kKpFloats = kHostKpRows * 3;
}  // namespace le
#endif

#endif /* LE_LE_H */
