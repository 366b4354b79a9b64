"""The server process's memory: glibc's heap arenas capped at start, and the
heap's free pages handed back when a visitor leaves."""

import ctypes
import gc
import os

# glibc's heap: a thread that allocates gets an arena of its own, up to 8 per
# core, and each visitor's engine threads are new threads. What a departed
# visitor freed stayed scattered over those arenas and was never reused whole,
# so the server's resident memory grew with every visitor. Two arenas, and the
# free pages handed back when a visitor leaves, keep it flat.
M_ARENA_MAX = -8  # mallopt's parameter number (malloc.h)
HEAP_ARENAS = 2
try:
    _libc = ctypes.CDLL(None)  # the C library this process already runs on
except OSError:
    _libc = None


def limit_heap_arenas():
    """Caps glibc's arenas, unless the operator chose with MALLOC_ARENA_MAX.
    Called early: the arenas made before it stay."""
    mallopt = getattr(_libc, "mallopt", None)
    if mallopt is not None and not os.environ.get("MALLOC_ARENA_MAX"):
        mallopt(M_ARENA_MAX, HEAP_ARENAS)


def give_back_memory():
    """Hands the heap's free pages back to the system (glibc keeps them
    otherwise). The collection first: a departed visitor's peer connection
    is held in reference cycles (its own event handlers) until one runs."""
    gc.collect()
    trim = getattr(_libc, "malloc_trim", None)
    if trim is not None:
        trim(0)
