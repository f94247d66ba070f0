#!/usr/bin/env python3
"""A good client beside a flood of wrong passwords from ever new addresses.

    password_flood.py --port PORT --password PW [--rate 50] [--seconds 20]
                      [--every 0.2] [--page /INDEX.HTM]

The server on 127.0.0.1:PORT wants PW (HTTP Basic). The good client, on 127.0.0.1, asks
for PAGE with PW once (so that the server knows it), then every EVERY seconds while the
flood runs. The flood sends RATE requests a second, each from a new loopback address
(127.1.0.1, 127.1.0.2, ...: every local account has all of 127.0.0.0/8) with a password
that is wrong and never the same, so that nothing the server remembers spares it a
check. Prints one line: the flood asked and answered, and the good client's requests,
answered with 200, median and worst time (ms).
"""
import argparse
import base64
import socket
import statistics
import threading
import time


def fetch(port, source, auth, page, timeout):
    s = socket.socket()
    s.settimeout(timeout)
    try:
        if source:
            s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(("GET %s HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n" % (page, auth)).encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        return data
    except OSError:
        return b""
    finally:
        s.close()


def basic(password):
    return base64.b64encode(("user:" + password).encode()).decode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--rate", type=float, default=50)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--every", type=float, default=0.2)
    parser.add_argument("--page", default="/INDEX.HTM")
    args = parser.parse_args()

    right = basic(args.password)
    first = fetch(args.port, "127.0.0.1", right, args.page, 10)
    if not first.startswith(b"HTTP/1.0 200"):
        raise SystemExit("the right password is not taken: %r" % first[:80])

    stop = threading.Event()
    counts = {"asked": 0, "answered": 0}
    lock = threading.Lock()
    slots = threading.Semaphore(400)  # flood connections open at once

    def one_wrong(n):
        source = "127.%d.%d.%d" % (1 + n // 65025 % 254, 1 + n // 255 % 255, 1 + n % 255)
        answer = fetch(args.port, source, basic("wrong %d" % n), args.page, 30)
        with lock:
            counts["answered"] += answer.startswith(b"HTTP/1.0 ")
        slots.release()

    def flood():
        n = 0
        start = time.monotonic()
        while not stop.is_set():
            due = start + n / args.rate
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            if not slots.acquire(timeout=1):
                continue
            threading.Thread(target=one_wrong, args=(n,), daemon=True).start()
            with lock:
                counts["asked"] += 1
            n += 1

    flooder = threading.Thread(target=flood if args.rate > 0 else stop.wait, daemon=True)
    flooder.start()
    time.sleep(1)  # the flood under way

    times = []
    good = 0
    tried = 0
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        tried += 1
        began = time.monotonic()
        answer = fetch(args.port, "127.0.0.1", right, args.page, 30)
        took = time.monotonic() - began
        if answer.startswith(b"HTTP/1.0 200"):
            good += 1
            times.append(took * 1000)
        time.sleep(max(0.0, args.every - took))
    stop.set()
    flooder.join()
    asked = counts["asked"]
    print("flood %4d wrong (%.0f/s), %4d answered; good client %3d of %3d served, "
          "median %7.1f ms, worst %7.1f ms"
          % (asked, asked / (args.seconds + 1), counts["answered"], good,
             tried,
             statistics.median(times) if times else float("nan"),
             max(times) if times else float("nan")), flush=True)


if __name__ == "__main__":
    main()
