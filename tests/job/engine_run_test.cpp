#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/base/engine_contract.h"
#include "job/engine_run.h"
#include "job/job.h"
#include "job/job_error.h"
#include "job_test_support.h"

namespace {

struct EngineRunTest : PageBridgeTest {
    std::shared_ptr<Job> job = std::make_shared<Job>("e0e0e0e0", bridge);
    std::string resources = dir / "resources";
    std::string ref = dir / "ref.MP4", rsv = dir / "A001.RSV", out = dir / "A001_fixed.MP4";

    void SetUp() override {
        PageBridgeTest::SetUp();
        fs::create_directories(resources);
        writeFile(rsv, "rsv bytes");
    }
    // The echo engine prints `output`, writes the RSV to out and exits with `status`.
    void engineSays(const std::string& output, int status = 0) {
        installEngine(resources, kEchoEngine);
        writeFile(ref, output);
        if (status != 0) writeFile(ref + ".exit", std::to_string(status));
    }
    JobError failure() {
        try {
            runUntrunc(*job, ref, rsv, out);
        } catch (const JobError& e) {
            return e;
        }
        ADD_FAILURE() << "the engine run did not fail";
        return JobError("", 0, "");
    }
};

TEST_F(EngineRunTest, reads_the_pipe_to_its_end_before_taking_the_log) {
    // Far more than a pipe holds, with the lines that matter printed last,
    // right before the engine exits.
    std::string output;
    for (int i = 0; i < 4000; ++i) output += "frame " + std::to_string(i) + " of many, at " + std::to_string(i % 100) + "%\n";
    output += "Info: Duration of A001.RSV: 61.2 s\nInfo: Duration of ref.MP4: 60.0 s\n";
    engineSays(output);
    std::vector<std::string> log = runUntrunc(*job, ref, rsv, out);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "Info: Duration of ref.MP4: 60.0 s");
}

TEST_F(EngineRunTest, failures_name_their_cause) {
    // No engine among the resources.
    setResourcesDir(resources);
    JobError missing = failure();
    EXPECT_EQ(missing.domain(), "untrunc");
    EXPECT_EQ(missing.code(), 1);
    EXPECT_STREQ(missing.what(), "복구 엔진을 찾을 수 없습니다");
    EXPECT_FALSE(job->proc.has_value());

    // An engine that cannot be started: the system's own text.
    writeFile(resources + "/untrunc", "not executable");
    ::chmod((resources + "/untrunc").c_str(), 0644);
    JobError launch = failure();
    EXPECT_EQ(launch.domain(), "system");
    EXPECT_EQ(launch.code(), EACCES);
    EXPECT_EQ(std::string(launch.what()), "이 위치에 쓰거나 읽을 권한이 없습니다 — 작업 볼륨과 파일의 권한을 확인하세요");
    EXPECT_EQ(launch.detail(), std::strerror(EACCES));

    // A non-zero exit: the sentence and the status. A mismatched reference and
    // a full volume say so, not that the recording is bad.
    const std::pair<int, const char*> exits[] = {
        {3, "RSV 파일에서 복구할 영상을 찾지 못했습니다 — 녹화가 너무 짧거나 손상되었습니다 (복구 엔진 종료 코드 3)"},
        {11, "참조 파일이 이 녹화와 설정이 다릅니다 — 같은 카메라, 같은 설정으로 찍은 파일을 참조로 고르세요 "
             "(복구 엔진 종료 코드 11)"},
        {14, "작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요 (복구 엔진 종료 코드 14)"},
    };
    for (const auto& [status, sentence] : exits) {
        engineSays("Info: one\nnoise\nInfo: unfinished", status);
        const JobError e = failure();
        EXPECT_EQ(e.domain(), "untrunc");
        EXPECT_EQ(e.code(), status);
        EXPECT_STREQ(e.what(), sentence);
    }
}

TEST_F(EngineRunTest, an_engine_killed_by_a_signal_is_a_failure) {
    installEngine(resources, "#!/bin/sh\necho 'Info: about to die'\nkill -9 $$\n");
    JobError e = failure();
    EXPECT_EQ(e.code(), 128 + 9);
    EXPECT_STREQ(e.what(), "복구 엔진이 예기치 않게 끝났습니다 — 다시 시도해 보세요 (복구 엔진 종료 코드 137)");
}

TEST_F(EngineRunTest, a_process_left_holding_the_pipe_does_not_keep_the_run_waiting_forever) {
    installEngine(resources, "#!/bin/sh\nsleep 3 &\necho 'Info: Duration of x'\nexit 0\n");
    EXPECT_EQ(runUntrunc(*job, ref, rsv, out), (std::vector<std::string>{"Info: Duration of x"}));
}

}  // namespace

namespace {

TEST_F(EngineRunTest, without_a_reference_the_engine_is_told_so_and_its_lines_and_pace_reach_the_state) {
    // Searches for a second and more (its figure moving), prints over its
    // own progress figures with carriage returns, and ends on an error line
    // with no newline.
    installEngine(resources,
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n"
                  "printf 'Info: searching for the parameter sets (at most 170 s)\\n5%%\\r'\nsleep 1.2\n"
                  "printf '40%%\\rInfo: parameter sets rebuilt from the slices: 1920x1080\\n60%%\\r'\n"
                  "printf 'Info: flat scaling matrices: no reference or donor supplied them\\n'\n"
                  "printf 'Error: a reference clip is needed'\nexit 13\n");
    struct Row {
        std::string donor;
        std::string args;
    };
    const Row rows[] = {
        {"", "-n\n-rsv-ben\n-noref\n-dst\n" + out + "\n" + rsv + "\n"},
        {dir / "donor.MP4", "-n\n-rsv-ben\n-noref\n-donor\n" + dir / "donor.MP4" + "\n-dst\n" + out + "\n" + rsv + "\n"},
    };
    for (const Row& r : rows) {
        job->donor = r.donor;
        page->scripts.clear();
        EXPECT_THROW(runUntrunc(*job, "", rsv, out), JobError);
        EXPECT_EQ(readFile(resources + "/args"), r.args);
        drain();
        const std::vector<Value> states = progressStates(page->scripts);
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.back()["log"].size(), 4u);
        // The figure moves and never back; while the search runs no speed
        // or time left is made up; after it, a second of work gives the pace.
        bool paced = false;
        double last = 0;
        for (const Value& s : states) {
            if (!s.contains("pct")) continue;
            EXPECT_GE(s["pct"].get<double>(), last);
            last = s["pct"].get<double>();
            if (last < engine_contract::jobPercent(50, false))
                EXPECT_TRUE(!s.contains("eta_s") && (!s.contains("rate_mb_s") || s["rate_mb_s"].is_null())) << s;
            else
                paced = paced || (s.contains("rate_mb_s") && s["rate_mb_s"].is_number());
        }
        EXPECT_EQ(last, engine_contract::jobPercent(60, false));
        EXPECT_TRUE(paced);
    }
}

}  // namespace
