#include "Core/Wire/Contract.hpp"

#include <charconv>
#include <cmath>

namespace korvel {

namespace {

std::string joined(const std::vector<std::string>& path) {
    std::string text;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i) text.push_back('.');
        text += path[i];
    }
    return text;
}

std::string_view found(const JSONValue& value) {
    switch (value.kind()) {
    case JSONValue::Kind::boolean: return "a boolean";
    case JSONValue::Kind::integer:
    case JSONValue::Kind::double_: return "a number";
    case JSONValue::Kind::string: return "a string";
    case JSONValue::Kind::array: return "an array";
    case JSONValue::Kind::object: return "an object";
    case JSONValue::Kind::null: return "null";
    }
    return "a value";
}

} // namespace

std::string numberText(double value) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string positionKey(std::size_t index) { return "Index " + std::to_string(index); }

EngineFailure outOfRange(std::vector<std::string> codingPath, const std::string& found) {
    DecodingError error(DecodingError::Kind::dataCorrupted, std::move(codingPath), {},
                        "Expected a value that keeps the plan's times within 64 bits but found " + found + ".");
    return EngineFailure::invalidParams(std::string(contractFailurePrefix) + error.contractReason());
}

DecodingError::DecodingError(Kind kind, std::vector<std::string> codingPath, std::string key,
                             std::string debugDescription)
    : kind(kind), codingPath(std::move(codingPath)), key(std::move(key)),
      debugDescription(std::move(debugDescription)) {
    // The point stands even at the root: a missing top-level "path" is "missing .path".
    if (kind == Kind::keyNotFound) {
        reason_ = "missing " + joined(this->codingPath) + "." + this->key;
    } else {
        reason_ = joined(this->codingPath) + ": " + this->debugDescription;
    }
}

const JSONValue::Object& JSONReader::object() const {
    if (const auto* object = value_->objectPtr()) return *object;
    typeMismatch("an object");
}

const JSONValue::Array& JSONReader::array() const {
    if (const auto* array = value_->arrayPtr()) return *array;
    typeMismatch("an array");
}

std::vector<std::string> JSONReader::codingPath() const {
    std::vector<std::string> path;
    for (const JSONReader* at = this; at->parent_; at = at->parent_) {
        path.push_back(at->isIndex_ ? positionKey(at->index_) : std::string(at->key_));
    }
    return {path.rbegin(), path.rend()};
}

bool JSONReader::namesPath() const {
    const JSONReader* at = this;
    while (at->parent_ && at->isIndex_) at = at->parent_;
    if (!at->parent_) return false;
    std::string_view key = at->key_;
    if (key == "path" || key == "dir" || key == "folder") return true;
    for (std::string_view end : {"Path", "Paths", "Dir", "Folder"}) {
        if (key.ends_with(end)) return true;
    }
    return false;
}

std::string JSONReader::expectedButFound(std::string_view expected) const {
    return "Expected " + std::string(expected) + " but found " + std::string(found(*value_)) + " instead.";
}

void JSONReader::fail(DecodingError::Kind kind, std::string description) const {
    throw DecodingError(kind, codingPath(), {}, std::move(description));
}

void JSONReader::typeMismatch(std::string_view expected) const {
    fail(DecodingError::Kind::typeMismatch, expectedButFound(expected));
}

void JSONReader::corrupted(std::string description) const {
    fail(DecodingError::Kind::dataCorrupted, std::move(description));
}

void JSONReader::corrupted(std::string_view key, std::string description) const {
    auto path = codingPath();
    path.emplace_back(key);
    throw DecodingError(DecodingError::Kind::dataCorrupted, std::move(path), {}, std::move(description));
}

void JSONReader::missing(std::string_view key) const {
    throw DecodingError(DecodingError::Kind::keyNotFound, codingPath(), std::string(key),
                        "No value for the key \"" + std::string(key) + "\".");
}

void JSONReader::requireAtLeastOne(std::string_view key, int64_t value) const {
    if (value < 1) corrupted(key, "Expected an integer of at least 1 but found " + std::to_string(value) + ".");
}

void JSONReader::requirePositiveFinite(std::string_view key, double value) const {
    if (!(value > 0) || !std::isfinite(value)) {
        corrupted(key, "Expected a positive finite number but found " + numberText(value) + ".");
    }
}

int64_t Coding<int64_t>::decode(const JSONReader& in) {
    const JSONValue& value = in.value();
    if (auto integer = value.intValue()) return *integer;
    if (auto number = value.doubleValue()) {
        // Parsed text never holds 2.0 as a double, but a value built in code
        // may; written out and read back it would be the integer 2.
        constexpr double two63 = 9223372036854775808.0;
        if (*number >= -two63 && *number < two63 && *number == std::trunc(*number)) {
            return static_cast<int64_t>(*number);
        }
        in.corrupted("The number " + numberText(*number) + " is not a 64-bit integer.");
    }
    in.typeMismatch(expected);
}

double Coding<double>::decode(const JSONReader& in) {
    const JSONValue& value = in.value();
    if (auto number = value.doubleValue()) return *number;
    if (auto integer = value.intValue()) return static_cast<double>(*integer);
    in.typeMismatch(expected);
}

JSONValue Coding<double>::encode(double value) {
    if (!std::isfinite(value)) throw JSONEncodingError("Unable to encode the number " + numberText(value) + " in JSON.");
    constexpr double two63 = 9223372036854775808.0;
    if (value >= -two63 && value < two63 && value == std::trunc(value)) return JSONValue(static_cast<int64_t>(value));
    return JSONValue(value);
}

bool Coding<bool>::decode(const JSONReader& in) {
    if (auto flag = in.value().boolValue()) return *flag;
    in.typeMismatch(expected);
}

std::string Coding<std::string>::decode(const JSONReader& in) {
    if (const auto* text = in.value().stringPtr()) {
        // Every system call stops at a NUL, so such a path names another file.
        if (text->find('\0') != std::string::npos && in.namesPath()) {
            in.corrupted("A file path can't hold the character U+0000.");
        }
        return *text;
    }
    in.typeMismatch(expected);
}

} // namespace korvel
