// Two cards, one work volume: cameras number their clips per card, so two
// recordings named C0002.RSV are recovered at the same moment. Each job must
// get a copy and a recovered file of its own.
#include <gtest/gtest.h>

#include "job/job.h"
#include "job/recover_request.h"
#include "job_test_support.h"

namespace {

using TwoCardsTest = PageBridgeTest;

TEST_F(TwoCardsTest, same_named_recordings_started_together_keep_apart) {
    const std::unique_ptr<Scratch> cardFs = cardScratch(dir);
    if (!cardFs) GTEST_SKIP() << "no second file system for a card";
    installEngine(dir / "resources", kEchoEngine);
    const std::string ref = dir / "ref.MP4";
    writeFile(ref, "Info: saving\n100%\n");
    const std::string cards[2] = {*cardFs / "CARD_A/PRIVATE/M4ROOT/CLIP/C0002.RSV",
                                  *cardFs / "CARD_B/PRIVATE/M4ROOT/CLIP/C0002.RSV"};
    const std::string data[2] = {std::string(300000, 'a'), std::string(200000, 'b')};
    for (int k = 0; k < 2; ++k) writeFile(cards[k], data[k]);

    constexpr int kRounds = 25;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string work = dir / ("WORK" + std::to_string(round));
        fs::create_directories(work);
        page->scripts.clear();
        bridge->jobs.clear();
        // Both requests in one turn of the main loop, as the page sends them.
        for (int k = 0; k < 2; ++k)
            handleRecoverRequest(*bridge, k, Value{{"rsv", cards[k]}, {"ref", ref}, {"vol", work}});
        drain();
        ASSERT_EQ(bridge->jobs.size(), 2u);

        std::set<int> outs;  // whose recording each recovered file holds (-1: mixed)
        for (auto& entry : bridge->jobs) {
            const Value state = entry.second->state();
            // The copied bytes are no video: verification fails, after the engine.
            ASSERT_EQ(state["stage"], "error") << state.dump();
            ASSERT_EQ(state["pct"], 92) << state.dump();
            const std::string out = state["out"];
            const std::string copy = out.substr(0, out.size() - std::string("_fixed.MP4").size()) + ".RSV";
            const std::string got = readFile(out + ".partial");  // never verified: never named
            EXPECT_TRUE(readFile(copy) == got) << copy;
            outs.insert(got == data[0] ? 0 : got == data[1] ? 1 : -1);
        }
        EXPECT_EQ(outs, (std::set<int>{0, 1}));
    }
}

}  // namespace
