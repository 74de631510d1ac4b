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
        std::string data, engine;          // expected, relative to <root>/bin/..
    };
    const std::string share = TORVELIN_DATA_SUBDIR, lib = TORVELIN_ENGINE_SUBDIR;
    const std::vector<Row> rows = {
        {{"resources"}, "resources", "resources"},                 // the build tree
        {{share, lib}, share, lib},                                 // an installed tree
        {{share}, share, lib},                                      // engine missing: still looked for there
        {{"resources", share, lib}, "resources", "resources"},     // build tree first
        {{"bin/resources"}, "bin/resources", "bin/resources"},     // beside the executable
        {{}, "resources", "resources"},                             // nothing: the build tree's place
    };
    for (const Row& r : rows) {
        Tree t;
        t.dir("bin");
        for (const std::string& p : r.present) t.dir(p);
        ResourceFolders f = resourceFoldersFor(t.root + "/bin");
        const std::string base = t.root + "/bin/../";
        const std::string expectData = r.data.rfind("bin/", 0) == 0 ? t.root + "/" + r.data : base + r.data;
        const std::string expectEngine = r.engine.rfind("bin/", 0) == 0 ? t.root + "/" + r.engine : base + r.engine;
        EXPECT_EQ(f.data, expectData) << r.data;
        EXPECT_EQ(f.engine, expectEngine) << r.engine;
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

}  // namespace
