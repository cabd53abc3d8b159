#include "Core/Speech/Characters.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>

namespace korvel::Characters {

namespace {
icu::UnicodeString unicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

// Break iterators and transliterators keep state while they work: one per thread.
icu::BreakIterator& graphemeBreaks() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) throw std::runtime_error("ICU has no character break rules");
        return made;
    }();
    return *iterator;
}

icu::Transliterator& diacriticRemover() {
    thread_local std::unique_ptr<icu::Transliterator> remover = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Transliterator> made(icu::Transliterator::createInstance(
            "NFD; [:Nonspacing Mark:] Remove; NFC", UTRANS_FORWARD, status));
        if (U_FAILURE(status) || !made) throw std::runtime_error("ICU cannot remove diacritics");
        return made;
    }();
    return *remover;
}

UChar32 firstCodePoint(std::string_view character) {
    if (character.empty()) return U_SENTINEL;
    int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(character.data()), offset, static_cast<int32_t>(character.size()), c);
    return c;
}

template <class Visit>
void eachCharacter(std::string_view text, Visit visit) {
    if (text.empty()) return;
    const icu::UnicodeString u = unicode(text);
    icu::BreakIterator& breaks = graphemeBreaks();
    breaks.setText(u);
    int32_t start = breaks.first();
    for (int32_t end = breaks.next(); end != icu::BreakIterator::DONE; start = end, end = breaks.next())
        visit(u, start, end);
}
} // namespace

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> characters;
    eachCharacter(text, [&](const icu::UnicodeString& u, int32_t start, int32_t end) {
        characters.push_back(utf8(u.tempSubStringBetween(start, end)));
    });
    return characters;
}

size_t count(std::string_view text) {
    size_t n = 0;
    eachCharacter(text, [&](const icu::UnicodeString&, int32_t, int32_t) { ++n; });
    return n;
}

bool isLetter(std::string_view character) {
    const UChar32 c = firstCodePoint(character);
    return c >= 0 && u_hasBinaryProperty(c, UCHAR_ALPHABETIC);
}

bool isNumber(std::string_view character) {
    const UChar32 c = firstCodePoint(character);
    return c >= 0 && u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool isWhitespace(std::string_view character) {
    const UChar32 c = firstCodePoint(character);
    return c >= 0 && u_isUWhiteSpace(c);
}

std::string lowercased(std::string_view text) { return utf8(unicode(text).toLower(icu::Locale::getRoot())); }

std::string uppercased(std::string_view text) { return utf8(unicode(text).toUpper(icu::Locale::getRoot())); }

std::string composed(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU has no NFC data");
    icu::UnicodeString out = nfc->normalize(unicode(text), status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU could not normalize text");
    return utf8(out);
}

std::string folded(std::string_view text) {
    icu::UnicodeString u = unicode(text);
    diacriticRemover().transliterate(u);
    return utf8(u.foldCase());
}

} // namespace korvel::Characters
