// e2e_viewers: a producer (this process) writes 640x480 maps to a real Morvane (MorvaneBench) and
// frames to a real Kaleth (KalethBench) over loopback GIOP at offered rates, and reports what the
// viewers showed: rate, losses, latency from write to the end of the show, viewer CPU per shown
// value and resident memory. A write here is what an output port's write() does: stamp tm
// (CLOCK_REALTIME), encode into a stream sized beforehand, put() the bytes on the connection.
// Prints a table; nothing judges a time as failure.
#include <StereoCameraService.hh>
#include <rtm/OutPort.h>
#include <rtm/idl/BasicDataTypeSkel.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "RemotePeer.h"
#include "Servants.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int maps = 300;         // values per rate and run
    int runs = 3;           // runs per rate; figures are medians over them
    int memoryMaps = 10000; // values of the as-fast-as-possible run that gives the memory figure
    int hdMaps = 60;        // values per HD run
    bool hdOnly = false;    // only the HD rows
    bool readoutsOnly = false;  // only the rows with and without the status bar readouts
    std::string filter;     // only the HD rows whose "program size via" contains it
    bool quick = false;
    std::string viewersFrom;  // a build tree whose MorvaneBench and KalethBench are measured
};

[[noreturn]] void usage(const char* program, int status) {
    std::fprintf(status ? stderr : stdout,
                 "usage: %s [--maps N] [--runs N] [--memory-maps N] [--hd-maps N] [--hd-only] [--readouts] [--filter TEXT] [--quick] [--viewers-from DIR]\n"
                 "  --maps         values per offered rate and run (default 300)\n"
                 "  --runs         runs per rate, figures are medians (default 3)\n"
                 "  --memory-maps  values of the fastest run, for the memory figure (default 10000)\n"
                 "  --hd-maps      values per run at 1280x720 and 1920x1080 (default 60)\n"
                 "  --hd-only      only the rows at 1280x720 and 1920x1080\n"
                 "  --readouts     only the rows at 1920x1080 with and without the status bar readouts\n"
                 "  --filter TEXT  only the HD rows whose \"program size via\" contains TEXT\n"
                 "  --quick        20 values, 1 run, 200 for memory: checks that it all works\n"
                 "  --viewers-from the viewers of the build tree DIR (built against an installed\n"
                 "                 OpenRTM-aist, say), found through a private naming service\n",
                 program);
    std::exit(status);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool v = i + 1 < argc;
        if (a == "--maps" && v) o.maps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--runs" && v) o.runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--memory-maps" && v) o.memoryMaps = std::max(1, std::atoi(argv[++i]));
        else if (a == "--hd-maps" && v) o.hdMaps = std::max(2, std::atoi(argv[++i]));
        else if (a == "--hd-only") o.hdOnly = true;
        else if (a == "--readouts") o.readoutsOnly = true;
        else if (a == "--filter" && v) o.filter = argv[++i];
        else if (a == "--quick") o.quick = true;
        else if (a == "--viewers-from" && v) o.viewersFrom = argv[++i];
        else if (a == "--help" || a == "-h") usage(argv[0], 0);
        else usage(argv[0], 2);
    }
    if (o.quick) {
        o.maps = 20;
        o.runs = 1;
        o.memoryMaps = 200;
        o.hdMaps = 4;
    }
    return o;
}

QOR::TimedStereoData makeMap(CORBA::Long width = 640, CORBA::Long height = 480) {
    QOR::TimedStereoData map;
    map.width = width;
    map.height = height;
    map.data.length(static_cast<CORBA::ULong>(width * height));
    const CORBA::ULong w = static_cast<CORBA::ULong>(width);
    for (CORBA::ULong i = 0; i < map.data.length(); ++i) {
        map.data[i].x = (i % w) * 0.01;
        map.data[i].y = (i / w) * 0.01;
        map.data[i].z = 0.3 + 9.7 * (i % w) / static_cast<double>(w);
    }
    return map;
}

QOR::TimedImageData makeFrame(CORBA::Long width = 640, CORBA::Long height = 480) {
    QOR::TimedImageData f;
    QOR::ImageData& d = f.data;
    d.nChannels = 3;
    d.depth = 8;
    d.width = width;
    d.height = height;
    d.widthStep = width * 3;
    d.imageSize = d.widthStep * height;
    d.imgData.length(static_cast<CORBA::ULong>(d.imageSize));
    for (CORBA::ULong i = 0; i < d.imgData.length(); ++i)
        d.imgData[i] = static_cast<CORBA::Char>(i * 31u >> 3);
    return f;
}

CORBA::Long hdWidth(const QOR::TimedStereoData& v) { return v.width; }
CORBA::Long hdHeight(const QOR::TimedStereoData& v) { return v.height; }
CORBA::Long hdWidth(const QOR::TimedImageData& v) { return v.data.width; }
CORBA::Long hdHeight(const QOR::TimedImageData& v) { return v.data.height; }

struct Sample {
    double latencyMs;
};

// The shown lines of one viewer, read on a thread of their own so that the viewer never blocks on
// a full pipe.
class ShownReader {
public:
    explicit ShownReader(testsupport::ChildProcess& p)
        : m_process(p), m_thread([this] { loop(); }) {}
    ~ShownReader() {
        m_stop = true;
        m_thread.join();
    }
    void counts(std::size_t& shown, unsigned long long& overwritten, unsigned long long& refused) {
        std::lock_guard<std::mutex> lock(m_mutex);
        shown = m_latencies.size();
        overwritten = m_overwritten;
        refused = m_refused;
    }
    std::vector<double> latencies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_latencies;
    }
    Clock::time_point lastLine() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last;
    }
    // Values shown per second from the first shown value to the last: the steady rate, without
    // the first value's one-off costs (the segment's growth, the variable's first allocation).
    // The reading program's CPU seconds when it showed its first value.
    double firstCpu() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_firstCpu;
    }
    double steadyPerS() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_latencies.size() < 2) return NAN;
        return static_cast<double>(m_latencies.size() - 1) /
               std::chrono::duration<double>(m_last - m_first).count();
    }

private:
    void loop() {
        std::string line;
        while (!m_stop) {
            if (!m_process.readLine(line, std::chrono::milliseconds(50))) continue;
            unsigned long sec = 0, nsec = 0;
            long long endSec = 0;
            long endNsec = 0;
            unsigned long long over = 0, refused = 0;
            if (std::sscanf(line.c_str(), "shown %lu %lu %lld %ld %llu %llu", &sec, &nsec, &endSec,
                            &endNsec, &over, &refused) != 6)
                continue;
            const double ms = (static_cast<double>(endSec) - static_cast<double>(sec)) * 1e3 +
                              (static_cast<double>(endNsec) - static_cast<double>(nsec)) / 1e6;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_latencies.empty()) {
                m_first = Clock::now();
                m_firstCpu = benchpeer::cpuSeconds(m_process.pid());
            }
            m_latencies.push_back(ms);
            m_overwritten = over;
            m_refused = refused;
            m_last = Clock::now();
        }
    }

    testsupport::ChildProcess& m_process;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;  // guards the members below
    std::vector<double> m_latencies;
    unsigned long long m_overwritten = 0;
    unsigned long long m_refused = 0;
    Clock::time_point m_last = Clock::now();
    Clock::time_point m_first;
    double m_firstCpu = 0;
    std::thread m_thread;
};

struct RunResult {
    double offeredPerS = 0;  // achieved write rate
    double shownPerS = 0;
    double steadyPerS = 0;  // from the first shown value to the last
    double lost = 0;  // offered - shown
    double overwritten = 0;
    double refused = 0;  // put() answers other than PORT_OK, and ring refusals
    double p50 = 0;
    double p99 = 0;
    double cpuMsPerShown = 0;
    double writerCpuMsPerValue = 0;  // this process, per write after the first
    double steadyCpuMsPerShown = 0;  // the reader, per value after the first shown
    double rssStartKb = 0;
    double rssEndKb = 0;
    double rssMaxKb = 0;
    int written = 0;
};

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

enum class Transport { Cdr, Shm };

const char* transportName(Transport t) { return t == Transport::Shm ? "shm" : "corba"; }

// The middleware's own connector for a connection this process made to the component's first
// port: what an output port of a camera component would hold.
std::unique_ptr<RTC::OutPortConnector> connectorTo(const std::string& ior, Transport t,
                                                   const char* program) {
    std::string why;
    CORBA::Object_var peer = benchpeer::connectFirstPortOver(
        ior, t == Transport::Shm ? "shared_memory" : "corba_cdr", why);
    bench::require(!CORBA::is_nil(peer), std::string(program) + ": " + why);
    RTC::ConnectorInfo info;
    info.id = "bench";
    info.properties.setProperty("dataport.serializer.cdr.endian", "little");
    if (t == Transport::Shm) {
        OpenRTM::PortSharedMemory_var shm = OpenRTM::PortSharedMemory::_narrow(peer);
        return std::unique_ptr<RTC::OutPortConnector>(
            new RTC::remote::SharedMemoryConnector(info, shm));
    }
    OpenRTM::InPortCdr_var cdr = OpenRTM::InPortCdr::_narrow(peer);
    return std::unique_ptr<RTC::OutPortConnector>(new RTC::remote::RemoteConnector(info, cdr));
}

// Set from --viewers-from: the viewer programs (not FlowSink) come from that tree, and since a
// middleware other than ours prints no reference, each is found in a naming service of this
// process's own.
std::string g_viewersFrom;

// The reference of `instance`, as bound in `naming` by a viewer that started; empty when it did
// not appear within 20 s.
std::string resolveViewer(const remotetest::NamingService& naming, const std::string& instance) {
    const std::string url = "corbaname::" + naming.address() + "#" + remotetest::hostName() +
                            ".host_cxt/" + instance + ".rtc";
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        try {
            CORBA::Object_var obj = benchpeer::orb()->string_to_object(url.c_str());
            if (!CORBA::is_nil(obj) && !obj->_non_existent()) {
                CORBA::String_var ior = benchpeer::orb()->object_to_string(obj);
                return ior.in();
            }
        } catch (const CORBA::Exception&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

// `readouts` false turns the viewers' status bar readouts off (QOR_READOUTS=off).
template <class T>
RunResult runOnce(const char* program, T value, double rateHz, int count,
                  Transport transport = Transport::Cdr, bool readouts = true) {
    std::unique_ptr<remotetest::Component> viewer;
    std::string ior;
    std::map<std::string, std::string> env = {{"QT_QPA_PLATFORM", "offscreen"}};
    if (!readouts) env["QOR_READOUTS"] = "off";
    if (g_viewersFrom.empty() || std::string(program) == "FlowSink") {
        viewer = benchpeer::startComponent(program, {}, env);
        ior = viewer->ior();
    } else {
        static remotetest::NamingService naming;
        bench::require(naming.ready(), "omniNames did not start");
        viewer.reset(new remotetest::Component(
            g_viewersFrom + "/bench/" + program, naming.address(),
            {"exec_cxt.periodic.rate:1000", "corba.ior_file:/dev/null"}, env));
        std::string instance = program;
        instance = instance.substr(0, instance.size() - 5) + "0";  // MorvaneBench: Morvane0
        ior = resolveViewer(naming, instance);
    }
    bench::require(!ior.empty(), std::string(program) + " gave no reference: " +
                                     viewer->output());
    RTC::OutPort<T> out("bench", value);
    out.addConnection(connectorTo(ior, transport, program));
    const remotetest::ToolResult activated = remotetest::rtctl("", {"activate", ior});
    bench::require(activated.status == 0, std::string("rtctl activate: ") + activated.output);
    // Let the window come up and the first idle cycles pass before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const pid_t pid = viewer->process().pid();
    RunResult r;
    r.rssStartKb = static_cast<double>(benchpeer::residentKb(pid));
    r.rssMaxKb = r.rssStartKb;
    ShownReader reader(viewer->process());
    const double cpuStart = benchpeer::cpuSeconds(pid);

    int refused = 0;
    timespec cpu0{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (rateHz > 0)
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(i / rateHz)));
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        value.tm.sec = static_cast<CORBA::ULong>(now.tv_sec);
        value.tm.nsec = static_cast<CORBA::ULong>(now.tv_nsec);
        // As a component's write(): encode and hand to the connection (for shared memory,
        // straight into its segment).
        if (!out.write()) ++refused;
        // The first write's one-off costs (a segment grown, its pages first touched) are left
        // out of the writer's CPU per value.
        if (i == 0) ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
        if (i % 500 == 499)
            r.rssMaxKb = std::max(r.rssMaxKb, static_cast<double>(benchpeer::residentKb(pid)));
    }
    const double writeSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    timespec cpu1{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    r.writerCpuMsPerValue =
        ((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6) /
        std::max(1, count - 1);

    // Done when every value is accounted for, or when the viewer has been quiet for a while
    // since the last write and the last shown value (an HD value may take a second to show).
    std::size_t shown = 0;
    unsigned long long overwritten = 0, ringRefused = 0;
    const Clock::time_point writeEnd = Clock::now();
    for (;;) {
        reader.counts(shown, overwritten, ringRefused);
        if (shown + overwritten + ringRefused + refused >= static_cast<std::size_t>(count)) break;
        if (Clock::now() - std::max(reader.lastLine(), writeEnd) > std::chrono::seconds(3)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double cpuEnd = benchpeer::cpuSeconds(pid);
    const double showSeconds = std::chrono::duration<double>(reader.lastLine() - start).count();
    r.rssEndKb = static_cast<double>(benchpeer::residentKb(pid));
    r.rssMaxKb = std::max(r.rssMaxKb, r.rssEndKb);
    reader.counts(shown, overwritten, ringRefused);
    const std::vector<double> latencies = reader.latencies();
    bench::require(shown > 0, std::string(program) + " showed nothing: " + viewer->output());

    r.written = count;
    r.offeredPerS = count / writeSeconds;
    r.shownPerS = static_cast<double>(shown) / std::max(writeSeconds, showSeconds);
    r.steadyPerS = reader.steadyPerS();
    r.lost = static_cast<double>(count) - static_cast<double>(shown);
    r.overwritten = static_cast<double>(overwritten);
    r.refused = static_cast<double>(refused + ringRefused);
    r.p50 = percentile(latencies, 0.50);
    r.p99 = percentile(latencies, 0.99);
    r.cpuMsPerShown = (cpuEnd - cpuStart) * 1e3 / static_cast<double>(shown);
    r.steadyCpuMsPerShown =
        shown > 1 ? (cpuEnd - reader.firstCpu()) * 1e3 / static_cast<double>(shown - 1) : NAN;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

RunResult medianOf(const std::vector<RunResult>& runs) {
    RunResult m;
    auto med = [&](double RunResult::*field) {
        std::vector<double> v;
        for (const RunResult& r : runs) v.push_back(r.*field);
        return median(v);
    };
    m.offeredPerS = med(&RunResult::offeredPerS);
    m.shownPerS = med(&RunResult::shownPerS);
    m.steadyPerS = med(&RunResult::steadyPerS);
    m.lost = med(&RunResult::lost);
    m.overwritten = med(&RunResult::overwritten);
    m.refused = med(&RunResult::refused);
    m.p50 = med(&RunResult::p50);
    m.p99 = med(&RunResult::p99);
    m.cpuMsPerShown = med(&RunResult::cpuMsPerShown);
    m.writerCpuMsPerValue = med(&RunResult::writerCpuMsPerValue);
    m.steadyCpuMsPerShown = med(&RunResult::steadyCpuMsPerShown);
    m.rssStartKb = med(&RunResult::rssStartKb);
    m.rssEndKb = med(&RunResult::rssEndKb);
    m.rssMaxKb = med(&RunResult::rssMaxKb);
    m.written = runs.front().written;
    return m;
}

void printRow(const char* viewer, const std::string& rate, const RunResult& r, int runs) {
    std::printf("| %-7s | %-7s | %5d x%d | %7.1f | %7.1f | %6.0f | %6.0f | %5.0f | %8.1f | %8.1f | %7.2f | %7.1f | %7.1f | %7.1f |\n",
                viewer, rate.c_str(), r.written, runs, r.offeredPerS, r.shownPerS, r.lost,
                r.overwritten, r.refused, r.p50, r.p99, r.cpuMsPerShown, r.rssStartKb / 1024,
                r.rssEndKb / 1024, r.rssMaxKb / 1024);
    std::fflush(stdout);
}

void line() {
    std::printf("+---------+---------+----------+---------+---------+--------+--------+-------+----------+----------+---------+---------+---------+---------+\n");
}

template <class T>
void viewerRows(const char* name, const char* program, const T& value, const Options& o,
                RunResult& at30) {
    for (const double rate : {15.0, 30.0, 60.0}) {
        std::vector<RunResult> runs;
        for (int i = 0; i < o.runs; ++i) runs.push_back(runOnce(program, value, rate, o.maps));
        const RunResult m = medianOf(runs);
        if (rate == 30.0) at30 = m;
        printRow(name, std::to_string(static_cast<int>(rate)) + " Hz", m, o.runs);
    }
    std::vector<RunResult> fast;
    for (int i = 0; i < o.runs; ++i) fast.push_back(runOnce(program, value, 0, o.maps));
    printRow(name, "max", medianOf(fast), o.runs);
}

double memcpyMs(std::size_t bytes) {
    bench::MemcpyBaseline copy(bytes);
    std::vector<double> ns;
    for (int i = 0; i < 21; ++i) {
        const Clock::time_point t = Clock::now();
        copy();
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t).count());
    }
    return median(ns) / 1e6;
}

template <class T>
std::size_t cdrSize(const T& value) {
    cdrMemoryStream s;
    value >>= s;
    return s.bufSize();
}

void hdLine() {
    std::printf("+---------+-----------+-------+-------+---------+----------+----------+--------------+-----------+----------+-----------+-----------+\n");
}

// One program fed flat out over one transport: the median over runs of shown/s and latency, and
// the time per value against a memcpy of its bytes measured just before.
template <class T>
double hdRow(const char* name, const char* program, const T& value, Transport t, const Options& o) {
    char size[16];
    std::snprintf(size, sizeof size, "%dx%d", static_cast<int>(hdWidth(value)),
                  static_cast<int>(hdHeight(value)));
    if ((std::string(name) + " " + size + " " + transportName(t)).find(o.filter) == std::string::npos)
        return NAN;
    const double copyMs = memcpyMs(cdrSize(value));
    std::vector<RunResult> runs;
    for (int i = 0; i < o.runs; ++i) runs.push_back(runOnce(program, value, 0, o.hdMaps, t));
    const RunResult m = medianOf(runs);
    const double perValueMs = 1e3 / m.steadyPerS;
    std::printf("| %-7s | %-9s | %-5s | %5.0f | %7.1f | %8.1f | %8.1f | %12.1f | %9.2f | %7.1fx | %9.1f | %9.1f |\n",
                name, size, transportName(t), m.lost, m.steadyPerS, m.p50, m.p99, perValueMs,
                copyMs, perValueMs / copyMs, m.writerCpuMsPerValue, m.steadyCpuMsPerShown);
    std::fflush(stdout);
    return m.steadyPerS;
}

struct HdGoals {
    RunResult morvane720at30;
    RunResult kaleth1080at30;
    double morvane1080max = NAN;
    bool measured = false;
};

// One program fed at a camera's rate over corba_cdr: losses and latency, medians over runs.
template <class T>
RunResult hdRateRow(const char* name, const char* program, const T& value, double rateHz,
                    const Options& o) {
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d %.0fHz", static_cast<int>(hdWidth(value)),
                  static_cast<int>(hdHeight(value)), rateHz);
    if ((std::string(name) + " " + size).find(o.filter) == std::string::npos) {
        RunResult skipped;
        skipped.lost = skipped.p99 = NAN;
        return skipped;
    }
    const int count = o.quick ? 4 : 150;
    std::vector<RunResult> runs;
    for (int i = 0; i < o.runs; ++i) runs.push_back(runOnce(program, value, rateHz, count));
    const RunResult m = medianOf(runs);
    std::printf("| %-7s | %4dx%-4d | %3.0f Hz | %5d x%d | %7.1f | %7.1f | %5.0f | %8.1f | %8.1f | %9.1f |\n",
                name, static_cast<int>(hdWidth(value)), static_cast<int>(hdHeight(value)), rateHz,
                count, o.runs, m.offeredPerS, m.shownPerS, m.lost, m.p50, m.p99,
                m.steadyCpuMsPerShown);
    std::fflush(stdout);
    return m;
}

void hdRateLine() {
    std::printf("+---------+-----------+--------+----------+---------+---------+-------+----------+----------+-----------+\n");
}

void hdRateSection(const Options& o, HdGoals& goals) {
    std::printf("HD values at a camera's rate over corba_cdr, medians of %d runs\n", o.runs);
    hdRateLine();
    std::printf("| %-7s | %-9s | %-6s | %-8s | %7s | %7s | %5s | %8s | %8s | %9s |\n", "program",
                "size", "offer", "values", "wrote/s", "shown/s", "lost", "p50 ms", "p99 ms",
                "read cpu");
    hdRateLine();
    goals.morvane720at30 = hdRateRow("Morvane", "MorvaneBench", makeMap(1280, 720), 30, o);
    goals.kaleth1080at30 = hdRateRow("Kaleth", "KalethBench", makeFrame(1920, 1080), 30, o);
    hdRateLine();
    goals.measured = true;
}

void hdSection(const Options& o, HdGoals& goals) {
    std::printf("HD values flat out, %d per run, medians of %d runs; sink = FlowSink (reads and "
                "decodes, no window); shown/s from the first shown value to the last; per value = "
                "1000 / shown/s, against a memcpy of the value's "
                "CDR bytes measured just before; CPU ms per value of the writer (this process) and "
                "of the reading program, after the first value\n",
                o.hdMaps, o.runs);
    hdLine();
    std::printf("| %-7s | %-9s | %-5s | %5s | %7s | %8s | %8s | %12s | %9s | %8s | %9s | %9s |\n",
                "program", "size", "via", "lost", "shown/s", "p50 ms", "p99 ms", "per value ms",
                "memcpy ms", "ratio", "write cpu", "read cpu");
    hdLine();
    for (const auto& size : {std::make_pair(1280, 720), std::make_pair(1920, 1080)}) {
        const QOR::TimedStereoData hdMap = makeMap(size.first, size.second);
        const QOR::TimedImageData hdFrame = makeFrame(size.first, size.second);
        for (const Transport t : {Transport::Cdr, Transport::Shm}) {
            hdRow("sink", "FlowSink", hdMap, t, o);
            const double shown = hdRow("Morvane", "MorvaneBench", hdMap, t, o);
            if (size.first == 1920 && t == Transport::Cdr) goals.morvane1080max = shown;
            hdRow("Kaleth", "KalethBench", hdFrame, t, o);
        }
        hdLine();
    }
    hdRateSection(o, goals);
}

// The host's load averages over 1, 5 and 15 minutes.
std::string loadAverage() {
    char text[64] = {};
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, f)) text[0] = '\0';
        std::fclose(f);
    }
    std::string load = text;
    std::size_t end = 0;
    for (int fields = 0; fields < 3 && end != std::string::npos; ++fields)
        end = load.find(' ', end + (fields ? 1 : 0));
    return load.substr(0, end);
}

// Each viewer at 1920x1080 over corba_cdr at a camera's 30 Hz, with its status bar readouts and
// without, the runs of the two interleaved so that the host's load falls on both alike.
template <class T>
void readoutRows(const char* name, const char* program, const T& value, const Options& o) {
    const int count = o.quick ? 4 : 150;
    std::vector<RunResult> with, without;
    for (int i = 0; i < o.runs; ++i) {
        with.push_back(runOnce(program, value, 30, count, Transport::Cdr, true));
        without.push_back(runOnce(program, value, 30, count, Transport::Cdr, false));
    }
    const RunResult on = medianOf(with), off = medianOf(without);
    for (const auto& row : {std::make_pair("on", on), std::make_pair("off", off)})
        std::printf("| %-7s | %-9s | %8s | %7.1f | %5.0f | %8.1f | %8.1f | %9.2f |\n", name,
                    "1920x1080", row.first, row.second.shownPerS, row.second.lost, row.second.p50,
                    row.second.p99, row.second.steadyCpuMsPerShown);
    std::printf("| %-7s | readouts add %+6.1f%% to the read cpu per shown value%23s|\n", name,
                100.0 * (on.steadyCpuMsPerShown / off.steadyCpuMsPerShown - 1.0), "");
    std::fflush(stdout);
}

void readoutLine() {
    std::printf("+---------+-----------+----------+---------+-------+----------+----------+-----------+\n");
}

void readoutSection(const Options& o) {
    std::printf("status bar readouts on and off (QOR_READOUTS=off), 1920x1080 at 30 Hz over "
                "corba_cdr, %d values per run, medians of %d interleaved runs; read cpu = CPU ms "
                "of the viewer per value after the first shown\n",
                o.quick ? 4 : 150, o.runs);
    readoutLine();
    std::printf("| %-7s | %-9s | %8s | %7s | %5s | %8s | %8s | %9s |\n", "program", "size",
                "readouts", "shown/s", "lost", "p50 ms", "p99 ms", "read cpu");
    readoutLine();
    readoutRows("Morvane", "MorvaneBench", makeMap(1920, 1080), o);
    readoutRows("Kaleth", "KalethBench", makeFrame(1920, 1080), o);
    readoutLine();
}

void hdVerdicts(const HdGoals& g) {
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    std::printf("  Morvane 1280x720 at 30 Hz: %.0f lost, p99 %.1f ms against 100 ms: %s\n",
                g.morvane720at30.lost, g.morvane720at30.p99,
                verdict(g.morvane720at30.lost == 0 && g.morvane720at30.p99 < 100));
    std::printf("  Morvane 1920x1080 flat out over corba: %.1f shown/s against 25: %s\n",
                g.morvane1080max, verdict(g.morvane1080max >= 25));
    std::printf("  Kaleth 1920x1080 at 30 Hz: %.0f lost, p99 %.1f ms: %s\n", g.kaleth1080at30.lost,
                g.kaleth1080at30.p99, verdict(g.kaleth1080at30.lost == 0));
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    g_viewersFrom = o.viewersFrom;
    // CDR streams need an initialised ORB (its code sets) before the first encoding.
    benchpeer::orb();
    HdGoals hdGoals;
    if (o.readoutsOnly) {
        std::printf("host: %u CPUs, load %s\n", std::thread::hardware_concurrency(),
                    loadAverage().c_str());
        readoutSection(o);
        return 0;
    }
    if (o.hdOnly) {
        hdSection(o, hdGoals);
        std::printf("goals:\n");
        hdVerdicts(hdGoals);
        return 0;
    }
    const QOR::TimedStereoData map = makeMap();
    const QOR::TimedImageData frame = makeFrame();

    // The baselines of this run: a memcpy of each value's CDR bytes, median of 21.
    cdrMemoryStream ms, fs;
    map >>= ms;
    frame >>= fs;
    std::printf("host: %u CPUs; 640x480 values over loopback GIOP; baselines this run: memcpy of a map's "
                "%.2f MB CDR %.3f ms, of a frame's %.2f MB %.3f ms\n",
                std::thread::hardware_concurrency(), ms.bufSize() / 1e6, memcpyMs(ms.bufSize()),
                fs.bufSize() / 1e6, memcpyMs(fs.bufSize()));
    std::printf("latency: write() (tm stamped) to the end of the display cycle that showed the value "
                "(show + its key wait); medians over runs of per-run figures\n");
    line();
    std::printf("| %-7s | %-7s | %-8s | %7s | %7s | %6s | %6s | %5s | %8s | %8s | %7s | %7s | %7s | %7s |\n",
                "viewer", "offered", "values", "wrote/s", "shown/s", "lost", "overwr", "refus",
                "p50 ms", "p99 ms", "cpu ms", "RSS0 MB", "RSS1 MB", "RSSmax");
    line();
    RunResult map30, frame30;
    viewerRows("Morvane", "MorvaneBench", map, o, map30);
    line();
    viewerRows("Kaleth", "KalethBench", frame, o, frame30);
    line();

    std::printf("memory: %d values each, as fast as the producer writes\n", o.memoryMaps);
    const RunResult mapMem = runOnce("MorvaneBench", map, 0, o.memoryMaps);
    printRow("Morvane", "max", mapMem, 1);
    const RunResult frameMem = runOnce("KalethBench", frame, 0, o.memoryMaps);
    printRow("Kaleth", "max", frameMem, 1);
    line();

    hdSection(o, hdGoals);
    readoutSection(o);

    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    std::printf("goals:\n");
    std::printf("  Morvane 640x480 at 30 Hz: %.0f lost, p99 %.1f ms against 100 ms: %s\n", map30.lost,
                map30.p99, verdict(map30.lost == 0 && map30.p99 < 100));
    std::printf("  Kaleth 640x480 at 30 Hz: %.0f lost, p99 %.1f ms against 100 ms: %s\n", frame30.lost,
                frame30.p99, verdict(frame30.lost == 0 && frame30.p99 < 100));
    std::printf("  Morvane RSS over %d values: %.1f MB at start, %.1f MB after, %.1f MB at most\n",
                o.memoryMaps, mapMem.rssStartKb / 1024, mapMem.rssEndKb / 1024, mapMem.rssMaxKb / 1024);
    std::printf("  Kaleth RSS over %d values: %.1f MB at start, %.1f MB after, %.1f MB at most\n",
                o.memoryMaps, frameMem.rssStartKb / 1024, frameMem.rssEndKb / 1024,
                frameMem.rssMaxKb / 1024);
    hdVerdicts(hdGoals);
    std::printf("caps: the key waits end once the display thread has serviced the windows, so"
                " both viewers are bounded by reading, colouring or copying, and the show\n");
    return 0;
}
