// A moving synthetic scene seen by a stereo camera: a depth map and the matching camera frame.
// It exercises the whole colour scale of the depth viewer: objects from near to beyond z = 8, a
// tilted floor, holes with z = 0 and with NaN.
#ifndef SYNTHETICSCENE_H
#define SYNTHETICSCENE_H

#include <StereoCameraService.hh>

class SyntheticScene {
public:
    // Depth maps have width x height points; camera frames are one pixel wider, so that their
    // 3-byte pixels leave rows that need padding to a multiple of 4 bytes.
    SyntheticScene(int width, int height);

    int width() const { return m_width; }
    int height() const { return m_height; }
    int frameWidth() const { return m_width + 1; }

    // Fills `map` with the scene at time `t` (seconds); reuses the map's storage.
    void renderDepth(double t, QOR::TimedStereoData& map) const;
    // Fills `frame` (3-channel 8-bit BGR, rows padded to a multiple of 4 bytes) at time `t`.
    void renderImage(double t, QOR::TimedImageData& frame) const;

    // What the camera sees at a point: its depth (NaN or 0 in the scene's holes) and which
    // surface it lies on.
    enum class Surface { Hole, Ball, Floor, Wall };
    struct Sample {
        double z;
        Surface surface;
        int ball;  // which ball, for Surface::Ball
    };
    Sample sampleAt(double t, int column, int row) const;
    double depthAt(double t, int column, int row) const { return sampleAt(t, column, row).z; }

private:
    int m_width;
    int m_height;
};

#endif
