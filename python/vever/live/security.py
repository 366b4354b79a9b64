"""Who may open a session and what the page may load: the signed tokens that
open a session (mint_token, check_token) and the page's Content-Security-Policy."""

import base64
import hashlib
import hmac
import re
import time

TOKEN_ENV = "VEVER_TOKEN_SECRET"


def mint_token(secret, seconds=300, now=None):
    """A token that lets its bearer open one session within `seconds`:
    "<expiry in Unix seconds>.<HMAC-SHA256 of "vever-offer:<expiry>">"."""
    expiry = str(int((time.time() if now is None else now) + seconds))
    mac = hmac.new(secret.encode(), b"vever-offer:" + expiry.encode(), hashlib.sha256)
    return expiry + "." + mac.hexdigest()


def check_token(secret, token, now=None):
    """None when token is one of mint_token's and not expired, else why not."""
    if not isinstance(token, str) or not token:
        return "a token is required to open a session"
    expiry, _, mac = token.partition(".")
    if not expiry.isdigit() or len(expiry) > 12:
        return "the token is malformed"
    good = hmac.new(secret.encode(), b"vever-offer:" + expiry.encode(), hashlib.sha256)
    if not hmac.compare_digest(good.hexdigest(), mac):
        return "the token's signature is wrong"
    if int(expiry) < (time.time() if now is None else now):
        return "the token has expired"
    return None


def page_policy(html):
    """The page's Content-Security-Policy: its own inline script and style
    (by hash) and requests to its own origin, nothing else."""
    def hashes(tag):
        return " ".join("'sha256-%s'" % base64.b64encode(hashlib.sha256(m.encode()).digest())
                        .decode() for m in re.findall(r"<%s>(.*?)</%s>" % (tag, tag), html, re.S))
    return ("default-src 'none'; script-src %s; style-src %s; connect-src 'self'; "
            "img-src 'self' data:; media-src 'self' blob: mediastream:; base-uri 'none'; "
            "form-action 'none'" % (hashes("script"), hashes("style")))
