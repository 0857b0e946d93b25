// Plays a recording's depth maps and frames back at the recorded pace or a fixed rate.
#ifndef RECORDINGPLAYER_H
#define RECORDINGPLAYER_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "RecordingReader.h"

class RecordingPlayer {
public:
    enum class Target { DepthMap, Frame };

    // One value to play: when, counted from the start of a pass, and which value.
    struct Step {
        double due = 0;
        std::size_t value = 0;
        Target target = Target::DepthMap;
    };

    // `rate` 0 plays at the recorded pace, else `rate` values a second on each port.
    RecordingPlayer(const std::string& path, double rate, bool loop);
    RecordingPlayer(const RecordingPlayer&) = delete;
    RecordingPlayer& operator=(const RecordingPlayer&) = delete;

    // The ports played (the first of each type) and what the file's reader said of it, for one
    // line at start-up.
    std::string describe() const;

    // Starts again from the first value, at `now` seconds.
    void restart(double now);
    // The next step due by `now` (seconds, on the clock restart() was given), with its CDR
    // octets read into `cdr`; false when none is due yet, or the file is played out. A value the
    // file no longer holds is skipped and counted.
    bool next(double now, Step& step, std::vector<unsigned char>& cdr, bool& littleEndian);
    bool finished() const;

    // Counts values that did not reach the ports, for one line at the end.
    void countUndecodable() { ++m_undecodable; }
    std::size_t skipped() const { return m_unreadable + m_undecodable; }

    // The steps of a pass over `values`, in the order they are due: at `rate` 0 at their arrival
    // times counted from the first value's, else the k-th value of each port at k / rate.
    // `targets` gives, per port, whether it is played (its target) and is indexed by port.
    static std::vector<Step> schedule(const std::vector<recording::RecordedValue>& values,
                                      const std::vector<int>& targets, double rate);
    // How long one pass lasts before the next begins, for looping.
    static double passLength(const std::vector<Step>& steps, double rate);

    static constexpr int kNotPlayed = -1;

private:
    std::unique_ptr<recording::RecordingReader> m_reader;
    std::vector<int> m_targets;
    std::vector<Step> m_steps;
    double m_passLength = 0;
    bool m_loop = false;
    std::size_t m_next = 0;
    double m_passStart = 0;
    std::size_t m_unreadable = 0;
    std::size_t m_undecodable = 0;
};

#endif
