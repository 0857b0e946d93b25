// rtcd: a host process for components that come from modules. It starts a manager from the
// command line and configuration (preloading modules, creating and activating components as
// configured), serves its manager object, and runs until shut down.
#include <rtm/Manager.h>

int main(int argc, char** argv) {
    RTC::Manager* manager = RTC::Manager::init(argc, argv);
    manager->activateManager();
    manager->runManager(false);
    return 0;
}
