// Renders two modules with libopenmpt and compares what they sound like, window by window.
#include "render_compare.h"

#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>

namespace xmtest {

namespace {

constexpr int rate = 44100;
constexpr int window = rate / 20;    // 50 ms
constexpr int decimation = 4;        // the profile looks at 60 Hz .. 5 kHz: 11 kHz is enough
constexpr int fft_size = 1024;       // the decimated window (551 values), zero padded
constexpr double floor_db = -100;

using Profile = std::array<double, 12>;

struct Side {
    double db = floor_db;
    Profile profile{};
};

// Both channels of a render, interleaved; at most `seconds`.
std::vector<float> render(const std::vector<uint8_t>& bytes, double seconds)
{
    openmpt::module m(bytes);
    m.set_repeat_count(0);
    m.set_render_param(openmpt::module::RENDER_INTERPOLATIONFILTER_LENGTH, 2);
    size_t frames = size_t(std::min(seconds, m.get_duration_seconds() + 1) * rate);
    std::vector<float> out(frames * 2);
    size_t done = 0;
    while (done < frames) {
        size_t got = m.read_interleaved_stereo(rate, std::min<size_t>(4096, frames - done), &out[done * 2]);
        if (got == 0) break;
        done += got;
    }
    out.resize(done * 2);
    return out;
}

void fft(std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        std::complex<double> step = std::polar(1.0, -2 * M_PI / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Level and pitch-class profile of both channels of window w (silence past the render's end).
std::array<Side, 2> analyse(const std::vector<float>& pcm, size_t w)
{
    static const std::vector<int> bin_class = [] {
        std::vector<int> c(fft_size / 2, -1);
        for (int k = 1; k < fft_size / 2; ++k) {
            double f = double(k) * rate / decimation / fft_size;
            if (f < 60 || f > 5000) continue;
            c[size_t(k)] = (int(std::lround(12 * std::log2(f / 440))) % 12 + 12 + 9) % 12;  // 0 = C
        }
        return c;
    }();
    std::array<Side, 2> out;
    std::array<double, 2> energy{};
    std::vector<std::complex<double>> z(fft_size);
    const size_t first = w * window, n = window / decimation;
    for (size_t i = 0; i < n; ++i) {
        double l = 0, r = 0;
        for (size_t k = 0; k < decimation; ++k) {
            size_t at = (first + i * decimation + k) * 2;
            if (at + 1 >= pcm.size()) continue;
            l += pcm[at];
            r += pcm[at + 1];
            energy[0] += double(pcm[at]) * pcm[at];
            energy[1] += double(pcm[at + 1]) * pcm[at + 1];
        }
        double hann = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
        z[i] = {l * hann, r * hann};  // both channels in one transform
    }
    fft(z);
    for (int k = 1; k < fft_size / 2; ++k) {
        int c = bin_class[size_t(k)];
        if (c < 0) continue;
        std::complex<double> a = z[size_t(k)], b = std::conj(z[size_t(fft_size - k)]);
        out[0].profile[size_t(c)] += std::norm(a + b);
        out[1].profile[size_t(c)] += std::norm(a - b);
    }
    for (int s = 0; s < 2; ++s)
        out[size_t(s)].db = std::max(floor_db, 10 * std::log10(energy[size_t(s)] / window + 1e-30));
    return out;
}

double similarity(const Profile& a, const Profile& b)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < 12; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
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
    std::vector<float> a = render(original, seconds), b = render(converted, seconds);
    size_t windows = (std::max(a.size(), b.size()) / 2 + window - 1) / window;
    std::vector<std::array<Side, 2>> sa(windows), sb(windows);
    double loudest = floor_db;
    std::vector<double> gains;
    for (size_t w = 0; w < windows; ++w) {
        sa[w] = analyse(a, w);
        sb[w] = analyse(b, w);
        for (size_t s = 0; s < 2; ++s) loudest = std::max({loudest, sa[w][s].db, sb[w][s].db});
    }
    // Windows quieter than 50 dB below the loudest one count as silence; the overall gain is the
    // median level difference of the windows where both sound.
    const double audible = std::max(-80.0, loudest - 50);
    for (size_t w = 0; w < windows; ++w)
        for (size_t s = 0; s < 2; ++s)
            if (sa[w][s].db > audible && sb[w][s].db > audible) gains.push_back(sb[w][s].db - sa[w][s].db);
    RenderDifference d;
    d.windows = int(windows);
    if (!gains.empty()) {
        std::nth_element(gains.begin(), gains.begin() + long(gains.size() / 2), gains.end());
        d.gain_db = gains[gains.size() / 2];
    }
    for (size_t w = 0; w < windows; ++w) {
        bool differs = false;
        for (size_t s = 0; s < 2; ++s) {
            double la = std::max(sa[w][s].db, audible), lb = std::max(sb[w][s].db - d.gain_db, audible);
            if (std::fabs(la - lb) > 6) differs = true;
            else if (sa[w][s].db > audible && sb[w][s].db > audible &&
                     similarity(sa[w][s].profile, sb[w][s].profile) < 0.8)
                differs = true;
        }
        d.differing += differs;
    }
    return d;
}

} // namespace xmtest
