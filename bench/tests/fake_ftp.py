"""A tiny FTP server in memory, for checking that the load generator counts
what really crossed the wire. Quirks can be switched on to mimic servers that
answer in other (legal) ways. Given a certificate it speaks explicit FTPS
(AUTH TLS, PBSZ, PROT) and, as vsftpd does by default, refuses a protected
data connection that does not resume the control connection's TLS session."""
import socket
import socketserver
import ssl
import threading


class FakeFtp:
    def __init__(self, files=None, multiline=False, bare_pasv=False, short_by=0, listing_lines=3, tls=None):
        self.files = dict(files or {})       # name -> bytes, in one flat folder
        self.multiline = multiline           # greeting and 230 over several lines
        self.bare_pasv = bare_pasv           # 227 without parentheses
        self.short_by = short_by             # RETR sends this many bytes too few
        self.listing_lines = listing_lines
        self.tls = None                      # server context, when given (certificate, key)
        if tls:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(*tls)
        self.data_sessions = []              # per protected data connection: did it resume?
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
        control = {"sock": h.connection, "rfile": h.rfile, "protect": False}

        def send(text):
            control["sock"].sendall(text.encode() + b"\r\n")

        send("220-Fake server\r\n220-second line\r\n220 ready" if self.multiline else "220 ready")
        listener = None
        restart = 0
        while True:
            line = control["rfile"].readline()
            if not line:
                return
            line = line.decode().rstrip("\r\n")
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            with self.lock:
                self.commands.append(line)
            if verb == "AUTH" and self.tls and arg == "TLS" and "ssl" not in control:
                send("234 AUTH TLS ok")
                control["ssl"] = self.tls.wrap_socket(h.connection, server_side=True)
                control["sock"] = control["ssl"]
                control["rfile"] = control["ssl"].makefile("rb")
            elif verb == "PBSZ" and "ssl" in control:
                send("200 PBSZ=0")
            elif verb == "PROT" and "ssl" in control:
                control["protect"] = arg == "P"
                send("200 PROT now %s" % arg)
            elif verb == "USER":
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
                if control["protect"]:
                    # A clean end of an upload is the client's close_notify, not just its FIN.
                    try:
                        data = self.tls.wrap_socket(data, server_side=True, suppress_ragged_eofs=False)
                    except (ssl.SSLError, OSError):
                        send("425 TLS handshake failed")
                        continue
                    with self.lock:
                        self.data_sessions.append(data.session_reused)
                    if not data.session_reused:
                        data.close()
                        send("522 SSL connection failed: session reuse required")
                        continue
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
                    try:
                        while True:
                            c = data.recv(65536)
                            if not c:
                                break
                            chunks.append(c)
                    except (ssl.SSLError, OSError):
                        data.close()
                        send("426 upload not ended cleanly")
                        continue
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
