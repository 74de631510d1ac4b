// Finding the resource folders from the executable's folder: the build tree,
// an installed tree (page and licences under share/, the engine under lib/),
// and the command-line override.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/resources.h"

namespace {

struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/tv_resources_XXXXXX";
        root = ::mkdtemp(tmpl);
    }
    ~Tree() { std::system(("rm -rf -- '" + root + "'").c_str()); }
    void dir(const std::string& rel) const { std::system(("mkdir -p -- '" + root + "/" + rel + "'").c_str()); }
    void file(const std::string& rel) const {
        dir(rel.substr(0, rel.rfind('/')));
        std::ofstream(root + "/" + rel) << "x";
    }
};

TEST(ResourceFolders, FoundFromTheExecutablesFolder) {
    struct Row {
        std::vector<std::string> present;  // folders laid out under the root
        std::string data, engine;          // expected, relative to <root>/bin
    };
    const std::string share = TORVELIN_DATA_SUBDIR, lib = TORVELIN_ENGINE_SUBDIR;
    const std::vector<Row> rows = {
        {{"resources"}, "../resources", "../resources"},              // the build tree
        {{share, lib}, "../" + share, "../" + lib},                     // an installed tree
        {{share}, "../" + share, "../" + lib},                          // engine missing: looked for there
        {{"resources", share, lib}, "../resources", "../resources"},  // the build tree first
        {{"bin/resources"}, "resources", "resources"},                // beside the executable
        {{}, "../resources", "../resources"},                          // nothing: the build tree's place
    };
    for (const Row& r : rows) {
        Tree t;
        t.dir("bin");
        for (const std::string& p : r.present) t.dir(p);
        ResourceFolders f = resourceFoldersFor(t.root + "/bin");
        EXPECT_EQ(f.data, t.root + "/bin/" + r.data);
        EXPECT_EQ(f.engine, t.root + "/bin/" + r.engine);
    }
}

TEST(ResourceFolders, OverrideHoldsEverythingAndPathsNeedSomethingThere) {
    Tree t;
    t.file("LICENSES.txt");
    t.file("untrunc");
    setResourcesDir(t.root);
    EXPECT_EQ(resourcesDir(), t.root);
    EXPECT_EQ(resourcePath("LICENSES.txt"), t.root + "/LICENSES.txt");
    EXPECT_EQ(resourcePath("untrunc"), t.root + "/untrunc");
    EXPECT_EQ(resourcePath("web/index.html"), std::nullopt);
}

TEST(ResourceFolders, TheEngineFolderWinsOverAStaleEngineInTheDataFolder) {
    Tree t;
    t.file("share/LICENSES.txt");
    t.file("share/untrunc");  // left behind by an install of the older layout
    t.file("lib/untrunc");
    setResourceFolders({t.root + "/share", t.root + "/lib"});
    EXPECT_EQ(resourcesDir(), t.root + "/share");
    EXPECT_EQ(resourcePath("untrunc"), t.root + "/lib/untrunc");
    EXPECT_EQ(resourcePath("LICENSES.txt"), t.root + "/share/LICENSES.txt");
    EXPECT_EQ(resourcePath("web/index.html"), std::nullopt);
}

}  // namespace
