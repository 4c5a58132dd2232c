// What each quantity of the function table is, in words and units: the one
// place these texts are written. The stub generator of _kestrelfin
// (stub_generator.cpp) takes the one-line `summary` of each; the generator
// of the kestrelfin package's docstrings and stubs
// (kestrelfin/native/docs_generator.cpp) takes every field.
//
// In `summary`, "dU" stands for the derivative by the model's underlying
// (S or F). In the other fields "{U}" stands for the underlying's name.
#pragma once

#include <string_view>

namespace kestrelfin::texts {

struct QuantityText {
    // The quantity's part of the function name after the model prefix.
    std::string_view name;
    // One line in the units the functions return it (the _kestrelfin stub).
    std::string_view summary;
    // The public name in the kestrelfin package ("price" for every model's
    // price function).
    std::string_view public_name;
    // The formula in words.
    std::string_view formula;
    // What the result is and in which unit.
    std::string_view returns;
};

inline constexpr QuantityText kQuantityTexts[] = {
    {"black", "price of a European option on the forward F, discounted at r.", "price",
     "D*(F*N(d1) - K*N(d2)) for a call and D*(K*N(-d2) - F*N(-d1)) for a put, where D = exp(-r*t), "
     "d1 = (ln(F/K) + sigma**2*t/2) / (sigma*sqrt(t)) and d2 = d1 - sigma*sqrt(t); N is the standard "
     "normal distribution function.",
     "The option's value today, in the currency of F and K."},
    {"black_scholes_merton", "price of a European option on S paying the dividend yield q.", "price",
     "S*exp(-q*t)*N(d1) - K*exp(-r*t)*N(d2) for a call and K*exp(-r*t)*N(-d2) - S*exp(-q*t)*N(-d1) for a "
     "put, where d1 = (ln(S/K) + (r - q + sigma**2/2)*t) / (sigma*sqrt(t)) and d2 = d1 - sigma*sqrt(t); N "
     "is the standard normal distribution function. Computed as the Black-76 price on the forward "
     "F = S*exp((r - q)*t).",
     "The option's value today, in the currency of S and K."},
    {"black_scholes", "price of a European option on S (no dividend yield).", "price",
     "S*N(d1) - K*exp(-r*t)*N(d2) for a call and K*exp(-r*t)*N(-d2) - S*N(-d1) for a put, where "
     "d1 = (ln(S/K) + (r + sigma**2/2)*t) / (sigma*sqrt(t)) and d2 = d1 - sigma*sqrt(t); N is the "
     "standard normal distribution function. It is the Black-Scholes-Merton price with q = 0, to the last "
     "bit.",
     "The option's value today, in the currency of S and K."},
    {"implied_volatility", "the volatility sigma at which the model gives the (discounted) `price`.",
     "implied_volatility",
     "The sigma at which the model's price equals `price`: the price is undiscounted and checked against "
     "the no-arbitrage bounds, then safeguarded Newton steps on the Black-76 price (on the forward) find "
     "sigma, with bisection on [0, 5] where Newton cannot finish.",
     "The volatility, a decimal per year (0.2 is 20 %). NaN where no volatility gives the price: a price "
     "below the intrinsic value, above the theoretical maximum, or a solver that does not converge."},
    {"delta", "delta, dV/dU, unscaled.", "delta", "dV/d{U}: the change of the option's value per unit change of {U}.",
     "Unscaled: currency per unit of {U} (between 0 and 1 for a call, -1 and 0 for a put, times the "
     "discount factor of the underlying)."},
    {"gamma", "gamma, d2V/dU2, unscaled.", "gamma", "d2V/d{U}2: the change of delta per unit change of {U}.",
     "Unscaled: per unit of {U}. The same for a call and a put."},
    {"vega", "vega per percentage point of volatility: dV/dsigma * 0.01.", "vega",
     "dV/dsigma * 0.01: the change of the option's value when sigma rises by one percentage point.",
     "Per volatility point (per 0.01 of sigma). The same for a call and a put."},
    {"theta", "theta per calendar day: -dV/dt / 365 (the decay as time passes).", "theta",
     "-dV/dt / 365: the change of the option's value over one calendar day as the expiry comes closer "
     "(t is the time to expiry, so the sign is that of the passage of time).",
     "Per calendar day (the yearly rate divided by 365); usually negative."},
    {"rho", "rho per percentage point of the rate: dV/dr * 0.01.", "rho",
     "dV/dr * 0.01: the change of the option's value when r rises by one percentage point, everything "
     "else held fixed.",
     "Per percentage point of r (per 0.01)."},
    {"vanna", "vanna, d(delta)/dsigma, per unit of sigma.", "vanna",
     "d2V/(d{U} dsigma): the change of delta per unit of sigma.", "Unscaled: per unit of sigma (not per point)."},
    {"charm", "charm, +d(delta)/dt: t is the time to expiry, per year, not negated, not per day.", "charm",
     "+d(delta)/dt: the derivative of delta by the time to expiry t, not negated.",
     "Per year of time to expiry (not per day)."},
    {"vomma", "vomma, d2V/dsigma2, on the unscaled vega.", "vomma",
     "d2V/dsigma2: the change of the unscaled vega dV/dsigma per unit of sigma.",
     "Unscaled: per unit of sigma squared."},
    {"speed", "speed, d(gamma)/dU.", "speed", "d3V/d{U}3: the change of gamma per unit change of {U}.",
     "Unscaled: per unit of {U} squared."},
    {"zomma", "zomma, d(gamma)/dsigma.", "zomma", "d3V/(d{U}2 dsigma): the change of gamma per unit of sigma.",
     "Unscaled: per unit of {U} and of sigma."},
    {"color", "color, +d(gamma)/dt: t is the time to expiry, per year.", "color",
     "+d(gamma)/dt: the derivative of gamma by the time to expiry t, not negated.",
     "Per year of time to expiry (not per day)."},
    {"veta", "veta, +d(dV/dsigma)/dt on the unscaled vega: t is the time to expiry, per year.", "veta",
     "+d2V/(dsigma dt): the derivative of the unscaled vega dV/dsigma by the time to expiry t.",
     "Per unit of sigma and per year of time to expiry."},
    {"ultima", "ultima, d(vomma)/dsigma, on the unscaled vega.", "ultima",
     "d3V/dsigma3: the change of vomma per unit of sigma.", "Unscaled: per unit of sigma cubed."},
    {"dual_delta", "dual delta, dV/dK.", "dual_delta", "dV/dK: the change of the option's value per unit of strike.",
     "Unscaled: currency per unit of K."},
    {"dual_gamma", "dual gamma, d2V/dK2.", "dual_gamma", "d2V/dK2: the change of dual delta per unit of strike.",
     "Unscaled: per unit of K. The same for a call and a put."},
};

// What each parameter is, with its unit.
struct ParameterText {
    std::string_view name;
    std::string_view text;
};

inline constexpr ParameterText kParameterTexts[] = {
    {"flag",
     "the option kind: 'c' or 'C' for a call, 'p' or 'P' for a put (only the first character counts: "
     "'call', 'Put' are fine)"},
    {"S", "spot price of the underlying"},
    {"F", "forward or futures price of the underlying"},
    {"K", "strike price, in the currency of the underlying"},
    {"t", "time to expiry in years (0.5 is six months)"},
    {"r", "risk-free interest rate, continuously compounded, a decimal per year (0.05 is 5 %)"},
    {"sigma", "volatility, a decimal per year (0.2 is 20 %)"},
    {"q", "continuous dividend yield, a decimal per year (0.01 is 1 %)"},
    {"price", "observed option price (discounted, as the model's price function returns it)"},
};

}  // namespace kestrelfin::texts
