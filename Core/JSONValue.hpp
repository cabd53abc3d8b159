#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
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

class JSONValue;

namespace detail {
// Small blocks for the parts of JSON documents (object members, the string,
// array and object a value owns), carved from chunks of the allocating
// thread and handed back a chunk at a time: building and freeing a large
// document costs a fraction of one heap call per value. Any thread may free.
inline constexpr std::size_t smallBlockLimit = 128;
void* smallBlock(std::size_t size);
void freeSmallBlock(void* block) noexcept;

template <class T> struct SmallBlockAllocator {
    using value_type = T;
    SmallBlockAllocator() noexcept = default;
    template <class U> SmallBlockAllocator(const SmallBlockAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n == 1 && sizeof(T) <= smallBlockLimit) return static_cast<T*>(smallBlock(sizeof(T)));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1 && sizeof(T) <= smallBlockLimit) freeSmallBlock(p);
        else std::allocator<T>().deallocate(p, n);
    }
    template <class U> bool operator==(const SmallBlockAllocator<U>&) const noexcept { return true; }
};
} // namespace detail

// The one dynamic JSON value of the engine: params and results of every job.
// Sixteen bytes: a kind and a scalar, or a pointer to the string, array or
// object it owns, so a large document costs a small multiple of its text.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    // Ordered by key so that canonical output is a plain walk.
    using Object = std::map<std::string, JSONValue, std::less<>,
                            detail::SmallBlockAllocator<std::pair<const std::string, JSONValue>>>;
    struct Null {
        bool operator==(const Null&) const = default;
    };

    enum class Kind : uint8_t { boolean, integer, double_, string, array, object, null };

    // Deeper documents are refused as invalid JSON: nothing the engine reads
    // nests anywhere near this, and it keeps recursion bounded.
    static constexpr int maxDepth = 512;

    JSONValue() noexcept : kind_(Kind::null) { payload_.integer = 0; }
    JSONValue(std::nullptr_t) noexcept : JSONValue() {}
    JSONValue(bool b) noexcept : kind_(Kind::boolean) {
        payload_.integer = 0;
        payload_.boolean = b;
    }
    JSONValue(int v) noexcept : kind_(Kind::integer) { payload_.integer = v; }
    JSONValue(int64_t v) noexcept : kind_(Kind::integer) { payload_.integer = v; }
    JSONValue(uint32_t v) noexcept : kind_(Kind::integer) { payload_.integer = v; }
    JSONValue(double v) noexcept : kind_(Kind::double_) { payload_.number = v; }
    JSONValue(const char* s) : JSONValue(std::string(s)) {}
    JSONValue(std::string s) : kind_(Kind::string) { payload_.string = made<std::string>(std::move(s)); }
    JSONValue(std::string_view s) : JSONValue(std::string(s)) {}
    JSONValue(Array a) : kind_(Kind::array) { payload_.array = made<Array>(std::move(a)); }
    JSONValue(Object o) : kind_(Kind::object) { payload_.object = made<Object>(std::move(o)); }
    // A stray pointer must not silently become a bool.
    template <class T> JSONValue(T*) = delete;

    JSONValue(const JSONValue& other);
    JSONValue(JSONValue&& other) noexcept : kind_(other.kind_), payload_(other.payload_) {
        other.kind_ = Kind::null;
        other.payload_.integer = 0;
    }
    JSONValue& operator=(const JSONValue& other);
    JSONValue& operator=(JSONValue&& other) noexcept;
    ~JSONValue() { release(); }

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::null; }
    bool isBool() const { return kind_ == Kind::boolean; }
    bool isInteger() const { return kind_ == Kind::integer; }
    bool isDouble() const { return kind_ == Kind::double_; }
    bool isString() const { return kind_ == Kind::string; }
    bool isArray() const { return kind_ == Kind::array; }
    bool isObject() const { return kind_ == Kind::object; }

    // The member for a key, or null when absent or when this is not an object.
    const JSONValue* member(std::string_view key) const;

    std::optional<int64_t> intValue() const;
    std::optional<std::string> stringValue() const;
    std::optional<bool> boolValue() const;
    // The payload of a double only; integers are not converted.
    std::optional<double> doubleValue() const;

    const std::string* stringPtr() const { return kind_ == Kind::string ? payload_.string : nullptr; }
    const Array* arrayPtr() const { return kind_ == Kind::array ? payload_.array : nullptr; }
    const Object* objectPtr() const { return kind_ == Kind::object ? payload_.object : nullptr; }
    Array* arrayPtr() { return kind_ == Kind::array ? payload_.array : nullptr; }
    Object* objectPtr() { return kind_ == Kind::object ? payload_.object : nullptr; }

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
    friend struct JSONValueBuilding;
    template <class T, class... A> static T* made(A&&... from) {
        void* block = detail::smallBlock(sizeof(T));
        try {
            return new (block) T(std::forward<A>(from)...);
        } catch (...) {
            detail::freeSmallBlock(block);
            throw;
        }
    }
    void write(std::string& out, bool escapeSlashes) const;
    void release() noexcept;

    Kind kind_;
    union {
        bool boolean;
        int64_t integer;
        double number;
        std::string* string;
        Array* array;
        Object* object;
    } payload_;
};

// Writes a JSON string literal with the canonical escapes.
void appendJSONString(std::string& out, std::string_view text);

} // namespace korvel
