#include <gtest/gtest.h>

#include "job/output_reader.h"

namespace {

struct Reader {
    std::vector<Value> updates;
    OutputReader reader{[this](const Value& v) { updates.push_back(v); }};
};

// Feeds `text` cut at every position in `cuts`.
void feedCut(OutputReader& r, const std::string& text, std::vector<size_t> cuts) {
    size_t from = 0;
    cuts.push_back(text.size());
    for (size_t c : cuts) {
        r.feed(text.substr(from, c - from));
        from = c;
    }
}

TEST(output_reader_test, maps_percentages_into_the_two_phases) {
    struct Row {
        std::string output;
        double pct;
        std::string detail;
    };
    const Row rows[] = {
        {"50%", 52.5, "GOP 재조립 50%"},
        {"Info: saving\n50%", 81.0, "MP4 저장 50%"},
        {"100%", 70.0, "GOP 재조립 100%"},
        {"Info: saving\n100%", 92.0, "MP4 저장 100%"},
        {"12.5%", 39.375, "GOP 재조립 12%"},  // %.0f rounds half to even
        {"progress 3% then 7.25%", 37.5375, "GOP 재조립 7%"},
        {"1.2.3%", 35.805, "GOP 재조립 2%"},
        {"a.5%", 36.75, "GOP 재조립 5%"},
        {"150%", 87.5, "GOP 재조립 150%"},  // not clamped
        {"40%\nInfo: saving\n7%", 71.54, "MP4 저장 7%"},
        {"99.6%", 69.86, "GOP 재조립 100%"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        Reader r;
        r.reader.feed(row.output);
        ASSERT_FALSE(r.updates.empty());
        EXPECT_NEAR(r.updates.back()["pct"].get<double>(), row.pct, 1e-9);
        EXPECT_EQ(r.updates.back()["detail"], row.detail);
        EXPECT_EQ(r.updates.back().size(), 2u);
    }
    // A figure before "Info: saving" in the same chunk is no saving figure (the bar would jump back).
    for (const char* none : {"", "no figure", "12.%", "%", "Info: 5 %", "40%\nInfo: saving\n"}) {
        Reader r;
        r.reader.feed(std::string(none));
        EXPECT_TRUE(r.updates.empty()) << none;
    }
}

TEST(output_reader_test, pieces_split_anywhere_give_the_same_log) {
    const std::string text =
        "Info: 레퍼런스 읽는 중\n"
        "Info: Duration of 원본: 12.0 s\n"
        "진행 30%\n"
        "Info: 40% done\n"
        "Info: saving\n"
        "Info: Duration of 복구본: 11.9 s\n"
        "not info\n"
        "  Info: indented\n"
        "Info: last line without a newline";
    const std::vector<std::string> expected = {"Info: 레퍼런스 읽는 중", "Info: Duration of 원본: 12.0 s",
                                               "Info: saving", "Info: Duration of 복구본: 11.9 s"};
    // Every single cut, each one also inside the multi-byte Korean characters.
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        Reader r;
        feedCut(r.reader, text, {cut});
        ASSERT_EQ(r.reader.takeLog(), expected) << "cut at " << cut;
        EXPECT_TRUE(r.reader.saving());
    }
    // Byte by byte.
    Reader r;
    for (char c : text) r.reader.feed(&c, 1);
    EXPECT_EQ(r.reader.takeLog(), expected);
    // Piece by piece the 40 % was seen before "Info: saving" arrived.
    EXPECT_DOUBLE_EQ(r.updates.back()["pct"].get<double>(), 49.0);
}

TEST(output_reader_test, carriage_return_progress_stays_small_and_reports_the_latest) {
    Reader r;
    std::string line;
    for (int i = 0; i <= 100; ++i) line += "\rGOP " + std::to_string(i) + "%";
    for (int round = 0; round < 50; ++round) r.reader.feed(line);
    EXPECT_DOUBLE_EQ(r.updates.back()["pct"].get<double>(), 70.0);
    // A long run of output without "\n" never grows the log or breaks the mapping.
    r.reader.feed(std::string(5000, 'x') + "42%");
    EXPECT_DOUBLE_EQ(r.updates.back()["pct"].get<double>(), 49.7);
    // The cut keeps only the last 500 characters: a figure further back is gone.
    Reader cut;
    cut.reader.feed("7%" + std::string(499, 'y'));
    cut.reader.feed("z");
    EXPECT_EQ(cut.updates.size(), 1u);  // the second piece finds no figure any more
    // Characters, not bytes: 500 Korean characters keep the figure just before them.
    Reader wide;
    wide.reader.feed("8%");
    std::string hangul;
    for (int i = 0; i < 498; ++i) hangul += "가";
    wide.reader.feed(hangul);
    wide.reader.feed("나");
    EXPECT_EQ(wide.updates.size(), 3u);
}

TEST(output_reader_test, malformed_bytes_do_not_drop_the_piece) {
    Reader r;
    r.reader.feed(std::string("Info: bad \xFF byte\nInfo: Duration of x\n"));
    ASSERT_EQ(r.reader.takeLog().size(), 2u);
    EXPECT_EQ(r.reader.takeLog()[0], "Info: bad \xEF\xBF\xBD byte");
    EXPECT_EQ(r.reader.takeLog()[1], "Info: Duration of x");
}

TEST(output_reader_test, engine_lines_become_job_state_fields_and_other_lines_do_not) {
    const std::pair<const char*, const char*> rows[] = {
        {"Info: lost video from 1.920 s to 2.400 s", R"({"lost":[{"track":"video","from_s":1.92,"to_s":2.4}]})"},
        {"Info: lost audio from 0.000 s to 0.480 s", R"({"lost":[{"track":"audio","from_s":0.0,"to_s":0.48}]})"},
        {"Info: lost metadata from 10.000 s to 12.500 s", R"({"lost":[{"track":"metadata","from_s":10.0,"to_s":12.5}]})"},
        {"Info: lost sound from 1.000 s to 2.000 s", nullptr},
        {"Info: lost video from 2.000 s to 1.000 s", nullptr},
        {"Info: lost video from 1,000 s to 2,000 s", nullptr},
        {"Info: lost video from 1.000 s", nullptr},
        {"Info: skipped a damaged range at offset 5, 10 bytes: lost video", nullptr},
        {"lost video from 1.000 s to 2.000 s", nullptr},
        {"Info: donor fields: chroma_qp_offsets, scaling_matrices", R"({"donor_fields":["chroma_qp_offsets","scaling_matrices"]})"},
        {"Info: scaling matrices: table:newer-lgop-pps2 (least block-edge energy; ratios flat 1.4)",
         R"({"matrices":"table:newer-lgop-pps2"})"},
        {"Info: scaling matrices: ", nullptr},
        {"Info: footage shared with the RSV: 4096 of 5000 bytes are the RSV's own blocks, not a second copy",
         R"({"footage_shared":true})"},
        {"Info: footage written again: this volume cannot share the RSV's blocks", R"({"footage_shared":false})"},
    };
    for (const auto& [line, want] : rows) {
        Reader r;
        r.reader.feed(std::string(line) + "\n");
        EXPECT_EQ(r.updates, want ? std::vector<Value>{Value::parse(want)} : std::vector<Value>{}) << line;
    }
    // Each line adds to the list the job state carries.
    Reader r;
    r.reader.feed(std::string("Info: lost video from 1.000 s to 2.000 s\nInfo: lost audio from 1.000 s to 2.0"));
    r.reader.feed(std::string("00 s\n"));
    // A video range that begins where the last one ended joins it; one after a gap does not.
    r.reader.feed("Info: lost video from 2.000 s to 2.480 s\nInfo: lost video from 3.000 s to 3.480 s\n");
    ASSERT_EQ(r.updates.size(), 4u);
    EXPECT_EQ(r.updates.back(), Value::parse(R"({"lost":[{"track":"video","from_s":1.0,"to_s":2.48},)"
                                             R"({"track":"audio","from_s":1.0,"to_s":2.0},)"
                                             R"({"track":"video","from_s":3.0,"to_s":3.48}]})"));
}

}  // namespace
