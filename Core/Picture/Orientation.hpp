#pragma once

#include "Core/Picture/RGBAImage.hpp"

namespace korvel::Orientation {

// The picture turned upright for an orientation code (6: shown turned a
// quarter clockwise, 8: a quarter counter-clockwise, 3: upside down; any
// other code as it is), its extent at (0, 0).
RGBAImage upright(const RGBAImage& picture, int orientation);

} // namespace korvel::Orientation
