#include "Core/Audio/AudioReadRoute.hpp"

namespace korvel::AudioReadRoute {

int channelsToRead(int sourceChannels, int askedChannels) {
    if (askedChannels != 1) return askedChannels;
    return sourceChannels == 2 ? 2 : 1;
}

bool direct(Codec codec, int sourceRate, int sourceChannels, int askedRate, int askedChannels) {
    return codec == Codec::aacLC && (askedRate == sourceRate || askedRate == speechRate) && askedChannels <= 2 &&
           sourceChannels <= 2;
}

} // namespace korvel::AudioReadRoute
