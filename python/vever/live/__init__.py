"""The live server behind python3 -m vever.serve, in its parts:

    routes    Server: the visitors' HTTP routes and the registry of visitors
    visitor   Live: one visitor's session, its frames and their voice
    tracks    FrameTrack, VoiceTrack: the media aiortc sends a visitor
    idleloop  IdleLoop: the idle loop's video, encoded once for every visitor
    security  mint_token, check_token, page_policy: who may open a session
    speech    what a visitor sends to be spoken, decoded or synthesised
    stream    /stream: speech that streams in over a WebSocket, events out
    client    stream_audio: a client of /stream
    photo     a visitor's own avatar, built from their photograph
    worker    one worker of many: its name, ICE servers, capacity, metrics, drain
    memory    the process's heap, kept flat as visitors come and go
    opus, vp8 aiortc's encoders, tuned for a rendered face
    cli       the command line: flags, build, run
"""

from .client import StreamRefused, stream_audio
from .routes import Server
from .security import check_token, mint_token, page_policy
from .visitor import Live

__all__ = ["Server", "Live", "mint_token", "check_token", "page_policy", "stream_audio",
           "StreamRefused"]
