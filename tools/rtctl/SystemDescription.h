// What rtctl saves of a running system and restores later: its components with their execution
// contexts, states and configuration sets, and the connections among their ports. Written as
// "key: value" text (the rtc.conf format), so that it can be read and edited by hand.
#pragma once

#include <coil/Properties.h>

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace rtctl {

struct SavedContext {
    std::string kind;  // "PERIODIC", "EVENT_DRIVEN" or "OTHER"
    double rate = 0.0;
};

struct SavedComponent {
    std::string path;  // as given to save, resolved the same way on restore
    std::string instanceName;
    std::string typeName;
    std::string state;  // in the component's own context: "ACTIVE", "INACTIVE", ...
    std::vector<SavedContext> contexts;  // owned, by handle
    std::string activeSet;               // empty when no set was active
    // Configuration sets, each named by its id; keys are relative to the set.
    std::vector<coil::Properties> sets;
};

struct SavedPort {
    std::size_t component = 0;  // index in SystemDescription::components
    std::string name;           // the port's full name, "Morvane0.stereo"
};

struct SavedConnection {
    std::string id;
    std::string name;
    std::vector<SavedPort> ports;  // in the connector profile's order
    coil::Properties properties;   // what the connection was asked for, without published objects
};

struct SystemDescription {
    std::vector<SavedComponent> components;
    std::vector<SavedConnection> connections;

    // Keys with empty values are not written (the text format keeps none).
    void write(std::ostream& out) const;
    // Throws std::runtime_error naming the first thing that does not fit.
    static SystemDescription read(std::istream& in);
};

}  // namespace rtctl
