#include <frame/ComponentMain.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace frame {

namespace {

// Set once by runComponentProgram() before the manager calls the module init procedure.
RegisterFunc g_register = nullptr;
const char* g_componentName = nullptr;

void MyModuleInit(RTC::Manager* manager) {
    g_register(manager);
    RTC::RTObject_impl* comp = manager->createComponent(g_componentName);
    if (comp == NULL) {
        std::cerr << "Component create failed." << std::endl;
        abort();
    }
}

}  // namespace

int runComponentProgram(int argc, char** argv, RegisterFunc registerFunc,
                        const char* componentName) {
    g_register = registerFunc;
    g_componentName = componentName;
    RTC::Manager* manager = RTC::Manager::init(argc, argv);
    manager->setModuleInitProc(MyModuleInit);
    manager->activateManager();
    manager->runManager(false);
    return 0;
}

void leaveProcess(int status) {
    RTC::Manager& manager = RTC::Manager::instance();
    for (RTC::RTObject_impl* comp : manager.getComponents()) manager.unregisterComponent(comp);
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(status);
}

}  // namespace frame
