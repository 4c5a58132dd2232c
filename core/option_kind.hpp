// The option kind shared by every pricing formula.
#pragma once

namespace kestrelfin::core {

enum class OptionKind : unsigned char { Call, Put };

// The sign that folds a call and a put formula into one: +1 for a call, -1 for a put.
inline constexpr double sign_of(OptionKind kind) noexcept {
    return kind == OptionKind::Call ? 1.0 : -1.0;
}

}  // namespace kestrelfin::core
