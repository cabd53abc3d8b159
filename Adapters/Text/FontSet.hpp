#pragma once

#include "Adapters/Text/FontFace.hpp"
#include "Core/Text/ShapedText.hpp"
#include "Core/Text/TextFont.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvel {

// A family's face at one weight followed by its fallback cascade, at no
// particular size: shaping results are in ems and kept (bounded), so every
// size and every fit attempt reuses them.
class FontSet {
public:
    explicit FontSet(std::vector<std::shared_ptr<const FontInstance>> members);

    size_t size() const { return members_.size(); }
    const FontInstance& member(size_t i) const { return *members_.at(i); }
    const std::shared_ptr<const FontInstance>& shared(size_t i) const { return members_.at(i); }

    // Shapes with HarfBuzz, kern off; each grapheme cluster takes the first
    // face that has all its glyphs, runs follow ICU's bidi order.
    std::shared_ptr<const ShapedText> shape(std::string_view text) const;
    std::unique_ptr<TextTypesetter> typesetter(std::string_view text, double kerning, double size) const;

    double ascent() const { return ascent_; }   // ems
    double descent() const { return descent_; } // ems, positive
    std::optional<double> spaceAdvance() const { return space_; }

    static constexpr size_t shapedCapacity = 16384;
    // Long texts are shaped again rather than kept: the cache lives as long
    // as the engine, and its entries may come from any request.
    static constexpr size_t shapedBytesCapacity = size_t{16} << 20;

private:
    std::shared_ptr<const ShapedText> shapeUncached(std::string_view text) const;

    std::vector<std::shared_ptr<const FontInstance>> members_;
    double ascent_ = 0.8, descent_ = 0.2;
    std::optional<double> space_;
    mutable std::mutex lock_;
    mutable std::unordered_map<std::string, std::shared_ptr<const ShapedText>> shaped_;
    mutable size_t shapedBytes_ = 0;
};

// A FontSet at a size: the font the layout asks for.
class SizedFont final : public TextFont {
public:
    SizedFont(std::shared_ptr<const FontSet> set, double size) : set_(std::move(set)), size_(size) {}

    double size() const override { return size_; }
    double ascent() const override { return set_->ascent() * size_; }
    double descent() const override { return set_->descent() * size_; }
    std::optional<double> spaceAdvance() const override;
    std::shared_ptr<const ShapedText> shape(std::string_view text) const override { return set_->shape(text); }
    std::string faceName(uint32_t face) const override { return set_->member(face).face().postScriptName(); }
    double faceWeight(uint32_t face) const override { return set_->member(face).weight(); }
    std::unique_ptr<TextTypesetter> typesetter(std::string_view text, double kerning) const override {
        return set_->typesetter(text, kerning, size_);
    }

    const FontSet& set() const { return *set_; }

private:
    std::shared_ptr<const FontSet> set_;
    double size_;
};

// The message of a text no face can draw.
EngineFailure noGlyph(std::string_view text);

} // namespace korvel
