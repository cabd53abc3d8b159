#pragma once

#include "Core/JSONValue.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvel::fixture {

// A realistic plan touching every part of the document. Colour-step bounds
// that are unset stand as null, so writing the read plan gives this exact
// value back.
inline constexpr std::string_view fullPlanJSON = R"({
  "version": 7,
  "canvas": {"format": "vertical", "width": 1080, "height": 1920, "fps": {"num": 30000, "den": 1001}},
  "segments": [
    {"assetId": "interview", "srcStartUs": 2000000, "srcEndUs": 8000000, "outStartUs": 0, "outEndUs": 6000000,
     "speed": 1.0,
     "transform": {"keyframes": [
        {"outUs": 0, "center": {"x": 0.5, "y": 0.5}, "scale": 1.0},
        {"outUs": 3000000, "center": {"x": 0.42, "y": 0.38}, "scale": 1.35},
        {"outUs": 6000000, "center": {"x": 0.45, "y": 0.4}, "scale": 1.2}]},
     "transitionIn": null},
    {"assetId": "broll-city", "srcStartUs": 0, "srcEndUs": 4500000, "outStartUs": 6000000, "outEndUs": 9000000,
     "speed": 1.5,
     "transform": {"keyframes": [
        {"outUs": 6000000, "center": {"x": 0.5, "y": 0.5}, "scale": 1.1},
        {"outUs": 9000000, "center": {"x": 0.55, "y": 0.5}, "scale": 1.25}]},
     "transitionIn": {"style": "smooth", "durationUs": 400000}}
  ],
  "videoOverlays": [
    {"id": "ov-layout", "role": "layout", "assetId": "screen", "srcStartUs": 0, "srcEndUs": 3000000,
     "outStartUs": 1000000, "outEndUs": 4000000, "rect": {"x": 0.05, "y": 0.1, "w": 0.9, "h": 0.45},
     "opacity": 1, "window": {"x": 0.1, "y": 0, "w": 0.8, "h": 1}, "cornerRadiusPct": 4.5, "matteKey": "m-screen"},
    {"id": "ov-logo", "role": "logo", "assetId": "logo", "srcStartUs": 0, "srcEndUs": 9000000,
     "outStartUs": 0, "outEndUs": 9000000, "rect": {"x": 0.8, "y": 0.02, "w": 0.15, "h": 0.08}, "opacity": 0.85}
  ],
  "textItems": [
    {"id": "cap-1", "role": "caption", "outStartUs": 0, "outEndUs": 2400000,
     "lines": [{"runs": [
        {"text": "This", "outStartUs": 0, "outEndUs": 300000, "keyword": false, "enterUs": 0},
        {"text": "changes", "outStartUs": 300000, "outEndUs": 800000, "keyword": true, "enterUs": 300000},
        {"text": "everything", "outStartUs": 800000, "outEndUs": 2400000, "keyword": false, "enterUs": 800000}]}],
     "box": {"x": 0.08, "y": 0.62, "w": 0.84, "h": 0.2},
     "style": {"font": "montserrat", "weight": 800, "italic": false, "sizePct": 7.5, "lineHeight": 1.15,
               "letterSpacingEm": -0.01, "color": "#ffffff",
               "shadow": {"offsetYPct": 0.4, "blurPct": 1.2, "color": "#000000", "opacity": 0.6}},
     "activeWordHighlight": true,
     "highlight": {"background": "#ffd400", "color": "#111111"},
     "entrance": "pop"},
    {"id": "title-1", "role": "title", "outStartUs": 500000, "outEndUs": 5000000,
     "lines": [
        {"runs": [{"text": "THE CITY", "outStartUs": 500000, "outEndUs": 5000000, "keyword": false}], "role": "big"},
        {"runs": [{"text": "after dark", "outStartUs": 500000, "outEndUs": 5000000, "keyword": false}], "role": "medium"},
        {"runs": [{"text": "episode three", "outStartUs": 500000, "outEndUs": 5000000, "keyword": false}], "role": "small_caps"}],
     "box": {"x": 0.1, "y": 0.08, "w": 0.8, "h": 0.25},
     "style": {"font": "playfair_display", "weight": 700, "italic": true, "sizePct": 9, "lineHeight": 1.05,
               "letterSpacingEm": 0, "color": "#f3eeea", "shadow": null},
     "activeWordHighlight": false},
    {"id": "cta-1", "role": "call_to_action", "outStartUs": 7000000, "outEndUs": 9000000,
     "lines": [{"runs": [{"text": "Follow for more", "outStartUs": 7000000, "outEndUs": 9000000, "keyword": true}]}],
     "box": {"x": 0.15, "y": 0.45, "w": 0.7, "h": 0.1},
     "style": {"font": "bebas_neue", "weight": 400, "italic": false, "sizePct": 6, "lineHeight": 1.2,
               "letterSpacingEm": 0.02, "color": "#1e1c18", "shadow": null},
     "activeWordHighlight": false}
  ],
  "colorStack": [
    {"kind": "correct", "adjustments": {"exposure": 0.2, "contrast": 1.1, "saturation": 0.95},
     "outStartUs": null, "outEndUs": null},
    {"kind": "match", "gains": {"r": 1.02, "g": 1, "b": 0.97}, "outStartUs": 6000000, "outEndUs": 9000000},
    {"kind": "look", "look": "warm_film", "strength": 0.6, "outStartUs": null, "outEndUs": null},
    {"kind": "grain", "strength": 0.3, "seed": 42, "outStartUs": null, "outEndUs": 6000000}
  ],
  "background": {"fill": {"type": "blur", "radiusPct": 3.5}, "matteKey": "m-interview",
                 "outStartUs": 0, "outEndUs": 6000000},
  "audioMix": {
    "tracks": [
      {"id": "voice", "role": "voice", "assetId": "interview", "generated": null,
       "srcStartUs": 2000000, "srcEndUs": 8000000, "outStartUs": 0, "outEndUs": 6000000, "speed": 1,
       "gain": [{"outUs": 0, "gainDb": 0}, {"outUs": 5800000, "gainDb": -3.5}],
       "isolation": {"wet": 0.8}},
      {"id": "bed", "role": "music", "assetId": null, "generated": {"recipe": "lofi_bed", "seed": 1234},
       "srcStartUs": 0, "srcEndUs": 9000000, "outStartUs": 0, "outEndUs": 9000000, "speed": 1,
       "gain": [{"outUs": 9000000, "gainDb": -60}, {"outUs": 0, "gainDb": -18}],
       "isolation": null},
      {"id": "whoosh", "role": "sound_effect", "assetId": null, "generated": {"recipe": "whoosh", "seed": 9},
       "srcStartUs": 0, "srcEndUs": 600000, "outStartUs": 5800000, "outEndUs": 6400000, "speed": 1,
       "gain": [], "isolation": null}
    ],
    "targetLufs": -14,
    "truePeakDb": -1
  },
  "timeMap": {"entries": [
    {"assetId": "interview", "srcStartUs": 2000000, "srcEndUs": 8000000, "outStartUs": 0, "outEndUs": 6000000, "speed": 1},
    {"assetId": "broll-city", "srcStartUs": 0, "srcEndUs": 4500000, "outStartUs": 6000000, "outEndUs": 9000000, "speed": 1.5}
  ]},
  "durationUs": 9000000,
  "textEntrances": {
    "pop": {"durationUs": 250000, "easing": {"x1": 0.2, "y1": 0.9, "x2": 0.3, "y2": 1.2},
            "from": {"opacity": 0, "shiftYShare": 0.35, "scale": 0.8, "blurPct": 0.5},
            "fade": {"durationUs": 150000, "easing": {"x1": 0.4, "y1": 0, "x2": 0.2, "y2": 1}}}
  },
  "assetContent": {
    "interview": "9f2c4e1b7a0d3c5e8f6a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6a",
    "broll-city": "0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f9"
  }
})";

inline JSONValue fullPlan() { return JSONValue::parsing(fullPlanJSON); }

// The member at a dotted path ("plan.segments.0.assetId"); numeric steps
// index arrays.
inline JSONValue& at(JSONValue& root, std::string_view path) {
    JSONValue* v = &root;
    while (!path.empty()) {
        auto dot = path.find('.');
        std::string step(path.substr(0, dot));
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        if (auto* array = v->arrayPtr()) {
            v = &array->at(std::stoul(step));
        } else if (auto* object = v->objectPtr()) {
            v = &(*object)[step];
        } else {
            throw std::logic_error("no container at " + step);
        }
    }
    return *v;
}

inline void set(JSONValue& root, std::string_view path, JSONValue value) { at(root, path) = std::move(value); }

inline void remove(JSONValue& root, std::string_view path) {
    auto dot = path.rfind('.');
    JSONValue& parent = dot == std::string_view::npos ? root : at(root, path.substr(0, dot));
    parent.objectPtr()->erase(std::string(dot == std::string_view::npos ? path : path.substr(dot + 1)));
}

} // namespace korvel::fixture
