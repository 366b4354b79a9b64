// The table of every environment variable the engine and its tool read.
// `vever env` prints it as the reference in docs/configuration.md, and a
// test holds the sources to it: a variable read anywhere else is a fault.
#include "base/le_env.h"

namespace le {

const EnvVar kEnvVars[] = {
    {"LE_CORE_THREADS", "engine (worker pool)", "min(4, hardware threads)",
     "the engine's thread budget, read once per process; below 1 counts as 1, above the hardware "
     "threads as the hardware threads. `bench_int8conv` runs itself with 1 and with 2 unless it is "
     "set"},
    {"LE_PASTE_THREADS", "engine (worker pool)", "unset",
     "the older name of `LE_CORE_THREADS`, read when that is unset or empty"},
    {"LE_IMX_UNWRAP_ROOT", "engine (bundles)", "beside the container",
     "where IMX containers are unwrapped"},
    {"TAVRIN2_MSRC_MISSING_OK", "engine (bundles)", "unset",
     "`1`: accept a manifest without a paste-space stamp, assuming the frame size (with a "
     "warning)"},
    {"LE_DRIVER_PREFER_MP4", "engine (driver)", "unset",
     "`1`: play the driver from its MP4 member even when the JPEG frame directory is populated"},
    {"LE_DRIVER_HWDEC", "engine (driver)", "tried",
     "`0`: do not try the hardware H.264 decoder (`h264_cuvid`)"},
    {"LE_DRIVER_CACHE_MIB", "engine (driver)", "1024",
     "the budget of the process's store of decoded driver and prior frames; 0 turns it off, and "
     "every cursor decodes every frame with four decoder threads ([decoded once per "
     "process](library.md#decoded-once-per-process))"},
    {"LE_ORT_SPIN", "engine (renderer, motion generator)", "off",
     "`1`: let ONNX Runtime's intra-op threads spin"},
    {"LE_ORT_PROFILE", "engine (renderer)", "unset",
     "`PREFIX`: profile the render session into `PREFIX*.json`"},
    {"LE_GS_FAST", "engine (renderer)", "on",
     "`0`: no GridSampleFast operator and no grid-sample rewrite"},
    {"VELMOOR_TAVRIN2_GRIDSAMPLE_FAST", "engine (renderer)", "unset",
     "the older name of `LE_GS_FAST`, read when that is unset"},
    {"LE_GS_REWRITE", "engine (renderer)", "on",
     "`0`: keep the GridSampleFast operator but not the rewrite"},
    {"LE_WARP_NODE", "engine (renderer)", "off",
     "`1`: replace the warp block with the WarpDirector operator (not with `LE_GS_FAST=0`)"},
    {"LE_CONV_BACKEND", "engine (renderer)", "unset",
     "`neon`: ask for the NEON convolution backend (absent on this build: the renderer says so and "
     "uses ONNX Runtime)"},
    {"W2V_ONNX", "engine (audio frontends), `vever info`", "unset",
     "the legacy audio frontend model: required by an a2x stream made with `le_a2x_create`; an "
     "utterance session, and so `vever speak`, the Python binding and the live server, uses the "
     "motion directory's own `w2v.onnx` when it is unset"},
    {"LE_A2X_W2V_WIN_ONNX", "engine (audio frontends)", "the pair beside the legacy model",
     "the short-window frontend's trunk (both must be set)"},
    {"LE_A2X_W2V_HEAD_ONNX", "engine (audio frontends)", "the pair beside the legacy model",
     "the short-window frontend's head (both must be set)"},
    {"LE_A2X_W2V_RIGHT", "engine (a2x stream)", "the motion directory's `w2v_right`, else 12",
     "look-ahead in frames"},
    {"LE_A2X_SILENCE_PRIME", "engine (a2x stream)", "the motion directory's own",
     "frames of silence a new stream is primed with"},
    {"LE_A2X_CUDA", "engine (audio frontends)", "off",
     "`1`: ask for the CUDA provider for the audio frontend (absent here: the log says so and the "
     "CPU serves)"},
    {"LE_A2X_CUDA_ALL", "engine (a2x models)", "off",
     "`1`, with `LE_A2X_CUDA=1`: the CUDA provider for every a2x model, not only the frontend"},
    {"LE_A2X_CUDA_MEM_MIB", "engine (a2x models)", "3072", "the CUDA provider's memory limit"},
    {"LE_MOTION_DUMP", "engine (motion generator)", "unset",
     "`DIR`: write the intermediate arrays into DIR as raw float32: `mel0.bin` and `feat0.bin` "
     "(log-mel block and speech features of the first window), `lmdm0_kp.bin`, `lmdm0_aud.bin` and "
     "`lmdm0_pred.bin` (first motion chunk's condition, rows and output), `xs.bin`, `xd.bin` "
     "(source and driving keypoints before stitching), `xsla.bin`, `xdla.bin` (corpus and driven "
     "rows as pulled), one row per emitted frame, and `res_post.bin`, `final.bin` (final motion "
     "before and after the clamp)"},
    {"LE_PASTE_FAST", "engine (paste)", "Lanczos", "`1`: cubic, `2`: bilinear paste"},
    {"LE_PASTE_KSIZE", "engine (paste)", "the manifest's", "`K`: a smaller odd unsharp kernel"},
    {"LE_STEADY_MODEL", "engine (sessions)", "`b24_fp32`",
     "`KEY`: the session's batch renderer renders full batches of speech frames with "
     "`model_KEY.onnx`; `-` for none: every frame renders alone. Replaces the host's "
     "`steady_model`"},
    {"LE_UTT_HYBRID", "engine (sessions)", "off",
     "set and not `0`: motion jobs run beside rendering, asking the motion source for 24 frames at "
     "a time when the backlog is long, 3 when short (unless the host sets `eager`)"},
    {"LE_UTT_PIPELINE_PASTE", "engine (sessions)",
     "1 with the streaming a2x motion source, 0 with the motion generator",
     "`1`: paste on the session's own paste thread; `0`: on the run thread"},
    {"LE_UTT_STAGE_REPORT", "engine (sessions)", "unset",
     "set: a session prints its per-stage timings (`[le_utt-stage] ...`) when it is destroyed"},
    {"TMPDIR", "`vever speak --text`", "`/tmp`",
     "where the spoken text's scratch WAV file is written"},
    {"VEVER_FACE_LANDMARKS", "`vever avatar`, `vever demo-bundle`",
     "`/usr/share/dlib/shape_predictor_68_face_landmarks.dat`",
     "dlib's 68-point face landmark model that places the avatar's keypoints"},
};
const size_t kEnvVarCount = sizeof kEnvVars / sizeof kEnvVars[0];

}  // namespace le
