#!/usr/bin/python3
"""The Linux end of a serial line for a Windows test program run under Wine.

Opens a pseudo-terminal, maps Wine's COM1 to its slave through the registry
key HKLM\\Software\\Wine\\Ports, runs the program and serves its requests.
The program talks on stdout: "ok NAME", "FAIL NAME: why" and "note NAME:
text" are results passed on; "? REQUEST" asks the peer for something on the
line, answered with one line on the program's stdin. Requests:

  send HEX            write the bytes on the master             -> "ok"
  expect HEX          read the master until exactly those bytes came
                      (5 s at most)                             -> "ok" / "FAIL why"
  drain               read the master until it stays quiet 300 ms -> byte count
  termios             the slave's settings as name=value pairs
  close               close the master (the line goes away)     -> "ok"

Exit status 0 only if the program exited 0, reported at least one check and
no check failed.
"""

import os
import select
import subprocess
import sys
import termios
import time

ANSWER_LIMIT_S = 120  # the longest the program may stay silent


def line_settings(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    rates = {getattr(termios, n): int(n[1:]) for n in dir(termios)
             if n.startswith("B") and n[1:].isdigit()}
    sizes = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}
    cmspar = getattr(termios, "CMSPAR", 0o10000000000)
    fields = {
        "rate": rates.get(ospeed, ospeed),
        "cs": sizes[cflag & termios.CSIZE],
        "parenb": int(bool(cflag & termios.PARENB)),
        "parodd": int(bool(cflag & termios.PARODD)),
        "cmspar": int(bool(cflag & cmspar)),
        "cstopb": int(bool(cflag & termios.CSTOPB)),
        "crtscts": int(bool(cflag & termios.CRTSCTS)),
        "ixon": int(bool(iflag & termios.IXON)),
        "ixoff": int(bool(iflag & termios.IXOFF)),
        "icanon": int(bool(lflag & termios.ICANON)),
        "echo": int(bool(lflag & termios.ECHO)),
        "opost": int(bool(oflag & termios.OPOST)),
        "vstart": cc[termios.VSTART][0] if isinstance(cc[termios.VSTART], bytes)
        else cc[termios.VSTART],
        "vstop": cc[termios.VSTOP][0] if isinstance(cc[termios.VSTOP], bytes)
        else cc[termios.VSTOP],
    }
    return " ".join(f"{k}={v}" for k, v in fields.items())


def read_until(fd, wanted, limit_s):
    got = b""
    deadline = time.monotonic() + limit_s
    while len(got) < len(wanted):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, len(wanted) - len(got))
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    return got


def drain(fd, quiet_s=0.3):
    total = 0
    while select.select([fd], [], [], quiet_s)[0]:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        total += len(chunk)
    return total


class Line:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def serve(self, request):
        verb, _, arg = request.partition(" ")
        if verb == "send":
            os.write(self.master, bytes.fromhex(arg))
            return "ok"
        if verb == "expect":
            wanted = bytes.fromhex(arg)
            got = read_until(self.master, wanted, 5.0)
            if got == wanted:
                return "ok"
            return f"FAIL the line carried {got.hex() or 'nothing'}, expected {arg}"
        if verb == "drain":
            return str(drain(self.master))
        if verb == "termios":
            # The slave's own descriptor: the settings Wine made on its end.
            return line_settings(self.slave)
        if verb == "close":
            # Both descriptors of this side: with the master gone the slave
            # is hung up for whoever still holds it.
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = -1
            return "ok"
        return f"FAIL unknown request {request!r}"


def run(wine, wineserver, program, port, server_log):
    line = Line()
    key = r"HKLM\Software\Wine\Ports"
    # The mount manager reads the key when Wine starts: add it, then let
    # this wineserver end so the program's run starts with the mapping.
    subprocess.run([wine, "reg", "add", key, "/v", port, "/t", "REG_SZ", "/d", line.path, "/f"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wineserver, "-w"], check=True)
    # A server of our own, its output kept apart: it opens the pty without
    # O_NOCTTY, so closing the master sends it SIGHUP, on which it dumps
    # its object table on stderr.
    with open(server_log, "ab") as log:
        subprocess.run([wineserver, "-p"], check=True, stdout=log, stderr=log)

    child = subprocess.Popen([wine, program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             bufsize=0)
    passed = failed = 0
    pending = b""
    while True:
        if b"\n" not in pending:
            ready = select.select([child.stdout], [], [], ANSWER_LIMIT_S)[0]
            if not ready:
                print(f"FAIL {os.path.basename(program)}: silent for {ANSWER_LIMIT_S} s")
                child.kill()
                failed += 1
                break
            chunk = os.read(child.stdout.fileno(), 4096)
            if not chunk:
                break
            pending += chunk
            continue
        raw, pending = pending.split(b"\n", 1)
        text = raw.decode(errors="replace").rstrip("\r")
        if text.startswith("? "):
            try:
                answer = line.serve(text[2:])
            except (OSError, ValueError) as error:
                answer = f"FAIL the peer could not serve it: {error}"
            try:
                child.stdin.write(answer.encode() + b"\n")
            except BrokenPipeError:
                pass  # the program is gone; its exit status tells
            continue
        print(text, flush=True)
        if text.startswith("ok "):
            passed += 1
        elif text.startswith("FAIL"):
            failed += 1
    status = child.wait()
    subprocess.run([wineserver, "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if status != 0:
        print(f"FAIL {os.path.basename(program)}: exit status {status}")
        failed += 1
    if passed == 0 and failed == 0:
        print(f"FAIL {os.path.basename(program)}: no check reported")
        failed += 1
    print(f"{os.path.basename(program)}: {passed} passed, {failed} failed", flush=True)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit("usage: peer.py WINE64 WINESERVER PROGRAM.exe PORT SERVER_LOG")
    try:
        sys.exit(run(*sys.argv[1:]))
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"FAIL {os.path.basename(sys.argv[3])}: the line could not be set up: {error}")
        sys.exit(1)
