"""The peers: Debian's vsftpd, Pure-FTPd and ProFTPD.

Their packages conflict with one another, so none is installed: each is
fetched with `apt-get download`, unpacked with `dpkg -x` under bench/.peers
(maintainer scripts never run) and started from there as the current user,
on 127.0.0.1, with a configuration file of the benchmark's own. Libraries
that the machine lacks are fetched the same way and found through
LD_LIBRARY_PATH.
"""
import glob
import grp
import os
import pwd
import re
import shutil
import socket
import subprocess
import time

import procs

PACKAGES = {"vsftpd": "vsftpd", "vsftpd-isolated": "vsftpd", "pure-ftpd": "pure-ftpd", "proftpd": "proftpd-core"}
BINARIES = {"vsftpd": ["usr/sbin/vsftpd"], "vsftpd-isolated": ["usr/sbin/vsftpd"],
            "pure-ftpd": ["usr/sbin/pure-ftpd", "usr/bin/pure-pw"],
            "proftpd": ["usr/sbin/proftpd"]}
# Debian names most library packages after the soname (libfoo.so.3 -> libfoo3);
# these are the ones seen here, the rule covers the rest.
KNOWN_LIBRARIES = {
    "libwrap.so.0": "libwrap0",
    "libhiredis.so.0.14": "libhiredis0.14",
    "libmemcached.so.11": "libmemcached11",
    "libmemcachedutil.so.2": "libmemcachedutil2",
    "libhashkit.so.2": "libhashkit2",
    "libpcre2-posix.so.3": "libpcre2-posix3",
}

USER = "bench"
PASSWORD = "bench"


class Unavailable(Exception):
    """A peer that cannot be measured here; the text is the table's reason."""


class PeerInstall:
    """bench/.peers: the downloaded packages and the tree they unpack into."""

    def __init__(self, folder, log):
        self.folder = folder
        self.debs = os.path.join(folder, "debs")
        self.root = os.path.join(folder, "root")
        self.log = log
        self.problems = {}  # peer name -> why it cannot run

    def library_path(self):
        dirs = glob.glob(os.path.join(self.root, "usr/lib/*-linux-gnu")) + \
            glob.glob(os.path.join(self.root, "lib/*-linux-gnu"))
        return ":".join(d for d in dirs if os.path.isdir(d))

    def env(self):
        env = dict(os.environ)
        libs = self.library_path()
        if libs:
            env["LD_LIBRARY_PATH"] = libs + (":" + env["LD_LIBRARY_PATH"] if env.get("LD_LIBRARY_PATH") else "")
        return env

    def binary(self, peer, index=0):
        return os.path.join(self.root, BINARIES[peer][index])

    def prepare(self, peers):
        """Fetches and unpacks what is missing; records per peer what failed."""
        os.makedirs(self.debs, exist_ok=True)
        os.makedirs(self.root, exist_ok=True)
        tools = [t for t in ("apt-get", "apt-cache", "dpkg", "ldd") if not shutil.which(t)]
        if tools:
            for peer in peers:
                self.problems[peer] = "this machine has no %s (Debian's package tools are needed)" % ", ".join(tools)
            return
        for peer in peers:
            if all(os.path.exists(self.binary(peer, i)) for i in range(len(BINARIES[peer]))):
                continue
            error = self._download([PACKAGES[peer]])
            if error:
                self.problems[peer] = "apt-get download %s failed: %s" % (PACKAGES[peer], error)
        for _ in range(6):  # libraries of libraries
            missing = self._missing_libraries(peers)
            if not missing:
                break
            wanted = sorted({self._package_for(lib) for lib in missing} - {None})
            if not wanted or self._download(wanted):
                break
        for peer in peers:
            if peer in self.problems:
                continue
            still = self._missing_libraries([peer])
            if still:
                self.problems[peer] = "libraries not found: " + ", ".join(sorted(still))

    def _download(self, packages):
        argv = ["apt-get", "download", "-q"]
        if os.getuid() == 0:
            # Root's download would otherwise warn that _apt cannot write here.
            argv += ["-o", "APT::Sandbox::User=root"]
        before = set(os.listdir(self.debs))
        r = subprocess.run(argv + packages, cwd=self.debs, capture_output=True, text=True)
        if r.returncode != 0 and "Unable to locate package" in r.stderr and os.getuid() == 0:
            # A machine without package lists yet.
            subprocess.run(["apt-get", "update", "-qq"], capture_output=True)
            r = subprocess.run(argv + packages, cwd=self.debs, capture_output=True, text=True)
        if r.returncode != 0:
            return (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]
        for deb in sorted(set(os.listdir(self.debs)) - before):
            if deb.endswith(".deb"):
                self.log("unpacking %s" % deb)
                x = subprocess.run(["dpkg", "-x", os.path.join(self.debs, deb), self.root],
                                   capture_output=True, text=True)
                if x.returncode != 0:
                    return "dpkg -x %s: %s" % (deb, x.stderr.strip())
        return None

    def _missing_libraries(self, peers):
        missing = set()
        env = self.env()
        for peer in peers:
            for i in range(len(BINARIES[peer])):
                path = self.binary(peer, i)
                if not os.path.exists(path):
                    continue
                r = subprocess.run(["ldd", path], env=env, capture_output=True, text=True)
                for line in r.stdout.splitlines():
                    m = re.match(r"\s*(\S+) => not found", line)
                    if m:
                        missing.add(m.group(1))
        return missing

    def _package_for(self, soname):
        if soname in KNOWN_LIBRARIES:
            return KNOWN_LIBRARIES[soname]
        m = re.match(r"(lib[\w+.-]+?)\.so\.([\d.]+)$", soname)
        if not m:
            return None
        base, version = m.groups()
        for name in ([base + "-" + version] if base[-1].isdigit() else [base + version]):
            r = subprocess.run(["apt-cache", "show", "--no-all-versions", name], capture_output=True)
            if r.returncode == 0:
                return name
        return None


def _sha512_crypt(password):
    """The hash Debian gives system accounts, so both password-file peers pay the same for a login."""
    r = subprocess.run(["openssl", "passwd", "-6", "-salt", "benchsalt", password], capture_output=True,
                       text=True)
    if r.returncode == 0:
        return r.stdout.strip()
    import crypt  # noqa: deprecated, still present where openssl is not
    return crypt.crypt(password, "$6$benchsalt")


def _greets(port, timeout=1.0):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            return s.recv(64).startswith(b"220")
    except OSError:
        return False


class Peer:
    """One peer server: its own folder, configuration and loopback ports."""

    label = "?"
    passive_ports = 3000  # how many passive ports it gets
    # (certificate, key) for the TLS figures, given by bench/run to the peers
    # whose configuration turns TLS on; the others say why they have none.
    offers_tls = False
    tls = None
    tls_missing = "its TLS is not set up by the benchmark (only vsftpd's is)"

    def __init__(self, install, layout, workdir, port, passive):
        self.install = install
        self.layout = layout
        self.workdir = workdir
        self.port = port
        self.passive = passive  # (first, last) passive port
        self.proc = None
        self.user = USER
        self.password = PASSWORD
        self.upload = layout.upload_name(self.name)

    def pid(self):
        return self.proc.pid if self.proc else None

    def start(self):
        if self.name in self.install.problems:
            raise Unavailable(self.install.problems[self.name])
        shutil.rmtree(self.workdir, ignore_errors=True)
        os.makedirs(self.workdir)
        self.layout.make_upload(self.upload, self.upload_owner())
        argv = self.configure()
        self.logfile = open(os.path.join(self.workdir, "server.log"), "w")
        self.proc = subprocess.Popen(argv, env=self.install.env(), cwd=self.workdir, stdin=subprocess.DEVNULL,
                                     stdout=self.logfile, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.time() + 20
        while time.time() < deadline:
            if self.proc.poll() is not None:
                text = self.read_log()
                self.proc = None
                raise Unavailable("%s exited at start: %s" % (self.label, text.strip()[-300:] or "no output"))
            if _greets(self.port):
                return
            time.sleep(0.1)
        self.stop()
        raise Unavailable("%s did not answer on port %d" % (self.label, self.port))

    def read_log(self):
        try:
            with open(os.path.join(self.workdir, "server.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc is None:
            return
        procs.stop_tree(self.proc)
        self.proc = None
        self.logfile.close()

    def upload_owner(self):
        return None


class Vsftpd(Peer):
    name = "vsftpd"
    label = "vsftpd"
    offers_tls = True

    def configure(self):
        me = pwd.getpwuid(os.getuid()).pw_name
        empty = os.path.join(self.workdir, "empty")
        os.makedirs(empty)
        # Without root vsftpd can neither chroot nor switch users, so its
        # non-root mode takes anonymous logins only: the one user is "ftp",
        # living in the shared tree. The password exchange is still made.
        self.user = "ftp"
        lines = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": "127.0.0.1", "listen_port": self.port,
            "background": "NO", "run_as_launching_user": "YES", "ftp_username": me, "nopriv_user": me,
            "anonymous_enable": "YES", "local_enable": "NO", "anon_root": self.layout.root,
            "write_enable": "YES", "anon_upload_enable": "YES", "anon_other_write_enable": "YES",
            "anon_world_readable_only": "NO", "pasv_enable": "YES", "pasv_min_port": self.passive[0],
            "pasv_max_port": self.passive[1], "max_clients": 0, "max_per_ip": 0, "xferlog_enable": "NO",
            "syslog_enable": "NO", "vsftpd_log_file": os.path.join(self.workdir, "vsftpd.log"),
            "secure_chroot_dir": empty, "seccomp_sandbox": "NO", "tcp_wrappers": "NO",
            "idle_session_timeout": 3600, "use_localtime": "YES",
        }
        return self._command(lines)

    def _tls_lines(self):
        """TLS offered, not required; anonymous sessions may use it. Everything
        else (require_ssl_reuse, protocols, ciphers) keeps vsftpd's defaults."""
        if not self.tls:
            return {}
        return {"ssl_enable": "YES", "allow_anon_ssl": "YES", "rsa_cert_file": self.tls[0],
                "rsa_private_key_file": self.tls[1]}

    def _command(self, lines):
        lines = dict(lines, **self._tls_lines())
        conf = os.path.join(self.workdir, "vsftpd.conf")
        with open(conf, "w") as f:
            for k, v in lines.items():
                f.write("%s=%s\n" % (k, v))
        # vsftpd refuses a configuration file that others may write.
        os.chmod(conf, 0o600)
        return [self.install.binary("vsftpd"), conf]


class VsftpdIsolated(Vsftpd):
    """vsftpd as Debian ships it: each session in its own process, network
    and PID namespaces, switched to an unprivileged account, under its
    seccomp filter. The other column runs it as the launching user without
    that isolation, which flatters it."""
    name = "vsftpd-isolated"
    label = "vsftpd (isolated)"
    # What is left below the usual start of the ephemeral range (32 768).
    passive_ports = 2500

    def _session_account(self):
        for name in ("ftp", "nobody"):
            try:
                p = pwd.getpwnam(name)
                return name, p.pw_uid, p.pw_gid
            except KeyError:
                pass
        return None

    def upload_owner(self):
        account = self._session_account()
        return account[1:] if account and os.getuid() == 0 else None

    def configure(self):
        if os.getuid() != 0:
            raise Unavailable("its default isolation needs root (namespaces, chroot, switching users)")
        account = self._session_account()
        if account is None:
            raise Unavailable("no ftp or nobody account to run sessions as")
        empty = os.path.join(self.workdir, "empty")
        os.makedirs(empty)
        self.user = "ftp"
        lines = {
            "listen": "YES", "listen_ipv6": "NO", "listen_address": "127.0.0.1", "listen_port": self.port,
            "background": "NO", "ftp_username": account[0], "nopriv_user": account[0],
            "anonymous_enable": "YES", "local_enable": "NO", "anon_root": self.layout.root,
            "write_enable": "YES", "anon_upload_enable": "YES", "anon_other_write_enable": "YES",
            "anon_world_readable_only": "NO", "pasv_enable": "YES", "pasv_min_port": self.passive[0],
            "pasv_max_port": self.passive[1], "max_clients": 0, "max_per_ip": 0, "xferlog_enable": "NO",
            "syslog_enable": "NO", "vsftpd_log_file": os.path.join(self.workdir, "vsftpd.log"),
            "secure_chroot_dir": empty, "tcp_wrappers": "NO",
            "idle_session_timeout": 3600, "use_localtime": "YES",
        }
        return self._command(lines)


class PureFtpd(Peer):
    name = "pure-ftpd"
    label = "Pure-FTPd"
    # It admits at most half as many clients as it has passive ports.
    passive_ports = 12000

    def _session_account(self):
        try:
            p = pwd.getpwnam("nobody")
            return p.pw_uid, p.pw_gid
        except KeyError:
            return 65534, 65534

    def upload_owner(self):
        return self._session_account() if os.getuid() == 0 else None

    def configure(self):
        if os.getuid() != 0:
            raise Unavailable("Debian's build needs root: at each login its privilege separation calls "
                              "setresuid() and setgroups() and refuses the session "
                              "(\"421 Sorry, but I can't trust you\")")
        uid, gid = self._session_account()
        text = os.path.join(self.workdir, "pureftpd.passwd")
        pdb = os.path.join(self.workdir, "pureftpd.pdb")
        # A virtual user mapped to an unprivileged account, chrooted ("/./") in the shared tree.
        with open(text, "w") as f:
            f.write("%s:%s:%d:%d::%s/./::::::::::::\n" % (USER, _sha512_crypt(PASSWORD), uid, gid,
                                                       self.layout.root))
        os.chmod(text, 0o600)
        r = subprocess.run([self.install.binary("pure-ftpd", 1), "mkdb", pdb, "-f", text],
                           env=self.install.env(), capture_output=True, text=True)
        if r.returncode != 0:
            raise Unavailable("pure-pw mkdb failed: " + (r.stderr or r.stdout).strip())
        return [self.install.binary("pure-ftpd"), "-S", "127.0.0.1,%d" % self.port, "-l", "puredb:" + pdb,
                "-E", "-H", "-A", "-p", "%d:%d" % self.passive, "-c", "20000", "-C", "20000", "-L", "20000:5",
                "-g", os.path.join(self.workdir, "pure-ftpd.pid")]


class Proftpd(Peer):
    name = "proftpd"
    label = "ProFTPD"

    def configure(self):
        uid, gid = os.getuid(), os.getgid()
        user = pwd.getpwuid(uid).pw_name
        group = grp.getgrgid(gid).gr_name
        users = os.path.join(self.workdir, "ftpd.passwd")
        groups = os.path.join(self.workdir, "ftpd.group")
        with open(users, "w") as f:
            f.write("%s:%s:%d:%d::%s:/bin/sh\n" % (USER, _sha512_crypt(PASSWORD), uid, gid, self.layout.root))
        with open(groups, "w") as f:
            f.write("%s:x:%d:\n" % (USER, gid))
        # mod_auth_file refuses world-readable password files.
        os.chmod(users, 0o600)
        os.chmod(groups, 0o600)
        run = self.workdir
        # No DefaultRoot: chroot needs root. The account is the current user's
        # own uid, so a run as root needs RootLogin.
        conf = """ServerType standalone
DefaultServer on
Port {port}
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User {user}
Group {group}
PidFile {run}/proftpd.pid
ScoreboardFile {run}/proftpd.scoreboard
DelayTable none
WtmpLog off
TransferLog none
SystemLog {run}/proftpd.log
SyslogLevel warn
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile {users}
AuthGroupFile {groups}
RequireValidShell off
RootLogin {root_login}
PassivePorts {lo} {hi}
MaxInstances 20000
MaxClients none
TimeoutIdle 3600
AllowOverwrite on
<IfModule mod_ctrls.c>
  ControlsEngine off
</IfModule>
<IfModule mod_cap.c>
  CapabilitiesEngine off
</IfModule>
""".format(port=self.port, user=user, group=group, run=run, users=users, groups=groups,
           root_login="on" if uid == 0 else "off", lo=self.passive[0], hi=self.passive[1])
        path = os.path.join(self.workdir, "proftpd.conf")
        with open(path, "w") as f:
            f.write(conf)
        return [self.install.binary("proftpd"), "-n", "-q", "-c", path]


PEERS = [Vsftpd, VsftpdIsolated, PureFtpd, Proftpd]


def version_of(install, peer):
    """The Debian package version that was unpacked, for the results file."""
    for deb in sorted(os.listdir(install.debs)) if os.path.isdir(install.debs) else []:
        if deb.startswith(PACKAGES[peer] + "_"):
            return deb.split("_")[1]
    return "?"
