// How the manager's configuration comes together before anything runs: the middleware's
// defaults, then the first configuration file found, then the command line.
#ifndef RTM_MANAGERCONFIGURATION_H
#define RTM_MANAGERCONFIGURATION_H

#include <coil/Properties.h>

namespace RTC {

class ManagerConfiguration {
public:
    ManagerConfiguration() = delete;

    // The middleware's defaults for the keys it reads, as pairs of key and value ended by an
    // empty key, the form coil::Properties::setDefaults takes.
    static const char** defaults();
    // Reads the command line (-f, -i, -o, -d, -p, -a, -h) and the configuration file into
    // `config`, which holds the defaults: the file named by -f, else the first one found of
    // $RTC_MANAGER_CONFIG, ./rtc.conf and the system's; then the "os." defaults, "manager.pid",
    // the options, and "manager.instance_name" with "%p" replaced by the pid. -h prints the
    // options and ends the process; so does a file named by -f that cannot be read, unless -i.
    static void read(int argc, char** argv, coil::Properties& config);
};

}  // namespace RTC

#endif
