#!/usr/bin/env python3
"""A flood of one kind of request that velweb does not hand over, as fast as it answers.

    log_flood.py --port PORT --kind KIND [--addresses 1] [--seconds 5] [--max 100000]

Sends requests of KIND to 127.0.0.1:PORT from 4 threads, for SECONDS or MAX requests,
whichever comes first, each on a new connection; with ADDRESSES > 1 the requests come
in turn from 127.0.0.2, 127.0.0.3, ... (every local account has all of 127.0.0.0/8).
Kinds, as a monitoring system or a client in a loop sends them:

  resolved    an Alertmanager notification that is resolved, to ?resolved=0 (skipped)
  bad         an Alertmanager post whose body is no JSON
  notpassed   a form post while the alarm server takes nothing (run "fill" first)
  unknown     a form post to a receiver that the receiver file does not hold
  host        a GET naming another host (a DNS-rebinding page)
  fill        one post that fills the command buffer

Prints one line: the requests sent and answered.
"""
import argparse
import socket
import threading
import time


def request(kind, port):
    host = "127.0.0.1:%d" % port
    form = "application/x-www-form-urlencoded"
    if kind == "host":
        return ("GET /INDEX.HTM HTTP/1.1\r\nHost: attacker.example:%d\r\n\r\n" % port).encode()
    if kind == "resolved":
        target, kind_type = "/alertmanager?receivers=Receiver+001&resolved=0", "application/json"
        body = ('{"status":"resolved","alerts":[{"status":"resolved","labels":'
                '{"alertname":"DiskFull"},"annotations":{}}]}')
    elif kind == "bad":
        target, kind_type, body = "/alertmanager?receivers=Receiver+001", "application/json", '{"status":'
    elif kind == "notpassed":
        target, kind_type, body = "/SEND.HTM", form, "message=m&receivers=Receiver+001"
    elif kind == "unknown":
        target, kind_type, body = "/SEND.HTM", form, "message=m&receivers=Nobody"
    elif kind == "fill":
        # "FT:Receiver 001", 0xFE and 4,060 bytes: 17 bytes of the buffer stay free, too few
        # for any message to Receiver 001.
        target, kind_type, body = "/SEND.HTM", form, "message=" + "x" * 4060 + "&receivers=Receiver+001"
    else:
        raise SystemExit("unknown kind " + kind)
    return ("POST %s HTTP/1.1\r\nHost: %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n%s"
            % (target, host, kind_type, len(body), body)).encode()


def send(port, source, data):
    s = socket.socket()
    s.settimeout(5)
    try:
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(data)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
        return bool(got)
    except OSError:
        return False
    finally:
        s.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--kind", required=True)
    p.add_argument("--addresses", type=int, default=1)
    p.add_argument("--seconds", type=float, default=5)
    p.add_argument("--max", type=int, default=100000)
    a = p.parse_args()
    a.addresses = max(1, min(a.addresses, 250))
    data = request(a.kind, a.port)
    if a.kind == "fill":
        print("sent 1, answered %d" % send(a.port, "127.0.0.1", data))
        return
    end = time.monotonic() + a.seconds
    lock = threading.Lock()
    counts = {"sent": 0, "answered": 0}

    def run():
        while time.monotonic() < end:
            with lock:
                n = counts["sent"]
                if n >= a.max:
                    return
                counts["sent"] = n + 1
            source = "127.0.0.%d" % (2 + n % a.addresses) if a.addresses > 1 else "127.0.0.2"
            if send(a.port, source, data):
                with lock:
                    counts["answered"] += 1

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("sent %d, answered %d" % (counts["sent"], counts["answered"]))


if __name__ == "__main__":
    main()
