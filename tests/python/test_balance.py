"""Three one-slot live workers behind HAProxy (python3 -m vever.balance) on
loopback, visited by real WebRTC clients (aiortc): each visitor lands on a
worker of its own and receives video, every later request reaches the worker
that holds its session, a fourth visitor is refused, the metrics count what
each worker did, a worker told to stop drains its visitor before exiting 0,
and a worker killed outright is taken out while new visitors still get in;
a /stream socket reaches the worker of its session and stays open while idle.

The bundle is the py_fixture one (LE_PY_FIXTURE), or VEVER_TEST_BUNDLE and
VEVER_TEST_MOTION when run by hand on another bundle."""

import asyncio
import base64
import http.client
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave

import aiohttp
import numpy as np
from aiortc import RTCPeerConnection, RTCSessionDescription
from aiortc.mediastreams import MediaStreamError
from prometheus_client.parser import text_string_to_metric_families

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WORKERS = 3
DRAIN = 6.0
IDLE = 90.0  # past HAProxy's client and server timeouts (60 s)
LOOP = asyncio.new_event_loop()  # the visitors' peer connections live on it


def free_ports(n):
    """A base port with n + 1 free ports from it (the balancer and its workers)."""
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            base = s.getsockname()[1]
        if base + n > 65535:
            continue
        try:
            held = []
            for k in range(1, n + 1):
                t = socket.socket()
                held.append(t)
                t.bind(("127.0.0.1", base + k))
            return base
        except OSError:
            continue
        finally:
            for t in held:
                t.close()
    raise RuntimeError("no %d consecutive free ports" % (n + 1))


def request(port, method, path, body=None):
    """(status, parsed JSON or text, headers) of one request."""
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    c.request(method, path, body=None if body is None else json.dumps(body))
    r = c.getresponse()
    data = r.read()
    c.close()
    try:
        doc = json.loads(data)
    except ValueError:
        doc = data.decode("utf-8", "replace")
    return r.status, doc, r.headers


def on_loop(coro, seconds=60):
    return asyncio.run_coroutine_threadsafe(coro, LOOP).result(seconds)


def wav_b64(seconds):
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        t = np.arange(int(seconds * 16000)) / 16000
        w.writeframes((np.sin(2 * np.pi * 180 * t) * 8000).astype(np.int16).tobytes())
    return base64.b64encode(buf.getvalue()).decode()


class Visitor:
    """A receive-only WebRTC client that counts the video frames it receives."""

    def __init__(self):
        self.frames = 0
        self.sid = None
        self.tasks = []  # the loop holds tasks weakly

    async def make_offer(self):
        self.pc = RTCPeerConnection()
        self.pc.addTransceiver("video", direction="recvonly")
        self.pc.addTransceiver("audio", direction="recvonly")

        @self.pc.on("track")
        def on_track(track):
            self.tasks.append(asyncio.ensure_future(self.read(track)))
        await self.pc.setLocalDescription(await self.pc.createOffer())
        # aiortc's receiver fails to parse the abs-send-time header its own
        # sender writes; left out of the offer, it stays off the wire.
        sdp = "\r\n".join(line for line in self.pc.localDescription.sdp.split("\r\n")
                           if "abs-send-time" not in line)
        return {"sdp": sdp, "type": "offer"}

    async def read(self, track):
        try:
            while True:
                await track.recv()
                if track.kind == "video":
                    self.frames += 1
        except MediaStreamError:
            pass

    def offer(self, port):
        status, doc, _ = request(port, "POST", "/offer", on_loop(self.make_offer()))
        if status == 200:
            self.sid = doc["session"]
            on_loop(self.pc.setRemoteDescription(RTCSessionDescription(doc["sdp"], doc["type"])))
        else:
            on_loop(self.pc.close())
        return status, doc

    @property
    def worker(self):
        return self.sid.split(".")[0]

    def close(self):
        on_loop(self.pc.close())


def wait_for(what, cond, seconds=20):
    until = time.monotonic() + seconds
    while not cond():
        if time.monotonic() > until:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


class BalanceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        threading.Thread(target=LOOP.run_forever, daemon=True).start()
        cls.tmp = tempfile.mkdtemp(prefix="le-balance-", dir=os.environ.get("LE_TEST_TMP") or None)
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
        if os.environ.get("LE_PY_FIXTURE"):
            subprocess.run([os.environ["LE_PY_FIXTURE"], cls.tmp], check=True)
            bundle, motion = os.path.join(cls.tmp, "bundle"), os.path.join(cls.tmp, "motion")
            env["W2V_ONNX"] = os.path.join(cls.tmp, "w2v", "w2v.onnx")
        else:
            bundle, motion = os.environ["VEVER_TEST_BUNDLE"], os.environ["VEVER_TEST_MOTION"]
        cls.bundle, cls.motion, cls.env = bundle, motion, env
        cls.port = free_ports(WORKERS)
        cls.proc = subprocess.Popen(
            [sys.executable, "-m", "vever.balance", bundle, motion, "--workers", str(WORKERS),
             "--port", str(cls.port), "--max-sessions", "1", "--drain-seconds", str(DRAIN)],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        cls.log = []
        threading.Thread(target=lambda: cls.log.extend(cls.proc.stdout), daemon=True).start()
        wait_for("the balancer", lambda: any("open http://127.0.0.1:%d/" % cls.port in line
                                             for line in cls.log) or cls.proc.poll() is not None,
                 90)
        assert cls.proc.poll() is None, "".join(cls.log)
        cls.pids = {}
        for line in cls.log:
            if "] worker w" in line and " pid " in line:
                words = line.split()
                cls.pids[words[2]] = int(words[4])

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.proc.poll() is None:
                cls.proc.send_signal(signal.SIGINT)
                cls.proc.wait(30)
        finally:
            if cls.proc.poll() is None:
                cls.proc.kill()
            LOOP.call_soon_threadsafe(LOOP.stop)
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def metrics(self, worker):
        """{(name, worker label): value} of one worker's /metrics."""
        status, text, headers = request(self.port + int(worker[1:]), "GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain"))
        return {(s.name, s.labels.get("worker")): s.value
                for fam in text_string_to_metric_families(text) for s in fam.samples}

    def capacity(self, worker):
        return request(self.port + int(worker[1:]), "GET", "/capacity")[1]

    def test_a_stream_socket_idles_through_haproxy(self):
        # A voice agent's socket waits between utterances; then it still
        # reaches its session's worker (any other would have refused it).
        v = Visitor()
        self.assertEqual(v.offer(self.port)[0], 200)
        tone = (np.sin(2 * np.pi * 180 * np.arange(16000) / 16000) * 8000).astype(np.int16)

        async def idle_then_speak():
            async with aiohttp.ClientSession() as http:
                ws = await http.ws_connect("http://127.0.0.1:%d/stream?session=%s"
                                           % (self.port, v.sid))
                await asyncio.sleep(IDLE)
                await ws.send_bytes(tone.tobytes())
                await ws.send_str(json.dumps({"type": "end"}))
                msg = await ws.receive(timeout=30)
                await ws.close()
                return msg
        try:
            msg = on_loop(idle_then_speak(), IDLE + 60)
            self.assertEqual(msg.type, aiohttp.WSMsgType.TEXT, msg)
            self.assertEqual(json.loads(msg.data)["type"], "speaking")
        finally:
            self.assertEqual(request(self.port, "POST", "/bye", {"session": v.sid})[0], 200)
            v.close()
            wait_for("the slot back", lambda: self.capacity(v.worker)["free"] == 1)

    def test_visitors_across_workers(self):
        port = self.port
        visitors = [Visitor() for _ in range(WORKERS)]
        for v in visitors:
            self.assertEqual(v.offer(port)[0], 200)
        self.assertEqual(sorted(v.worker for v in visitors), sorted(self.pids))
        wait_for("video at every visitor", lambda: all(v.frames > 5 for v in visitors))
        status, doc = Visitor().offer(port)
        self.assertEqual(status, 503)
        self.assertIn("live sessions are taken", doc["error"])

        # The session named only in the body (an upload past HAProxy's buffer,
        # "session" first) or only in the query reaches its own worker: any
        # other would answer 404.
        for v in visitors:
            speak = {"session": v.sid, "wav_base64": wav_b64(1.0)}
            self.assertEqual(request(port, "POST", "/speak", speak)[0], 200)
        for v in visitors:
            wait_for("speech frames at " + v.worker, lambda: request(
                port, "GET", "/stats?session=" + v.sid)[1]["speech_frames_out"] > 0)
        for v in visitors:
            m = self.metrics(v.worker)
            self.assertEqual(m[("vever_live_sessions", v.worker)], 1)
            self.assertEqual(m[("vever_session_slots", v.worker)], 1)
            self.assertGreater(m[("vever_frames_sent_total", v.worker)], 5)
            self.assertGreater(m[("vever_speech_frames_total", v.worker)], 0)
            wait_for("the utterance's first-frame time in the metrics", lambda: self.metrics(
                v.worker)[("vever_first_frame_seconds_count", v.worker)] == 1)
            self.assertEqual(self.capacity(v.worker)["free"], 0)
        status, doc, _ = request(port, "GET", "/metrics")  # not for visitors
        self.assertEqual((status, sorted(doc)), (404, ["error"]))

        # Drain: the worker keeps its visitor's video going, takes nobody new,
        # and exits 0 once the drain time is over.
        a, b, c = visitors
        sent = self.metrics(b.worker)[("vever_frames_sent_total", b.worker)]
        self.assertEqual(request(port, "POST", "/bye", {"session": b.sid})[0], 200)
        wait_for("a free slot", lambda: self.capacity(b.worker)["free"] == 1)
        # The counters keep what a visitor who left had counted.
        self.assertGreaterEqual(self.metrics(b.worker)[("vever_frames_sent_total", b.worker)], sent)
        os.kill(self.pids[a.worker], signal.SIGTERM)
        stopped = time.monotonic()
        wait_for("the drain", lambda: self.capacity(a.worker)["draining"])
        self.assertEqual(self.capacity(a.worker)["free"], 0)
        e = Visitor()
        self.assertEqual(e.offer(port)[0], 200)
        self.assertEqual(e.worker, b.worker)
        seen = a.frames
        time.sleep(1.5)
        self.assertGreater(a.frames, seen + 10, "video stopped during the drain")
        self.assertEqual(request(port, "GET", "/stats?session=" + a.sid)[0], 200)
        wait_for("the drained worker's exit", lambda: (a.worker + " exited") in "".join(self.log),
                 DRAIN + 15)
        self.assertGreater(time.monotonic() - stopped, DRAIN - 1)
        self.assertIn("worker %s exited with 0" % a.worker, "".join(self.log))
        self.assertEqual(request(port, "GET", "/stats?session=" + a.sid)[0], 404)

        # A worker killed outright: the health check takes it out, and a new
        # visitor still gets the slot that is left.
        os.kill(self.pids[c.worker], signal.SIGKILL)
        self.assertEqual(request(port, "POST", "/bye", {"session": e.sid})[0], 200)
        wait_for("a free slot", lambda: self.capacity(b.worker)["free"] == 1)
        f = Visitor()
        self.assertEqual(f.offer(port)[0], 200)
        self.assertEqual(f.worker, b.worker)
        wait_for("the health check", lambda: ("workers/%s is DOWN" % c.worker) in "".join(self.log))
        wait_for("video at the new visitor", lambda: f.frames > 5)
        status, doc = Visitor().offer(port)
        self.assertEqual(status, 503)
        self.assertIn("live sessions are taken", doc["error"])
        for v in visitors + [e, f]:
            v.close()

        # Ctrl-C stops HAProxy and every worker.
        self.proc.send_signal(signal.SIGINT)
        self.assertEqual(self.proc.wait(30), 0)
        for pid in self.pids.values():
            with self.assertRaises(ProcessLookupError):
                os.kill(pid, 0)
        with self.assertRaises(OSError):
            request(port, "GET", "/healthz")


    def test_unreachable_turn_server(self):
        # A TURN server nobody answers at: the offer is refused within the
        # gathering limit, and its slot stays taken until then, not oversold.
        turn = free_ports(0)
        at = free_ports(0)
        proc = subprocess.Popen(
            [sys.executable, "-m", "vever.serve", self.bundle, self.motion, "--port", str(at),
             "--ice-server", "turn:user:pass@127.0.0.1:%d" % turn],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_for("the worker", lambda: self.up(at), 60)
            answers = []
            first = threading.Thread(target=lambda: answers.append(Visitor().offer(at)))
            started = time.monotonic()
            first.start()
            wait_for("the first offer", lambda: self.capacity_at(at)["free"] == 0)
            time.sleep(4)  # its session is open by now, and its answer gathering
            self.assertEqual(self.capacity_at(at)["free"], 0)
            status, doc = Visitor().offer(at)
            self.assertEqual(status, 503)
            self.assertIn("all 1 live sessions are taken", doc["error"])
            first.join(60)
            status, doc = answers[0]
            self.assertEqual(status, 504)
            self.assertIn("within 10 s", doc["error"])
            self.assertLess(time.monotonic() - started, 20)
            self.assertEqual(self.capacity_at(at)["free"], 1)
        finally:
            proc.send_signal(signal.SIGINT)
            proc.wait(30)

    @staticmethod
    def up(at):
        try:
            return request(at, "GET", "/healthz")[0] == 200
        except OSError:
            return False

    @staticmethod
    def capacity_at(at):
        return request(at, "GET", "/capacity")[1]


if __name__ == "__main__":
    unittest.main()
