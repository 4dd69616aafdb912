"""The throw-away certificate every server under test uses for TLS: made
once with Kestrel's own db/create-certificate and kept in bench/.work."""
import os
import subprocess


def ensure(folder, source):
    """(certificate, key) in `folder`, made when missing; None and the reason when it cannot be made."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    if os.path.exists(cert) and os.path.exists(key):
        return (cert, key), None
    os.makedirs(folder, exist_ok=True)
    for path in (cert, key):
        if os.path.exists(path):
            os.remove(path)  # half a pair from an interrupted run
    r = subprocess.run([os.path.join(source, "db", "create-certificate"), cert, key, "localhost"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        return None, (r.stderr.strip().splitlines() or ["exit %d" % r.returncode])[-1]
    return (cert, key), None
