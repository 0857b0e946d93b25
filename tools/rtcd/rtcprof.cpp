// rtcprof <module file>: loads the module into a private manager, calls its init function (named
// after the file: "Morvane.so" -> MorvaneInit) and prints the profile of the one factory it
// registers as "key: value" lines. Exit status 255 when it registers none or several.
#include <rtm/Manager.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::string usage = "usage: rtcprof <module file>";
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        std::cout << usage << std::endl;
        return 0;
    }
    if (argc != 2) {
        std::cerr << usage << std::endl;
        return 255;
    }
    const std::string file = std::filesystem::absolute(argv[1]).lexically_normal().string();
    std::vector<std::string> args = {"rtcprof",
                                     "-f",
                                     "/dev/null",
                                     "-o",
                                     "manager.corba_servant:NO",
                                     "-o",
                                     "naming.enable:NO",
                                     "-o",
                                     "logger.enable:NO",
                                     "-o",
                                     "corba.endpoints:127.0.0.1:",
                                     "-o",
                                     "manager.modules.abs_path_allowed:YES"};
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    RTC::Manager* manager = RTC::Manager::init(static_cast<int>(args.size()), cargv.data());
    std::string error;
    // The init function as the middleware derives it from a bare file name.
    const std::string base = std::filesystem::path(file).filename().string();
    const std::string init = base.substr(0, base.find('.')) + "Init";
    int status = 255;
    if (!manager->loadModule(file, init, error)) {
        std::cerr << "rtcprof: " << file << ": " << error << std::endl;
    } else {
        const std::vector<coil::Properties> factories = manager->getFactoryProfiles();
        if (factories.size() == 1) {
            coil::Properties profile = factories.front();
            profile.list(std::cout);
            status = 0;
        } else {
            std::cerr << "rtcprof: " << file << " registers " << factories.size()
                      << " factories, not one" << std::endl;
        }
    }
    manager->shutdown();
    return status;
}
