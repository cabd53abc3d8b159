#include "Core/JSONValue.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

namespace korvel {

namespace {

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The decomposed form of valid UTF-8; nothing for bytes that are not UTF-8,
// so that two different broken texts never compare equal.
std::optional<icu::UnicodeString> decomposed(std::string_view text) {
    icu::UnicodeString units;
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    const auto capacity = static_cast<int32_t>(text.size()) + 1;
    UChar* buffer = units.getBuffer(capacity);
    u_strFromUTF8WithSub(buffer, capacity, &length, text.data(), static_cast<int32_t>(text.size()), U_SENTINEL,
                         nullptr, &status);
    units.releaseBuffer(U_SUCCESS(status) ? length : 0);
    if (U_FAILURE(status)) return std::nullopt;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return std::nullopt;
    auto result = nfd->normalize(units, status);
    if (U_FAILURE(status)) return std::nullopt;
    return result;
}

// Text is equal when canonically equivalent: a precomposed letter and the
// letter followed by its combining mark are the same text to the user.
bool sameText(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isASCII(a) && isASCII(b)) return false;
    auto da = decomposed(a);
    auto db = decomposed(b);
    return da && db && *da == *db;
}

bool sameObject(const JSONValue::Object& a, const JSONValue::Object& b) {
    if (a.size() != b.size()) return false;
    bool sameKeys = std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) { return x.first == y.first; });
    if (sameKeys) {
        return std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) { return x.second == y.second; });
    }
    for (const auto& [key, value] : a) {
        auto match = std::find_if(b.begin(), b.end(), [&](const auto& entry) { return sameText(key, entry.first); });
        if (match == b.end() || !(value == match->second)) return false;
    }
    return true;
}

} // namespace

const JSONValue* JSONValue::member(std::string_view key) const {
    const auto* object = objectPtr();
    if (!object) return nullptr;
    auto it = object->find(key);
    return it == object->end() ? nullptr : &it->second;
}

std::optional<int64_t> JSONValue::intValue() const {
    if (const auto* v = std::get_if<int64_t>(&storage_)) return *v;
    return std::nullopt;
}

std::optional<std::string> JSONValue::stringValue() const {
    if (const auto* v = stringPtr()) return *v;
    return std::nullopt;
}

std::optional<bool> JSONValue::boolValue() const {
    if (const auto* v = std::get_if<bool>(&storage_)) return *v;
    return std::nullopt;
}

std::optional<double> JSONValue::doubleValue() const {
    if (const auto* v = std::get_if<double>(&storage_)) return *v;
    return std::nullopt;
}

bool JSONValue::operator==(const JSONValue& other) const {
    if (storage_.index() != other.storage_.index()) return false;
    switch (kind()) {
    case Kind::boolean: return std::get<bool>(storage_) == std::get<bool>(other.storage_);
    case Kind::integer: return std::get<int64_t>(storage_) == std::get<int64_t>(other.storage_);
    case Kind::double_: return std::get<double>(storage_) == std::get<double>(other.storage_);
    case Kind::string: return sameText(std::get<std::string>(storage_), std::get<std::string>(other.storage_));
    case Kind::array: return std::get<Array>(storage_) == std::get<Array>(other.storage_);
    case Kind::object: return sameObject(std::get<Object>(storage_), std::get<Object>(other.storage_));
    case Kind::null: return true;
    }
    return false;
}

namespace {

// A double that is integral and inside the 64-bit range reads as an integer.
JSONValue numberFromDouble(double d) {
    constexpr double two63 = 9223372036854775808.0;
    if (std::isfinite(d) && d >= -two63 && d < two63 && d == std::trunc(d)) {
        return JSONValue(static_cast<int64_t>(d));
    }
    return JSONValue(d);
}

// Builds the tree without recursion; depth is bounded so that destruction
// and encoding of what we build stay shallow.
class Builder : public nlohmann::json_sax<nlohmann::json> {
public:
    JSONValue root;
    std::string error;

    bool null() override { return add(JSONValue()); }
    bool boolean(bool v) override { return add(JSONValue(v)); }
    bool number_integer(number_integer_t v) override { return add(JSONValue(int64_t{v})); }
    bool number_unsigned(number_unsigned_t v) override {
        if (v <= static_cast<uint64_t>(INT64_MAX)) return add(JSONValue(static_cast<int64_t>(v)));
        return add(JSONValue(static_cast<double>(v)));
    }
    bool number_float(number_float_t v, const string_t&) override { return add(numberFromDouble(v)); }
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

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
        error = ex.what();
        return false;
    }

private:
    std::vector<JSONValue> stack_;
    std::vector<std::string> keys_;

    bool add(JSONValue v) {
        if (stack_.empty()) {
            root = std::move(v);
            return true;
        }
        auto& top = stack_.back();
        if (auto* array = top.arrayPtr()) {
            array->push_back(std::move(v));
        } else {
            top.objectPtr()->insert_or_assign(std::move(keys_.back()), std::move(v));
        }
        return true;
    }
    bool open(JSONValue container) {
        if (static_cast<int>(stack_.size()) >= JSONValue::maxDepth) {
            error = "too deeply nested";
            return false;
        }
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

} // namespace

JSONValue JSONValue::parsing(std::string_view data) {
    Builder builder;
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(data.begin(), data.end(), &builder);
    } catch (const std::exception& ex) {
        throw JSONParseError(ex.what());
    }
    if (!ok) throw JSONParseError(builder.error.empty() ? "invalid JSON" : builder.error);
    return std::move(builder.root);
}

namespace {
void appendString(std::string& out, std::string_view text, bool escapeSlashes) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/':
            if (escapeSlashes) out.push_back('\\');
            out.push_back('/');
            break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}
} // namespace

void appendJSONString(std::string& out, std::string_view text) { appendString(out, text, false); }

void JSONValue::appendCanonical(std::string& out) const { write(out, false); }

std::string JSONValue::plain() const {
    std::string out;
    write(out, true);
    return out;
}

void JSONValue::write(std::string& out, bool escapeSlashes) const {
    switch (kind()) {
    case Kind::boolean: out += std::get<bool>(storage_) ? "true" : "false"; break;
    case Kind::integer: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, std::get<int64_t>(storage_));
        out.append(buf, r.ptr);
        break;
    }
    case Kind::double_: {
        double d = std::get<double>(storage_);
        if (!std::isfinite(d)) throw JSONEncodingError("Unable to encode a non-finite number in JSON.");
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, d);
        out.append(buf, r.ptr);
        break;
    }
    case Kind::string: appendString(out, std::get<std::string>(storage_), escapeSlashes); break;
    case Kind::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& v : std::get<Array>(storage_)) {
            if (!first) out.push_back(',');
            first = false;
            v.write(out, escapeSlashes);
        }
        out.push_back(']');
        break;
    }
    case Kind::object: {
        out.push_back('{');
        bool first = true;
        for (const auto& [k, v] : std::get<Object>(storage_)) {
            if (!first) out.push_back(',');
            first = false;
            appendString(out, k, escapeSlashes);
            out.push_back(':');
            v.write(out, escapeSlashes);
        }
        out.push_back('}');
        break;
    }
    case Kind::null: out += "null"; break;
    }
}

std::string JSONValue::canonical() const {
    std::string out;
    appendCanonical(out);
    return out;
}

} // namespace korvel
