"""N live workers on one machine behind one HAProxy (Balancer): the workers
started and watched, HAProxy's configuration filled from haproxy.cfg.in
beside this file in a private temporary directory, and the stop, drained or
not. A new visitor goes to a worker with a free slot; every later request of
a session reaches the worker whose name starts its id; a worker that dies is
taken out by the health check."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "haproxy.cfg.in")
MAX_WORKERS = 64


def say(message):
    print("[vever.balance] %s" % message, flush=True)


def haproxy_config(bind_host, port, workers, max_sessions):
    """The filled template; workers are (name, host, port)."""
    with open(TEMPLATE, encoding="utf-8") as f:
        text = f.read()
    lines = []
    for name, host, at in workers:
        lines.append("    use-server %s if { var(txn.worker) -m str %s }" % (name, name))
    for name, host, at in workers:
        lines.append("    server %s %s:%d" % (name, host, at))
    bind = "[%s]:%d" % (bind_host, port) if ":" in bind_host else "%s:%d" % (bind_host, port)
    fields = {"@BIND@": bind, "@RETRIES@": str(max(1, len(workers))),
              "@MAXCONN@": str(max(256, 64 * len(workers) * max_sessions)),
              "@SERVERS@": "\n".join(lines)}
    for key, value in fields.items():
        text = text.replace(key, value)
    return text


def find_haproxy():
    return shutil.which("haproxy") or shutil.which("haproxy", path="/usr/sbin:/sbin")


def healthy(host, port):
    try:
        with urllib.request.urlopen("http://%s:%d/healthz" % (host, port), timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


class Balancer:
    """HAProxy and the workers behind it, as child processes of this one."""

    def __init__(self, args, worker_args):
        self.args = args
        self.worker_args = worker_args
        self.workers = {}   # name -> Popen
        self.haproxy = None
        self.signal = None

    def on_signal(self, signum, frame):
        self.signal = self.signal or signum

    def start_workers(self):
        base = [sys.executable, "-m", "vever.serve", self.args.bundle, self.args.motion_dir,
                "--host", "127.0.0.1", "--max-sessions", str(self.args.max_sessions),
                "--drain-seconds", str(self.args.drain_seconds)]
        for k in range(1, self.args.workers + 1):
            name, at = "w%d" % k, self.args.port + k
            self.workers[name] = subprocess.Popen(
                base + ["--port", str(at), "--worker-name", name] + self.worker_args)
            say("worker %s pid %d on 127.0.0.1:%d" % (name, self.workers[name].pid, at))

    def wait_workers_up(self, seconds=120):
        until = time.monotonic() + seconds
        waiting = dict(self.workers)
        while waiting and time.monotonic() < until and self.signal is None:
            for name, proc in list(waiting.items()):
                if proc.poll() is not None:
                    raise RuntimeError("worker %s exited with %d while starting"
                                       % (name, proc.returncode))
                if healthy("127.0.0.1", self.args.port + int(name[1:])):
                    del waiting[name]
            time.sleep(0.2)
        if waiting and self.signal is None:
            raise RuntimeError("workers %s did not come up in %d s"
                               % (", ".join(sorted(waiting)), seconds))

    def start_haproxy(self, directory):
        exe = find_haproxy()
        if exe is None:
            raise RuntimeError("haproxy is not installed (scripts/setup installs it)")
        cfg = os.path.join(directory, "haproxy.cfg")
        workers = [("w%d" % k, "127.0.0.1", self.args.port + k)
                   for k in range(1, self.args.workers + 1)]
        with open(cfg, "w", encoding="utf-8") as f:
            f.write(haproxy_config(self.args.host, self.args.port, workers,
                                   self.args.max_sessions))
        check = subprocess.run([exe, "-c", "-f", cfg], capture_output=True, text=True)
        if check.returncode != 0:
            raise RuntimeError("HAProxy refuses its configuration: %s"
                               % (check.stderr or check.stdout).strip())
        # -db: in the foreground, as this process's child
        self.haproxy = subprocess.Popen([exe, "-db", "-f", cfg])
        say("haproxy pid %d on %s:%d" % (self.haproxy.pid, self.args.host, self.args.port))
        until = time.monotonic() + 10
        while not healthy(self.args.host, self.args.port):
            if self.haproxy.poll() is not None or time.monotonic() > until:
                raise RuntimeError("haproxy did not come up on %s:%d"
                                   % (self.args.host, self.args.port))
            time.sleep(0.1)

    def watch(self):
        """Until a signal comes or HAProxy exits; a worker that exits is only
        reported: its server fails the health check and is taken out."""
        gone = set()
        while self.signal is None:
            if self.haproxy.poll() is not None:
                say("haproxy exited with %d; stopping the workers" % self.haproxy.returncode)
                return 1
            for name, proc in self.workers.items():
                if name not in gone and proc.poll() is not None:
                    gone.add(name)
                    say("worker %s exited with %d; HAProxy takes it out"
                        % (name, proc.returncode))
            time.sleep(0.2)
        return 0

    def stop(self, drain):
        live = [p for p in self.workers.values() if p.poll() is None]
        for p in live:
            p.send_signal(signal.SIGTERM if drain else signal.SIGINT)
        until = time.monotonic() + (self.args.drain_seconds if drain else 0) + 15
        for p in live:
            try:
                p.wait(max(0.1, until - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if self.haproxy is not None and self.haproxy.poll() is None:
            self.haproxy.send_signal(signal.SIGUSR1)  # finish what is in flight
            try:
                self.haproxy.wait(10)
            except subprocess.TimeoutExpired:
                self.haproxy.kill()
                self.haproxy.wait()

    def run(self):
        signal.signal(signal.SIGINT, self.on_signal)
        signal.signal(signal.SIGTERM, self.on_signal)
        status = 1
        with tempfile.TemporaryDirectory(prefix="vever-balance-") as directory:
            try:
                self.start_workers()
                self.wait_workers_up()
                if self.signal is None:
                    self.start_haproxy(directory)
                    say("open http://%s:%d/ in a browser" % (self.args.host, self.args.port))
                    status = self.watch()
                else:
                    status = 0
            except RuntimeError as e:
                say(str(e))
            finally:
                self.stop(drain=self.signal == signal.SIGTERM)
        return status if self.signal is None else 0
