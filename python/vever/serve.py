"""The avatar live in a web page: one utterance session per visitor, its
frames and its voice sent to the browser over WebRTC.

    python3 -m vever.serve BUNDLE MOTION_DIR [--port 8080] [--host 127.0.0.1]
                           [--max-sessions N] [--threads N] [--token-secret S]
                           [--max-text-chars N] [--max-audio-seconds S]
                           [--max-queued-seconds S] [--max-stream-message-kib K]
                           [--max-body-mib M]
                           [--worker-name NAME] [--drain-seconds S]
                           [--ice-server URL ...] [--connect-seconds S]
                           [--idle-cache-mib M]

The server is vever.live: its HTTP interface in vever.live.routes, the worker
side (/capacity, /metrics, /ice, the drain on SIGTERM) in vever.live.worker.
mint_token(secret, seconds) makes the tokens --token-secret asks for.
"""

import sys

from vever.live.cli import main
from vever.live.security import mint_token

__all__ = ["main", "mint_token"]

if __name__ == "__main__":
    sys.exit(main())
