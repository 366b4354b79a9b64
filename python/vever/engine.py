"""The engine library as a whole: its version, its file, where its
diagnostic lines go, and its telemetry."""

from __future__ import annotations

import atexit
import json
import logging
import queue
import threading
from typing import Any, Optional

from . import _lib
from ._lib import lib as _c


def engine_version() -> str:
    """The version of the engine library loaded (le_version)."""
    return _lib.text(_c.le_version())


def library_path() -> str:
    """The engine library's file, as the loader found it."""
    return _lib.path()


# Engine line levels (le.h's LE_LOG_INFO, LE_LOG_WARNING) as logging's.
_LOG_LEVELS = {1: logging.INFO, 2: logging.WARNING}
_log_hook = None  # the ctypes callback the engine holds
# Every callback ever handed over stays alive: a line already under way on an
# engine thread may still reach the one just replaced.
_log_hooks: list = []
# Lines reach the logger from one Python thread: logging an engine thread's
# line on that thread would leave a dummy thread record behind for each one.
_log_lines: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
_log_drain: Optional[threading.Thread] = None


def _drain_logs() -> None:
    while True:
        item = _log_lines.get()
        if isinstance(item, threading.Event):
            item.set()
            continue
        logger, level, subsystem, line = item
        try:
            logger.log(_LOG_LEVELS.get(level, logging.INFO), line, extra={"subsystem": subsystem})
        except Exception:  # a handler's failure must not end the drain
            pass


def _flush_logs() -> None:
    done = threading.Event()
    _log_lines.put(done)
    done.wait(5)


def log_to(logger: Optional[logging.Logger]) -> None:
    """Sends the engine's diagnostic lines ("[le-driver] ...") to logger, each
    with its level and the engine subsystem in the record's `subsystem`
    attribute; None sends them back to standard error, after the lines
    already taken have reached the logger."""
    global _log_hook, _log_drain
    if logger is None:
        _c.le_set_log_callback(_lib.LOG_FN(), None)
        if _log_hook is not None:
            _flush_logs()
        _log_hook = None
        return
    if _log_drain is None:
        _log_drain = threading.Thread(target=_drain_logs, name="vever-log", daemon=True)
        _log_drain.start()

    def hook(_user, level, subsystem, line):
        _log_lines.put((logger, level, _lib.text(subsystem), _lib.text(line)))

    new = _lib.LOG_FN(hook)
    _log_hooks.append(new)
    _c.le_set_log_callback(new, None)
    _log_hook = new


@atexit.register
def _unhook_logs():
    # Lines written while the interpreter shuts down go to standard error.
    if _log_hook is not None:
        log_to(None)


def telemetry() -> dict:
    """The engine's pending telemetry as a dict ({"dropped": N, "records": [...]});
    the records returned are removed from the engine's list."""
    doc = json.loads(_lib.text(_c.le_tel_pending_json()))
    _c.le_tel_flush()
    return doc


def record_telemetry(name: str, value: float) -> None:
    """Adds a measurement to the engine's telemetry list."""
    _c.le_tel_record(str(name).encode(), float(value))
