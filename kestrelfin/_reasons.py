"""Why an implied volatility is what it is: the reason code that
``implied_volatility(..., with_reason=True)`` returns beside each volatility."""

from __future__ import annotations

import enum

from kestrelfin import _ufuncs

try:
    from kestrelfin import _docstrings
except ImportError:  # a source tree without a build: no generated texts
    _docstrings = None


class IVReason(enum.IntEnum):
    """The reason code of each implied volatility (see the docstring the
    build writes: texts/quantities.py, IV_REASON_DOC)."""

    OK = 0
    AT_INTRINSIC = 1
    BELOW_INTRINSIC = 2
    AT_OR_ABOVE_MAXIMUM = 3
    INVALID_INPUT = 4
    NOT_CONVERGED = 5


IVReason.__module__ = "kestrelfin"
if _docstrings is not None:
    IVReason.__doc__ = _docstrings.DOCS["IVReason"]

# The native module words the same codes; they cannot drift apart unseen.
if tuple(member.name for member in IVReason) != tuple(_ufuncs.REASONS):  # pragma: no cover - a build mismatch
    raise ImportError(f"kestrelfin._ufuncs has the reason codes {_ufuncs.REASONS}, the package "
                      f"{tuple(member.name for member in IVReason)}: a mismatched build")
