#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "job/cancel_request.h"
#include "job/job.h"
#include "job/recover_request.h"
#include "job_test_support.h"

namespace {

struct RecoverRequestTest : PageBridgeTest {
    std::string card = dir / "volumes/CARD", work = dir / "volumes/WORK";
    std::string rsv = card + "/PRIVATE/A001.RSV", ref = card + "/PRIVATE/A000.MP4";

    void SetUp() override {
        PageBridgeTest::SetUp();
        fs::create_directories(dir / "resources");
        setResourcesDir(dir / "resources");  // no engine: admitted jobs end quickly in an error
        writeFile(rsv, "rsv");
        writeFile(ref, "ref");
        fs::create_directories(work);
    }
    Value ask(const Value& args) {
        page->scripts.clear();
        handleRecoverRequest(*bridge, 7, args);
        runMainLoopUntil([&] { return !answers(page->scripts).empty(); }, 5000);
        return answers(page->scripts).at(0);
    }
};

// The id's form is checked by the headless recovery, its freshness by the two-card test.
TEST_F(RecoverRequestTest, admits_a_job_and_keeps_it) {
    // An empty "ref" recovers without a reference, with or without a donor;
    // a donor beside a reference is of no use and is dropped.
    for (const auto& [refArg, donor, kept] : {std::tuple{std::string(), std::string(), std::string()},
                                              std::tuple{std::string(), ref, ref},
                                              std::tuple{ref, ref + ".missing", std::string()}}) {
        const Value id = ask({{"rsv", rsv}, {"ref", refArg}, {"vol", work}, {"donor", donor}});
        ASSERT_TRUE(id.contains("id")) << id.dump();
        EXPECT_EQ(bridge->jobs.at(id["id"])->donor, kept);
        drain();
    }
    EXPECT_EQ(bridge->jobs.size(), 3u);
    for (auto& entry : bridge->jobs) {
        Value state = entry.second->state();
        EXPECT_EQ(state["id"], entry.first);
        EXPECT_EQ(state["stage"], "error");  // no engine among these resources
    }
}

TEST_F(RecoverRequestTest, free_space_is_tested_unless_the_rsv_is_on_the_work_volume) {
    // Far more than this machine has free: 2 x 4 TB + 10 GB.
    const std::string huge = dir.sparse("volumes/CARD/PRIVATE/HUGE.RSV", 4'000'000'000'000);
    EXPECT_EQ(ask({{"rsv", huge}, {"ref", ref}, {"vol", work}}),
              (Value{{"error", "작업 볼륨 여유공간 부족 — 8010 GB 이상 필요"}}));

    const std::string onWork = dir.sparse("volumes/WORK/DCIM/HUGE.RSV", 4'000'000'000'000);
    EXPECT_TRUE(ask({{"rsv", onWork}, {"ref", ref}, {"vol", work}}).contains("id"));
    drain();
    // A trailing slash names the same volume.
    EXPECT_TRUE(ask({{"rsv", onWork}, {"ref", ref}, {"vol", work + "/"}}).contains("id"));
    drain();
}

TEST_F(RecoverRequestTest, a_second_request_for_a_running_rsv_is_refused) {
    // An engine that waits until the test lets it go.
    installEngine(dir / "resources",
                  "#!/bin/sh\nwhile [ ! -f \"$(dirname \"$0\")/go\" ]; do sleep 0.05; done\nexit 1\n");
    const std::string other = card + "/PRIVATE/A002.RSV";
    writeFile(other, "other");

    Value first = ask({{"rsv", rsv}, {"ref", ref}, {"vol", work}});
    ASSERT_TRUE(first.contains("id"));
    EXPECT_EQ(ask({{"rsv", rsv}, {"ref", ref}, {"vol", work}}), (Value{{"error", "이미 복구 중인 파일입니다"}}));
    // The same file under another spelling of its path.
    EXPECT_EQ(ask({{"rsv", card + "/PRIVATE/../PRIVATE/A001.RSV"}, {"ref", ref}, {"vol", work}}),
              (Value{{"error", "이미 복구 중인 파일입니다"}}));
    EXPECT_TRUE(ask({{"rsv", other}, {"ref", ref}, {"vol", work}}).contains("id"));

    writeFile(dir / "resources/go", "");
    drain();
    // Once the first job has ended, the file may be recovered again.
    EXPECT_TRUE(ask({{"rsv", rsv}, {"ref", ref}, {"vol", work}}).contains("id"));
    drain();
    EXPECT_EQ(bridge->jobs.size(), 3u);
}

TEST_F(RecoverRequestTest, refuses_wrong_arguments_missing_paths_what_is_no_regular_file_and_a_missing_volume) {
    ::mkfifo((card + "/PRIVATE/FIFO.RSV").c_str(), 0644);
    fs::create_symlink("/dev/urandom", card + "/PRIVATE/C0009.RSV");  // size 0: the space test asks little
    const Value checkPaths = {{"error", "경로를 확인하세요"}};
    const Value noVolume = {{"error", "작업 볼륨을 고르세요 — 복구본을 저장할 볼륨이 정해지지 않았습니다"}};
    const Value rsvNotFile = {{"error", "RSV가 일반 파일이 아닙니다 — 카드에 있는 RSV 파일을 고르세요"}};
    const Value refNotFile = {
        {"error", "참조 파일이 일반 파일이 아닙니다 — 같은 카메라로 찍은 MP4, MOV 또는 MXF 파일을 고르세요"}};
    const struct {
        Value args, answer;
    } rows[] = {
        {Value::object(), checkPaths},
        {{{"rsv", rsv}, {"ref", 5}, {"vol", work}}, checkPaths},
        {{{"rsv", nullptr}, {"ref", ref}, {"vol", work}}, checkPaths},
        {{{"rsv", rsv + ".missing"}, {"ref", ref}, {"vol", work}}, checkPaths},
        {{{"rsv", rsv}, {"ref", ref + ".missing"}, {"vol", work}}, checkPaths},
        {{{"rsv", ""}, {"ref", ref}, {"vol", work}}, checkPaths},
        // Without a reference: a donor that is named must be there.
        {{{"rsv", rsv}, {"ref", ""}, {"vol", work}, {"donor", ref + ".missing"}}, checkPaths},
        {{{"rsv", rsv}, {"ref", ref}}, noVolume},
        {{{"rsv", rsv}, {"ref", ref}, {"vol", ""}}, noVolume},
        {{{"rsv", rsv}, {"ref", ref}, {"vol", dir / "nowhere"}},
         {{"error", "작업 볼륨을 찾을 수 없습니다 — 작업 볼륨을 다시 고르세요"}}},
        {{{"rsv", card + "/PRIVATE/FIFO.RSV"}, {"ref", ref}, {"vol", work}}, rsvNotFile},
        {{{"rsv", card + "/PRIVATE/C0009.RSV"}, {"ref", ref}, {"vol", work}}, rsvNotFile},
        {{{"rsv", "/dev/zero"}, {"ref", ref}, {"vol", work}}, rsvNotFile},
        {{{"rsv", card + "/PRIVATE"}, {"ref", ref}, {"vol", work}}, rsvNotFile},
        {{{"rsv", rsv}, {"ref", card + "/PRIVATE/FIFO.RSV"}, {"vol", work}}, refNotFile},
    };
    for (const auto& row : rows) EXPECT_EQ(ask(row.args), row.answer) << row.args.dump();
    drain();
    EXPECT_TRUE(bridge->jobs.empty());
}

}  // namespace

namespace {

// Cancelling: the engine is stopped and gone, the files written so far stay,
// the last state says "cancelled"; an unknown or finished job is refused.
struct CancelTest : RecoverRequestTest {
    Value cancel(const std::string& id) {
        page->scripts.clear();
        handleCancelRequest(*bridge, 9, Value{{"id", id}});
        runMainLoopUntil([&] { return !answers(page->scripts).empty(); }, 5000);
        return answers(page->scripts).at(0);
    }
};

TEST_F(CancelTest, stops_the_engine_keeps_the_files_and_ends_cancelled) {
    // An engine that has begun writing and then works on until it is stopped.
    installEngine(dir / "resources",
                  "#!/bin/sh\necho 'Info: walking'\nprintf 'partial' > \"$4\"\n"
                  "echo $$ > \"$(dirname \"$0\")/running.tmp\"\n"
                  "mv \"$(dirname \"$0\")/running.tmp\" \"$(dirname \"$0\")/running\"\nexec sleep 60\n");
    const Value started = ask({{"rsv", rsv}, {"ref", ref}, {"vol", work}});
    ASSERT_TRUE(started.contains("id"));
    const std::string id = started["id"];
    std::shared_ptr<Job> job = bridge->jobs.at(id);
    runMainLoopUntil([&] { return fs::exists(dir / "resources/running"); }, 20000);
    const pid_t engine = std::stoi(readFile(dir / "resources/running"));  // sleep has the shell's pid

    EXPECT_EQ(cancel(id), (Value{{"ok", true}}));
    runMainLoopUntil([&] { return !job->running(); }, 20000);
    drain();

    const Value last = job->state();
    EXPECT_EQ(last["stage"], "cancelled");
    EXPECT_EQ(last["detail"], "취소됨 — 작업 폴더의 파일은 그대로 있습니다");
    EXPECT_EQ(last["log"], (Value{"Info: walking"}));
    EXPECT_TRUE(last["eta_s"].is_null());
    EXPECT_EQ(progressStates(page->scripts).back()["stage"], "cancelled");
    // Every file stays: the copy and what the engine had written.
    const std::string folder = last["work_dir"];
    EXPECT_EQ(readFile(folder + "/A001.RSV"), "rsv");
    EXPECT_EQ(readFile(last["out"].get<std::string>()), "partial");
    // No engine left behind: ended and reaped.
    EXPECT_EQ(::kill(engine, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    ASSERT_TRUE(job->proc.has_value() && job->proc->waitStatus.has_value());
    EXPECT_EQ(job->proc->pid, engine);
    EXPECT_TRUE(WIFSIGNALED(*job->proc->waitStatus));

    EXPECT_EQ(cancel(id), (Value{{"error", "이미 끝난 작업입니다"}}));
    EXPECT_EQ(cancel("nosuchid"), (Value{{"error", "취소할 작업을 찾을 수 없습니다"}}));
}

}  // namespace
