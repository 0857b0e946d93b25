#include "SystemDescription.h"

#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace rtctl {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
    return out;
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) items.push_back(item);
    return items;
}

// A non-negative count or index written by write().
std::size_t number(const std::string& text, const std::string& key) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || n > 100000)
        throw std::runtime_error("\"" + key + "\" is not a count: \"" + text + "\"");
    return n;
}

// The subtree at `key` of `props`, copied under the name `name`.
coil::Properties subtree(const coil::Properties& props, const std::string& key,
                         const std::string& name) {
    coil::Properties out(name.c_str());
    if (const coil::Properties* node = props.findNode(key)) out << *node;
    return out;
}

void putTree(coil::Properties& root, const std::string& prefix, const coil::Properties& tree) {
    for (const std::string& key : tree.propertyNames())
        root.setProperty(prefix + key, tree.getProperty(key));
}

}  // namespace

void SystemDescription::write(std::ostream& out) const {
    coil::Properties root;
    root.setProperty("components", std::to_string(components.size()));
    for (std::size_t i = 0; i < components.size(); ++i) {
        const SavedComponent& c = components[i];
        const std::string at = "component." + std::to_string(i) + ".";
        root.setProperty(at + "path", c.path);
        root.setProperty(at + "instance_name", c.instanceName);
        root.setProperty(at + "type_name", c.typeName);
        root.setProperty(at + "state", c.state);
        root.setProperty(at + "contexts", std::to_string(c.contexts.size()));
        for (std::size_t k = 0; k < c.contexts.size(); ++k) {
            std::ostringstream rate;
            rate << std::setprecision(15) << c.contexts[k].rate;
            root.setProperty(at + "context." + std::to_string(k) + ".kind", c.contexts[k].kind);
            root.setProperty(at + "context." + std::to_string(k) + ".rate", rate.str());
        }
        root.setProperty(at + "active_set", c.activeSet);
        std::vector<std::string> ids;
        for (const coil::Properties& set : c.sets) {
            ids.push_back(set.getName());
            putTree(root, at + "set." + set.getName() + ".", set);
        }
        root.setProperty(at + "sets", joined(ids));
    }
    root.setProperty("connections", std::to_string(connections.size()));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        const SavedConnection& c = connections[i];
        const std::string at = "connection." + std::to_string(i) + ".";
        root.setProperty(at + "id", c.id);
        root.setProperty(at + "name", c.name);
        std::vector<std::string> ports;
        for (const SavedPort& p : c.ports)
            ports.push_back(std::to_string(p.component) + ":" + p.name);
        root.setProperty(at + "ports", joined(ports));
        putTree(root, at + "property.", c.properties);
    }
    root.store(out, " rtctl save: restore with \"rtctl restore FILE\"");
}

SystemDescription SystemDescription::read(std::istream& in) {
    coil::Properties root;
    root.load(in);
    SystemDescription d;
    const std::size_t nComponents = number(root.getProperty("components"), "components");
    for (std::size_t i = 0; i < nComponents; ++i) {
        const std::string at = "component." + std::to_string(i) + ".";
        SavedComponent c;
        c.path = root.getProperty(at + "path");
        if (c.path.empty()) throw std::runtime_error("\"" + at + "path\" is missing");
        c.instanceName = root.getProperty(at + "instance_name");
        c.typeName = root.getProperty(at + "type_name");
        c.state = root.getProperty(at + "state");
        const std::size_t nContexts =
            number(root.getProperty(at + "contexts", "0"), at + "contexts");
        for (std::size_t k = 0; k < nContexts; ++k) {
            const std::string ck = at + "context." + std::to_string(k) + ".";
            SavedContext ec;
            ec.kind = root.getProperty(ck + "kind");
            ec.rate = std::strtod(root.getProperty(ck + "rate").c_str(), nullptr);
            c.contexts.push_back(ec);
        }
        c.activeSet = root.getProperty(at + "active_set");
        for (const std::string& id : split(root.getProperty(at + "sets")))
            c.sets.push_back(subtree(root, at + "set." + id, id));
        d.components.push_back(c);
    }
    const std::size_t nConnections = number(root.getProperty("connections", "0"), "connections");
    for (std::size_t i = 0; i < nConnections; ++i) {
        const std::string at = "connection." + std::to_string(i) + ".";
        SavedConnection c;
        c.id = root.getProperty(at + "id");
        c.name = root.getProperty(at + "name");
        for (const std::string& item : split(root.getProperty(at + "ports"))) {
            const auto colon = item.find(':');
            SavedPort p;
            if (colon == std::string::npos || colon + 1 == item.size())
                throw std::runtime_error("\"" + at + "ports\" holds \"" + item +
                                         "\", not COMPONENT:PORT");
            p.component = number(item.substr(0, colon), at + "ports");
            p.name = item.substr(colon + 1);
            if (p.component >= nComponents)
                throw std::runtime_error("\"" + at + "ports\" names component " +
                                         std::to_string(p.component) + " of " +
                                         std::to_string(nComponents));
            c.ports.push_back(p);
        }
        if (c.ports.size() < 2)
            throw std::runtime_error("\"" + at + "ports\" names fewer than two ports");
        c.properties = subtree(root, at + "property", "");
        d.connections.push_back(c);
    }
    return d;
}

}  // namespace rtctl
