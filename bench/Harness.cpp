#include "Harness.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

[[noreturn]] void usage(const char* program, const char* what, int status) {
    std::fprintf(status ? stderr : stdout,
                 "usage: %s [--quick] [--min-runs N] [--budget SECONDS] [--filter TEXT]\n"
                 "  %s\n"
                 "  --quick    small inputs, fewest rounds: checks that every stage works\n"
                 "  --min-runs rounds per row at least (default 21, never below 20)\n"
                 "  --budget   aimed-at measured time per row (default 0.4 s)\n"
                 "  --filter   only stages whose name contains TEXT\n",
                 program, what);
    std::exit(status);
}

}  // namespace

Options parseOptions(int argc, char** argv, const char* what) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--quick") {
            o.quick = true;
        } else if (a == "--min-runs" && hasValue) {
            o.minRuns = std::max(20, std::atoi(argv[++i]));
        } else if (a == "--budget" && hasValue) {
            o.budgetSeconds = std::max(0.0, std::atof(argv[++i]));
        } else if (a == "--filter" && hasValue) {
            o.filter = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage(argv[0], what, 0);
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], a.c_str());
            usage(argv[0], what, 2);
        }
    }
    if (o.quick) o.budgetSeconds = 0;
    o.maxRuns = std::max(o.maxRuns, o.minRuns);
    return o;
}

MemcpyBaseline::MemcpyBaseline(std::size_t bytes) : m_from(bytes, 0x5a), m_to(bytes, 0) {}

void MemcpyBaseline::operator()() {
    std::memcpy(m_to.data(), m_from.data(), m_from.size());
    clobber(m_to.data());
}

Spread spreadOf(std::vector<double>& ns) {
    Spread s;
    if (ns.empty()) return s;
    std::sort(ns.begin(), ns.end());
    const std::size_t n = ns.size();
    s.median = n % 2 ? ns[n / 2] : (ns[n / 2 - 1] + ns[n / 2]) / 2;
    s.p25 = ns[static_cast<std::size_t>(std::lround(0.25 * static_cast<double>(n - 1)))];
    s.p75 = ns[static_cast<std::size_t>(std::lround(0.75 * static_cast<double>(n - 1)))];
    return s;
}

Measurement measure(const Options& options, const std::function<void()>& body,
                    MemcpyBaseline& baseline, const std::function<void()>& setup) {
    // The warm-up touches every buffer once (first-touch page faults are nobody's steady state)
    // and gives the time a round takes.
    baseline();
    if (setup) setup();
    Clock::time_point start = Clock::now();
    body();
    const double warmBody = nsSince(start);

    long rounds = options.minRuns;
    if (warmBody > 0) {
        const double wanted = options.budgetSeconds * 1e9 / warmBody;
        if (wanted > rounds) rounds = static_cast<long>(std::min<double>(wanted, options.maxRuns));
    }
    // Odd, so that the median is one of the measured runs.
    if (rounds % 2 == 0) ++rounds;

    std::vector<double> bodyNs, baselineNs;
    bodyNs.reserve(rounds);
    baselineNs.reserve(rounds);
    for (long r = 0; r < rounds; ++r) {
        start = Clock::now();
        baseline();
        baselineNs.push_back(nsSince(start));
        if (setup) setup();
        start = Clock::now();
        body();
        bodyNs.push_back(nsSince(start));
    }
    Measurement m;
    m.body = spreadOf(bodyNs);
    m.baseline = spreadOf(baselineNs);
    m.runs = static_cast<int>(rounds);
    return m;
}

double ratioOf(const Row& row) {
    return row.m.baseline.median > 0 ? row.m.body.median / row.m.baseline.median : NAN;
}

bool Report::wanted(const std::string& stage) const {
    return m_options.filter.empty() || stage.find(m_options.filter) != std::string::npos;
}

void Report::add(const Row& row) {
    if (!m_headerDone) {
        std::printf("#stage\tsize\truns\tmedian_ns\tp25_ns\tp75_ns\tbaseline_ns\tbaseline_bytes\t"
                    "ratio\tgoal\tverdict\n");
        m_headerDone = true;
    }
    const double ratio = ratioOf(row);
    const char* verdict = row.goal <= 0 ? "-" : ratio <= row.goal ? "met" : "NOT met";
    std::printf("%s\t%s\t%d\t%.0f\t%.0f\t%.0f\t%.0f\t%zu\t%.2f\t%g\t%s\n", row.stage.c_str(),
                row.size.c_str(), row.m.runs, row.m.body.median, row.m.body.p25, row.m.body.p75,
                row.m.baseline.median, row.baselineBytes, ratio, row.goal, verdict);
    std::fflush(stdout);
}

void require(bool ok, const std::string& what) {
    if (ok) return;
    std::cerr << "benchmark broken: " << what << std::endl;
    std::exit(3);
}

}  // namespace bench
