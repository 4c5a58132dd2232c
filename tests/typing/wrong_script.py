"""Mistakes that mypy must catch with the installed stub: each marked line
has to give exactly the error code in its comment, and no other line may
give one (checked by check_stub_with_mypy.py). Each is a real mistake: the
module would raise at run time or the result would be misused."""

import numpy as np

import _kestrelfin as kf

S = np.array([100.0, 105.0])
K = np.array([100.0, 100.0])
t = np.array([0.5, 0.5])
sigma = np.array([0.2, 0.2])
lots = np.arange(2, dtype=np.int64)

kf.bs_delta_array(["c", "p"], S, K, t, 0.05, sigma)  # error: arg-type
kf.bs_delta_array("c", [100.0, 105.0], K, t, 0.05, sigma)  # error: arg-type
kf.bs_delta_array("c", S, K, t, 0.05, 0.2)  # error: arg-type
kf.bs_delta_array("c", lots, K, t, 0.05, sigma)  # error: arg-type
kf.bs_delta("c", S, 100.0, 0.5, 0.05, 0.2)  # error: arg-type
kf.bs_delta(None, 100.0, 100.0, 0.5, 0.05, 0.2)  # error: arg-type
kf.bs_delta("c", "100", 100.0, 0.5, 0.05, 0.2)  # error: arg-type
price: float = kf.bs_black_scholes_array("c", S, K, t, 0.05, sigma)  # error: assignment
deltas: np.ndarray = kf.bs_delta("c", 100.0, 100.0, 0.5, 0.05, 0.2)  # error: assignment
kf.bs_delta("c", S=100.0, K=100.0, t=0.5, r=0.05, vol=0.2)  # error: call-arg
kf.bsm_delta("c", 100.0, 100.0, 0.5, 0.05, 0.2)  # error: call-arg
kf.black76_implied_volatility(7.58, 100.0, 100.0, 0.05, 1.0)  # error: call-arg
kf.bs_price("c", 100.0, 100.0, 0.5, 0.05, 0.2)  # error: attr-defined
version_number: float = kf.__version__  # error: assignment
