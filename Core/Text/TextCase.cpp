#include "Core/Text/TextCase.hpp"

#include "Core/Text/Utf8.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace korvel::TextCase {

std::string upper(std::string_view text) {
    if (text.empty()) return {};
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    std::u16string wide(static_cast<size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                         &status);
    if (U_FAILURE(status)) return std::string(text);
    status = U_ZERO_ERROR;
    const int32_t upperLength = u_strToUpper(nullptr, 0, wide.data(), length, "", &status);
    std::u16string up(static_cast<size_t>(upperLength), u'\0');
    status = U_ZERO_ERROR;
    u_strToUpper(up.data(), upperLength, wide.data(), length, "", &status);
    if (U_FAILURE(status)) return std::string(text);
    status = U_ZERO_ERROR;
    int32_t outLength = 0;
    u_strToUTF8(nullptr, 0, &outLength, up.data(), upperLength, &status);
    std::string out(static_cast<size_t>(outLength), '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), outLength, nullptr, up.data(), upperLength, &status);
    if (U_FAILURE(status)) return std::string(text);
    return out;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::string word;
    for (Utf8::Cursor at(text); !at.done();) {
        const size_t begin = at.offset();
        const uint32_t c = at.next();
        if (u_isUWhiteSpace(static_cast<UChar32>(c))) {
            if (!word.empty()) out.push_back(std::move(word));
            word.clear();
        } else {
            word.append(text.substr(begin, at.offset() - begin));
        }
    }
    if (!word.empty()) out.push_back(std::move(word));
    return out;
}

} // namespace korvel::TextCase
