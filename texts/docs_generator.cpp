// Writes the kestrelfin package's docstrings (_docstrings.py) and type stubs
// (__init__.pyi, bs.pyi, bsm.pyi, black76.pyi) from the function table
// (functions.hpp), the parameter families (families.hpp) and the quantities'
// texts (quantities.hpp), at build time, so that they cannot drift from the
// functions.
//
// Each function's docstring ends with an example that the test suite runs
// as a doctest. Its printed values are those of the pricing core, computed
// here through the same compiled operation as _kestrelfin's scalar functions
// and printed to six significant digits.
//
// Usage: kestrelfin_docs_generator OUTPUT_DIRECTORY

#include "kernels/element_loops.hpp"
#include "kernels/families.hpp"
#include "kernels/functions.hpp"
#include "kernels/operations.hpp"
#include "texts/quantities.hpp"
#include "core/option_kind.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kestrelfin::core::OptionKind;
using kestrelfin::kernels::Model;

// A model as the package's texts speak of it: the module's names of it, with
// the package's namespace (its function prefix without the underscore) and
// what it prices.
struct ModelText {
    std::string_view name;
    std::string_view title;
    std::string_view underlying;
    std::string_view description;
};

ModelText model_text(Model model) {
    const kestrelfin::kernels::ModelNames names = kestrelfin::kernels::names_of(model);
    std::string_view description;
    switch (model) {
        case Model::BlackScholes:
            description =
                "European options on a spot price S that pays no dividend, discounted at the risk-free rate r. "
                "Every function is its Black-Scholes-Merton counterpart with q = 0, to the last bit.";
            break;
        case Model::BlackScholesMerton:
            description =
                "European options on a spot price S paying a continuous dividend yield q, discounted at the "
                "risk-free rate r.";
            break;
        case Model::Black76:
            description = "European options on a forward or futures price F, discounted at the risk-free rate r.";
            break;
    }
    return {names.name, names.title, names.underlying, description};
}

const kestrelfin::texts::QuantityText& quantity_text(std::string_view quantity) {
    for (const auto& text : kestrelfin::texts::kQuantityTexts) {
        if (text.name == quantity) {
            return text;
        }
    }
    std::fprintf(stderr, "docs generator: no text for %.*s\n", static_cast<int>(quantity.size()), quantity.data());
    std::exit(1);
}

std::string_view parameter_text(std::string_view parameter) {
    for (const auto& text : kestrelfin::texts::kParameterTexts) {
        if (text.name == parameter) {
            return text.text;
        }
    }
    std::fprintf(stderr, "docs generator: no text for parameter %.*s\n", static_cast<int>(parameter.size()),
                 parameter.data());
    std::exit(1);
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Shortest text that reads back as the same double.
std::string literal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    return text;
}

// As Python's format(value, ".6g").
std::string six_digits(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    return buffer;
}

// ---- the example options -----------------------------------------------------

// The example inputs by parameter name (one option, and the second option
// of the two-option example, which differs in its kind and strike).
double example_number(std::string_view parameter, int option) {
    if (parameter == "S" || parameter == "F") {
        return 100.0;
    }
    if (parameter == "K") {
        return option == 0 ? 95.0 : 105.0;
    }
    if (parameter == "t") {
        return 0.5;
    }
    if (parameter == "r") {
        return 0.05;
    }
    if (parameter == "sigma") {
        return 0.2;
    }
    if (parameter == "q") {
        return 0.01;
    }
    std::fprintf(stderr, "docs generator: no example value for %.*s\n", static_cast<int>(parameter.size()),
                 parameter.data());
    std::exit(1);
}

// One function of the table in one model: its names, parameters and core.
struct Function {
    std::string_view name;  // _kestrelfin's
    Model model;
    std::span<const std::string_view> parameters;
    double (*evaluate)(OptionKind kind, const std::vector<double>& numbers);
};

template <class F, std::size_t... J>
double evaluate_with(OptionKind kind, const std::vector<double>& x, std::index_sequence<J...>) {
    return kestrelfin::kernels::element_value(kestrelfin::kernels::scalar_operation<F>(kind, x[J]...));
}

template <class F>
double evaluate(OptionKind kind, const std::vector<double>& numbers) {
    return evaluate_with<F>(kind, numbers, std::make_index_sequence<F::Family::arity - 1>{});
}

template <class F>
constexpr Function function_of(Model model) {
    return {F::name, model, F::Family::parameters, &evaluate<F>};
}

constexpr std::array<std::array<Function, 3>, kestrelfin::kernels::kRowCount> kFunctions = {{
#define KESTRELFIN_DOCS_ROW(group_, lanes_, kind_, quantity_, black76_, bsm_, bs_) \
    {{function_of<kestrelfin::kernels::table::black76_>(Model::Black76),           \
      function_of<kestrelfin::kernels::table::bsm_>(Model::BlackScholesMerton),    \
      function_of<kestrelfin::kernels::table::bs_>(Model::BlackScholes)}},
    KESTRELFIN_FUNCTIONS(KESTRELFIN_DOCS_ROW)
#undef KESTRELFIN_DOCS_ROW
}};

const Function& function_in(std::size_t row, Model model) {
    return kFunctions[row][static_cast<int>(model)];
}

// The model's price function (the first row of the table).
const Function& price_function(Model model) {
    return function_in(0, model);
}

std::string quantity_of(const Function& function) {
    const ModelText model = model_text(function.model);
    return std::string(function.name.substr(model.name.size() + 1));
}

bool is_implied_volatility(const Function& function) {
    return quantity_of(function) == "implied_volatility";
}

// The example option's numbers for `function` (option 0 a call, option 1 a
// put); an implied volatility takes the price of the same option at
// sigma = 0.2.
std::vector<double> example_numbers(const Function& function, int option) {
    const Function& price = price_function(function.model);
    std::vector<double> numbers;
    for (std::string_view parameter : function.parameters) {
        if (parameter == "flag") {
            continue;
        }
        if (parameter == "price") {
            std::vector<double> priced = example_numbers(price, option);
            numbers.push_back(price.evaluate(option == 0 ? OptionKind::Call : OptionKind::Put, priced));
        } else {
            numbers.push_back(example_number(parameter, option));
        }
    }
    return numbers;
}

// The argument list of the example call: one option, or the two options.
std::string example_arguments(const Function& function, bool two) {
    std::string text;
    std::size_t number = 0;
    const std::vector<double> first = example_numbers(function, 0);
    const std::vector<double> second = example_numbers(function, 1);
    for (std::string_view parameter : function.parameters) {
        if (!text.empty()) {
            text += ", ";
        }
        if (parameter == "flag") {
            text += two ? "['c', 'p']" : "'c'";
            continue;
        }
        if (two && first[number] != second[number]) {
            text += '[';
            text += literal(first[number]);
            text += ", ";
            text += literal(second[number]);
            text += ']';
        } else {
            text += literal(first[number]);
        }
        ++number;
    }
    return text;
}

// ---- docstrings ------------------------------------------------------------------

constexpr std::string_view kFlagParameter =
    "flag : str, array-like of str, or bool array\n"
    "    The option kind: 'c' or 'C' for a call, 'p' or 'P' for a put; only the\n"
    "    first character counts ('call', 'Put'). One str for every option, or one\n"
    "    per option: a list, a NumPy array, a pandas or Polars Series (also\n"
    "    categorical), a Dask array or Series, an xarray DataArray; or booleans,\n"
    "    True for a call (is_call).\n";

constexpr std::string_view kUfuncKeywords =
    "out, where, casting, order : keyword-only\n"
    "    As for any NumPy ufunc: the array(s) to write into, the elements to\n"
    "    compute (the others of `out` are left as they are), the casting rule\n"
    "    and the memory order of new results.\n";

// Wraps at 76 columns; the first line starts with `indent`, the others with
// `rest` (the same by default).
std::string wrap(std::string_view text, std::string_view indent, std::string_view rest = {}) {
    constexpr std::size_t width = 76;
    if (rest.empty()) {
        rest = indent;
    }
    std::string wrapped;
    std::string line(indent);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view word = text.substr(at, end - at);
        const std::size_t start = wrapped.empty() ? indent.size() : rest.size();
        if (line.size() > start && line.size() + 1 + word.size() > width) {
            wrapped += line + "\n";
            line = std::string(rest);
        }
        if (line.size() > (wrapped.empty() ? indent.size() : rest.size())) {
            line += ' ';
        }
        line += word;
        at = end + 1;
    }
    return wrapped + line + "\n";
}

std::string parameters_section(std::span<const std::string_view> parameters, std::string_view underlying) {
    std::string text = "Parameters\n----------\n";
    for (std::string_view parameter : parameters) {
        if (parameter == "flag") {
            text += kFlagParameter;
            continue;
        }
        std::string description(parameter_text(parameter));
        description[0] = static_cast<char>(description[0] - 'a' + 'A');
        text += std::string(parameter) + " : float or array-like\n" + wrap(description + ".", "    ");
    }
    (void)underlying;
    return text + std::string(kUfuncKeywords);
}

std::string function_doc(const Function& function) {
    const ModelText model = model_text(function.model);
    const std::string quantity = quantity_of(function);
    const auto& texts = quantity_text(quantity);
    const std::string underlying(model.underlying);
    const auto model_words = [&](std::string_view text) { return replace_all(std::string(text), "{U}", underlying); };
    const std::string summary = replace_all(std::string(texts.summary), "dU", "d" + underlying);
    const bool implied = is_implied_volatility(function);

    std::string doc = wrap(std::string(model.title) + " " + std::string(texts.public_name) + ": " + summary, "");
    doc += "\n" + wrap("Formula: " + model_words(texts.formula), "");
    doc += "\n" + parameters_section(function.parameters, model.underlying);
    doc += "\nReturns\n-------\nfloat, ndarray, or the container of the inputs\n";
    doc += wrap(model_words(texts.returns) +
                    " A float when every argument is a number; otherwise the broadcast "
                    "shape of the arguments, as a pandas Series, Polars Series, xarray DataArray or Dask array when "
                    "they are. Element by element equal to _kestrelfin." +
                    std::string(function.name) + " for the same float64 inputs, bit for bit.",
                "    ");
    doc += "\nFailures\n--------\n";
    std::string failures =
        "No error per element: out-of-domain numbers (t <= 0, sigma <= 0, NaN, infinities) give the IEEE-754 "
        "result of the formula, NaN, an infinity or a signed zero.";
    if (implied) {
        failures +=
            " A price that no volatility gives is NaN, also for a single option (where "
            "_kestrelfin." +
            std::string(function.name) +
            " raises). The solver's edges: volatilities above 5 (500 %) are out of reach, and such a price, or "
            "one at the maximum (the forward for a call, the strike for a put, undiscounted), gives a value just "
            "below 5 (4.999999999999996); a price at the intrinsic value, or less than 1e-14 below it "
            "(undiscounted), gives 1e-6; the model price is matched within (|price| + 1) * 1e-12, so a price far "
            "below 1e-12 gives the first volatility whose price is that small: 0.2, where the search starts, when "
            "the price at 20 % volatility already is.";
    }
    failures +=
        " A flag that does not start with c, C, p or P raises ValueError (naming its position in an "
        "array); text or objects where numbers belong raise TypeError; shapes that do not broadcast "
        "raise ValueError naming the arguments' shapes.";
    doc += wrap(failures, "");

    // The example: one call, then a call and a put.
    const std::string call = std::string(model.name) + "." + std::string(texts.public_name);
    const double one = function.evaluate(OptionKind::Call, example_numbers(function, 0));
    const double second = function.evaluate(OptionKind::Put, example_numbers(function, 1));
    doc += "\nExamples\n--------\n>>> from kestrelfin import " + std::string(model.name) + "\n";
    doc += ">>> print(f\"{" + call + "(" + example_arguments(function, false) + "):.6g}\")\n" + six_digits(one) + "\n";
    doc += ">>> [f\"{value:.6g}\" for value in " + call + "(" + example_arguments(function, true) + ")]\n";
    doc += "['" + six_digits(one) + "', '" + six_digits(second) + "']\n";
    return doc;
}

std::string greeks_doc(Model model_id, const std::vector<std::string>& names) {
    const ModelText model = model_text(model_id);
    const Function& price = price_function(model_id);
    std::string doc = wrap(std::string(model.title) +
                               ": the price and all fifteen Greeks of every option in one "
                               "pass.",
                           "");
    doc += "\n" + wrap(
                      "Each shared intermediate (d1, d2, the logarithm, the discount and carry factors, the "
                      "density and the distribution values) is computed once per option, and each result is "
                      "bit for bit the one of the separate function (" +
                          std::string(model.name) + ".price, " + std::string(model.name) + ".delta, ...).",
                      "");
    doc += "\n" + parameters_section(price.parameters, model.underlying);
    std::string keys;
    for (const std::string& name : names) {
        keys += (keys.empty() ? "" : ", ") + name;
    }
    doc += "\nReturns\n-------\ndict, pandas.DataFrame or polars.DataFrame\n";
    doc += wrap("A dict from name to result, in the order " + keys +
                    "; each result as the separate function "
                    "returns it (a NumPy float64 scalar for one option). When the inputs are pandas objects, a "
                    "DataFrame with these columns and the inputs' index; for Polars Series, a polars DataFrame "
                    "with these columns. `out`, if given, is a tuple of sixteen arrays in this order.",
                "    ");
    doc += "\nFailures\n--------\n" + wrap("As for the separate functions.", "");
    const std::string call = std::string(model.name) + ".greeks(" + example_arguments(price, false) + ")";
    const std::vector<double> numbers = example_numbers(price, 0);
    doc += "\nExamples\n--------\n>>> from kestrelfin import " + std::string(model.name) + "\n";
    doc += ">>> result = " + call + "\n>>> list(result)[:4]\n['price', 'delta', 'gamma', 'vega']\n";
    doc += ">>> print(f\"{result['price']:.6g} {result['delta']:.6g}\")\n" +
           six_digits(price.evaluate(OptionKind::Call, numbers)) + " " +
           six_digits(function_in(2, model_id).evaluate(OptionKind::Call, numbers)) + "\n";
    return doc;
}

std::string namespace_doc(Model model_id) {
    const ModelText model = model_text(model_id);
    const Function& price = price_function(model_id);
    std::string doc = "kestrelfin." + std::string(model.name) + ": " + std::string(model.title) + ".\n\n" +
                      wrap(std::string(model.description), "");
    doc += "\n" + wrap(
                      "Every function is a NumPy ufunc underneath: any mix of numbers and array-likes "
                      "broadcasts, any real dtype is cast to float64, and pandas, Polars, xarray and Dask "
                      "containers come back as their own kind. Every element equals the _kestrelfin scalar "
                      "function of the same quantity (prefix " +
                          std::string(model.name) +
                          "_) for the same "
                          "float64 inputs, bit for bit. Parameters, in this order:",
                      "");
    doc += "\n";
    for (std::string_view parameter : price.parameters) {
        doc += wrap(std::string(parameter) + ": " + std::string(parameter_text(parameter)) + ".", "    ", "        ");
    }
    doc += "\n" +
           wrap(
               "Functions, each with the parameters above (but implied_volatility) and the ufunc keywords "
               "out, where, casting and order:",
               "") +
           "\n";
    for (std::size_t row = 0; row < kestrelfin::kernels::kRowCount; ++row) {
        const Function& function = function_in(row, model_id);
        const auto& texts = quantity_text(quantity_of(function));
        doc += wrap(std::string(texts.public_name) + ": " +
                        replace_all(std::string(texts.summary), "dU", std::string("d").append(model.underlying)),
                    "    ", "        ");
        if (is_implied_volatility(function)) {
            std::string parameters;
            for (std::string_view parameter : function.parameters) {
                parameters += (parameters.empty() ? "" : ", ") + std::string(parameter);
            }
            doc += wrap("(parameters " + parameters + ")", "        ");
        }
    }
    doc += wrap("greeks: the price and all fifteen Greeks in one pass.", "    ", "        ");
    doc += "\nExamples\n--------\n>>> from kestrelfin import " + std::string(model.name) + "\n";
    const double value = price.evaluate(OptionKind::Call, example_numbers(price, 0));
    doc += ">>> print(f\"{" + std::string(model.name) + ".price(" + example_arguments(price, false) + "):.6g}\")\n" +
           six_digits(value) + "\n";
    return doc;
}

// A Python string literal of the text: a raw triple-quoted string, which
// holds every text here (none contains a triple quote or ends in a
// backslash).
std::string python_text(const std::string& text) {
    if (text.find("\"\"\"") != std::string::npos || text.ends_with('\\')) {
        std::fprintf(stderr, "docs generator: a text that a raw string cannot hold\n");
        std::exit(1);
    }
    return "r\"\"\"" + text + "\"\"\"";
}

// ---- stubs ---------------------------------------------------------------------

constexpr const char* kStubHeader = R"(# Type stub of kestrelfin.%s. Generated at build time by
# kestrelfin/native/docs_generator.cpp from the function table: do not edit.
from typing import Any, Literal, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

Casting: TypeAlias = Literal["no", "equiv", "safe", "same_kind", "unsafe"]
Order: TypeAlias = Literal["K", "A", "C", "F"]

__all__: list[str]
)";

std::string stub_parameters(std::span<const std::string_view> parameters, bool scalar, bool greeks) {
    std::string text;
    for (std::string_view parameter : parameters) {
        text += "    " + std::string(parameter) + ": ";
        if (parameter == "flag") {
            text += scalar ? "str" : "ArrayLike";
        } else {
            text += scalar ? "float" : "ArrayLike";
        }
        text += ",\n";
    }
    // The ufunc keywords are keyword-only; out is the array (greeks: the
    // tuple of arrays) written into.
    if (scalar) {
        text += "    *,\n    out: None = None,\n    where: Literal[True] = True,\n";
    } else {
        text += std::string("    *,\n    out: ") + (greeks ? "tuple[NDArray[Any], ...]" : "NDArray[Any]") +
                " | None = None,\n    where: ArrayLike = True,\n";
    }
    text += "    casting: Casting = \"same_kind\",\n    order: Order = \"K\",\n";
    return text;
}

void write_stub_function(std::FILE* out, std::string_view name, std::span<const std::string_view> parameters,
                         std::string_view scalar_result, std::string_view doc) {
    const bool greeks = name == "greeks";
    std::fprintf(out, "\n@overload\ndef %.*s(\n%s) -> %.*s:\n    %s\n", static_cast<int>(name.size()), name.data(),
                 stub_parameters(parameters, true, greeks).c_str(), static_cast<int>(scalar_result.size()),
                 scalar_result.data(), python_text(std::string(doc)).c_str());
    std::fprintf(out, "@overload\ndef %.*s(\n%s) -> Any:\n    %s\n", static_cast<int>(name.size()), name.data(),
                 stub_parameters(parameters, false, greeks).c_str(), python_text(std::string(doc)).c_str());
}

std::FILE* open_output(const std::string& directory, const std::string& name) {
    const std::string path = directory + "/" + name;
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        std::exit(1);
    }
    return out;
}

void close_output(std::FILE* out) {
    if (std::ferror(out) != 0 || std::fclose(out) != 0) {
        std::fprintf(stderr, "docs generator: could not write an output\n");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrelfin_docs_generator OUTPUT_DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];

    // The Greeks rows' quantities: the keys of greeks().
    std::vector<std::string> greek_names;
    for (std::size_t row = 0; row < kestrelfin::kernels::kRowCount; ++row) {
        const Function& function = function_in(row, Model::BlackScholesMerton);
        if (!is_implied_volatility(function)) {
            greek_names.emplace_back(quantity_text(quantity_of(function)).public_name);
        }
    }

    std::FILE* docs = open_output(directory, "_docstrings.py");
    std::fputs(
        "# The docstrings of the kestrelfin package. Generated at build time by\n"
        "# kestrelfin/native/docs_generator.cpp from the function table: do not edit.\n\nDOCS = {\n",
        docs);
    // The package's order: bs, bsm, black76.
    for (Model model_id : {Model::BlackScholes, Model::BlackScholesMerton, Model::Black76}) {
        const ModelText model = model_text(model_id);
        std::FILE* stub = open_output(directory, std::string(model.name) + ".pyi");
        std::fprintf(stub, kStubHeader, std::string(model.name).c_str());
        const std::string namespace_text = namespace_doc(model_id);
        std::fprintf(docs, "    \"%s\": %s,\n", std::string(model.name).c_str(), python_text(namespace_text).c_str());
        for (std::size_t row = 0; row < kestrelfin::kernels::kRowCount; ++row) {
            const Function& function = function_in(row, model_id);
            const std::string name(quantity_text(quantity_of(function)).public_name);
            const std::string doc = function_doc(function);
            std::fprintf(docs, "    \"%s.%s\": %s,\n", std::string(model.name).c_str(), name.c_str(),
                         python_text(doc).c_str());
            write_stub_function(stub, name, function.parameters, "float", doc);
        }
        const std::string doc = greeks_doc(model_id, greek_names);
        std::fprintf(docs, "    \"%s.greeks\": %s,\n", std::string(model.name).c_str(), python_text(doc).c_str());
        write_stub_function(stub, "greeks", price_function(model_id).parameters, "dict[str, float]", doc);
        close_output(stub);
    }
    std::fputs("}\n", docs);
    close_output(docs);

    std::FILE* package = open_output(directory, "__init__.pyi");
    std::fputs(
        "# Type stub of the kestrelfin package. Generated at build time by\n"
        "# kestrelfin/native/docs_generator.cpp: do not edit.\n"
        "from kestrelfin import black76 as black76, bs as bs, bsm as bsm\n\n"
        "__version__: str\n__all__: list[str]\n",
        package);
    close_output(package);
    return 0;
}
