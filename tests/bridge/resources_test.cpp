// Finding the resource folders from the executable's folder: the build tree,
// an installed tree (page and licences under share/, the engine under lib/).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/resources.h"
#include "support/scratch.h"

namespace {

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
        Scratch t;
        t.folder("bin");
        for (const std::string& p : r.present) t.folder(p);
        ResourceFolders f = resourceFoldersFor(t / "bin");
        EXPECT_EQ(f.data, t / "bin/" + r.data);
        EXPECT_EQ(f.engine, t / "bin/" + r.engine);
    }
}

TEST(ResourceFolders, TheEngineFolderWinsOverAStaleEngineInTheDataFolder) {
    Scratch t;
    t.write("share/untrunc", "x");  // left behind by an install of the older layout
    const std::string engine = t.write("lib/untrunc", "x"), licences = t.write("share/LICENSES.txt", "x");
    setResourceFolders({t / "share", t / "lib"});
    EXPECT_EQ(resourcesDir(), t / "share");
    EXPECT_EQ(resourcePath("untrunc"), engine);
    EXPECT_EQ(resourcePath("LICENSES.txt"), licences);
    EXPECT_EQ(resourcePath("web/index.html"), std::nullopt);
}

}  // namespace
