"""Seconds from Ctrl-C (SIGINT) to KeyboardInterrupt in a process running
denoise() on a brain-sized volume (181x217x181), with the signal sent at
several points into the call.

Usage: .venv/bin/python bench/python_interrupt.py [TRIES]
"""
import signal
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent("""
    import numpy as np
    import denoisers
    rng = np.random.default_rng(0)
    vol = 100.0 + 8.0 * rng.standard_normal((181, 217, 181))
    print("calling", flush=True)
    try:
        while True:
            denoisers.denoise(vol, 8.0)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


def main():
    tries = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    latencies = []
    for k in range(tries):
        child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
        try:
            child.stdout.readline()
            time.sleep(0.3 + 0.5 * k)  # into estimation, quillon or tessary
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().strip()
            latencies.append(time.perf_counter() - sent)
            child.wait(timeout=60)
        finally:
            child.kill()
        print(f"signal {0.3 + 0.5 * k:.1f} s into the loop: {line} after "
              f"{latencies[-1]:.3f} s", flush=True)
    print(f"largest: {max(latencies):.3f} s")


if __name__ == "__main__":
    main()
