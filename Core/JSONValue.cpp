#include "Core/JSONValue.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    for (const auto& entry : a) {
        const std::string& key = entry.first;
        auto match = std::find_if(b.begin(), b.end(), [&key](const auto& other) { return sameText(key, other.first); });
        if (match == b.end() || !(entry.second == match->second)) return false;
    }
    return true;
}

} // namespace

namespace detail {

namespace {

// A chunk starts with its count of blocks still in use. The thread carving
// it holds a large bias on the count instead of counting each block it hands
// out, and gives back the unused part of the bias when it moves on; the
// chunk is freed by whoever brings the count to zero.
constexpr std::size_t chunkSize = 16384;
constexpr std::size_t chunkHeader = 16;
constexpr int64_t bias = chunkSize; // more than the blocks a chunk can hold

struct Chunk {
    std::atomic<int64_t> live;
};

void release(Chunk* chunk, int64_t count) noexcept {
    if (chunk->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        chunk->~Chunk();
        std::free(chunk);
    }
}

struct Carving {
    Chunk* chunk = nullptr;
    std::size_t used = chunkSize;
    int64_t handedOut = 0;

    void retire() noexcept {
        if (chunk) release(chunk, bias - handedOut);
        chunk = nullptr;
        used = chunkSize;
        handedOut = 0;
    }
    ~Carving() { retire(); }
};

thread_local Carving carving;

#if defined(__SANITIZE_ADDRESS__)
#define KORVEL_PLAIN_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEL_PLAIN_BLOCKS 1
#endif
#endif

} // namespace

void* smallBlock(std::size_t size) {
#if defined(KORVEL_PLAIN_BLOCKS)
    // The address sanitizer sees every block on its own.
    return ::operator new(size);
#else
    size = (size + 15) & ~std::size_t{15};
    Carving& c = carving;
    if (c.used + size > chunkSize) {
        void* raw = std::aligned_alloc(chunkSize, chunkSize);
        if (!raw) throw std::bad_alloc();
        c.retire();
        c.chunk = new (raw) Chunk{bias};
        c.used = chunkHeader;
    }
    void* block = reinterpret_cast<char*>(c.chunk) + c.used;
    c.used += size;
    ++c.handedOut;
    return block;
#endif
}

void freeSmallBlock(void* block) noexcept {
#if defined(KORVEL_PLAIN_BLOCKS)
    ::operator delete(block);
#else
    auto address = reinterpret_cast<std::uintptr_t>(block) & ~std::uintptr_t{chunkSize - 1};
    release(reinterpret_cast<Chunk*>(address), 1);
#endif
}

} // namespace detail

namespace {
template <class T> void destroyed(T* p) noexcept {
    p->~T();
    detail::freeSmallBlock(p);
}
} // namespace

JSONValue::JSONValue(const JSONValue& other) : kind_(other.kind_), payload_(other.payload_) {
    switch (kind_) {
    case Kind::string: payload_.string = made<std::string>(*other.payload_.string); break;
    case Kind::array: payload_.array = made<Array>(*other.payload_.array); break;
    case Kind::object: payload_.object = made<Object>(*other.payload_.object); break;
    default: break;
    }
}

JSONValue& JSONValue::operator=(const JSONValue& other) {
    if (this != &other) *this = JSONValue(other);
    return *this;
}

JSONValue& JSONValue::operator=(JSONValue&& other) noexcept {
    if (this != &other) {
        // The old payload may own `other` (assigning a member to its parent).
        JSONValue old(std::move(*this));
        kind_ = other.kind_;
        payload_ = other.payload_;
        other.kind_ = Kind::null;
        other.payload_.integer = 0;
    }
    return *this;
}

void JSONValue::release() noexcept {
    switch (kind_) {
    case Kind::string: destroyed(payload_.string); break;
    case Kind::array: destroyed(payload_.array); break;
    case Kind::object: destroyed(payload_.object); break;
    default: break;
    }
    kind_ = Kind::null;
}

const JSONValue* JSONValue::member(std::string_view key) const {
    const auto* object = objectPtr();
    if (!object) return nullptr;
    auto it = object->find(key);
    return it == object->end() ? nullptr : &it->second;
}

std::optional<int64_t> JSONValue::intValue() const {
    if (kind_ == Kind::integer) return payload_.integer;
    return std::nullopt;
}

std::optional<std::string> JSONValue::stringValue() const {
    if (const auto* v = stringPtr()) return *v;
    return std::nullopt;
}

std::optional<bool> JSONValue::boolValue() const {
    if (kind_ == Kind::boolean) return payload_.boolean;
    return std::nullopt;
}

std::optional<double> JSONValue::doubleValue() const {
    if (kind_ == Kind::double_) return payload_.number;
    return std::nullopt;
}

bool JSONValue::operator==(const JSONValue& other) const {
    if (kind_ != other.kind_) return false;
    switch (kind_) {
    case Kind::boolean: return payload_.boolean == other.payload_.boolean;
    case Kind::integer: return payload_.integer == other.payload_.integer;
    case Kind::double_: return payload_.number == other.payload_.number;
    case Kind::string: return sameText(*payload_.string, *other.payload_.string);
    case Kind::array: return *payload_.array == *other.payload_.array;
    case Kind::object: return sameObject(*payload_.object, *other.payload_.object);
    case Kind::null: return true;
    }
    return false;
}

// The reader fills values in place: a value it is handed is always null.
struct JSONValueBuilding {
    static JSONValue::Object& object(JSONValue& v) {
        v.payload_.object = JSONValue::made<JSONValue::Object>();
        v.kind_ = JSONValue::Kind::object;
        return *v.payload_.object;
    }
    static JSONValue::Array& array(JSONValue& v) {
        v.payload_.array = JSONValue::made<JSONValue::Array>();
        v.kind_ = JSONValue::Kind::array;
        return *v.payload_.array;
    }
    static void string(JSONValue& v, std::string_view text) {
        v.payload_.string = JSONValue::made<std::string>(text);
        v.kind_ = JSONValue::Kind::string;
    }
};

namespace {

// A double that is integral and inside the 64-bit range reads as an integer.
JSONValue numberFromDouble(double d) {
    constexpr double two63 = 9223372036854775808.0;
    if (std::isfinite(d) && d >= -two63 && d < two63 && d == std::trunc(d)) {
        return JSONValue(static_cast<int64_t>(d));
    }
    return JSONValue(d);
}

// One JSON text read in two passes over the bytes. The first checks the
// whole grammar (strict RFC 8259: well-formed UTF-8, no control characters
// in strings, paired surrogate escapes, an optional byte-order mark, the
// depth limit) and counts the elements of every array, in the order they
// open. The second builds the value with every array allocated at its final
// size, so a document costs its values and nothing more.
class Reader {
public:
    explicit Reader(std::string_view text) : begin_(text.data()), end_(text.data() + text.size()) {}

    JSONValue read() {
        check();
        p_ = start_;
        nextArray_ = 0;
        JSONValue root;
        build(root);
        return root;
    }

private:
    const char* const begin_;
    const char* const end_;
    const char* start_ = nullptr;
    const char* p_ = nullptr;
    std::vector<uint32_t> counts_;
    size_t nextArray_ = 0;

    [[noreturn]] void fail(const char* what) const {
        throw JSONParseError(std::string(what) + " at byte " + std::to_string(p_ - begin_));
    }

    static bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
    void skipSpace() {
        while (p_ < end_ && isSpace(*p_)) ++p_;
    }

    // Bytes up to the next quote, backslash, control character or non-ASCII byte.
    static const char* plainRun(const char* p, const char* end) {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), space = _mm_set1_epi8(0x20);
        while (end - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // Signed: bytes from 0x80 up are negative, so below 0x20 as well.
            __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                           _mm_cmplt_epi8(v, space));
            int mask = _mm_movemask_epi8(special);
            if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
            p += 16;
        }
#endif
        while (p < end) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
            ++p;
        }
        return p;
    }

    // --- First pass ---------------------------------------------------------

    void check() {
        p_ = begin_;
        if (p_ < end_ && static_cast<unsigned char>(*p_) == 0xEF) {
            if (end_ - p_ < 3 || static_cast<unsigned char>(p_[1]) != 0xBB || static_cast<unsigned char>(p_[2]) != 0xBF) {
                fail("invalid byte-order mark");
            }
            p_ += 3;
        }
        skipSpace();
        start_ = p_;
        checkValue(0);
        skipSpace();
        if (p_ != end_) fail("unexpected text after the value");
    }

    void checkValue(int depth) {
        if (p_ >= end_) fail("unexpected end of input");
        switch (*p_) {
        case '{': checkObject(depth); return;
        case '[': checkArray(depth); return;
        case '"': checkString(); return;
        case 't': checkWord("true"); return;
        case 'f': checkWord("false"); return;
        case 'n': checkWord("null"); return;
        default: checkNumber(); return;
        }
    }

    void checkWord(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0) {
            fail("invalid literal");
        }
        p_ += word.size();
    }

    void checkObject(int depth) {
        if (depth >= JSONValue::maxDepth) fail("too deeply nested");
        ++p_;
        skipSpace();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
            return;
        }
        for (;;) {
            if (p_ >= end_ || *p_ != '"') fail("expected a string key");
            checkString();
            skipSpace();
            if (p_ >= end_ || *p_ != ':') fail("expected ':'");
            ++p_;
            skipSpace();
            checkValue(depth + 1);
            skipSpace();
            if (p_ >= end_) fail("unexpected end of input");
            if (*p_ == '}') {
                ++p_;
                return;
            }
            if (*p_ != ',') fail("expected ',' or '}'");
            ++p_;
            skipSpace();
        }
    }

    void checkArray(int depth) {
        if (depth >= JSONValue::maxDepth) fail("too deeply nested");
        const size_t slot = counts_.size();
        counts_.push_back(0);
        ++p_;
        skipSpace();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
            return;
        }
        uint32_t count = 0;
        for (;;) {
            checkValue(depth + 1);
            if (count < UINT32_MAX) ++count;
            skipSpace();
            if (p_ >= end_) fail("unexpected end of input");
            if (*p_ == ']') {
                ++p_;
                break;
            }
            if (*p_ != ',') fail("expected ',' or ']'");
            ++p_;
            skipSpace();
        }
        counts_[slot] = count;
    }

    static int hexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Four hex digits after "\u", or -1.
    static int32_t unit(const char* p, const char* end) {
        if (end - p < 4) return -1;
        int32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            int d = hexDigit(p[i]);
            if (d < 0) return -1;
            value = value * 16 + d;
        }
        return value;
    }

    void checkString() {
        ++p_;
        for (;;) {
            p_ = plainRun(p_, end_);
            if (p_ >= end_) fail("unterminated string");
            auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return;
            }
            if (c == '\\') {
                checkEscape();
            } else if (c < 0x20) {
                fail("control character in a string");
            } else {
                checkUTF8();
            }
        }
    }

    void checkEscape() {
        if (end_ - p_ < 2) fail("unterminated string");
        switch (p_[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': p_ += 2; return;
        case 'u': break;
        default: fail("invalid escape");
        }
        int32_t first = unit(p_ + 2, end_);
        if (first < 0) fail("invalid \\u escape");
        p_ += 6;
        if (first >= 0xDC00 && first <= 0xDFFF) fail("unpaired surrogate");
        if (first >= 0xD800 && first <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') fail("unpaired surrogate");
            int32_t second = unit(p_ + 2, end_);
            if (second < 0xDC00 || second > 0xDFFF) fail("unpaired surrogate");
            p_ += 6;
        }
    }

    // One well-formed UTF-8 sequence of two to four bytes.
    void checkUTF8() {
        auto at = [&](ptrdiff_t i) { return p_ + i < end_ ? static_cast<unsigned char>(p_[i]) : 0u; };
        auto in = [](unsigned c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
        unsigned c = at(0);
        int length;
        bool ok;
        if (in(c, 0xC2, 0xDF)) {
            length = 2;
            ok = in(at(1), 0x80, 0xBF);
        } else if (c == 0xE0) {
            length = 3;
            ok = in(at(1), 0xA0, 0xBF) && in(at(2), 0x80, 0xBF);
        } else if (in(c, 0xE1, 0xEC) || in(c, 0xEE, 0xEF)) {
            length = 3;
            ok = in(at(1), 0x80, 0xBF) && in(at(2), 0x80, 0xBF);
        } else if (c == 0xED) {
            length = 3;
            ok = in(at(1), 0x80, 0x9F) && in(at(2), 0x80, 0xBF);
        } else if (c == 0xF0) {
            length = 4;
            ok = in(at(1), 0x90, 0xBF) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF);
        } else if (in(c, 0xF1, 0xF3)) {
            length = 4;
            ok = in(at(1), 0x80, 0xBF) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF);
        } else if (c == 0xF4) {
            length = 4;
            ok = in(at(1), 0x80, 0x8F) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF);
        } else {
            length = 1;
            ok = false;
        }
        if (!ok) fail("ill-formed UTF-8");
        p_ += length;
    }

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    void checkNumber() {
        if (*p_ == '-') ++p_;
        if (p_ >= end_ || !isDigit(*p_)) fail("invalid number");
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ < end_ && isDigit(*p_)) ++p_;
        }
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            if (p_ >= end_ || !isDigit(*p_)) fail("invalid number");
            while (p_ < end_ && isDigit(*p_)) ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ >= end_ || !isDigit(*p_)) fail("invalid number");
            while (p_ < end_ && isDigit(*p_)) ++p_;
        }
    }

    // --- Second pass: the text is known to be valid --------------------------

    void build(JSONValue& out) {
        switch (*p_) {
        case '{': buildObject(out); return;
        case '[': buildArray(out); return;
        case '"': {
            std::string_view plain;
            if (plainString(plain)) JSONValueBuilding::string(out, plain);
            else out = JSONValue(escapedString());
            return;
        }
        case 't': p_ += 4; out = JSONValue(true); return;
        case 'f': p_ += 5; out = JSONValue(false); return;
        case 'n': p_ += 4; out = JSONValue(); return;
        default: out = buildNumber(); return;
        }
    }

    void buildObject(JSONValue& out) {
        JSONValue::Object& object = JSONValueBuilding::object(out);
        ++p_;
        skipSpace();
        if (*p_ == '}') {
            ++p_;
            return;
        }
        for (;;) {
            std::string_view plain;
            std::string escaped;
            if (!plainString(plain)) {
                escaped = escapedString();
                plain = escaped;
            }
            skipSpace();
            ++p_; // ':'
            skipSpace();
            // Keys usually come sorted (our own writer sorts them), so the
            // end is the likely place; of equal keys the last one wins.
            const size_t before = object.size();
            JSONValue& slot = object.emplace_hint(object.end(), std::piecewise_construct, std::forward_as_tuple(plain),
                                                  std::forward_as_tuple())->second;
            if (object.size() == before) slot = JSONValue();
            build(slot);
            skipSpace();
            if (*p_++ == '}') return;
            skipSpace();
        }
    }

    void buildArray(JSONValue& out) {
        JSONValue::Array& array = JSONValueBuilding::array(out);
        array.reserve(counts_[nextArray_++]);
        ++p_;
        skipSpace();
        if (*p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            build(array.emplace_back());
            skipSpace();
            if (*p_++ == ']') return;
            skipSpace();
        }
    }

    static void appendUTF8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // Most strings hold no escape: their bytes are used as they stand. True
    // with the bytes and the string read; false at the string's start when
    // it holds an escape.
    bool plainString(std::string_view& plain) {
        const char* run = p_ + 1;
        const char* at = run;
        for (;;) {
            at = plainRun(at, end_);
            auto c = static_cast<unsigned char>(*at);
            if (c == '"') {
                plain = std::string_view(run, static_cast<size_t>(at - run));
                p_ = at + 1;
                return true;
            }
            if (c == '\\') return false;
            ++at; // a UTF-8 byte, already checked
        }
    }

    std::string escapedString() {
        ++p_;
        std::string text;
        for (;;) {
            const char* plain = p_;
            p_ = plainRun(p_, end_);
            while (static_cast<unsigned char>(*p_) >= 0x80) p_ = plainRun(p_ + 1, end_);
            text.append(plain, p_);
            if (*p_ == '"') {
                ++p_;
                return text;
            }
            // A backslash.
            char e = p_[1];
            p_ += 2;
            switch (e) {
            case 'b': text.push_back('\b'); break;
            case 'f': text.push_back('\f'); break;
            case 'n': text.push_back('\n'); break;
            case 'r': text.push_back('\r'); break;
            case 't': text.push_back('\t'); break;
            case 'u': {
                auto cp = static_cast<uint32_t>(unit(p_, end_));
                p_ += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    auto low = static_cast<uint32_t>(unit(p_ + 2, end_));
                    p_ += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUTF8(text, cp);
                break;
            }
            default: text.push_back(e); break; // '"', '\\', '/'
            }
        }
    }

    JSONValue buildNumber() {
        const char* first = p_;
        bool negative = *p_ == '-';
        if (negative) ++p_;
        const char* digits = p_;
        while (p_ < end_ && isDigit(*p_)) ++p_;
        const bool integral = !(p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E'));
        if (integral) {
            const auto count = p_ - digits;
            if (count <= 18) {
                int64_t value = 0;
                for (const char* d = digits; d < p_; ++d) value = value * 10 + (*d - '0');
                return JSONValue(negative ? -value : value);
            }
            uint64_t value = 0;
            auto [end, error] = std::from_chars(digits, p_, value);
            if (error == std::errc() && end == p_) {
                constexpr uint64_t limit = static_cast<uint64_t>(INT64_MAX);
                if (!negative && value <= limit) return JSONValue(static_cast<int64_t>(value));
                if (negative && value <= limit + 1) return JSONValue(static_cast<int64_t>(0 - value));
                // Beyond the signed range: a positive one is kept as the double
                // nearest to it; a negative one is read as floating point text.
                if (!negative) return JSONValue(static_cast<double>(value));
            }
            return numberFromDouble(floating(first, p_));
        }
        while (p_ < end_ && (isDigit(*p_) || *p_ == '.' || *p_ == 'e' || *p_ == 'E' || *p_ == '+' || *p_ == '-')) ++p_;
        return numberFromDouble(floating(first, p_));
    }

    // The nearest double (zero or a subnormal below the range); a number
    // beyond the range is refused, as no JSON value can hold it.
    double floating(const char* first, const char* last) const {
        double value = 0;
        auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last) {
            std::string text(first, last);
            value = std::strtod(text.c_str(), nullptr);
        }
        if (!std::isfinite(value)) fail("number overflow");
        return value;
    }
};

} // namespace

JSONValue JSONValue::parsing(std::string_view data) { return Reader(data).read(); }

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
    case Kind::boolean: out += payload_.boolean ? "true" : "false"; break;
    case Kind::integer: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, payload_.integer);
        out.append(buf, r.ptr);
        break;
    }
    case Kind::double_: {
        double d = payload_.number;
        if (!std::isfinite(d)) throw JSONEncodingError("Unable to encode a non-finite number in JSON.");
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, d);
        out.append(buf, r.ptr);
        break;
    }
    case Kind::string: appendString(out, *payload_.string, escapeSlashes); break;
    case Kind::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& v : *payload_.array) {
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
        for (const auto& [k, v] : *payload_.object) {
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
