// Which addresses the web view may show, checked against a real folder tree:
// res/web/index.html, res/web/css/app.css, res/LICENSES.txt, a sibling folder
// res/web2 and symbolic links leading out of the web folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/page_policy.h"
#include "support/scratch.h"

namespace {

class PagePolicy : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* f : {"web/index.html", "web/css/app.css", "web/a b#c.html", "LICENSES.txt", "web2/index.html"})
            scratch_.write(f, "x");
        scratch_.link("web/out.txt", root_ + "/LICENSES.txt");
        scratch_.link("web/etc", "/etc");
        scratch_.link("alias", web_);
    }
    std::string uri(const std::string& path) const { return "file://" + path; }

    Scratch scratch_;
    std::string root_ = scratch_.path(), web_ = root_ + "/web";
};

struct Row {
    const char* what;
    std::string address;
    bool allowed;
    std::string folder = "";  // the web folder as named to the check; empty: res/web
};

}  // namespace

TEST_F(PagePolicy, only_files_of_the_web_folder_pass) {
    const std::vector<Row> rows = {
        {"the page", uri(web_ + "/index.html"), true},
        {"the page with a fragment", uri(web_ + "/index.html#scan"), true},
        {"the page with a query", uri(web_ + "/index.html?x=1#y"), true},
        {"a file in a subfolder", uri(web_ + "/css/app.css"), true},
        {"localhost as host", "file://localhost" + web_ + "/index.html", true},
        {"a percent-encoded name", uri(web_ + "/a%20b%23c.html"), true},
        {"through a link to the folder", uri(root_ + "/alias/index.html"), true},
        {"upper-case scheme", "FILE://" + web_ + "/index.html", true},
        {"a file beside the folder", uri(root_ + "/LICENSES.txt"), false},
        {"dot-dot out of the folder", uri(web_ + "/../LICENSES.txt"), false},
        {"encoded dot-dot", uri(web_ + "/%2e%2e/LICENSES.txt"), false},
        {"encoded slash and dots", uri(web_ + "/..%2fLICENSES.txt"), false},
        {"a link to a file outside", uri(web_ + "/out.txt"), false},
        {"through a link to /etc", uri(web_ + "/etc/passwd"), false},
        {"a sibling folder sharing the prefix", uri(root_ + "/web2/index.html"), false},
        {"the folder itself", uri(web_), false},
        {"the folder with a slash", uri(web_ + "/"), false},
        {"a file that does not exist", uri(web_ + "/missing.html"), false},
        {"another host", "file://example.org" + web_ + "/index.html", false},
        {"relative file URL", "file:index.html", false},
        {"https", "https://example.org/", false},
        {"http", "http://localhost/index.html", false},
        {"data", "data:text/html,<p>x</p>", false},
        {"javascript", "javascript:alert(1)", false},
        {"about:blank", "about:blank", false},
        {"a bare path", web_ + "/index.html", false},
        {"empty", "", false},
        {"a missing web folder", uri(web_ + "/index.html"), false, root_ + "/nowhere"},
        {"the folder named through a link", uri(web_ + "/index.html"), true, root_ + "/alias"},
        {"the folder named with dots", uri(web_ + "/index.html"), true, root_ + "/web2/../web"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(isPageAddress(row.address, row.folder.empty() ? web_ : row.folder), row.allowed)
            << row.what << ": " << row.address;
}
