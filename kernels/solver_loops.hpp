// The element loops of the package's implied-volatility solvers with a
// choice of method: "Let's Be Rational" (core/rational_implied_volatility.hpp)
// and the Newton solver of _kestrelfin (core/implied_volatility.hpp), each
// giving the volatility and, where asked, a reason code per option.
//
// The reason codes are the package's kestrelfin.IVReason: the rational
// solver's RationalStatus codes as they stand, and for the Newton solver
// NotConverged besides. Newton's outcome maps onto them: found -> Ok (a NaN
// input, which Newton answers with NaN and no error, -> InvalidInput), below
// intrinsic -> BelowIntrinsic, above the maximum -> AtOrAboveMaximum, not
// converged -> NotConverged.
//
// Either solver takes whole options per lane and stores each as it is done,
// so a result operand of stride 0 (which keeps the last element written) is
// filled one option after another instead, through the scalar solver: both
// give the same bits. The lanes run in one kernel per path and solver for
// every model: each model only forms the solver's inputs (forward, strike,
// undiscounted terms) of its options, one by one, before a chunk is solved.
#pragma once

#include "core/implied_volatility.hpp"
#include "core/lanes.hpp"
#include "core/rational_implied_volatility.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/element_loops.hpp"
#include "kernels/operands.hpp"
#include "kernels/operations.hpp"
#include "kernels/strided_loops.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace kestrelfin::kernels {

enum class IVReason : std::int8_t {
    Ok = 0,
    AtIntrinsic = 1,
    BelowIntrinsic = 2,
    AtOrAboveMaximum = 3,
    InvalidInput = 4,
    NotConverged = 5,
};

static_assert(static_cast<int>(core::RationalStatus::InvalidInput) == static_cast<int>(IVReason::InvalidInput),
              "the rational solver's status codes are the first reason codes");

inline IVReason reason_of(const core::RationalImpliedVol& outcome) noexcept {
    return static_cast<IVReason>(static_cast<int>(outcome.status));
}
inline IVReason reason_of(const core::ImpliedVol& outcome) noexcept {
    switch (outcome.error) {
        case core::ImpliedVolError::BelowIntrinsic:
            return IVReason::BelowIntrinsic;
        case core::ImpliedVolError::AboveMaximum:
            return IVReason::AtOrAboveMaximum;
        case core::ImpliedVolError::NotConverged:
            return IVReason::NotConverged;
        case core::ImpliedVolError::None:
            break;
    }
    return outcome.volatility != outcome.volatility ? IVReason::InvalidInput : IVReason::Ok;
}

inline double volatility_of(const core::RationalImpliedVol& outcome) noexcept {
    return outcome.volatility;
}
inline double volatility_of(const core::ImpliedVol& outcome) noexcept {
    return element_value(outcome);
}

// The AVX2 block width of both solvers (the table's implied-volatility row).
inline constexpr int kImpliedVolatilityAvx2Lanes = 4;

// The two solvers behind one interface: one option (for the scalar path and
// the in-order loop), and n options over lanes of V.
struct RationalSolver {
    using Outcome = core::RationalImpliedVol;
    static constexpr const char* suffix = "_rational";
    template <class Function, class... Numbers>
    static core::RationalImpliedVol one(core::OptionKind kind, Numbers... numbers) noexcept {
        return core::rational_implied_volatility(kind, Function::solver_inputs(numbers...));
    }
    template <class V, class KindOf, class InputsOf, class Store>
    KESTRELFIN_LANE_INLINE static void lanes(std::size_t n, KindOf&& kind_of, InputsOf&& inputs_of,
                                             Store&& store) noexcept {
        core::rational_implied_volatility_lanes<V>(n, kind_of, inputs_of, store);
    }
};

struct NewtonSolver {
    using Outcome = core::ImpliedVol;
    static constexpr const char* suffix = "_newton";
    // The scalar function's own compiled instance, as _kestrelfin calls it.
    template <class Function, class... Numbers>
    static core::ImpliedVol one(core::OptionKind kind, Numbers... numbers) noexcept {
        return scalar_operation<Function>(kind, numbers...);
    }
    template <class V, class KindOf, class InputsOf, class Store>
    KESTRELFIN_LANE_INLINE static void lanes(std::size_t n, KindOf&& kind_of, InputsOf&& inputs_of,
                                             Store&& store) noexcept {
        core::implied_volatility_lanes<V>(n, kind_of, inputs_of, store);
    }
};

// A reason operand of any stride (NumPy int8), or none.
struct StridedReasons {
    char* data;
    std::intptr_t step;
    void store(std::size_t i, IVReason reason) const noexcept {
        const auto code = static_cast<std::int8_t>(reason);
        std::memcpy(data + static_cast<std::intptr_t>(i) * step, &code, sizeof code);
    }
};
struct NoReasons {
    void store(std::size_t, IVReason) const noexcept {}
};

// One option's outcome through the solver's scalar instance.
template <class Function, class Solver, class Numbers, std::size_t... J>
inline auto solve_one(core::OptionKind kind, const Numbers& in, std::size_t i, std::index_sequence<J...>) noexcept {
    constexpr std::size_t first = Function::Family::first_number;
    return Solver::template one<Function>(kind, in.template number<first + J>(i)...);
}

// The options of a range one after another, in order.
template <class Function, class Solver, class Kinds, class Numbers, class Output, class Reasons>
void solve_in_order(const Kinds& kinds, const Numbers& in, const Output& out, const Reasons& reasons,
                    Range range) noexcept {
    constexpr auto numbers = std::make_index_sequence<kNumberCount<Function>>{};
    for (std::size_t i = range.begin; i < range.end; ++i) {
        const auto outcome = solve_one<Function, Solver>(kinds.at(i), in, i, numbers);
        out.store(i, volatility_of(outcome));
        reasons.store(i, reason_of(outcome));
    }
}

// The solver over a chunk of options whose inputs are gathered, as a body
// for the dispatch: one kernel per path and solver, whatever the model and
// the operands (the models differ only in how they form the inputs), in
// blocks of four lanes on AVX2 as the table's implied-volatility row says.
inline constexpr std::size_t kSolverChunk = 512;

template <class Solver>
struct SolverChunk {
    template <class Path>
    KESTRELFIN_LANE_INLINE static void run(const std::size_t& n, const core::OptionKind* const& kinds,
                                           const core::ImpliedVolInputs* const& inputs,
                                           typename Solver::Outcome* const& outcomes) {
        using V = typename Path::template Block<kImpliedVolatilityAvx2Lanes>;
        Solver::template lanes<V>(
            n, [&](std::size_t k) KESTRELFIN_LANE_LAMBDA { return kinds[k]; },
            [&](std::size_t k) KESTRELFIN_LANE_LAMBDA { return inputs[k]; },
            [&](std::size_t k, const typename Solver::Outcome& outcome)
                KESTRELFIN_LANE_LAMBDA { outcomes[k] = outcome; });
    }
};

// The options of a range in lanes, chunk by chunk: the model's inputs
// formed option by option, the chunk solved on the process's kernel path,
// the outcomes stored.
template <class Function, class Solver, class Kinds, class Numbers, class Output, class Reasons>
void solve_in_lanes(const Kinds& kinds, const Numbers& in, const Output& out, const Reasons& reasons,
                    Range range) noexcept {
    constexpr auto numbers = std::make_index_sequence<kNumberCount<Function>>{};
    core::OptionKind chunk_kinds[kSolverChunk];
    core::ImpliedVolInputs chunk_inputs[kSolverChunk];
    typename Solver::Outcome outcomes[kSolverChunk];
    for (std::size_t begin = range.begin; begin < range.end; begin += kSolverChunk) {
        const std::size_t n = range.end - begin < kSolverChunk ? range.end - begin : kSolverChunk;
        for (std::size_t k = 0; k < n; ++k) {
            chunk_kinds[k] = kinds.at(begin + k);
            chunk_inputs[k] = solver_inputs<Function>(in, begin + k, numbers);
        }
        const core::OptionKind* kinds_of = chunk_kinds;
        const core::ImpliedVolInputs* inputs_of = chunk_inputs;
        typename Solver::Outcome* outcomes_of = outcomes;
        on_kernel_path<SolverChunk<Solver>>(n, kinds_of, inputs_of, outcomes_of);
        for (std::size_t k = 0; k < n; ++k) {
            out.store(begin + k, volatility_of(outcomes[k]));
            reasons.store(begin + k, reason_of(outcomes[k]));
        }
    }
}

// The solver's ufunc loop in NumPy's calling convention (strided_loops.hpp):
// the kinds, the function's numbers, the volatilities and, WithReason, the
// int8 reason codes.
template <class Function, class Solver, bool WithReason>
void solver_ufunc_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                       void* /*data*/) noexcept {
    constexpr std::size_t numbers = kNumberCount<Function>;
    const StridedNumbersOf<Function> in(args + 1, steps + 1);
    const StridedOutput out{args[1 + numbers], steps[1 + numbers]};
    const auto n = static_cast<std::size_t>(dimensions[0]);
    auto run = [&](const auto& reasons, bool in_order) {
        const StridedKinds kinds{args[0], steps[0]};
        if (in_order) {
            return solve_in_order<Function, Solver>(kinds, in, out, reasons, Range{0, n});
        }
        solve_in_lanes<Function, Solver>(kinds, in, out, reasons, Range{0, n});
    };
    if constexpr (WithReason) {
        const StridedReasons reasons{args[2 + numbers], steps[2 + numbers]};
        run(reasons, out.step == 0 || reasons.step == 0);
    } else {
        run(NoReasons{}, out.step == 0);
    }
}

}  // namespace kestrelfin::kernels
