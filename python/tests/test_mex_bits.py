"""Fault: the Python call prepares the core differently from the MEX
gateway (flag truncation or narrowing, bias table length, zeroing, order of
the volume's axes), so the bits differ from the MEX files'."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import denoisers
from denoisers.filters import as_volumes
from conftest import BUILD, MexError, mexrun, phantom


@pytest.mark.parametrize("flag", [1, 0, -1, 2.9])
def test_quillon_bits_match_mex(tmp_path, flag):
    _, noisy = phantom()
    expected, expected_first = mexrun(tmp_path, "quillon", noisy, 6.0, flag, outputs=2)
    # C order and an integer dtype reach the same doubles.
    for vol in (np.asfortranarray(noisy), np.ascontiguousarray(noisy)):
        out, first = denoisers.quillon(vol, 6.0, flag, return_first=True)
        assert np.array_equal(out, expected) and np.array_equal(first, expected_first)
    rounded = np.round(noisy)
    assert np.array_equal(denoisers.quillon(rounded.astype(np.int16), 6.0, flag),
                          mexrun(tmp_path, "quillon", rounded, 6.0, flag))


@pytest.mark.parametrize("flag,radius", [(1, 3), (0, 2), (256, 1), (-255, 2), (1.7, 0)])
def test_tessary_bits_match_mex(tmp_path, flag, radius):
    # 256 narrows to 0 and -255 to 1 on Linux: the low byte of the truncation.
    _, noisy = phantom(seed=1)
    guide = denoisers.quillon(noisy, 6.0, 1)
    expected = mexrun(tmp_path, "tessary", noisy, radius, 1, 6.0, guide, flag)
    assert np.array_equal(denoisers.tessary(noisy, radius, 6.0, guide, flag), expected)
    assert np.array_equal(
        denoisers.tessary(np.ascontiguousarray(noisy), radius, 6.0, np.ascontiguousarray(guide),
                          flag), expected)


def test_four_d_volumes_are_separate_calls_with_their_own_sigma(tmp_path):
    # The second volume is brighter, so its own largest value sizes its table.
    vols = [phantom(seed=s)[1] * (1 + s) for s in range(3)]
    series = np.stack(vols, axis=-1)
    sigmas = [5.0, 9.0, 14.0]
    q = denoisers.quillon(series, sigmas, 1)
    t = denoisers.tessary(series, 2, sigmas, q, 1)
    assert q.shape == t.shape == series.shape
    for i, (v, s) in enumerate(zip(vols, sigmas)):
        assert np.array_equal(q[..., i], mexrun(tmp_path, "quillon", v, s, 1))
        assert np.array_equal(t[..., i], mexrun(tmp_path, "tessary", v, 2, 1, s, q[..., i], 1))


def test_float64_fortran_input_is_read_in_place():
    vol = np.asfortranarray(phantom()[1])
    assert as_volumes(vol, "") is vol
    copied = as_volumes(np.ascontiguousarray(vol), "")
    assert copied.flags.f_contiguous and np.array_equal(copied, vol)


def _python_error(call):
    with pytest.raises((ValueError, TypeError, RuntimeError)) as caught:
        call()
    return str(caught.value)


def test_errors_carry_the_mex_identifier_and_message(tmp_path):
    _, noisy = phantom(shape=(6, 7, 5))
    huge = noisy * 1e7  # largest value beyond the Rician table's range
    series = np.stack([noisy, noisy], -1)
    same_calls = [
        (lambda: denoisers.quillon(noisy, 3.0, 1e12), ("quillon", noisy, 3.0, 1e12)),
        (lambda: denoisers.quillon(huge, 3.0, 1), ("quillon", huge, 3.0, 1)),
        (lambda: denoisers.tessary(noisy, 1e10, 3.0, noisy), ("tessary", noisy, 1e10, 1, 3.0,
                                                               noisy, 1)),
        (lambda: denoisers.tessary(noisy, 2, float("nan"), noisy),
         ("tessary", noisy, 2, 1, float("nan"), noisy, 1)),
        (lambda: denoisers.tessary(noisy, 2, 3.0, noisy, -3e9),
         ("tessary", noisy, 2, 1, 3.0, noisy, -3e9)),
        (lambda: denoisers.tessary(noisy, 2, 3.0, noisy[:, :, :4]),
         ("tessary", noisy, 2, 1, 3.0, noisy[:, :, :4], 1)),
        # A matrix is one slice, too thin for quillon's blocks.
        (lambda: denoisers.quillon(noisy[:, :, 0], 3.0), ("quillon", noisy[:, :, 0], 3.0, 1)),
        (lambda: denoisers.quillon(series, [1.0, float("nan")]),
         ("quillon", series, np.array([1.0, float("nan")]), 1)),
    ]
    for python_call, (mex, *args) in same_calls:
        with pytest.raises(MexError) as mex_error:
            mexrun(tmp_path, mex, *args)
        assert _python_error(python_call) == str(mex_error.value)

    # What only Python can pass: the identifier leads the gateway's text.
    with pytest.raises(TypeError, match="^quillon:volume: "):
        denoisers.quillon(noisy.astype(complex), 3.0)
    with pytest.raises(TypeError, match="^quillon:sigma: "):
        denoisers.quillon(noisy, "3")
    with pytest.raises(TypeError, match="^quillon:rician: "):
        denoisers.quillon(noisy, 3.0, [1, 0])
    with pytest.raises(ValueError, match="^quillon:sigma: "):
        denoisers.quillon(np.stack([noisy] * 3, -1), [1.0, 2.0])
    with pytest.raises(TypeError, match="^tessary:guide: "):
        denoisers.tessary(noisy, 2, 3.0, noisy.astype(object))
    with pytest.raises(TypeError, match="^tessary:scalar: Input 2 "):
        denoisers.tessary(noisy, None, 3.0, noisy)


def test_noise_sigma_matches_mex_per_volume(tmp_path):
    # Two volumes of different noise in one series, Rician and Gaussian.
    vols = [phantom(shape=(20, 22, 18), sigma=s, seed=int(s))[1] for s in (3.0, 8.0)]
    series = np.stack(vols, axis=-1)
    for rician in (True, False):
        expected = mexrun(tmp_path, "noise_sigma", series, int(rician)).ravel()
        for threads in (None, 1, 3):
            assert denoisers.estimate_sigmas(series, rician, threads) == list(expected)
        assert denoisers.estimate_sigma(np.ascontiguousarray(vols[1]), rician) == expected[1]
        assert np.array_equal(denoisers.denoise(series, rician=rician, method="quillon",
                                                per_volume=True)[1], expected)


def test_too_little_data_for_sigma_raises_the_mex_error(tmp_path):
    # Eight 2x2x2 blocks carry data; the rest of the volume is zero.
    sparse = np.zeros((10, 10, 10))
    sparse[:4, :4, :4] = 5.0 + np.arange(64).reshape(4, 4, 4)
    with pytest.raises(MexError) as mex_error:
        mexrun(tmp_path, "noise_sigma", sparse, 1)
    assert _python_error(lambda: denoisers.estimate_sigma(sparse)) == str(mex_error.value)
    # In a series such a volume takes the pooled sigma, with a warning.
    with pytest.warns(denoisers.DenoiseWarning, match="volume 1: too small"):
        denoisers.denoise(np.stack([sparse + 1.0, sparse], -1))


FAILING_CALLS = textwrap.dedent("""
    import os
    import numpy as np
    import denoisers
    vol = np.load(os.environ["VOLUME"])
    calls = [lambda: denoisers.quillon(vol, 5.0, 1),
             lambda: denoisers.tessary(vol, 2, 5.0, vol, 1),
             lambda: denoisers.estimate_sigma(vol)]
    # "1": the binding's helper thread starts, the core's first worker does
    # not; "0": neither starts, and the call runs on this thread.
    for starts in ("1", "0"):
        for call in calls:
            os.environ["DENOISERS_FAIL_THREAD_START"] = starts
            try:
                call()
                print("no error")
            except RuntimeError as e:
                print(e)
            del os.environ["DENOISERS_FAIL_THREAD_START"]
""")


def test_a_core_that_cannot_start_its_threads_raises_the_mex_error(tmp_path):
    preload = BUILD / "octave-tests" / "liboctave_fail_thread_start.so"
    if not preload.exists():
        pytest.skip(f"{preload} is not built (the Octave tests' thread-start fault library)")
    _, noisy = phantom(shape=(40, 40, 40))
    np.save(tmp_path / "vol.npy", noisy)
    env = dict(os.environ, LD_PRELOAD=str(preload), OPENBLAS_NUM_THREADS="1",
               OMP_NUM_THREADS="1", VOLUME=str(tmp_path / "vol.npy"))
    expected = []
    for mex, *args in (("quillon", noisy, 5.0, 1), ("tessary", noisy, 2, 1, 5.0, noisy, 1),
                       ("noise_sigma", noisy, 1)):
        with pytest.raises(MexError) as mex_error:
            mexrun(tmp_path, mex, *args, env=dict(env, DENOISERS_FAIL_THREAD_START="0"))
        expected.append(str(mex_error.value))
    done = subprocess.run([sys.executable, "-c", FAILING_CALLS], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == expected * 2
