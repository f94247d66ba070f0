#!/usr/bin/env python3
"""Good clients beside a crowd of hostile ones.

    crowd.py --port PORT --crowd slow|silent|nonreading|burst [--good 20] [--wait 5]
             [--page /INDEX.HTM] [--big /BIG.GIF] [--burst 2000]

Raises the crowd against the server on 127.0.0.1:PORT, lets it settle for a second, then
sends GOOD requests for PAGE one after the other, each given WAIT seconds, and prints one
line: the crowd, how many good clients got a whole answer, and the median and worst
time of those that did (ms). The crowds:

  slow        60 connections that each send one byte every 0.5 s and reconnect when
              dropped
  silent      1,000 connections opened at once that send nothing
  nonreading  10 clients that ask for BIG and never read

The burst is no crowd but real clients: BURST connections opened at once, each sending
its complete request for PAGE as soon as it is connected; the line tells how many got a
whole answer within 30 s, and the median and worst time from the start of the burst.
"""
import argparse
import errno
import resource
import selectors
import socket
import statistics
import threading
import time


def connect(port, receive_buffer=0):
    s = socket.socket()
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(5)
    s.connect(("127.0.0.1", port))
    return s


def slow_crowd(port, stop):
    clients = [None] * 60
    while not stop.is_set():
        for i, c in enumerate(clients):
            try:
                if c is None:
                    c = clients[i] = connect(port)
                    c.sendall(b"GET /")
                else:
                    c.sendall(b"x")
            except OSError:
                if c is not None:
                    c.close()
                clients[i] = None
        stop.wait(0.5)
    for c in clients:
        if c is not None:
            c.close()


def held_crowd(port, stop, count, request=b"", receive_buffer=0):
    """COUNT connections that send REQUEST (maybe nothing) and then just stay."""
    clients = []
    for _ in range(count):
        try:
            c = connect(port, receive_buffer)
            c.sendall(request)
            clients.append(c)
        except OSError:
            pass
    stop.wait()
    for c in clients:
        c.close()


def good_client(port, page, wait):
    """Milliseconds to a whole answer (the server closed after it), or None."""
    start = time.monotonic()
    deadline = start + wait
    try:
        s = socket.socket()
        s.settimeout(wait)
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET " + page.encode() + b" HTTP/1.0\r\n\r\n")
        received = 0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            s.settimeout(left)
            data = s.recv(65536)
            if not data:
                break
            received += len(data)
        s.close()
        return (time.monotonic() - start) * 1000 if received else None
    except OSError:
        return None


def burst(port, page, count, wait=30.0):
    """Milliseconds to each whole answer of COUNT clients that arrive at once."""
    request = b"GET " + page.encode() + b" HTTP/1.0\r\n\r\n"
    selector = selectors.DefaultSelector()
    start = time.monotonic()
    for _ in range(count):
        s = socket.socket()
        s.setblocking(False)
        err = s.connect_ex(("127.0.0.1", port))
        if err not in (0, errno.EINPROGRESS):
            s.close()
            continue
        selector.register(s, selectors.EVENT_WRITE, {"got": 0})
    times = []
    deadline = start + wait
    while selector.get_map() and time.monotonic() < deadline:
        for key, events in selector.select(timeout=0.1):
            s, state = key.fileobj, key.data
            if events & selectors.EVENT_WRITE:
                try:
                    s.sendall(request)
                    selector.modify(s, selectors.EVENT_READ, state)
                except OSError:
                    selector.unregister(s)
                    s.close()
                continue
            try:
                data = s.recv(65536)
            except OSError:
                data = None
            if data:
                state["got"] += len(data)
                continue
            if data == b"" and state["got"]:
                times.append((time.monotonic() - start) * 1000)
            selector.unregister(s)
            s.close()
    for key in list(selector.get_map().values()):
        key.fileobj.close()
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--crowd", choices=["slow", "silent", "nonreading", "burst"], required=True)
    parser.add_argument("--good", type=int, default=20)
    parser.add_argument("--wait", type=float, default=5)
    parser.add_argument("--page", default="/INDEX.HTM")
    parser.add_argument("--big", default="/BIG.GIF")
    parser.add_argument("--burst", type=int, default=2000)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    if args.crowd == "burst":
        times = burst(args.port, args.page, args.burst)
        median = f"{statistics.median(times):.1f}" if times else "-"
        worst = f"{max(times):.1f}" if times else "-"
        print(f"crowd=burst served={len(times)}/{args.burst} median_ms={median} worst_ms={worst}")
        return

    stop = threading.Event()
    crowd = {
        "slow": lambda: slow_crowd(args.port, stop),
        "silent": lambda: held_crowd(args.port, stop, 1000),
        "nonreading": lambda: held_crowd(
            args.port, stop, 10, b"GET " + args.big.encode() + b" HTTP/1.0\r\n\r\n", 4096),
    }[args.crowd]
    thread = threading.Thread(target=crowd)
    thread.start()
    time.sleep(1)
    times = []
    for _ in range(args.good):
        ms = good_client(args.port, args.page, args.wait)
        if ms is not None:
            times.append(ms)
    stop.set()
    thread.join()
    median = f"{statistics.median(times):.1f}" if times else "-"
    worst = f"{max(times):.1f}" if times else "-"
    print(f"crowd={args.crowd} served={len(times)}/{args.good} median_ms={median} worst_ms={worst}")


if __name__ == "__main__":
    main()
