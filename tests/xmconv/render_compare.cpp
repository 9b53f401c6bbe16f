// Renders two modules with libopenmpt and compares what they sound like, window by window.
#include "fixture_modules.h"

#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>

namespace xmtest {

namespace {

constexpr size_t rate = 44100, window = rate / 20;  // 50 ms
constexpr size_t decimation = 4;  // the profile looks at 60 Hz .. 5 kHz: 11 kHz is enough
constexpr size_t fft_size = 1024;  // the decimated window (551 values), zero padded

// Level (dB) and pitch-class profile of the left and right side of one window.
struct Window {
    std::array<double, 2> db{-100, -100};
    std::array<std::array<double, 12>, 2> profile{};
};

// Both sides of a render, interleaved; at most `seconds`.
std::vector<float> render(const std::vector<uint8_t>& bytes, double seconds)
{
    openmpt::module m(bytes);
    m.set_repeat_count(0);
    m.set_render_param(openmpt::module::RENDER_INTERPOLATIONFILTER_LENGTH, 2);
    std::vector<float> out(size_t(std::min(seconds, m.get_duration_seconds() + 1) * rate) * 2);
    size_t done = 0;
    while (size_t got = m.read_interleaved_stereo(int(rate), std::min<size_t>(4096, out.size() / 2 - done), out.data() + done * 2))
        done += got;
    out.resize(done * 2);
    return out;
}

void fft(std::vector<std::complex<double>>& a)
{
    for (size_t i = 1, j = 0; i < a.size(); ++i) {
        size_t bit = a.size() >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        if (i < (j ^= bit)) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= a.size(); len <<= 1)
        for (size_t i = 0; i < a.size(); i += len) {
            std::complex<double> w = 1, step = std::polar(1.0, -2 * M_PI / double(len));
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
}

Window analyse(const std::vector<float>& pcm, size_t first)
{
    static const std::vector<int> pitch_class = [] {  // of each bin: 0 = C, -1 outside 60 Hz..5 kHz
        std::vector<int> c(fft_size / 2, -1);
        for (size_t k = 1; k < c.size(); ++k) {
            double f = double(k * rate) / double(decimation * fft_size);
            if (f >= 60 && f <= 5000) c[k] = (int(std::lround(12 * std::log2(f / 440))) % 12 + 21) % 12;
        }
        return c;
    }();
    Window out;
    std::array<double, 2> energy{};
    std::vector<std::complex<double>> z(fft_size);  // left in the real part, right in the imaginary
    const size_t n = window / decimation;
    for (size_t i = 0; i < n; ++i) {
        for (size_t k = 0, at = (first + i * decimation) * 2; k < decimation && at + 1 < pcm.size(); ++k, at += 2) {
            z[i] += std::complex<double>(pcm[at], pcm[at + 1]);
            energy[0] += double(pcm[at]) * pcm[at];
            energy[1] += double(pcm[at + 1]) * pcm[at + 1];
        }
        z[i] *= 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
    }
    fft(z);
    for (size_t k = 1; k < fft_size / 2; ++k) {
        if (pitch_class[k] < 0) continue;
        std::complex<double> a = z[k], b = std::conj(z[fft_size - k]);
        out.profile[0][size_t(pitch_class[k])] += std::norm(a + b);
        out.profile[1][size_t(pitch_class[k])] += std::norm(a - b);
    }
    for (size_t s = 0; s < 2; ++s) out.db[s] = std::max(-100.0, 10 * std::log10(energy[s] / window + 1e-30));
    return out;
}

double similarity(const std::array<double, 12>& a, const std::array<double, 12>& b)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < 12; ++i) ab += a[i] * b[i], aa += a[i] * a[i], bb += b[i] * b[i];
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 1;
}

} // namespace

std::string RenderDifference::text() const
{
    char s[96];
    std::snprintf(s, sizeof s, "%d of %d windows differ (%.2f%%), gain %.1f dB", differing, windows,
                  100 * share(), gain_db);
    return s;
}

RenderDifference compare_renders(const std::vector<uint8_t>& original, const std::vector<uint8_t>& converted,
                                 double seconds)
{
    const std::vector<float> pcm[2] = {render(original, seconds), render(converted, seconds)};
    const size_t windows = (std::max(pcm[0].size(), pcm[1].size()) / 2 + window - 1) / window;
    std::vector<Window> a, b;
    double loudest = -100;
    for (size_t w = 0; w < windows; ++w) {
        a.push_back(analyse(pcm[0], w * window));
        b.push_back(analyse(pcm[1], w * window));
        loudest = std::max({loudest, a[w].db[0], a[w].db[1], b[w].db[0], b[w].db[1]});
    }
    // Windows quieter than 50 dB below the loudest one count as silence; the overall gain is the
    // median level difference of the windows where both sound.
    const double audible = std::max(-80.0, loudest - 50);
    std::vector<double> gains;
    for (size_t w = 0; w < windows; ++w)
        for (size_t s = 0; s < 2; ++s)
            if (a[w].db[s] > audible && b[w].db[s] > audible) gains.push_back(b[w].db[s] - a[w].db[s]);
    RenderDifference d;
    d.windows = int(windows);
    if (!gains.empty()) {
        std::nth_element(gains.begin(), gains.begin() + long(gains.size() / 2), gains.end());
        d.gain_db = gains[gains.size() / 2];
    }
    for (size_t w = 0; w < windows; ++w) {
        bool differs = false;
        for (size_t s = 0; s < 2; ++s) {
            double la = std::max(a[w].db[s], audible), lb = std::max(b[w].db[s] - d.gain_db, audible);
            bool both = a[w].db[s] > audible && b[w].db[s] > audible;
            differs = differs || std::fabs(la - lb) > 6 || (both && similarity(a[w].profile[s], b[w].profile[s]) < 0.8);
        }
        d.differing += differs;
    }
    return d;
}

} // namespace xmtest
