"""Visitors coming and going on a running live server, and the server's
resident memory while they do.

    python3 bench/serve/soak_live.py --url http://127.0.0.1:PORT --pid SERVER_PID
                                     --minutes M [--visitors N]
    (scripts/soak-live starts the server and runs it)

Each visitor is a real WebRTC client (aiortc): it sends an offer, receives
the avatar's video and voice, asks for a sentence every --speak-every
seconds, and leaves with /bye after --stay seconds; up to --visitors are
there at once, staggered, a new one arriving as soon as one has left. A
visitor refused while the server should have a free slot is counted.

Prints the server's RSS (MiB) every minute and, last, one line
    rss_mib_warm=<RSS after 2 minutes> rss_mib_end=<RSS at the end>
both taken while visitors are there (the end is the last minute's reading).
Exits 1 when the server died, a visitor was refused or a request failed.
"""

import argparse
import asyncio
import json
import sys
import time

import aiohttp
from aiortc import RTCPeerConnection, RTCSessionDescription
from aiortc.contrib.media import MediaBlackhole

SENTENCES = [
    "Hello, and welcome to the live page.",
    "The weather today is mild, with a light wind from the west.",
    "Numbers like forty two and one thousand are read aloud as well.",
    "This sentence is a little longer than the others, so that the avatar keeps "
    "talking for a few seconds before it goes quiet again.",
    "Goodbye for now.",
]


def rss_mib(pid):
    """The process's resident memory (VmRSS) in MiB, None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        return None
    return None


class Tally:
    def __init__(self):
        self.visitors = 0      # sessions opened
        self.left = 0          # sessions closed with /bye
        self.refused = 0       # offers answered 503
        self.speaks = 0
        self.speak_refused = 0  # 429: the visitor's queue was full
        self.failures = []     # anything else that went wrong
        self.frame_cost_ms = []  # each visitor's, as /stats gave it before /bye
        self.frames_sent = 0
        self.underruns = 0


async def post(http, url, doc):
    async with http.post(url, data=json.dumps(doc),
                         headers={"Content-Type": "application/json"}) as r:
        try:
            body = await r.json(content_type=None)
        except ValueError:
            body = {"error": await r.text()}
        return r.status, body


async def visitor(http, args, tally, n):
    """One visitor's whole stay; returns once it has left."""
    pc = RTCPeerConnection()
    sinks = []

    @pc.on("track")
    def on_track(track):
        # Received media is read and dropped, as a page that plays it would.
        sink = MediaBlackhole()
        sink.addTrack(track)
        # The loop keeps only weak references to tasks: hold them here.
        sinks.append((sink, asyncio.ensure_future(sink.start())))

    sid = None
    try:
        pc.addTransceiver("video", direction="recvonly")
        pc.addTransceiver("audio", direction="recvonly")
        await pc.setLocalDescription(await pc.createOffer())
        status, doc = await post(http, args.url + "/offer",
                                 {"sdp": pc.localDescription.sdp, "type": "offer"})
        if status == 503:
            # The slot this visitor takes was freed by the one before it.
            tally.refused += 1
            print("visitor %d refused: %s" % (n, doc.get("error")), flush=True)
            return
        if status != 200:
            tally.failures.append("offer %d: %s" % (status, doc))
            return
        sid = doc["session"]
        tally.visitors += 1
        await pc.setRemoteDescription(RTCSessionDescription(doc["sdp"], doc["type"]))
        end = time.monotonic() + args.stay
        i = n
        while True:
            status, doc = await post(http, args.url + "/speak",
                                     {"session": sid, "text": SENTENCES[i % len(SENTENCES)]})
            i += 1
            if status == 200:
                tally.speaks += 1
            elif status == 429:
                tally.speak_refused += 1
            else:
                tally.failures.append("speak %d: %s" % (status, doc))
            left = end - time.monotonic()
            if left <= 0:
                break
            await asyncio.sleep(min(args.speak_every, left))
            if time.monotonic() >= end:
                break
        async with http.get(args.url + "/stats", params={"session": sid}) as r:
            if r.status == 200:
                st = await r.json()
                tally.frame_cost_ms.append(st["frame_cost_ms"])
                tally.underruns += st["underruns"]
                tally.frames_sent += st["frames_sent"]
        status, doc = await post(http, args.url + "/bye", {"session": sid})
        if status == 200:
            tally.left += 1
        else:
            tally.failures.append("bye %d: %s" % (status, doc))
    except (aiohttp.ClientError, OSError) as e:
        tally.failures.append("visitor %d: %s" % (n, e))
    finally:
        for sink, _ in sinks:
            await sink.stop()
        await pc.close()


async def slot(http, args, tally, start_after, until, counter):
    """One of the --visitors places: visitor after visitor until the end."""
    await asyncio.sleep(start_after)
    while time.monotonic() < until:
        counter[0] += 1
        await visitor(http, args, tally, counter[0])
        if tally.failures and args.stop_on_failure:
            return


async def server_up(http, args, seconds=180):
    """Waits for the server's /healthz; False when it exits or never answers."""
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if rss_mib(args.pid) is None:
            return False
        try:
            async with http.get(args.url + "/healthz") as r:
                if r.status == 200:
                    return True
        except (aiohttp.ClientError, OSError):
            pass
        await asyncio.sleep(0.2)
    return False


async def run(args):
    tally = Tally()
    samples = []
    counter = [0]
    async with aiohttp.ClientSession(timeout=aiohttp.ClientTimeout(total=120)) as http:
        if not await server_up(http, args):
            print("the server did not come up", file=sys.stderr)
            return 1
        t0 = time.monotonic()
        until = t0 + args.minutes * 60
        stagger = args.stay / args.visitors
        slots = [asyncio.ensure_future(slot(http, args, tally, k * stagger, until, counter))
                 for k in range(args.visitors)]
        warm = None
        minute = 0
        print("minute 0: rss_mib=%.1f" % rss_mib(args.pid), flush=True)
        while time.monotonic() < until:
            minute += 1
            await asyncio.sleep(max(0.0, min(until, t0 + minute * 60) - time.monotonic()))
            rss = rss_mib(args.pid)
            if rss is None:
                tally.failures.append("the server exited")
                break
            samples.append(rss)
            if minute == 2:
                warm = rss
            print("minute %d: rss_mib=%.1f visitors=%d refused=%d"
                  % (minute, rss, tally.visitors, tally.refused), flush=True)
        # The visitors still there leave before the last reading.
        await asyncio.gather(*slots, return_exceptions=True)
    # The end is the last minute's reading, taken with visitors there as the
    # warm one was; the memory after the last of them left is shown beside it.
    gone = rss_mib(args.pid)
    if gone is None:
        tally.failures.append("the server exited")
    end = samples[-1] if samples else (gone or 0.0)
    if warm is None:
        warm = end
    print("visitors=%d left=%d refused=%d speaks=%d speak_refused=%d failures=%d"
          % (tally.visitors, tally.left, tally.refused, tally.speaks, tally.speak_refused,
             len(tally.failures)), flush=True)
    if gone is not None:
        print("rss_mib after the last visitor left: %.1f" % gone, flush=True)
    if tally.frame_cost_ms:
        costs = sorted(tally.frame_cost_ms)
        print("frames_sent=%d underruns=%d frame_cost_ms median=%.1f max=%.1f"
              % (tally.frames_sent, tally.underruns, costs[len(costs) // 2], costs[-1]),
              flush=True)
    for f in tally.failures[:20]:
        print("failure: %s" % f, flush=True)
    print("rss_mib_warm=%.1f rss_mib_end=%.1f" % (warm, end), flush=True)
    return 1 if tally.failures or tally.refused else 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--url", required=True)
    ap.add_argument("--pid", type=int, required=True, help="the server's process id")
    ap.add_argument("--minutes", type=float, default=1.0)
    ap.add_argument("--visitors", type=int, default=1, help="visitors at once")
    ap.add_argument("--stay", type=float, default=60.0, help="seconds a visitor stays")
    ap.add_argument("--speak-every", type=float, default=6.0)
    ap.add_argument("--stop-on-failure", action="store_true")
    args = ap.parse_args(argv)
    if args.visitors < 1:
        ap.error("--visitors must be at least 1")
    return asyncio.run(run(args))


if __name__ == "__main__":
    sys.exit(main())
