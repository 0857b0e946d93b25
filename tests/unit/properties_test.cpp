#include <coil/Properties.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using coil::Properties;
using Names = std::vector<std::string>;

Properties loaded(const std::string& text) {
    Properties prop;
    std::istringstream in(text);
    prop.load(in);
    return prop;
}

TEST(PropertiesDefaultList, EmptyKeyEndsTheListWhateverTheCount) {
    // Entries after the end marker must not be read; the lone "" at the end of the second table
    // has no value slot, so reading past it would be caught by the sanitizers.
    const char* table[] = {"a", "1", "b", "2", "", "", "c", "3"};
    Properties prop(table, 2147483647);
    EXPECT_EQ(prop.propertyNames(), (Names{"a", "b"}));

    const char* terminated[] = {"x", "9", ""};
    Properties byDefault(terminated);
    EXPECT_EQ(byDefault.size(), 1);
}

TEST(PropertiesDefaultList, ElevenPairTableGivesElevenDefaults) {
    // clang-format off
    const char* table[] = {"implementation_id", "Viewer",
                           "type_name", "Viewer",
                           "description", "image viewer",
                           "version", "1.0.0",
                           "vendor", "example",
                           "category", "Viewer",
                           "activity_type", "PERIODIC",
                           "kind", "DataFlowComponent",
                           "max_instance", "1",
                           "language", "C++",
                           " exec_cxt.periodic.rate ", " 1000 ",
                           ""};
    // clang-format on
    Properties prop(table);
    EXPECT_EQ(prop.size(), 11);
    EXPECT_EQ(prop.propertyNames().back(), "exec_cxt.periodic.rate");
    EXPECT_EQ(prop.getProperty("exec_cxt.periodic.rate"), "1000");
    EXPECT_EQ(prop.getDefault("max_instance"), "1");
    EXPECT_STREQ(prop.findNode("max_instance")->getValue(), "");
}

TEST(PropertiesDefaultList, CountLimitsTheStringsRead) {
    const char* table[] = {"a", "1", "b", "2", "c", "3", ""};
    EXPECT_EQ(Properties(table, 4).propertyNames(), (Names{"a", "b"}));
    // A pair is read while its key's index is below the count.
    EXPECT_EQ(Properties(table, 3).size(), 2);
    EXPECT_EQ(Properties(table, 0).size(), 0);

    Properties prop;
    prop.setDefaults(table, 2);
    EXPECT_EQ(prop.propertyNames(), (Names{"a"}));
}

TEST(PropertiesDefaultList, MapEntriesBecomeDefaults) {
    std::map<std::string, std::string> defaults{{"a.b", "1"}, {"c", "2"}};
    Properties prop(defaults);
    EXPECT_EQ(prop.getDefault("a.b"), "1");
    EXPECT_EQ(prop.getProperty("c"), "2");
}

TEST(PropertiesValues, LookupFallsBackToDefaultThenToGivenValue) {
    Properties prop;
    prop.setDefault("k", "dflt");
    EXPECT_EQ(prop.getProperty("k"), "dflt");
    EXPECT_EQ(prop.getProperty("k", "given"), "dflt");
    prop.setProperty("k", "val");
    EXPECT_EQ(prop.getProperty("k"), "val");
    EXPECT_EQ(prop.getDefault("k"), "dflt");
    EXPECT_EQ(prop.getProperty("missing"), "");
    EXPECT_EQ(prop.getProperty("missing", "given"), "given");
    EXPECT_EQ(prop.getDefault("missing"), "");
    EXPECT_EQ(prop.findNode("missing"), nullptr) << "lookups must not create nodes";
}

TEST(PropertiesValues, SetReturnsPreviousValueNotDefault) {
    Properties prop;
    prop.setDefault("k", "dflt");
    EXPECT_EQ(prop.setProperty("k", "one"), "");
    EXPECT_EQ(prop.setProperty("k", "two"), "one");
    EXPECT_EQ(prop.getProperty("k"), "two");
}

TEST(PropertiesValues, IndexOperators) {
    Properties prop;
    prop.setDefault("rate", "30");
    const Properties& view = prop;
    EXPECT_EQ(view["absent"], "");
    EXPECT_EQ(prop.findNode("absent"), nullptr);

    EXPECT_EQ(prop["rate"], "30");
    prop["rate"] = "60";
    prop["new.key"] = "x";
    EXPECT_EQ(prop.getProperty("rate"), "60");
    EXPECT_EQ(prop.getDefault("rate"), "30");
    EXPECT_EQ(prop.getProperty("new.key"), "x");
}

TEST(PropertiesTree, DottedKeysBuildNodes) {
    Properties prop;
    prop.setProperty("exec_cxt.periodic.rate", "1000");
    prop.setProperty("exec_cxt.periodic.type", "PeriodicExecutionContext");
    prop.setProperty("exec_cxt", "intermediate");
    prop.setProperty("naming.enable", "YES");

    Properties* periodic = prop.findNode("exec_cxt.periodic");
    ASSERT_NE(periodic, nullptr);
    EXPECT_STREQ(periodic->getName(), "periodic");
    EXPECT_EQ(periodic->getProperty("rate"), "1000");
    EXPECT_EQ(periodic->getRoot(), prop.findNode("exec_cxt"));
    EXPECT_EQ(prop.findNode("exec_cxt")->getRoot(), &prop);
    EXPECT_EQ(prop.getLeaf().size(), 2u);

    EXPECT_NE(prop.hasKey("exec_cxt"), nullptr);
    EXPECT_EQ(prop.hasKey("exec_cxt.periodic"), nullptr) << "hasKey looks at direct children only";

    // Leaves only, depth first in insertion order.
    EXPECT_EQ(prop.propertyNames(),
              (Names{"exec_cxt.periodic.rate", "exec_cxt.periodic.type", "naming.enable"}));
    EXPECT_EQ(prop.size(), 3);
    EXPECT_EQ(prop.findNode(""), &prop);
}

TEST(PropertiesTree, CreateRemoveAndClear) {
    Properties prop;
    EXPECT_TRUE(prop.createNode("a.b"));
    EXPECT_FALSE(prop.createNode("a.b"));
    EXPECT_FALSE(prop.createNode("a"));
    prop.getNode("a.c").setProperty("d", "1");
    EXPECT_EQ(prop.getProperty("a.c.d"), "1");

    Properties* node = prop.findNode("a")->removeNode("c");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->getRoot(), nullptr);
    EXPECT_EQ(node->getProperty("d"), "1");
    EXPECT_EQ(prop.findNode("a.c"), nullptr);
    EXPECT_EQ(prop.findNode("a")->removeNode("c"), nullptr);
    delete node;

    // A node deleted while still attached unlinks itself from its parent.
    delete prop.findNode("a.b");
    EXPECT_TRUE(prop.findNode("a")->getLeaf().empty());

    prop.setProperty("x.y", "2");
    prop.clear();
    EXPECT_EQ(prop.size(), 0);
    EXPECT_EQ(prop.findNode("x"), nullptr);
}

TEST(PropertiesCopy, CopiesAreDeepAndIndependent) {
    Properties original("root", "rv");
    original.setProperty("a", "mid");
    original.setProperty("a.b", "1");
    original.setDefault("a.c", "d");

    Properties copy(original);
    copy.setProperty("a.b", "changed");
    copy.setProperty("new", "n");
    EXPECT_EQ(original.getProperty("a.b"), "1");
    EXPECT_EQ(original.findNode("new"), nullptr);
    EXPECT_STREQ(copy.getName(), "root");
    EXPECT_EQ(copy.getProperty("a"), "mid");
    EXPECT_EQ(copy.getDefault("a.c"), "d");
    EXPECT_EQ(copy.findNode("a.b")->getRoot(), copy.findNode("a"));

    Properties assigned;
    assigned.setProperty("stale", "s");
    assigned = original;
    EXPECT_EQ(assigned.findNode("stale"), nullptr);
    EXPECT_EQ(assigned.propertyNames(), original.propertyNames());
    const Properties& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.getProperty("a.b"), "1");
    // The source is a node that the assignment deletes.
    assigned = *assigned.findNode("a");
    EXPECT_EQ(assigned.getProperty("b"), "1");
}

TEST(PropertiesCopy, AssigningIntoATreeKeepsTheNodeName) {
    Properties conf;
    conf.setProperty("camera.width", "640");
    Properties replacement;
    replacement.setProperty("height", "480");
    conf.getNode("camera") = replacement;
    EXPECT_EQ(conf.getProperty("camera.height"), "480");
    EXPECT_EQ(conf.findNode("camera.width"), nullptr);
}

TEST(PropertiesMerge, OtherTreeWinsAndAddsKeys) {
    Properties base;
    base.setProperty("a", "1");
    base.setProperty("b", "2");
    base.setProperty("tree", "old");
    Properties other;
    other.setProperty("b", "20");
    other.setDefault("c.d", "30");
    other.setProperty("tree", "new");
    other.setProperty("tree.leaf", "x");

    base << other;
    EXPECT_EQ(base.getProperty("a"), "1");
    EXPECT_EQ(base.getProperty("b"), "20");
    EXPECT_STREQ(base.findNode("c.d")->getValue(), "30") << "effective values merge as values";
    EXPECT_EQ(base.getProperty("tree"), "new");
    EXPECT_EQ(base.getProperty("tree.leaf"), "x");

    // Merging a part of the same tree into it; the second merge writes into the node it reads.
    base << *base.findNode("tree");
    EXPECT_EQ(base.getProperty("leaf"), "x");
    base << base;
    EXPECT_EQ(base.size(), 5);
    base.setProperty("n.n.x", "1");
    base.setProperty("n.a", "2");
    base << *base.findNode("n");
    EXPECT_EQ(base.getProperty("a"), "2");
    EXPECT_EQ(base.getProperty("n.x"), "1");
    EXPECT_EQ(base.getProperty("n.n.x"), "1");
}

TEST(PropertiesLoad, ReadsConfigurationText) {
    const Properties prop = loaded(
        "# comment: not a key\n"
        "   ! another = comment\n"
        "\n"
        "corba.nameservers: localhost:2809\n"
        "  naming.formats =  %n.rtc   \n"
        "logger.enable=NO\n"
        "list: one, \\\n"
        "      two, \\\n"
        "   three\n"
        "escaped\\:key: tab\\there\\nnext\\\\end\n"
        "padded:\\ kept \\ \n"
        "literal.slash: ends\\\\\n"
        "next.key: 1\r\n"
        "spaced value here\n"
        "bare.key\n"
        "tail: last \\");

    EXPECT_EQ(prop.getProperty("corba.nameservers"), "localhost:2809");
    EXPECT_EQ(prop.getProperty("naming.formats"), "%n.rtc");
    EXPECT_EQ(prop.getProperty("logger.enable"), "NO");
    EXPECT_EQ(prop.getProperty("list"), "one, two, three");
    EXPECT_EQ(prop.getProperty("escaped:key"), "tab\there\nnext\\end");
    EXPECT_EQ(prop.getProperty("padded"), " kept  ");
    EXPECT_EQ(prop.getProperty("literal.slash"), "ends\\") << "an escaped backslash ends the line";
    EXPECT_EQ(prop.getProperty("next.key"), "1");
    EXPECT_EQ(prop.getProperty("spaced"), "value here");
    EXPECT_NE(prop.findNode("bare.key"), nullptr);
    EXPECT_EQ(prop.getProperty("tail"), "last");
    EXPECT_EQ(prop.findNode("#"), nullptr);
    EXPECT_EQ(prop.size(), 11);
}

TEST(PropertiesLoad, LaterLinesOverrideAndDefaultsStay) {
    Properties prop;
    prop.setDefault("rate", "30");
    std::istringstream in("rate: 10\nrate = 20\n");
    prop.load(in);
    EXPECT_EQ(prop.getProperty("rate"), "20");
    EXPECT_EQ(prop.getDefault("rate"), "30");
}

TEST(PropertiesStore, StoreThenLoadRestoresValues) {
    Properties prop;
    prop.setProperty("plain", "value");
    prop.setProperty("node", "mid");
    prop.setProperty("node.child", "c");
    prop.setProperty("tricky", " lead\ttab\nline\\slash: = #x trail ");
    prop.setProperty("key:with=seps", "v");
    prop.setProperty("#hash", "h");
    prop.setDefault("only.default", "d");

    std::ostringstream out;
    prop.store(out, "first line\nsecond line");
    EXPECT_EQ(out.str().rfind("#first line\n#second line\n", 0), 0u) << out.str();

    const Properties back = loaded(out.str());
    for (const char* key : {"plain", "node", "node.child", "tricky", "key:with=seps", "#hash"}) {
        EXPECT_EQ(back.getProperty(key), prop.getProperty(key)) << key << "\n" << out.str();
    }
    EXPECT_EQ(back.findNode("only.default"), nullptr) << "store writes values, not defaults";
}

TEST(PropertiesStore, ListWritesEffectiveValues) {
    Properties prop;
    prop.setProperty("a.b", "1");
    prop.setDefault("a.c", "2");
    prop.createNode("empty");
    std::ostringstream out;
    prop.list(out);
    EXPECT_EQ(out.str(), "a.b: 1\na.c: 2\n");

    const Properties back = loaded(out.str());
    EXPECT_EQ(back.propertyNames(), (Names{"a.b", "a.c"}));
    EXPECT_EQ(back.getProperty("a.c"), "2");
}

// However many dots a key holds, the tree stays shallow: the parts past the last level are one
// name, found again by the same key, and copying, merging, listing and destroying are safe.
TEST(PropertiesTree, KeysOfAnyDepthKeepTheTreeShallow) {
    const std::string deep = "a" + std::string(100000, '.') + "z";
    coil::Properties p;
    p.setProperty(deep, "v");
    p.setProperty("a.b", "w");
    EXPECT_EQ(p.getProperty(deep), "v");
    const Names names = p.propertyNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], deep);
    EXPECT_EQ(p.propertyValues()[0].second, "v");
    int depth = 0;
    for (const coil::Properties* n = &p; !n->getLeaf().empty(); n = n->getLeaf()[0]) ++depth;
    EXPECT_EQ(depth, coil::Properties::kMaxKeyDepth);
    coil::Properties copy(p);
    coil::Properties merged;
    merged << copy;
    EXPECT_EQ(merged.getProperty(deep), "v");
    EXPECT_EQ(merged.size(), 2);
    std::stringstream text;
    merged.store(text, "");
    coil::Properties back;
    back.load(text);
    EXPECT_EQ(back.getProperty(deep), "v");
}

}  // namespace
