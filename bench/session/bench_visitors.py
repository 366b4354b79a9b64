#!/usr/bin/env python3
"""What each further visitor of one avatar costs the process: resident memory
and start-up time of a context with its utterance session, and CPU while
their idle loops are pulled at 25 fps.

    bench_visitors.py BUNDLE MOTION_DIR [--visitors N] [--idle-seconds S]

Visitor k opens a context and a session, waits until the session is ready,
then every session so far is pulled at 25 fps for S seconds (so the first
visitor's loop has played through at least once before the next arrives).
Prints one line per visitor: the RSS it added, its start-up time and the
process's CPU per visitor while idle.
"""

import argparse
import os
import resource
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
import vever  # noqa: E402


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def pull_idle(sessions, seconds):
    """Pulls every session at 25 fps; returns frames pulled."""
    frames, start = 0, time.monotonic()
    images = [None] * len(sessions)
    tick = 0
    while time.monotonic() - start < seconds:
        for k, (ctx, s) in enumerate(sessions):
            f = s.pull(images[k])
            if f is not None:
                images[k] = f.image
                frames += 1
        tick += 1
        time.sleep(max(0.0, start + tick / vever.FPS - time.monotonic()))
    return frames


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("bundle")
    p.add_argument("motion_dir")
    p.add_argument("--visitors", type=int, default=3)
    p.add_argument("--idle-seconds", type=float, default=4.0)
    args = p.parse_args()
    sessions = []
    print("cache budget LE_DRIVER_CACHE_MIB=%s" % os.environ.get("LE_DRIVER_CACHE_MIB", "default"))
    for k in range(args.visitors):
        before, t0 = rss_mib(), time.monotonic()
        ctx = vever.Context(args.bundle)
        s = vever.Session(ctx, args.motion_dir, steady_model="-")
        s.wait_ready()
        start_ms = (time.monotonic() - t0) * 1000
        sessions.append((ctx, s))
        c0, w0 = cpu_seconds(), time.monotonic()
        frames = pull_idle(sessions, args.idle_seconds)
        cpu = (cpu_seconds() - c0) / (time.monotonic() - w0)
        print("visitor %d: +%.1f MiB resident (%.1f in all), ready in %.0f ms; idle: %d frames, "
              "%.3f cores for %d visitors (%.3f each)"
              % (k + 1, rss_mib() - before, rss_mib(), start_ms, frames, cpu, len(sessions),
                 cpu / len(sessions)), flush=True)
    for ctx, s in sessions:
        s.close()
        ctx.close()


if __name__ == "__main__":
    main()
