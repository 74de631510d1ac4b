#include <gtest/gtest.h>

#include <thread>

#include "job/job.h"
#include "job_test_support.h"

namespace {

using JobStateTest = PageBridgeTest;

TEST_F(JobStateTest, every_push_carries_the_whole_state_in_merge_order) {
    auto job = std::make_shared<Job>("cafe0001", bridge);
    drain();
    EXPECT_TRUE(page->scripts.empty());  // a new job pushes nothing of itself
    job->update(Value::object());  // unchanged state, still pushed
    job->update(Value{{"stage", "recover"}, {"pct", 35}});
    job->update(Value{{"pct", 35.7}, {"detail", "GOP 재조립 2%"}});
    job->update(Value{{"stage", "error"}, {"error", "복구 엔진 종료 코드 1"}});
    drain();

    std::vector<Value> states = progressStates(page->scripts);
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[0], (Value{{"id", "cafe0001"}, {"stage", "queue"}, {"pct", 0}}));
    EXPECT_TRUE(states[1]["pct"].is_number_integer());
    EXPECT_TRUE(states[2]["pct"].is_number_float());  // a key may change kind
    EXPECT_DOUBLE_EQ(states[2]["pct"].get<double>(), 35.7);
    // Nothing is ever removed: the failure keeps the last pct and detail.
    EXPECT_EQ(states[3], (Value{{"id", "cafe0001"},
                                {"stage", "error"},
                                {"pct", 35.7},
                                {"detail", "GOP 재조립 2%"},
                                {"error", "복구 엔진 종료 코드 1"}}));
    EXPECT_FALSE(job->running());
}

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

}  // namespace
