"""SMTP test server for the mail transfer tests (loopback only).

Runs one server on 127.0.0.1 on a free port and prints "PORT <n>" on standard output once it
accepts connections. It stops when its standard input reaches end of file (the test closed its
pipe or died), and in any case after a few minutes.

Modes:
  plain     SMTP without TLS; AUTH is never offered.
  starttls  SMTP that refuses mail until STARTTLS; AUTH only after it.
  smtps     implicit TLS from the first byte; AUTH offered.
  silent    accepts TCP connections and never sends a byte.

Every accepted message becomes two files in --dir: NNNN.eml (the DATA bytes as received) and
NNNN.env ("from: <addr>", one "rcpt: <addr>" per recipient, "auth: <login or ->"), the .env
file written last. A recipient whose local part is "refused" is refused with 550. AUTH PLAIN
and LOGIN accept only the user "mailer" with the password "s3cret-pass".
"""

import argparse
import asyncio
import os
import signal
import socket
import ssl
import sys
import threading

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword
except ImportError:
    sys.stderr.write("aiosmtpd is not installed\n")
    sys.exit(3)

USER = b"mailer"
PASSWORD = b"s3cret-pass"
LIFETIME_SECONDS = 300


class Recorder:
    def __init__(self, directory, delay):
        self.directory = directory
        self.delay = delay
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.split("@", 1)[0] == "refused":
            return "550 5.1.1 mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.delay > 0:
            await asyncio.sleep(self.delay)
        self.count += 1
        base = os.path.join(self.directory, "%04d" % self.count)
        data = envelope.original_content
        if data is None:
            data = envelope.content
        if isinstance(data, str):
            data = data.encode("utf-8", "surrogateescape")
        write_atomic(base + ".eml", data)
        auth = session.auth_data if session.authenticated else None
        if isinstance(auth, bytes):
            auth = auth.decode("utf-8", "replace")
        lines = ["from: %s" % envelope.mail_from]
        lines += ["rcpt: %s" % r for r in envelope.rcpt_tos]
        lines.append("auth: %s" % (auth if auth else "-"))
        write_atomic(base + ".env", ("\n".join(lines) + "\n").encode("utf-8"))
        return "250 OK message accepted"


def write_atomic(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.rename(tmp, path)


def authenticate(server, session, envelope, mechanism, auth_data):
    if mechanism not in ("PLAIN", "LOGIN") or not isinstance(auth_data, LoginPassword):
        return AuthResult(success=False, handled=False)
    ok = auth_data.login == USER and auth_data.password == PASSWORD
    return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tls_context(args):
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(args.cert, args.key)
    return ctx


def start_smtp(args):
    handler = Recorder(args.dir, args.delay)
    kwargs = {"authenticator": authenticate, "auth_require_tls": True}
    if args.mode == "starttls":
        kwargs.update(tls_context=tls_context(args), require_starttls=True)
    elif args.mode == "smtps":
        # The whole session is TLS, so AUTH may be offered from the start.
        kwargs.update(ssl_context=tls_context(args), auth_require_tls=False)
    last = None
    for _ in range(5):
        port = free_port()
        controller = Controller(handler, hostname="127.0.0.1", port=port, **kwargs)
        try:
            controller.start()
            return controller, port
        except OSError as e:
            last = e
    raise last


def start_silent():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held = []

    def accept_forever():
        while True:
            conn, _ = listener.accept()
            held.append(conn)

    threading.Thread(target=accept_forever, daemon=True).start()
    return listener, listener.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["plain", "starttls", "smtps", "silent"], required=True)
    parser.add_argument("--dir", default=".")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--delay", type=float, default=0.0)
    args = parser.parse_args()

    # A test that never closes its pipe still does not leave the server behind for long.
    signal.alarm(LIFETIME_SECONDS)
    if args.mode == "silent":
        server, port = start_silent()
    else:
        server, port = start_smtp(args)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()
    sys.stdin.read()
    if args.mode != "silent":
        server.stop()
    os._exit(0)


if __name__ == "__main__":
    main()
