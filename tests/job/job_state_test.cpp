#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "job/job.h"
#include "job_test_support.h"

namespace {

using JobStateTest = PageBridgeTest;

// The whole merged state in each push, and a failure keeping the last pct and
// detail, are held by the pipeline tests; one push per update by the last test.
TEST_F(JobStateTest, merge_happens_when_the_bridge_is_gone_but_nothing_is_pushed) {
    auto job = std::make_shared<Job>("deadbeef", bridge);
    job->update(Value{{"stage", "copy"}});
    bridge.reset();  // the pending push now finds no bridge
    drain();
    EXPECT_TRUE(page->scripts.empty());
    EXPECT_EQ(job->state()["stage"], "copy");
}

TEST_F(JobStateTest, concurrent_updates_never_lose_a_key_and_arrive_in_merge_order) {
    auto job = std::make_shared<Job>("00000000", bridge);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([job, t] {
            for (int i = 0; i < 200; ++i) job->update(Value{{"k" + std::to_string(t), i}});
        });
    for (auto& th : threads) th.join();
    drain();
    std::vector<Value> states = progressStates(page->scripts);
    ASSERT_EQ(states.size(), 800u);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(states.back()["k" + std::to_string(t)], 199);
    // Each thread's counter only ever grows from one push to the next.
    for (int t = 0; t < 4; ++t) {
        int last = -1;
        for (const Value& s : states) {
            auto it = s.find("k" + std::to_string(t));
            if (it == s.end()) continue;
            EXPECT_GE(it->get<int>(), last);
            last = it->get<int>();
        }
    }
}

TEST_F(JobStateTest, a_step_that_has_moved_on_is_never_set_back) {
    auto job = std::make_shared<Job>("cafe0002", bridge);
    job->update(Value{{"stage", "verify"}, {"pct", 92}});
    EXPECT_FALSE(job->updateWhile("recover", Value{{"pct", 70}}));
    EXPECT_TRUE(job->updateWhile("verify", Value{{"pct", 93}}));
    EXPECT_EQ(job->state()["pct"], 93);
}

TEST_F(JobStateTest, a_given_time_left_replaces_the_straight_line_while_copying_and_recovering) {
    auto job = std::make_shared<Job>("cafe0001", bridge);
    TimeLeft told;
    int asked = 0;
    job->estimateWith([&] { return ++asked, told; });
    using K = TimeLeft::Kind;
    using E = Job::Estimate;
    // Rows: stage, what the source says, the kind of update, whether it is asked, "eta_s" (-1: absent; a fresh
    // job's straight line tells nothing yet).
    const std::tuple<const char*, K, E, int, int> rows[] = {{"copy", K::Seconds, E::FromPct, 1, 42},
        {"recover", K::Seconds, E::FromPct, 1, 42}, {"recover", K::NotYet, E::FromPct, 1, -1},
        {"recover", K::Seconds, E::Unknown, 0, -1}, {"verify", K::Seconds, E::FromPct, 0, -1}};
    for (const auto& [stage, kind, estimate, wantAsked, eta] : rows) {
        told = TimeLeft{kind, 41.2};
        asked = 0;
        job->update(Value{{"stage", stage}, {"pct", 50}}, estimate);
        EXPECT_EQ(asked, wantAsked) << stage;
        EXPECT_EQ(job->state().value("eta_s", -1), eta) << stage;
    }
    job->estimateWith({});
}

TEST_F(JobStateTest, verification_counts_down_what_it_is_expected_to_take) {
    auto job = std::make_shared<Job>("cafe0003", bridge);
    job->update(Value{{"stage", "recover"}, {"pct", 50}});
    job->expectVerification(30);
    EXPECT_FALSE(job->state().contains("eta_s"));  // not yet verifying: a fresh job's straight line
    job->update(Value{{"stage", "verify"}, {"pct", 92}});
    const int64_t eta = job->state().value("eta_s", int64_t(-1));
    EXPECT_GE(eta, 29);
    EXPECT_LE(eta, 30);
    job->expectVerification(0);  // overrun: still running, so never 0
    job->update(Value{{"pct", 95}});
    EXPECT_EQ(job->state().value("eta_s", -1), 1);
    job->update(Value{{"stage", "done"}, {"pct", 100}});
    EXPECT_FALSE(job->state().contains("eta_s"));
}

}  // namespace
