#include "Core/Speech/Transcription.hpp"

#include "Core/Speech/Characters.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <array>

namespace korvel {

namespace {
constexpr std::array<std::pair<TranscriberKind, std::string_view>, 2> kindNames{{
    {TranscriberKind::whisperLargeV3, "whisper_large_v3"},
    {TranscriberKind::speechTranscriber, "speech_transcriber"},
}};

constexpr std::array<std::string_view, 8> closers{"\"", "'", ")", "\u201D", "\u2019", "\u300D", "\u300F", "\uFF09"};
constexpr std::array<std::string_view, 9> terminals{".", "?", "!", "\u2026", "\u3002", "\uFF1F", "\uFF01", "\u061F", "\u0964"};

bool isCloser(std::string_view c) { return std::find(closers.begin(), closers.end(), c) != closers.end(); }
bool isTerminal(std::string_view c) { return std::find(terminals.begin(), terminals.end(), c) != terminals.end(); }

bool endsSentence(const std::string& text) {
    const std::vector<std::string> characters = Characters::split(text);
    auto first = characters.begin();
    auto last = characters.end();
    while (first != last && isCloser(*first)) ++first;
    while (last != first && isCloser(*(last - 1))) --last;
    return first != last && isTerminal(*(last - 1));
}
} // namespace

std::string_view rawValue(TranscriberKind kind) {
    for (const auto& [k, name] : kindNames)
        if (k == kind) return name;
    return {};
}

std::optional<TranscriberKind> transcriberKind(std::string_view raw) {
    for (const auto& [k, name] : kindNames)
        if (name == raw) return k;
    return std::nullopt;
}

namespace WordTokens {
std::vector<RawWord> split(const RawWord& word) {
    struct Piece {
        std::string text;
        int64_t length = 0;
    };
    std::vector<Piece> pieces;
    bool inPiece = false;
    for (std::string& c : Characters::split(word.text)) {
        if (Characters::isWhitespace(c)) {
            inPiece = false;
            continue;
        }
        if (!inPiece) pieces.emplace_back();
        inPiece = true;
        pieces.back().text += c;
        pieces.back().length += 1;
    }
    std::vector<RawWord> tokens;
    if (pieces.size() == 1) {
        tokens.push_back({pieces[0].text, word.startUs, word.endUs, word.confidence});
        return tokens;
    }
    int64_t total = 0;
    for (const Piece& p : pieces) total += p.length;
    const int64_t span = word.endUs - word.startUs;
    int64_t before = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const int64_t start = word.startUs + Microseconds::mulDiv(span, before, total);
        before += pieces[i].length;
        const int64_t end = i + 1 == pieces.size() ? word.endUs : word.startUs + Microseconds::mulDiv(span, before, total);
        tokens.push_back({std::move(pieces[i].text), start, end, word.confidence});
    }
    return tokens;
}
} // namespace WordTokens

namespace SentenceSplitter {
std::vector<SentenceSpan> split(std::span<const RawWord> words) {
    std::vector<SentenceSpan> sentences;
    int64_t begin = 0;
    const auto count = static_cast<int64_t>(words.size());
    for (int64_t i = 0; i < count; ++i) {
        if (!endsSentence(words[i].text)) continue;
        sentences.push_back({begin, i});
        begin = i + 1;
    }
    if (begin < count) sentences.push_back({begin, count - 1});
    return sentences;
}
} // namespace SentenceSplitter

} // namespace korvel
