"""What HAProxy adds to a request's time on loopback.

Starts one worker behind HAProxy (python3 -m vever.balance --workers 1) and
times the same requests through the balancer and straight at the worker,
alternately: POST /offer (a new session each time, closed again with /bye)
and POST /speak (40 ms of audio into a connected session, interrupted after
each). Prints the median and the 99th percentile of each, and the CPU time
HAProxy spent per request it passed.

    python3 bench/serve/bench_balance.py BUNDLE MOTION_DIR [--requests 200]
"""

import argparse
import asyncio
import base64
import http.client
import io
import json
import os
import signal
import socket
import subprocess
import sys
import time
import wave

import numpy as np
from aiortc import RTCPeerConnection, RTCSessionDescription


def free_base():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def timed(port, method, path, body):
    """(seconds, status, JSON) of one request on a fresh connection, as a browser's would be."""
    data = json.dumps(body)
    t = time.perf_counter()
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    c.request(method, path, body=data, headers={"Content-Type": "application/json"})
    r = c.getresponse()
    doc = json.loads(r.read())
    took = time.perf_counter() - t
    c.close()
    return took, r.status, doc


def wav_b64(seconds):
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        t = np.arange(int(seconds * 16000)) / 16000
        w.writeframes((np.sin(2 * np.pi * 180 * t) * 8000).astype(np.int16).tobytes())
    return base64.b64encode(buf.getvalue()).decode()


async def offer_sdp():
    pc = RTCPeerConnection()
    pc.addTransceiver("video", direction="recvonly")
    pc.addTransceiver("audio", direction="recvonly")
    await pc.setLocalDescription(await pc.createOffer())
    sdp = "\r\n".join(line for line in pc.localDescription.sdp.split("\r\n")
                      if "abs-send-time" not in line)
    return pc, sdp


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def summary(name, xs):
    xs = np.array(xs) * 1000
    return "%-22s median %7.2f ms   p99 %7.2f ms" % (name, np.median(xs), np.percentile(xs, 99))


async def main_async(args):
    base = free_base()
    env = dict(os.environ)
    fleet = subprocess.Popen(
        [sys.executable, "-m", "vever.balance", args.bundle, args.motion, "--workers", "1",
         "--port", str(base), "--max-sessions", "1", "--drain-seconds", "0"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    try:
        haproxy = None
        for line in fleet.stdout:
            if "] haproxy pid " in line:
                haproxy = int(line.split()[3])
            if "open http://127.0.0.1:%d/" % base in line:
                break
        cpu0 = cpu_seconds(haproxy)
        ports = {"balancer": base, "direct": base + 1}
        loop = asyncio.get_running_loop()
        offers = {k: [] for k in ports}
        _, sdp = await offer_sdp()
        for i in range(args.requests):
            for name, port in ports.items():
                took, status, doc = await loop.run_in_executor(
                    None, timed, port, "POST", "/offer", {"sdp": sdp, "type": "offer"})
                assert status == 200, doc
                offers[name].append(took)
                await loop.run_in_executor(None, timed, port, "POST", "/bye",
                                           {"session": doc["session"]})
        # /speak into one connected session.
        pc, sdp = await offer_sdp()
        _, status, doc = await loop.run_in_executor(None, timed, base, "POST", "/offer",
                                                    {"sdp": sdp, "type": "offer"})
        assert status == 200, doc
        await pc.setRemoteDescription(RTCSessionDescription(doc["sdp"], doc["type"]))
        sid = doc["session"]
        speaks = {k: [] for k in ports}
        wav = wav_b64(0.04)
        for i in range(args.requests):
            for name, port in ports.items():
                took, status, answer = await loop.run_in_executor(
                    None, timed, port, "POST", "/speak", {"session": sid, "wav_base64": wav})
                assert status == 200, answer
                speaks[name].append(took)
                await loop.run_in_executor(None, timed, port, "POST", "/interrupt",
                                           {"session": sid})
        await loop.run_in_executor(None, timed, base, "POST", "/bye", {"session": sid})
        await pc.close()
        cpu = cpu_seconds(haproxy) - cpu0
        passed = 4 * args.requests + 2  # offers, byes, speaks, interrupts, and one session
        print("%d requests each, alternating, on %d cores" % (args.requests, os.cpu_count()))
        print("haproxy CPU: %.3f s for %d requests, %.0f us each"
              % (cpu, passed, cpu / passed * 1e6))
        for name in ports:
            print(summary("/offer " + name, offers[name]))
        for name in ports:
            print(summary("/speak " + name, speaks[name]))
    finally:
        fleet.send_signal(signal.SIGINT)
        fleet.wait(60)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bundle")
    ap.add_argument("motion")
    ap.add_argument("--requests", type=int, default=200)
    asyncio.run(main_async(ap.parse_args()))


if __name__ == "__main__":
    main()
