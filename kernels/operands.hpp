// The operands of the element loops: where the kinds and numbers of a call
// come from and where its results go. One set of types for every caller:
// _kestrelfin's array functions (one kind for the call, contiguous arrays
// and single numbers), and kestrelfin's ufuncs and greeks (NumPy's operands
// of any stride). Free of any Python or NumPy type.
//
// Every operand reads (or writes) element i alone, and lanes<V>(i) the
// elements i to i + W - 1 as the formulas take them (V = double: element i
// alone, so one loop body serves both). Memory is read and written with
// unaligned copies straight into the vector: NumPy hands over views at any
// byte offset.
#pragma once

#include "core/lanes.hpp"
#include "core/option_kind.hpp"
#include "kernels/families.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kestrelfin::kernels {

// ---- memory -----------------------------------------------------------------

inline double load_number(const char* at) noexcept {
    double value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void store_number(char* at, double value) noexcept {
    std::memcpy(at, &value, sizeof value);
}

// Lanes of V from W consecutive doubles, into the vector itself.
template <class V>
KESTRELFIN_LANE_INLINE V load_lanes(const char* at) noexcept {
    V block;
    std::memcpy(&block.v, at, sizeof block.v);
    return block;
}

template <class V>
KESTRELFIN_LANE_INLINE void store_lanes(char* at, const V& block) noexcept {
    std::memcpy(at, &block.v, sizeof block.v);
}

// The kinds type the formulas take for V: one kind, or one per lane.
template <class V>
using KindsFor = std::conditional_t<std::is_same_v<V, double>, core::OptionKind, core::LaneKinds<core::lane_count<V>>>;

// ---- kinds --------------------------------------------------------------------

// One kind for every option of the call (the array functions' flag, or a
// ufunc's broadcast one).
struct UniformKind {
    core::OptionKind kind;
    core::OptionKind at(std::size_t) const noexcept { return kind; }
    template <class V>
    KESTRELFIN_LANE_INLINE core::OptionKind lanes(std::size_t) const noexcept {
        return kind;
    }
};

// One kind per option: NumPy bools, any nonzero byte a call.
struct StridedKinds {
    const char* data;
    std::intptr_t step;
    core::OptionKind at(std::size_t i) const noexcept {
        return *reinterpret_cast<const unsigned char*>(data + static_cast<std::intptr_t>(i) * step) != 0
                   ? core::OptionKind::Call
                   : core::OptionKind::Put;
    }
    template <class V>
    KESTRELFIN_LANE_INLINE KindsFor<V> lanes(std::size_t i) const noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return at(i);
        } else {
            KindsFor<V> kinds{};
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                kinds.is_call[lane] = at(i + static_cast<std::size_t>(lane)) == core::OptionKind::Call ? -1 : 0;
            }
            return kinds;
        }
    }
};

// ---- numbers --------------------------------------------------------------------
// Numbers are addressed by the slot of their parameter in the function's
// family (the flag's slot is skipped), so that a function reads its numbers
// in its own parameter order whatever the operands.

// The numbers of an array function: each parameter either a contiguous
// array or one value for every option, as the family says.
template <class Family>
struct FamilyNumbers {
    // An array's first element (at any byte offset), or the one value.
    std::array<const char*, Family::arity> data{};

    template <std::size_t Slot>
    double number(std::size_t i) const noexcept {
        if constexpr (Family::is_array[Slot]) {
            return load_number(data[Slot] + i * sizeof(double));
        } else {
            return load_number(data[Slot]);
        }
    }
    template <class V, std::size_t Slot>
    KESTRELFIN_LANE_INLINE V lanes(std::size_t i) const noexcept {
        if constexpr (std::is_same_v<V, double>) {
            return number<Slot>(i);
        } else if constexpr (Family::is_array[Slot]) {
            return load_lanes<V>(data[Slot] + i * sizeof(double));
        } else {
            return core::splat<V>(load_number(data[Slot]));
        }
    }
};

// Count numbers in any layout NumPy hands over, the first of them in slot
// FirstSlot: a block of lanes is one copy where the operand is contiguous,
// one value everywhere where it is broadcast (stride 0), and gathered lane
// by lane otherwise.
template <std::size_t Count, std::size_t FirstSlot>
struct StridedNumbers {
    const char* data[Count];
    std::intptr_t step[Count];

    StridedNumbers(char* const* args, const std::intptr_t* steps) noexcept {
        for (std::size_t j = 0; j < Count; ++j) {
            data[j] = args[j];
            step[j] = steps[j];
        }
    }
    template <std::size_t Slot>
    double number(std::size_t i) const noexcept {
        constexpr std::size_t j = Slot - FirstSlot;
        return load_number(data[j] + static_cast<std::intptr_t>(i) * step[j]);
    }
    template <class V, std::size_t Slot>
    KESTRELFIN_LANE_INLINE V lanes(std::size_t i) const noexcept {
        constexpr std::size_t j = Slot - FirstSlot;
        const char* at = data[j] + static_cast<std::intptr_t>(i) * step[j];
        if constexpr (std::is_same_v<V, double>) {
            return load_number(at);
        } else {
            if (step[j] == static_cast<std::intptr_t>(sizeof(double))) {
                return load_lanes<V>(at);
            }
            if (step[j] == 0) {
                return core::splat<V>(load_number(at));
            }
            V block{};
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                block.set(lane, load_number(at + lane * step[j]));
            }
            return block;
        }
    }
};

// The numbers of a function of the table as NumPy's operands: args[0] and
// steps[0] are its first number's.
template <class Function>
using StridedNumbersOf = StridedNumbers<Function::Family::arity - 1, Function::Family::first_number>;

// ---- results ----------------------------------------------------------------------

// n doubles one after the other (the array functions' result buffer).
struct ContiguousOutput {
    double* data;
    void store(std::size_t i, double value) const noexcept { data[i] = value; }
    template <class V>
    KESTRELFIN_LANE_INLINE void store(std::size_t i, const V& block) const noexcept {
        store_lanes(reinterpret_cast<char*>(data + i), block);
    }
};

// A result operand of any stride.
struct StridedOutput {
    char* data;
    std::intptr_t step;
    void store(std::size_t i, double value) const noexcept {
        store_number(data + static_cast<std::intptr_t>(i) * step, value);
    }
    template <class V>
    KESTRELFIN_LANE_INLINE void store(std::size_t i, const V& block) const noexcept {
        char* at = data + static_cast<std::intptr_t>(i) * step;
        if (step == static_cast<std::intptr_t>(sizeof(double))) {
            store_lanes(at, block);
        } else {
            for (int lane = 0; lane < core::lane_count<V>; ++lane) {
                store_number(at + lane * step, block[lane]);
            }
        }
    }
};

// Elements [begin, end) of a call: a loop may be given part of the operands
// (begin a multiple of every block width, so that each option is computed in
// the same lane as in a whole call).
struct Range {
    std::size_t begin;
    std::size_t end;
};

}  // namespace kestrelfin::kernels
