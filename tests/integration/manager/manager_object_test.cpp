// A raw client of the manager object (RTM::Manager) built from our IDL, against our rtcd hosting
// the component modules: the answers the middleware gives, the calls rtshell's rtcat, rtls and
// rtmgr make, masters and slaves, and the three modules in one host.
#include <gtest/gtest.h>
#include <rtm/RTC.h>
#include <rtm/RemoteUtil.h>
#include <rtm/idl/ManagerSkel.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <omniORB4/Naming.hh>
#include <sstream>
#include <thread>

#include "Orb.h"
#include "Processes.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using remotetest::Component;
using RTC::remote::findString;

struct TempDir {
    TempDir() {
        char dir[] = "/tmp/manager-object-test-XXXXXX";
        path = ::mkdtemp(dir);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

// One rtcd on a free loopback port; its manager object at corbaloc::127.0.0.1:<port>/manager.
struct Host {
    Host(const TempDir& tmp, const std::vector<std::string>& options,
         const std::string& naming = "", const std::map<std::string, std::string>& env = {}) {
        port = testsupport::freeLoopbackPort();
        std::vector<std::string> all = {
            "corba.endpoints:127.0.0.1:" + std::to_string(port),
            "corba.ior_file:" + tmp.path + "/ior" + std::to_string(port),
            "manager.modules.C++.profile_cmd:" RTCPROF_PATH,
            "manager.modules.C++.manager_cmd:" RTCD_PATH, "corba.master_manager:127.0.0.1:1"};
        all.insert(all.end(), options.begin(), options.end());
        process.reset(new Component(RTCD_PATH, naming, all, env));
    }
    // The manager object, once it answers.
    RTM::Manager_ptr manager(int atPort = 0) {
        const std::string url =
            "corbaloc::127.0.0.1:" + std::to_string(atPort ? atPort : port) + "/manager";
        for (int i = 0; i < 200; ++i) {
            try {
                CORBA::Object_var obj = testsupport::orb()->string_to_object(url.c_str());
                omniORB::setClientCallTimeout(obj, 20000);
                RTM::Manager_var m = RTM::Manager::_narrow(obj);
                if (!CORBA::is_nil(m)) return m._retn();
            } catch (const CORBA::TRANSIENT&) {
                // Not listening yet.
            } catch (const CORBA::OBJECT_NOT_EXIST&) {
                // Listening, but the manager object is not activated yet.
            }
            std::this_thread::sleep_for(50ms);
        }
        return RTM::Manager::_nil();
    }
    // Waits until the manager hosts `count` components (precreation follows the manager object).
    bool hosts(RTM::Manager_ptr m, CORBA::ULong count) {
        for (int i = 0; i < 200; ++i) {
            RTC::RTCList_var all = m->get_components();
            if (all->length() == count) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    bool exitsCleanly() {
        auto& p = process->process();
        return p.wait(20s) && WIFEXITED(p.status()) && WEXITSTATUS(p.status()) == 0;
    }
    int port = 0;
    std::unique_ptr<Component> process;
};

std::string text(const SDOPackage::NVList& list, const char* name) {
    std::string v;
    return findString(list, name, v) ? v : "<missing>";
}

std::string instanceOf(RTC::RTObject_ptr comp) {
    RTC::ComponentProfile_var p = comp->get_component_profile();
    return p->instance_name.in();
}

std::vector<std::string> moduleValues(const RTM::ModuleProfileList& list, const char* key) {
    std::vector<std::string> out;
    for (CORBA::ULong i = 0; i < list.length(); ++i) out.push_back(text(list[i].properties, key));
    std::sort(out.begin(), out.end());
    return out;
}

// The modules spread over a directory tree, so that finding them takes the recursive search.
void layOutModules(const std::string& root) {
    fs::create_directories(root + "/a/b");
    fs::copy_file(MODULE_DIR "/StereoCameraSim.so", root + "/a/b/StereoCameraSim.so");
    fs::copy_file(MODULE_DIR "/Kaleth.so", root + "/Kaleth.so");
    fs::copy_file(MODULE_DIR "/Morvane.so", root + "/a/Morvane.so");
}

TEST(ManagerObject, AnswersAsTheMiddlewareDoes) {
    TempDir tmp;
    const std::string mods = tmp.path + "/mods";
    layOutModules(mods);
    // Preload by bare name (the suffix rule) found two directories down; a precreate.
    // A section of the configuration for one instance, "<category>.<instance>.*".
    Host host(tmp, {"manager.modules.load_path:" + mods, "manager.modules.preload:StereoCameraSim",
                    "manager.components.precreate:StereoCameraSim", "Camera.foo7.extra:conf"});
    RTM::Manager_var m = host.manager();
    ASSERT_FALSE(CORBA::is_nil(m)) << host.process->output();
    ASSERT_TRUE(host.hosts(m, 1)) << host.process->output();
    EXPECT_FALSE(m->is_master());

    // Profile: the manager branch in configuration order, without its prefix, then os.*.
    RTM::ManagerProfile_var profile = m->get_profile();
    const SDOPackage::NVList& props = profile->properties;
    ASSERT_GE(props.length(), 4u);
    EXPECT_STREQ("instance_name", props[0].name.in());
    EXPECT_STREQ("name", props[1].name.in());
    EXPECT_STREQ("naming_formats", props[2].name.in());
    EXPECT_STREQ("pid", props[3].name.in());
    EXPECT_EQ(std::to_string(host.process->process().pid()), text(props, "pid"));
    EXPECT_EQ("%h.host_cxt/%n.mgr", text(props, "naming_formats"));
    EXPECT_EQ("so", text(props, "modules.C++.suffixes"));
    EXPECT_EQ(remotetest::hostName(), text(props, "os.hostname"));
    EXPECT_EQ("<missing>", text(props, "refstring_path"));

    // Loaded: the absolute path as found. Loadable: every module below the load path.
    RTM::ModuleProfileList_var loaded = m->get_loaded_modules();
    EXPECT_EQ(std::vector<std::string>{mods + "/a/b/StereoCameraSim.so"},
              moduleValues(loaded, "file_path"));
    RTM::ModuleProfileList_var loadable = m->get_loadable_modules();
    EXPECT_EQ((std::vector<std::string>{"Kaleth.so", "Morvane.so", "StereoCameraSim.so"}),
              moduleValues(loadable, "module_file_name"));
    EXPECT_EQ((std::vector<std::string>{"C++", "C++", "C++"}), moduleValues(loadable, "language"));
    EXPECT_EQ((std::vector<std::string>{"Kaleth", "Morvane", "StereoCameraSim"}),
              moduleValues(loadable, "implementation_id"));
    RTM::ModuleProfileList_var factories = m->get_factory_profiles();
    EXPECT_EQ(std::vector<std::string>{"StereoCameraSim"},
              moduleValues(factories, "implementation_id"));

    // create_component: what is refused answers nil, never an exception.
    for (const char* refused :
         {"", "StereoCameraSim?a=1?b=2", "Nobody", "RTC:qor-viewers.org::StereoCameraSim::2.0",
          "RTC:x:StereoCameraSim", "XYZ:::StereoCameraSim::"}) {
        RTC::RTObject_var c = m->create_component(refused);
        EXPECT_TRUE(CORBA::is_nil(c)) << refused;
    }
    // The query: explicit instance name, properties, a dropped item; the name still uses a number.
    RTC::RTObject_var foo = m->create_component(
        "RTC:qor-viewers.org:::C++:?instance_name=foo7&foo=bar&junk&x=1=2&camera.rate=5&");
    EXPECT_TRUE(CORBA::is_nil(foo)) << "an empty implementation id names nothing";
    foo = m->create_component(
        "StereoCameraSim?instance_name=foo7&foo=bar&junk&x=1=2&exec_cxt.periodic.rate=50&");
    ASSERT_FALSE(CORBA::is_nil(foo));
    RTC::ComponentProfile_var fooProfile = foo->get_component_profile();
    EXPECT_STREQ("foo7", fooProfile->instance_name.in());
    EXPECT_EQ("bar", text(fooProfile->properties, "foo"));
    EXPECT_EQ("conf", text(fooProfile->properties, "extra"));
    EXPECT_EQ("50", text(fooProfile->properties, "exec_cxt.periodic.rate"));
    EXPECT_EQ("<missing>", text(fooProfile->properties, "x"));
    EXPECT_EQ("<missing>", text(fooProfile->properties, "junk"));
    RTC::RTObject_var next = m->create_component("RTC:::StereoCameraSim::?");
    ASSERT_FALSE(CORBA::is_nil(next));
    EXPECT_EQ("StereoCameraSim2", instanceOf(next));

    // An unknown type that a loadable module offers is loaded on demand (search_auto).
    RTC::RTObject_var kaleth = m->create_component("Kaleth");
    ASSERT_FALSE(CORBA::is_nil(kaleth)) << host.process->output();
    EXPECT_EQ("Kaleth0", instanceOf(kaleth));
    loaded = m->get_loaded_modules();
    EXPECT_EQ(2u, loaded->length());

    RTC::RTCList_var all = m->get_components();
    RTC::ComponentProfileList_var profiles = m->get_component_profiles();
    ASSERT_EQ(4u, all->length());
    ASSERT_EQ(4u, profiles->length());
    EXPECT_STREQ("StereoCameraSim0", profiles[0].instance_name.in());
    EXPECT_STREQ("Kaleth0", profiles[3].instance_name.in());
    const std::string category = fooProfile->category.in();
    for (const auto& c : std::vector<std::pair<std::string, CORBA::ULong>>{
             {"foo7", 1}, {"*/foo7", 1}, {category + "/foo7", 1}, {"Wrong/foo7", 0}, {"", 0}}) {
        RTC::RTCList_var found = m->get_components_by_name(c.first.c_str());
        EXPECT_EQ(c.second, found->length()) << c.first;
    }

    EXPECT_EQ(RTC::RTC_OK, m->delete_component("foo7"));
    EXPECT_EQ(RTC::BAD_PARAMETER, m->delete_component("foo7-not-there"));
    for (int i = 0; i < 100; ++i) {
        all = m->get_components();
        if (all->length() == 3) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(3u, all->length());

    // load_module answers what happened (the middleware answers RTC_OK whatever happens).
    EXPECT_EQ(RTC::BAD_PARAMETER, m->load_module("Nothing.so", ""));
    EXPECT_EQ(RTC::BAD_PARAMETER, m->load_module("Morvane", ""));  // no suffix is added here
    EXPECT_EQ(RTC::BAD_PARAMETER,
              m->load_module((mods + "/a/Morvane.so").c_str(), ""));  // "<dir>/MorvaneInit"
    loaded = m->get_loaded_modules();
    EXPECT_EQ(3u, loaded->length());
    factories = m->get_factory_profiles();
    EXPECT_EQ(2u, factories->length()) << "Morvane's init function never ran";
    EXPECT_EQ(RTC::RTC_OK, m->load_module("Morvane.so", "MorvaneInit"));
    factories = m->get_factory_profiles();
    EXPECT_EQ(3u, factories->length());

    EXPECT_THROW(m->unload_module("/not/loaded.so"), CORBA::UNKNOWN);
    EXPECT_EQ(RTC::RTC_OK, m->unload_module((mods + "/a/Morvane.so").c_str()));
    loaded = m->get_loaded_modules();
    EXPECT_EQ(2u, loaded->length());

    // Configuration: the whole of it, and a key set through the object.
    EXPECT_EQ(RTC::RTC_OK, m->set_configuration("example.key", "value"));
    RTM::NVList_var config = m->get_configuration();
    EXPECT_EQ("value", text(config, "example.key"));
    EXPECT_EQ("NO", text(config, "manager.modules.abs_path_allowed"));
    EXPECT_EQ(mods, text(config, "manager.modules.load_path"));
    EXPECT_EQ(std::to_string(host.port), text(config, "corba.endpoints").substr(10));

    // The rest: links refuse duplicates and absent managers; the others do nothing.
    EXPECT_EQ(RTC::RTC_OK, m->add_slave_manager(m));
    EXPECT_EQ(RTC::BAD_PARAMETER, m->add_slave_manager(m));
    EXPECT_EQ(RTC::RTC_OK, m->remove_slave_manager(m));
    EXPECT_EQ(RTC::BAD_PARAMETER, m->remove_master_manager(m));
    EXPECT_EQ(RTC::RTC_OK, m->fork());
    EXPECT_EQ(RTC::RTC_OK, m->restart());
    CORBA::Object_var service = m->get_service("anything");
    EXPECT_TRUE(CORBA::is_nil(service));

    EXPECT_EQ(RTC::RTC_OK, m->shutdown());
    EXPECT_TRUE(host.exitsCleanly()) << host.process->output();
}

// Code, commands and files come only from the process's own configuration: module paths stay
// below the load path unless the command line allows absolute ones, and set_configuration leaves
// the keys that choose them alone. Each refusal answers an error code and says why in one line.
TEST(ManagerObject, LoadsCodeAndReadsFilesOnlyWhereItsOwnConfigurationSays) {
    TempDir tmp;
    const std::string mods = tmp.path + "/mods";
    layOutModules(mods);
    fs::create_directories(tmp.path + "/outside");
    const std::string evil = tmp.path + "/outside/Evil.so";
    fs::copy_file(MODULE_DIR "/Morvane.so", evil);
    const std::string ran = tmp.path + "/ran";
    Host host(tmp, {"manager.modules.load_path:" + mods});
    RTM::Manager_var m = host.manager();
    ASSERT_FALSE(CORBA::is_nil(m)) << host.process->output();

    for (const std::string& path :
         {std::string("../outside/Evil.so"), std::string("a/../../outside/Evil.so"),
          mods + "/../outside/Evil.so", evil, std::string("/lib/x86_64-linux-gnu/libc.so.6"),
          std::string("http://127.0.0.1:1/Evil.so")})
        EXPECT_EQ(RTC::PRECONDITION_NOT_MET, m->load_module(path.c_str(), "MorvaneInit")) << path;
    EXPECT_EQ(0u, RTM::ModuleProfileList_var(m->get_loaded_modules())->length());
    EXPECT_TRUE(host.process->process().waitForLine(
        "manager: load_module(\"../outside/Evil.so\") refused (PRECONDITION_NOT_MET): \"..\" is "
        "not allowed in module paths",
        10s))
        << host.process->output();
    // Absolute paths inside the load path are its own; the init function is the module's own.
    EXPECT_EQ(RTC::BAD_PARAMETER, m->load_module("Kaleth.so", "abort"));
    EXPECT_EQ(RTC::RTC_OK, m->load_module((mods + "/a/Morvane.so").c_str(), "MorvaneInit"));

    struct Case {
        std::string key, value;
        RTC::ReturnCode_t answer;
    };
    for (const Case& c : std::vector<Case>{
             {"manager.modules.abs_path_allowed", "YES", RTC::PRECONDITION_NOT_MET},
             {"manager.modules.load_path", tmp.path + "/outside", RTC::PRECONDITION_NOT_MET},
             {"manager.modules.C++.profile_cmd", "touch " + ran, RTC::PRECONDITION_NOT_MET},
             {"manager.modules.C++.manager_cmd", "touch " + ran, RTC::PRECONDITION_NOT_MET},
             {"manager.is_master", "YES", RTC::PRECONDITION_NOT_MET},
             {"corba.nameservers", "127.0.0.1:1", RTC::PRECONDITION_NOT_MET},
             {"Camera.StereoCameraSim.config_file", "/etc/passwd", RTC::PRECONDITION_NOT_MET},
             {"config_file", "/etc/passwd", RTC::PRECONDITION_NOT_MET},
             {"", "x", RTC::BAD_PARAMETER},
             {"example." + std::string(100000, '.'), "x", RTC::BAD_PARAMETER},
             {"example.big", std::string(5000, 'x'), RTC::BAD_PARAMETER}})
        EXPECT_EQ(c.answer, m->set_configuration(c.key.c_str(), c.value.c_str())) << c.key;
    EXPECT_TRUE(host.process->process().waitForLine(
        "manager: set_configuration(\"Camera.StereoCameraSim.config_file\") refused "
        "(PRECONDITION_NOT_MET): a config_file names a file to read",
        10s))
        << host.process->output();
    RTM::NVList_var config = m->get_configuration();
    EXPECT_EQ("NO", text(config, "manager.modules.abs_path_allowed"));
    EXPECT_EQ("<missing>", text(config, "Camera.StereoCameraSim.config_file"));
    EXPECT_EQ(RTC::PRECONDITION_NOT_MET, m->load_module(evil.c_str(), "MorvaneInit"));
    RTM::ModuleProfileList_var loadable = m->get_loadable_modules();
    EXPECT_EQ(3u, loadable->length());
    EXPECT_FALSE(fs::exists(ran));
    // A section key that chooses no file still reaches the new component.
    EXPECT_EQ(RTC::RTC_OK, m->set_configuration("Camera.StereoCameraSim.extra", "yes"));
    RTC::RTObject_var camera = m->create_component("StereoCameraSim");
    ASSERT_FALSE(CORBA::is_nil(camera)) << host.process->output();
    RTC::ComponentProfile_var profile = camera->get_component_profile();
    EXPECT_EQ("yes", text(profile->properties, "extra"));
    EXPECT_EQ("<missing>", text(profile->properties, "root"));

    // Absolute paths anywhere when the command line says so; its commands run without a shell.
    Host open(tmp, {"manager.modules.load_path:" + mods, "manager.modules.abs_path_allowed:YES",
                    "manager.modules.C++.profile_cmd:" RTCPROF_PATH " ;touch " + ran});
    RTM::Manager_var m2 = open.manager();
    ASSERT_FALSE(CORBA::is_nil(m2)) << open.process->output();
    EXPECT_EQ(RTC::RTC_OK, m2->load_module(evil.c_str(), "MorvaneInit"));
    loadable = m2->get_loadable_modules();
    EXPECT_FALSE(fs::exists(ran));

    EXPECT_EQ(RTC::RTC_OK, m->shutdown());
    EXPECT_EQ(RTC::RTC_OK, m2->shutdown());
    EXPECT_TRUE(host.exitsCleanly()) << host.process->output();
    EXPECT_TRUE(open.exitsCleanly()) << open.process->output();
}

// The configuration has one lock: clients changing and reading it at once, and keys too deep to
// keep, leave the manager answering.
TEST(ManagerObject, ConfigurationTakesConcurrentAndHostileChanges) {
    TempDir tmp;
    Host host(tmp, {});
    RTM::Manager_var m = host.manager();
    ASSERT_FALSE(CORBA::is_nil(m)) << host.process->output();
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t)
        clients.emplace_back([&, t] {
            try {
                for (int i = 0; i < 300; ++i) {
                    const std::string key = "example.k" + std::to_string((i * 7 + t) % 50);
                    if (m->set_configuration(key.c_str(), std::to_string(i).c_str()) != RTC::RTC_OK)
                        ++failures;
                    if (i % 10 == 0) RTM::NVList_var(m->get_configuration());
                }
            } catch (const CORBA::Exception&) {
                ++failures;
            }
        });
    for (std::thread& c : clients) c.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_NE("<missing>", text(RTM::NVList_var(m->get_configuration()), "example.k49"));
    // Keys past the bound of changed keys are refused; those already changed still change.
    RTC::ReturnCode_t last = RTC::RTC_OK;
    for (int i = 0; i < 300 && last == RTC::RTC_OK; ++i)
        last = m->set_configuration(("example.more" + std::to_string(i)).c_str(), "1");
    EXPECT_EQ(RTC::OUT_OF_RESOURCES, last);
    EXPECT_EQ(RTC::RTC_OK, m->set_configuration("example.k1", "again"));
    EXPECT_EQ(RTC::BAD_PARAMETER, m->set_configuration(std::string(100000, '.').c_str(), "deep"));
    EXPECT_TRUE(host.process->process().running());
    EXPECT_EQ(RTC::RTC_OK, m->shutdown());
    EXPECT_TRUE(host.exitsCleanly()) << host.process->output();
}

// Pids of the hosts a master listening on `masterPort` started (their command lines say so).
std::vector<pid_t> hostsStartedBy(int masterPort) {
    std::vector<pid_t> out;
    const std::string master = "corba.master_manager:127.0.0.1:" + std::to_string(masterPort);
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(master + " ") != std::string::npos &&
            cmdline.find("manager.instance_name:manager_%p") != std::string::npos)
            out.push_back(std::stoi(name));
    }
    return out;
}

// Gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto paren = line.rfind(')');
    return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z';
}

// The local addresses listening on `port` (hex, as /proc/net/tcp writes them).
std::vector<std::string> listeners(int port) {
    std::vector<std::string> out;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted)
                out.push_back(local.substr(0, local.size() - 5));
        }
    }
    return out;
}

// A host that never registers is ended once the master stops waiting for it. The master's own
// port stays on the endpoints' interface.
TEST(ManagerObject, MasterEndsAHostThatNeverRegisters) {
    TempDir tmp;
    const std::string script = tmp.path + "/silent-host";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\necho $$ > " << tmp.path << "/pid\nexec sleep 60\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    const int masterPort = testsupport::freeLoopbackPort();
    Host boss(tmp, {"corba.master_manager:127.0.0.1:" + std::to_string(masterPort),
                    "manager.is_master:YES", "manager.modules.load_path:" MODULE_DIR,
                    "manager.modules.C++.manager_cmd:" + script});
    RTM::Manager_var m = boss.manager(masterPort);
    ASSERT_FALSE(CORBA::is_nil(m)) << boss.process->output();
    EXPECT_EQ(std::vector<std::string>{"0100007F"}, listeners(masterPort));
    RTC::RTObject_var none = m->create_component("Morvane");
    EXPECT_TRUE(CORBA::is_nil(none));
    std::ifstream pidFile(tmp.path + "/pid");
    pid_t pid = 0;
    ASSERT_TRUE(pidFile >> pid) << boss.process->output();
    bool gone = false;
    for (int i = 0; i < 200 && !(gone = ended(pid)); ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(gone);
    EXPECT_TRUE(
        boss.process->process().waitForLine("did not register within 10 s and was ended", 5s))
        << boss.process->output();
    EXPECT_EQ(RTC::RTC_OK, m->shutdown());
    EXPECT_TRUE(boss.exitsCleanly()) << boss.process->output();
}

// A master (rtcd -d) in naming, a slave that registers with it once it is up, creation in slaves,
// and the calls rtshell makes: rtls and rtcat on the manager node, rtmgr by corbaloc.
TEST(ManagerObject, MasterSlavesAndTheCallsOfRtshell) {
    TempDir tmp;
    remotetest::NamingService naming;
    ASSERT_TRUE(naming.ready());
    const int masterPort = testsupport::freeLoopbackPort();
    const std::string master = "corba.master_manager:127.0.0.1:" + std::to_string(masterPort);
    // The slave first: it keeps trying every 0.2 s until the master answers.
    Host slave(
        tmp,
        {master, "corba.update_master_manager.interval:0.2", "manager.shutdown_auto:NO",
         "manager.instance_name:slave1", "manager.modules.search_auto:NO",
         "manager.modules.load_path:" MODULE_DIR, "manager.modules.preload:StereoCameraSim.so",
         "manager.components.precreate:StereoCameraSim"},
        naming.address());
    Host boss(tmp, {master, "manager.is_master:YES", "manager.modules.load_path:" MODULE_DIR},
              naming.address());
    RTM::Manager_var m = boss.manager(masterPort);
    ASSERT_FALSE(CORBA::is_nil(m)) << boss.process->output();
    EXPECT_TRUE(m->is_master());
    RTM::ManagerList_var slaves;
    for (int i = 0; i < 200; ++i) {
        slaves = m->get_slave_managers();
        if (slaves->length() == 1) break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(1u, slaves->length()) << slave.process->output();
    RTM::Manager_var s = slave.manager();
    RTM::ManagerList_var mastersOfSlave = s->get_master_managers();
    ASSERT_EQ(1u, mastersOfSlave->length());
    EXPECT_TRUE(mastersOfSlave[0]->_is_equivalent(m));

    // rtls: the binding of kind "mgr", narrowed; its components and its slaves by profile name.
    const std::string path = remotetest::hostName() + ".host_cxt/manager.mgr";
    CORBA::Object_var bound = testsupport::orb()->string_to_object(
        ("corbaname::" + naming.address() + "#" + path).c_str());
    RTM::Manager_var viaNaming = RTM::Manager::_narrow(bound);
    ASSERT_FALSE(CORBA::is_nil(viaNaming));
    // The slave registers as soon as its manager object exists, before it creates its component.
    ASSERT_TRUE(boss.hosts(viaNaming, 1)) << "the slave's component, listed by the master";
    RTC::RTCList_var comps = viaNaming->get_components();
    EXPECT_EQ("StereoCameraSim0", instanceOf(comps[0]));
    RTM::ManagerProfile_var slaveProfile = slaves[0]->get_profile();
    EXPECT_EQ("manager", text(slaveProfile->properties, "name"));
    // Only a master is in naming.
    EXPECT_TRUE(viaNaming->is_master());
    EXPECT_ANY_THROW(testsupport::orb()->string_to_object(
        ("corbaname::" + naming.address() + "#" + remotetest::hostName() + ".host_cxt/slave1.mgr")
            .c_str()));

    // rtcat: every key it prints, present except refstring_path; then the module lists.
    RTM::ManagerProfile_var profile = viaNaming->get_profile();
    for (const char* key :
         {"name", "instance_name", "pid", "naming_formats", "components.precreate",
          "modules.load_path", "modules.config_path", "modules.preload", "modules.init_func_prefix",
          "modules.init_func_suffix", "modules.download_allowed", "modules.abs_path_allowed",
          "os.version", "os.arch", "os.release", "os.hostname", "os.name"})
        EXPECT_NE("<missing>", text(profile->properties, key)) << key;
    RTM::ModuleProfileList_var loadable = viaNaming->get_loadable_modules();
    EXPECT_EQ(3u, loadable->length());
    RTM::ModuleProfileList_var loaded = viaNaming->get_loaded_modules();
    EXPECT_EQ(0u, loaded->length());

    // rtmgr by address, here the master's other endpoint: a master creates in a slave, never in
    // itself.
    RTM::Manager_var byAddress = boss.manager();
    ASSERT_TRUE(byAddress->_is_equivalent(m) || byAddress->is_master());
    RTC::RTObject_var made = byAddress->create_component("StereoCameraSim");
    ASSERT_FALSE(CORBA::is_nil(made));
    EXPECT_EQ("StereoCameraSim1", instanceOf(made));
    RTC::RTCList_var inSlave = s->get_components_by_name("StereoCameraSim1");
    EXPECT_EQ(1u, inSlave->length());
    EXPECT_EQ(RTC::BAD_PARAMETER, byAddress->delete_component("StereoCameraSim1"))
        << "delete is local to the manager asked";
    EXPECT_EQ(RTC::RTC_OK, s->delete_component("StereoCameraSim1"));

    // The slave cannot make a Morvane (it loads no modules on demand), nor can a manager that
    // does not exist; without routing, the master starts a new slave host with our rtcd and
    // creates it there.
    RTC::RTObject_var none = byAddress->create_component("Morvane?manager_name=nobody");
    EXPECT_TRUE(CORBA::is_nil(none));
    // A type no loadable module offers starts no host.
    for (const char* nothing : {"", "?", "RTC:::::", "Nobody", "RTC:::Morvane:Python:"})
        EXPECT_TRUE(CORBA::is_nil(RTC::RTObject_var(byAddress->create_component(nothing))))
            << nothing;
    EXPECT_EQ(1u, RTM::ManagerList_var(m->get_slave_managers())->length());
    EXPECT_EQ(0u, hostsStartedBy(masterPort).size());
    RTC::RTObject_var started = byAddress->create_component("Morvane");
    ASSERT_FALSE(CORBA::is_nil(started)) << boss.process->output();
    EXPECT_EQ("Morvane0", instanceOf(started));
    EXPECT_EQ(1u, hostsStartedBy(masterPort).size());
    slaves = m->get_slave_managers();
    ASSERT_EQ(2u, slaves->length()) << boss.process->output();
    RTM::ManagerProfile_var newProfile = slaves[1]->get_profile();
    EXPECT_EQ(0u, text(newProfile->properties, "instance_name").find("manager_"));
    // It names itself where the master does, and listens where the master does.
    RTM::NVList_var newConfig = slaves[1]->get_configuration();
    EXPECT_EQ(naming.address(), text(newConfig, "corba.nameservers"));
    EXPECT_EQ("127.0.0.1:", text(newConfig, "corba.endpoints").substr(0, 10));

    // Shut down: the slaves first (the started one has no automatic end), then the master, which
    // unbinds its name.
    for (CORBA::ULong i = 0; i < slaves->length(); ++i) slaves[i]->shutdown();
    EXPECT_TRUE(slave.exitsCleanly()) << slave.process->output();
    EXPECT_EQ(RTC::RTC_OK, m->shutdown());
    EXPECT_TRUE(boss.exitsCleanly()) << boss.process->output();
    EXPECT_ANY_THROW(testsupport::orb()->string_to_object(
        ("corbaname::" + naming.address() + "#" + path).c_str()));
}

// The three modules in one rtcd, from both preload lists and in both forms; both viewers, and a
// second depth viewer made later, run side by side with their windows.
TEST(Rtcd, PreloadsTheModulesAndCreatesTheirComponents) {
    TempDir tmp;
    Host host(
        tmp,
        {"manager.modules.load_path:" MODULE_DIR, "manager.preload.modules:StereoCameraSim.so",
         "manager.modules.preload: Morvane.so(MorvaneInit), Kaleth ",
         "manager.components.precreate:StereoCameraSim,Morvane,Kaleth",
         "manager.components.preactivation:Morvane0,StereoCameraSim0,Kaleth0"},
        "", {{"QT_QPA_PLATFORM", "offscreen"}});
    RTM::Manager_var m = host.manager();
    ASSERT_FALSE(CORBA::is_nil(m)) << host.process->output();
    ASSERT_TRUE(host.hosts(m, 3)) << host.process->output();
    RTC::ComponentProfileList_var profiles = m->get_component_profiles();
    ASSERT_EQ(3u, profiles->length()) << host.process->output();
    EXPECT_STREQ("StereoCameraSim0", profiles[0].instance_name.in());
    EXPECT_STREQ("Morvane0", profiles[1].instance_name.in());
    EXPECT_STREQ("Kaleth0", profiles[2].instance_name.in());
    RTM::ModuleProfileList_var loaded = m->get_loaded_modules();
    EXPECT_EQ(3u, loaded->length());
    RTC::RTObject_var second = m->create_component("Morvane");
    ASSERT_FALSE(CORBA::is_nil(second)) << host.process->output();
    RTC::ExecutionContextList_var secondEcs = second->get_owned_contexts();
    ASSERT_EQ(1u, secondEcs->length());
    EXPECT_EQ(RTC::RTC_OK, secondEcs[0]->activate_component(second));

    // Every component runs, the viewers with their windows.
    RTC::RTCList_var comps = m->get_components();
    ASSERT_EQ(4u, comps->length());
    for (CORBA::ULong i = 0; i < comps->length(); ++i) {
        RTC::ExecutionContextList_var ecs = comps[i]->get_owned_contexts();
        ASSERT_EQ(1u, ecs->length());
        RTC::LifeCycleState state = RTC::INACTIVE_STATE;
        for (int k = 0; k < 100 && state != RTC::ACTIVE_STATE; ++k) {
            state = ecs[0]->get_component_state(comps[i]);
            if (state != RTC::ACTIVE_STATE) std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(RTC::ACTIVE_STATE, state) << instanceOf(comps[i]);
    }

    host.process->process().signal(SIGTERM);
    EXPECT_TRUE(host.exitsCleanly()) << host.process->output();
}

}  // namespace
