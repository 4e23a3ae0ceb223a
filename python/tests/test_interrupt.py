"""Fault: Ctrl-C during a call is lost (the call cannot be interrupted) or
leaves threads running."""
import signal
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent("""
    import sys, threading
    import numpy as np
    import denoisers
    # Smooth data: every pair passes the gate, so each call takes a while.
    vol = np.full((90, 90, 90), 100.0) + np.linspace(0, 1, 90)
    try:
        print("calling", flush=True)
        while True:
            denoisers.tessary(vol, 5, 10.0, vol, 1)
    except KeyboardInterrupt:
        print("interrupted", threading.active_count(), flush=True)
        sys.exit(3)
""")


def test_ctrl_c_raises_keyboard_interrupt_and_leaves_no_thread():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "calling"
        time.sleep(0.5)  # into a call: the loop is almost all core time
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 3
    assert out.split() == ["interrupted", "1"]
