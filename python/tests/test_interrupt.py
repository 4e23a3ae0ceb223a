"""Fault: Ctrl-C during a call is lost (the call cannot be interrupted) or
leaves threads running."""
import signal
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import sys, threading
    import numpy as np
    import denoisers
    vol = np.random.default_rng(0).random((110, 110, 110)) * 100
    print("calling", flush=True)
    try:
        while True:
            denoisers.tessary(vol, 6, 10.0, vol, 1)
    except KeyboardInterrupt:
        print("interrupted", threading.active_count(), flush=True)
        sys.exit(3)
""")


def test_ctrl_c_raises_keyboard_interrupt_and_leaves_no_thread():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "calling"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 3
    assert out.split() == ["interrupted", "1"]
