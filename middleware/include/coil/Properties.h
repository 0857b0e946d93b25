// coil::Properties as OpenRTM-aist 1.x declares it: a tree of named string values addressed by
// dotted keys, with a per-node default, readable from and writable to the rtc.conf text format.
// Code written against the middleware's header builds against this one unchanged.
#pragma once

#include <climits>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace coil {

// Each node has a name, a value and a default value; a key "a.b.c" names the node "c" under "b"
// under "a". A node's effective value is its value, or its default when the value is empty.
// Nodes own their children; copies are deep and independent of the original.
class Properties {
public:
    // A key names at most this many levels: the parts after the last level stay one name, dots
    // and all, so that no key, however many dots it holds, makes the tree deeper than this.
    static constexpr int kMaxKeyDepth = 64;

    // A single node (usually the root) with the given name and value and no children.
    Properties(const char* key = "", const char* value = "");
    // Each pair becomes a default value; key and value are trimmed of blanks.
    Properties(std::map<std::string, std::string>& defaults);
    // See setDefaults().
    Properties(const char* defaults[], long num = LONG_MAX);
    Properties(const Properties& prop);
    // Replaces name, values and children with deep copies of prop's. A node that sits in a tree
    // keeps its own name so that its key stays valid.
    Properties& operator=(const Properties& prop);
    // Deletes the children and detaches this node from its parent, if it still has one.
    virtual ~Properties();

    const char* getName() const { return m_name.c_str(); }
    const char* getValue() const { return m_value.c_str(); }
    const char* getDefaultValue() const { return m_defaultValue.c_str(); }
    // The direct children in insertion order; they stay owned by this node.
    const std::vector<Properties*>& getLeaf() const { return m_leaf; }
    // The parent node; null for a root and for a node detached with removeNode().
    const Properties* getRoot() const { return m_root; }

    // The effective value of the node at key; an empty string when there is no such node.
    const std::string& getProperty(const std::string& key) const;
    // As above, but def (returned by reference) when the effective value is empty.
    const std::string& getProperty(const std::string& key, const std::string& def) const;
    // Same as getProperty(key).
    const std::string& operator[](const std::string& key) const;
    // Creates the node if needed; an empty value first takes the node's default, so reading the
    // reference gives the effective value and writing it sets the value.
    std::string& operator[](const std::string& key);
    // The node's default value; empty when there is no such node.
    const std::string& getDefault(const std::string& key) const;

    // Creates the node path as needed; returns the node's previous value (not its default).
    std::string setProperty(const std::string& key, const std::string& value);
    // Creates the node path as needed; returns value.
    std::string setDefault(const std::string& key, const std::string& value);
    // defaults is key, value, key, value, ...; reading stops at the first empty (or null) key or
    // once num strings have been consumed (pairs are read while the index of the key is below
    // num), so an open-ended table must end with an empty key.
    void setDefaults(const char* defaults[], long num = LONG_MAX);

    // Writes "key: value" for every node below this one whose effective value is non-empty.
    void list(std::ostream& out);
    // Reads rtc.conf text: "key: value", "key = value" or, lacking both, "key value"; '#' and '!'
    // start comment lines; a trailing unescaped backslash joins the next line; \t \n \r \f \\ and
    // backslash-escaped characters (separators, blanks) are unescaped after trimming. Keys are
    // set with setProperty(), so existing nodes are kept and overwritten.
    void load(std::istream& inStream);
    // Older name for store().
    void save(std::ostream& out, const std::string& header);
    // Writes header as '#' comment lines, then "key: value" for every node below this one with a
    // non-empty value (defaults are not stored), escaped so that load() reads it back exactly.
    void store(std::ostream& out, const std::string& header);

    // Full keys of the nodes below this one that have no children, depth first in insertion
    // order; intermediate nodes are not listed even when they hold a value.
    std::vector<std::string> propertyNames() const;
    // Each name of propertyNames() with its node's effective value, in the same order; one walk.
    std::vector<std::pair<std::string, std::string>> propertyValues() const;
    // Number of names propertyNames() would return.
    int size() const;

    // The node at key or null. An empty key names this node.
    Properties* findNode(const std::string& key) const;
    // The node at key, created (empty) with its path if absent.
    Properties& getNode(const std::string& key);
    // False when the node already exists.
    bool createNode(const std::string& key);
    // Detaches the direct child named leaf_name and hands it to the caller, who must delete it;
    // null when there is no such child.
    Properties* removeNode(const char* leaf_name);
    // The direct child named key (no dotted path); null if none.
    Properties* hasKey(const char* key) const;
    // Deletes all children; this node's own name and values stay.
    void clear();
    // Merges prop's nodes into this tree: every node of prop below its root is created here and,
    // if it is a leaf or has a non-empty effective value, gets that effective value as its value.
    Properties& operator<<(const Properties& prop);

private:
    Properties& descend(const std::string& key);
    const std::string& effectiveValue() const;
    bool isInSubtree(const Properties& node) const;
    void copyChildrenFrom(const Properties& src);
    void mergeChildrenFrom(const Properties& src);
    template <class Visit>
    void forEachLeaf(Visit visit) const;
    void writeEntries(std::ostream& out, const std::string& prefix, bool effective) const;
    void dump(std::ostream& out, int depth) const;

    std::string m_name;
    std::string m_value;
    std::string m_defaultValue;
    Properties* m_root;
    std::vector<Properties*> m_leaf;

    // An indented tree of names and effective values, for diagnostics.
    friend std::ostream& operator<<(std::ostream& lhs, const Properties& rhs);
};

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs);

}  // namespace coil
