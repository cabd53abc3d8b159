#pragma once

#include "Core/Wire/Contract.hpp"
#include "Core/Plan/NormalizedRect.hpp"
#include "Core/Plan/TextEntrance.hpp"
#include "Core/Plan/TextStyle.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

enum class TextRole { caption, title, callToAction };

template <> struct EnumNames<TextRole> {
    static constexpr std::string_view typeName = "TextRole";
    static constexpr std::array<std::string_view, 3> names{"caption", "title", "call_to_action"};
};

enum class TitleLineRole { big, medium, smallCaps };

template <> struct EnumNames<TitleLineRole> {
    static constexpr std::string_view typeName = "TitleLineRole";
    static constexpr std::array<std::string_view, 3> names{"big", "medium", "small_caps"};
};

// A run of words with its own timing; active while outStartUs <= t < outEndUs.
struct TextRun {
    std::string text;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    bool keyword = false;
    std::optional<int64_t> enterUs;

    bool operator==(const TextRun&) const = default;
    static TextRun decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

struct TextLine {
    std::vector<TextRun> runs;
    std::optional<TitleLineRole> role;

    bool operator==(const TextLine&) const = default;
    static TextLine decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

// A caption, title or call to action; shown while outStartUs <= t < outEndUs.
struct TextItem {
    std::string id;
    TextRole role = TextRole::caption;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    std::vector<TextLine> lines;
    NormalizedRect box;
    TextStyle style;
    bool activeWordHighlight = false;
    std::optional<TextHighlight> highlight;
    std::optional<std::string> entrance;

    // Whether the item is still fading in, or some run is still entering,
    // at the given time under the given entrance.
    bool isArriving(int64_t atUs, const TextEntrance& entrance) const;

    // The entrance the item names, looked up in the plan's table, or none;
    // throws TextEntranceFailure when the item and its runs disagree.
    std::optional<TextEntrance> entranceIn(const std::map<std::string, TextEntrance>& table) const;

    bool operator==(const TextItem&) const = default;
    static TextItem decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
