// Where the work may go and what was recovered before: the places offered
// beside the mounted volumes, the space verdict per RSV, the results found
// by their records, and our own files kept out of the references.
#include <gtest/gtest.h>

#include <map>

#include "scan/records.h"
#include "scan/scan.h"
#include "support/scratch.h"

namespace {

constexpr int64_t T0 = 1772379000;
constexpr int64_t kNs = 1'000'000'000;

struct PlacesTest : ::testing::Test {
    Scratch tree;  // mount/ for the volumes; home/ and other folders beside it
    std::map<std::string, int64_t> free;  // by path; 0 unless staged
    Value describeAs = Value::object();    // every candidate's Probe result

    void SetUp() override { videoExts = {"mp4", "mov", "mxf"}; }

    Value scan(const WorkPlaces& places) {
        VolumeQueries q;
        q.writable = [](const std::string&) { return true; };
        q.freeBytes = [&](const std::string& p) { return free.count(p) ? free[p] : int64_t{0}; };
        q.describe = [&](const std::string&) { return describeAs; };
        return scanRSV(tree / "mount", q, places);
    }
    // A record as the job writes it, beside `result` (a path inside `tree`).
    void record(const std::string& result, int64_t size, int64_t mtimeNs, const std::string& card,
                const char* kind = "result") {
        const size_t slash = result.rfind('/');
        tree.write(result.substr(0, slash + 1) + "." + result.substr(slash + 1) + ".torvelin.json",
                   Value{{"kind", kind}, {"source_path", "/elsewhere/C0001.RSV"}, {"source_size", size},
                         {"source_mtime_ns", mtimeNs}, {"card_name", card}, {"complete", true}, {"partial", false}}
                       .dump());
    }
};

std::map<std::string, Value> byPath(const Value& volumes) {
    std::map<std::string, Value> out;
    for (const Value& v : volumes) out[v["path"]] = v;
    return out;
}

}  // namespace

TEST_F(PlacesTest, cards_are_never_offered_and_the_computer_is) {
    tree.sparse("mount/CARD/PRIVATE/C0001.RSV", 1'000'000, T0);
    tree.folder("mount/CARD/DCIM/chosen-on-card");
    tree.folder("mount/SSD");
    tree.sparse("mount/SSD/RSV복구_261201/C0009.RSV", 2'000, T0);  // our copy: SSD stays a work volume
    const std::string home = tree.folder("home/Videos"), other = tree.folder("other");
    free = {{tree / "mount/SSD", 5'000'000'000}, {home, 20'900'000'000}, {other, 7'000'000'000}};

    struct Row {
        const char* what;
        WorkPlaces places;
        std::vector<std::pair<std::string, std::string>> offered;  // path, kind
    };
    const Row rows[] = {
        {"the videos folder beside the volumes", {home, ""}, {{tree / "mount/SSD", "removable"}, {home, "home"}}},
        {"a chosen folder too", {home, other}, {{tree / "mount/SSD", "removable"}, {home, "home"}, {other, "chosen"}}},
        {"a chosen folder on a card is not", {home, tree / "mount/CARD/DCIM/chosen-on-card"},
         {{tree / "mount/SSD", "removable"}, {home, "home"}}},
        {"a place already offered is not repeated", {tree / "mount/SSD", tree / "mount/SSD/"},
         {{tree / "mount/SSD", "removable"}}},
        {"a folder that is gone is not offered", {tree / "gone", ""}, {{tree / "mount/SSD", "removable"}}},
    };
    for (const Row& r : rows) {
        const Value volumes = scan(r.places)["volumes"];
        std::vector<std::pair<std::string, std::string>> got;
        for (const Value& v : volumes) got.emplace_back(v["path"], v["kind"]);
        EXPECT_EQ(got, r.offered) << r.what;
    }
    const Value homeEntry = byPath(scan({home, ""})["volumes"])[home];
    EXPECT_EQ(homeEntry["free_bytes"], 20'900'000'000);
    EXPECT_EQ(homeEntry["free_gb"], 20);  // whole gigabytes, never rounded up
    EXPECT_EQ(homeEntry["root"], home);  // what "recover" takes as "vol"
    EXPECT_EQ(homeEntry["name"], "Videos");
}

TEST_F(PlacesTest, each_rsv_says_what_it_needs_where_it_fits_and_what_its_candidates_are) {
    tree.sparse("mount/CARD/C0001.RSV", 1'000'000, T0);
    tree.sparse("mount/CARD/C0000.MP4", 60'000'000, T0);
    tree.sparse("mount/SSD/RSV복구_261201/C0002.RSV", 900'000'000'000, T0);  // a copy: worked on where it is
    describeAs = Value{{"w", 1280}, {"h", 720}, {"fps", 50.0}, {"codec", "avc1"}};
    const std::string home = tree.folder("home");
    free = {{tree / "mount/SSD", 10'002'000'000}, {home, 10'001'999'999}};

    const Value rsvs = scan({home, ""})["rsvs"];
    std::map<std::string, Value> byName;
    for (const Value& r : rsvs) byName[r["name"]] = r;
    const Value& card = byName["C0001.RSV"];
    EXPECT_EQ(card["need_bytes"], 10'002'000'000);
    EXPECT_EQ(card["need_parts"], (Value{{"copy", 1'000'000}, {"result", 1'000'000}, {"margin", 10'000'000'000}}));
    EXPECT_EQ(card["room"], (Value{{tree / "mount/SSD", true}, {home, false}}));  // equal to the need is enough
    EXPECT_EQ(byName["C0002.RSV"]["room"], (Value{{tree / "mount/SSD", true}, {home, false}}));
    // The candidate's info from its movie header; no match, as the sparse RSV has no readable first group.
    EXPECT_EQ(card["refs"].at(0)["info"], (Value{{"width", 1280}, {"height", 720}, {"fps", 50.0}, {"codec", "H.264"}}));
    EXPECT_FALSE(card["refs"].at(0).contains("match"));
}

TEST_F(PlacesTest, results_are_found_by_their_records_not_by_name) {
    const std::string rsv = tree.sparse("mount/CARD/C0001.RSV", 5'000, T0, 123);
    const int64_t mtime = T0 * kNs + 123;
    const std::string home = tree.folder("home");
    struct Row {
        const char* result;
        int64_t size, mtime;
        const char* card;
        bool listed;
    };
    const Row rows[] = {
        {"home/RSV복구_261201/C0001_fixed.MP4", 5'000, mtime, "CARD", true},
        {"mount/SSD/RSV복구_261202/renamed.MP4", 5'000, mtime, "CARD", true},  // any name, any work folder
        {"home/RSV복구_261201/C0001_fixed_2.MP4", 5'001, mtime, "CARD", false},
        {"home/RSV복구_261201/C0001_fixed_3.MP4", 5'000, mtime + 1, "CARD", false},
        {"home/RSV복구_261201/C0001_fixed_4.MP4", 5'000, mtime, "OTHERCARD", false},
        {"home/C0001_fixed.MP4", 5'000, mtime, "CARD", false},  // not in a work folder
    };
    for (const Row& r : rows) {
        tree.write(r.result, "movie");
        record(r.result, r.size, r.mtime, r.card);
    }
    record("home/RSV복구_261201/gone_fixed.MP4", 5'000, mtime, "CARD");  // its result is gone
    tree.write("home/RSV복구_261201/.broken.MP4.torvelin.json", "{not json");
    tree.write("home/RSV복구_261201/broken.MP4", "movie");

    const Value entry = scan({home, ""})["rsvs"].at(0);
    ASSERT_EQ(entry["path"], rsv);
    EXPECT_EQ(entry["card_name"], "CARD");
    std::vector<std::string> listed;
    for (const Value& r : entry["results"]) listed.push_back(r["path"]);
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected;
    for (const Row& r : rows)
        if (r.listed) expected.push_back(tree / r.result);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(entry["results"].at(0)["size"], 5);
}

TEST_F(PlacesTest, a_work_copy_takes_its_source_from_its_copy_record) {
    tree.sparse("mount/SSD/RSV복구_261201/C0003.RSV", 7'000, T0 + 500);
    record("mount/SSD/RSV복구_261201/C0003.RSV", 7'000, T0 * kNs, "CARD", "copy");
    tree.write("mount/SSD/RSV복구_261201/C0003_fixed.MP4", "movie");
    record("mount/SSD/RSV복구_261201/C0003_fixed.MP4", 7'000, T0 * kNs, "CARD");
    const Value entry = scan({})["rsvs"].at(0);
    EXPECT_EQ(entry["card_name"], "CARD");
    ASSERT_EQ(entry["results"].size(), 1u);
    EXPECT_EQ(entry["results"][0]["name"], "C0003_fixed.MP4");
    EXPECT_TRUE(entry["refs"].empty()) << "our own result offered as a reference: " << entry["refs"];
}

TEST_F(PlacesTest, a_chosen_folder_is_refused_on_a_card_or_when_it_cannot_take_the_work) {
    tree.sparse("mount/CARD/PRIVATE/C0001.RSV", 1'000, T0);
    tree.folder("mount/CARD/DCIM");
    tree.sparse("mount/SSD/RSV복구_261201/C0002.RSV", 1'000, T0);  // only our copy: no card
    tree.write("file", "x");
    setMountDirectory(tree / "mount");
    struct Row {
        std::string folder;
        bool offered;
    };
    const Row rows[] = {{tree.folder("mount/SSD/work"), true}, {tree.folder("elsewhere"), true},
                        {tree / "mount/CARD/DCIM", false},      {tree / "mount/CARD", false},
                        {tree / "gone", false},                 {tree / "file", false}};
    for (const Row& r : rows) {
        const Value entry = chosenPlaceEntry(r.folder);
        EXPECT_EQ(entry.contains("error") ? "refused" : entry["kind"].get<std::string>(), r.offered ? "chosen" : "refused")
            << r.folder << " " << entry;
    }
}
