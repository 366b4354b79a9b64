"""python3 -m vever.balance: N live workers on one machine behind one HAProxy,
all in the foreground (vever.balancer runs them).

    python3 -m vever.balance BUNDLE MOTION_DIR --workers N [--port 8080]
                             [--host 127.0.0.1] [--max-sessions M]
                             [--drain-seconds S] [any other vever.serve flag]

HAProxy listens on --host:--port; worker k (named wk) on 127.0.0.1:port+k,
with --max-sessions slots.

Ctrl-C (SIGINT) stops everything now. SIGTERM drains: every worker stops
taking visitors and lets its sessions go on for up to --drain-seconds, then
HAProxy stops.
"""

import argparse
import sys

from vever.balancer import MAX_WORKERS, Balancer


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m vever.balance",
        description="N live workers behind one HAProxy; other flags go to every worker.")
    ap.add_argument("bundle")
    ap.add_argument("motion_dir")
    ap.add_argument("--workers", type=int, required=True)
    ap.add_argument("--port", type=int, default=8080)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--max-sessions", type=int, default=1, help="per worker (default 1)")
    ap.add_argument("--drain-seconds", type=float, default=60.0)
    args, rest = ap.parse_known_args(argv)
    if not 1 <= args.workers <= MAX_WORKERS:
        ap.error("--workers is 1 to %d" % MAX_WORKERS)
    if not 1 <= args.port <= 65535 - args.workers:
        ap.error("--port leaves no room for %d worker ports above it" % args.workers)
    if args.max_sessions < 1:
        ap.error("--max-sessions must be at least 1")
    for flag in ("--worker-name", "--port", "--host"):
        if any(r == flag or r.startswith(flag + "=") for r in rest):
            ap.error("%s is the balancer's to choose for each worker" % flag)
    return Balancer(args, rest).run()


if __name__ == "__main__":
    sys.exit(main())
