"""Many idle visitors at once: does the server send each of them 25 frames a
second, and what does each cost it? The clients are aiortc peers that take
every video frame off the wire without decoding it (their receivers count
encoded frames instead), so that their own work on this machine stays small.

    python3 bench/serve/bench_idle.py BUNDLE MOTION_DIR [--visitors 10]
                                      [--seconds 20] [--rounds 1] [--alone]

Prints, per visitor, the frames the server sent and the encoded frames that
arrived per second over the window, and the server's CPU per visitor. Each
round runs the server twice, alternated: every visitor's idle frames encoded
by its own encoder (--idle-loop-mib 0, as the server did before the shared
loop) and the idle loop encoded once for all of them (the default); the
figures of both stand side by side, with their ratio. --alone runs only the
server as it is (for a server without the flag, e.g. an older checkout's
through PYTHONPATH).
"""

import argparse
import asyncio
import os
import sys
import threading
import time

from aiortc import rtcrtpreceiver

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_live import Client, call, start_server, tree_cpu  # noqa: E402

arrived = {}  # id of a track's frame queue -> encoded frames taken off the wire
arrived_lock = threading.Lock()


def counting_worker(loop, input_q, output_q):
    """aiortc's decoding thread, without the decoding: counts what arrives."""
    key = id(output_q)
    while True:
        task = input_q.get()
        if task is None:
            asyncio.run_coroutine_threadsafe(output_q.put(None), loop)
            return
        with arrived_lock:
            arrived[key] = arrived.get(key, 0) + 1


rtcrtpreceiver.decoder_worker = counting_worker


class IdleClient(Client):
    """A visitor that never talks; its video is counted, not decoded."""

    async def read_video(self, track):
        self.video_key = id(track._queue)

    def arrived(self):
        with arrived_lock:
            return arrived.get(getattr(self, "video_key", None), 0)


async def measure(base, count, seconds, pid):
    clients = [IdleClient(base) for _ in range(count)]
    for c in clients:
        await c.connect()
    await asyncio.sleep(4)  # every connection up and its encoder warm
    sent0 = [c.stats()["frames_sent"] for c in clients]
    got0 = [c.arrived() for c in clients]
    t0, cpu0 = time.monotonic(), tree_cpu(pid)
    await asyncio.sleep(seconds)
    elapsed = time.monotonic() - t0
    cores = (tree_cpu(pid) - cpu0) / elapsed
    sent = [(c.stats()["frames_sent"] - s) / elapsed for c, s in zip(clients, sent0)]
    got = [(c.arrived() - g) / elapsed for c, g in zip(clients, got0)]
    for c in clients:
        call(base + "bye", {"session": c.sid})
        await c.pc.close()
    return sent, got, cores


def run(args, flags):
    server, base = start_server(["-m", "vever.serve", args.bundle, args.motion,
                                 "--max-sessions", str(args.visitors)] + flags)
    try:
        return asyncio.run(measure(base, args.visitors, args.seconds, server.pid))
    finally:
        server.terminate()
        server.wait(30)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bundle")
    ap.add_argument("motion")
    ap.add_argument("--visitors", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--alone", action="store_true")
    args = ap.parse_args()
    modes = [("as it is", [])] if args.alone else [
        ("own encoders", ["--idle-loop-mib", "0"]), ("shared loop", [])]
    print("%d idle visitors, %.0f s, %d cores" % (args.visitors, args.seconds, os.cpu_count()))
    per = {name: [] for name, _ in modes}
    for r in range(args.rounds):
        for name, flags in modes:
            sent, got, cores = run(args, flags)
            per[name].append(cores / args.visitors)
            print("round %d, %s:" % (r + 1, name))
            print("  frames sent per second, each:     " + " ".join("%.1f" % x for x in sent))
            print("  frames arrived per second, each:  " + " ".join("%.1f" % x for x in got))
            print("  server cores: %.2f in all, %.3f per visitor (load average %.1f)"
                  % (cores, cores / args.visitors, os.getloadavg()[0]), flush=True)
            time.sleep(2)
    print("server cores per idle visitor, round by round:")
    for name, _ in modes:
        print("  %-13s %s" % (name, " ".join("%.3f" % c for c in per[name])))
    if not args.alone:
        print("  shared / own: %s" % " ".join(
            "%.2f" % (b / a) for a, b in zip(per["own encoders"], per["shared loop"])))


if __name__ == "__main__":
    main()
