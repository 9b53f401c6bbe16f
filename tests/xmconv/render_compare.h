// Listening comparison of two modules: both are rendered with libopenmpt at 44.1 kHz and cut into
// 50 ms windows; a window differs when, on either side of the stereo image, its pitch-class profile
// (the spectrum's energy folded onto the twelve semitones) has a cosine similarity below 0.8, or its
// level differs by more than 6 dB once the overall gain between the two renders is taken out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xmtest {

struct RenderDifference {
    int windows = 0;     // 50 ms windows compared (the longer render's, up to the cap)
    int differing = 0;   // windows that sound different
    double gain_db = 0;  // overall gain of the second render over the first
    double share() const { return windows ? double(differing) / windows : 0; }
    std::string text() const;  // "3 of 1200 windows differ (0.25%), gain -1.2 dB"
};

// Renders both modules for at most `seconds` (a song that ends sooner is followed by silence) and
// compares them window by window.
RenderDifference compare_renders(const std::vector<uint8_t>& original, const std::vector<uint8_t>& converted,
                                 double seconds);

} // namespace xmtest
