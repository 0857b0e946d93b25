// The manager: configuration from defaults, file and command line; factories and component
// creation; shutdown. One manager per process, so every test here shares the one made first.
#include <gtest/gtest.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/Manager.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::atomic<int> g_live{0};
std::atomic<int> g_finalized{0};

class Counted : public RTC::DataFlowComponentBase {
public:
    explicit Counted(RTC::Manager* m) : RTC::DataFlowComponentBase(m) { ++g_live; }
    ~Counted() override { --g_live; }
    RTC::ReturnCode_t onInitialize() override {
        return std::string(getInstanceName()) == "refuse" ? RTC::RTC_ERROR : RTC::RTC_OK;
    }
    RTC::ReturnCode_t onFinalize() override {
        ++g_finalized;
        return RTC::RTC_OK;
    }
};

RTC::RTObject_impl* create(RTC::Manager* m) { return new Counted(m); }
void destroy(RTC::RTObject_impl* c) { delete c; }

const char* const kProfile[] = {"implementation_id", "Counted", "type_name", "Counted",
                                "category", "Test", ""};

RTC::Manager& manager() {
    static RTC::Manager* s_manager = [] {
        const std::string conf = "/tmp/manager_test_" + std::to_string(::getpid()) + ".conf";
        std::ofstream(conf) << "# a comment\n"
                               "exec_cxt.periodic.rate: 50\n"
                               "naming.enable: NO\n"
                               "logger.enable: NO\n"
                               "corba.endpoints: 127.0.0.1:\n"
                               "example.from_file: file\n"
                               "example.overridden: file\n";
        std::string a0 = "manager_test", a1 = "-f", a2 = conf, a3 = "-o",
                    a4 = "example.overridden: option", a5 = "-oexample.joined:yes";
        char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], &a4[0], &a5[0], nullptr};
        RTC::Manager* m = RTC::Manager::init(6, argv);
        std::remove(conf.c_str());
        coil::Properties profile(const_cast<const char**>(kProfile));
        m->registerFactory(profile, create, destroy);
        m->activateManager();
        return m;
    }();
    return *s_manager;
}

TEST(ManagerConfig, DefaultsFileAndOptionsInThatOrder) {
    coil::Properties& c = manager().getConfig();
    EXPECT_EQ("50", c.getProperty("exec_cxt.periodic.rate"));
    EXPECT_EQ("PeriodicExecutionContext", c.getProperty("exec_cxt.periodic.type"));
    EXPECT_EQ("%h.host_cxt/%n.rtc", c.getProperty("naming.formats"));
    EXPECT_EQ("YES", c.getProperty("manager.shutdown_on_nortcs"));
    EXPECT_EQ("file", c.getProperty("example.from_file"));
    EXPECT_EQ("option", c.getProperty("example.overridden"));
    EXPECT_EQ("yes", c.getProperty("example.joined"));
    EXPECT_EQ(std::to_string(::getpid()), c.getProperty("manager.pid"));
    EXPECT_EQ(&manager(), RTC::Manager::init(0, nullptr)) << "init makes one manager";
}

TEST(ManagerFactories, DuplicateOrIncompleteRegistrationsAreRefused) {
    coil::Properties again(const_cast<const char**>(kProfile));
    EXPECT_FALSE(manager().registerFactory(again, create, destroy));
    coil::Properties nameless;
    EXPECT_FALSE(manager().registerFactory(nameless, create, destroy));
    EXPECT_EQ(std::vector<std::string>{"Counted"}, manager().getFactoryIds());
}

TEST(ManagerComponents, CreationNamesInstancesAndAppliesArguments) {
    RTC::RTObject_impl* first = manager().createComponent("Counted");
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ("Counted0", first->getInstanceName());
    EXPECT_EQ(RTC::INACTIVE_STATE, first->getState());
    EXPECT_EQ("50", first->getProperties().getProperty("exec_cxt.periodic.rate"));
    EXPECT_EQ("Test", first->getProperties().getProperty("category"));

    RTC::RTObject_impl* named = manager().createComponent("Counted?instance_name=left&x=1");
    ASSERT_NE(nullptr, named);
    EXPECT_STREQ("left", named->getInstanceName());
    EXPECT_EQ("1", named->getProperties().getProperty("x"));
    EXPECT_EQ(named, manager().getComponent("left"));

    EXPECT_EQ(nullptr, manager().createComponent("Nothing"));
    EXPECT_EQ(nullptr, manager().createComponent(""));
    const int live = g_live;
    EXPECT_EQ(nullptr, manager().createComponent("Counted?instance_name=refuse"));
    EXPECT_EQ(live, g_live.load()) << "a component whose initialisation fails is disposed of";

    manager().deleteComponent(named);
    EXPECT_EQ(nullptr, manager().getComponent("left"));
    EXPECT_EQ(1u, manager().getComponents().size());
}

// Sets given at creation are kept under conf.<set>; the one "configuration.active_config" names
// is active once the component is initialised, or "default" when it names none.
TEST(ManagerComponents, CreationArgumentsMakeAndChooseConfigurationSets) {
    RTC::RTObject_impl* chosen = manager().createComponent(
        "Counted?conf.mode1.gain=4&conf.default.gain=1&configuration.active_config=mode1");
    ASSERT_NE(nullptr, chosen);
    EXPECT_EQ("mode1", chosen->getConfigService().getActiveId());
    coil::Properties set;
    ASSERT_TRUE(chosen->getConfigService().getActiveConfigurationSet(set));
    EXPECT_EQ("4", set.getProperty("gain"));

    RTC::RTObject_impl* missing =
        manager().createComponent("Counted?conf.mode1.gain=4&configuration.active_config=mode9");
    ASSERT_NE(nullptr, missing);
    EXPECT_EQ("default", missing->getConfigService().getActiveId());
    EXPECT_FALSE(missing->getConfigService().haveConfig("default"));
    manager().deleteComponent(chosen);
    manager().deleteComponent(missing);
}

TEST(ManagerShutdown, FinalisesAndDisposesEveryComponent) {
    manager().createComponent("Counted");
    const int finalizedBefore = g_finalized;
    const std::size_t count = manager().getComponents().size();
    ASSERT_GE(count, 1u);
    manager().shutdown();
    EXPECT_TRUE(manager().isShutdown());
    EXPECT_EQ(0, g_live.load());
    EXPECT_EQ(finalizedBefore + static_cast<int>(count), g_finalized.load());
    EXPECT_EQ(nullptr, manager().createComponent("Counted")) << "no creation after shutdown";
    manager().shutdown();
}

}  // namespace
