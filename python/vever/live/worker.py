"""A live server as one worker of many behind HAProxy: the worker's name in
its session ids (the balancer routes by it), its free slots, its Prometheus
metrics, its ICE servers, and a drain on SIGTERM that lets visitors finish.

With --worker-name W, session ids are "W.<hex>": HAProxy routes every request
after /offer to the worker that holds its session.
    GET  /capacity   {"worker", "slots", "live", "free", "draining"}
    GET  /metrics    Prometheus' text format
    GET  /ice        {"iceServers"}: the STUN servers of --ice-server, for the page
SIGTERM drains: no new sessions (/offer 503), the live ones go on for up to
--drain-seconds, then the server closes them and exits 0. SIGINT stops now.
The worker reads the server only through Server's public surface (routes.py).

The balancer side, HAProxy and N workers on one machine, is vever.balancer.
"""

import asyncio
import logging
import re
import signal
import socket
import time
import urllib.parse

from aiohttp import web
from aiortc import RTCConfiguration, RTCIceServer
from aiortc.rtcicetransport import parse_stun_turn_uri
from prometheus_client import CollectorRegistry, Histogram, generate_latest
from prometheus_client import CONTENT_TYPE_LATEST
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily

import vever

log = logging.getLogger("vever.serve")

# A worker's name is the first part of its session ids and the name of its
# server line in HAProxy's configuration; neither needs more than this.
NAME_RE = re.compile(r"[A-Za-z0-9_-]{1,32}\Z")
ICE_ENV = "VEVER_ICE_SERVERS"
SAMPLE_PERIOD = 1.0  # seconds between two readings of each session's statistics
GATHER_SECONDS = 10.0  # an answer's ICE candidates, TURN relay included


def check_name(name):
    """None when name may name a worker, else why not."""
    if not NAME_RE.match(name):
        return ("a worker name is 1 to 32 letters, digits, '_' or '-', not %r" % name[:40])
    return None


def session_id(worker, hex_id):
    """The id a visitor gets: "<worker>.<hex>", or the bare hex for a server
    that runs alone."""
    return "%s.%s" % (worker, hex_id) if worker else hex_id


def ice_server(url):
    """One --ice-server URL -> RTCIceServer. Credentials ride in the URL:
    turn:USER:PASSWORD@HOST[:PORT][?transport=udp|tcp], percent-encoded
    where they hold ':' or '@'. Raises ValueError naming what is wrong."""
    scheme, sep, rest = url.partition(":")
    if not sep or scheme not in ("stun", "turn", "turns"):
        raise ValueError("an ICE server is stun:, turn: or turns:, not %r" % url[:40])
    username = credential = None
    if "@" in rest:
        cred, _, rest = rest.rpartition("@")
        user, sep, password = cred.partition(":")
        if scheme == "stun" or not sep or not user:
            raise ValueError("ICE server credentials are turn:USER:PASSWORD@HOST, "
                             "and only for turn: and turns:")
        username = urllib.parse.unquote(user)
        credential = urllib.parse.unquote(password)
    elif scheme != "stun":
        raise ValueError("a TURN server needs credentials: %s:USER:PASSWORD@HOST[:PORT]"
                         % scheme)
    bare = scheme + ":" + rest
    try:
        parsed = parse_stun_turn_uri(bare)
    except ValueError as e:
        raise ValueError("the ICE server %r is malformed: %s" % (bare, e))
    if scheme == "turn" and parsed["transport"] not in ("udp", "tcp"):
        raise ValueError("a turn: server's transport is udp or tcp")
    if scheme == "turns" and parsed["transport"] != "tcp":
        raise ValueError("a turns: server's transport is tcp")
    return RTCIceServer(urls=bare, username=username, credential=credential)


def ice_configuration(urls):
    """RTCConfiguration for the peer connections, or None for none. aiortc
    uses one STUN and one TURN server; a second of either is refused rather
    than silently ignored."""
    servers = [ice_server(u) for u in urls]
    stun = [s for s in servers if s.urls.startswith("stun:")]
    if len(stun) > 1 or len(servers) - len(stun) > 1:
        raise ValueError("at most one stun: and one turn: or turns: server "
                         "(what the WebRTC library uses)")
    return RTCConfiguration(iceServers=servers) if servers else None


class Metrics:
    """The worker's Prometheus metrics, every one labelled with its name.
    Counters are read from the live sessions when scraped, plus what the
    sessions that have ended had counted; the histograms are fed by a reader
    that takes each session's statistics once a second."""

    def __init__(self, server, worker):
        self.server = server  # read through Server's public surface only
        self.worker = worker
        self.ended = {"frames": 0, "speech": 0, "underruns": 0}
        self.registry = CollectorRegistry(auto_describe=True)
        self.registry.register(self)
        self.frame_cost = Histogram(
            "vever_frame_cost_seconds", "smoothed cost of one speech frame, read once a second "
            "from each live session", ["worker"], registry=self.registry,
            buckets=(0.005, 0.01, 0.02, 0.03, 0.04, 0.05, 0.075, 0.1, 0.15, 0.25, 0.5))
        self.first_frame = Histogram(
            "vever_first_frame_seconds", "from an utterance's first audio to its first "
            "speech frame", ["worker"], registry=self.registry,
            buckets=(0.1, 0.2, 0.3, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 5.0))
        self.frame_cost.labels(worker)  # present, at zero, before the first observation
        self.first_frame.labels(worker)
        self.seen = {}  # live id -> (its avatar's serial, utterances_started) when last read

    def counts(self, live):
        st = live.session.stats()
        return live.frames_sent, live.speech_before + st.speech_frames_out, live.underruns

    def end(self, live):
        """A session leaves the server: keep what it counted."""
        if live.closed:
            return
        try:
            frames, speech, underruns = self.counts(live)
        except Exception:  # a session the engine already let go of counts what we saw
            frames, speech, underruns = live.frames_sent, live.speech_before, live.underruns
        self.ended["frames"] += frames
        self.ended["speech"] += speech
        self.ended["underruns"] += underruns
        self.seen.pop(live.id, None)

    def collect(self):
        totals = dict(self.ended)
        for live in self.server.visitors():
            frames, speech, underruns = self.counts(live)
            totals["frames"] += frames
            totals["speech"] += speech
            totals["underruns"] += underruns
        w = [self.worker]
        for name, doc, value in (
                ("vever_live_sessions", "visitors with a session now", self.server.live_count),
                ("vever_session_slots", "sessions this worker holds at most",
                 self.server.slots)):
            g = GaugeMetricFamily(name, doc, labels=["worker"])
            g.add_metric(w, value)
            yield g
        for name, doc, key in (
                ("vever_frames_sent", "video frames sent to visitors", "frames"),
                ("vever_speech_frames", "speech frames the sessions delivered", "speech"),
                ("vever_underruns", "frame slots a speaking session had no frame for",
                 "underruns")):
            c = CounterMetricFamily(name, doc, labels=["worker"])
            c.add_metric(w, totals[key])
            yield c

    def sample(self):
        for live in self.server.visitors():
            st = live.session.stats()
            if st.state == vever.STATE_SPEAKING and st.frame_cost_ms > 0:  # the cost is current
                self.frame_cost.labels(self.worker).observe(st.frame_cost_ms / 1000)
            # A visitor's new avatar is a new session, counting from 0.
            serial, before = self.seen.get(live.id, (live.serial, 0))
            if serial != live.serial:
                before = 0
            if st.utterances_started > before and st.first_frame_ms > 0:
                self.first_frame.labels(self.worker).observe(st.first_frame_ms / 1000)
            self.seen[live.id] = live.serial, st.utterances_started

    async def sampler(self, app):
        async def loop():
            while True:
                await asyncio.sleep(SAMPLE_PERIOD)
                try:
                    self.sample()
                except Exception:
                    log.exception("reading session statistics for the metrics failed")
        task = asyncio.create_task(loop())
        yield
        task.cancel()

    async def handler(self, request):
        return web.Response(body=generate_latest(self.registry),
                            headers={"Content-Type": CONTENT_TYPE_LATEST})


async def capacity(server, request):
    return web.json_response({"worker": server.worker_name, "slots": server.slots,
                              "live": server.live_count, "free": server.free_slots(),
                              "draining": server.draining})


async def page_ice(server, request):
    """The ICE servers the page may use: the STUN ones only. A TURN password
    handed to every visitor would open the relay to anyone."""
    stun = [s.urls for s in (server.ice.iceServers if server.ice else [])
            if s.urls.startswith("stun:")]
    return web.json_response({"iceServers": [{"urls": stun}] if stun else []})


def add_routes(app, server):
    """/capacity, /metrics and /ice, and the metrics' reader for the app's
    lifetime; the metrics keep what each visitor counted when it leaves."""
    metrics = Metrics(server, server.worker_name or socket.gethostname())
    server.on_leave(metrics.end)
    app.add_routes([web.get("/capacity", lambda r: capacity(server, r)),
                    web.get("/metrics", metrics.handler),
                    web.get("/ice", lambda r: page_ice(server, r))])
    app.cleanup_ctx.append(metrics.sampler)
    return metrics


async def _serve(app, server, host, port, drain_seconds):
    runner = web.AppRunner(app, handle_signals=False, access_log=None)
    await runner.setup()
    try:
        await web.TCPSite(runner, host, port).start()
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        term = asyncio.Event()
        loop.add_signal_handler(signal.SIGINT, stop.set)
        loop.add_signal_handler(signal.SIGTERM, term.set)
        done = asyncio.ensure_future(stop.wait())
        drain = asyncio.ensure_future(term.wait())
        await asyncio.wait([done, drain], return_when=asyncio.FIRST_COMPLETED)
        if drain.done() and not done.done():
            server.drain()
            log.info("draining: no new sessions; %d live, closed in at most %g s",
                     server.live_count, drain_seconds)
            until = time.monotonic() + drain_seconds
            while server.busy and time.monotonic() < until and not stop.is_set():
                await asyncio.sleep(0.2)
            if server.live_count:
                log.info("drain over: closing %d live sessions", server.live_count)
        done.cancel()
        drain.cancel()
    finally:
        await runner.cleanup()  # the app's shutdown closes what is still live


def serve(app, server, host, port, drain_seconds):
    """Runs the app until SIGINT (stop now) or SIGTERM (drain, then stop)."""
    asyncio.run(_serve(app, server, host, port, drain_seconds))
