#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvel {

// Bytes that are not JSON. The message is the parser's own.
struct JSONParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A value that JSON cannot hold (a non-finite double).
struct JSONEncodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The one dynamic JSON value of the engine: params and results of every job.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    // Ordered by key so that canonical output is a plain walk.
    using Object = std::map<std::string, JSONValue, std::less<>>;
    struct Null {
        bool operator==(const Null&) const = default;
    };

    enum class Kind { boolean, integer, double_, string, array, object, null };

    // Deeper documents are refused as invalid JSON: nothing the engine reads
    // nests anywhere near this, and it keeps recursion bounded.
    static constexpr int maxDepth = 512;

    JSONValue() : storage_(Null{}) {}
    JSONValue(std::nullptr_t) : storage_(Null{}) {}
    JSONValue(bool b) : storage_(b) {}
    JSONValue(int v) : storage_(int64_t{v}) {}
    JSONValue(int64_t v) : storage_(v) {}
    JSONValue(uint32_t v) : storage_(int64_t{v}) {}
    JSONValue(double v) : storage_(v) {}
    JSONValue(const char* s) : storage_(std::string(s)) {}
    JSONValue(std::string s) : storage_(std::move(s)) {}
    JSONValue(std::string_view s) : storage_(std::string(s)) {}
    JSONValue(Array a) : storage_(std::move(a)) {}
    JSONValue(Object o) : storage_(std::move(o)) {}
    // A stray pointer must not silently become a bool.
    template <class T> JSONValue(T*) = delete;

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isNull() const { return kind() == Kind::null; }
    bool isBool() const { return kind() == Kind::boolean; }
    bool isInteger() const { return kind() == Kind::integer; }
    bool isDouble() const { return kind() == Kind::double_; }
    bool isString() const { return kind() == Kind::string; }
    bool isArray() const { return kind() == Kind::array; }
    bool isObject() const { return kind() == Kind::object; }

    // The member for a key, or null when absent or when this is not an object.
    const JSONValue* member(std::string_view key) const;

    std::optional<int64_t> intValue() const;
    std::optional<std::string> stringValue() const;
    std::optional<bool> boolValue() const;
    // The payload of a double only; integers are not converted.
    std::optional<double> doubleValue() const;

    const std::string* stringPtr() const { return std::get_if<std::string>(&storage_); }
    const Array* arrayPtr() const { return std::get_if<Array>(&storage_); }
    const Object* objectPtr() const { return std::get_if<Object>(&storage_); }
    Array* arrayPtr() { return std::get_if<Array>(&storage_); }
    Object* objectPtr() { return std::get_if<Object>(&storage_); }

    // Parses one JSON text (a bare scalar at top level is accepted).
    static JSONValue parsing(std::string_view data);

    // Compact JSON with sorted keys and unescaped slashes; throws
    // JSONEncodingError for a non-finite double.
    std::string canonical() const;
    void appendCanonical(std::string& out) const;
    // Compact JSON as a default encoder writes it: slashes escaped as "\/".
    std::string plain() const;

    bool operator==(const JSONValue& other) const;

private:
    void write(std::string& out, bool escapeSlashes) const;
    std::variant<bool, int64_t, double, std::string, Array, Object, Null> storage_;
};

// Writes a JSON string literal with the canonical escapes.
void appendJSONString(std::string& out, std::string_view text);

} // namespace korvel
