"""The engine started on a copy of an RSV that is still being written, as the application starts it.

A thread writes the copy piece by piece, pausing between pieces so the engine has to wait for bytes,
and announces each piece on a socket the engine inherits as descriptor 5 ("size N", "written N",
"complete N"). With `stop_at`, the copy stops there and closes the socket without "complete", as a
copy that failed midway.
"""

import fcntl
import os
import socket
import subprocess
import threading
import time

PIECE = 192 * 1024


def _copy(rsv, copy, sock, stop_at):
    size = os.path.getsize(rsv)
    try:
        sock.sendall(b"size %d\n" % size)
        with open(rsv, "rb") as src, open(copy, "wb") as dst:
            done = 0
            while done < size:
                if stop_at is not None and done >= stop_at:
                    return
                data = src.read(PIECE)
                dst.write(data)
                dst.flush()
                done += len(data)
                sock.sendall(b"written %d\n" % done)
                time.sleep(0.002)
        sock.sendall(b"complete %d\n" % size)
    except OSError:
        pass  # the engine has gone: its exit status tells why
    finally:
        sock.close()


def run_followed(engine, ref, rsv, copy, out, timeout, stop_at=None):
    """(exit status, output text) of the engine repairing `copy` while it is made from `rsv`."""
    ours, theirs = socket.socketpair()
    # The engine's end goes to descriptor 5, from a number that cannot be 5 itself (bash reads
    # descriptors past 9 in a redirection).
    n = fcntl.fcntl(theirs.fileno(), fcntl.F_DUPFD_CLOEXEC, 10)
    theirs.close()
    cmd = ["bash", "-c", 'exec 5<&%d %d<&-; exec "$@"' % (n, n), "bash",
           engine, "-n", "-rsv-ben", "-dst", out, ref, copy]
    writer = threading.Thread(target=_copy, args=(rsv, copy, ours, stop_at))
    writer.start()
    try:
        p = subprocess.run(cmd, pass_fds=(n,), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    finally:
        os.close(n)
        writer.join()
    return p.returncode, p.stdout.decode("utf-8", errors="replace")
