#!/usr/bin/env python3
"""Feeds tavro_ex (offscreen) a stream of incoming-call reports in bursts over a
pseudo-terminal and prints how long the console takes to work through them and
its peak resident memory.

    bench/console_burst.py build/test_console/tavro_ex [CALLS] [BURST] [PAUSE_S]
"""
import os, pty, subprocess, sys, threading, time

exe = sys.argv[1]
calls = int(sys.argv[2]) if len(sys.argv) > 2 else 30000
burst = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
pause = float(sys.argv[4]) if len(sys.argv) > 4 else 0.2
limit_s = 900

master, slave = pty.openpty()
slave_path = os.ttyname(slave)
env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
proc = subprocess.Popen([exe, "--map", "COM1=" + slave_path, "--map", "COM2=/dev/tavro-none"],
                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

def drain():  # whatever the console writes to the line
    try:
        while os.read(master, 4096):
            pass
    except OSError:
        pass
threading.Thread(target=drain, daemon=True).start()

def cpu_ticks():
    with open(f"/proc/{proc.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])

def peak_rss_kb():
    with open(f"/proc/{proc.pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0

time.sleep(1.5)  # start-up
name = "홍길동".encode("cp949")
def report(i):
    return (b"Report\r\nD\r\nTime:07040910\r\nNumber:02%08d\r\nName:" % i + name
            + b"\r\nGroup:1\r\nType:S\r\nEnd\r\n")

start = time.monotonic()
for first in range(0, calls, burst):
    os.write(master, b"".join(report(i) for i in range(first, min(calls, first + burst))))
    time.sleep(pause)
written = time.monotonic()

# Done when the console has used no CPU for a full second.
last, idle_since = cpu_ticks(), time.monotonic()
while time.monotonic() - start < limit_s:
    time.sleep(0.25)
    now = cpu_ticks()
    if now != last:
        last, idle_since = now, time.monotonic()
    elif time.monotonic() - idle_since >= 1.0:
        break
finished = idle_since
rss = peak_rss_kb()
timed_out = time.monotonic() - start >= limit_s
proc.kill()
proc.wait()
print(f"calls={calls} burst={burst} pause={pause}s: all written after {written - start:.1f} s, "
      f"console idle after {finished - start:.1f} s{' (TIMED OUT)' if timed_out else ''}, "
      f"peak RSS {rss / 1024:.0f} MB")
