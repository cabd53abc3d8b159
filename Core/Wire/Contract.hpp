#pragma once

// The bridge between JSONValue and the typed params, results and plan records.
//
// Each record offers
//     static X decode(const JSONReader& in);   // fields in contract order
//     void encode(JSONWriter& out) const;
// and the reader and writer apply the presence rules from the field's type:
// T is required, std::optional<T> optional, Nullable<T> present-but-nullable.
// Reading is all or nothing; the first failure ends it with a DecodingError
// that knows its key path, and decoded<T>() words it for the client.

#include "Core/ClientText.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/Nullable.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Why a value does not read as the wanted type, and where.
struct DecodingError : std::exception {
    enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };

    Kind kind;
    // Keys from the root down to the failing value; for keyNotFound, down to
    // the object that lacks the key.
    std::vector<std::string> codingPath;
    // The missing key (keyNotFound only).
    std::string key;
    std::string debugDescription;

    DecodingError(Kind kind, std::vector<std::string> codingPath, std::string key, std::string debugDescription);

    // The reason that follows "Params do not match the contract: ".
    const std::string& contractReason() const { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string reason_;
};

inline constexpr std::string_view contractFailurePrefix = "Params do not match the contract: ";

// The key of an array position in a coding path: "Index 3".
std::string positionKey(std::size_t index);
// A number as the reasons quote it: the shortest text that reads back the same.
std::string numberText(double value);

// A value that reads but takes the engine's arithmetic out of range, refused
// like a reading failure at its path (-32602, the contract's wording).
EngineFailure outOfRange(std::vector<std::string> codingPath, const std::string& found);

// One table of raw strings per enum, in case order, used both ways.
// Specialise next to the enum:
//     template <> struct EnumNames<VideoFormat> {
//         static constexpr std::string_view typeName = "VideoFormat";
//         static constexpr std::array<std::string_view, 3> names{"vertical", "square", "horizontal"};
//     };
template <class E> struct EnumNames;

template <class E>
concept RawEnum = std::is_enum_v<E> && requires {
    EnumNames<E>::typeName;
    EnumNames<E>::names;
};

template <RawEnum E> constexpr std::string_view rawValue(E value) {
    return EnumNames<E>::names[static_cast<std::size_t>(value)];
}

// The case whose raw string is exactly `text`, or nothing.
template <RawEnum E> constexpr std::optional<E> fromRawValue(std::string_view text) {
    const auto& names = EnumNames<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

class JSONReader;
class JSONWriter;

// How one type reads from and writes to JSON. Records get it through their
// decode/encode members; other types (a subsystem's own scalars) may
// specialise it.
template <class T> struct Coding;

template <class T>
concept ContractRecord = requires(const JSONReader& in) {
    { T::decode(in) } -> std::same_as<T>;
} || requires(const T& value, JSONWriter& out) { value.encode(out); };

// A value at a known place of the document being read.
class JSONReader {
public:
    explicit JSONReader(const JSONValue& root) : value_(&root) {}

    const JSONValue& value() const { return *value_; }

    // Required field: present and not null.
    template <class T> void read(std::string_view key, T& field) const {
        const JSONValue* member = value_->member(key);
        if (!member) missing(key);
        field = JSONReader(*member, this, key).decodePresent<T>();
    }

    // Optional field: absent and null both leave it unset.
    template <class T> void read(std::string_view key, std::optional<T>& field) const {
        const JSONValue* member = value_->member(key);
        if (!member || member->isNull()) {
            field.reset();
            return;
        }
        field = Coding<T>::decode(JSONReader(*member, this, key));
    }

    // Nullable field: the key must be there, null leaves it unset.
    template <class T> void read(std::string_view key, Nullable<T>& field) const {
        const JSONValue* member = value_->member(key);
        if (!member) missing(key);
        if (member->isNull()) {
            field = std::nullopt;
            return;
        }
        field = Coding<T>::decode(JSONReader(*member, this, key));
    }

    // This value as T; null is refused unless T carries null itself.
    template <class T> T decodePresent() const {
        if constexpr (!requires { Coding<T>::acceptsNull; }) {
            if (value_->isNull()) fail(DecodingError::Kind::valueNotFound, expectedButFound(Coding<T>::expected));
        }
        return Coding<T>::decode(*this);
    }

    // Containers of this value; anything else is a type mismatch here.
    const JSONValue::Object& object() const;
    const JSONValue::Array& array() const;

    JSONReader member(const std::string& key, const JSONValue& value) const { return {value, this, key}; }
    JSONReader element(std::size_t index, const JSONValue& value) const { return {value, this, index}; }

    // Failures at this value, or at one of its keys.
    [[noreturn]] void fail(DecodingError::Kind kind, std::string description) const;
    [[noreturn]] void typeMismatch(std::string_view expected) const;
    [[noreturn]] void corrupted(std::string description) const;
    [[noreturn]] void corrupted(std::string_view key, std::string description) const;
    [[noreturn]] void missing(std::string_view key) const;

    // Checks of values the rest of the engine divides by or loops over.
    void requireAtLeastOne(std::string_view key, int64_t value) const;
    void requirePositiveFinite(std::string_view key, double value) const;

    std::vector<std::string> codingPath() const;
    // Whether this value (or the list it is an element of) is a file path
    // field: "path", or a key ending in "Path", "Paths", "Dir" or "Folder".
    bool namesPath() const;
    std::string expectedButFound(std::string_view expected) const;

private:
    JSONReader(const JSONValue& value, const JSONReader* parent, std::string_view key)
        : value_(&value), parent_(parent), key_(key) {}
    JSONReader(const JSONValue& value, const JSONReader* parent, std::size_t index)
        : value_(&value), parent_(parent), index_(index), isIndex_(true) {}

    const JSONValue* value_;
    const JSONReader* parent_ = nullptr;
    std::string_view key_;
    std::size_t index_ = 0;
    bool isIndex_ = false;
};

// Collects the fields of one record into a JSON object.
class JSONWriter {
public:
    explicit JSONWriter(JSONValue::Object& object) : object_(&object) {}

    // Required field: always written.
    template <class T> void write(std::string_view key, const T& value) { put(key, Coding<T>::encode(value)); }

    // Optional field: left out when unset.
    template <class T> void write(std::string_view key, const std::optional<T>& value) {
        if (value) put(key, Coding<T>::encode(*value));
    }

    // Nullable field: null when unset.
    template <class T> void write(std::string_view key, const Nullable<T>& value) {
        put(key, value ? Coding<T>::encode(*value) : JSONValue());
    }

    // The few optional fields that are written as null when unset.
    template <class T> void writeOrNull(std::string_view key, const std::optional<T>& value) {
        put(key, value ? Coding<T>::encode(*value) : JSONValue());
    }

    void put(std::string_view key, JSONValue value) { object_->insert_or_assign(std::string(key), std::move(value)); }

private:
    JSONValue::Object* object_;
};

template <class T>
    requires ContractRecord<T>
struct Coding<T> {
    static constexpr std::string_view expected = "an object";
    static T decode(const JSONReader& in) {
        in.object();
        return T::decode(in);
    }
    static JSONValue encode(const T& value) {
        JSONValue::Object object;
        JSONWriter out(object);
        value.encode(out);
        return JSONValue(std::move(object));
    }
};

template <> struct Coding<int64_t> {
    static constexpr std::string_view expected = "an integer";
    static int64_t decode(const JSONReader& in);
    static JSONValue encode(int64_t value) { return JSONValue(value); }
};

// Integers read as doubles; a double that is integral and inside the 64-bit
// range is written as an integer, as a round trip through JSON text would give.
template <> struct Coding<double> {
    static constexpr std::string_view expected = "a number";
    static double decode(const JSONReader& in);
    static JSONValue encode(double value);
};

template <> struct Coding<bool> {
    static constexpr std::string_view expected = "a boolean";
    static bool decode(const JSONReader& in);
    static JSONValue encode(bool value) { return JSONValue(value); }
};

template <> struct Coding<std::string> {
    static constexpr std::string_view expected = "a string";
    static std::string decode(const JSONReader& in);
    static JSONValue encode(const std::string& value) { return JSONValue(value); }
};

// Raw JSON carried through unread; a required one may hold null.
template <> struct Coding<JSONValue> {
    static constexpr std::string_view expected = "a value";
    static constexpr bool acceptsNull = true;
    static JSONValue decode(const JSONReader& in) { return in.value(); }
    static JSONValue encode(const JSONValue& value) { return value; }
};

template <RawEnum E> struct Coding<E> {
    static constexpr std::string_view expected = "a string";
    static E decode(const JSONReader& in) {
        const std::string* text = in.value().stringPtr();
        if (!text) in.typeMismatch(expected);
        if (auto value = fromRawValue<E>(*text)) return *value;
        in.corrupted("Unknown " + std::string(EnumNames<E>::typeName) + " value \"" + ClientText::quoted(*text) + "\".");
    }
    static JSONValue encode(E value) { return JSONValue(rawValue(value)); }
};

template <class T> struct Coding<std::vector<T>> {
    static constexpr std::string_view expected = "an array";
    static std::vector<T> decode(const JSONReader& in) {
        const auto& array = in.array();
        std::vector<T> values;
        values.reserve(array.size());
        for (std::size_t i = 0; i < array.size(); ++i) {
            values.push_back(in.element(i, array[i]).template decodePresent<T>());
        }
        return values;
    }
    static JSONValue encode(const std::vector<T>& values) {
        JSONValue::Array array;
        array.reserve(values.size());
        for (const auto& v : values) array.push_back(Coding<T>::encode(v));
        return JSONValue(std::move(array));
    }
};

template <class T> struct Coding<std::map<std::string, T>> {
    static constexpr std::string_view expected = "an object";
    static std::map<std::string, T> decode(const JSONReader& in) {
        std::map<std::string, T> values;
        for (const auto& [key, value] : in.object()) {
            values.emplace_hint(values.end(), key, in.member(key, value).template decodePresent<T>());
        }
        return values;
    }
    static JSONValue encode(const std::map<std::string, T>& values) {
        JSONValue::Object object;
        for (const auto& [key, value] : values) object.emplace_hint(object.end(), key, Coding<T>::encode(value));
        return JSONValue(std::move(object));
    }
};

// The typed record held by `value`; a mismatch fails with -32602
// "Params do not match the contract: " and the reason.
template <class T> T decoded(const JSONValue& value) {
    try {
        return JSONReader(value).decodePresent<T>();
    } catch (const DecodingError& error) {
        throw EngineFailure::invalidParams(std::string(contractFailurePrefix) + error.contractReason());
    }
}

// The JSON form of a record; a non-finite number fails with JSONEncodingError.
template <class T> JSONValue encoding(const T& value) { return Coding<T>::encode(value); }

} // namespace korvel
