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
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
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
    bool tcpOnly = false;     // the viewers listen on loopback TCP and on no Unix socket
};

[[noreturn]] void usage(const char* program, int status) {
    std::fprintf(status ? stderr : stdout,
                 "usage: %s [--maps N] [--runs N] [--memory-maps N] [--hd-maps N] [--hd-only] [--readouts] [--filter TEXT] [--quick] [--viewers-from DIR] [--tcp-only]\n"
                 "  --maps         values per offered rate and run (default 300)\n"
                 "  --runs         runs per rate, figures are medians (default 3)\n"
                 "  --memory-maps  values of the fastest run, for the memory figure (default 10000)\n"
                 "  --hd-maps      values per run at 1280x720 and 1920x1080 (default 60)\n"
                 "  --hd-only      only the rows at 1280x720 and 1920x1080\n"
                 "  --readouts     only the rows at 1920x1080 with and without the status bar readouts\n"
                 "  --filter TEXT  only the HD rows whose \"program size via\" contains TEXT\n"
                 "  --quick        20 values, 1 run, 200 for memory: checks that it all works\n"
                 "  --viewers-from the viewers of the build tree DIR (built against an installed\n"
                 "                 OpenRTM-aist, say), found through a private naming service\n"
                 "  --tcp-only     the viewers listen on loopback TCP alone, without the Unix\n"
                 "                 socket that this process's ORB otherwise takes to reach them\n",
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
        else if (a == "--tcp-only") o.tcpOnly = true;
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
        overwritten = m_overwritten - m_overwrittenBefore;
        refused = m_refused - m_refusedBefore;
    }
    // Forgets what was shown so far (the warm-up's values): counts start again from here.
    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latencies.clear();
        for (std::vector<double>& s : m_stages) s.clear();
        m_overwrittenBefore = m_overwritten;
        m_refusedBefore = m_refused;
    }
    std::vector<double> latencies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_latencies;
    }
    // Per shown value, the milliseconds of each stage (write to arrival, arrival to read, read to
    // image, image to window); values whose marks are missing are left out of a stage.
    std::vector<double> stage(int i) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stages[i];
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
            long long arrivedUs = -1, readUs = -1, showUs = -1;
            if (std::sscanf(line.c_str(), "shown %lu %lu %lld %ld %llu %llu %lld %lld %lld", &sec,
                            &nsec, &endSec, &endNsec, &over, &refused, &arrivedUs, &readUs,
                            &showUs) < 6)
                continue;
            const double ms = (static_cast<double>(endSec) - static_cast<double>(sec)) * 1e3 +
                              (static_cast<double>(endNsec) - static_cast<double>(nsec)) / 1e6;
            std::lock_guard<std::mutex> lock(m_mutex);
            // Marks in ms after the write; the end is the latency itself. A program without a
            // window (FlowSink) has no show: its image stage is nil, its read stage runs to the end of the cycle.
            const double marks[] = {arrivedUs >= 0 ? arrivedUs / 1e3 : NAN,
                                    readUs >= 0 ? readUs / 1e3 : NAN,
                                    showUs >= 0 ? showUs / 1e3 : ms, ms};
            for (int i = 0; i < kStages; ++i) {
                const double from = i == 0 ? 0 : marks[i - 1];
                if (!std::isnan(from) && !std::isnan(marks[i])) m_stages[i].push_back(marks[i] - from);
            }
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

public:
    static const int kStages = 4;

private:
    testsupport::ChildProcess& m_process;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;  // guards the members below
    std::vector<double> m_latencies;
    std::vector<double> m_stages[kStages];
    unsigned long long m_overwritten = 0;
    unsigned long long m_refused = 0;
    unsigned long long m_overwrittenBefore = 0;
    unsigned long long m_refusedBefore = 0;
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
    // Medians of the stages of a shown value's latency: write to arrival, arrival to read, read
    // to image, image to window; and the 99th percentile of the wait in the port's buffer.
    double stageP50[4] = {NAN, NAN, NAN, NAN};
    double waitP99 = NAN;
    double firstMs = NAN;  // the latency of the first value of the warm-up
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
                                                   const char* program, int bufferLength) {
    std::string why;
    std::map<std::string, std::string> extra;
    if (bufferLength > 0) extra["dataport.buffer.length"] = std::to_string(bufferLength);
    CORBA::Object_var peer = benchpeer::connectFirstPortOver(
        ior, t == Transport::Shm ? "shared_memory" : "corba_cdr", why, extra);
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

// Where the viewers' windows go: Qt's offscreen platform, or an X server (see XServer).
std::map<std::string, std::string> g_displayEnv = {{"QT_QPA_PLATFORM", "offscreen"}};

// Set from --viewers-from: the viewer programs (not FlowSink) come from that tree, and since a
// middleware other than ours prints no reference, each is found in a naming service of this
// process's own.
std::string g_viewersFrom;

// Set from --tcp-only: the viewers' ORBs listen on loopback TCP alone. Otherwise ours listen on a
// Unix socket too, which omniORB on this side prefers for an object on its own host.
std::vector<std::string> g_viewerOptions;

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
// `bufferLength` > 0 asks the viewer's port for a buffer of that many values (the connector
// property dataport.buffer.length). `warmup` values are written at the same rate before the
// measured ones and left out of every figure but firstMs, once all of them were shown: the
// first values of a run pay one-off costs (buffers allocated and their pages first touched on
// both sides, the window's first resize) that delay those behind them too.
template <class T>
RunResult runOnce(const char* program, T value, double rateHz, int count,
                  Transport transport = Transport::Cdr, bool readouts = true, int bufferLength = 0,
                  int warmup = 0) {
    std::unique_ptr<remotetest::Component> viewer;
    std::string ior;
    std::map<std::string, std::string> env = g_displayEnv;
    if (!readouts) env["QOR_READOUTS"] = "off";
    if (g_viewersFrom.empty() || std::string(program) == "FlowSink") {
        viewer = benchpeer::startComponent(program, g_viewerOptions, env);
        ior = viewer->ior();
    } else {
        static remotetest::NamingService naming;
        bench::require(naming.ready(), "omniNames did not start");
        std::vector<std::string> options = {"exec_cxt.periodic.rate:1000",
                                            "corba.ior_file:/dev/null"};
        options.insert(options.end(), g_viewerOptions.begin(), g_viewerOptions.end());
        viewer.reset(new remotetest::Component(g_viewersFrom + "/bench/" + program,
                                               naming.address(), options, env));
        std::string instance = program;
        instance = instance.substr(0, instance.size() - 5) + "0";  // MorvaneBench: Morvane0
        ior = resolveViewer(naming, instance);
    }
    bench::require(!ior.empty(), std::string(program) + " gave no reference: " +
                                     viewer->output());
    RTC::OutPort<T> out("bench", value);
    out.addConnection(connectorTo(ior, transport, program, bufferLength));
    const remotetest::ToolResult activated = remotetest::rtctl("", {"activate", ior});
    bench::require(activated.status == 0, std::string("rtctl activate: ") + activated.output);
    // Let the window come up and the first idle cycles pass before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const pid_t pid = viewer->process().pid();
    RunResult r;
    ShownReader reader(viewer->process());
    // The i-th value of a series begun at `begin`, at the offered rate, stamped as it is written:
    // as a component's write(), encoded and handed to the connection (for shared memory,
    // straight into its segment).
    auto writeNth = [&](int i, Clock::time_point begin) {
        if (rateHz > 0)
            std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(i / rateHz)));
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        value.tm.sec = static_cast<CORBA::ULong>(now.tv_sec);
        value.tm.nsec = static_cast<CORBA::ULong>(now.tv_nsec);
        return out.write();
    };
    if (warmup > 0) {
        const Clock::time_point begin = Clock::now();
        for (int i = 0; i < warmup; ++i) writeNth(i, begin);
        const Clock::time_point limit = Clock::now() + std::chrono::seconds(20);
        std::size_t shown = 0;
        unsigned long long over = 0, refusedInRing = 0;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            reader.counts(shown, over, refusedInRing);
        } while (shown + over + refusedInRing < static_cast<std::size_t>(warmup) &&
                 Clock::now() < limit);
        const std::vector<double> first = reader.latencies();
        if (!first.empty()) r.firstMs = first.front();
        reader.reset();
    }
    r.rssStartKb = static_cast<double>(benchpeer::residentKb(pid));
    r.rssMaxKb = r.rssStartKb;
    const double cpuStart = benchpeer::cpuSeconds(pid);

    int refused = 0;
    timespec cpu0{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!writeNth(i, start)) ++refused;
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
    for (int i = 0; i < 4; ++i) r.stageP50[i] = percentile(reader.stage(i), 0.50);
    r.waitP99 = percentile(reader.stage(1), 0.99);
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
    for (int i = 0; i < 4; ++i) {
        std::vector<double> v;
        for (const RunResult& r : runs) v.push_back(r.stageP50[i]);
        m.stageP50[i] = median(v);
    }
    m.waitP99 = med(&RunResult::waitP99);
    m.firstMs = med(&RunResult::firstMs);
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
    RunResult morvane1080at30;
    RunResult kaleth1080at30;
    double morvane1080max[2] = {NAN, NAN};  // corba, shm
    double sinkShm[2] = {NAN, NAN};          // 1280x720, 1920x1080
    bool measured = false;
};

// One program fed at a camera's rate over corba_cdr: losses, latency and its stages, medians
// over runs.
template <class T>
RunResult hdRateRow(const char* name, const char* program, const T& value, double rateHz,
                    const Options& o) {
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d %.0fHz", static_cast<int>(hdWidth(value)),
                  static_cast<int>(hdHeight(value)), rateHz);
    if ((std::string(name) + " " + size).find(o.filter) == std::string::npos) {
        RunResult skipped;
        skipped.lost = skipped.p50 = skipped.p99 = skipped.steadyCpuMsPerShown = NAN;
        return skipped;
    }
    const int count = o.quick ? 4 : 150;
    std::vector<RunResult> runs;
    const int warmup = o.quick ? 1 : 10;
    for (int i = 0; i < o.runs; ++i)
        runs.push_back(runOnce(program, value, rateHz, count, Transport::Cdr, true, 0, warmup));
    const RunResult m = medianOf(runs);
    std::printf("| %-7s | %4dx%-4d | %3.0f Hz | %5d x%d | %7.1f | %7.1f | %5.0f | %7.1f | %7.1f | %8.1f | %6.1f %6.1f %6.1f %6.1f | %7.1f | %7.1f |\n",
                name, static_cast<int>(hdWidth(value)), static_cast<int>(hdHeight(value)), rateHz,
                count, o.runs, m.offeredPerS, m.shownPerS, m.lost, m.p50, m.p99,
                m.steadyCpuMsPerShown, m.stageP50[0], m.stageP50[1], m.stageP50[2], m.stageP50[3],
                m.waitP99, m.firstMs);
    std::fflush(stdout);
    return m;
}

void hdRateLine() {
    std::printf("+---------+-----------+--------+----------+---------+---------+-------+---------+---------+----------+-----------------------------+---------+---------+\n");
}

void hdRateSection(const Options& o, HdGoals& goals, const char* where) {
    std::printf("HD values at a camera's rate over corba_cdr, windows %s, medians of %d runs; "
                "stages (p50 ms): write->arrival at the port, arrival->read (the wait in the "
                "port's buffer for a cycle), read->image (decoding, colouring or copying), "
                "image->window (the show and its key wait); wait p99 = 99th percentile of "
                "arrival->read; after %d values of warm-up at the same rate, all shown; first = "
                "the latency of the warm-up's first value\n",
                where, o.runs, o.quick ? 1 : 10);
    hdRateLine();
    std::printf("| %-7s | %-9s | %-6s | %-8s | %7s | %7s | %5s | %7s | %7s | %8s | %-27s | %7s | %7s |\n",
                "program", "size", "offer", "values", "wrote/s", "shown/s", "lost", "p50 ms",
                "p99 ms", "read cpu", "arrive  wait  image window", "wait99", "first");
    hdRateLine();
    goals.morvane720at30 = hdRateRow("Morvane", "MorvaneBench", makeMap(1280, 720), 30, o);
    goals.morvane1080at30 = hdRateRow("Morvane", "MorvaneBench", makeMap(1920, 1080), 30, o);
    goals.kaleth1080at30 = hdRateRow("Kaleth", "KalethBench", makeFrame(1920, 1080), 30, o);
    hdRateLine();
    goals.measured = true;
}

// A viewer that cannot keep up: its latency grows in the port's buffer, up to the buffer's length
// times its cycle. The same flat-out run with the default buffer (64 values) and with a short one.
void backlogSection(const Options& o) {
    if (std::string("Morvane 1920x1080 backlog").find(o.filter) == std::string::npos) return;
    std::printf("A viewer behind its producer: Morvane 1920x1080 flat out over corba_cdr, %d values "
                "per run after a warm-up, medians of %d runs, by the port's buffer length "
                "(connector property dataport.buffer.length)\n",
                o.hdMaps, o.runs);
    std::printf("+--------------+---------+---------+--------+----------+----------+----------+\n");
    std::printf("| %-12s | %7s | %7s | %6s | %8s | %8s | %8s |\n", "buffer", "wrote/s", "shown/s",
                "overwr", "p50 ms", "p99 ms", "wait99");
    std::printf("+--------------+---------+---------+--------+----------+----------+----------+\n");
    const QOR::TimedStereoData map = makeMap(1920, 1080);
    for (const int length : {0, 2}) {
        std::vector<RunResult> runs;
        for (int i = 0; i < o.runs; ++i)
            runs.push_back(runOnce("MorvaneBench", map, 0, o.hdMaps, Transport::Cdr, true, length,
                                   o.quick ? 1 : 10));
        const RunResult m = medianOf(runs);
        std::printf("| %-12s | %7.1f | %7.1f | %6.0f | %8.1f | %8.1f | %8.1f |\n",
                    length == 0 ? "64 (default)" : std::to_string(length).c_str(), m.offeredPerS,
                    m.shownPerS, m.overwritten, m.p50, m.p99, m.waitP99);
        std::fflush(stdout);
    }
    std::printf("+--------------+---------+---------+--------+----------+----------+----------+\n");
}

// An X server of this process's own (Xvfb), for the rows under a real display server.
class XServer {
public:
    XServer() {
        if (::access("/usr/bin/Xvfb", X_OK) != 0) return;
        m_server.reset(new testsupport::ChildProcess(
            {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "2560x1600x24", "-nolisten",
             "tcp"}));
        std::string line;
        if (m_server->readLine(line, std::chrono::seconds(10)) && !line.empty())
            m_display = ":" + line;
    }
    ~XServer() {
        if (m_server) m_server->signal(SIGTERM);
    }
    // Empty when Xvfb is not installed or did not start.
    const std::string& display() const { return m_display; }

private:
    std::unique_ptr<testsupport::ChildProcess> m_server;
    std::string m_display;
};

struct Floor {
    double msPerImage = NAN;
    double cpuMsPerImage = NAN;
};

// The bare program's figures for images of `width` x `height`, the median of `runs` runs.
Floor floorOf(int width, int height, const std::map<std::string, std::string>& env, int runs,
              int count) {
    std::vector<double> ms, cpu;
    for (int i = 0; i < runs; ++i) {
        testsupport::ChildProcess p({testsupport::executableDir() + "/show_floor",
                                     std::to_string(width), std::to_string(height),
                                     std::to_string(count)},
                                    env);
        std::string line;
        double a = NAN, b = NAN;
        if (p.waitForLine("floor ", std::chrono::seconds(120), &line) &&
            std::sscanf(line.c_str(), "floor %lf %lf", &a, &b) == 2) {
            ms.push_back(a);
            cpu.push_back(b);
        }
        p.wait(std::chrono::seconds(10));
    }
    Floor f;
    if (!ms.empty()) {
        f.msPerImage = median(ms);
        f.cpuMsPerImage = median(cpu);
    }
    return f;
}

// The display's own cost beside the viewers' at 1920x1080 at 30 Hz, on the platform the rows
// above ran on.
void floorSection(const Options& o, const HdGoals& g, const char* where) {
    const Floor f = floorOf(1920, 1080, g_displayEnv, o.runs, o.quick ? 10 : 120);
    std::printf("floor, windows %s: a bare OpenCV program showing 1920x1080 images flat out: "
                "%.1f ms per image, %.1f ms of its CPU per image; read cpu per shown value against "
                "it: Morvane %.1fx (%.1f ms), Kaleth %.1fx (%.1f ms); p50 latency against one "
                "image's show: Morvane %.1fx, Kaleth %.1fx\n",
                where, f.msPerImage, f.cpuMsPerImage,
                g.morvane1080at30.steadyCpuMsPerShown / f.cpuMsPerImage,
                g.morvane1080at30.steadyCpuMsPerShown,
                g.kaleth1080at30.steadyCpuMsPerShown / f.cpuMsPerImage,
                g.kaleth1080at30.steadyCpuMsPerShown, g.morvane1080at30.p50 / f.msPerImage,
                g.kaleth1080at30.p50 / f.msPerImage);
    std::fflush(stdout);
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
            const bool full = size.first == 1920;
            const double sink = hdRow("sink", "FlowSink", hdMap, t, o);
            if (t == Transport::Shm) goals.sinkShm[full ? 1 : 0] = sink;
            const double shown = hdRow("Morvane", "MorvaneBench", hdMap, t, o);
            if (full) goals.morvane1080max[t == Transport::Shm ? 1 : 0] = shown;
            hdRow("Kaleth", "KalethBench", hdFrame, t, o);
        }
        hdLine();
    }
    hdRateSection(o, goals, "offscreen (Qt)");
    floorSection(o, goals, "offscreen (Qt)");
    backlogSection(o);
    // The same rows with the windows on a display server: its own work is the floor there.
    XServer x;
    if (x.display().empty() || !o.viewersFrom.empty()) return;
    const std::map<std::string, std::string> offscreen = g_displayEnv;
    g_displayEnv = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", x.display()}};
    HdGoals underX;
    hdRateSection(o, underX, "on Xvfb");
    floorSection(o, underX, "on Xvfb");
    g_displayEnv = offscreen;
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

void backlogAdvice() {
    std::printf("backlog: a viewer slower than its camera falls behind in its port's buffer (the "
                "wait column): up to 64 values by default, each a cycle late. Connect with "
                "dataport.buffer.length:2 (and, to drop the oldest, "
                "dataport.buffer.write.full_policy:overwrite) to bound the latency to two cycles\n");
}

// The goals, each against the figure it had before the viewers' HD work (in parentheses).
void hdVerdicts(const HdGoals& g) {
    auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    const RunResult& k = g.kaleth1080at30;
    std::printf("  Kaleth 1920x1080 at 30 Hz: %.0f lost, p50 %.1f ms (142) against 40, p99 %.1f ms "
                "(257) against 80: %s\n",
                k.lost, k.p50, k.p99, verdict(k.lost == 0 && k.p50 <= 40 && k.p99 <= 80));
    const RunResult& m7 = g.morvane720at30;
    std::printf("  Morvane 1280x720 at 30 Hz: %.0f lost, p50 %.1f ms (46) against 40, p99 %.1f ms "
                "(104) against 70: %s\n",
                m7.lost, m7.p50, m7.p99, verdict(m7.lost == 0 && m7.p50 <= 40 && m7.p99 <= 70));
    const RunResult& m10 = g.morvane1080at30;
    std::printf("  Morvane 1920x1080 at 30 Hz: %.0f lost, p99 %.1f ms against 100: %s\n", m10.lost,
                m10.p99, verdict(m10.lost == 0 && m10.p99 <= 100));
    std::printf("  Morvane 1920x1080 flat out: %.1f shown/s over corba (22.6), %.1f over shm "
                "(23.9), against 35 on either: %s\n",
                g.morvane1080max[0], g.morvane1080max[1],
                verdict(g.morvane1080max[0] >= 35 && g.morvane1080max[1] >= 35));
    std::printf("  read cpu per shown 1920x1080 value at 30 Hz: Morvane %.1f ms (44) against 22, "
                "Kaleth %.1f ms (33) against 16.5: %s\n",
                m10.steadyCpuMsPerShown, k.steadyCpuMsPerShown,
                verdict(m10.steadyCpuMsPerShown <= 22 && k.steadyCpuMsPerShown <= 16.5));
    std::printf("  shared memory flat out into FlowSink: 1920x1080 %.1f/s (50.2) against 60, "
                "1280x720 %.1f/s (134) against 180: %s\n",
                g.sinkShm[1], g.sinkShm[0], verdict(g.sinkShm[1] >= 60 && g.sinkShm[0] >= 180));
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    g_viewersFrom = o.viewersFrom;
    if (o.tcpOnly) {
        g_viewerOptions.push_back(std::string("corba.args:-ORBgiopMaxMsgSize ") +
                                  benchpeer::kMaxMessage + " -ORBendPoint giop:tcp:127.0.0.1:");
        std::printf("the viewers listen on loopback TCP only: corba_cdr goes through it\n");
    }
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
        backlogAdvice();
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
    backlogAdvice();
    return 0;
}
