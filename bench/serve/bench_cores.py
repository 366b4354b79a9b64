"""Cores one live visitor costs a worker, idle and talking: the CPU time of
the server process over a window, divided by the window, with one aiortc
client connected (receiving and decoding in this process, not counted).

    python3 bench/serve/bench_cores.py BUNDLE MOTION_DIR [--seconds 20]
"""

import argparse
import asyncio
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_balance import cpu_seconds  # noqa: E402
from bench_live import SENTENCE, Client, call, start_server  # noqa: E402


async def window(pid, seconds, during=None):
    t0, c0 = time.monotonic(), cpu_seconds(pid)
    while time.monotonic() - t0 < seconds:
        if during is not None:
            await during()
        await asyncio.sleep(0.1)
    return (cpu_seconds(pid) - c0) / (time.monotonic() - t0)


async def main_async(args):
    import base64
    wav_bytes = subprocess.run(["espeak-ng", "--stdout", SENTENCE], check=True,
                               capture_output=True).stdout
    speech_s = (len(wav_bytes) - 44) / 2 / 22050
    wav = base64.b64encode(wav_bytes).decode()
    server, base = start_server(["-m", "vever.serve", args.bundle, args.motion])
    try:
        empty = await window(server.pid, 5)
        client = Client(base)
        await client.connect()
        await asyncio.sleep(3)
        idle = await window(server.pid, args.seconds)
        due = [0.0]

        async def keep_talking():
            if time.monotonic() >= due[0]:
                await client.speak(wav)
                due[0] = time.monotonic() + speech_s
        talking = await window(server.pid, args.seconds, keep_talking)
        st = client.stats()
        call(base + "bye", {"session": client.sid})
        await client.pc.close()
        print("server process cores: no visitor %.2f, one idle visitor %.2f, one talking "
              "visitor %.2f (frame cost %.1f ms, %d underruns)"
              % (empty, idle, talking, st["frame_cost_ms"], st["underruns"]))
    finally:
        server.terminate()
        server.wait(90)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bundle")
    ap.add_argument("motion")
    ap.add_argument("--seconds", type=float, default=20)
    asyncio.run(main_async(ap.parse_args()))


if __name__ == "__main__":
    main()
