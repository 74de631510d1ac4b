// The unattended-start script, run in a real JavaScript engine against a
// stand-in page: timers are collected instead of scheduled, and start(i)
// records its argument.
#include <jsc/jsc.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/autostart.h"
#include "bridge/json_text.h"

namespace {

constexpr const char* kPage = R"JS(
var window = globalThis;
var timers = [], cleared = [], started = [];
function setInterval(f, ms) { timers.push({f: f, ms: ms, live: true}); return timers.length; }
function clearInterval(id) { cleared.push(id); if (timers[id - 1]) timers[id - 1].live = false; }
function start(i) { started.push(i); }
)JS";

class Page {
public:
    Page() : context_(jsc_context_new()) { run(kPage); }
    ~Page() { g_object_unref(context_); }
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    // Evaluates `code`; returns the JSON of its value, or "throws: <message>".
    std::string run(const std::string& code) {
        JSCValue* value = jsc_context_evaluate(context_, code.data(), static_cast<gssize>(code.size()));
        std::string out;
        if (JSCException* e = jsc_context_get_exception(context_)) {
            out = std::string("throws: ") + jsc_exception_get_message(e);
            jsc_context_clear_exception(context_);
        } else {
            std::unique_ptr<char, decltype(&g_free)> json(jsc_value_to_json(value, 0), &g_free);
            out = json ? json.get() : "undefined";
        }
        g_object_unref(value);
        return out;
    }

    // Fires every live timer once, as a tick of the page's clock.
    void tick() { run("timers.forEach(t => { if (t.live) t.f(); });"); }

private:
    JSCContext* context_;
};

std::string scanWith(const std::vector<std::string>& names) {
    Value rsvs = Value::array();
    for (const auto& n : names) rsvs.push_back({{"name", n}, {"size", 1}});
    return "var SCAN = " + jsonString(Value{{"rsvs", rsvs}}) + ";";
}

struct Row {
    const char* what;
    std::string name;
    std::vector<std::string> rsvs;
    std::string started;  // JSON of the start(i) calls
};

}  // namespace

TEST(autostart_script, starts_exactly_the_named_entry_whatever_the_name_holds) {
    const std::string injected = "x');start(7);('";
    const std::vector<Row> rows = {
        {"plain name", "B.RSV", {"A.RSV", "B.RSV", "B.RSV"}, "[1]"},
        {"single quote", "it's.RSV", {"its.RSV", "it's.RSV"}, "[1]"},
        {"double quotes", "say \"hi\".RSV", {"say hi.RSV", "say \"hi\".RSV"}, "[1]"},
        {"script fragment", injected, {"A.RSV", injected}, "[1]"},
        {"fragment that is not in the scan", injected, {"A.RSV", "x"}, "[]"},
        {"closing script tag", "</script><script>start(9)</script>", {"</script><script>start(9)</script>"}, "[0]"},
        {"line break", "a\nb.RSV", {"a b.RSV", "a\nb.RSV"}, "[1]"},
        {"backslash", "C:\\A.RSV", {"C:A.RSV", "C:\\A.RSV"}, "[1]"},
        {"Korean and separators", "촬영\u2028본.RSV", {"촬영\u2028본.RSV"}, "[0]"},
        {"empty name", "", {"A.RSV", ""}, "[1]"},
        {"absent name", "Z.RSV", {"A.RSV", "B.RSV"}, "[]"},
        {"empty scan", "A.RSV", {}, "[]"},
        {"a name that is not UTF-8", "bad\xff.RSV", {"A.RSV"}, "[]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Page page;
        EXPECT_EQ(page.run(autostartScript(row.name)), "1") << "the script must evaluate and return its timer";
        EXPECT_EQ(page.run("timers[0].ms"), "2000");
        page.tick();
        EXPECT_EQ(page.run("started + cleared"), "\"\"") << "nothing happens before the scan is in";
        page.run(scanWith(row.rsvs));
        page.tick();
        EXPECT_EQ(page.run("started"), row.started);
        EXPECT_EQ(page.run("cleared"), "[1]") << "polling stops once the scan is in";
        page.tick();
        EXPECT_EQ(page.run("started"), row.started) << "start runs at most once";
    }
}
