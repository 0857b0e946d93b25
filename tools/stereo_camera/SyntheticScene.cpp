#include "SyntheticScene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

struct Ball {
    double depth;   // z of its centre
    double radius;  // in units of the image height
    double speed;   // horizontal sweeps per second
    double phase;
    double height;  // vertical position, 0 top .. 1 bottom
};

// From near (red) to far beyond the end of the colour scale (blue).
const Ball kBalls[] = {
    {0.8, 0.10, 0.11, 0.0, 0.60},
    {2.5, 0.12, 0.07, 0.3, 0.45},
    {4.5, 0.10, 0.05, 0.6, 0.35},
    {6.5, 0.08, 0.09, 0.1, 0.30},
    {10.0, 0.07, 0.04, 0.8, 0.25},
};

double sweep(double t, double speed, double phase) {
    const double s = std::fmod(t * speed + phase, 1.0);
    return s < 0.5 ? 2.0 * s : 2.0 - 2.0 * s;  // back and forth across the view
}

unsigned char clampByte(double v) {
    return static_cast<unsigned char>(std::min(255.0, std::max(0.0, v)));
}

}  // namespace

SyntheticScene::SyntheticScene(int width, int height)
    : m_width(std::max(width, 16)), m_height(std::max(height, 16)) {}

SyntheticScene::Sample SyntheticScene::sampleAt(double t, int column, int row) const {
    const double u = (column + 0.5) / m_width;
    const double v = (row + 0.5) / m_height;
    const double aspect = static_cast<double>(m_width) / m_height;

    // Hole with no measurement at all (NaN): a slowly drifting disc.
    const double hx = 0.15 + 0.7 * sweep(t, 0.03, 0.5), hy = 0.8;
    if (std::hypot((u - hx) * aspect, v - hy) < 0.06)
        return {std::numeric_limits<double>::quiet_NaN(), Surface::Hole, -1};
    // Hole reported as zero depth: a vertical band that comes and goes.
    if (std::fmod(t, 6.0) < 3.0 && u > 0.92 && u < 0.97) return {0.0, Surface::Hole, -1};

    double z = std::numeric_limits<double>::infinity();
    int hit = -1;
    for (int i = 0; i < static_cast<int>(sizeof kBalls / sizeof kBalls[0]); ++i) {
        const Ball& b = kBalls[i];
        const double bx = 0.1 + 0.8 * sweep(t, b.speed, b.phase);
        const double d = std::hypot((u - bx) * aspect, v - b.height) / b.radius;
        if (d >= 1.0) continue;
        const double front = b.depth - 0.5 * b.radius * std::sqrt(1.0 - d * d);
        if (front < z) {
            z = front;
            hit = i;
        }
    }
    if (hit >= 0) return {z, Surface::Ball, hit};
    // The floor tilts away from the camera: near at the bottom, far (beyond 8) at the horizon.
    if (v > 0.2) return {std::min(14.0, 0.5 / ((v - 0.2) / 0.8 + 0.035)), Surface::Floor, -1};
    return {12.0 + 2.0 * std::sin(6.0 * u + t), Surface::Wall, -1};
}

void SyntheticScene::renderDepth(double t, QOR::TimedStereoData& map) const {
    map.width = m_width;
    map.height = m_height;
    map.data.length(static_cast<CORBA::ULong>(m_width) * static_cast<CORBA::ULong>(m_height));
    const double f = 0.8 * m_width;  // focal length in pixels
    CORBA::ULong i = 0;
    for (int r = 0; r < m_height; ++r) {
        for (int c = 0; c < m_width; ++c, ++i) {
            QOR::StereoData& p = map.data[i];
            const double z = depthAt(t, c, r);
            const double zz = std::isfinite(z) ? z : 0.0;
            p.x = (c - m_width / 2.0) * zz / f;
            p.y = (r - m_height / 2.0) * zz / f;
            p.z = z;
            p.dmy.length(0);
        }
    }
}

void SyntheticScene::renderImage(double t, QOR::TimedImageData& frame) const {
    const int w = frameWidth(), h = m_height;
    const int step = (w * 3 + 3) / 4 * 4;
    QOR::ImageData& d = frame.data;
    d.nChannels = 3;
    d.depth = 8;
    d.origin = 0;
    d.width = w;
    d.height = h;
    d.widthStep = step;
    d.imageSize = step * h;
    d.imgData.length(static_cast<CORBA::ULong>(d.imageSize));
    char* out = reinterpret_cast<char*>(d.imgData.get_buffer());
    for (int r = 0; r < h; ++r) {
        char* row = out + static_cast<long>(r) * step;
        for (int c = 0; c < w; ++c) {
            const Sample s = sampleAt(t, std::min(c, m_width - 1), r);
            // Vertical stripes every 16 pixels on wall and floor: a sheared copy would show them
            // slanted.
            const bool stripe = (c / 16) % 2 == 0;
            double b = 0, g = 0, red = 0;
            switch (s.surface) {
                case Surface::Hole:
                    b = g = red = 15;
                    break;
                case Surface::Ball: {
                    static const double kColours[][3] = {
                        {40, 40, 220}, {40, 200, 230}, {60, 200, 60}, {220, 160, 40}, {200, 60, 200}};
                    const double light = 0.55 + 0.45 * (1.0 - std::min(1.0, s.z / 12.0));
                    b = kColours[s.ball][0] * light;
                    g = kColours[s.ball][1] * light;
                    red = kColours[s.ball][2] * light;
                    break;
                }
                case Surface::Floor: {
                    const double fade = std::min(1.0, 2.0 / s.z);
                    const bool tile = (static_cast<int>(8.0 / s.z) + (stripe ? 1 : 0)) % 2 == 0;
                    b = g = red = (tile ? 200 : 110) * fade + 40;
                    break;
                }
                case Surface::Wall:
                    b = stripe ? 190 : 150;
                    g = stripe ? 140 : 110;
                    red = 90;
                    break;
            }
            row[3 * c + 0] = static_cast<char>(clampByte(b));
            row[3 * c + 1] = static_cast<char>(clampByte(g));
            row[3 * c + 2] = static_cast<char>(clampByte(red));
        }
        for (int p = w * 3; p < step; ++p) row[p] = 0;
    }
}
