// The shared component frame as a real program: start-up, lifecycle with data arriving through
// an in-process connection, shutdown on a signal, and the failure path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "ChildProcess.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> probeCommand() {
    return {testsupport::executableDir() + "/frame_probe", "-o", "naming.enable:NO", "-o",
            "logger.enable:NO", "-o", "exec_cxt.periodic.rate:200", "-o",
            "corba.endpoints:127.0.0.1:"};
}

TEST(Frame, RunsTheComponentThroughItsLifecycleAndEndsCleanlyOnSigterm) {
    testsupport::ChildProcess probe(probeCommand());
    ASSERT_TRUE(probe.waitForLine("initialized Probe0", 20s)) << probe.output();
    ASSERT_TRUE(probe.waitForLine("activated", 20s)) << probe.output();
    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(probe.waitForLine("received " + std::to_string(i), 20s)) << probe.output();
    ASSERT_TRUE(probe.waitForLine("deactivated", 20s)) << probe.output();
    EXPECT_TRUE(probe.running());

    probe.signal(SIGTERM);
    ASSERT_TRUE(probe.waitForLine("finalized", 20s)) << probe.output();
    ASSERT_TRUE(probe.wait(20s));
    EXPECT_TRUE(WIFEXITED(probe.status()));
    EXPECT_EQ(0, WEXITSTATUS(probe.status()));
}

TEST(Frame, SigintEndsItToo) {
    testsupport::ChildProcess probe(probeCommand());
    ASSERT_TRUE(probe.waitForLine("activated", 20s)) << probe.output();
    probe.signal(SIGINT);
    ASSERT_TRUE(probe.wait(20s));
    EXPECT_TRUE(WIFEXITED(probe.status()) && WEXITSTATUS(probe.status()) == 0);
}

TEST(Frame, FailedCreationIsReportedAndEndsTheProcessAbnormally) {
    testsupport::ChildProcess probe(probeCommand(), {{"PROBE_COMPONENT", "Missing"}},
                                    /*captureStderr=*/true);
    ASSERT_TRUE(probe.wait(20s));
    EXPECT_TRUE(WIFSIGNALED(probe.status()));
    EXPECT_EQ(SIGABRT, WTERMSIG(probe.status()));
    std::string line;
    while (probe.readLine(line, 5s)) {
    }
    EXPECT_NE(std::string::npos, probe.output().find("Component create failed.\n"))
        << probe.output();
}

}  // namespace
