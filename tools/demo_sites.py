#!/usr/bin/env python3
"""Offline stand-in for the three video sites, answering as an HTTP proxy.

Point Sorlen's HTTP proxy option at the printed address and enter one of the demo page
addresses (run with --list to see them). Every page and media file is generated here; nothing
is fetched from anywhere. The pages follow the layouts the extractors read: a YouTube watch page
with a player configuration holding "fmt_url_map", a DailyMotion page with a so_player line, a
Blip.tv page with a setPrimaryMediaUrl call. Requests may use absolute addresses (proxy form) or
a plain path with a Host line.

One Blip.tv video keeps its media on an https host, reached with CONNECT through the proxy. At
start the server makes a private certificate authority and that host's certificate with the
openssl command (in --tls-dir, or a temporary folder) and says on standard error which file to
give Sorlen in SSL_CERT_FILE so that it trusts them.

The extra host demo-sites.test serves byte-exact edge cases for the tests (relocations with
bodies, odd lengths, slow bodies) and /log, the request lines and cookies seen so far.

Usage: demo_sites.py [--port N] [--media-kib N] [--tls-dir DIR]
                                                  (prints "listening 127.0.0.1 PORT")
       demo_sites.py --dump URL FILE                  (writes the body the server would send)
       demo_sites.py --list                           (prints the demo page addresses)
"""

import argparse
import os
import random
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MEDIA_KIB = 768
SLOW_SECONDS = 20

# Demo videos: id -> (title, seed). The media of each is generated from the seed.
YOUTUBE = {
    "sorlen01": ("Sorlen demo: a walk in the park", 1),
    "sorlen02": ("Rain on the old bridge", 2),
    # A title that tries to leave the download folder.
    "sorlen03": ("../../../tmp/escaped", 3),
    "sorlen04": ("..", 4),
}
DAILYMOTION = {"xdemo1": ("clip", 11), "xdemo2": ("harbour-at-night", 12)}
BLIP = {"1001": ("show-ep1", 21), "1002": ("Cooking-Show-Ep7", 22),
        "1003": ("Sunrise-over-the-dunes", 23)}
# Blip.tv videos whose media address is https.
BLIP_HTTPS = {"1003"}

YT_MEDIA_HOST = "v12.lscache3.c.youtube.com"
DM_MEDIA_HOST = "proxy-61.dailymotion.com"
# Answers only inside a CONNECT tunnel, over TLS.
HTTPS_MEDIA_HOST = "secure.blip.tv"

_tls = None  # the server side TLS context once the certificates exist

_media_cache = {}
_log = []
_log_lock = threading.Lock()


def media_bytes(name, kind, seed, size=None):
    """The media file for a name: a container signature, then bytes from a seeded generator."""
    key = (name, kind, seed, size)
    if key not in _media_cache:
        size = MEDIA_KIB * 1024 + seed * 977 if size is None else size
        head = b"FLV\x01\x05\x00\x00\x00\x09" if kind == "flv" else b"\x00\x00\x00\x18ftypmp42"
        body = head + random.Random(seed * 7919 + len(name)).randbytes(max(0, size - len(head)))
        _media_cache[key] = body[:size]
    return _media_cache[key]


def generated_bytes(size, seed):
    """Deterministic filler for the test host: the same size and seed give the same bytes."""
    return random.Random(seed).randbytes(size)


def yt_media_url(vid, itag):
    # Escaped the way the 2009 player configuration escaped it: \/ for slashes, \u0026 for &.
    return ("http:\\/\\/%s\\/videoplayback?ip=0.0.0.0\\u0026sparams=id%%2Cexpire%%2Citag"
            "\\u0026itag=%d\\u0026id=%s\\u0026expire=1262304000" % (YT_MEDIA_HOST, itag, vid))


def youtube_page(vid, title, variant=""):
    fmt_map = ",".join("%d|%s" % (tag, yt_media_url(vid, tag)) for tag in (35, 34, 18, 5))
    config = ("'PLAYER_CONFIG': {\"url\": \"http:\\/\\/s.ytimg.com\\/yt\\/swf\\/watch.swf\", "
              "\"args\": {\"video_id\": \"%s\", \"fmt_map\": \"35\\/640000\\/9\\/0\\/115,"
              "34\\/0\\/9\\/0\\/115,5\\/0\\/7\\/0\\/0\", \"fmt_url_map\": \"%s\", "
              "\"enablejsapi\": 1}}" % (vid, fmt_map))
    if variant == "nomap":
        config = config.replace("fmt_url_map", "fmt_stream_map")
    head_title = "<title>YouTube\t- %s</title>" % title
    if variant == "notitle":
        head_title = "<meta name=\"title\" content=\"%s\">" % title
    lines = [
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">",
        "<html lang=\"en\" dir=\"ltr\">",
        "<head>",
        "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">",
        head_title,
        "<link rel=\"stylesheet\" href=\"http://s.ytimg.com/yt/css/base_all.css\">",
        "</head>",
        "<body class=\"date-20091201 en_US\">",
        "<div id=\"watch-headline-title\"><h1>%s</h1></div>" % title,
        "<div id=\"watch-player-div\"></div>",
        "<script type=\"text/javascript\">",
        "\tvar fo = writeMoviePlayer(\"watch-player-div\");",
        "\tyt.setConfig({",
    ]
    if variant != "noconfig":
        lines.append("\t\t" + config + ",")
    lines += [
        "\t\t'VIDEO_ID': '%s'," % vid,
        "\t\t'SORLEN_DEMO': true",
        "\t});",
        "</script>",
        "<div id=\"watch-description\">An offline demonstration page.</div>",
        "</body>",
        "</html>",
    ]
    page = "\r\n".join(lines) + "\r\n"
    if variant == "truncated":
        cut = page.find("fmt_url_map") + 40
        page = page[:cut]
    return page.encode("latin-1")


def dailymotion_page(vid, title):
    media = "http://%s/video/%s/FLV-320x240/%s.flv?key=1" % (DM_MEDIA_HOST, vid, title)
    return ("<html><head><title>%s - a video on Dailymotion</title></head>\n<body>\n"
            "<div id=\"video_player\"></div>\n<script type=\"text/javascript\">\n"
            "var so_player_3f0c1 = new SWFObject(\"http://www.dailymotion.com/swf/%s\", "
            "\"video_player\", \"420\", \"339\", \"9.0.28\", \"#000000\");\n"
            "so_player_3f0c1.addVariable(\"preview\", \"http://ak2.static.dailymotion.com/x.jpg\");\n"
            "so_player_3f0c1.addVariable(\"video\", \"%s\");\n"
            "so_player_3f0c1.write(\"video_player\");\n</script>\n</body></html>\n"
            % (title, vid, media)).encode("latin-1")


def blip_page(vid, title):
    base = "https://" + HTTPS_MEDIA_HOST if vid in BLIP_HTTPS else "http://blip.tv"
    media = "%s/file/get/%s.mp4?referrer=blip.tv&source=1" % (base, title)
    return ("<html><head><title>%s | blip.tv</title></head>\r\n<body>\r\n"
            "<script type=\"text/javascript\">\r\n"
            "  var player = new Blip.Player('%s');\r\n"
            "  player.setPrimaryMediaUrl(\"%s\");\r\n"
            "  player.render();\r\n</script>\r\n</body></html>\r\n"
            % (title, vid, media)).encode("latin-1")


def bad_page(kind):
    """Pages that no extractor can use; the same set for every site."""
    if kind == "empty":
        return b""
    if kind == "binary":
        return generated_bytes(64 * 1024, 99).replace(b"<", b"\x00")
    if kind == "huge":
        line = b"<p>" + b"filler " * 140 + b"</p>\r\n"
        return line * (50 * 1024 * 1024 // len(line) + 1)
    return None


class Reply:
    def __init__(self, status=200, body=b"", ctype="text/html; charset=utf-8", headers=None,
                 length=True, slow=False):
        self.status, self.body, self.ctype = status, body, ctype
        self.headers = headers or []
        self.length = length
        self.slow = slow


def route(host, path, query, secure=False):
    """Turns one request into a Reply, or None for an unknown address."""
    if (host == HTTPS_MEDIA_HOST) != secure:
        return None
    q = urllib.parse.parse_qs(query, keep_blank_values=True)
    site_cookies = [("Set-Cookie", "VISITOR_INFO1_LIVE=dEmO%d; path=/; domain=.youtube.com; "
                                   "expires=Sun, 01-Aug-2010 00:00:00 GMT" % len(path)),
                    ("Set-Cookie", "PREF=f1=50000000; path=/; domain=.youtube.com"),
                    ("Set-Cookie", "use_hitbox=72c46ff6cbcdb7c5585c36411b6b334e; path=/")]
    if host == "youtube.com" and path == "/watch":
        # The bare host sends the visitor on to www, with a cookie and a short body.
        return Reply(302, b"<html><body>Moved <a href=\"/\">here</a></body></html>\r\n",
                     headers=[("Location", "http://www.youtube.com/watch?" + query),
                              ("Set-Cookie", "GEO=demo; path=/; domain=.youtube.com")])
    if host == "www.youtube.com" and path == "/watch":
        vid = q.get("v", [""])[0]
        bad = bad_page(vid)
        if bad is not None:
            return Reply(body=bad, headers=site_cookies)
        if vid == "slow":
            return Reply(body=youtube_page(vid, "slow"), headers=site_cookies, slow=True)
        for variant in ("noconfig", "nomap", "notitle", "truncated"):
            if vid == variant:
                return Reply(body=youtube_page(vid, "broken page", variant), headers=site_cookies)
        if vid in YOUTUBE:
            return Reply(body=youtube_page(vid, YOUTUBE[vid][0]), headers=site_cookies)
        return Reply(body=b"<html><head><title>YouTube - Broadcast Yourself.</title></head>"
                          b"<body>This video is no longer available.</body></html>\r\n",
                     headers=site_cookies)
    if host == YT_MEDIA_HOST and path == "/videoplayback":
        vid, itag = q.get("id", [""])[0], q.get("itag", ["0"])[0]
        if vid in YOUTUBE and itag in ("5", "18", "34", "35"):
            kind = "flv" if itag in ("5", "34", "35") else "mp4"
            return Reply(body=media_bytes(vid + itag, kind, YOUTUBE[vid][1]),
                         ctype="video/x-flv" if kind == "flv" else "video/mp4")
    if host in ("www.dailymotion.com", "dailymotion.com") and path.startswith("/video/"):
        return player_page(path[len("/video/"):].split("_")[0], DAILYMOTION, dailymotion_page,
                           b"<html><body>so_player_ff.addVariable(\"preview\", \"x\");</body></html>\n")
    if host == DM_MEDIA_HOST and path.startswith("/video/"):
        vid = path.split("/")[2]
        if vid in DAILYMOTION:
            return Reply(body=media_bytes(vid, "flv", DAILYMOTION[vid][1]), ctype="video/x-flv")
    if host in ("blip.tv", "www.blip.tv", HTTPS_MEDIA_HOST) and path.startswith("/file/get/"):
        name = path[len("/file/get/"):]
        for vid, (title, seed) in BLIP.items():
            if name == title + ".mp4":
                return Reply(body=media_bytes(vid, "mp4", seed), ctype="video/mp4")
    if host in ("blip.tv", "www.blip.tv") and path.startswith("/file/"):
        return player_page(path[len("/file/"):].strip("/"), BLIP, blip_page,
                           b"<html><body>player.setPrimaryMediaUrl<br></body></html>\r\n")
    if host in ("demo-sites.test", "127.0.0.1"):
        # The test host also answers requests made to the server directly, without the proxy.
        return route_test(path, q)
    return None


def player_page(vid, videos, make_page, unknown):
    """The watch page of a player-line site: a broken variant, a known video, or `unknown`."""
    bad = bad_page(vid)
    if bad is not None:
        return Reply(body=bad)
    if vid in videos:
        return Reply(body=make_page(vid, videos[vid][0]))
    return Reply(body=unknown)


def route_test(path, q):
    body150 = (b"<html><body>This document has moved. " + b"." * 200)[:148] + b"\r\n"
    if path == "/redirect-body":
        return Reply(302, body150, headers=[("Location", "http://demo-sites.test/final")])
    if path == "/redirect-nobody":
        return Reply(302, b"", headers=[("Location", "/final")])
    if path == "/redirect-media":
        return Reply(302, body150, headers=[("Location", "http://demo-sites.test/media?size=%s"
                                             % q.get("size", ["100000"])[0])])
    if path == "/redirect-https":
        host = q.get("host", ["demo-sites.test"])[0]
        return Reply(302, b"", headers=[("Location", "https://%s/final" % host)])
    if path == "/redirect-ftp":
        return Reply(302, body150, headers=[("Location", "ftp://demo-sites.test/pub/file.flv")])
    if path == "/final":
        return Reply(body=b"<html><body>final page</body></html>\r\n")
    if path == "/media":
        size = min(int(q.get("size", ["100000"])[0]), 256 * 1024 * 1024)
        return Reply(body=generated_bytes(size, size), ctype="application/octet-stream")
    if path == "/length":
        # A raw Content-Length value, followed by a small body and the close of the connection.
        return Reply(body=b"x" * 100, length=False,
                     headers=[("Content-Length", q.get("v", [""])[0])])
    if path == "/range":
        return Reply(206, b"r" * 100, ctype="application/octet-stream",
                     headers=[("Content-Range", "bytes 0-99/" + q.get("total", [""])[0])])
    if path == "/nolength":
        return Reply(body=generated_bytes(70000, 5), length=False)
    if path == "/empty":
        return Reply(body=b"")
    if path == "/slow":
        return Reply(body=generated_bytes(4096, 6), slow=True, length=False)
    if path.startswith("/status/"):
        code = int(path[len("/status/"):] or "500")
        return Reply(code, b"<html><body>status %d</body></html>\r\n" % code)
    if path == "/log":
        with _log_lock:
            return Reply(body="".join(_log).encode("latin-1"), ctype="text/plain")
    if path == "/log/clear":
        with _log_lock:
            _log.clear()
        return Reply(body=b"cleared\r\n", ctype="text/plain")
    return None


def split_target(target, host_line):
    """(host, path, query) of an absolute or origin-form request target."""
    if target.lower().startswith(("http://", "https://")):
        parts = urllib.parse.urlsplit(target)
        host = parts.hostname or ""
        path = parts.path or "/"
        query = parts.query
    else:
        host = (host_line or "").split(":")[0]
        path, _, query = target.partition("?")
    return host.lower(), path, query


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "DemoSites/1.0"

    tunnel_host = None  # the host a CONNECT tunnel leads to, once TLS runs inside it

    def log_message(self, fmt, *args):
        pass

    def log_request_line(self):
        with _log_lock:
            _log.append("%s %s\r\nCookie: %s\r\n" % (self.command, self.path,
                                                    self.headers.get("Cookie", "")))

    def do_GET(self):
        host, path, query = split_target(self.path, self.headers.get("Host"))
        if self.tunnel_host:
            host = self.tunnel_host
        if host != "demo-sites.test" or not path.startswith("/log"):
            self.log_request_line()
        reply = route(host, path, query, secure=self.tunnel_host is not None)
        if reply is None:
            reply = Reply(502 if not known_host(host) else 404,
                          b"<html><body>not part of the offline demo</body></html>\r\n")
        self.send_reply(reply)

    do_HEAD = do_GET

    def do_CONNECT(self):
        self.log_request_line()
        host, _, port = self.path.rpartition(":")
        if _tls is None or self.tunnel_host or host.lower() != HTTPS_MEDIA_HOST or port != "443":
            self.send_reply(Reply(502, b"<html><body>no tunnel to there</body></html>\r\n"))
            return
        self.send_response(200, "Connection established")
        self.end_headers()
        try:
            tls = _tls.wrap_socket(self.connection, server_side=True)
        except (ssl.SSLError, OSError):
            return  # a client that does not trust the certificate hangs up here
        # The next request is read from inside the tunnel.
        self.connection = tls
        self.rfile = tls.makefile("rb")
        self.wfile = tls.makefile("wb")
        self.tunnel_host = host.lower()
        self.close_connection = False

    def finish(self):
        super().finish()
        if self.tunnel_host:
            try:
                self.connection.settimeout(10)
                self.connection.unwrap()  # close_notify, as an https server ends
            except (ssl.SSLError, OSError):
                pass
            self.connection.close()

    def send_reply(self, reply):
        try:
            self.write_reply(reply)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass  # the client went away (a cancel): nothing to report

    def write_reply(self, reply):
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.ctype)
        if reply.length and not reply.slow:
            self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        if reply.slow:
            # A trickle that a client can cancel at any moment; it ends by itself.
            step = max(1, len(reply.body) // (SLOW_SECONDS * 10))
            for at in range(0, len(reply.body), step):
                self.wfile.write(reply.body[at:at + step])
                self.wfile.flush()
                time.sleep(0.1)
        else:
            view = memoryview(reply.body)
            for at in range(0, len(view), 1 << 20):
                self.wfile.write(view[at:at + (1 << 20)])


def known_host(host):
    return host in ("demo-sites.test", "127.0.0.1") or any(
        host == d or host.endswith("." + d) for d in ("youtube.com", "dailymotion.com", "blip.tv"))


def demo_addresses():
    return ([("YouTube", "http://www.youtube.com/watch?v=" + v) for v in YOUTUBE] +
            [("YouTube (relocated from the bare host)", "http://youtube.com/watch?v=sorlen02")] +
            [("DailyMotion", "http://www.dailymotion.com/video/%s_demo" % v) for v in DAILYMOTION] +
            [("Blip.tv" + (" (media over https)" if v in BLIP_HTTPS else ""),
              "http://blip.tv/file/" + v) for v in BLIP])


def make_certificates(folder):
    """The CA file and the https media host's certificate and key, made in folder unless they
    are there from an earlier run (so a CA that Sorlen was told to trust stays valid)."""
    os.makedirs(folder, exist_ok=True)
    ca, cert, key = (os.path.join(folder, n) for n in ("ca.pem", "host.pem", "host.key"))
    if all(os.path.exists(f) for f in (ca, cert, key)):
        return ca, cert, key
    new_key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    ext = os.path.join(folder, "host.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n" % HTTPS_MEDIA_HOST)
    csr, ca_key = os.path.join(folder, "host.csr"), os.path.join(folder, "ca.key")
    for argv in (["req", "-x509"] + new_key + ["-keyout", ca_key, "-out", ca, "-days", "3650",
                                               "-subj", "/CN=Sorlen demo sites CA"],
                 ["req"] + new_key + ["-keyout", key, "-out", csr, "-subj",
                                      "/CN=" + HTTPS_MEDIA_HOST],
                 ["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-set_serial", "2",
                  "-days", "3650", "-extfile", ext, "-out", cert]):
        subprocess.run(["openssl"] + argv, check=True, capture_output=True)
    return ca, cert, key


def start_tls(folder):
    global _tls
    try:
        ca, cert, key = make_certificates(folder)
        _tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        _tls.load_cert_chain(cert, key)
    except (OSError, subprocess.CalledProcessError, ssl.SSLError) as e:
        _tls = None
        print("no https media host (%s)" % e, file=sys.stderr, flush=True)
        return
    print("https media on %s: start Sorlen with SSL_CERT_FILE=%s" % (HTTPS_MEDIA_HOST, ca),
          file=sys.stderr, flush=True)


def dump(url, out):
    host, path, query = split_target(url, None)
    reply = route(host, path, query, secure=url.lower().startswith("https://"))
    if reply is None:
        sys.exit("unknown address: " + url)
    with open(out, "wb") as f:
        f.write(reply.body)


def main():
    global MEDIA_KIB
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--port", type=int, default=0, help="port to listen on (0: the OS picks)")
    ap.add_argument("--media-kib", type=int, default=MEDIA_KIB, help="size of the media files")
    ap.add_argument("--dump", nargs=2, metavar=("URL", "FILE"))
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--tls-dir", help="folder for the https host's CA and certificate "
                                      "(made there unless present; default: a temporary one)")
    ap.add_argument("--exit-with-stdin", action="store_true",
                    help="stop when standard input closes (tests use it so no server outlives them)")
    args = ap.parse_args()
    MEDIA_KIB = args.media_kib
    if args.dump:
        dump(*args.dump)
        return
    if args.list:
        for site, url in demo_addresses():
            print("%-40s %s" % (site, url))
        return
    # A plain kill still removes the temporary folder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with tempfile.TemporaryDirectory(prefix="demo-sites-") as temp:
        start_tls(args.tls_dir or temp)
        serve(args)


def serve(args):
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    print("listening 127.0.0.1 %d" % server.server_address[1], flush=True)
    if args.exit_with_stdin:
        threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
