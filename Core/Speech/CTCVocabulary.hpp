#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvel {

// The token table of a CTC letter model. Letters are single characters (UTF-8).
struct CTCVocabulary {
    int blank = 0;
    int separator = 0;
    std::unordered_map<std::string, int> idByLetter;
    std::map<int, std::string> letterById;

    CTCVocabulary(int blank, int separator, std::unordered_map<std::string, int> letters);

    // Upper-cased; a space is the separator, characters the model doesn't know are dropped.
    std::vector<int> ids(std::string_view text) const;
    // " " for the separator, the id's letter, or nothing.
    std::optional<std::string> letter(int id) const;

    static const CTCVocabulary& wav2vec2English();

    bool operator==(const CTCVocabulary&) const = default;
};

} // namespace korvel
