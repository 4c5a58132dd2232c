"""Mistakes that mypy must catch with the installed kestrelfin stubs: each
marked line has to give exactly the error code in its comment, and no other
line may give one (checked by check_stub_with_mypy.py)."""

import numpy as np

import kestrelfin
from kestrelfin import black76, bs, bsm

S = np.array([100.0, 101.0])
q = np.array([0.01, 0.02])

bs.delta("c", 100.0, 95.0, 0.5, 0.03)  # error: call-overload
bsm.price("c", 100.0, 95.0, 0.5, 0.03, 0.2, 0.01, vol=0.2)  # error: call-overload
black76.implied_volatility(7.58, 100.0, 100.0, 0.05, 1.0)  # error: call-overload
bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2, casting="sometimes")  # error: call-overload
label: str = bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2)  # error: assignment
kestrelfin.bs.black_scholes("c", 100.0, 95.0, 0.5, 0.03, 0.2)  # error: attr-defined
bs.price("c", S, 95.0, 0.5, 0.03, 0.2, q)  # error: call-overload
bs.price("c", S, 95.0, 0.5, 0.03, 0.2, out=[0.0, 0.0])  # error: call-overload
bsm.greeks("c", S, 95.0, 0.5, 0.03, 0.2, 0.01, out=S)  # error: call-overload
bs.implied_volatility(10.0, 100.0, 95.0, 0.5, 0.03, "c", method="lbr")  # error: call-overload
