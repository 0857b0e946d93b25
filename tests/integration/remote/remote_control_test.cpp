// Components in separate processes on loopback, registered in a real omniNames, connected and
// driven from a third process with rtctl.
#include <gtest/gtest.h>
#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <thread>

#include "Orb.h"
#include "Processes.h"
#include "RecordedType.h"
#include "RecordingReader.h"
#include "StereoPattern.h"

namespace {

using namespace std::chrono_literals;
using remotetest::Component;
using remotetest::NamingService;
using remotetest::rtctl;

bool consecutive(const std::vector<unsigned long>& secs) {
    for (std::size_t i = 1; i < secs.size(); ++i)
        if (secs[i] != secs[i - 1] + 1) return false;
    return true;
}

std::string seqText(const std::vector<unsigned long>& secs) {
    std::string s;
    for (unsigned long v : secs) s += std::to_string(v) + " ";
    return s;
}

class Control : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(naming.ready()) << "omniNames did not start";
        consumer.reset(new Component("stereo_consumer", naming.address()));
        producer.reset(new Component("stereo_producer", naming.address()));
        ASSERT_FALSE(consumer->ior().empty()) << consumer->output();
        ASSERT_FALSE(producer->ior().empty()) << producer->output();
    }

    remotetest::ToolResult tool(const std::vector<std::string>& args) {
        return rtctl(naming.address(), args);
    }
    // Runs rtctl and expects it to succeed; returns its output.
    std::string ok(const std::vector<std::string>& args) {
        const auto r = tool(args);
        EXPECT_EQ(0, r.status) << r.output;
        return r.output;
    }
    std::string connectPair() {
        std::string id = ok({"connect", "StereoProducer0.rtc:stereo", "StereoConsumer0.rtc:stereo"});
        if (!id.empty() && id.back() == '\n') id.pop_back();
        return id;
    }

    NamingService naming;
    std::unique_ptr<Component> consumer;
    std::unique_ptr<Component> producer;
};

TEST_F(Control, ListAndShowDescribeTheRegisteredComponents) {
    const std::string host = remotetest::hostName();
    const std::string list = ok({"list"});
    EXPECT_NE(std::string::npos, list.find(host + ".host_cxt/StereoConsumer0.rtc\n")) << list;
    EXPECT_NE(std::string::npos, list.find(host + ".host_cxt/StereoProducer0.rtc\n")) << list;

    const std::string id = connectPair();
    const std::string shown = ok({"show", host + ".host_cxt/StereoConsumer0.rtc"});
    for (const char* needle :
         {"StereoConsumer0\n", "type: StereoConsumer", "owned context 0: PERIODIC, 50 Hz, running, state INACTIVE",
          "port StereoConsumer0.stereo", "port.port_type: DataInPort",
          "dataport.data_type: TimedStereoData", "dataport.serializer.cdr.endian: little,big",
          "StereoProducer0.stereo -> StereoConsumer0.stereo", "dataport.corba_cdr.inport_ior: IOR:"})
        EXPECT_NE(std::string::npos, shown.find(needle)) << needle << "\n" << shown;
    EXPECT_NE(std::string::npos, shown.find("connection " + id)) << shown;
}

TEST_F(Control, DataFlowsInOrderUntilDisconnectedAndAgainWhenReconnected) {
    const std::string id = connectPair();
    ASSERT_FALSE(id.empty());
    ok({"activate", "StereoConsumer0"});
    ok({"activate", "StereoProducer0"});
    EXPECT_EQ("ACTIVE\n", ok({"state", "StereoProducer0"}));

    bool intact = false;
    auto secs = consumer->received(10, 20s, &intact);
    ASSERT_EQ(10u, secs.size()) << consumer->output();
    EXPECT_EQ(1u, secs.front());
    EXPECT_TRUE(consecutive(secs)) << seqText(secs);
    EXPECT_TRUE(intact);

    ok({"deactivate", "StereoProducer0"});
    EXPECT_EQ("INACTIVE\n", ok({"state", "StereoProducer0"}));
    ok({"disconnect", "StereoConsumer0:stereo", id});
    EXPECT_EQ(std::string::npos, ok({"show", "StereoProducer0"}).find("connection "));
    // Whatever was in flight before the disconnection is read now; nothing comes afterwards.
    consumer->received(1000, 500ms);
    ok({"activate", "StereoProducer0"});
    ASSERT_TRUE(producer->expect("ok", 10s));
    EXPECT_TRUE(consumer->received(1, 1s).empty()) << consumer->output();

    connectPair();
    secs = consumer->received(5, 20s, &intact);
    ASSERT_EQ(5u, secs.size()) << consumer->output();
    EXPECT_TRUE(consecutive(secs)) << seqText(secs);
    EXPECT_TRUE(intact);
    ok({"disconnect", "StereoProducer0:stereo"});
    EXPECT_EQ(std::string::npos, ok({"show", "StereoConsumer0"}).find("connection "));
}

TEST_F(Control, RefusalsAreOneLineAndAFailingStatus) {
    Component images("image_consumer", naming.address());
    const std::string unreachable = "127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    struct Case {
        std::vector<std::string> args;
        std::string naming;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"state", "Nobody0"}, naming.address(), "rtctl: no such component: Nobody0\n"},
        {{"connect", "StereoProducer0:nope", "StereoConsumer0:stereo"}, naming.address(),
         "rtctl: no such port: StereoProducer0:nope"},
        {{"connect", "StereoProducer0:stereo", "ImageConsumer0:InputImage"}, naming.address(),
         "rtctl: data types do not match: StereoProducer0.stereo sends TimedStereoData, "
         "ImageConsumer0.InputImage takes TimedImageData\n"},
        {{"list"}, unreachable, "rtctl: no naming service at " },
        {{"state", "StereoConsumer0"}, unreachable, "rtctl: no naming service at "},
        {{"connect", "StereoProducer0:stereo", "StereoConsumer0:stereo", "-p",
          "dataport.interface_type=direct"},
         naming.address(), "rtctl: connect refused: BAD_PARAMETER\n"},
        {{"connect", "StereoConsumer0:stereo", "StereoConsumer0:stereo"}, naming.address(),
         "rtctl: StereoConsumer0.stereo is not an output data port\n"},
        {{"deactivate", "StereoConsumer0"}, naming.address(),
         "rtctl: deactivate refused: PRECONDITION_NOT_MET (state INACTIVE)\n"},
        {{"disconnect", "StereoConsumer0:stereo", "no-such-connection"}, naming.address(),
         "rtctl: disconnect refused: BAD_PARAMETER"},
    };
    for (const Case& c : cases) {
        const auto r = rtctl(c.naming, c.args);
        EXPECT_EQ(1, r.status) << r.output;
        EXPECT_EQ(0u, r.output.find(c.message)) << r.output;
        EXPECT_EQ(r.output.size() - 1, r.output.find('\n')) << "not one line: " << r.output;
    }
    // A refused connection leaves nothing behind on either side.
    EXPECT_EQ(std::string::npos, ok({"show", "StereoProducer0"}).find("connection "));
    EXPECT_EQ(std::string::npos, ok({"show", "StereoConsumer0"}).find("connection "));
    EXPECT_EQ(2, tool({"frobnicate"}).status);
}

TEST_F(Control, ConnectorIdsAreOpaqueAndUnique) {
    // A peer's id with a zero-filled tail, as seen from other tools.
    const std::string id = "7d2c4b1e-5a0f-4c3e-9d61-000000000000";
    EXPECT_EQ(id + "\n", ok({"connect", "StereoProducer0:stereo", "StereoConsumer0:stereo",
                             "--id", id}));
    const auto again =
        tool({"connect", "StereoProducer0:stereo", "StereoConsumer0:stereo", "--id", id});
    EXPECT_EQ(1, again.status);
    EXPECT_EQ(0u, again.output.find("rtctl: connect refused: PRECONDITION_NOT_MET")) << again.output;
    ok({"disconnect", "StereoProducer0:stereo", id});
    EXPECT_EQ(std::string::npos, ok({"show", "StereoConsumer0"}).find(id));
}

TEST_F(Control, KilledProducerLeavesTheConsumerRunningAndConnectable) {
    connectPair();
    ok({"activate", "StereoConsumer0"});
    ok({"activate", "StereoProducer0"});
    ASSERT_EQ(3u, consumer->received(3).size()) << consumer->output();
    producer->process().signal(SIGKILL);
    ASSERT_TRUE(producer->process().wait(10s));

    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(consumer->process().running());
    EXPECT_EQ("ACTIVE\n", ok({"state", "StereoConsumer0"}));
    // Its stale connection can be ended although the other side is gone.
    ok({"disconnect", "StereoConsumer0:stereo"});

    // A new producer takes the old one's name and feeds the same consumer.
    producer.reset(new Component("stereo_producer", naming.address()));
    ASSERT_FALSE(producer->ior().empty()) << producer->output();
    connectPair();
    ok({"activate", "StereoProducer0"});
    consumer->received(1000, 300ms);
    bool intact = false;
    const auto secs = consumer->received(3, 20s, &intact);
    ASSERT_EQ(3u, secs.size()) << consumer->output();
    EXPECT_TRUE(consecutive(secs) && intact) << seqText(secs);
}

TEST_F(Control, ExitEndsTheProgramCleanlyAndUnbindsItsName) {
    connectPair();
    ok({"activate", "StereoConsumer0"});
    ok({"exit", "StereoConsumer0"});
    EXPECT_TRUE(consumer->expect("deactivated")) << consumer->output();
    ASSERT_TRUE(consumer->process().wait(20s)) << consumer->output();
    EXPECT_TRUE(WIFEXITED(consumer->process().status()));
    EXPECT_EQ(0, WEXITSTATUS(consumer->process().status()));

    const std::string list = ok({"list"});
    EXPECT_EQ(std::string::npos, list.find("StereoConsumer0")) << list;
    // The producer was told: its side of the connection is gone too.
    EXPECT_EQ(std::string::npos, ok({"show", "StereoProducer0"}).find("connection "));
    ok({"activate", "StereoProducer0"});
    EXPECT_TRUE(producer->expect("wrote 3 ok", 10s)) << producer->output();
}

TEST(ControlLimits, ValueOverTheMessageLimitIsRefusedAndTheNextArrives) {
    NamingService naming;
    ASSERT_TRUE(naming.ready());
    // 200x200 points of 32 octets: 1.28 MB, over the consumer's 1 MiB.
    Component consumer("stereo_consumer", naming.address(),
                       {"corba.args:-ORBgiopMaxMsgSize 1048576"});
    Component producer("stereo_producer", naming.address(), {"exec_cxt.periodic.rate:20"},
                       {{"PRODUCER_BIG", "3:200x200"}, {"PRODUCER_COUNT", "6"}});
    ASSERT_EQ(0, rtctl(naming.address(), {"connect", "StereoProducer0:stereo",
                                          "StereoConsumer0:stereo"}).status);
    ASSERT_EQ(0, rtctl(naming.address(), {"activate", "StereoConsumer0"}).status);
    ASSERT_EQ(0, rtctl(naming.address(), {"activate", "StereoProducer0"}).status);

    bool intact = false;
    const auto secs = consumer.received(5, 20s, &intact);
    EXPECT_EQ((std::vector<unsigned long>{1, 2, 4, 5, 6}), secs) << consumer.output();
    EXPECT_TRUE(intact);
    EXPECT_TRUE(producer.expect("wrote 3 failed")) << producer.output();
    EXPECT_TRUE(producer.process().running());
    EXPECT_TRUE(consumer.process().running());
    const auto shown = rtctl(naming.address(), {"show", "StereoProducer0"});
    EXPECT_NE(std::string::npos, shown.output.find("connection ")) << shown.output;
}

TEST(ControlLimits, FullHdDepthMapGetsThroughWithTheDefaultLimit) {
    NamingService naming;
    ASSERT_TRUE(naming.ready());
    Component consumer("stereo_consumer", naming.address());
    Component producer("stereo_producer", naming.address(), {"exec_cxt.periodic.rate:2"},
                       {{"PRODUCER_SIZE", "1920x1080"}, {"PRODUCER_COUNT", "2"}});
    ASSERT_EQ(0, rtctl(naming.address(), {"connect", "StereoProducer0:stereo",
                                          "StereoConsumer0:stereo"}).status);
    ASSERT_EQ(0, rtctl(naming.address(), {"activate", "StereoConsumer0"}).status);
    ASSERT_EQ(0, rtctl(naming.address(), {"activate", "StereoProducer0"}).status);
    bool intact = false;
    const auto secs = consumer.received(2, 60s, &intact);
    EXPECT_EQ((std::vector<unsigned long>{1, 2}), secs) << consumer.output() << producer.output();
    EXPECT_TRUE(intact);
    EXPECT_NE(std::string::npos, consumer.output().find("got 1 1920x1080 ok"));
}

TEST(Startup, WithoutAReachableNamingServiceOneWarningAndTheComponentServes) {
    const std::string nowhere = "127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    const auto start = std::chrono::steady_clock::now();
    Component consumer("stereo_consumer", nowhere);
    ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const std::string out = consumer.output();
    const auto warning = out.find("manager: no naming service answers at " + nowhere);
    EXPECT_NE(std::string::npos, warning) << out;
    EXPECT_EQ(std::string::npos, out.find("naming", warning + 20)) << out;
    EXPECT_EQ("INACTIVE\n", rtctl("", {"state", consumer.ior()}).output);
    EXPECT_EQ(0, rtctl("", {"activate", consumer.ior()}).status);
    EXPECT_EQ("ACTIVE\n", rtctl("", {"state", consumer.ior()}).output);
}

// The names in `dir` that are sockets.
std::vector<std::string> socketsIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            struct stat st {};
            if (::lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                names.push_back(e->d_name);
        }
        ::closedir(d);
    }
    return names;
}

TEST(Startup, PeersOnThisHostGetAUnixSocketOnlyInADirectoryNoOtherUserCanWrite) {
    char base[] = "/tmp/local-socket-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(base));
    const std::string dir = std::string(base) + "/omni-" + ::getpwuid(::geteuid())->pw_name;
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
    // Left by a process that is gone (no pid is that high).
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    std::snprintf(at.sun_path, sizeof at.sun_path, "%s/999999999-1", dir.c_str());
    ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ::close(stale);
    const std::map<std::string, std::string> env = {{"TMPDIR", base}};
    {
        Component consumer("stereo_consumer", "", {}, env);
        ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
        const std::vector<std::string> sockets = socketsIn(dir);
        ASSERT_EQ(1u, sockets.size());
        EXPECT_EQ(consumer.process().pid(), std::stol(sockets[0].substr(0, sockets[0].find('-'))));
        EXPECT_EQ("INACTIVE\n", rtctl("", {"state", consumer.ior()}).output);
    }
    for (const std::string& name : socketsIn(dir)) ::unlink((dir + "/" + name).c_str());
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0775));
    {
        Component consumer("stereo_consumer", "", {}, env);
        ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
        EXPECT_NE(std::string::npos,
                  consumer.output().find("they use TCP: " + dir + " is writable by other users"))
            << consumer.output();
        EXPECT_TRUE(socketsIn(dir).empty());
        EXPECT_EQ("INACTIVE\n", rtctl("", {"state", consumer.ior()}).output);
    }
    (void)!std::system(("rm -rf '" + std::string(base) + "'").c_str());
}

TEST(Startup, ANamingServiceStartedLaterGetsTheNamesThere) {
    const int port = testsupport::freeLoopbackPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    Component consumer("stereo_consumer", address, {"naming.update.interval:0.2"});
    ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
    NamingService naming(port);
    ASSERT_TRUE(naming.ready());
    std::string listed;
    for (int i = 0; i < 100 && listed.find("StereoConsumer0.rtc") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        listed = rtctl(address, {"list"}).output;
    }
    EXPECT_NE(std::string::npos, listed.find(".host_cxt/StereoConsumer0.rtc\n")) << listed;
    EXPECT_EQ("INACTIVE\n", rtctl(address, {"state", "StereoConsumer0"}).output);
}

TEST(Startup, EveryNamingFormatIsBoundAndEachNameSplitsAtItsLastDot) {
    NamingService naming;
    ASSERT_TRUE(naming.ready());
    Component consumer("stereo_consumer", naming.address(),
                       {"naming.formats:%c.cat_cxt/%t.%v.rtc, %n, %h.host_cxt/%n.rtc"});
    ASSERT_FALSE(consumer.ior().empty()) << consumer.output();
    const auto listed = rtctl(naming.address(), {"list"});
    EXPECT_NE(std::string::npos, listed.output.find("Test.cat_cxt/StereoConsumer.1.0.0.rtc\n"))
        << listed.output;
    EXPECT_NE(std::string::npos, listed.output.find("\nStereoConsumer0\n")) << listed.output;
    for (const std::string& path : std::vector<std::string>{"Test.cat_cxt/StereoConsumer.1.0.0.rtc", "StereoConsumer0",
                                   remotetest::hostName() + ".host_cxt/StereoConsumer0.rtc"})
        EXPECT_EQ("INACTIVE\n", rtctl(naming.address(), {"state", path}).output) << path;
    // A second program with the same names takes them over.
    Component successor("stereo_consumer", naming.address(), {"naming.formats:%n"});
    ASSERT_FALSE(successor.ior().empty());
    EXPECT_EQ(0, rtctl(naming.address(), {"activate", "StereoConsumer0"}).status);
    EXPECT_TRUE(successor.expect("activated", 10s)) << successor.output();
    // The first one ending unbinds its own names only.
    EXPECT_EQ(0, rtctl(naming.address(), {"exit", "Test.cat_cxt/StereoConsumer.1.0.0.rtc"}).status);
    ASSERT_TRUE(consumer.process().wait(20s));
    const auto after = rtctl(naming.address(), {"list"});
    EXPECT_EQ(std::string::npos, after.output.find("StereoConsumer.1.0.0.rtc")) << after.output;
    EXPECT_EQ("ACTIVE\n", rtctl(naming.address(), {"state", "StereoConsumer0"}).output);
}

TEST(Startup, NamingDisabledReferencesGoToAFileOrACorbalocUrl) {
    char dir[] = "/tmp/remote-test-ior-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    const std::string file = std::string(dir) + "/components.ior";
    const int port = testsupport::freeLoopbackPort();
    Component consumer("stereo_consumer", "",
                       {"corba.ior_file:" + file, "corba.corbaloc:YES",
                        "corba.endpoints:127.0.0.1:" + std::to_string(port)});
    // With a file named, nothing is printed: wait for the file instead.
    std::string line;
    for (int i = 0; i < 200 && line.empty(); ++i) {
        std::ifstream in(file);
        std::getline(in, line);
        if (line.empty()) std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(0u, line.find("StereoConsumer0 IOR:")) << line;
    EXPECT_EQ(std::string::npos, consumer.output().find("naming")) << consumer.output();
    const std::string ior = line.substr(line.find(' ') + 1);
    EXPECT_EQ("INACTIVE\n", rtctl("", {"state", ior}).output);
    const std::string url = "corbaloc::127.0.0.1:" + std::to_string(port) + "/StereoConsumer0";
    EXPECT_EQ("INACTIVE\n", rtctl("", {"state", url}).output);

    EXPECT_EQ(0, rtctl("", {"exit", url}).status);
    ASSERT_TRUE(consumer.process().wait(20s));
    EXPECT_EQ(0, WEXITSTATUS(consumer.process().status()));
    // The file lists the components that are still there: none.
    std::ifstream after(file);
    std::string rest;
    EXPECT_FALSE(std::getline(after, rest) && !rest.empty()) << rest;
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}


// ---- shared memory ----

// The shared-memory segments `pid` has mapped, by name.
std::vector<std::string> segmentsOf(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::vector<std::string> names;
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find("/dev/shm/");
        if (at == std::string::npos) continue;
        std::string name = line.substr(at + 9);
        name = name.substr(0, name.find(' '));
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
}

bool segmentGone(const std::string& name, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (access(("/dev/shm/" + name).c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

const std::vector<std::string> kShm = {"-p", "dataport.interface_type=shared_memory"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Control, SharedMemoryCarriesMapsInEitherByteOrderAndGrowsForLargerOnes) {
    // 64 KiB to start with; maps of 1.28 MB and then 2.88 MB make it grow twice in a row.
    producer.reset(new Component("stereo_producer", naming.address(), {},
                                 {{"PRODUCER_BIG", "3:200x200,4:300x300"}}));
    const std::string id = ok(plus({"connect", "StereoProducer0:stereo", "StereoConsumer0:stereo",
                                    "-p", "dataport.shem_default_size=64k"},
                                   kShm));
    ok({"activate", "StereoConsumer0"});
    ok({"activate", "StereoProducer0"});
    bool intact = false;
    auto secs = consumer->received(6, 20s, &intact);
    EXPECT_EQ((std::vector<unsigned long>{1, 2, 3, 4, 5, 6}), secs) << consumer->output();
    EXPECT_TRUE(intact);
    for (const char* needle : {"got 3 200x200 ok", "got 4 300x300 ok"})
        EXPECT_NE(std::string::npos, consumer->output().find(needle)) << consumer->output();
    const auto segments = segmentsOf(producer->process().pid());
    ASSERT_EQ(1u, segments.size());
    struct stat st;
    ASSERT_EQ(0, stat(("/dev/shm/" + segments[0]).c_str(), &st));
    // Grown to the header and the 2.88 MB map exactly.
    EXPECT_GT(st.st_size, 300 * 300 * 32);
    EXPECT_LT(st.st_size, 300 * 300 * 32 + 40);

    ok({"deactivate", "StereoProducer0"});
    ok({"disconnect", "StereoProducer0:stereo", id.substr(0, id.size() - 1)});
    EXPECT_TRUE(segmentGone(segments[0], 5s));
    consumer->received(1000, 300ms);

    ok(plus({"connect", "StereoProducer0:stereo", "StereoConsumer0:stereo", "-p",
             "dataport.serializer.cdr.endian=big,little"},
            kShm));
    ok({"activate", "StereoProducer0"});
    secs = consumer->received(5, 20s, &intact);
    ASSERT_EQ(5u, secs.size()) << consumer->output();
    EXPECT_TRUE(consecutive(secs)) << seqText(secs);
    EXPECT_TRUE(intact);
    // Ended, not killed, so that its segment goes with it.
    producer->process().signal(SIGTERM);
    EXPECT_TRUE(producer->process().wait(20s));
}

TEST(SharedMemoryEnding, NoSegmentOutlivesItsConnectionHoweverItEnds) {
    NamingService naming;
    ASSERT_TRUE(naming.ready());
    const std::string out = "StereoProducer0:stereo", in = "StereoConsumer0:stereo";
    struct Ending {
        const char* name;
        std::function<void(Component& producer, Component& consumer)> end;
    };
    auto tool = [&](const std::vector<std::string>& args) {
        const auto r = rtctl(naming.address(), args);
        EXPECT_EQ(0, r.status) << r.output;
    };
    const std::vector<Ending> endings = {
        {"disconnect at the output port",
         [&](Component&, Component&) { tool({"disconnect", out}); }},
        {"disconnect at the input port", [&](Component&, Component&) { tool({"disconnect", in}); }},
        {"producer exits", [&](Component&, Component&) { tool({"exit", "StereoProducer0"}); }},
        {"consumer exits", [&](Component&, Component&) { tool({"exit", "StereoConsumer0"}); }},
        {"producer SIGTERM", [](Component& p, Component&) { p.process().signal(SIGTERM); }},
        {"producer SIGINT", [](Component& p, Component&) { p.process().signal(SIGINT); }},
        {"consumer SIGTERM", [](Component&, Component& c) { c.process().signal(SIGTERM); }},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        Component consumer("stereo_consumer", naming.address());
        Component producer("stereo_producer", naming.address());
        // Either port may come first in the profile.
        tool(plus({"connect", out, in}, kShm));
        tool({"activate", "StereoConsumer0"});
        tool({"activate", "StereoProducer0"});
        ASSERT_EQ(2u, consumer.received(2).size()) << consumer.output();
        const auto segments = segmentsOf(producer.process().pid());
        ASSERT_EQ(1u, segments.size());
        e.end(producer, consumer);
        EXPECT_TRUE(segmentGone(segments[0], 10s)) << segments[0];
    }
}

// Whether `component` has any connection left whose name says it is the probe's.
bool probeConnected(const std::string& naming, const std::string& component) {
    const auto r = rtctl(naming, {"show", component});
    return r.status != 0 || r.output.find("rtctl.probe") != std::string::npos;
}

TEST_F(Control, ProbesReportEachSecondAndDisconnectWhenTheyEnd) {
    ok({"activate", "StereoProducer0"});
    const std::string hz = ok({"hz", "StereoProducer0:stereo", "--count", "60"});
    EXPECT_NE(std::string::npos, hz.find(" Hz: interval mean ")) << hz;
    EXPECT_NE(std::string::npos, hz.find(" ms, dev ")) << hz;
    const std::string delay = ok({"delay", "StereoProducer0.rtc:stereo", "--seconds", "1.2"});
    EXPECT_EQ(0u, delay.find("delay ")) << delay;
    const std::string bw = ok({"bw", "StereoProducer0:stereo", "--count", "5", "-p",
                               "dataport.interface_type=shared_memory"});
    EXPECT_NE(std::string::npos, bw.find("MB/s, mean value 0.4 kB (")) << bw;  // 4x3 points
    EXPECT_FALSE(probeConnected(naming.address(), "StereoProducer0"));

    for (int sig : {SIGTERM, SIGINT}) {
        auto probe = remotetest::startRtctl(naming.address(), {"hz", "StereoProducer0:stereo"});
        ASSERT_TRUE(probe->waitForLine(" Hz", 20s)) << probe->output();
        probe->signal(sig);
        ASSERT_TRUE(probe->wait(20s));
        EXPECT_TRUE(WIFEXITED(probe->status()) && WEXITSTATUS(probe->status()) == 0)
            << probe->output();
        EXPECT_FALSE(probeConnected(naming.address(), "StereoProducer0")) << sig;
    }
}

TEST_F(Control, ProbeOfAnInputOrUnknownPortIsOneLineAndAFailure) {
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"hz", "StereoConsumer0:stereo"},
             {"delay", "StereoProducer0:nope"},
             {"bw", "Nobody0:stereo"},
             {"hz", "StereoProducer0:stereo", "-p", "dataport.interface_type=direct"},
             {"hz", "StereoProducer0:stereo", "-p", "dataport.dataflow_type=pull"}}) {
        const auto r = tool(bad);
        EXPECT_EQ(1, r.status) << r.output;
        EXPECT_EQ(1, std::count(r.output.begin(), r.output.end(), '\n')) << r.output;
    }
    EXPECT_NE(std::string::npos,
              tool({"hz", "StereoConsumer0:stereo"}).output.find("is an input port"));
}

TEST(Probe, ValuesShorterThanATimeStampAreReportedAndSkipped) {
    NamingService naming;
    ASSERT_TRUE(naming.ready());
    Component producer("stereo_producer", naming.address(), {}, {{"PRODUCER_SHORT", "2"}});
    ASSERT_FALSE(producer.ior().empty()) << producer.output();
    ASSERT_EQ(0, rtctl(naming.address(), {"activate", "StereoProducer0"}).status);
    const auto r = rtctl(naming.address(), {"delay", "StereoProducer0:stereo", "--count", "10"});
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_NE(
        std::string::npos,
        r.output.find("rtctl: skipping a value of 4 bytes, shorter than a time stamp (1 so far)"))
        << r.output;
    EXPECT_NE(std::string::npos, r.output.find("delay mean ")) << r.output;
    EXPECT_FALSE(probeConnected(naming.address(), "StereoProducer0"));
}

// Each value is recorded whole and in order as it arrived, in the byte order and over the
// transport of the probe's connection; the size limit ends the file whole, with one line.
TEST_F(Control, RecordKeepsEveryValueAsItArrivedOverEitherTransport) {
    testsupport::orb();
    ok({"activate", "StereoProducer0"});
    char dir[] = "/tmp/record-test-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(dir));
    for (const bool shm : {false, true}) {
        const std::string path = std::string(dir) + (shm ? "/shm.qrec" : "/cdr.qrec");
        const std::string out =
            ok({"record", path, "StereoProducer0:stereo", "--count", "10", "-p",
                std::string("dataport.interface_type=") + (shm ? "shared_memory" : "corba_cdr"),
                "-p", std::string("dataport.serializer.cdr.endian=") + (shm ? "little" : "big")});
        EXPECT_NE(std::string::npos, out.find("recorded 10 values")) << out;
        const recording::RecordingReader r(path);
        EXPECT_EQ("", r.problem());
        ASSERT_EQ(1u, r.ports().size());
        EXPECT_EQ("StereoProducer0.stereo", r.ports()[0].name);
        EXPECT_EQ("TimedStereoData", r.ports()[0].type);
        ASSERT_EQ(10u, r.values().size());
        std::vector<unsigned char> cdr;
        QOR::TimedStereoData map;
        CORBA::ULong previous = 0;
        for (std::size_t i = 0; i < r.values().size(); ++i) {
            const recording::RecordedValue& v = r.values()[i];
            EXPECT_EQ(shm, v.littleEndian);
            ASSERT_TRUE(r.read(v, cdr));
            ASSERT_TRUE(recording::decodeRecorded(cdr, v.littleEndian, map)) << i;
            EXPECT_TRUE(pattern::intact(map)) << i;
            if (i > 0) {
                EXPECT_GE(v.arrivalNs, r.values()[i - 1].arrivalNs);
                EXPECT_EQ(previous + 1, map.tm.sec) << "a value was lost or reordered";
            }
            previous = map.tm.sec;
        }
    }
    EXPECT_FALSE(probeConnected(naming.address(), "StereoProducer0"));

    // What info and export make of it, and of a file that is not a recording.
    const std::string cdrFile = std::string(dir) + "/cdr.qrec";
    const std::string out = std::string(dir) + "/out";
    const std::string info = ok({"info", cdrFile});
    EXPECT_NE(std::string::npos,
              info.find("port StereoProducer0.stereo (TimedStereoData): 10 values"))
        << info;
    EXPECT_NE(std::string::npos, ok({"export", cdrFile, out, "--every", "5"})
                                     .find("exported 0 frames and 2 depth maps"));
    const std::string json = out + "/StereoProducer0.stereo-000005.json";
    EXPECT_EQ(0, ::access((out + "/StereoProducer0.stereo-000005.npy").c_str(), F_OK));
    const auto bad = tool({"info", json});
    EXPECT_EQ(1, bad.status);
    EXPECT_EQ("rtctl: " + json + " is not a recording\n", bad.output);

    const std::string small = std::string(dir) + "/small.qrec";
    auto r = tool({"record", small, "StereoProducer0:stereo", "--max-bytes", "2K"});
    EXPECT_EQ(0, r.status) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("ended: the size limit of 2048 bytes is reached"))
        << r.output;
    EXPECT_EQ("", recording::RecordingReader(small).problem());
    EXPECT_GT(recording::RecordingReader(small).values().size(), 1u);
    r = tool({"record", small, "StereoProducer0:stereo", "--count", "1"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.output.find("cannot create " + small + ": File exists"))
        << r.output;
    (void)!std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
