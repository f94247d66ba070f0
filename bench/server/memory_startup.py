#!/usr/bin/env python3
"""Memory and start-up of `velweb --headless`.

    python3 bench/server/memory_startup.py [BUILD_DIR] [--starts N]

Works on a copy of BUILD_DIR/dist (default build/) with 200 receivers and a sparse 1 GiB
file "BIG.GIF", under a VELMAR_INSTANCE of its own. Measures:

- start-up: the time from launching velweb to the first accepted TCP connection, found by
  trying to connect every 0.2 ms; N starts (default 10), each ended with SIGTERM;
- resident memory when idle: VmRSS and VmHWM from /proc/PID/status once the server has
  served one page and settled;
- resident memory while serving the 1 GiB file to one client that reads it to the end:
  VmRSS sampled every 10 ms during the transfer, and VmHWM after it.
"""
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

GIB = 1 << 30


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def wait_accepting(port, limit_s=5.0):
    """Seconds until a connection to port succeeds; None after limit_s."""
    start = time.perf_counter()
    while time.perf_counter() - start < limit_s:
        s = socket.socket()
        try:
            s.connect(("127.0.0.1", port))
            return time.perf_counter() - start
        except OSError:
            time.sleep(0.0002)
        finally:
            s.close()
    return None


def fetch(port, name, timeout_s=120.0):
    """Bytes of the answer to GET /name, read to the end of the connection."""
    total = 0
    with socket.create_connection(("127.0.0.1", port), timeout=timeout_s) as s:
        s.sendall(f"GET /{name} HTTP/1.0\r\n\r\n".encode())
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                return total
            total += len(chunk)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    args = sys.argv[1:]
    starts = 10
    if "--starts" in args:
        i = args.index("--starts")
        starts = int(args[i + 1])
        del args[i : i + 2]
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.path.abspath(args[0] if args else os.path.join(root, "build"))

    work = tempfile.mkdtemp(prefix="velweb-mem-")
    try:
        prog = os.path.join(work, "velweb")
        shutil.copytree(os.path.join(build, "dist"), prog, symlinks=True)
        names = [f"Receiver {i:03d}" for i in range(1, 201)]
        env = dict(os.environ, VELMAR_INSTANCE=f"benchmem{os.getpid()}")
        subprocess.run([os.path.join(prog, "velctl"), "receivers", "write",
                        os.path.join(prog, "vel_rcv.dat"), *names],
                       check=True, stdout=subprocess.DEVNULL, env=env)
        with open(os.path.join(prog, "BIG.GIF"), "wb") as f:
            f.truncate(GIB)  # sparse: no disk space, the same bytes to send
        port = free_port()
        with open(os.path.join(prog, "VELWEB.INI"), "w") as f:
            f.write(f"[General]\nLanguage=001\n[TCPIP]\nHTTPPort={port}\n")
        cmd = [os.path.join(prog, "velweb"), "--headless"]
        log = open(os.path.join(work, "velweb.out"), "w")

        print(f"load average: {open('/proc/loadavg').read().split()[:3]}")
        # Start-up.
        times = []
        for _ in range(starts):
            proc = subprocess.Popen(cmd, cwd=prog, env=env, stdout=log, stderr=log,
                                    stdin=subprocess.DEVNULL)
            t = wait_accepting(port)
            stop(proc)
            if t is None:
                print("start-up: velweb did not accept within 5 s", file=sys.stderr)
                return 1
            times.append(t * 1000)
        times.sort()
        print(f"start-up to accepting, {starts} starts: median {statistics.median(times):.1f} ms,"
              f" min {times[0]:.1f} ms, max {times[-1]:.1f} ms")

        # Idle, then serving the big file.
        proc = subprocess.Popen(cmd, cwd=prog, env=env, stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        try:
            if wait_accepting(port) is None:
                print("velweb did not start", file=sys.stderr)
                return 1
            fetch(port, "INDEX.HTM")
            time.sleep(3)  # the reload timer has run once, the drain of the page is over
            idle_rss = status_kib(proc.pid, "VmRSS")
            idle_hwm = status_kib(proc.pid, "VmHWM")
            print(f"idle: VmRSS {idle_rss / 1024:.1f} MiB, VmHWM {idle_hwm / 1024:.1f} MiB")

            samples = []
            done = threading.Event()

            def sample():
                while not done.is_set():
                    samples.append(status_kib(proc.pid, "VmRSS"))
                    time.sleep(0.01)

            sampler = threading.Thread(target=sample)
            sampler.start()
            t0 = time.perf_counter()
            got = fetch(port, "BIG.GIF")
            seconds = time.perf_counter() - t0
            done.set()
            sampler.join()
            hwm = status_kib(proc.pid, "VmHWM")
            if got != GIB:
                print(f"BIG.GIF: {got} bytes received, {GIB} expected", file=sys.stderr)
                return 1
            peak = max(samples)
            print(f"serving 1 GiB ({seconds:.2f} s, {GIB / seconds / 1e6:.0f} MB/s, "
                  f"{len(samples)} samples): VmRSS peak {peak / 1024:.1f} MiB "
                  f"(+{(peak - idle_rss) / 1024:.2f} MiB over idle), "
                  f"VmHWM after {hwm / 1024:.1f} MiB (+{(hwm - idle_hwm) / 1024:.2f} MiB)")
        finally:
            stop(proc)
        print(f"load average: {open('/proc/loadavg').read().split()[:3]}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
