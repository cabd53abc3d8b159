#pragma once

// A second JSON reader built on nlohmann's SAX parser, applying the engine's
// number rules: the reference the engine's own reader is compared against.

#include "Core/JSONValue.hpp"

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel::testing {

class JSONOracle : public nlohmann::json_sax<nlohmann::json> {
public:
    // Nothing when the text is not JSON.
    static std::optional<JSONValue> parse(std::string_view text) {
        JSONOracle builder;
        try {
            if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder)) return std::nullopt;
        } catch (const std::exception&) {
            return std::nullopt;
        }
        return std::move(builder.root_);
    }

    bool null() override { return add(JSONValue()); }
    bool boolean(bool v) override { return add(JSONValue(v)); }
    bool number_integer(number_integer_t v) override { return add(JSONValue(int64_t{v})); }
    bool number_unsigned(number_unsigned_t v) override {
        if (v <= static_cast<uint64_t>(INT64_MAX)) return add(JSONValue(static_cast<int64_t>(v)));
        return add(JSONValue(static_cast<double>(v)));
    }
    bool number_float(number_float_t d, const string_t&) override {
        constexpr double two63 = 9223372036854775808.0;
        if (std::isfinite(d) && d >= -two63 && d < two63 && d == std::trunc(d)) return add(JSONValue(static_cast<int64_t>(d)));
        return add(JSONValue(d));
    }
    bool string(string_t& v) override { return add(JSONValue(std::move(v))); }
    bool binary(binary_t&) override { return add(JSONValue()); }
    bool start_object(std::size_t) override { return open(JSONValue(JSONValue::Object{})); }
    bool key(string_t& k) override {
        keys_.back() = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JSONValue(JSONValue::Array{})); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    JSONValue root_;
    std::vector<JSONValue> stack_;
    std::vector<std::string> keys_;

    bool add(JSONValue v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return true;
        }
        auto& top = stack_.back();
        if (auto* array = top.arrayPtr()) array->push_back(std::move(v));
        else top.objectPtr()->insert_or_assign(std::move(keys_.back()), std::move(v));
        return true;
    }
    bool open(JSONValue container) {
        if (static_cast<int>(stack_.size()) >= JSONValue::maxDepth) return false;
        stack_.push_back(std::move(container));
        keys_.emplace_back();
        return true;
    }
    bool close() {
        JSONValue done = std::move(stack_.back());
        stack_.pop_back();
        keys_.pop_back();
        return add(std::move(done));
    }
};

// Same value, bit for bit: canonical text equal and doubles with the same
// sign of zero (canonical equality lets -0.0 equal 0.0).
inline bool identical(const JSONValue& a, const JSONValue& b) {
    if (a.kind() != b.kind()) return false;
    if (a.isDouble()) return std::signbit(*a.doubleValue()) == std::signbit(*b.doubleValue()) &&
                             (*a.doubleValue() == *b.doubleValue() || (std::isnan(*a.doubleValue()) && std::isnan(*b.doubleValue())));
    if (a.isString()) return *a.stringPtr() == *b.stringPtr();
    if (a.isArray()) {
        if (a.arrayPtr()->size() != b.arrayPtr()->size()) return false;
        for (size_t i = 0; i < a.arrayPtr()->size(); ++i)
            if (!identical((*a.arrayPtr())[i], (*b.arrayPtr())[i])) return false;
        return true;
    }
    if (a.isObject()) {
        if (a.objectPtr()->size() != b.objectPtr()->size()) return false;
        for (auto ia = a.objectPtr()->begin(), ib = b.objectPtr()->begin(); ia != a.objectPtr()->end(); ++ia, ++ib)
            if (ia->first != ib->first || !identical(ia->second, ib->second)) return false;
        return true;
    }
    return a == b;
}

} // namespace korvel::testing
