#include "coil/Properties.h"

#include <cstddef>
#include <istream>
#include <ostream>
#include <utility>

namespace coil {

namespace {

// Function-local so that lookups made during another file's static initialisation are safe.
const std::string& emptyString() {
    static const std::string empty;
    return empty;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// True when the character at pos follows an odd run of backslashes.
bool isEscaped(const std::string& text, std::size_t pos) {
    std::size_t slashes = 0;
    while (pos > slashes && text[pos - slashes - 1] == '\\') ++slashes;
    return slashes % 2 == 1;
}

void trimHead(std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin])) ++begin;
    text.erase(0, begin);
}

// Escaped blanks are content, not padding, so they survive.
void trimTail(std::string& text) {
    while (!text.empty() && isBlank(text.back()) && !isEscaped(text, text.size() - 1)) {
        text.pop_back();
    }
}

void trim(std::string& text) {
    trimHead(text);
    trimTail(text);
}

// An empty key yields no parts; empty parts inside a key ("a..b") are kept as names. The last
// of kMaxKeyDepth parts holds the rest of the key.
std::vector<std::string> splitKey(const std::string& key) {
    std::vector<std::string> parts;
    if (key.empty()) return parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t dot =
            parts.size() + 1 == Properties::kMaxKeyDepth ? std::string::npos : key.find('.', begin);
        if (dot == std::string::npos) {
            parts.push_back(key.substr(begin));
            return parts;
        }
        parts.push_back(key.substr(begin, dot - begin));
        begin = dot + 1;
    }
}

std::string unescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        switch (c) {
            case 't':
                out.push_back('\t');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 'f':
                out.push_back('\f');
                break;
            default:
                out.push_back(c);
                break;
        }
    }
    return out;
}

void appendEscapedControl(std::string& out, char c) {
    switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            out.push_back(c);
            break;
    }
}

// Separators and every blank are escaped, plus a leading comment marker, so that the key reads
// back as one unit.
std::string escapeKey(const std::string& key) {
    std::string out;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        if (c == ':' || c == '=' || c == ' ' || (i == 0 && (c == '#' || c == '!'))) {
            out.push_back('\\');
            out.push_back(c);
        } else {
            appendEscapedControl(out, c);
        }
    }
    return out;
}

// Only the first leading and the last trailing space need escaping to survive trimming; the
// first separator on a line ends the key, so separators in values stay as they are.
std::string escapeValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == ' ' && (i == 0 || i + 1 == value.size())) {
            out += "\\ ";
        } else {
            appendEscapedControl(out, c);
        }
    }
    return out;
}

// key/value split of one logical line, before unescaping: the first unescaped ':' or '=', or
// failing that the first unescaped blank, separates them.
void splitKeyValue(const std::string& line, std::string& key, std::string& value) {
    std::size_t sep = std::string::npos;
    for (std::size_t i = 0; i < line.size() && sep == std::string::npos; ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (line[i] == ':' || line[i] == '=') {
            sep = i;
        }
    }
    for (std::size_t i = 0; i < line.size() && sep == std::string::npos; ++i) {
        if (line[i] == '\\') {
            ++i;
        } else if (isBlank(line[i])) {
            sep = i;
        }
    }
    if (sep == std::string::npos) {
        key = line;
        value.clear();
    } else {
        key = line.substr(0, sep);
        value = line.substr(sep + 1);
    }
    trim(key);
    trim(value);
}

// A line continues when it ends in a backslash that is not itself escaped.
bool continues(const std::string& line) {
    return !line.empty() && line.back() == '\\' && !isEscaped(line, line.size() - 1);
}

}  // namespace

Properties::Properties(const char* key, const char* value)
    : m_name(key != nullptr ? key : ""), m_value(value != nullptr ? value : ""), m_root(nullptr) {}

Properties::Properties(std::map<std::string, std::string>& defaults) : m_root(nullptr) {
    for (const auto& kv : defaults) {
        std::string key = kv.first;
        std::string value = kv.second;
        trim(key);
        trim(value);
        setDefault(key, value);
    }
}

Properties::Properties(const char* defaults[], long num) : m_root(nullptr) {
    setDefaults(defaults, num);
}

Properties::Properties(const Properties& prop)
    : m_name(prop.m_name),
      m_value(prop.m_value),
      m_defaultValue(prop.m_defaultValue),
      m_root(nullptr) {
    // The destructor does not run for a constructor that throws, so free what was copied.
    try {
        copyChildrenFrom(prop);
    } catch (...) {
        clear();
        throw;
    }
}

Properties& Properties::operator=(const Properties& prop) {
    if (this == &prop) return *this;
    // Copy first: prop may be one of the nodes that clear() is about to delete.
    Properties copy(prop);
    clear();
    if (m_root == nullptr) m_name = std::move(copy.m_name);
    m_value = std::move(copy.m_value);
    m_defaultValue = std::move(copy.m_defaultValue);
    m_leaf.swap(copy.m_leaf);
    for (Properties* child : m_leaf) child->m_root = this;
    return *this;
}

Properties::~Properties() {
    clear();
    if (m_root != nullptr) {
        std::vector<Properties*>& siblings = m_root->m_leaf;
        for (auto it = siblings.begin(); it != siblings.end(); ++it) {
            if (*it == this) {
                siblings.erase(it);
                break;
            }
        }
    }
}

const std::string& Properties::getProperty(const std::string& key) const {
    const Properties* node = findNode(key);
    return node != nullptr ? node->effectiveValue() : emptyString();
}

const std::string& Properties::getProperty(const std::string& key, const std::string& def) const {
    const std::string& value = getProperty(key);
    return value.empty() ? def : value;
}

const std::string& Properties::operator[](const std::string& key) const { return getProperty(key); }

std::string& Properties::operator[](const std::string& key) {
    Properties& node = descend(key);
    if (node.m_value.empty()) node.m_value = node.m_defaultValue;
    return node.m_value;
}

const std::string& Properties::getDefault(const std::string& key) const {
    const Properties* node = findNode(key);
    return node != nullptr ? node->m_defaultValue : emptyString();
}

std::string Properties::setProperty(const std::string& key, const std::string& value) {
    Properties& node = descend(key);
    std::string previous = std::move(node.m_value);
    node.m_value = value;
    return previous;
}

std::string Properties::setDefault(const std::string& key, const std::string& value) {
    descend(key).m_defaultValue = value;
    return value;
}

void Properties::setDefaults(const char* defaults[], long num) {
    if (defaults == nullptr) return;
    // num counts strings, as in the middleware; the last check keeps i += 2 from overflowing.
    for (long i = 0; i < num; i += 2) {
        if (defaults[i] == nullptr || defaults[i][0] == '\0') return;
        std::string key = defaults[i];
        std::string value = defaults[i + 1] != nullptr ? defaults[i + 1] : "";
        trim(key);
        trim(value);
        setDefault(key, value);
        if (i > LONG_MAX - 2) return;
    }
}

void Properties::list(std::ostream& out) { writeEntries(out, std::string(), true); }

void Properties::load(std::istream& inStream) {
    const auto setEntry = [this](const std::string& logical) {
        std::string key;
        std::string value;
        splitKeyValue(logical, key, value);
        key = unescape(key);
        if (!key.empty()) setProperty(key, unescape(value));
    };
    std::string logical;
    bool continuing = false;
    std::string line;
    while (std::getline(inStream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        trimHead(line);
        // Inside a continuation a leading '#' is text, as in Java properties files.
        if (!continuing && (line.empty() || line[0] == '#' || line[0] == '!')) continue;
        trimTail(line);
        continuing = continues(line);
        if (continuing) line.pop_back();
        logical += line;
        if (!continuing) {
            setEntry(logical);
            logical.clear();
        }
    }
    // A backslash on the last line continues into nothing.
    if (!logical.empty()) setEntry(logical);
}

void Properties::save(std::ostream& out, const std::string& header) { store(out, header); }

void Properties::store(std::ostream& out, const std::string& header) {
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = header.find('\n', begin);
        out << '#' << header.substr(begin, end - begin) << '\n';
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    writeEntries(out, std::string(), false);
}

// Depth first in insertion order, with an explicit stack: visit(key, node) for each leaf.
template <class Visit>
void Properties::forEachLeaf(Visit visit) const {
    struct Frame {
        const Properties* node;
        std::size_t next;
        std::string key;
    };
    std::vector<Frame> stack{{this, 0, std::string()}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.node->m_leaf.size()) {
            stack.pop_back();
            continue;
        }
        const Properties* child = top.node->m_leaf[top.next++];
        std::string key =
            top.key.empty() && top.node == this ? child->m_name : top.key + "." + child->m_name;
        if (child->m_leaf.empty())
            visit(key, *child);
        else
            stack.push_back(Frame{child, 0, std::move(key)});
    }
}

std::vector<std::string> Properties::propertyNames() const {
    std::vector<std::string> names;
    forEachLeaf([&](const std::string& key, const Properties&) { names.push_back(key); });
    return names;
}

std::vector<std::pair<std::string, std::string>> Properties::propertyValues() const {
    std::vector<std::pair<std::string, std::string>> out;
    forEachLeaf([&](const std::string& key, const Properties& node) {
        out.emplace_back(key, node.effectiveValue());
    });
    return out;
}

int Properties::size() const {
    int count = 0;
    forEachLeaf([&](const std::string&, const Properties&) { ++count; });
    return count;
}

Properties* Properties::findNode(const std::string& key) const {
    const Properties* node = this;
    for (const std::string& part : splitKey(key)) {
        node = node->hasKey(part.c_str());
        if (node == nullptr) return nullptr;
    }
    // The API hands out mutable nodes from a const tree; the tree itself is never const-defined.
    return const_cast<Properties*>(node);
}

Properties& Properties::getNode(const std::string& key) { return descend(key); }

bool Properties::createNode(const std::string& key) {
    if (findNode(key) != nullptr) return false;
    descend(key);
    return true;
}

Properties* Properties::removeNode(const char* leaf_name) {
    if (leaf_name == nullptr) return nullptr;
    for (auto it = m_leaf.begin(); it != m_leaf.end(); ++it) {
        if ((*it)->m_name == leaf_name) {
            Properties* node = *it;
            m_leaf.erase(it);
            node->m_root = nullptr;
            return node;
        }
    }
    return nullptr;
}

Properties* Properties::hasKey(const char* key) const {
    if (key == nullptr) return nullptr;
    for (Properties* child : m_leaf) {
        if (child->m_name == key) return child;
    }
    return nullptr;
}

void Properties::clear() {
    while (!m_leaf.empty()) {
        Properties* child = m_leaf.back();
        m_leaf.pop_back();
        // Already unlinked; dropping the parent link spares its destructor the search.
        child->m_root = nullptr;
        delete child;
    }
}

Properties& Properties::operator<<(const Properties& prop) {
    // Merging a node of this very tree would add children to the lists being walked.
    if (isInSubtree(prop)) {
        const Properties copy(prop);
        mergeChildrenFrom(copy);
    } else {
        mergeChildrenFrom(prop);
    }
    return *this;
}

Properties& Properties::descend(const std::string& key) {
    Properties* node = this;
    for (const std::string& part : splitKey(key)) {
        Properties* next = node->hasKey(part.c_str());
        if (next == nullptr) {
            next = new Properties(part.c_str());
            next->m_root = node;
            node->m_leaf.push_back(next);
        }
        node = next;
    }
    return *node;
}

const std::string& Properties::effectiveValue() const {
    return m_value.empty() ? m_defaultValue : m_value;
}

bool Properties::isInSubtree(const Properties& node) const {
    for (const Properties* p = &node; p != nullptr; p = p->m_root) {
        if (p == this) return true;
    }
    return false;
}

void Properties::copyChildrenFrom(const Properties& src) {
    for (const Properties* child : src.m_leaf) {
        Properties* copy = new Properties(*child);
        copy->m_root = this;
        m_leaf.push_back(copy);
    }
}

void Properties::mergeChildrenFrom(const Properties& src) {
    for (const Properties* child : src.m_leaf) {
        // By name, not by key: a name may hold dots (see splitKey).
        Properties* target = hasKey(child->m_name.c_str());
        if (target == nullptr) {
            target = new Properties(child->m_name.c_str());
            target->m_root = this;
            m_leaf.push_back(target);
        }
        if (child->m_leaf.empty() || !child->effectiveValue().empty()) {
            target->m_value = child->effectiveValue();
        }
        target->mergeChildrenFrom(*child);
    }
}

// prefix is empty or the key of this node followed by a dot.
void Properties::writeEntries(std::ostream& out, const std::string& prefix, bool effective) const {
    for (const Properties* child : m_leaf) {
        const std::string key = prefix + child->m_name;
        const std::string& value = effective ? child->effectiveValue() : child->m_value;
        if (!value.empty()) out << escapeKey(key) << ": " << escapeValue(value) << '\n';
        child->writeEntries(out, key + ".", effective);
    }
}

void Properties::dump(std::ostream& out, int depth) const {
    for (const Properties* child : m_leaf) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << "- " << child->m_name;
        const std::string& value = child->effectiveValue();
        if (!value.empty() || child->m_leaf.empty()) out << ": " << value;
        out << '\n';
        child->dump(out, depth + 1);
    }
}

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs) {
    rhs.dump(lhs, 0);
    return lhs;
}

}  // namespace coil
