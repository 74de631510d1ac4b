#include <gtest/gtest.h>

#include <set>

#include "job/job.h"
#include "job/paths.h"
#include "job/pipeline.h"
#include "job/work_claim.h"
#include "job_test_support.h"

namespace {

class FakeAsset : public MediaAsset {
public:
    std::optional<RgbImage> frameAt(double, int) override { return std::nullopt; }
};

// A verifier that sees a recovered file of `dur` seconds whose frames decode
// except at the times listed in `failAt`.
struct FakeVerifier {
    Value dur = 600.0;
    std::set<double> failAt;
    std::vector<double> asked;
    int openCalls = 0;

    Verifier get() {
        return Verifier{[this](const std::string&) { return Value{{"dur", dur}, {"audio_tracks", 1}, {"meta_tracks", 0}}; },
                        [this](const std::string&) -> std::unique_ptr<MediaAsset> {
                            ++openCalls;
                            return std::make_unique<FakeAsset>();
                        },
                        [this](MediaAsset&, double t) -> std::optional<std::string> {
                            asked.push_back(t);
                            if (failAt.count(t)) return std::nullopt;
                            return std::string("data:image/jpeg;base64,AAAA");
                        }};
    }
};

std::set<std::string> everyFile(const std::string& root) {
    std::set<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(root)) files.insert(e.path().string());
    return files;
}

struct PipelineTest : PageBridgeTest {
    std::shared_ptr<Job> job = std::make_shared<Job>("abcd1234", bridge);
    std::string card = dir / "volumes/CARD", work = dir / "volumes/WORK";
    std::string rsv = card + "/PRIVATE/A001.RSV", ref = card + "/PRIVATE/A000.MP4";
    std::string rsvData = std::string(3 * 1024 * 1024, 'r') + "end";
    FakeVerifier verifier;

    void SetUp() override {
        PageBridgeTest::SetUp();
        installEngine(dir / "resources", kEchoEngine);
        writeFile(rsv, rsvData);
        writeFile(ref, "Info: Duration of A001: 600.0 s\n50%\nInfo: saving\n100%\n");
        fs::create_directories(work);
    }
    std::vector<Value> run(const std::string& rsvPath, const std::string& vol) {
        runJob(*job, rsvPath, ref, vol, verifier.get());
        drain();
        return progressStates(page->scripts);
    }
    WorkPaths paths(const std::string& vol) { return workPaths(rsv, vol); }
    void freshJob(const std::string& id) {  // another run: a new job, a quiet page
        page->scripts.clear();
        job = std::make_shared<Job>(id, bridge);
    }
    std::string engineInput() {  // the last argument the test engine got
        std::string args = readFile(dir / "resources/args");
        args.pop_back();
        return args.substr(args.rfind('\n') + 1);
    }
};

std::vector<std::string> stages(const std::vector<Value>& states) {
    std::vector<std::string> out;
    for (const Value& s : states)
        if (out.empty() || out.back() != s["stage"]) out.push_back(s["stage"]);
    return out;
}

TEST_F(PipelineTest, copies_runs_verifies_and_reports_the_final_state) {
    std::vector<Value> states = run(rsv, work);
    const WorkPaths p = paths(work);
    EXPECT_EQ(stages(states), (std::vector<std::string>{"copy", "recover", "verify", "done"}));
    EXPECT_EQ(states[0], (Value{{"id", "abcd1234"}, {"stage", "copy"}, {"pct", 0}, {"work_dir", p.folder}, {"out", p.recovered}}));
    EXPECT_EQ(states[1]["detail"].get<std::string>().rfind("복사 중 ", 0), 0u);
    EXPECT_EQ(readFile(p.copy), rsvData);
    EXPECT_EQ(engineInput(), p.copy);

    const Value& done = states.back();
    EXPECT_EQ(done["pct"], 100);
    EXPECT_EQ(done["detail"], "복구 완료");
    EXPECT_EQ(done["info"]["dur"], 600.0);
    EXPECT_EQ(done["durations"], (Value{"Info: Duration of A001: 600.0 s"}));
    EXPECT_EQ(done["out_size"], int64_t(rsvData.size()));
    EXPECT_EQ(done["note"], "편집 프로그램에서 정상 확인 전까지 카드 포맷 금지 · 확인 후 작업 폴더의 RSV 사본은 지워도 됩니다");
    ASSERT_EQ(done["thumbs"].size(), 3u);
    EXPECT_EQ(done["thumbs"][0], (Value{{"tag", "start"}, {"t", 6.0}, {"img", "data:image/jpeg;base64,AAAA"}}));
    EXPECT_EQ(done["thumbs"][1]["t"], 300.0);
    EXPECT_EQ(done["thumbs"][2]["t"], 585.0);
    EXPECT_EQ(verifier.openCalls, 1);  // one asset for the three frames

    // The engine's figures land in 35-70 and 70-92, "verify" at 92, each frame step shown.
    std::vector<std::string> details;
    for (const Value& s : states) details.push_back(s.value("detail", ""));
    auto at = [&](const std::string& d) { return std::find(details.begin(), details.end(), d) != details.end(); };
    EXPECT_TRUE(at("MP4 저장 100%"));
    EXPECT_TRUE(at("복구본 검증 중"));
    EXPECT_TRUE(at("검증 프레임 추출 — end"));
    EXPECT_EQ(readFile(rsv), rsvData);  // the card is only read
}

TEST_F(PipelineTest, verification_points_and_verdicts) {
    struct Row {
        Value dur;
        std::vector<double> failAt;
        std::vector<double> points;  // asked, in order
        std::string error;           // empty: done
    };
    const Row rows[] = {
        {20.0, {}, {0.2, 10.0, 5.0}, ""},
        {1.5, {}, {0.015, 0.75, 0.0}, ""},
        {2000.0, {}, {10.0, 1000.0, 1985.0}, ""},
        {0.8, {}, {}, "복구본 길이를 읽을 수 없습니다"},
        {1.0, {}, {}, "복구본 길이를 읽을 수 없습니다"},
        {0, {}, {}, "복구본 길이를 읽을 수 없습니다"},  // the integer 0 of an unknown duration
        {Value(), {}, {}, "복구본 길이를 읽을 수 없습니다"},
        {600.0, {585.0}, {6.0, 300.0, 585.0}, "프레임 검증 실패 — 2/3 지점만 디코딩됨"},
        {600.0, {6.0, 300.0, 585.0}, {6.0, 300.0, 585.0}, "프레임 검증 실패 — 0/3 지점만 디코딩됨"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dur.dump());
        freshJob("abcd1234");
        verifier = FakeVerifier{};
        verifier.dur = row.dur;
        verifier.failAt = std::set<double>(row.failAt.begin(), row.failAt.end());
        std::vector<Value> states = run(rsv, work);
        ASSERT_EQ(verifier.asked.size(), row.points.size());
        for (size_t i = 0; i < row.points.size(); ++i) EXPECT_DOUBLE_EQ(verifier.asked[i], row.points[i]);
        const Value& last = states.back();
        if (row.error.empty()) {
            EXPECT_EQ(last["stage"], "done");
        } else {
            EXPECT_EQ(last["stage"], "error");
            EXPECT_EQ(last["error"], row.error);
            EXPECT_EQ(last["pct"], 92);
            if (!row.points.empty()) {
                EXPECT_EQ(last["detail"], "검증 프레임 추출 — end");
            }
            EXPECT_TRUE(fs::exists(paths(work).recovered));  // a failed verdict removes nothing
        }
    }
}

TEST_F(PipelineTest, an_rsv_on_the_work_volume_is_used_in_place) {
    // "vol" spelled with a trailing slash misses the prefix test; the copy
    // destination is then the RSV itself and must not be truncated.
    const std::pair<std::string, std::string> rows[] = {{work + "/DCIM/A001.RSV", work}, {paths(work).copy, work + "/"}};
    for (const auto& [onWork, vol] : rows) {
        SCOPED_TRACE(vol);
        freshJob("abcd1239");
        writeFile(onWork, rsvData);
        std::vector<Value> states = run(onWork, vol);
        ASSERT_GE(states.size(), 3u);
        EXPECT_EQ(states[1]["pct"], 35);
        EXPECT_EQ(states[1]["detail"], "작업 볼륨 안 파일 — 복사 생략");
        EXPECT_EQ(states[2]["stage"], "recover");
        EXPECT_EQ(states.back()["stage"], "done");
        EXPECT_EQ(fs::path(engineInput()).filename(), "A001.RSV");
        EXPECT_EQ(readFile(onWork), rsvData);
        if (vol != work) continue;
        EXPECT_EQ(engineInput(), onWork);
        EXPECT_FALSE(fs::exists(workPaths(onWork, work).copy));
    }
}

// A complete earlier copy is reused: the second-recovery row of the write-over table.
TEST_F(PipelineTest, a_partial_earlier_copy_is_left_alone) {
    const WorkPaths p = paths(work);
    writeFile(p.copy, rsvData.substr(0, 1000));  // left by a failed run, maybe all the card still gave
    std::vector<Value> states = run(rsv, work);
    EXPECT_EQ(states[1]["detail"].get<std::string>().rfind("복사 중 ", 0), 0u);
    EXPECT_EQ(readFile(p.copy), rsvData.substr(0, 1000));
    EXPECT_EQ(readFile(workPaths(rsv, work, 2).copy), rsvData);
}

TEST_F(PipelineTest, failures_end_in_error_and_delete_nothing) {
    const std::set<std::string> before = everyFile(dir.path());

    // The engine fails: its message, the last pct and detail stay.
    writeFile(ref + ".exit", "2");
    std::vector<Value> states = run(rsv, work);
    EXPECT_EQ(states.back()["stage"], "error");
    EXPECT_EQ(states.back()["error"], "참조 파일을 읽을 수 없거나 손상되었습니다 — 같은 카메라로 찍은 다른 파일을 "
                                      "참조로 고르세요 (복구 엔진 종료 코드 2)");
    EXPECT_EQ(states.back()["log"], (Value{"Info: Duration of A001: 600.0 s", "Info: saving"}));
    EXPECT_DOUBLE_EQ(states.back()["pct"].get<double>(), 92.0);

    // The work folder cannot be made (the volume is a file): the system's text.
    freshJob("abcd1236");
    writeFile(dir / "not-a-volume", "x");
    states = run(rsv, dir / "not-a-volume");
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0]["stage"], "error");
    EXPECT_EQ(states[0]["pct"], 0);
    EXPECT_EQ(states[0]["error"], std::string("폴더가 있어야 할 자리에 파일이 있습니다 — 작업 볼륨을 다시 고르세요 (") +
                                      std::strerror(ENOTDIR) + ")");

    // The copy fails: the source cannot be read.
    freshJob("abcd1237");
    states = run(card + "/PRIVATE/B002.RSV", work);
    EXPECT_EQ(states.back()["error"], "복사 스트림을 열 수 없습니다");

    const std::set<std::string> after = everyFile(dir.path());
    for (const std::string& f : before) EXPECT_TRUE(after.count(f)) << f << " was removed";
    EXPECT_EQ(readFile(rsv), rsvData);
    EXPECT_TRUE(fs::exists(paths(work).copy));
    EXPECT_TRUE(fs::exists(paths(work).recovered));
}

}  // namespace

TEST_F(PipelineTest, a_same_named_recording_of_another_card_is_never_written_over) {
    // Card A's A001 was recovered earlier today; the user deleted its copy as advised.
    const WorkPaths first = paths(work);
    run(rsv, work);
    const std::string recoveredA = readFile(first.recovered);
    fs::remove(first.copy);

    // Card B's A001 is another recording: it gets names of its own.
    const std::string otherRsv = dir / "volumes/CARD_B/PRIVATE/A001.RSV";
    const std::string otherData = std::string(2 * 1024 * 1024, 'b');
    writeFile(otherRsv, otherData);
    freshJob("abcd1238");
    std::vector<Value> states = run(otherRsv, work);
    const WorkPaths second = workPaths(otherRsv, work, 2);
    EXPECT_EQ(states.back()["stage"], "done");
    EXPECT_EQ(states.back()["out"], second.recovered);
    EXPECT_EQ(readFile(second.copy), otherData);
    EXPECT_EQ(readFile(first.recovered), recoveredA);

    // While card B's copy sits under the first name, card A moves on to the next free one.
    writeFile(first.copy, otherData);
    EXPECT_EQ(WorkClaim(rsv, work, false).paths().copy, workPaths(rsv, work, 3).copy);
}

TEST_F(PipelineTest, nothing_there_is_written_over_or_through) {
    const std::string cardFile = card + "/PRIVATE/C0001.MP4", linked = "작업 폴더에 링크가 있어 쓰지 않았습니다";
    const WorkPaths p = paths(work);
    const struct {
        std::function<void()> arrange;
        std::string outcome;  // how the final "detail" (done) or "error" starts
    } rows[] = {
        // A second recovery of one recording writes beside the first result.
        {[&] { writeFile(p.copy, rsvData), writeFile(p.recovered, "earlier"); },
         "복구 완료 — 새 파일 A001_fixed_2.MP4 (이전 복구본은 그대로 있습니다)"},
        {[&] { fs::create_directory_symlink(card, p.folder); }, "작업 폴더가 링크입니다"},
        {[&] { writeFile(p.copy, rsvData), fs::create_symlink(cardFile, p.recovered); }, linked},
        {[&] { fs::create_directories(p.folder), fs::create_symlink(card + "/NEW.RSV", p.copy); }, linked},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.outcome);
        fs::remove_all(work);
        fs::create_directories(work);
        writeFile(cardFile, "card");
        row.arrange();
        const std::set<std::string> cardBefore = everyFile(card);
        freshJob("abcd9999");
        const Value last = run(rsv, work).back();
        const std::string said = last.value("error", last.value("detail", ""));
        EXPECT_EQ(said.rfind(row.outcome, 0), 0u) << said;
        if (last["stage"] == "done") {
            EXPECT_EQ(readFile(last["out"]), rsvData);
            EXPECT_EQ(readFile(p.recovered), "earlier");
        }
        EXPECT_EQ(everyFile(card), cardBefore);
        EXPECT_EQ(readFile(cardFile), "card");
    }
}
