"""The texts of the functions, as data: what each model and quantity is, in
words and units, what each parameter is, the paragraphs several docstrings
share, and the worked example of each function. texts/generate.py renders
them, with the facts of the function table (names, parameters, families,
registration order), into the type stub of _kestrelfin and the docstrings
and type stubs of the package kestrelfin.

In every text "{U}" stands for the model's underlying (S or F), "{model}"
for the model's name (bs, bsm, black76) and "{name}" for the _kestrelfin
function's name.

The examples' values are independent of the code they document: Hull's
textbook values where Hull quotes them (J. C. Hull, Options, Futures, and
Other Derivatives: the call on S = 42, K = 40 worth 4.76 and its put 0.81;
the Greeks of the call on S = 49, K = 50, 20 weeks; the index call worth
51.83; the futures option worth 1.12; the implied volatility 0.235 of a call
worth 1.875), and otherwise the derivatives of the textbook price formula
evaluated with mpmath at 50 digits (tests/python/test_texts.py computes
every one of them again). A doctest of each docstring then checks the
compiled function against them.
"""

MODELS = {
    "bs": {
        "description": "European options on a spot price S that pays no dividend, discounted at the risk-free "
                       "rate r. Every function is its Black-Scholes-Merton counterpart with q = 0, to the last "
                       "bit.",
    },
    "bsm": {
        "description": "European options on a spot price S paying a continuous dividend yield q, discounted at "
                       "the risk-free rate r.",
    },
    "black76": {
        "description": "European options on a forward or futures price F, discounted at the risk-free rate r.",
    },
}

# Per quantity: `summary`, one line in the units the functions return it (a
# dict by model where the models differ); `formula`, the formula in words;
# `returns`, what the result is and in which unit.
QUANTITIES = {
    "price": {
        "summary": {
            "black76": "price of a European option on the forward F, discounted at r.",
            "bsm": "price of a European option on S paying the dividend yield q.",
            "bs": "price of a European option on S (no dividend yield).",
        },
        "formula": {
            "black76": "D*(F*N(d1) - K*N(d2)) for a call and D*(K*N(-d2) - F*N(-d1)) for a put, where "
                       "D = exp(-r*t), d1 = (ln(F/K) + sigma**2*t/2) / (sigma*sqrt(t)) and d2 = d1 - "
                       "sigma*sqrt(t); N is the standard normal distribution function.",
            "bsm": "S*exp(-q*t)*N(d1) - K*exp(-r*t)*N(d2) for a call and K*exp(-r*t)*N(-d2) - "
                   "S*exp(-q*t)*N(-d1) for a put, where d1 = (ln(S/K) + (r - q + sigma**2/2)*t) / "
                   "(sigma*sqrt(t)) and d2 = d1 - sigma*sqrt(t); N is the standard normal distribution "
                   "function. Computed as the Black-76 price on the forward F = S*exp((r - q)*t).",
            "bs": "S*N(d1) - K*exp(-r*t)*N(d2) for a call and K*exp(-r*t)*N(-d2) - S*N(-d1) for a put, where "
                  "d1 = (ln(S/K) + (r + sigma**2/2)*t) / (sigma*sqrt(t)) and d2 = d1 - sigma*sqrt(t); N is the "
                  "standard normal distribution function. It is the Black-Scholes-Merton price with q = 0, to "
                  "the last bit.",
        },
        "returns": {
            "black76": "The option's value today, in the currency of F and K.",
            "bsm": "The option's value today, in the currency of S and K.",
            "bs": "The option's value today, in the currency of S and K.",
        },
    },
    "implied_volatility": {
        "summary": "the volatility sigma at which the model gives the (discounted) `price`.",
        "formula": "The sigma at which the model's price equals `price`, on the Black-76 price of the forward (the "
                   "spot models through their forward). method=\"rational\" (the default): P. Jaeckel's \"Let's Be "
                   "Rational\": a rational initial guess and two Householder steps on the normalised Black "
                   "function, about machine precision in a fixed amount of work, with no cap on sigma. "
                   "method=\"newton\": _kestrelfin's solver, bit for bit: the price is undiscounted and checked "
                   "against the no-arbitrage bounds, then safeguarded Newton steps find sigma, with bisection on "
                   "[1e-6, 5] where Newton cannot finish.",
        "returns": "The volatility, a decimal per year (0.2 is 20 %). NaN where no volatility gives the price: a "
                   "price below the intrinsic value, at or above the theoretical maximum, invalid inputs, or (newton) "
                   "a solver that does not converge.",
    },
    "delta": {
        "summary": "delta, dV/d{U}, unscaled.",
        "formula": "dV/d{U}: the change of the option's value per unit change of {U}.",
        "returns": "Unscaled: currency per unit of {U} (between 0 and 1 for a call, -1 and 0 for a put, times "
                   "the discount factor of the underlying).",
    },
    "gamma": {
        "summary": "gamma, d2V/d{U}2, unscaled.",
        "formula": "d2V/d{U}2: the change of delta per unit change of {U}.",
        "returns": "Unscaled: per unit of {U}. The same for a call and a put.",
    },
    "vega": {
        "summary": "vega per percentage point of volatility: dV/dsigma * 0.01.",
        "formula": "dV/dsigma * 0.01: the change of the option's value when sigma rises by one percentage point.",
        "returns": "Per volatility point (per 0.01 of sigma). The same for a call and a put.",
    },
    "theta": {
        "summary": "theta per calendar day: -dV/dt / 365 (the decay as time passes).",
        "formula": "-dV/dt / 365: the change of the option's value over one calendar day as the expiry comes "
                   "closer (t is the time to expiry, so the sign is that of the passage of time).",
        "returns": "Per calendar day (the yearly rate divided by 365); usually negative.",
    },
    "rho": {
        "summary": "rho per percentage point of the rate: dV/dr * 0.01.",
        "formula": "dV/dr * 0.01: the change of the option's value when r rises by one percentage point, "
                   "everything else held fixed.",
        "returns": "Per percentage point of r (per 0.01).",
    },
    "vanna": {
        "summary": "vanna, d(delta)/dsigma, per unit of sigma.",
        "formula": "d2V/(d{U} dsigma): the change of delta per unit of sigma.",
        "returns": "Unscaled: per unit of sigma (not per point).",
    },
    "charm": {
        "summary": "charm, +d(delta)/dt: t is the time to expiry, per year, not negated, not per day.",
        "formula": "+d(delta)/dt: the derivative of delta by the time to expiry t, not negated.",
        "returns": "Per year of time to expiry (not per day).",
    },
    "vomma": {
        "summary": "vomma, d2V/dsigma2, on the unscaled vega.",
        "formula": "d2V/dsigma2: the change of the unscaled vega dV/dsigma per unit of sigma.",
        "returns": "Unscaled: per unit of sigma squared.",
    },
    "speed": {
        "summary": "speed, d(gamma)/d{U}.",
        "formula": "d3V/d{U}3: the change of gamma per unit change of {U}.",
        "returns": "Unscaled: per unit of {U} squared.",
    },
    "zomma": {
        "summary": "zomma, d(gamma)/dsigma.",
        "formula": "d3V/(d{U}2 dsigma): the change of gamma per unit of sigma.",
        "returns": "Unscaled: per unit of {U} and of sigma.",
    },
    "color": {
        "summary": "color, +d(gamma)/dt: t is the time to expiry, per year.",
        "formula": "+d(gamma)/dt: the derivative of gamma by the time to expiry t, not negated.",
        "returns": "Per year of time to expiry (not per day).",
    },
    "veta": {
        "summary": "veta, +d(dV/dsigma)/dt on the unscaled vega: t is the time to expiry, per year.",
        "formula": "+d2V/(dsigma dt): the derivative of the unscaled vega dV/dsigma by the time to expiry t.",
        "returns": "Per unit of sigma and per year of time to expiry.",
    },
    "ultima": {
        "summary": "ultima, d(vomma)/dsigma, on the unscaled vega.",
        "formula": "d3V/dsigma3: the change of vomma per unit of sigma.",
        "returns": "Unscaled: per unit of sigma cubed.",
    },
    "dual_delta": {
        "summary": "dual delta, dV/dK.",
        "formula": "dV/dK: the change of the option's value per unit of strike.",
        "returns": "Unscaled: currency per unit of K.",
    },
    "dual_gamma": {
        "summary": "dual gamma, d2V/dK2.",
        "formula": "d2V/dK2: the change of dual delta per unit of strike.",
        "returns": "Unscaled: per unit of K. The same for a call and a put.",
    },
}

# What each parameter is, with its unit.
PARAMETERS = {
    "flag": "the option kind: 'c' or 'C' for a call, 'p' or 'P' for a put (only the first character counts: "
            "'call', 'Put' are fine)",
    "S": "spot price of the underlying",
    "F": "forward or futures price of the underlying",
    "K": "strike price, in the currency of the underlying",
    "t": "time to expiry in years (0.5 is six months)",
    "r": "risk-free interest rate, continuously compounded, a decimal per year (0.05 is 5 %)",
    "sigma": "volatility, a decimal per year (0.2 is 20 %)",
    "q": "continuous dividend yield, a decimal per year (0.01 is 1 %)",
    "price": "observed option price (discounted, as the model's price function returns it)",
}

# ---- the paragraphs several texts share --------------------------------------------

# The package's flag parameter and ufunc keywords, laid out as they stand.
PACKAGE_FLAG_PARAMETER = """\
flag : str, array-like of str, or bool array
    The option kind: 'c' or 'C' for a call, 'p' or 'P' for a put; only the
    first character counts ('call', 'Put'). One str for every option, or one
    per option: a list, a NumPy array, a pandas or Polars Series (also
    categorical), a Dask array or Series, an xarray DataArray; or booleans,
    True for a call (is_call).
"""

PACKAGE_UFUNC_KEYWORDS = """\
out, where, casting, order : keyword-only
    As for any NumPy ufunc: the array(s) to write into, the elements to
    compute (the others of `out` are left as they are), the casting rule
    and the memory order of new results.
"""

PACKAGE_RETURNS = ("A float when every argument is a number; otherwise the broadcast shape of the arguments, as a "
                   "pandas Series, Polars Series, xarray DataArray or Dask array when they are. Element by element "
                   "equal to _kestrelfin.{name} for the same float64 inputs, bit for bit.")

PACKAGE_FAILURES = ("No error per element: out-of-domain numbers (t <= 0, sigma <= 0, NaN, infinities) give the "
                    "IEEE-754 result of the formula, NaN, an infinity or a signed zero.")

PACKAGE_SOLVER_KEYWORDS = """\
method : {"rational", "newton"}, keyword-only
    "rational" (the default): "Let's Be Rational", accurate to what the
    rounding of the inputs allows over the whole range, no cap on sigma,
    NaN (and a reason) where no volatility gives the price, 0.0 at the
    intrinsic value. "newton": _kestrelfin's solver, bit for bit, as it
    always was (sigma in [1e-6, 5], price tolerance (|price| + 1) * 1e-12).
    Any other value raises ValueError.
with_reason : bool, keyword-only
    False (the default): the volatilities alone. True: a pair (sigma,
    reason), reason the kestrelfin.IVReason code of each option (one
    IVReason for one option, else an int8 array, or a Series of the
    inputs' kind named "reason"); a Polars expression gives a Struct
    column with the fields "sigma" (Float64) and "reason" (Int8).
"""

PACKAGE_SOLVER_RETURNS = ("A float when every argument is a number (with_reason: a float and an IVReason); otherwise "
                          "the broadcast shape of the arguments, as a pandas Series, Polars Series, xarray DataArray "
                          "or Dask array when they are. method=\"newton\": element by element equal to "
                          "_kestrelfin.{name} for the same float64 inputs, bit for bit. Either method gives every "
                          "element the bits it has alone, whatever the array, and the same on every CPU.")

PACKAGE_SOLVER_FAILURES = (
    "A price that no volatility gives is NaN, never an exception, also for a single option (where "
    "_kestrelfin.{name} raises); with_reason=True says why (kestrelfin.IVReason). method=\"rational\": a price "
    "below the intrinsic value, at or above the maximum (the forward for a call, the strike for a put, "
    "undiscounted), or invalid inputs (t <= 0, a non-positive S, F or K, NaN) give NaN; a price exactly at the "
    "intrinsic value gives 0.0; volatilities of any size come back. method=\"newton\", the solver's edges: volatilities above 5 (500 %) are out of reach, and such a price, or one at the maximum (the "
    "forward for a call, the strike for a put, undiscounted), gives a value just below 5 (4.999999999999996); a "
    "price at the intrinsic value, or less than 1e-14 below it (undiscounted), gives 1e-6; the model price is "
    "matched within (|price| + 1) * 1e-12, so a price far below 1e-12 gives the first volatility whose price is "
    "that small: 0.2, where the search starts, when the price at 20 % volatility already is.")

IV_REASONS = ("OK", "AT_INTRINSIC", "BELOW_INTRINSIC", "AT_OR_ABOVE_MAXIMUM", "INVALID_INPUT", "NOT_CONVERGED")

IV_REASON_DOC = """Why an implied volatility is what it is: the code implied_volatility(...,
with_reason=True) gives beside each volatility (an int8 array of these
codes, or one member for one option).

OK                   the volatility that gives the price;
AT_INTRINSIC         method="rational": the price is the intrinsic value
                     (or its time value is lost in the rounding of the
                     inputs): 0.0 ("newton" gives 1e-06 and OK there);
BELOW_INTRINSIC      the price is below the intrinsic value: NaN;
AT_OR_ABOVE_MAXIMUM  the price is at or above its maximum, the forward for
                     a call, the strike for a put (undiscounted): NaN
                     ("newton": above it; at it, a value just below 5);
INVALID_INPUT        a NaN, t <= 0 or infinite, a non-positive or infinite
                     S, F or K, an infinite r: NaN;
NOT_CONVERGED        method="newton" only: the solver gave up: NaN.
"""

PACKAGE_ARGUMENT_ERRORS = (
    "A flag that does not start with c, C, p or P raises ValueError (naming its position in an array); text or "
    "objects where numbers belong raise TypeError; shapes that do not broadcast raise ValueError naming the "
    "arguments' shapes.")

PACKAGE_GREEKS = {
    "title": "the price and all fifteen Greeks of every option in one pass.",
    "summary": "the price and all fifteen Greeks in one pass.",
    "body": "Each shared intermediate (d1, d2, the logarithm, the discount and carry factors, the density and the "
            "distribution values) is computed once per option, and each result is bit for bit the one of the "
            "separate function ({model}.price, {model}.delta, ...).",
    "returns": "A dict from name to result, in the order {keys}; each result as the separate function returns it "
               "(a NumPy float64 scalar for one option). When the inputs are pandas objects, a DataFrame with "
               "these columns and the inputs' index; for Polars Series, a polars DataFrame with these columns. "
               "`out`, if given, is a tuple of sixteen arrays in this order.",
    "failures": "As for the separate functions.",
}

PACKAGE_NAMESPACE = (
    "Every function is a NumPy ufunc underneath: any mix of numbers and array-likes broadcasts, any real dtype is "
    "cast to float64, and pandas, Polars, xarray and Dask containers come back as their own kind. Every element "
    "equals the _kestrelfin scalar function of the same quantity (prefix {model}_) for the same float64 inputs, "
    "bit for bit. Parameters, in this order:")

PACKAGE_NAMESPACE_FUNCTIONS = ("Functions, each with the parameters above (but implied_volatility) and the ufunc "
                               "keywords out, where, casting and order:")

# _kestrelfin's stub.
LOW_LEVEL_FLAG = '''\
"""The option kind. Only the first character counts: c or C is a call, p or P a
put, whatever follows ("call", "Put", ...). Any other text raises ValueError.
The Literal lists the usual spellings for editors; a plain str is accepted
too, so that a flag held in a variable or read from data type-checks. One
array call prices one kind: split calls and puts into two calls."""'''

LOW_LEVEL_ARRAY = ("One option per element: {arrays} are one-dimensional contiguous float64 arrays of equal length "
                   "(read in place, never copied); {singles} apply to every element. Element i equals the scalar "
                   "function's result for element i, bit for bit.")

LOW_LEVEL_ARRAY_SOLVER = "An element whose price admits no volatility is NaN."

LOW_LEVEL_SOLVER_FAILURES = ('Raises ValueError("price is below intrinsic value"), ValueError("price exceeds '
                             'theoretical maximum") or RuntimeError("IV solver failed to converge").')

# ---- the worked examples ----------------------------------------------------------------

# Per model, the option of its examples (argument texts, as a caller writes
# them) and, per quantity, the format the values are printed in and the
# values of the call and of the put. A quantity may name an option of its
# own (the textbook's); an implied volatility names the prices it inverts:
# `price` of the one-option example, `prices` of the call and the put.
EXAMPLES = {
    "bs": {
        # Hull's option of the Greeks chapter: 20 weeks to expiry.
        "option": {"S": "49.0", "K": "50.0", "t": "20 / 52", "r": "0.05", "sigma": "0.2"},
        "price": {"option": {"S": "42.0", "K": "40.0", "t": "0.5", "r": "0.1", "sigma": "0.2"},
                  "format": ".2f", "call": "4.76", "put": "0.81"},
        "implied_volatility": {"option": {"S": "21.0", "K": "20.0", "t": "0.25", "r": "0.1"}, "price": "1.875",
                               "format": ".3f", "call": "0.235",
                               "pair": {"option": {"S": "42.0", "K": "40.0", "t": "0.5", "r": "0.1"},
                                        "prices": ["4.76", "0.81"], "format": ".2f", "call": "0.20", "put": "0.20"}},
        "delta": {"format": ".3g", "call": "0.522", "put": "-0.478"},
        "gamma": {"format": ".3g", "call": "0.0655", "put": "0.0655"},
        "vega": {"format": ".3g", "call": "0.121", "put": "0.121"},
        "theta": {"format": ".3g", "call": "-0.0118", "put": "-0.00508"},
        "rho": {"format": ".3g", "call": "0.0891", "put": "-0.0996"},
        "vanna": {"format": ".3g", "call": "0.139", "put": "0.139"},
        "charm": {"format": ".3g", "call": "0.197", "put": "0.197"},
        "vomma": {"format": ".3g", "call": "-0.229", "put": "-0.229"},
        "speed": {"format": ".3g", "call": "-0.00192", "put": "-0.00192"},
        "zomma": {"format": ".3g", "call": "-0.329", "put": "-0.329"},
        "color": {"format": ".3g", "call": "-0.087", "put": "-0.087"},
        "veta": {"format": ".3g", "call": "15.4", "put": "15.4"},
        "ultima": {"format": ".3g", "call": "-1.22", "put": "-1.22"},
        "dual_delta": {"format": ".3g", "call": "-0.463", "put": "0.518"},
        "dual_gamma": {"format": ".3g", "call": "0.0629", "put": "0.0629"},
        "greeks": {"price": ".2f", "delta": ".3f", "values": "2.40 0.522"},
    },
    "bsm": {
        # Hull's option on a stock index: two months to expiry.
        "option": {"S": "930.0", "K": "900.0", "t": "2 / 12", "r": "0.08", "sigma": "0.2", "q": "0.03"},
        "price": {"format": ".2f", "call": "51.83", "put": "14.55"},
        "implied_volatility": {"option": {"S": "930.0", "K": "900.0", "t": "2 / 12", "r": "0.08", "q": "0.03"},
                               "price": "51.83", "format": ".3f", "call": "0.200",
                               "pair": {"prices": ["51.83", "14.55"], "format": ".3f", "call": "0.200",
                                        "put": "0.200"}},
        "delta": {"format": ".3g", "call": "0.703", "put": "-0.292"},
        "gamma": {"format": ".3g", "call": "0.00451", "put": "0.00451"},
        "vega": {"format": ".3g", "call": "1.3", "put": "1.3"},
        "theta": {"format": ".3g", "call": "-0.292", "put": "-0.173"},
        "rho": {"format": ".3g", "call": "1", "put": "-0.476"},
        "vanna": {"format": ".3g", "call": "-0.792", "put": "-0.792"},
        "charm": {"format": ".3g", "call": "-0.287", "put": "-0.257"},
        "vomma": {"format": ".3g", "call": "164", "put": "164"},
        "speed": {"format": ".3g", "call": "-3.72e-05", "put": "-3.72e-05"},
        "zomma": {"format": ".3g", "call": "-0.0169", "put": "-0.0169"},
        "color": {"format": ".3g", "call": "-0.0118", "put": "-0.0118"},
        "veta": {"format": ".3g", "call": "441", "put": "441"},
        "ultima": {"format": ".3g", "call": "-2.27e+03", "put": "-2.27e+03"},
        "dual_delta": {"format": ".3g", "call": "-0.669", "put": "0.317"},
        "dual_gamma": {"format": ".3g", "call": "0.00481", "put": "0.00481"},
        "greeks": {"price": ".2f", "delta": ".3f", "values": "51.83 0.703"},
    },
    "black76": {
        # Hull's futures option: four months to expiry.
        "option": {"F": "20.0", "K": "20.0", "t": "4 / 12", "r": "0.09", "sigma": "0.25"},
        "price": {"format": ".2f", "call": "1.12", "put": "1.12"},
        "implied_volatility": {"option": {"F": "20.0", "K": "20.0", "t": "4 / 12", "r": "0.09"}, "price": "1.12",
                               "format": ".2f", "call": "0.25",
                               "pair": {"prices": ["1.12", "1.12"], "format": ".2f", "call": "0.25", "put": "0.25"}},
        "delta": {"format": ".3g", "call": "0.513", "put": "-0.457"},
        "gamma": {"format": ".3g", "call": "0.134", "put": "0.134"},
        "vega": {"format": ".3g", "call": "0.0446", "put": "0.0446"},
        "theta": {"format": ".3g", "call": "-0.00431", "put": "-0.00431"},
        "rho": {"format": ".3g", "call": "-0.00372", "put": "-0.00372"},
        "vanna": {"format": ".3g", "call": "0.111", "put": "0.111"},
        "charm": {"format": ".3g", "call": "-0.00438", "put": "0.083"},
        "vomma": {"format": ".3g", "call": "-0.0929", "put": "-0.0929"},
        "speed": {"format": ".3g", "call": "-0.01", "put": "-0.01"},
        "zomma": {"format": ".3g", "call": "-0.538", "put": "-0.538"},
        "color": {"format": ".3g", "call": "-0.214", "put": "-0.214"},
        "veta": {"format": ".3g", "call": "6.25", "put": "6.25"},
        "ultima": {"format": ".3g", "call": "-0.37", "put": "-0.37"},
        "dual_delta": {"format": ".3g", "call": "-0.457", "put": "0.513"},
        "dual_gamma": {"format": ".3g", "call": "0.134", "put": "0.134"},
        "greeks": {"price": ".2f", "delta": ".3f", "values": "1.12 0.513"},
    },
}
