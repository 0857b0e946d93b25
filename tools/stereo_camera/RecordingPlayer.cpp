#include "RecordingPlayer.h"

#include <algorithm>

#include "RecordedType.h"

RecordingPlayer::RecordingPlayer(const std::string& path, double rate, bool loop)
    : m_reader(new recording::RecordingReader(path)), m_loop(loop) {
    bool haveMap = false, haveFrame = false;
    for (const recording::RecordedPort& p : m_reader->ports()) {
        const recording::ValueKind kind = recording::kindOfType(p.type);
        int target = kNotPlayed;
        if (kind == recording::ValueKind::DepthMap && !haveMap) {
            target = static_cast<int>(Target::DepthMap);
            haveMap = true;
        } else if (kind == recording::ValueKind::Frame && !haveFrame) {
            target = static_cast<int>(Target::Frame);
            haveFrame = true;
        }
        m_targets.push_back(target);
    }
    if (!haveMap && !haveFrame)
        throw recording::RecordingError(path + " holds no depth maps and no frames");
    m_steps = schedule(m_reader->values(), m_targets, rate);
    m_passLength = passLength(m_steps, rate);
}

std::string RecordingPlayer::describe() const {
    std::string text;
    for (std::size_t p = 0; p < m_targets.size(); ++p) {
        if (m_targets[p] == kNotPlayed) continue;
        text += (text.empty() ? "" : ", ") + m_reader->ports()[p].name + " on " +
                (m_targets[p] == static_cast<int>(Target::DepthMap) ? "stereo" : "image");
    }
    text += ", " + std::to_string(m_steps.size()) + " values";
    if (!m_reader->problem().empty()) text += "; " + m_reader->problem();
    return text;
}

std::vector<RecordingPlayer::Step> RecordingPlayer::schedule(
    const std::vector<recording::RecordedValue>& values, const std::vector<int>& targets,
    double rate) {
    std::vector<Step> steps;
    std::vector<std::size_t> ordinal(targets.size(), 0);
    bool first = true;
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const recording::RecordedValue& v = values[i];
        if (v.port >= targets.size() || targets[v.port] == kNotPlayed) continue;
        if (first) start = v.arrivalNs;
        first = false;
        Step s;
        s.value = i;
        s.target = static_cast<Target>(targets[v.port]);
        // Arrival times from several ports of a recorder need not rise in file order.
        s.due = rate > 0 ? static_cast<double>(ordinal[v.port]++) / rate
                         : (static_cast<double>(v.arrivalNs) - static_cast<double>(start)) / 1e9;
        steps.push_back(s);
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.due < b.due; });
    if (!steps.empty() && steps.front().due < 0) {
        const double shift = -steps.front().due;
        for (Step& s : steps) s.due += shift;
    }
    return steps;
}

double RecordingPlayer::passLength(const std::vector<Step>& steps, double rate) {
    if (steps.empty()) return 1.0;
    const double last = steps.back().due;
    if (rate > 0) return last + 1.0 / rate;
    // One mean gap after the last value, as though the stream went on.
    return steps.size() > 1 && last > 0 ? last + last / static_cast<double>(steps.size() - 1) : 1.0;
}

void RecordingPlayer::restart(double now) {
    m_next = 0;
    m_passStart = now;
}

bool RecordingPlayer::finished() const { return !m_loop && m_next >= m_steps.size(); }

bool RecordingPlayer::next(double now, Step& step, std::vector<unsigned char>& cdr,
                           bool& littleEndian) {
    while (!m_steps.empty()) {
        if (m_next >= m_steps.size()) {
            if (!m_loop) return false;
            m_next = 0;
            m_passStart += m_passLength;
        }
        if (m_passStart + m_steps[m_next].due > now) return false;
        step = m_steps[m_next++];
        const recording::RecordedValue& v = m_reader->values()[step.value];
        if (m_reader->read(v, cdr)) {
            littleEndian = v.littleEndian;
            return true;
        }
        ++m_unreadable;
    }
    return false;
}
