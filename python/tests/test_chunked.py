"""Faults: a halo too narrow for what a voxel reads (quillon's two passes,
tessary's search window and local mean, on the guide too), padding or a
mirror at the faces of the volume, a Rician table or working scale taken
from a chunk instead of the whole volume, a chunk grid that does not divide
the volume or has chunks smaller than the halo, and a chunk recomputed after
a worker dies: each makes the chunked result differ from the whole-volume
call's near chunk borders or at the top of the value range."""
import os
import signal
import time

import dask
import dask.array as da
import numpy as np
import pytest

import denoisers
from denoisers import chunked
from conftest import phantom

SIGMA = 8.0
SHAPE = (100, 100, 100)


def _volume(rician, seed=3):
    _, noisy = phantom(SHAPE, sigma=SIGMA, seed=seed, rician=rician)
    # Gaussian data off its zero: the whole volume's smallest value matters.
    return noisy if rician else noisy - 40.0


def assert_matches_whole(got, whole, rician, method):
    """Every voxel the whole-volume call's, bit for bit: the cores cut a
    chunk's worker slabs, and tessary its runs of centres, where the whole
    call cuts them, so even the order of additions is the same. (Under
    Rician noise tessary ends in a square root that cancels in the
    background and a gate that truncates differences: the last bit of a
    sum, added in another order, would show there as a visible change.)"""
    assert got.shape == whole.shape and got.dtype == whole.dtype
    assert np.array_equal(got, whole), (
        f"{np.count_nonzero(got != whole)} voxels differ, by up to "
        f"{np.abs(got.astype(np.float64) - whole).max():g}")


@pytest.mark.parametrize("rician", [True, False], ids=["rician", "gaussian"])
@pytest.mark.parametrize("method", ["quillon", "quillon+tessary"])
def test_chunks_equal_the_whole_volume_call(rician, method):
    vol = _volume(rician)
    whole, _ = denoisers.denoise(vol, sigma=SIGMA, rician=rician, method=method)
    lazy = chunked.denoise(da.from_array(vol, chunks=40), SIGMA, rician, method)
    assert lazy.chunks == da.from_array(vol, chunks=40).chunks
    got = lazy.compute(scheduler="threads")
    assert_matches_whole(got, whole, rician, method)


def test_grids_that_do_not_divide_the_volume_or_undercut_the_halo():
    # float64, so that a sum added in another order shows in the result.
    vol = _volume(True, seed=5)[:61, :70, :53]
    whole, _ = denoisers.denoise(vol, sigma=SIGMA, method="quillon+tessary", radius=2)
    # 61 = 27+27+7 (boundaries off the rows' grid of 8); chunks under the
    # halo first and last, all of them, or the last of 53; and an axis of
    # single-voxel chunks.
    for chunks in [(27, 13, 17), ((2, 13, 13, 13, 13, 7), (5,) * 14, (51, 2)),
                   (61, 70, (1,) * 53)]:
        arr = da.from_array(vol, chunks=chunks)
        lazy = chunked.denoise(arr, SIGMA, True, "quillon+tessary", radius=2)
        assert lazy.chunks == arr.chunks
        assert_matches_whole(lazy.compute(scheduler="threads"), whole, True, "quillon+tessary")
    single = vol.astype(np.float32)
    lazy = chunked.denoise(da.from_array(single, chunks=27), SIGMA, True, "quillon+tessary",
                           radius=2)
    assert lazy.dtype == np.float32
    assert_matches_whole(lazy.compute(scheduler="threads"),
                         denoisers.denoise(single, sigma=SIGMA, method="quillon+tessary",
                                           radius=2)[0], True,
                         "quillon+tessary")


class _Regions:
    """An array that reads any region when sliced, as a zarr array does."""

    def __init__(self, data):
        self.data, self.shape, self.dtype, self.ndim = data, data.shape, data.dtype, data.ndim

    def __getitem__(self, key):
        return self.data[key].copy()


def test_chunks_read_as_regions_equal_the_whole_volume_call():
    # Each chunk reads its region with its halo from the source; tessary's
    # guide comes from quillon on a wider region, not from the neighbours.
    for rician, method, chunks in [(True, "quillon+tessary", (27, 13, 17)),
                                   (False, "quillon", (40, 2, 64)),
                                   (True, "quillon+tessary", 40)]:
        vol = _volume(rician, seed=9)[:61, :50, :53]
        whole, _ = denoisers.denoise(vol, sigma=SIGMA, rician=rician, method=method, radius=2)
        lazy = chunked.denoise(_Regions(vol), SIGMA, rician, method, radius=2, chunks=chunks)
        assert lazy.chunks == da.from_array(vol, chunks=chunks).chunks
        assert_matches_whole(lazy.compute(scheduler="threads"), whole, rician, method)


def test_enlarged_chunks_merge_what_is_narrower_than_the_halo():
    assert chunked.enlarged_chunks(((40, 40, 20), (3, 10, 4), (5,)), 6) == (
        (40, 40, 20), (17,), (5,))
    assert chunked.enlarged_chunks(((2, 2, 2, 9, 7),), 7) == ((15, 7),)
    assert chunked.enlarged_chunks(((5, 9), (3, 9)), {0: 8, 1: 2}) == ((14,), (3, 9))
    assert chunked.halo("quillon", 9)[0] == 6
    assert chunked.halo("quillon+tessary", 9) == {0: 16, 1: 10, 2: 10}
    # tessary's chunks start on the rows' grid of 8; none vanishes.
    assert chunked.on_row_grid((27, 27, 7)) == (24, 24, 13)
    assert chunked.on_row_grid((3, 3, 40)) == (46,)
    assert chunked.on_row_grid((40, 40, 20)) == (40, 40, 20)


def test_table_largest_reaches_the_rician_table():
    # A chunk's own largest value gives a table of its own length; the whole
    # volume's must reach the core instead. Values past a table's end go
    # uncorrected, so a table cut short changes the bright voxels, and one
    # sized from the volume's own largest value changes nothing.
    vol = np.asfortranarray(_volume(True, seed=7)[:30, :30, :30])
    own = denoisers.quillon(vol, SIGMA, 1)
    assert np.array_equal(denoisers.quillon(vol, SIGMA, 1, table_largest=vol.max()), own)
    assert np.array_equal(denoisers.quillon(vol, SIGMA, 1, table_largest=-1.0), own)
    short = denoisers.quillon(vol, SIGMA, 1, table_largest=vol.max() / 4)
    assert not np.array_equal(short, own)
    assert np.array_equal(short[own < vol.max() / 8], own[own < vol.max() / 8])
    with pytest.raises(ValueError, match="quillon:range"):
        denoisers.quillon(vol, SIGMA, 1, table_largest=1e9)


def test_bad_input_is_refused_before_any_work():
    arr = da.from_array(_volume(True)[:20, :20, :20], chunks=10)
    with pytest.raises(ValueError, match="3-D"):
        chunked.denoise(arr[..., None], SIGMA)
    with pytest.raises(ValueError, match="method"):
        chunked.denoise(arr, SIGMA, method="tessary")
    with pytest.raises(ValueError, match="sigma"):
        chunked.denoise(arr, float("nan"))
    bad = arr.copy()
    bad[3, 4, 5] = np.nan
    with pytest.raises(ValueError, match="not finite"):
        chunked.denoise(bad, SIGMA)
    # Data that cannot be magnitudes, as denoise() refuses them.
    with pytest.raises(ValueError, match="rician=False"):
        chunked.denoise(-arr, SIGMA)
    chunked.denoise(-arr, SIGMA, rician=False)


def _kill_a_worker_running(client, cluster, name_part, timeout=60.0):
    """Kills (SIGKILL) the process of a worker while it is running a task
    whose key holds name_part; returns the killed worker's address."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for address, keys in client.processing().items():
            if any(name_part in str(k) for k in keys):
                for nanny in cluster.workers.values():
                    if nanny.worker_address == address:
                        os.kill(nanny.process.process.pid, signal.SIGKILL)
                        return address
        time.sleep(0.01)
    pytest.fail(f"no task named {name_part} was seen running")


def test_a_killed_worker_changes_nothing_on_a_local_cluster():
    distributed = pytest.importorskip("distributed")
    vol = _volume(False, seed=11)[:80, :80, :80]
    whole, _ = denoisers.denoise(vol, sigma=SIGMA, rician=False, method="quillon+tessary")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        lazy = chunked.denoise(da.from_array(vol, chunks=40), SIGMA, False, "quillon+tessary")
        future = client.compute(lazy)
        # Each chunk's filter call runs fused with the cut of its halo.
        killed = _kill_a_worker_running(client, cluster, "_trim")
        got = future.result(timeout=300)
        assert killed not in client.scheduler_info()["workers"]
    assert_matches_whole(got, whole, False, "quillon+tessary")


def test_the_threaded_and_distributed_results_are_the_same_bits():
    distributed = pytest.importorskip("distributed")
    vol = _volume(True, seed=13)[:60, :60, :60]
    lazy = chunked.denoise(da.from_array(vol, chunks=30), SIGMA, True, "quillon+tessary")
    threaded = lazy.compute(scheduler="threads")
    with dask.config.set(scheduler="sync"):
        assert np.array_equal(lazy.compute(), threaded)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        assert np.array_equal(lazy.compute(), threaded)
