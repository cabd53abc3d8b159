#pragma once

#include "Core/Jobs.hpp"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvel {

// The vocabulary of a correction step: plain amounts, and dotted keys
// "<filter>.<input>[.<component>]" for four colour filters.
namespace ColorCorrection {

const std::set<std::string>& plainAmounts();
// Also the order in which the filters are applied.
const std::vector<std::string>& allowedFilters();
// The input keys each allowed filter has (its image input included).
const std::set<std::string>& inputKeys(const std::string& filter);

struct FilterKey {
    std::string filter;
    std::string input;
    std::optional<int64_t> component;
    bool operator==(const FilterKey&) const = default;

    static std::optional<FilterKey> parse(const std::string& text);
};

// -32602 for the smallest name that is neither plain nor a filter input,
// then for one or two of the three white gains.
void check(const std::map<std::string, double>& adjustments);

// One filter with the inputs the dotted keys set: a plain number for a
// single entry without a component, else the values ordered by component.
struct FilterInput {
    std::vector<double> values;
    bool scalar = false;
    bool operator==(const FilterInput&) const = default;
};
struct FilterCall {
    std::string filter;
    std::map<std::string, FilterInput> inputs;
    bool operator==(const FilterCall&) const = default;
};
std::vector<FilterCall> filterCalls(const std::map<std::string, double>& adjustments);

} // namespace ColorCorrection
} // namespace korvel
