#pragma once

#include "Core/Picture/Color/ColorMath.hpp"

#include <memory>
#include <vector>

namespace korvel {

// What a pointwise step expects its pixels in: the premultiplied linear
// working space, or colour values unpremultiplied and encoded in the
// render's gamma space (where looks, gains, grain and the colour filters act).
enum class PixelDomain { linearPremultiplied, gammaStraight };

// One pointwise step of a frame: reads and writes a span of RGBA pixels that
// starts at canvas pixel (x, y), y down. Pure: it may run on any span, in
// any order, on many threads at once.
class PixelStep {
public:
    virtual ~PixelStep() = default;
    virtual PixelDomain domain() const = 0;
    virtual void run(float* rgba, int count, int x, int y) const = 0;
    // run(), then the span from `gamma` back to the working space, in one
    // pass over it; false, having done nothing, where the step has no such pass.
    virtual bool runThenDecode(float*, int, int, int, ColorSpace) const { return false; }
    // Whether run() may change the span beyond what the chain's closing
    // clean-up does anyway (a layer that lies elsewhere does not).
    virtual bool changes(int /*count*/, int /*x*/, int /*y*/) const { return true; }
};

// The pointwise steps of a frame fused into one pass: each span is brought
// into the domain a step wants only when it changes, and sanitised at the end.
class PixelChain {
public:
    explicit PixelChain(ColorSpace gamma) : gamma_(gamma) {}

    void add(std::unique_ptr<PixelStep> step) { steps_.push_back(std::move(step)); }
    bool empty() const { return steps_.empty(); }
    size_t size() const { return steps_.size(); }

    // The domain the first step wants its pixels in.
    PixelDomain entry() const { return steps_.empty() ? PixelDomain::linearPremultiplied : steps_.front()->domain(); }

    // In: premultiplied linear working space, or opaque values already
    // encoded in the chain's gamma space. Out: the working space, or
    // straight values in the chain's gamma space, alpha beside, as an
    // encoder of that space takes them; a span that the steps after the last
    // one in gamma leave alone is then never taken back to light.
    void run(float* rgba, int count, int x, int y, PixelDomain out = PixelDomain::linearPremultiplied,
             PixelDomain in = PixelDomain::linearPremultiplied) const;

    static void toGamma(float* rgba, int count, const ColorMath::Curve& curve);
    static void fromGamma(float* rgba, int count, const ColorMath::Curve& curve);

private:
    ColorSpace gamma_;
    std::vector<std::unique_ptr<PixelStep>> steps_;
};

} // namespace korvel
