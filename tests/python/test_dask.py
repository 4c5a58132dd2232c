"""Ten million options on a Dask cluster of two worker processes.

The book of examples/dask_pricing.py is priced chunk by chunk on the workers
(the kestrelfin functions on Dask arrays, calls and puts mixed in one call)
and must equal, bit for bit, one in-process call of each _kestrelfin array
function on the whole book, calls and puts merged with ``where``; the same
book as a Dask DataFrame (a column of "C"/"P" texts for the kinds) must give
the same bits. Skipped where Dask is not installed; the
ecosystem stage (scripts/test-stages/ecosystem.sh) runs it in an environment
that has it.
"""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("dask.distributed")

import _kestrelfin as kf  # noqa: E402
import kestrelfin  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import dask_pricing  # noqa: E402
from shared import bits  # noqa: E402

OPTIONS = 10_000_000
CHUNK = 500_000
FRAME_OPTIONS = 2_000_000


@pytest.fixture(scope="module")
def client():
    # The worker processes are started with this interpreter's sys.path, so
    # they import the example module and the installed extension like we do.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def test_ten_million_options_on_two_workers_equal_one_in_process_call(client):
    worker_pids = set(client.run(os.getpid).values())
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids

    results = dask_pricing.price_book(dask_pricing.make_book(OPTIONS, CHUNK))
    assert all(array.numblocks == (OPTIONS // CHUNK,) for array in results.values())
    persisted = client.persist(list(results.values()))
    computed = dict(zip(results, client.compute(persisted, sync=True)))

    expected = reference(OPTIONS)
    for name, values in expected.items():
        assert computed[name].dtype == np.float64 and computed[name].shape == (OPTIONS,)
        assert np.array_equal(bits(computed[name]), bits(values)), name

    # The results are the options' own: spot checks against the scalar functions.
    calls = dask_pricing.is_call(np.arange(OPTIONS, dtype=np.float64))
    S, K, t, sigma = (make(np.arange(OPTIONS, dtype=np.float64)) for make in (
        dask_pricing.spot, dask_pricing.strike, dask_pricing.expiry, dask_pricing.volatility))
    r, q = dask_pricing.RATE, dask_pricing.DIVIDEND_YIELD
    for i in (0, 1, 4_999_999, OPTIONS - 1):
        flag = "c" if calls[i] else "p"
        assert computed["price"][i] == kf.bsm_black_scholes_merton(flag, S[i], K[i], t[i], r, sigma[i], q)
        if not np.isnan(computed["implied"][i]):
            assert computed["implied"][i] == kestrelfin.bsm.implied_volatility(expected["price"][i], S[i], K[i],
                                                                               t[i], r, q, flag)
    assert np.isnan(computed["implied"]).mean() < 1e-3


def test_a_dask_dataframe_with_a_text_kind_column_gives_the_same_bits(client):
    frame = client.compute(dask_pricing.price_frame(dask_pricing.make_frame(FRAME_OPTIONS, CHUNK)), sync=True)
    assert list(frame.columns) == ["price", "delta", "vega", "implied"]
    assert np.array_equal(frame.index.to_numpy(), np.arange(FRAME_OPTIONS))
    for name, values in reference(FRAME_OPTIONS).items():
        assert np.array_equal(bits(frame[name].to_numpy()), bits(values)), name


def reference(n):
    """Each _kestrelfin array function called once on the whole book of n
    options, calls and puts merged per option; the implied volatility by the
    package's one in-process call."""
    index = np.arange(n, dtype=np.float64)
    S, K, t, sigma = (make(index) for make in (dask_pricing.spot, dask_pricing.strike,
                                               dask_pricing.expiry, dask_pricing.volatility))
    calls = dask_pricing.is_call(index)
    assert 0.45 < calls.mean() < 0.55
    r, q = dask_pricing.RATE, dask_pricing.DIVIDEND_YIELD
    price = np.where(calls, kf.bsm_black_scholes_merton_array("c", S, K, t, r, sigma, q),
                     kf.bsm_black_scholes_merton_array("p", S, K, t, r, sigma, q))
    return {
        "price": price,
        "delta": np.where(calls, kf.bsm_delta_array("c", S, K, t, r, sigma, q),
                          kf.bsm_delta_array("p", S, K, t, r, sigma, q)),
        "vega": kf.bsm_vega_array("c", S, K, t, r, sigma, q),  # the same for both kinds
        # The package's own solver (the example's default, "rational"), in
        # one call in this process: no _kestrelfin function has it.
        "implied": kestrelfin.bsm.implied_volatility(price, S, K, t, r, q, calls),
    }
