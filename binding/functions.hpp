// The one table of the module's functions.
//
// Each row names a scalar Python function, the core operation it calls (the
// pricing-core function of the same name), its parameter family, its group
// (1 for the price, implied volatility and first-order Greeks, 2 for the
// higher-order and strike Greeks) and the function whose compiled instance
// evaluates it one option at a time: itself, except that every Black-Scholes
// function is its Black-Scholes-Merton twin with q = 0.0, so that the two
// agree to the last bit, NaN payloads included. Every row also yields the vectorised
// twin "<name>_array". Registration runs model by model (Black-76, then
// Black-Scholes-Merton, then Black-Scholes) and within a model group by
// group, the scalar functions of a group before their array twins, each in
// the order of the rows below.
#pragma once

#define KESTRELFIN_FUNCTIONS(X)                                                             \
    X(1, black76_black, Black76Greeks, black76_black)                                       \
    X(1, black76_implied_volatility, Black76ImpliedVolatility, black76_implied_volatility)  \
    X(1, black76_delta, Black76Greeks, black76_delta)                                       \
    X(1, black76_gamma, Black76Greeks, black76_gamma)                                       \
    X(1, black76_vega, Black76Greeks, black76_vega)                                         \
    X(1, black76_theta, Black76Greeks, black76_theta)                                       \
    X(1, black76_rho, Black76Greeks, black76_rho)                                           \
    X(2, black76_vanna, Black76Greeks, black76_vanna)                                       \
    X(2, black76_charm, Black76Greeks, black76_charm)                                       \
    X(2, black76_vomma, Black76Greeks, black76_vomma)                                       \
    X(2, black76_speed, Black76Greeks, black76_speed)                                       \
    X(2, black76_zomma, Black76Greeks, black76_zomma)                                       \
    X(2, black76_color, Black76Greeks, black76_color)                                       \
    X(2, black76_veta, Black76Greeks, black76_veta)                                         \
    X(2, black76_ultima, Black76Greeks, black76_ultima)                                     \
    X(2, black76_dual_delta, Black76Greeks, black76_dual_delta)                             \
    X(2, black76_dual_gamma, Black76Greeks, black76_dual_gamma)                             \
    X(1, bsm_black_scholes_merton, BlackScholesMertonGreeks, bsm_black_scholes_merton)      \
    X(1, bsm_implied_volatility, BlackScholesMertonImpliedVolatility, bsm_implied_volatility)\
    X(1, bsm_delta, BlackScholesMertonGreeks, bsm_delta)                                    \
    X(1, bsm_gamma, BlackScholesMertonGreeks, bsm_gamma)                                    \
    X(1, bsm_vega, BlackScholesMertonGreeks, bsm_vega)                                      \
    X(1, bsm_theta, BlackScholesMertonGreeks, bsm_theta)                                    \
    X(1, bsm_rho, BlackScholesMertonGreeks, bsm_rho)                                        \
    X(2, bsm_vanna, BlackScholesMertonGreeks, bsm_vanna)                                    \
    X(2, bsm_charm, BlackScholesMertonGreeks, bsm_charm)                                    \
    X(2, bsm_vomma, BlackScholesMertonGreeks, bsm_vomma)                                    \
    X(2, bsm_speed, BlackScholesMertonGreeks, bsm_speed)                                    \
    X(2, bsm_zomma, BlackScholesMertonGreeks, bsm_zomma)                                    \
    X(2, bsm_color, BlackScholesMertonGreeks, bsm_color)                                    \
    X(2, bsm_veta, BlackScholesMertonGreeks, bsm_veta)                                      \
    X(2, bsm_ultima, BlackScholesMertonGreeks, bsm_ultima)                                  \
    X(2, bsm_dual_delta, BlackScholesMertonGreeks, bsm_dual_delta)                          \
    X(2, bsm_dual_gamma, BlackScholesMertonGreeks, bsm_dual_gamma)                          \
    X(1, bs_black_scholes, BlackScholesGreeks, bsm_black_scholes_merton)                    \
    X(1, bs_implied_volatility, BlackScholesImpliedVolatility, bsm_implied_volatility)      \
    X(1, bs_delta, BlackScholesGreeks, bsm_delta)                                           \
    X(1, bs_gamma, BlackScholesGreeks, bsm_gamma)                                           \
    X(1, bs_vega, BlackScholesGreeks, bsm_vega)                                             \
    X(1, bs_theta, BlackScholesGreeks, bsm_theta)                                           \
    X(1, bs_rho, BlackScholesGreeks, bsm_rho)                                               \
    X(2, bs_vanna, BlackScholesGreeks, bsm_vanna)                                           \
    X(2, bs_charm, BlackScholesGreeks, bsm_charm)                                           \
    X(2, bs_vomma, BlackScholesGreeks, bsm_vomma)                                           \
    X(2, bs_speed, BlackScholesGreeks, bsm_speed)                                           \
    X(2, bs_zomma, BlackScholesGreeks, bsm_zomma)                                           \
    X(2, bs_color, BlackScholesGreeks, bsm_color)                                           \
    X(2, bs_veta, BlackScholesGreeks, bsm_veta)                                             \
    X(2, bs_ultima, BlackScholesGreeks, bsm_ultima)                                         \
    X(2, bs_dual_delta, BlackScholesGreeks, bsm_dual_delta)                                 \
    X(2, bs_dual_gamma, BlackScholesGreeks, bsm_dual_gamma)                                 
