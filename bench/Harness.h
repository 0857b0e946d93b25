// Timing on a shared, noisy machine: every figure is taken beside a memcpy of a stated number of
// bytes in the same rounds, so the ratio stays meaningful when the machine's load changes. Nothing
// here judges a time as a failure; only wrong results (a benchmark that measured nothing) stop a
// program.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Options {
    // Small inputs and the fewest rounds: a check that every stage runs and computes the right
    // thing, not a measurement.
    bool quick = false;
    // Rounds per row never fall below this; 21 gives a median of at least twenty runs.
    int minRuns = 21;
    int maxRuns = 401;
    // Aimed-at time spent in the measured body per row, in seconds; rounds are added up to it.
    double budgetSeconds = 0.4;
    // Only rows whose stage contains this text are measured.
    std::string filter;
};

// Understands --quick, --min-runs N, --budget SECONDS, --filter TEXT, --help; exits on a
// word it does not know.
Options parseOptions(int argc, char** argv, const char* what);

// Defeats dead-store elimination of whatever `p` points to.
inline void clobber(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

// The baseline: one memcpy of `bytes` between two buffers made and touched up front.
class MemcpyBaseline {
public:
    explicit MemcpyBaseline(std::size_t bytes);
    void operator()();
    std::size_t bytes() const { return m_from.size(); }

private:
    std::vector<unsigned char> m_from;
    std::vector<unsigned char> m_to;
};

struct Spread {
    double median = 0;
    double p25 = 0;
    double p75 = 0;
};

// Median and quartiles of `ns` (which is sorted in place); the quartiles are the nearest ranks, the
// median of an even count the mean of the two middle values.
Spread spreadOf(std::vector<double>& ns);

struct Measurement {
    Spread body;
    Spread baseline;
    int runs = 0;
};

// Alternates the baseline, `setup` (untimed) and `body`, once each per round, after one untimed
// warm-up round; the round count follows from the warm-up's time and the options' budget.
Measurement measure(const Options& options, const std::function<void()>& body,
                    MemcpyBaseline& baseline, const std::function<void()>& setup = nullptr);

struct Row {
    std::string stage;
    std::string size;
    Measurement m;
    std::size_t baselineBytes = 0;
    // The ratio the row must stay within, or 0 when it has no goal.
    double goal = 0;
};

// A row's ratio: the body's median over the baseline's.
double ratioOf(const Row& row);

// One program's rows, each printed as soon as it is added, as tab-separated lines under a '#' header line (`bench/run` merges
// the lines of every program into one table): stage, size, runs, median, first and third quartile
// and baseline median in nanoseconds, baseline bytes, ratio, goal ratio (0 for none) and verdict
// ("met", "NOT met" or "-").
class Report {
public:
    explicit Report(const Options& options) : m_options(options) {}
    const Options& options() const { return m_options; }
    // False when the filter leaves this stage out.
    bool wanted(const std::string& stage) const;
    void add(const Row& row);

private:
    Options m_options;
    bool m_headerDone = false;
};

// Stops the program with `what` on standard error unless `ok`: a benchmark whose subject did not
// do its work must not print a figure.
void require(bool ok, const std::string& what);

}  // namespace bench
