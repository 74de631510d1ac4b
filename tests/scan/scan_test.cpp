#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "bridge/utf8.h"
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "bridge/json_text.h"
#include "scan/scan.h"
#include "scan/walk.h"
#include "support/scratch.h"

namespace {

constexpr int64_t T0 = 1772379000;  // 2026-03-01 15:30:00 UTC

// Volumes are writable and have `free` bytes by name (0 unless named); the
// write-protected card has its own test in scan_parts_test.cpp.
using Free = std::map<std::string, int64_t>;

Value scanStaged(const Scratch& tree, const Free& free = {}) {
    const std::string prefix = tree.path() + "/";
    VolumeQueries q;
    q.writable = [](const std::string&) { return true; };
    q.freeBytes = [&](const std::string& root) {
        auto it = free.find(root.substr(prefix.size()));
        return it == free.end() ? int64_t{0} : it->second;
    };
    return scanRSV(tree.path(), q);
}

std::vector<std::string> field(const Value& list, const char* key) {
    std::vector<std::string> out;
    for (const Value& v : list) out.push_back(v[key].get<std::string>());
    return out;
}

// The mount directory's visible names in the file system's listing order.
std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    while (dirent* e = readdir(d.get()))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    return names;
}

struct ScanTest : ::testing::Test {
    Scratch tree;  // the mount directory
    void SetUp() override {
        videoExts = {"mp4", "mov", "mxf"};
        // Korea's zone as a rule, so no zone database is needed: UTC+9, no summer time.
        setenv("TZ", "KST-9", 1);
        tzset();
    }
};

}  // namespace

TEST_F(ScanTest, finds_rsv_items_by_extension_down_to_level_seven) {
    struct Row {
        const char* rel;
        bool found;
    };
    const Row rows[] = {
        {"X/a/b/c/d/e/f/C1.RSV", true},    // level 7
        {"X/a/b/c/d/e/f/g/C2.RSV", false}, // level 8
        {"X/.C4.RSV", false},
        {"X/.Trashes/C3.RSV", false},
        {"X/DCIM/.cache/C5.RSV", false},
        {".hidden/C6.RSV", false},
        {"Y/PRIVATE/M4ROOT/CLIP/C7.RSV", true},
        {"Y/PRIVATE/M4ROOT/CLIP/C8.RSV.partial", true},  // listed, as incomplete
    };
    // The name test itself has its table in scan_parts_test.cpp.
    for (const Row& r : rows) tree.sparse(r.rel, 1000, T0);
    tree.folder("X/FOLDER.RSV");  // the type is not tested: a folder so named is listed too

    const Value result = scanStaged(tree);
    std::set<std::string> got;
    for (const std::string& p : field(result["rsvs"], "path")) got.insert(p);
    for (const Row& r : rows) EXPECT_EQ(got.count(tree / r.rel), r.found ? 1u : 0u) << r.rel;
    EXPECT_EQ(got.count(tree / "X/FOLDER.RSV"), 1u);
    EXPECT_EQ(got.size(), 4u);

    for (const Value& rsv : result["rsvs"]) {
        const std::string path = rsv["path"];
        EXPECT_EQ(rsv["vol"], path.substr(tree.path().size() + 1, 1));
        EXPECT_EQ(rsv["name"], path.substr(path.rfind('/') + 1));
        EXPECT_EQ(rsv["work_copy"], false);
        EXPECT_EQ(rsv["incomplete"], path.find(".partial") != std::string::npos);
    }
    EXPECT_TRUE(result["volumes"].empty()) << "X and Y hold recordings: cards, never work volumes";
}

TEST_F(ScanTest, reference_filter_keeps_the_five_big_video_files_closest_in_time) {
    // The RSV at T0 + 0.9 s; the files are made in an order unrelated to their distance.
    tree.sparse("V/C0001.RSV", 1000, T0, 900'000'000);
    tree.sparse("V/C0002.MP4", 60'000'000, T0 + 1);           // 0.1 s: whole seconds would put it second
    tree.sparse("V/C0001_fixed.MP4", 60'000'000, T0 + 1);     // an earlier repair
    tree.sparse("V/C0001_fixed_2.MP4", 60'000'000, T0 + 1);   // and the one after it
    tree.sparse("V/RENAMED.MP4", 60'000'000, T0 + 1);         // ours by its record
    tree.write("V/.RENAMED.MP4.torvelin.json", "{}");
    tree.sparse("V/C0003.mxf", 50'000'001, T0);               // 0.9 s
    tree.sparse("V/C0004.MP4", 50'000'000, T0 + 2);           // not more than the minimum
    tree.sparse("V/._C0002.MP4", 4096, T0 + 3);               // resource fork of another desktop
    tree.sparse("V/C0005.avi", 60'000'000, T0 + 4);
    tree.sparse("V/C0006.MP4_fixed", 60'000'000, T0 + 5);
    tree.sparse("V/C0001_FIXED.MP4", 60'000'000, T0 - 200);   // the suffix test is case-sensitive
    tree.sparse("V/C0007.MoV", 70'000'000, T0 + 1, 950'000'000);  // 1.05 s: whole seconds would put it first
    tree.sparse("V/.C0008.mp4", 70'000'000, T0 + 400);        // hidden entries are candidates too
    tree.sparse("V/C0011.MP4", 70'000'000, T0 + 500);         // the sixth closest
    tree.sparse("V/sub/C0009.MP4", 60'000'000, T0 + 6);       // another folder
    tree.link("V/C0010.MP4", "missing.MP4");                  // attributes unreadable

    const Value refs = scanStaged(tree)["rsvs"].at(0)["refs"];
    EXPECT_EQ(field(refs, "name"), (std::vector<std::string>{"C0002.MP4", "C0003.mxf", "C0007.MoV",
                                                             "C0001_FIXED.MP4", ".C0008.mp4"}))
        << refs.dump();
    EXPECT_EQ(refs.at(1)["path"], (tree / "V/C0003.mxf"));
    EXPECT_EQ(refs.at(1)["size"], 50'000'001);
    EXPECT_EQ(refs.at(1).size(), 3u);
}

TEST_F(ScanTest, rsvs_sharing_a_folder_get_their_own_order) {
    tree.sparse("V/EARLY.RSV", 1000, T0);
    tree.sparse("V/LATE.RSV", 1000, T0 + 10'000);
    tree.sparse("V/NEAR_EARLY.MP4", 60'000'000, T0 + 60);
    tree.sparse("V/NEAR_LATE.MP4", 60'000'000, T0 + 9'900);
    const Value rsvs = scanStaged(tree)["rsvs"];
    ASSERT_EQ(rsvs.size(), 2u);
    EXPECT_EQ(rsvs[0]["name"], "LATE.RSV");
    EXPECT_EQ(field(rsvs[0]["refs"], "name"), (std::vector<std::string>{"NEAR_LATE.MP4", "NEAR_EARLY.MP4"}));
    EXPECT_EQ(field(rsvs[1]["refs"], "name"), (std::vector<std::string>{"NEAR_EARLY.MP4", "NEAR_LATE.MP4"}));
}

TEST_F(ScanTest, rsvs_sort_newest_minute_first_keeping_discovery_order_within_a_minute) {
    // Enough entries that an unstable sort would show; two volumes and nested folders.
    for (int i = 0; i < 24; ++i) {
        const std::string vol = i % 2 ? "A" : "B";
        const std::string rel = vol + "/D" + std::to_string(i % 3) + "/C" + std::to_string(i) + ".RSV";
        // Every third file a minute later; the rest spread over seconds of one minute.
        tree.sparse(rel, i, i % 3 == 0 ? T0 + 60 : T0 + i);
    }
    const Value rsvs = scanStaged(tree)["rsvs"];
    ASSERT_EQ(rsvs.size(), 24u);

    // Discovery order: volumes in listing order, each in walk order.
    std::vector<std::string> discovered;
    for (const std::string& v : listing(tree.path()))
        for (const std::string& p : findRsvFiles(tree / v)) discovered.push_back(p);

    std::vector<std::string> later, earlier;
    for (const std::string& p : discovered) {
        const int i = std::stoi(p.substr(p.rfind("/C") + 2));
        (i % 3 == 0 ? later : earlier).push_back(p);
    }
    std::vector<std::string> expected = later;
    expected.insert(expected.end(), earlier.begin(), earlier.end());
    EXPECT_EQ(field(rsvs, "path"), expected);
    EXPECT_EQ(rsvs[0]["mtime"], "260302 00:31");
    EXPECT_EQ(rsvs[23]["mtime"], "260302 00:30");
}

TEST_F(ScanTest, rsv_without_readable_attributes_is_listed_now_with_size_zero) {
    tree.sparse("V/OLD.RSV", 4'000'000'123, T0 + 59);  // sparse: nothing is written
    tree.link("V/GONE.RSV", "nowhere");  // like a file that vanished mid-scan
    auto minute = [] {  // now, as the scan writes it
        const time_t t = std::time(nullptr);
        tm local{};
        char out[32];
        return std::string(out, std::strftime(out, sizeof out, "%y%m%d %H:%M", localtime_r(&t, &local)));
    };
    const std::string before = minute();
    const Value rsvs = scanStaged(tree)["rsvs"];
    const std::string after = minute();
    ASSERT_EQ(rsvs.size(), 2u);
    EXPECT_EQ(rsvs[0]["name"], "GONE.RSV");
    EXPECT_EQ(rsvs[0]["size"], 0);
    const std::string mtime = rsvs[0]["mtime"];
    EXPECT_TRUE(mtime == before || mtime == after) << mtime;
    EXPECT_EQ(rsvs[1]["size"], 4'000'000'123);
    EXPECT_EQ(rsvs[1]["mtime"], "260302 00:30");  // 15:30:59 UTC is 00:30 the next day in Seoul
}

TEST_F(ScanTest, volumes_sort_by_whole_gigabytes_keeping_listing_order) {
    // Enough volumes that an unstable sort would show.
    Free free;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "VOL" + std::to_string(i);
        tree.folder(name);
        free[name] = (i % 3 == 0 ? 7'000'000'000 : 5'000'000'000) + int64_t{i} * 10'000'000;
    }
    std::vector<std::string> sevens, fives;
    for (const std::string& name : listing(tree.path()))
        (free[name] >= 7'000'000'000 ? sevens : fives).push_back(name);
    std::vector<std::string> expected = sevens;
    expected.insert(expected.end(), fives.begin(), fives.end());
    EXPECT_EQ(field(scanStaged(tree, free)["volumes"], "id"), expected);
}

TEST_F(ScanTest, rsvs_directly_in_a_work_folder_under_a_volume_root_are_work_copies) {
    struct Row {
        const char* rel;
        bool copy;
    };
    // Whole only with the record the job writes when the copy is complete.
    tree.sparse("WORK/RSV복구_241206/C0001.RSV", 1000, T0);
    tree.sparse("WORK/RSV복구_241206/C0002.RSV.partial", 1000, T0);
    tree.sparse("WORK/RSV복구_241206/C0004.RSV", 1000, T0);
    std::ofstream(tree / "WORK/RSV복구_241206/.C0001.RSV.torvelin.json")
        << R"({"kind":"copy","complete":true,"source_path":"/c/C0001.RSV","source_size":1000,"source_mtime_ns":1,)"
           R"("source_hash":"00","card_name":"CARD"})";
    const Value work = scanStaged(tree);
    std::map<std::string, bool> incomplete;
    for (const Value& rsv : work["rsvs"]) incomplete[rsv["name"]] = rsv["incomplete"];
    EXPECT_EQ(incomplete, (std::map<std::string, bool>{{"C0001.RSV", false}, {"C0002.RSV.partial", true}, {"C0004.RSV", true}}));
    EXPECT_EQ(field(work["volumes"], "id"), std::vector<std::string>{"WORK"});  // work copies make no card
    std::filesystem::remove_all(tree / "WORK");

    const Row rows[] = {
        {"SSD/RSV복구_241206/C0003.RSV", true},
        {"CARD/RSV복구_261231/C0003_2.RSV", true},  // a card once chosen as the work volume
        {"CARD/PRIVATE/M4ROOT/CLIP/C0003.RSV", false},
        {"SSD/RSV복구_241206/old/C0004.RSV", false},  // not directly in it
        {"SSD/backup/RSV복구_241206/C0005.RSV", false},  // not directly under the root
        {"SSD/RSV복구_2412/C0006.RSV", false},
        {"SSD/RSV복구_24120x/C0007.RSV", false},
        {"SSD/RSV복구_2412061/C0008.RSV", false},
        {"SSD/rsv복구_241206/C0009.RSV", false},
    };
    for (const Row& r : rows) tree.sparse(r.rel, 1000, T0);
    std::map<std::string, bool> got;
    const Value result = scanStaged(tree);
    for (const Value& rsv : result["rsvs"]) got[rsv["path"].get<std::string>()] = rsv["work_copy"].get<bool>();
    ASSERT_EQ(got.size(), std::size(rows));
    for (const Row& r : rows) EXPECT_EQ(got[tree / r.rel], r.copy) << r.rel;
}

TEST_F(ScanTest, a_link_to_a_mounted_folder_is_a_volume) {
    tree.folder("REAL");
    tree.link("LINKED", (tree / "REAL"));
    tree.link("DANGLING", (tree / "nothing"));
    std::vector<std::string> ids = field(scanStaged(tree)["volumes"], "id");
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"LINKED", "REAL"}));
}

TEST_F(ScanTest, missing_or_unusable_mount_directory_gives_two_empty_lists) {
    auto empty = [](const std::string& dir) {
        return Value{{"rsvs", Value::array()}, {"volumes", Value::array()}, {"mount_dir", dir}};
    };
    tree.sparse("file", 10);
    for (const std::string& dir : {(tree / "absent"), (tree / "file"), std::string()})
        EXPECT_EQ(scanRSV(dir, systemVolumeQueries()), empty(dir)) << dir;
    EXPECT_EQ(scanRSV(tree.path(), systemVolumeQueries()), empty(tree.path()));  // holds nothing but a file
    // A trailing slash does not double in the paths given out.
    tree.sparse("V/C1.RSV", 10, T0);
    tree.folder("W");
    const Value result = scanRSV(tree.path() + "//", systemVolumeQueries());
    EXPECT_EQ(result["rsvs"].at(0)["path"], (tree / "V/C1.RSV"));
    EXPECT_EQ(result["volumes"].at(0)["root"], (tree / "W"));
}

TEST_F(ScanTest, links_never_lead_the_walk_into_a_loop) {
    tree.sparse("V/a/C1.RSV", 10, T0);
    tree.link("V/a/up", "..");
    tree.link("V/a/self", ".");
    tree.link("V/b", "a");
    tree.link("V/root", "/");
    tree.link("V/a/LINK.RSV", "C1.RSV");  // a link named like an RSV is an item like any other
    std::vector<std::string> paths = field(scanStaged(tree)["rsvs"], "path");
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{(tree / "V/a/C1.RSV"), (tree / "V/a/LINK.RSV")}));
}

TEST_F(ScanTest, names_that_are_not_utf8_are_listed_readably_and_losslessly) {
    tree.sparse("V/DCIM/GOOD.RSV", 10, T0);
    tree.sparse("V/DCIM/BIG.MP4", 60'000'000, T0);
    tree.sparse("V/DCIM/\xff\xfe.MP4", 60'000'000, T0);
    tree.sparse("V/DCIM/BAD\xc3.RSV", 5'000'000'000, T0 + 120);
    tree.sparse("\xc0\xaf/OUT.RSV", 10, T0);  // an overlong "/" as a volume's name: left out
    tree.sparse("V/DCIM/\xea\xb0\x80.RSV", 10, T0 + 60);  // Hangul is fine

    tree.folder("W");
    const Value result = scanStaged(tree, {{"W", 15'000'000'000}});
    EXPECT_NE(jsonString(result), "{}");
    EXPECT_EQ(field(result["rsvs"], "name"),
              (std::vector<std::string>{"BAD\xef\xbf\xbd.RSV", "\xea\xb0\x80.RSV", "GOOD.RSV"}));
    EXPECT_EQ(pathBytes(result["rsvs"][0]["path"].get<std::string>()), tree / "V/DCIM/BAD\xc3.RSV");
    EXPECT_EQ(field(result["rsvs"][2]["refs"], "name"), std::vector<std::string>{"BIG.MP4"});
    EXPECT_EQ(field(result["volumes"], "id"), std::vector<std::string>{"W"});
    EXPECT_FALSE(result["volumes"][0]["enough"]);  // the 5 GB RSV counts now that it is listed
}

TEST_F(ScanTest, unreadable_folders_are_passed_over) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    tree.sparse("V/locked/C1.RSV", 10, T0);
    tree.sparse("V/open/C2.RSV", 10, T0);
    chmod((tree / "V/locked").c_str(), 0);
    EXPECT_EQ(field(scanStaged(tree)["rsvs"], "name"), std::vector<std::string>{"C2.RSV"});
}
