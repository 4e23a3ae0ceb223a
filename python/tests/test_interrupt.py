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


def test_progress_moves_within_a_call_and_an_error_in_it_stops_the_call():
    """A large volume's bar must not sit still through a pass of seconds."""
    import numpy as np
    import pytest
    from denoisers import _core, denoise

    vol = np.asfortranarray(np.full((90, 90, 90), 100.0) + np.linspace(0, 1, 90))
    shares = []
    _core.tessary(vol, 5.0, 10.0, vol, 1.0, threads=1, progress=shares.append)
    assert any(0.0 < s < 1.0 for s in shares) and shares == sorted(shares), shares

    class Closed(Exception):
        pass

    def closed(share):
        raise Closed

    with pytest.raises(Closed):
        _core.tessary(vol, 5.0, 10.0, vol, 1.0, threads=1, progress=closed)
    # The bar in denoise() goes through the passes of each volume.
    out, _ = denoise(np.stack([vol[:20, :20, :20]] * 2, -1), 10.0, method="quillon+tessary",
                     progress=True)
    assert out.shape == (20, 20, 20, 2)
