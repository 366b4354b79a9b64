"""Loads libvever_core.so and declares the C interface (le/le.h) for ctypes."""

import ctypes
import os
import sys

LIB_NAME = "libvever_core.so"


def checkout():
    """The source checkout this package runs from, or None when installed."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return root if os.path.exists(os.path.join(root, "CMakeLists.txt")) else None


def _candidates():
    env = os.environ.get("VEVER_LIB")
    if env:
        # An explicit choice is final: a wrong path must not fall back silently.
        return [env]
    here = os.path.dirname(os.path.abspath(__file__))
    paths = [os.path.join(here, LIB_NAME)]
    root = checkout()
    if root:
        # Run from a checkout: its build tree.
        build = os.environ.get("LE_BUILD_DIR") or os.path.join(root, "build")
        paths.append(os.path.join(build, LIB_NAME))
    # Where `cmake --install` puts it: this environment's prefix (a virtual
    # environment's, say), then CMake's default prefix, which the loader does
    # not search before ldconfig has run.
    for prefix in (sys.prefix, "/usr/local"):
        paths.append(os.path.join(prefix, "lib", LIB_NAME))
    # Last, the system loader's own search (LD_LIBRARY_PATH, ld.so.cache).
    return [p for p in paths if os.path.exists(p)] + [LIB_NAME]


def _load():
    tried = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            tried.append(str(e))
    raise OSError("vever: cannot load %s (set VEVER_LIB to its path): %s"
                  % (LIB_NAME, "; ".join(tried)))


class UttOpts(ctypes.Structure):
    _fields_ = [
        ("motion_dir", ctypes.c_char_p),
        ("threads", ctypes.c_int),
        ("ep", ctypes.c_char_p),
        ("steady_model", ctypes.c_char_p),
        ("eager", ctypes.c_int),
        ("end_silence_s", ctypes.c_double),
        ("end_ramp_frames", ctypes.c_int),
        ("interrupt_ramp_frames", ctypes.c_int),
    ]


class UttFrameInfo(ctypes.Structure):
    _fields_ = [
        ("seq", ctypes.c_int64),
        ("kind", ctypes.c_int32),
        ("index", ctypes.c_int32),
        ("number", ctypes.c_int32),
    ]


class UttStats(ctypes.Structure):
    _fields_ = [
        ("frames_out", ctypes.c_int64),
        ("speech_frames_out", ctypes.c_int64),
        ("utterances_started", ctypes.c_int64),
        ("first_frame_ms", ctypes.c_double),
        ("frame_cost_ms", ctypes.c_double),
        ("state", ctypes.c_int32),
    ]


_vp = ctypes.c_void_p
_int = ctypes.c_int
_str = ctypes.c_char_p
_fp = ctypes.POINTER(ctypes.c_float)
_u8p = ctypes.POINTER(ctypes.c_uint8)
# void (*)(void* user, int level, const char* subsystem, const char* line)
LOG_FN = ctypes.CFUNCTYPE(None, _vp, _int, _str, _str)

# name: (restype, argtypes)
_SIGNATURES = {
    "le_create": (_vp, [_str, _str, _int, _str]),
    "le_destroy": (None, [_vp]),
    "le_last_error": (_str, []),
    "le_host_kp_rows": (_int, []),
    "le_version": (_str, []),
    "le_set_log_callback": (None, [LOG_FN, _vp]),
    "le_nt": (_int, [_vp]),
    "le_width": (_int, [_vp]),
    "le_height": (_int, [_vp]),
    "le_crop": (_int, [_vp]),
    "le_drive_frames": (_int, [_vp]),
    "le_render_kp_crop": (_fp, [_vp, _int, _fp, _fp]),
    "le_render_drive_crop": (_fp, [_vp, _int]),
    "le_paste_crop": (_int, [_vp, _int, _fp, _u8p, ctypes.c_uint64]),
    "le_target_frame": (_u8p, [_vp, _int]),
    "le_utt_create": (_vp, [_vp, ctypes.POINTER(UttOpts)]),
    "le_utt_destroy": (None, [_vp]),
    "le_utt_last_error": (_str, []),
    "le_utt_ready": (_int, [_vp]),
    "le_utt_push_audio": (_int, [_vp, ctypes.POINTER(ctypes.c_int16), _int]),
    "le_utt_held_audio": (ctypes.c_int64, [_vp]),
    "le_utt_end_utterance": (None, [_vp]),
    "le_utt_interrupt": (None, [_vp]),
    "le_utt_frames_available": (_int, [_vp]),
    "le_utt_pull_frame": (_int, [_vp, _u8p, ctypes.c_uint64, ctypes.POINTER(UttFrameInfo)]),
    "le_utt_pull_frame_at": (_int, [_vp, _u8p, ctypes.c_uint64, ctypes.POINTER(UttFrameInfo),
                                    ctypes.POINTER(ctypes.c_int64)]),
    "le_utt_pull_frame_voice": (_int, [_vp, _u8p, ctypes.c_uint64, ctypes.POINTER(UttFrameInfo),
                                       ctypes.POINTER(ctypes.c_int64),
                                       ctypes.POINTER(ctypes.c_int16)]),
    "le_utt_peek_frame": (_int, [_vp, ctypes.POINTER(UttFrameInfo), ctypes.POINTER(ctypes.c_int64)]),
    "le_utt_get_stats": (None, [_vp, ctypes.POINTER(UttStats)]),
    "le_utt_render_status": (_int, [_vp, ctypes.c_char_p, _int, ctypes.POINTER(ctypes.c_int64)]),
    "le_vad_open": (_vp, [_str]),
    "le_vad_chance": (ctypes.c_float, [_vp, _fp, ctypes.c_size_t]),
    "le_vad_reset": (None, [_vp]),
    "le_vad_close": (None, [_vp]),
    "le_tel_record": (None, [_str, ctypes.c_double]),
    "le_tel_pending_json": (_str, []),
    "le_tel_flush": (_int, []),
}


def _declare(lib):
    for name, (res, args) in _SIGNATURES.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args
    return lib


lib = _declare(_load())


def path():
    """The file the engine library was loaded from, as the loader resolved it."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                if "/" + LIB_NAME in line:
                    return line[line.index("/"):].rstrip()
    except OSError:
        pass
    return lib._name


def text(raw):
    """Engine text (bytes) as str, byte-exact where it is UTF-8."""
    return raw.decode("utf-8", "replace") if raw else ""
