#!/usr/bin/env python3
"""One "test" request whose dart prints many match lines, through the engine:
the time per match line at 8x the baseline output, as a ratio."""
import os
import subprocess
import sys
import tempfile
import time

engine, gen_text = sys.argv[1], sys.argv[2]


def best_of(runs, action):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def seconds_per_line(scratch, size):
    text = subprocess.run([sys.executable, gen_text, "words", str(size)],
                          capture_output=True, check=True, text=True).stdout
    lines, at = [], 0
    for word in text.split():
        lines.append(f"{at}\t{len(word)}\t{word}\t{word[:2]}\n")
        at += len(word) + 1
    output = os.path.join(scratch, f"out{size}")
    with open(output, "w") as f:
        f.write("".join(lines))
    fake = os.path.join(scratch, f"dart{size}")
    with open(fake, "w") as f:
        f.write(f"#!/bin/sh\ncat >/dev/null\nexec cat '{output}'\n")
    os.chmod(fake, 0o755)
    env = dict(os.environ, BRINDLECAP_DART_BIN=fake)
    request = b'{"op":"test","pattern":"\\\\w+","text":"x"}\n'
    took = best_of(3, lambda: subprocess.run([engine], input=request, env=env,
                                             stdout=subprocess.DEVNULL, check=True))
    return took / len(lines), len(lines)


with tempfile.TemporaryDirectory() as scratch:
    baseline, count = seconds_per_line(scratch, 1_000_000)
    print(f"engine baseline ({count} match lines from dart): {baseline * 1e9:.0f} ns/line")
    larger, count = seconds_per_line(scratch, 8_000_000)
    print(f"engine {count} match lines: {larger / baseline:.2f}x the baseline time per line")
