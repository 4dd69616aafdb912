"""A tiny FTP server in memory, for checking that the load generator counts
what really crossed the wire. Quirks can be switched on to mimic servers that
answer in other (legal) ways."""
import socket
import socketserver
import threading


class FakeFtp:
    def __init__(self, files=None, multiline=False, bare_pasv=False, short_by=0, listing_lines=3):
        self.files = dict(files or {})       # name -> bytes, in one flat folder
        self.multiline = multiline           # greeting and 230 over several lines
        self.bare_pasv = bare_pasv           # 227 without parentheses
        self.short_by = short_by             # RETR sends this many bytes too few
        self.listing_lines = listing_lines
        self.lock = threading.Lock()
        self.quits = 0
        self.open_sessions = 0
        self.commands = []
        self.uploads = {}  # name -> bytes received, kept after DELE
        fake = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                with fake.lock:
                    fake.open_sessions += 1
                try:
                    fake._session(self)
                finally:
                    with fake.lock:
                        fake.open_sessions -= 1

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True
            request_queue_size = 256

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def _session(self, h):
        def send(text):
            h.wfile.write(text.encode() + b"\r\n")
            h.wfile.flush()

        send("220-Fake server\r\n220-second line\r\n220 ready" if self.multiline else "220 ready")
        listener = None
        restart = 0
        while True:
            line = h.rfile.readline()
            if not line:
                return
            line = line.decode().rstrip("\r\n")
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            with self.lock:
                self.commands.append(line)
            if verb == "USER":
                send("331 password please")
            elif verb == "PASS":
                send("230-Welcome\r\n230 logged in" if self.multiline else "230 logged in")
            elif verb == "REST":
                restart = int(arg)
                send("350 restarting at %d" % restart)
            elif verb in ("NOOP", "TYPE"):
                send("200 ok")
            elif verb == "PWD":
                send('257 "/" is the current directory')
            elif verb == "CWD":
                send("250 ok")
            elif verb == "QUIT":
                with self.lock:
                    self.quits += 1
                send("221 bye")
                return
            elif verb == "PASV":
                listener = socket.socket()
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
                p = listener.getsockname()[1]
                nums = "127,0,0,1,%d,%d" % (p // 256, p % 256)
                send("227 Entering Passive Mode %s" % (nums if self.bare_pasv else "(%s)." % nums))
            elif verb in ("RETR", "LIST", "STOR"):
                if listener is None:
                    send("425 no PASV")
                    continue
                if verb == "RETR" and arg not in self.files:
                    send("550 no such file")
                    continue
                data, _ = listener.accept()
                listener.close()
                listener = None
                send("150 opening")
                if verb == "RETR":
                    body = self.files[arg][restart:]
                    restart = 0
                    try:
                        data.sendall(body[:max(0, len(body) - self.short_by)])
                    except OSError:
                        data.close()
                        send("426 connection closed; transfer aborted")
                        continue
                elif verb == "LIST":
                    data.sendall(b"".join(b"-rw-r--r-- 1 u g 0 Jan 1 00:00 e%d\r\n" % i
                                          for i in range(self.listing_lines)))
                else:
                    chunks = []
                    while True:
                        c = data.recv(65536)
                        if not c:
                            break
                        chunks.append(c)
                    with self.lock:
                        self.files[arg] = b"".join(chunks)
                        self.uploads[arg] = len(self.files[arg])
                data.close()
                send("226 done")
            elif verb == "DELE":
                with self.lock:
                    found = self.files.pop(arg, None) is not None
                send("250 deleted" if found else "550 no such file")
            else:
                send("502 not here")
