#include "Core/Picture/Color/ColorRecipe.hpp"

namespace korvel {

std::string ColorRecipe::primaries() const {
    return dynamicRange == DynamicRange::keepHdr ? "ITU_R_2020" : "ITU_R_709_2";
}

std::string ColorRecipe::transfer() const {
    return dynamicRange == DynamicRange::keepHdr ? "ITU_R_2100_HLG" : "ITU_R_709_2";
}

std::string ColorRecipe::matrix() const {
    return dynamicRange == DynamicRange::keepHdr ? "ITU_R_2020" : "ITU_R_709_2";
}

std::map<std::string, std::string> ColorRecipe::writerColorProperties() const {
    return {{"ColorPrimaries", primaries()}, {"TransferFunction", transfer()}, {"YCbCrMatrix", matrix()}};
}

} // namespace korvel
