#include "Core/Speech/CTCVocabulary.hpp"

#include "Core/Speech/Characters.hpp"

namespace korvel {

CTCVocabulary::CTCVocabulary(int blank, int separator, std::unordered_map<std::string, int> letters)
    : blank(blank), separator(separator), idByLetter(std::move(letters)) {
    for (const auto& [letter, id] : idByLetter) letterById[id] = letter;
}

std::vector<int> CTCVocabulary::ids(std::string_view text) const {
    std::vector<int> result;
    for (const std::string& c : Characters::split(Characters::uppercased(text))) {
        if (c == " ") {
            result.push_back(separator);
        } else if (auto found = idByLetter.find(c); found != idByLetter.end()) {
            result.push_back(found->second);
        }
    }
    return result;
}

std::optional<std::string> CTCVocabulary::letter(int id) const {
    if (id == separator) return " ";
    if (auto found = letterById.find(id); found != letterById.end()) return found->second;
    return std::nullopt;
}

const CTCVocabulary& CTCVocabulary::wav2vec2English() {
    static const CTCVocabulary vocabulary(0, 4, {
        {"E", 5},  {"T", 6},  {"A", 7},  {"O", 8},  {"N", 9},  {"I", 10}, {"H", 11}, {"S", 12}, {"R", 13},
        {"D", 14}, {"L", 15}, {"U", 16}, {"M", 17}, {"W", 18}, {"C", 19}, {"F", 20}, {"G", 21}, {"Y", 22},
        {"P", 23}, {"B", 24}, {"V", 25}, {"K", 26}, {"'", 27}, {"X", 28}, {"J", 29}, {"Q", 30}, {"Z", 31},
    });
    return vocabulary;
}

} // namespace korvel
