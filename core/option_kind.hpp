// The option kind shared by every pricing formula: one kind for a whole
// evaluation (OptionKind), or one per lane when a block of lanes mixes calls
// and puts (LaneKinds).
#pragma once

#include "core/lanes.hpp"

namespace kestrelfin::core {

enum class OptionKind : unsigned char { Call, Put };

// The kind of each lane of a block: all bits set where the option is a call.
template <int N>
struct LaneKinds {
    RawMask<N> is_call;
};

// The sign that folds a call and a put formula into one: +1 for a call, -1
// for a put.
inline constexpr double sign_of(OptionKind kind) noexcept {
    return kind == OptionKind::Call ? 1.0 : -1.0;
}
template <int N>
KESTRELFIN_LANE_INLINE RawLanes<N> sign_of(LaneKinds<N> kinds) noexcept {
    return kinds.is_call ? RawLanes<N>{} + 1.0 : RawLanes<N>{} - 1.0;
}

// The value of the call formula for calls and of the put formula for puts,
// each formula given as a function of no arguments. For one kind only the
// formula that applies is evaluated; a block of lanes of both kinds
// evaluates both and each lane takes its own.
template <class Call, class Put>
KESTRELFIN_LANE_INLINE auto by_kind(OptionKind kind, Call call, Put put) noexcept {
    return kind == OptionKind::Call ? call() : put();
}
template <int N, class Call, class Put>
KESTRELFIN_LANE_INLINE auto by_kind(LaneKinds<N> kinds, Call call, Put put) noexcept {
    if (!any_lane(lane_not(LaneMask<N>{kinds.is_call}))) {
        return call();
    }
    if (!any_lane(LaneMask<N>{kinds.is_call})) {
        return put();
    }
    return select(LaneMask<N>{kinds.is_call}, call(), put());
}

}  // namespace kestrelfin::core
