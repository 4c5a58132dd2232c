// Prints the function table as JSON, for texts/generate.py: the facts the
// stubs and docstrings are written from, taken from the very table the
// modules are compiled from, so that neither restates a name, a parameter,
// a family or the registration order. It writes no text of its own.
//
//   kestrelfin_table_facts > table.json
//
// {"models": [{"name", "title", "underlying"}, ...]          registration order
//  "functions": [{"model", "quantity", "name", "array_name", "parameters",
//                 "is_array", "solves_implied_volatility"}, ...]   rows, model by model
//  "registration_order": [the 102 names, as _kestrelfin registers them],
//  "greeks": [{"model", "name", "parameters"}, ...],
//  "greek_names": [the sixteen quantities of a greeks pass, in order]}
#include "kernels/families.hpp"
#include "kernels/functions.hpp"
#include "kernels/greeks_loops.hpp"
#include "kernels/operations.hpp"

#include <cstddef>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace kernels = kestrelfin::kernels;
using kernels::Model;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string list_of(std::span<const std::string_view> items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", " : "") + quoted(items[i]);
    }
    return out + "]";
}

std::string list_of(std::span<const bool> items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += std::string(i ? ", " : "") + (items[i] ? "true" : "false");
    }
    return out + "]";
}

template <class Function>
std::string function_record(Model model) {
    using Family = typename Function::Family;
    return "{\"model\": " + quoted(kernels::names_of(model).name) + ", \"quantity\": " + quoted(Function::quantity) +
           ", \"name\": " + quoted(Function::name) + ", \"array_name\": " + quoted(Function::array_name) +
           ", \"parameters\": " + list_of(Family::parameters) + ", \"is_array\": " + list_of(Family::is_array) +
           ", \"solves_implied_volatility\": " + (kernels::SolvesImpliedVolatility<Function> ? "true" : "false") + "}";
}

template <Model M, std::size_t... Rows>
void add_column(std::vector<std::string>& records, std::index_sequence<Rows...>) {
    (records.push_back(function_record<kernels::FunctionAt<M, Rows>>(M)), ...);
}

template <Model M>
std::string greeks_record() {
    using AllGreeks = kernels::AllGreeksOf<M>;
    return "{\"model\": " + quoted(kernels::names_of(M).name) + ", \"name\": " + quoted(AllGreeks::name) +
           ", \"parameters\": " + list_of(AllGreeks::Price::Family::parameters) + "}";
}

// The names of a column's functions by row, scalar and array forms.
template <Model M, std::size_t... Rows>
std::vector<std::pair<std::string, std::string>> names_of_column(std::index_sequence<Rows...>) {
    return {{kernels::FunctionAt<M, Rows>::name, kernels::FunctionAt<M, Rows>::array_name}...};
}

std::string joined(const std::vector<std::string>& items) {
    std::string out = "[\n  ";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i ? ",\n  " : "") + items[i];
    }
    return out + "\n ]";
}

}  // namespace

int main() {
    constexpr auto rows = std::make_index_sequence<kernels::kRowCount>{};
    std::vector<std::string> models;
    std::vector<std::string> functions;
    std::vector<std::string> greeks;
    for (Model model : kernels::kModelOrder) {
        const kernels::ModelNames names = kernels::names_of(model);
        models.push_back("{\"name\": " + quoted(names.name) + ", \"title\": " + quoted(names.title) +
                         ", \"underlying\": " + quoted(names.underlying) + "}");
    }
    add_column<kernels::kModelOrder[0]>(functions, rows);
    add_column<kernels::kModelOrder[1]>(functions, rows);
    add_column<kernels::kModelOrder[2]>(functions, rows);
    greeks = {greeks_record<kernels::kModelOrder[0]>(), greeks_record<kernels::kModelOrder[1]>(),
              greeks_record<kernels::kModelOrder[2]>()};

    const std::vector<std::pair<std::string, std::string>> columns[] = {
        names_of_column<Model::Black76>(rows), names_of_column<Model::BlackScholesMerton>(rows),
        names_of_column<Model::BlackScholes>(rows)};
    std::vector<std::string> order;
    kernels::for_each_in_registration_order([&](kernels::FunctionIndex f) {
        const auto& names = columns[static_cast<int>(f.model)][f.row];
        order.push_back(quoted(f.is_array ? names.second : names.first));
    });

    std::vector<std::string> greek_names;
    kernels::for_each_function([&]<class Function>() {
        if constexpr (!kernels::SolvesImpliedVolatility<Function>) {
            if (kernels::names_of(Function::Family::model).name == kernels::names_of(kernels::kModelOrder[0]).name) {
                greek_names.push_back(quoted(Function::quantity));
            }
        }
    });
    if (greek_names.size() != kernels::kGreekCount) {
        std::fprintf(stderr, "table facts: %zu Greeks rows, the greeks pass has %zu results\n", greek_names.size(),
                     kernels::kGreekCount);
        return 1;
    }

    std::printf(
        "{\"models\": %s,\n \"functions\": %s,\n \"registration_order\": %s,\n \"greeks\": %s,\n"
        " \"greek_names\": %s}\n",
        joined(models).c_str(), joined(functions).c_str(), joined(order).c_str(), joined(greeks).c_str(),
        joined(greek_names).c_str());
    return 0;
}
