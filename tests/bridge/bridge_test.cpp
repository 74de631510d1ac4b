#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "bridge/bridge.h"
#include "bridge/desktop_requests.h"
#include "bridge/json_text.h"
#include "bridge/queues.h"
#include "bridge/resources.h"
#include "support/page.h"
#include "support/scratch.h"

namespace {

struct BridgeTest : ::testing::Test {
    RecordingDesktop desktop;
    std::shared_ptr<RecordingPage> page = std::make_shared<RecordingPage>();
    std::shared_ptr<Bridge> bridge = Bridge::create();

    void SetUp() override {
        bridge->webView = page;
        bridge->setHandler("open", [this](Bridge& b, int64_t call, const Value& args) {
            handleOpenRequest(desktop, b, call, args);
        });
        bridge->setHandler("licenses", handleLicensesRequest);
    }

    // Runs the main queue until `n` scripts have arrived (or a short while passed).
    const std::vector<std::string>& settle(size_t n = 1) {
        runMainLoopUntil([&] { return page->scripts.size() >= n; }, 2000);
        runMainLoopUntil([] { return pendingWork() == 0; }, 2000);
        return page->scripts;
    }
};

std::string resolved(int64_t call, const std::string& data) {
    return "window.__resolve && window.__resolve({\"call\":" + std::to_string(call) + ",\"data\":" + data + "})";
}

}  // namespace

TEST_F(BridgeTest, malformed_envelopes_get_no_answer) {
    const char* bodies[] = {
        "\"scan\"", "42", "[1,2]", "{}", R"({"call":1})", R"({"cmd":"licenses","call":"1"})",
        R"({"cmd":"licenses","call":1.5})", R"({"cmd":"licenses","call":true})", R"({"cmd":7,"call":1})",
        R"({"cmd":"licenses"})", "not json at all", "",
    };
    for (const char* body : bodies) bridge->receive(std::string(body));
    runMainLoopUntil([] { return false; }, 100);
    EXPECT_TRUE(page->scripts.empty());
}

TEST_F(BridgeTest, unknown_and_miscased_commands_are_refused) {
    bridge->receive(std::string(R"({"cmd":"Scan","call":3})"));
    bridge->receive(std::string(R"({"cmd":"format","call":4.0})"));
    auto& s = settle(2);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], resolved(3, R"({"error":"unknown cmd"})"));
    EXPECT_EQ(s[1], resolved(4, R"({"error":"unknown cmd"})"));
}

TEST_F(BridgeTest, rows_see_object_args_only) {
    Value seen;
    bridge->setHandler("probe", [&](Bridge& b, int64_t call, const Value& args) {
        seen = args;
        b.reply(call, Value::object());
    });
    bridge->receive(std::string(R"({"cmd":"probe","call":1,"args":["x"]})"));
    EXPECT_EQ(seen, Value::object());
    bridge->receive(std::string(R"({"cmd":"probe","call":2,"args":{"path":"/a"}})"));
    EXPECT_EQ(seen, Value({{"path", "/a"}}));
}

TEST_F(BridgeTest, reply_is_deferred_even_on_the_main_thread) {
    bool handlerReturned = false;
    bridge->setHandler("scan", [&](Bridge& b, int64_t call, const Value&) {
        b.reply(call, Value::object());
        EXPECT_TRUE(page->scripts.empty());
        handlerReturned = true;
    });
    bridge->receive(std::string(R"({"cmd":"scan","call":0})"));
    EXPECT_TRUE(handlerReturned);
    EXPECT_TRUE(page->scripts.empty());
    EXPECT_EQ(settle().at(0), resolved(0, "{}"));
}

TEST_F(BridgeTest, replies_arrive_in_submission_order_from_any_thread) {
    std::thread([b = bridge] {
        for (int i = 0; i < 50; ++i) b->reply(i, Value{{"i", i}});
    }).join();
    auto& s = settle(50);
    ASSERT_EQ(s.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(s[i], resolved(i, "{\"i\":" + std::to_string(i) + "}"));
}

TEST_F(BridgeTest, open_reads_path_and_strict_boolean_reveal) {
    const char* bodies[] = {
        R"({"cmd":"open","call":1,"args":{"path":"/w/a.MP4","reveal":true}})",
        R"({"cmd":"open","call":2,"args":{"path":"/w/a.MP4","reveal":"true"}})",
        R"({"cmd":"open","call":3,"args":[1]})",
        R"({"cmd":"open","call":4,"args":{"path":5}})",
    };
    for (const char* b : bodies) bridge->receive(std::string(b));
    auto& s = settle(4);
    EXPECT_EQ(desktop.calls, (std::vector<std::string>{"reveal /w/a.MP4", "open /w/a.MP4", "open ", "open "}));
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1], resolved(2, R"({"ok":true})"));

    desktop.failure = "이 파일을 열 프로그램이 없습니다";
    bridge->receive(std::string(R"({"cmd":"open","call":5,"args":{"path":"/w/a.MP4"}})"));
    EXPECT_EQ(settle(5).at(4), resolved(5, R"({"error":"이 파일을 열 프로그램이 없습니다"})"));
}

TEST_F(BridgeTest, licenses_text_or_fallback) {
    Scratch res;
    setResourcesDir(res.path());
    const std::string missing = "{\"text\":\"오픈소스 라이선스 파일을 찾을 수 없습니다\"}";
    const std::pair<const char*, std::string> rows[] = {
        {nullptr, missing}, {"\xff\xfe not text", missing}, {"MIT \"x\"\n", R"({"text":"MIT \"x\"\n"})"}};
    for (int call = 1; call <= 3; ++call) {
        const auto& [licences, text] = rows[call - 1];
        if (licences) res.write("LICENSES.txt", licences);
        bridge->receive(R"({"cmd":"licenses","call":)" + std::to_string(call) + "}");
        EXPECT_EQ(settle(call).at(call - 1), resolved(call, text)) << call;
    }
}

// Never fails: what cannot be encoded reaches the page as an empty object.
TEST(json_text, unencodable_values_become_empty_object) {
    EXPECT_EQ(jsonString(Value{{"d", std::nan("")}}), "{}");
    EXPECT_EQ(jsonString(Value{{"d", Value::array({INFINITY})}}), "{}");
    EXPECT_EQ(jsonString(Value{{"s", std::string("\xff\xfe")}}), "{}");
}

TEST_F(BridgeTest, bodies_nested_past_the_limit_are_dropped) {
    // {"cmd":"licenses","call":N,"args":{"k": <depth arrays>}}: the body itself is level 1.
    auto body = [](int call, size_t arrays) {
        return R"({"cmd":"licenses","call":)" + std::to_string(call) + R"(,"args":{"k":)" + std::string(arrays, '[') +
               std::string(arrays, ']') + "}}";
    };
    const struct {
        size_t arrays;
        bool answered;
    } rows[] = {{62, true}, {63, false}, {1'000'000, false}};
    for (const auto& row : rows) {
        page->scripts.clear();
        bridge->receive(body(1, row.arrays));
        runMainLoopUntil([] { return false; }, 100);
        EXPECT_EQ(!page->scripts.empty(), row.answered) << row.arrays << " levels";
    }
}
