"""The live server's command line: its flags, checked, the server they
build, and the run until a signal ends it."""

import argparse
import logging
import os

import av
import av.logging

import vever

from . import worker
from .idleloop import KEYFRAME_EVERY, LOOP_MIB
from .memory import limit_heap_arenas
from .microphone import PAUSE_MS, find_vad_model
from .photo import AVATAR_SECONDS, MAX_PHOTO_MIB
from .routes import CONNECT_SECONDS, IDLE_CACHE_MIB, MAX_QUEUED_SECONDS, Server
from .security import TOKEN_ENV
from .speech import MAX_AUDIO_SECONDS, MAX_TEXT_CHARS
from .stream import MAX_MESSAGE_BYTES

log = logging.getLogger("vever.serve")


def is_loopback(host):
    return host in ("localhost", "::1") or host.startswith("127.")


def parser():
    ap = argparse.ArgumentParser(prog="python3 -m vever.serve",
                                 description="Serve a live talking avatar over WebRTC.")
    ap.add_argument("bundle")
    ap.add_argument("motion_dir")
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--max-sessions", type=int, default=1,
                    help="live sessions at once (default 1: what 2 cores hold at 25 fps "
                         "with the demo avatar; see the README)")
    ap.add_argument("--threads", type=int, default=1, help="engine threads per session")
    ap.add_argument("--token-secret", default=os.environ.get(TOKEN_ENV),
                    help="require a token signed with this secret to open a session "
                         "(default: $%s; off when unset)" % TOKEN_ENV)
    ap.add_argument("--max-text-chars", type=int, default=MAX_TEXT_CHARS,
                    help="characters of one typed text, spoken as espeak-ng makes it; its "
                         "speech is still bound by --max-audio-seconds (default %(default)s)")
    ap.add_argument("--max-audio-seconds", type=float, default=MAX_AUDIO_SECONDS,
                    help="seconds of speech in one request (default %(default)s)")
    ap.add_argument("--max-queued-seconds", type=float, default=MAX_QUEUED_SECONDS,
                    help="seconds of speech one visitor may have waiting (default "
                         "%(default)s, at most the engine's 300)")
    ap.add_argument("--max-stream-message-kib", type=float, default=MAX_MESSAGE_BYTES / 1024,
                    help="bytes of one audio message on /stream in KiB; more is refused, "
                         "twice as much closes the socket (default %(default)g)")
    ap.add_argument("--max-body-mib", type=float, default=None,
                    help="bytes of a /speak body in MiB (default: what a WAV of "
                         "--max-audio-seconds at 48 kHz stereo takes in base64)")
    ap.add_argument("--worker-name", default=None,
                    help="this worker's name behind a balancer: it starts every session id "
                         "and labels the metrics (default: none, ids without a prefix)")
    ap.add_argument("--drain-seconds", type=float, default=60.0,
                    help="on SIGTERM, how long live sessions may go on before they are "
                         "closed (default %(default)s)")
    ap.add_argument("--ice-server", action="append", default=None, metavar="URL",
                    help="STUN or TURN server for the peer connections, repeatable: "
                         "stun:HOST[:PORT] or turn:USER:PASSWORD@HOST[:PORT][?transport=tcp] "
                         "(default: $%s, space-separated)" % worker.ICE_ENV)
    ap.add_argument("--connect-seconds", type=float, default=CONNECT_SECONDS,
                    help="seconds a visitor's connection may take to come up before "
                         "the session is closed (default %(default)s)")
    ap.add_argument("--idle-cache-mib", type=float, default=IDLE_CACHE_MIB,
                    help="memory for the idle loop's pictures converted once for every "
                         "visitor; 0 converts them per visitor (default %(default)s)")
    ap.add_argument("--idle-loop-mib", type=float, default=LOOP_MIB,
                    help="memory for the idle loop's video, encoded once in VP8 (a keyframe "
                         "every %d frames) and sent to every idle visitor instead of each "
                         "visitor's own encoder's; 0 has every visitor encode its own "
                         "(default %%(default)g)" % KEYFRAME_EVERY)
    ap.add_argument("--vad-model", default=None, metavar="ONNX",
                    help="the Silero VAD model that finds speech in a visitor's microphone "
                         "(default: the one scripts/setup installs; without one the page "
                         "has no microphone mode)")
    ap.add_argument("--mic-pause-ms", type=float, default=PAUSE_MS,
                    help="a pause in the visitor's speech this long ends the avatar's "
                         "utterance; shorter pauses are spoken through (default %(default)g)")
    ap.add_argument("--max-photo-mib", type=float, default=MAX_PHOTO_MIB,
                    help="size of a photo a visitor uploads for an avatar of their own "
                         "(default %(default)g)")
    ap.add_argument("--avatar-seconds", type=float, default=AVATAR_SECONDS,
                    help="time the avatar of a visitor's photo may take to build; one builds "
                         "at a time, at a lower priority than the live sessions "
                         "(default %(default)g)")
    ap.add_argument("--avatar-dir", default=None, metavar="DIR",
                    help="where visitors' photos and avatars are kept while they stay, in a "
                         "directory of this server's own (default: the system's temporary "
                         "directory)")
    return ap


def log_lines():
    """Visitors' and libraries' lines as "[vever.serve] ..."; the engine's
    keep their own "[le-driver] ..." form."""
    logging.basicConfig(level=logging.INFO, format="[vever.serve] %(message)s")
    for noisy in ("aioice", "aiortc", "aiohttp.access"):
        logging.getLogger(noisy).setLevel(logging.WARNING)
    av.logging.set_level(av.logging.ERROR)
    engine_log = logging.getLogger("vever.engine")
    engine_handler = logging.StreamHandler()
    engine_handler.setFormatter(logging.Formatter("%(message)s"))
    engine_log.addHandler(engine_handler)
    engine_log.propagate = False
    vever.log_to(engine_log)


def parse(argv=None):
    """The flags, checked (a wrong one exits with argparse's status 2), with
    the peer connections' ICE configuration in args.ice."""
    ap = parser()
    args = ap.parse_args(argv)
    limit_heap_arenas()  # before the engine's and asyncio's threads start
    log_lines()
    for path in (args.bundle, args.motion_dir):
        if not os.path.exists(path):
            ap.error("%s does not exist" % path)
    for name in ("max_text_chars", "max_audio_seconds", "max_queued_seconds",
                 "connect_seconds", "max_stream_message_kib", "max_photo_mib",
                 "avatar_seconds"):
        if getattr(args, name) <= 0:
            ap.error("--%s must be positive" % name.replace("_", "-"))
    if args.max_body_mib is not None and args.max_body_mib <= 0:
        ap.error("--max-body-mib must be positive")
    if args.worker_name is not None and worker.check_name(args.worker_name):
        ap.error(worker.check_name(args.worker_name))
    if args.drain_seconds < 0:
        ap.error("--drain-seconds must not be negative")
    if args.mic_pause_ms < 32:
        ap.error("--mic-pause-ms must be at least 32 (the detector's step)")
    try:
        args.vad_model = find_vad_model(args.vad_model)
    except ValueError as e:
        ap.error(str(e))
    if args.vad_model is None:
        log.warning("no voice-activity model: the page's microphone mode is off "
                    "(run scripts/setup, or give --vad-model)")
    if args.avatar_dir is not None and not os.path.isdir(args.avatar_dir):
        ap.error("--avatar-dir %s is not a directory" % args.avatar_dir)
    if args.idle_cache_mib < 0:
        ap.error("--idle-cache-mib must not be negative")
    if args.idle_loop_mib < 0:
        ap.error("--idle-loop-mib must not be negative")
    try:
        args.ice = worker.ice_configuration(args.ice_server if args.ice_server is not None
                                           else os.environ.get(worker.ICE_ENV, "").split())
    except ValueError as e:
        ap.error(str(e))
    if not args.token_secret and not is_loopback(args.host):
        log.warning("serving on %s without --token-secret: anyone who reaches the port can "
                    "open sessions", args.host)
    return args


def build(args):
    """The server the flags describe."""
    max_body = int(args.max_body_mib * 1024 * 1024) if args.max_body_mib else None
    return Server(args.bundle, args.motion_dir, max(1, args.max_sessions), args.threads,
                  token_secret=args.token_secret, max_text_chars=args.max_text_chars,
                  max_audio_seconds=args.max_audio_seconds,
                  max_queued_seconds=args.max_queued_seconds, max_body=max_body,
                  worker=args.worker_name, ice=args.ice,
                  connect_seconds=args.connect_seconds, idle_cache_mib=args.idle_cache_mib,
                  max_stream_message=max(2, int(args.max_stream_message_kib * 1024) & ~1),
                  vad_model=args.vad_model, mic_pause_ms=args.mic_pause_ms,
                  idle_loop_mib=args.idle_loop_mib, max_photo_mib=args.max_photo_mib,
                  avatar_seconds=args.avatar_seconds, avatar_dir=args.avatar_dir)


def run(server, args):
    """Serves until SIGINT (stop now) or SIGTERM (drain, then stop)."""
    print("[vever.serve] open http://%s:%d/ in a browser" % (args.host, args.port), flush=True)
    app = server.app()
    worker.add_routes(app, server)
    worker.serve(app, server, args.host, args.port, args.drain_seconds)


def main(argv=None):
    """python3 -m vever.serve: 0 once the server has stopped."""
    args = parse(argv)
    run(build(args), args)
    return 0
