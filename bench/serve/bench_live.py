"""Live sessions over WebRTC on this machine, measured from the client side.

Starts the server on the demo avatar, connects 1, 2, ... aiortc clients (each
one visitor with its own session), keeps every visitor talking, and prints for
each count: the frame rate each client receives, the session's underruns
during speech and frame cost, the server's CPU per visitor idle and talking
(all its processes) next to the engine's frame cost taken as cores at
25 fps, the largest count that holds 25 fps with at most 2 late speech frames
per visitor in 20 s, and (with one client) the glass-to-glass
latency from the speak request to the first received frame whose mouth has
opened, next to the motion source's look-ahead.

    python3 bench/serve/bench_live.py BUNDLE MOTION_DIR [--seconds 60] [--max 3]
                                      [--workers N]
    (--workers N: N workers behind HAProxy, python3 -m vever.balance, instead
    of one server process)
    (scripts/bench runs it on the demo avatar with --seconds 30)
"""

import argparse
import asyncio
import base64
import json
import os
import socket
import subprocess
import sys
import time
import urllib.request

from aiortc import RTCPeerConnection, RTCSessionDescription

SENTENCE = ("This is a long sentence that keeps the avatar talking for several seconds, "
            "so that every frame of it is speech and we can count what arrives.")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tree_cpu(pid):
    """CPU seconds of a process and its live descendants (the workers and
    HAProxy behind vever.balance)."""
    total = 0.0
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                total += sum(tree_cpu(int(c)) for c in f.read().split())
    except OSError:  # a process that ended meanwhile
        pass
    return total


def start_server(args, env=None):
    """python3 ARGS --port P on a free port, once its /healthz answers:
    (process, base URL)."""
    port = free_port()
    server = subprocess.Popen([sys.executable] + list(args) + ["--port", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    base = "http://127.0.0.1:%d/" % port
    for _ in range(300):
        try:
            call(base + "healthz")
            break
        except OSError:
            time.sleep(0.1)
    return server, base


def call(url, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url, data=data, headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=60) as r:
        return json.loads(r.read())


class Client:
    def __init__(self, base):
        self.base = base
        self.pc = RTCPeerConnection()
        self.frames = []  # (arrival time, mouth brightness)
        self.sid = None
        self.tasks = []

    async def connect(self):
        self.pc.addTransceiver("video", direction="recvonly")
        self.pc.addTransceiver("audio", direction="recvonly")

        @self.pc.on("track")
        def on_track(track):
            # The loop keeps only weak references to tasks: hold them here.
            reader = self.read_video if track.kind == "video" else self.drain
            self.tasks.append(asyncio.ensure_future(reader(track)))

        await self.pc.setLocalDescription(await self.pc.createOffer())
        loop = asyncio.get_running_loop()
        # aiortc's receiver (1.4) fails to parse the abs-send-time header that its
        # own sender writes; leaving it out of the offer keeps it off the wire.
        sdp = "\r\n".join(line for line in self.pc.localDescription.sdp.split("\r\n")
                           if "abs-send-time" not in line)
        answer = await loop.run_in_executor(None, call, self.base + "offer",
                                            {"sdp": sdp, "type": "offer"})
        self.sid = answer["session"]
        await self.pc.setRemoteDescription(RTCSessionDescription(answer["sdp"], answer["type"]))

    async def read_video(self, track):
        while True:
            try:
                frame = await track.recv()
            except Exception:  # the track ended with the connection
                return
            img = frame.to_ndarray(format="rgb24")
            self.frames.append((time.monotonic(), float(img[128:164, 196:256].mean())))

    async def drain(self, track):
        while True:
            try:
                await track.recv()
            except Exception:
                return

    async def speak(self, wav):
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, call, self.base + "speak",
                                   {"session": self.sid, "wav_base64": wav})

    def stats(self):
        with urllib.request.urlopen(self.base + "stats?session=" + self.sid, timeout=10) as r:
            return json.loads(r.read())


async def run(base, count, seconds, wav, speech_s, pid):
    clients = [Client(base) for _ in range(count)]
    for c in clients:
        await c.connect()
    await asyncio.sleep(1)
    t0, c0 = time.monotonic(), tree_cpu(pid)
    await asyncio.sleep(3)  # connected and idling
    idle_cores = (tree_cpu(pid) - c0) / (time.monotonic() - t0) / count
    t0 = time.monotonic()
    latency = None
    if count == 1:
        # Glass to glass: the idle mouth's range, then the first frame outside it.
        idle = [m for t, m in clients[0].frames if t > t0 - 2]
        lo, hi = min(idle), max(idle)
        margin = 0.5 * (hi - lo) + 2.0
        sent = time.monotonic()
        await clients[0].speak(wav)
        for _ in range(200):
            await asyncio.sleep(0.01)
            hit = [t for t, m in clients[0].frames if t > sent and (m < lo - margin or m > hi + margin)]
            if hit:
                latency = (hit[0] - sent) * 1000
                break
    start = [len(c.frames) for c in clients]
    next_speak = [time.monotonic() if count > 1 else time.monotonic() + speech_s] * count
    t_start, cpu_start = time.monotonic(), tree_cpu(pid)
    while time.monotonic() - t_start < seconds:
        for i, c in enumerate(clients):
            if time.monotonic() >= next_speak[i]:
                await c.speak(wav)
                next_speak[i] = time.monotonic() + speech_s
        await asyncio.sleep(0.1)
    elapsed = time.monotonic() - t_start
    talking_cores = (tree_cpu(pid) - cpu_start) / elapsed / count
    rows = []
    for c, s0 in zip(clients, start):
        st = c.stats()
        rows.append(((len(c.frames) - s0) / elapsed, st["underruns"], st["frame_cost_ms"],
                     st["speech_frames_out"]))
        call(c.base + "bye", {"session": c.sid})
        await c.pc.close()
    return rows, latency, idle_cores, talking_cores


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bundle")
    ap.add_argument("motion")
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--max", type=int, default=3)
    ap.add_argument("--workers", type=int, default=0)
    args = ap.parse_args()
    wav_bytes = subprocess.run(["espeak-ng", "--stdout", SENTENCE], check=True,
                               capture_output=True).stdout
    speech_s = (len(wav_bytes) - 44) / 2 / 22050  # espeak-ng speaks 16-bit mono at 22.05 kHz
    wav = base64.b64encode(wav_bytes).decode()
    env = dict(os.environ)
    if args.workers:
        slots = -(-args.max // args.workers)
        command = ["-m", "vever.balance", args.bundle, args.motion, "--workers",
                   str(args.workers), "--max-sessions", str(slots), "--drain-seconds", "0"]
    else:
        command = ["-m", "vever.serve", args.bundle, args.motion, "--max-sessions", str(args.max)]
    server, base = start_server(command, env)
    try:
        print("live sessions over WebRTC, %d cores, %.0f s each, speech %.1f s per utterance"
              % (os.cpu_count(), args.seconds, speech_s))
        print("%-9s %-22s %-18s %-15s %-27s %s" % (
            "sessions", "received fps (each)", "speech underruns", "frame cost ms",
            "server cores/visitor idle, talking", "engine cores/visitor"))
        holds = 0
        for n in range(1, args.max + 1):
            rows, latency, idle, talking = asyncio.run(
                run(base, n, args.seconds, wav, speech_s, server.pid))
            print("%-9d %-22s %-18s %-15s %-27s %s" % (
                n, " ".join("%.1f" % r[0] for r in rows), " ".join(str(r[1]) for r in rows),
                " ".join("%.1f" % r[2] for r in rows), "%.2f, %.2f" % (idle, talking),
                " ".join("%.2f" % (r[2] * 25 / 1000) for r in rows)), flush=True)
            # Late speech frames are the session's underruns: at most 2 in 20 s each.
            if holds == n - 1 and all(r[0] >= 24.5 and r[1] <= 2 * args.seconds / 20
                                      for r in rows):
                holds = n
            if latency is not None:
                print("          glass to glass (speak request -> first opened mouth received): "
                      "%.0f ms" % latency)
            time.sleep(2)
        print("talking visitors held at 25 fps with at most 2 late speech frames each in "
              "20 s: %d" % holds)
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
