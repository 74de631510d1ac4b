"""The engine started on a copy of an RSV still being written, as the application starts it: a thread
writes the copy piece by piece, pausing so the engine must wait, and announces each piece on descriptor
5 ("size N", "written N", "complete N"). With `stop_at` the copy stops there without "complete"."""

import fcntl
import os
import socket
import subprocess
import threading
import time


def _copy(rsv, copy, sock, stop_at, piece=192 * 1024):
    size = os.path.getsize(rsv)
    try:
        sock.sendall(b"size %d\n" % size)
        with open(rsv, "rb") as src, open(copy, "wb") as dst:
            while dst.tell() < size and (stop_at is None or dst.tell() < stop_at):
                dst.write(src.read(piece))
                dst.flush()
                sock.sendall(b"written %d\n" % dst.tell())
                time.sleep(0.002)
        if stop_at is None:
            sock.sendall(b"complete %d\n" % size)
    except OSError:
        pass  # the engine has gone: its exit status tells why
    finally:
        sock.close()


def run_followed(engine, ref, rsv, copy, out, timeout, stop_at=None):
    """(exit status, output text) of the engine repairing `copy` while it is made from `rsv`."""
    ours, theirs = socket.socketpair()
    # To descriptor 5 from one that cannot be 5 (bash reads descriptors past 9 in a redirection).
    n = fcntl.fcntl(theirs.fileno(), fcntl.F_DUPFD_CLOEXEC, 10)
    theirs.close()
    cmd = ["bash", "-c", 'exec 5<&%d %d<&-; exec "$@"' % (n, n), "bash", engine, "-n", "-rsv-ben", "-dst", out, ref, copy]
    writer = threading.Thread(target=_copy, args=(rsv, copy, ours, stop_at))
    writer.start()
    try:
        p = subprocess.run(cmd, pass_fds=(n,), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    finally:
        os.close(n)
        writer.join()
    return p.returncode, p.stdout.decode("utf-8", errors="replace")
