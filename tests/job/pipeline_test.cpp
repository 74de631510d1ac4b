#include <gtest/gtest.h>

#include <set>

#include "bridge/utf8.h"
#include "job/followed_copy.h"
#include "job/job.h"
#include "job/pipeline.h"
#include "job/records.h"
#include "job_test_support.h"
#include "scan/scan.h"

namespace {

class FakeAsset : public MediaAsset {
public:
    std::optional<RgbImage> frameAt(double, int) override { return std::nullopt; }
};

// A verifier that sees a recovered file of `dur` seconds whose frames decode
// except at the times in `failAt`, and whose pictures check as `pictures`.
struct FakeVerifier {
    Value dur = 600.0;
    std::set<double> failAt;
    std::vector<double> asked;
    std::optional<PictureCheck> pictures = PictureCheck{60, 60, 0, 15000, 1920, 1080, true, {}};
    std::function<void()> whileChecking;
    std::vector<std::string> checked;  // the content of each file checked

    Verifier get() {
        return Verifier{[this](const std::string&) { return Value{{"dur", dur}, {"audio_tracks", 1}, {"meta_tracks", 0}}; },
                        [](const std::string&) -> std::unique_ptr<MediaAsset> { return std::make_unique<FakeAsset>(); },
                        [this](MediaAsset&, double t) -> std::optional<std::string> {
                            asked.push_back(t);
                            if (failAt.count(t)) return std::nullopt;
                            return std::string("data:image/jpeg;base64,AAAA");
                        },
                        [this](const std::string& path, double, const std::function<bool()>&) {
                            checked.push_back(readFile(path));
                            if (whileChecking) whileChecking();
                            return pictures;
                        }};
    }
};

std::set<std::string> everyFile(const std::string& root) {
    std::set<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root)) files.insert(e.path().string());
    return files;
}

struct PipelineTest : PageBridgeTest {
    std::unique_ptr<Scratch> cards = cardScratch(dir);
    std::shared_ptr<Job> job = std::make_shared<Job>("abcd1234", bridge);
    std::string card, work = dir / "WORK", rsv, ref;
    std::string rsvData = std::string(3 * 1024 * 1024, 'r') + "end";
    FakeVerifier verifier;

    void SetUp() override {
        PageBridgeTest::SetUp();
        if (!cards) GTEST_SKIP() << "no second file system for a card";
        setMountDirectory(*cards / "volumes");
        card = *cards / "volumes/CARD";
        rsv = card + "/PRIVATE/A001.RSV", ref = card + "/PRIVATE/A000.MP4";
        installEngine(dir / "resources", kEchoEngine);
        writeFile(rsv, rsvData);
        writeFile(ref, "Info: Duration of A001: 600.0 s\n50%\nInfo: saving\n100%\n");
        fs::create_directories(work);
    }
    void TearDown() override { setMountDirectory(""); }
    std::vector<Value> run(const std::string& rsvPath, const std::string& vol) {
        runJob(*job, rsvPath, ref, vol, verifier.get());
        drain();
        return progressStates(page->scripts);
    }
    void freshJob() {  // another run: a new job, a quiet page
        page->scripts.clear();
        job = std::make_shared<Job>("abcd9999", bridge);
    }
    std::string folder() { return readFile(dir / "resources/args").empty() ? "" : job->state()["work_dir"]; }
    std::vector<std::string> engineArgs() {
        std::vector<std::string> args;
        std::istringstream in(readFile(dir / "resources/args"));
        for (std::string line; std::getline(in, line);) args.push_back(line);
        return args;
    }
};

TEST_F(PipelineTest, copies_repairs_verifies_and_only_then_names_the_result) {
    std::vector<Value> states = run(rsv, work);
    const Value& done = states.back();
    ASSERT_EQ(done["stage"], "done") << done.dump();
    const std::string f = done["work_dir"];
    EXPECT_EQ(states[0]["card_name"], "CARD");
    EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const Value& s) { return s.value("stage", "") == "recover"; }));
    EXPECT_EQ(done["out"], f + "/CARD_A001_fixed.MP4");
    // The engine writes through the folder the job opened, and reads the
    // finished copy itself, while the job flushes and names it.
    EXPECT_EQ(engineArgs()[3], "/proc/self/fd/3/CARD_A001_fixed.MP4.partial");
    EXPECT_EQ(engineArgs()[5], "/proc/self/fd/4");
    // Every file under its final name, with its record; nothing unfinished left.
    EXPECT_EQ(readFile(f + "/CARD_A001.RSV"), rsvData);
    EXPECT_EQ(readFile(f + "/CARD_A001_fixed.MP4"), rsvData);
    EXPECT_EQ(everyFile(f), (std::set<std::string>{f + "/CARD_A001.RSV", f + "/.CARD_A001.RSV.torvelin.json",
                                                   f + "/CARD_A001_fixed.MP4", f + "/.CARD_A001_fixed.MP4.torvelin.json"}));
    const Value copy = Value::parse(readFile(f + "/.CARD_A001.RSV.torvelin.json"));
    EXPECT_EQ(copy["kind"], "copy");
    EXPECT_EQ(copy["complete"], true);
    EXPECT_EQ(copy["source_size"], int64_t(rsvData.size()));
    EXPECT_EQ(copy["card_name"], "CARD");
    const Value result = Value::parse(readFile(f + "/.CARD_A001_fixed.MP4.torvelin.json"));
    EXPECT_EQ(result["copy"], "CARD_A001.RSV");
    EXPECT_EQ(result["frames"], 15000);
    EXPECT_EQ(result["partial"], false);
    EXPECT_EQ(done["verify"], (Value{{"checked", 60}, {"errors", 0}, {"frames", 15000}, {"width", 1920}, {"height", 1080}}));
    EXPECT_EQ(done["partial"], false);
    EXPECT_TRUE(done.contains("elapsed_s"));
    EXPECT_FALSE(done.contains("eta_s"));
    EXPECT_EQ(done["durations"], (Value{"Info: Duration of A001: 600.0 s"}));

    // Again, same recording: the proven copy is reused, a new result beside the first.
    freshJob();
    states = run(rsv, work);
    EXPECT_EQ(states.back()["detail"], "복구 완료 — 새 파일 CARD_A001_fixed_2.MP4 (이전 복구본은 그대로 있습니다)");
    EXPECT_EQ(engineArgs()[5], "/proc/self/fd/4/CARD_A001.RSV");
    for (const Value& s : states) EXPECT_NE(s.value("detail", "").rfind("복사 중", 0), 0u);

    // The copy itself, recovered from the work folder: in place, not copied again.
    freshJob();
    states = run(f + "/CARD_A001.RSV", work);
    EXPECT_EQ(states[1]["detail"], "작업 볼륨 안 파일 — 복사 생략");
    EXPECT_EQ(states.back()["out"], f + "/CARD_A001_fixed_3.MP4");
    EXPECT_EQ(states.back()["card_name"], "CARD");  // from the copy's record
    EXPECT_EQ(readFile(rsv), rsvData);
}

TEST_F(PipelineTest, verification_verdicts) {
    PictureCheck damaged{40, 37, 5, 15000, 1920, 1080, true, {{12.0, 13.0}, {62.5, 64.0}}};
    PictureCheck noClean{40, 0, 550, 15000, 1920, 1080, true, {{0, 600}}};
    PictureCheck wrongSize{40, 40, 0, 15000, 1920, 1080, false, {}};
    struct Row {
        Value dur;
        std::optional<PictureCheck> pictures;
        std::vector<double> failAt, points;  // thumbnails refused; asked, in order
        std::string outcome;                 // how "detail" (done) or "error" begins
    };
    const Row rows[] = {
        {20.0, PictureCheck{2, 2, 0, 500, 1920, 1080, true, {}}, {}, {0.2, 10.0, 19.0}, "복구 완료"},
        // A camera can lose power half a second in; the end is the last second.
        {0.76, PictureCheck{1, 1, 0, 19, 1920, 1080, true, {}}, {}, {0.0076, 0.38, 0.0}, "복구 완료"},
        {2000.0, PictureCheck{}, {}, {10.0, 1000.0, 1999.0}, "복구 완료"},
        {600.0, damaged, {}, {6.0, 300.0, 599.0}, "복구 완료 · 일부 손상 (0:12–0:13, 1:02–1:04)"},
        {0, PictureCheck{}, {}, {}, "복구본 길이를 읽을 수 없습니다"},  // the integer 0 of an unknown duration
        {Value(), PictureCheck{}, {}, {}, "복구본 길이를 읽을 수 없습니다"},
        {600.0, noClean, {}, {6.0, 300.0, 599.0}, "복구본의 영상이 모두 손상되어 있습니다"},
        {600.0, std::nullopt, {}, {6.0, 300.0, 599.0}, "복구본의 영상이 모두 손상되어 있습니다"},
        {600.0, wrongSize, {}, {6.0, 300.0, 599.0}, "복구본의 화면 크기가 녹화와 다릅니다"},
        {600.0, PictureCheck{}, {599.0}, {6.0, 300.0, 599.0}, "프레임 검증 실패 — 2/3 지점만 디코딩됨"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dur.dump() + " " + row.outcome);
        freshJob();
        fs::remove_all(work);
        fs::create_directories(work);
        verifier = FakeVerifier{};
        verifier.dur = row.dur;
        verifier.failAt = std::set<double>(row.failAt.begin(), row.failAt.end());
        if (row.pictures && row.pictures->frames == 0) verifier.pictures = FakeVerifier{}.pictures;
        else verifier.pictures = row.pictures;
        const Value last = run(rsv, work).back();
        ASSERT_EQ(verifier.asked.size(), row.points.size());
        for (size_t i = 0; i < row.points.size(); ++i) EXPECT_DOUBLE_EQ(verifier.asked[i], row.points[i]);
        const std::string said = last.value("error", last.value("detail", ""));
        EXPECT_EQ(said.rfind(row.outcome, 0), 0u) << said;
        const std::string f = last["work_dir"];
        if (last["stage"] == "done") {
            EXPECT_EQ(last["partial"], said.find("일부 손상") != std::string::npos);
            if (row.pictures && !row.pictures->damaged.empty()) {
                EXPECT_EQ(last["damaged_ranges"], (Value{{12.0, 13.0}, {62.5, 64.0}}));
            }
            continue;
        }
        EXPECT_EQ(last["error_kind"], "verify_failed");
        // Kept, but never under the final name.
        EXPECT_TRUE(fs::exists(f + "/CARD_A001_fixed.MP4.partial"));
        EXPECT_FALSE(fs::exists(f + "/CARD_A001_fixed.MP4"));
    }
}

// An engine that says its output is written before it flushes and names it,
// as the real one does; with "<ref>.swap" another file takes the name after
// that line, and "<ref>.exit" holds its exit status.
const char kFlushingEngine[] =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
    "cp \"$6\" \"$4.partial\"\n"
    "echo \"Info: written, flushing: $(basename \"$4\").partial\"\n"
    "sleep 0.3\n"  // the time a flush takes
    "if [ -f \"$5.swap\" ]; then echo other > \"$4.x\"; mv \"$4.x\" \"$4.partial\"; fi\n"
    "mv \"$4.partial\" \"$4\"\n"
    "if [ -f \"$5.exit\" ]; then exit \"$(cat \"$5.exit\")\"; fi\n";

TEST_F(PipelineTest, verification_begins_while_the_engine_flushes_and_counts_only_for_the_file_it_names) {
    installEngine(dir / "resources", kFlushingEngine);
    // Rows: another file takes the name after the line; the engine's exit
    // status; what the last check and the result hold ("": no result).
    for (const auto& [swap, exit, holds] : {std::tuple{false, "0", rsvData}, std::tuple{true, "0", std::string("other\n")},
                                            std::tuple{false, "3", std::string()}}) {
        freshJob();
        fs::remove_all(work);
        fs::create_directories(work);
        verifier = FakeVerifier{};
        fs::remove(ref + ".swap");
        if (swap) writeFile(ref + ".swap", "");
        writeFile(ref + ".exit", exit);
        const Value last = run(rsv, work).back();
        EXPECT_EQ(last["stage"], holds.empty() ? "error" : "done") << last.dump();
        EXPECT_EQ(fs::exists(last["out"].get<std::string>()) ? readFile(last["out"]) : "", holds);
        if (!holds.empty()) {
            EXPECT_EQ(verifier.checked.back(), holds);
        }
    }
    fs::remove(ref + ".exit");
}

// An engine that says it has started, then follows the copy's records on
// descriptor 5 and fails, as the real one does, when they end without "complete".
const char kFollowingEngine[] =
    "#!/bin/sh\ntouch \"$(dirname \"$0\")/started\"\n"
    "while read -r rec <&5; do case \"$rec\" in complete*) exec cp \"$6\" \"$4\";; esac; done\nexit 3\n";

TEST_F(PipelineTest, the_engine_starts_while_the_copy_is_written_and_a_copy_failing_then_names_nothing) {
    installEngine(dir / "resources", kFollowingEngine);
    const std::string started = dir / "resources/started", big = std::string(kFirstStretch + kCopyChunk, 'b');
    writeFile(rsv, big);
    for (const bool fails : {false, true}) {
        freshJob();
        fs::remove(started);
        fs::remove_all(work);
        fs::create_directories(work);
        // Past the first stretch the copy waits for the engine (5 s at most), then goes on or fails.
        CopyIo io = CopyIo::system();
        io.copyRange = io.sendFile = nullptr;
        int64_t read = 0;
        bool engineFirst = false;
        io.read = [&](int fd, void* buf, size_t n) -> ssize_t {
            for (int i = 0; read >= kFirstStretch && i < 100 && !fs::exists(started); ++i) ::usleep(50000);
            engineFirst |= fs::exists(started);
            if (read >= kFirstStretch && fails) return errno = EIO, -1;
            const ssize_t got = ::read(fd, buf, n);
            return read += std::max<ssize_t>(got, 0), got;
        };
        runJob(*job, rsv, ref, work, verifier.get(), io);
        drain();
        const Value last = progressStates(page->scripts).back();
        EXPECT_TRUE(engineFirst) << fails;
        EXPECT_EQ(last["stage"], fails ? "error" : "done") << last.dump();
        if (!fails) {
            EXPECT_EQ(readFile(last["out"]), big);
            continue;
        }
        // The copy's reason, not the engine's; the engine ended; only unfinished names.
        EXPECT_EQ(last["error_kind"], "copy_failed");
        EXPECT_TRUE(job->proc && job->proc->waitStatus);
        for (const std::string& file : everyFile(last["work_dir"])) EXPECT_EQ(fs::path(file).extension(), ".partial") << file;
    }
}

TEST_F(PipelineTest, a_cancel_during_verification_leaves_nothing_under_the_final_name) {
    verifier.whileChecking = [this] { job->cancel(); };
    const Value last = run(rsv, work).back();
    EXPECT_EQ(last["stage"], "cancelled");
    EXPECT_EQ(last["error_kind"], "cancelled");
    EXPECT_FALSE(fs::exists(last["out"].get<std::string>()));
}

TEST_F(PipelineTest, the_card_is_never_written) {
    const std::set<std::string> before = everyFile(*cards / "volumes");
    // The card's root, the RSV's own folder, the root with a trailing slash.
    for (const std::string& vol : {card, card + "/PRIVATE", card + "/"}) {
        freshJob();
        const Value last = run(rsv, vol).back();
        EXPECT_EQ(last["error_kind"], "card_is_work_volume") << vol;
        EXPECT_EQ(last["error"], "카드에는 쓰지 않습니다 — RSV가 있는 카드가 아닌 다른 작업 볼륨을 고르세요");
    }
    EXPECT_EQ(everyFile(*cards / "volumes"), before);

    // The work folder swapped for a link to the card's folder while the
    // engine runs: the writes still land in the folder the job opened.
    installEngine(dir / "resources",
                  "#!/bin/sh\nd=$(readlink /proc/self/fd/3)\nmv \"$d\" \"$d.moved\"\n"
                  "ln -s '" + card + "/PRIVATE' \"$d\"\ncat \"$6\" > \"$4\"\nexit 0\n");
    freshJob();
    const Value last = run(rsv, work).back();
    EXPECT_EQ(last["stage"], "done") << last.dump();
    EXPECT_EQ(everyFile(*cards / "volumes"), before);
    EXPECT_EQ(readFile(last["work_dir"].get<std::string>() + ".moved/CARD_A001_fixed.MP4"), rsvData);
}

TEST_F(PipelineTest, only_a_proven_complete_copy_of_this_very_recording_is_reused) {
    const std::string f = run(rsv, work).back()["work_dir"];
    // Another card of the same name, a clip of the same size and the same
    // leading bytes: a new copy under the next name.
    const std::string other = std::string(3 * 1024 * 1024, 'r') + "END";
    writeFile(rsv, other);
    freshJob();
    Value last = run(rsv, work).back();
    EXPECT_EQ(readFile(f + "/CARD_A001_2.RSV"), other);
    EXPECT_EQ(readFile(last["out"].get<std::string>()), other);
    // A copy without its record, a record without its copy and a half copy
    // are left alone.
    fs::remove(f + "/.CARD_A001.RSV.torvelin.json");
    fs::rename(f + "/CARD_A001_2.RSV", f + "/CARD_A001_3.RSV.partial");
    writeFile(rsv, rsvData);
    freshJob();
    last = run(rsv, work).back();
    EXPECT_EQ(fs::path(last["out"].get<std::string>()).filename(), "CARD_A001_4_fixed.MP4");
    EXPECT_EQ(readFile(f + "/CARD_A001_4.RSV"), rsvData);
}

TEST_F(PipelineTest, names_avoid_every_leftover_and_fit_the_file_system) {
    const std::string f = work + "/" + fs::path(run(rsv, work).back()["work_dir"].get<std::string>()).filename().string();
    fs::remove_all(f);
    fs::create_directories(f);
    writeFile(f + "/CARD_A001.RSV.partial", "half");
    for (int n = 2; n <= 1000; n += 499) writeFile(f + "/CARD_A001_2_fixed.MP4.partial-" + std::to_string(n), "");
    writeFile(f + "/CARD_A001_2_fixed.MP4.partial.partial", "");
    freshJob();
    EXPECT_EQ(run(rsv, work).back()["out"], f + "/CARD_A001_2_fixed_2.MP4");

    // A 240-byte name: every name the job makes is shortened to fit, before the first byte.
    const std::string longRsv = card + "/PRIVATE/" + std::string(236, 'L') + ".RSV";
    writeFile(longRsv, rsvData);
    freshJob();
    const Value last = run(longRsv, work).back();
    EXPECT_EQ(last["stage"], "done") << last.dump();
    for (const std::string& file : everyFile(f)) EXPECT_LE(fs::path(file).filename().string().size(), 255u);

    // A name that is no UTF-8: its bytes kept, its text lossless on the page.
    const std::string odd = card + "/PRIVATE/A\xff" "02.RSV";
    writeFile(odd, rsvData);
    freshJob();
    EXPECT_EQ(run(odd, work).back()["out"], pathText(f + "/CARD_A\xff" "02_fixed.MP4"));
    EXPECT_EQ(readFile(f + "/CARD_A\xff" "02.RSV"), rsvData);
}

TEST_F(PipelineTest, failures_say_what_happened_in_korean_with_the_details_in_the_log) {
    writeFile(ref + ".exit", "11");
    Value last = run(rsv, work).back();
    EXPECT_EQ(last["error_kind"], "reference_mismatch");
    EXPECT_EQ(last["log"], (Value{"Info: Duration of A001: 600.0 s", "Info: saving"}));
    EXPECT_DOUBLE_EQ(last["pct"].get<double>(), 92.0);

    writeFile(dir / "not-a-volume", "x");
    freshJob();
    last = run(rsv, dir / "not-a-volume").back();
    EXPECT_EQ(last["error"], "폴더가 있어야 할 자리에 파일이 있습니다 — 작업 볼륨을 다시 고르세요");
    EXPECT_EQ(last["log"], (Value{std::strerror(ENOTDIR)}));
    EXPECT_EQ(last["error_kind"], "other");
}

}  // namespace
