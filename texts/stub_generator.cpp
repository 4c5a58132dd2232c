// Writes the type stub of the module, _kestrelfin.pyi, from the one function
// table (functions.hpp) and the parameter families (families.hpp).
//
// The build runs this host program and installs its output beside the
// extension and as the stub-only package _kestrelfin-stubs, so the stub
// cannot drift from the module: a new row of the table, a renamed parameter
// or a changed family shows up in the stub of the very build that has it.
// It needs neither Python nor the pricing core, only the table's headers
// (the quantities' texts are in quantities.hpp, shared with the kestrelfin
// package's docstrings).
//
// Usage: kestrelfin_stub_generator OUTPUT.pyi   (or no argument: stdout)

#include "kernels/families.hpp"
#include "kernels/functions.hpp"
#include "texts/quantities.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrelfin::kernels::Model;
using kestrelfin::kernels::ModelNames;
using kestrelfin::kernels::names_of;

// One function of the table (a row in one model), with what its family says
// about the parameters.
struct Row {
    std::string_view name;
    Model model;
    std::span<const std::string_view> parameters;
    std::span<const bool> is_array;
};

#define KESTRELFIN_STUB_FUNCTION(model_, kind_, name_)                         \
    Row {                                                                      \
#name_, Model::model_, kestrelfin::kernels::model_##kind_::parameters, \
            kestrelfin::kernels::model_##kind_::is_array                       \
    }

// Indexed [row][model], models in the order of the Model enumeration.
constexpr std::array<std::array<Row, 3>, kestrelfin::kernels::kRowCount> kRows = {{
#define KESTRELFIN_STUB_ROW(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_)                                   \
    {{KESTRELFIN_STUB_FUNCTION(Black76, kind_, black76_), KESTRELFIN_STUB_FUNCTION(BlackScholesMerton, kind_, bsm_), \
      KESTRELFIN_STUB_FUNCTION(BlackScholes, kind_, bs_)}},
    KESTRELFIN_FUNCTIONS(KESTRELFIN_STUB_ROW)
#undef KESTRELFIN_STUB_ROW
}};
#undef KESTRELFIN_STUB_FUNCTION

std::string quantity_text(const Row& row, const ModelNames& model) {
    const std::string_view quantity = row.name.substr(model.name.size() + 1);
    for (const auto& known : kestrelfin::texts::kQuantityTexts) {
        if (known.name == quantity) {
            // "dU" stands for the derivative by the model's underlying.
            // (Built by appending: GCC 12 sees a false overlap in an
            // in-place replace of a constant.)
            const std::string_view summary = known.summary;
            std::string text;
            std::size_t from = 0;
            for (std::size_t at = summary.find("dU"); at != std::string_view::npos; at = summary.find("dU", from)) {
                text.append(summary.substr(from, at + 1 - from)).append(model.underlying);
                from = at + 2;
            }
            return text.append(summary.substr(from));
        }
    }
    // A new row in the table needs its description here; fail the build
    // rather than ship a stub without one.
    std::fprintf(stderr, "stub generator: no description for %.*s\n", static_cast<int>(row.name.size()),
                 row.name.data());
    std::exit(1);
}

constexpr std::string_view kArrayType = "NDArray[np.float64]";

std::string annotation(std::string_view parameter, bool array_form, bool is_array) {
    if (parameter == "flag") {
        return "Flag";
    }
    return std::string(array_form && is_array ? kArrayType : "float");
}

std::string docstring(const Row& row, bool array_form) {
    const ModelNames model = names_of(row.model);
    std::string text = std::string(model.title) + ": " + quantity_text(row, model);
    const bool implied = row.name.ends_with("_implied_volatility");
    if (array_form) {
        std::string arrays;
        std::string singles;
        for (std::size_t i = 0; i < row.parameters.size(); ++i) {
            std::string& list = row.is_array[i] ? arrays : singles;
            list += (list.empty() ? "" : ", ") + std::string(row.parameters[i]);
        }
        text += "\n\n    One option per element: " + arrays +
                " are one-dimensional contiguous float64 arrays of equal length (read in place, never"
                " copied); " +
                singles +
                " apply to every element. Element i equals the scalar function's"
                " result for element i, bit for bit.";
        if (implied) {
            text += " An element whose price admits no volatility is NaN.";
        }
    } else if (implied) {
        text +=
            "\n\n    Raises ValueError(\"price is below intrinsic value\"), ValueError(\"price exceeds"
            " theoretical maximum\") or RuntimeError(\"IV solver failed to converge\").";
    }
    return text;
}

// Wraps each paragraph at 88 columns, continuation lines indented for the
// function body.
std::string wrap(const std::string& text) {
    constexpr std::size_t width = 88 - 4;
    std::string wrapped;
    std::size_t line_start = 0;  // in `wrapped`
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.compare(at, 2, "\n\n") == 0) {
            wrapped += "\n\n    ";
            line_start = wrapped.size();
            at += 2;
            continue;
        }
        std::size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string word = text.substr(at, end - at);
        const bool first = wrapped.size() == line_start;
        if (!first && wrapped.size() - line_start + 1 + word.size() > width) {
            wrapped += "\n    ";
            line_start = wrapped.size();
        } else if (!first) {
            wrapped += ' ';
        }
        wrapped += word;
        at = end < text.size() && text[end] == ' ' ? end + 1 : end;
    }
    return wrapped;
}

void write_function(std::FILE* out, const Row& row, bool array_form) {
    const std::string name = std::string(row.name) + (array_form ? "_array" : "");
    std::vector<std::string> parameters;
    for (std::size_t i = 0; i < row.parameters.size(); ++i) {
        parameters.push_back(std::string(row.parameters[i]) + ": " +
                             annotation(row.parameters[i], array_form, row.is_array[i]));
    }
    const std::string result(array_form ? kArrayType : "float");

    std::string one_line = "def " + name + "(";
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        one_line += (i ? ", " : "") + parameters[i];
    }
    one_line += ") -> " + result + ":";
    if (one_line.size() <= 99) {
        std::fprintf(out, "\n%s\n", one_line.c_str());
    } else {
        std::fprintf(out, "\ndef %s(\n", name.c_str());
        for (const std::string& parameter : parameters) {
            std::fprintf(out, "    %s,\n", parameter.c_str());
        }
        std::fprintf(out, ") -> %s:\n", result.c_str());
    }
    std::fprintf(out, "    \"\"\"%s\"\"\"\n", wrap(docstring(row, array_form)).c_str());
}

constexpr const char* kHeader = R"(# Type stub of the extension module _kestrelfin. Generated at build time by
# binding/stub_generator.cpp from the module's function table: do not edit.
from typing import Literal, TypeAlias

import numpy as np
from numpy.typing import NDArray

Flag: TypeAlias = Literal["c", "p", "C", "P", "call", "put", "Call", "Put", "CALL", "PUT"] | str
"""The option kind. Only the first character counts: c or C is a call, p or P a
put, whatever follows ("call", "Put", ...). Any other text raises ValueError.
The Literal lists the usual spellings for editors; a plain str is accepted
too, so that a flag held in a variable or read from data type-checks. One
array call prices one kind: split calls and puts into two calls."""

__version__: str
__all__: list[str]
)";

}  // namespace

int main(int argc, char** argv) {
    std::FILE* out = stdout;
    if (argc > 1) {
        out = std::fopen(argv[1], "w");
        if (out == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
    }
    std::fputs(kHeader, out);
    kestrelfin::kernels::for_each_in_registration_order([&](kestrelfin::kernels::FunctionIndex f) {
        write_function(out, kRows[f.row][static_cast<int>(f.model)], f.is_array);
    });
    if (std::ferror(out) != 0 || (out != stdout && std::fclose(out) != 0)) {
        std::fprintf(stderr, "stub generator: could not write the stub\n");
        return 1;
    }
    return 0;
}
