// The one table of the module's functions.
//
// Each row names a scalar Python function, the core operation it calls (the
// pricing-core function of the same name), its parameter family and its
// group: 1 for the price, implied volatility and first-order Greeks, 2 for
// the higher-order and strike Greeks. Every row also yields the vectorised
// twin "<name>_array". Registration runs model by model (Black-76, then
// Black-Scholes-Merton, then Black-Scholes) and within a model group by
// group, the scalar functions of a group before their array twins, each in
// the order of the rows below.
#pragma once

#define KESTRELFIN_FUNCTIONS(X)                                        \
    X(1, black76_black, Black76Greeks)                                 \
    X(1, black76_implied_volatility, Black76ImpliedVolatility)         \
    X(1, black76_delta, Black76Greeks)                                 \
    X(1, black76_gamma, Black76Greeks)                                 \
    X(1, black76_vega, Black76Greeks)                                  \
    X(1, black76_theta, Black76Greeks)                                 \
    X(1, black76_rho, Black76Greeks)                                   \
    X(2, black76_vanna, Black76Greeks)                                 \
    X(2, black76_charm, Black76Greeks)                                 \
    X(2, black76_vomma, Black76Greeks)                                 \
    X(2, black76_speed, Black76Greeks)                                 \
    X(2, black76_zomma, Black76Greeks)                                 \
    X(2, black76_color, Black76Greeks)                                 \
    X(2, black76_veta, Black76Greeks)                                  \
    X(2, black76_ultima, Black76Greeks)                                \
    X(2, black76_dual_delta, Black76Greeks)                            \
    X(2, black76_dual_gamma, Black76Greeks)                            \
    X(1, bsm_black_scholes_merton, BlackScholesMertonGreeks)           \
    X(1, bsm_implied_volatility, BlackScholesMertonImpliedVolatility)  \
    X(1, bsm_delta, BlackScholesMertonGreeks)                          \
    X(1, bsm_gamma, BlackScholesMertonGreeks)                          \
    X(1, bsm_vega, BlackScholesMertonGreeks)                           \
    X(1, bsm_theta, BlackScholesMertonGreeks)                          \
    X(1, bsm_rho, BlackScholesMertonGreeks)                            \
    X(2, bsm_vanna, BlackScholesMertonGreeks)                          \
    X(2, bsm_charm, BlackScholesMertonGreeks)                          \
    X(2, bsm_vomma, BlackScholesMertonGreeks)                          \
    X(2, bsm_speed, BlackScholesMertonGreeks)                          \
    X(2, bsm_zomma, BlackScholesMertonGreeks)                          \
    X(2, bsm_color, BlackScholesMertonGreeks)                          \
    X(2, bsm_veta, BlackScholesMertonGreeks)                           \
    X(2, bsm_ultima, BlackScholesMertonGreeks)                         \
    X(2, bsm_dual_delta, BlackScholesMertonGreeks)                     \
    X(2, bsm_dual_gamma, BlackScholesMertonGreeks)                     \
    X(1, bs_black_scholes, BlackScholesGreeks)                         \
    X(1, bs_implied_volatility, BlackScholesImpliedVolatility)         \
    X(1, bs_delta, BlackScholesGreeks)                                 \
    X(1, bs_gamma, BlackScholesGreeks)                                 \
    X(1, bs_vega, BlackScholesGreeks)                                  \
    X(1, bs_theta, BlackScholesGreeks)                                 \
    X(1, bs_rho, BlackScholesGreeks)                                   \
    X(2, bs_vanna, BlackScholesGreeks)                                 \
    X(2, bs_charm, BlackScholesGreeks)                                 \
    X(2, bs_vomma, BlackScholesGreeks)                                 \
    X(2, bs_speed, BlackScholesGreeks)                                 \
    X(2, bs_zomma, BlackScholesGreeks)                                 \
    X(2, bs_color, BlackScholesGreeks)                                 \
    X(2, bs_veta, BlackScholesGreeks)                                  \
    X(2, bs_ultima, BlackScholesGreeks)                                \
    X(2, bs_dual_delta, BlackScholesGreeks)                            \
    X(2, bs_dual_gamma, BlackScholesGreeks)
