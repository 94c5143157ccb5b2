"""Times ``ferrun log stats`` on a large synthetic traffic log and reports its peak memory.

    python bench/log_stats_bench.py [--lines N]

The log imitates a long stream session on a 115200-baud line: stream commands and their
telemetry, now and then a blocking read, a timed-out exchange and its resend, a corrupted
response and an exception answer. The command runs twice, on a tenth of the log and on all
of it, so a reader can see that the memory does not grow with the log. A benchmark, not a
test: the time depends on the machine and its load; the CPU time (one core) is the steadier
figure on a busy machine."""

import argparse
import os
import subprocess
import sys
import tempfile
from typing import List

from ferrun.log_decoder import crc16


def frame(body: bytes) -> bytes:
    crc = crc16(body)
    return body + bytes([crc & 0xFF, crc >> 8])


def line(time_us: int, direction: str, data: bytes, failure: str = "") -> str:
    fields = [str(time_us), direction, *(f"{b:02x}" for b in data)]
    return "\t".join(fields + ([failure] if failure else [])) + "\r\n"


def write_log(path: str, lines: int) -> None:
    stream_tx = [frame(bytes([1, 100, 30]) + (k * 37).to_bytes(4, "big", signed=True))
                 for k in range(256)]
    stream_rx = [frame(bytes([1, 100]) + (k * 35).to_bytes(4, "big", signed=True)
                       + (k - 128).to_bytes(4, "big", signed=True)
                       + bytes([0, 3, 30, 0x5D, 0xC0, 0, 0])) for k in range(256)]
    read_tx = frame(bytes([1, 3, 1, 0x3D, 0, 1]))
    read_rx = frame(bytes([1, 3, 2, 0, 3]))
    busy_rx = frame(bytes([1, 0x83, 6]))
    t = 1_000_000
    written = 0
    with open(path, "w", newline="") as log:
        chunk: List[str] = []
        k = 0
        while written < lines:
            k += 1
            if k % 1000 == 0:  # a blocking read: answered, timed out and resent, busy
                pairs = [(read_tx, read_rx, ""), (read_tx, b"", "Timed out. "),
                         (read_tx, busy_rx, ""), (read_tx, read_rx, "")]
            elif k % 997 == 0:
                bad = bytearray(stream_rx[k % 256])
                bad[-1] ^= 0xFF
                pairs = [(stream_tx[k % 256], bytes(bad), "Wrong CRC. ")]
            else:
                pairs = [(stream_tx[k % 256], stream_rx[k % 256], "")]
            for request, response, failure in pairs:
                chunk.append(line(t, "tx", request))
                t += 20_000 if failure.startswith("Timed") else 1_700 + (k * 7919) % 300
                chunk.append(line(t, "rx", response, failure))
                t += 2_000 + (k * 104729) % 150
                written += 2
            if len(chunk) > 20_000:
                log.writelines(chunk)
                chunk.clear()
        log.writelines(chunk)


def run_stats(path: str) -> str:
    # A fresh interpreter for each run, so ru_maxrss of the children is its peak alone.
    probe = ("import resource, subprocess, sys, time\n"
             "start = time.perf_counter()\n"
             "done = subprocess.run([sys.executable, '-m', 'ferrun', 'log', 'stats', '--baud', "
             "'115200', sys.argv[1]], capture_output=True, text=True)\n"
             "seconds = time.perf_counter() - start\n"
             "usage = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
             "print(done.returncode, seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss)\n"
             "sys.stderr.write(done.stdout + done.stderr)\n")
    done = subprocess.run([sys.executable, "-c", probe, path], capture_output=True, text=True)
    code, seconds, cpu, peak = done.stdout.split()
    lines = sum(1 for _ in open(path, "rb"))
    print(f"ferrun log stats, {lines} lines ({os.path.getsize(path) / 1e6:.0f} MB): "
          f"{float(seconds):.2f} s wall, {float(cpu):.2f} s CPU, peak memory {int(peak) / 1024:.1f} MiB, "
          f"exit status {code}")
    return done.stderr


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        report = ""
        for lines in (args.lines // 10, args.lines):
            path = os.path.join(folder, f"traffic-{lines}.log")
            write_log(path, lines)
            report = run_stats(path)
        print(report, end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
