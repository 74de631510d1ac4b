// The real application under a virtual X server, with a test page of its own
// (e2e_page/index.html) in a resources folder made for the run. The page shows
// what it observes as coloured squares; the test reads them from the screen,
// drives the keyboard through XTEST and closes the window as a window manager
// would. One run uses the built resources instead (the real page and engine)
// on a generated card. Skipped when Xvfb is not installed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch.h"
#include "x_session.h"

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 1024;
constexpr const char* kTitle = "TORVELIN RECOVERY";
// Generous: WebKit starts slowly on a busy two-core machine. Nothing here
// asserts on time; these only bound how long a broken build hangs.
constexpr int kStartMs = 30000;
constexpr int kEventMs = 20000;
constexpr int kCardMs = 300000;     // encoding the card's clips
constexpr int kRecoverMs = 240000;  // copy, repair and verification of a few seconds of video

// The squares of the test page, in its order.
enum Square { kRuns, kViewport, kAnswers, kStaysHome, kStarted, kUnused, kSelectAll, kCopy, kPaste };

// The same name as ODD in the test page: quotes, a closing script tag and a
// line break, so only a literal match of the whole text can find it.
const std::string kOddName = "it's \"odd\" </script>\n.RSV";

bool near(const Rgb& c, int r, int g, int b, int slack) {
    return std::abs(c.r - r) <= slack && std::abs(c.g - g) <= slack && std::abs(c.b - b) <= slack;
}

// Every file under `top` with its size and modification time.
std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> snapshot(const std::string& top) {
    std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>> files;
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(top, std::filesystem::directory_options::follow_directory_symlink))
        if (e.is_regular_file()) files[e.path().string().substr(top.size() + 1)] = {e.file_size(), e.last_write_time()};
    return files;
}

class WindowE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display_ = VirtualDisplay::start(kScreenWidth, kScreenHeight); }
    static void TearDownTestSuite() { display_.reset(); }

    void SetUp() override {
        if (!display_) GTEST_SKIP() << "Xvfb is not available";
        for (const char* d : {"res", "home", "runtime", "volumes", "gpu-cache"}) scratch_.folder(d);
        scratch_.write("res/LICENSES.txt", "Licences of the test run. E2E-LICENCE-MARKER\n");
        x_ = std::make_unique<XClient>(display_->name);
        ASSERT_TRUE(x_->connected());
    }

    void TearDown() override {
        app_.reset();
        x_.reset();
    }

    // Starts the application (`autotest`: the value of TORVELIN_AUTOTEST), with
    // or without the test page, and waits for the window and the top edge of
    // the page (its magenta corner).
    void launch(const std::optional<std::string>& autotest, bool withPage, const std::string& resources = "") {
        if (withPage) scratch_.write("res/web/index.html", readFile(E2E_PAGE));
        const std::vector<std::string> env = {
            "DISPLAY=" + display_->name, "GDK_BACKEND=x11", "HOME=" + root_ + "/home",
            // A desktop session has a runtime folder; without one GLib would
            // fall back to a folder in the home folder.
            "XDG_RUNTIME_DIR=" + root_ + "/runtime", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
            "NO_AT_BRIDGE=1",
            // The GL driver's shader cache follows the account's home, not
            // HOME; keep it out of the machine's real one.
            "MESA_SHADER_CACHE_DIR=" + root_ + "/gpu-cache",
            autotest ? "TORVELIN_AUTOTEST=" + *autotest : "TORVELIN_AUTOTEST"};
        app_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{APP_EXE, "--resources", resources.empty() ? root_ + "/res" : resources, "--volumes",
                                     root_ + "/volumes"},
            env,
            root_ + "/stdout", root_ + "/stderr");
        ASSERT_TRUE(app_->started());
        ASSERT_TRUE(waitFor([&] { return (window_ = x_->findWindow(kTitle).value_or(0)) != 0; }, kStartMs))
            << "no window; stderr:\n" << readFile(root_ + "/stderr");
        box_ = x_->box(window_);
        if (!withPage) return;
        ASSERT_TRUE(waitFor(
            [&] {
                box_ = x_->box(window_);
                const std::vector<Rgb> column = x_->pixels(box_.x + 1, box_.y, 1, std::min(box_.height, 120));
                const auto corner = std::find_if(column.begin(), column.end(), [](Rgb c) { return near(c, 255, 0, 255, 8); });
                pageTop_ = box_.y + int(corner - column.begin());
                return corner != column.end();
            },
            kStartMs))
            << "the page did not appear; stderr:\n" << readFile(root_ + "/stderr");
    }

    Rgb pagePixel(int px, int py) { return x_->pixel(box_.x + px, pageTop_ + py); }
    Rgb square(Square k) { return pagePixel(60 + 60 * k, 60); }
    bool isGreen(Square k) { return near(square(k), 40, 200, 80, 8); }
    bool isGrey(Square k) { return near(square(k), 128, 128, 128, 8); }
    bool waitGreen(Square k) { return waitFor([&] { return isGreen(k); }, kEventMs); }

    std::vector<std::string> homeWrites() {
        std::vector<std::string> written;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_ + "/home")) written.push_back(e.path());
        return written;
    }

    static inline std::unique_ptr<VirtualDisplay> display_;
    Scratch scratch_;
    const std::string root_ = scratch_.path();
    std::unique_ptr<XClient> x_;
    std::unique_ptr<ChildProcess> app_;
    Window window_ = 0;
    XClient::Box box_{};
    int pageTop_ = 0;
};

}  // namespace

TEST_F(WindowE2E, shows_the_page_serves_it_and_quits_on_control_q) {
    ASSERT_NO_FATAL_FAILURE(launch(kOddName, true));

    // Size, minimum and place (findWindow matched the title).
    const int menuHeight = pageTop_ - box_.y;
    EXPECT_EQ(box_.width, 1060);
    EXPECT_EQ(box_.height - menuHeight, 780);
    EXPECT_GT(menuHeight, 0) << "the menu bar sits above the page";
    EXPECT_NEAR(box_.x, (kScreenWidth - box_.width) / 2, 1);
    EXPECT_NEAR(box_.y, (kScreenHeight - box_.height) / 2, 1);
    const auto minimum = x_->minSize(window_);
    ASSERT_TRUE(minimum.has_value());
    EXPECT_EQ(minimum->first, 760);
    EXPECT_EQ(minimum->second - menuHeight, 560);

    EXPECT_TRUE(waitGreen(kRuns));
    EXPECT_TRUE(waitGreen(kViewport)) << "the page does not get 1060 x 780";
    EXPECT_TRUE(waitGreen(kAnswers)) << "requests were not answered through __resolve";

    // Ctrl+A, Ctrl+C and Ctrl+V reach the focused text field of the page.
    ASSERT_TRUE(isGrey(kSelectAll)) << "the field starts with nothing selected";
    for (const auto& [key, done] : {std::pair("a", kSelectAll), {"c", kCopy}, {"v", kPaste}}) {
        x_->key(window_, key, true);
        EXPECT_TRUE(waitGreen(done)) << "Ctrl+" << key << " did not select, copy or paste";
    }

    EXPECT_TRUE(waitGreen(kStaysHome)) << "the page was left or a window opened";
    EXPECT_TRUE(waitGreen(kStarted)) << "start(i) was not called with the odd name's index alone";

    // The page's pixels sit on the window's near-black background, and the
    // menu bar has the dark theme's light text.
    const Rgb clear = pagePixel(900, 600);
    EXPECT_TRUE(near(clear, 13, 13, 13, 1)) << "transparent page area shows " << clear;
    int brightest = 0;
    for (const Rgb& c : x_->pixels(box_.x, box_.y, 300, menuHeight)) brightest = std::max(brightest, c.g);
    EXPECT_GT(brightest, 180) << "the menu bar's text is not light: the theme is not dark";

    x_->key(window_, "q", true);
    EXPECT_EQ(app_->waitExit(kEventMs), std::optional<int>(0));

    EXPECT_EQ(homeWrites(), std::vector<std::string>{}) << "written into the home folder";
    EXPECT_EQ(readFile(root_ + "/stdout"), "") << "the window application prints nothing";
}

TEST_F(WindowE2E, without_a_page_the_window_stays_empty_and_dark_and_closing_it_ends_the_app) {
    ASSERT_NO_FATAL_FAILURE(launch(std::nullopt, false));
    EXPECT_EQ(box_.width, 1060);
    const auto middle = [&] { return x_->pixel(box_.x + box_.width / 2, box_.y + box_.height / 2); };
    EXPECT_TRUE(waitFor([&] { return near(middle(), 13, 13, 13, 1); }, kEventMs)) << middle();

    x_->requestClose(window_);  // with no job running, closing ends the application at once
    EXPECT_EQ(app_->waitExit(kEventMs), std::optional<int>(0));
}

TEST_F(WindowE2E, closing_over_a_running_recovery_asks_first) {
    // A recovery that runs until it is told otherwise: an engine that only
    // waits, and a page that starts it on an RSV already on the work volume.
    scratch_.write("res/untrunc", "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/engine.pid\"\nexec sleep 120\n");
    ::chmod((root_ + "/res/untrunc").c_str(), 0755);
    const std::string work = root_ + "/volumes/WORK";
    scratch_.write("volumes/WORK/RSV복구_240101/C0001.RSV", "rsv");  // our own copy: recovered in place
    scratch_.write("volumes/WORK/C0000.MP4", "reference");
    scratch_.write("res/web/index.html",
                   "<!doctype html><meta charset=utf-8><script>window.webkit.messageHandlers.bridge.postMessage("
                   "{cmd: 'recover', call: 1, args: {rsv: '" + work + "/RSV복구_240101/C0001.RSV', ref: '" + work +
                   "/C0000.MP4', vol: '" + work + "'}});</script>");
    ASSERT_NO_FATAL_FAILURE(launch(std::nullopt, false));
    const std::string pidFile = root_ + "/res/engine.pid";
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(pidFile) && !readFile(pidFile).empty(); }, kEventMs))
        << "the recovery did not start; stderr:\n" << readFile(root_ + "/stderr");
    const pid_t engine = std::stoi(readFile(pidFile));
    // The title carries the running recovery's progress instead of the bare name.
    EXPECT_TRUE(waitFor([&] { return !x_->findWindow(kTitle).has_value(); }, kEventMs)) << "the title shows no progress";

    const char* ask = "복구 작업이 진행 중입니다";
    std::optional<Window> dialog;
    auto asked = [&] { return (dialog = x_->findWindow(ask)).has_value(); };
    x_->requestClose(window_);
    ASSERT_TRUE(waitFor(asked, kEventMs)) << "closing did not ask";
    x_->key(*dialog, "Escape", false);  // as "계속": the window stays
    EXPECT_TRUE(waitFor([&] { return !x_->findWindow(ask).has_value(); }, kEventMs));
    EXPECT_FALSE(app_->waitExit(0).has_value()) << "the application ended although the user went on";

    x_->requestClose(window_);
    ASSERT_TRUE(waitFor(asked, kEventMs)) << "closing again did not ask";
    x_->key(*dialog, "Tab", false);  // from "계속" to "끝내기"
    x_->key(*dialog, "Return", false);
    EXPECT_EQ(app_->waitExit(kEventMs), std::optional<int>(0));
    // "끝내기" stops the job: the engine ends with the application.
    const auto gone = [&] {
        return ::kill(engine, 0) != 0 ||
               readFile("/proc/" + std::to_string(engine) + "/stat").find(") Z") != std::string::npos;
    };
    EXPECT_TRUE(waitFor(gone, kEventMs)) << "the engine outlived the application";
    ::kill(engine, SIGKILL);
}

TEST_F(WindowE2E, the_real_page_recovers_a_card_left_unattended_and_only_reads_the_card) {
    const std::string mount = root_ + "/volumes";
    ChildProcess card({"python3", MAKE_DEMO_CARD, mount}, {}, root_ + "/card.json", root_ + "/card.err");
    ASSERT_EQ(card.waitExit(kCardMs), std::optional<int>(0)) << readFile(root_ + "/card.err");
    const auto laid = nlohmann::json::parse(readFile(root_ + "/card.json"));
    // The card lives on another file system than the work volume, as a real one does.
    Scratch elsewhere("/dev/shm");
    struct stat shm {}, here {};
    if (::stat(elsewhere.path().c_str(), &shm) != 0 || ::stat(mount.c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "no second file system for the card";
    ASSERT_EQ(std::system(("mv '" + mount + "/DEMO_CARD' '" + elsewhere.path() + "/'").c_str()), 0);
    std::filesystem::create_directory_symlink(elsewhere.path() + "/DEMO_CARD", mount + "/DEMO_CARD");
    const std::string rsv = laid["rsv"], rsvBytes = readFile(rsv), work = laid["work"];
    const auto before = snapshot(mount);
    ASSERT_NO_FATAL_FAILURE(launch(std::string("C0002.RSV"), false, RESOURCES_DIR));

    // The finished job's bar: nothing else on the page paints so much of its green.
    const auto done = [&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // a whole screen per look: look seldom
        const std::vector<Rgb> shown = x_->pixels(box_.x, box_.y, box_.width, box_.height);
        return std::count_if(shown.begin(), shown.end(), [](Rgb c) { return near(c, 0x6f, 0xcf, 0x97, 8); }) > 1500;
    };
    ASSERT_TRUE(waitFor(done, kRecoverMs)) << "the page never showed the finished job; stderr:\n"
                                           << readFile(root_ + "/stderr");
    x_->key(window_, "q", true);
    EXPECT_EQ(app_->waitExit(kEventMs), std::optional<int>(0));
    EXPECT_EQ(readFile(root_ + "/stdout"), "") << "the window application prints nothing";
    EXPECT_EQ(homeWrites(), std::vector<std::string>{}) << "written into the home folder";

    // Only the job's work folder is new; the card's recording is read, never written.
    const auto after = snapshot(mount);
    std::vector<std::string> changed;
    for (const auto& [rel, meta] : after)
        if (before.count(rel) ? before.at(rel) != meta : rel.rfind("DEMO_WORK/RSV복구_", 0) != 0) changed.push_back(rel);
    for (const auto& [rel, meta] : before)
        if (!after.count(rel)) changed.push_back(rel);
    EXPECT_EQ(changed, std::vector<std::string>{}) << "written or removed outside the work folder";
    EXPECT_TRUE(readFile(rsv) == rsvBytes) << "the card's RSV changed";

    // What it holds is the headless recovery's matter (run_e2e.py, the same card and engine).
    std::vector<std::string> outs;
    for (const auto& e : std::filesystem::recursive_directory_iterator(work))
        if (e.path().filename() == "DEMO_CARD_C0002_fixed.MP4") outs.push_back(e.path());
    EXPECT_EQ(outs.size(), 1u);
}
