// The scan's smaller parts: name tests, the candidate order, the two
// file-system queries, the mount directory and a real write-protected volume
// (the "scan" row is run end to end by the application's tests).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/scratch.h"
#include "scan/candidates.h"
#include "scan/fs_queries.h"
#include "scan/names.h"
#include "scan/scan.h"

TEST(ScanNames, extensions_and_the_rsv_test) {
    struct Row {
        const char* name;
        const char* extension;
        const char* stem;
        bool rsv;
    };
    const Row rows[] = {
        {"C0001.RSV", "RSV", "C0001", true},
        {"c1.rsv", "rsv", "c1", true},
        {"C1.Rsv", "Rsv", "C1", true},
        {"a.b.rSv", "rSv", "a.b", true},
        {"C1.RSVX", "RSVX", "C1", false},
        {"RSV", "", "RSV", false},
        {".RSV", "", ".RSV", false},
        {"C1.RSV.bak", "bak", "C1.RSV", false},
        {"C1RSV", "", "C1RSV", false},
        {"._C0002.MP4", "MP4", "._C0002", false},
        {"C0001_fixed.MP4", "MP4", "C0001_fixed", false},
        {"trailing.", "", "trailing.", false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(pathExtension(r.name), r.extension) << r.name;
        EXPECT_EQ(pathStem(r.name), r.stem) << r.name;
        EXPECT_EQ(hasRsvExtension(r.name), r.rsv) << r.name;
    }
}

TEST(ScanNames, strict_utf8) {
    struct Row {
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {"", true},
        {"C0001.RSV", true},
        {"\xea\xb0\x80\xeb\x82\x98", true},     // 가나
        {"\xf0\x9f\x8e\xa5", true},             // U+1F3A5
        {"\xf4\x8f\xbf\xbf", true},             // U+10FFFF
        {"\xc2\x80", true},
        {"\xff", false},
        {"\x80", false},                        // continuation without a lead
        {"\xc3", false},                        // cut short
        {"\xea\xb0", false},                    // cut short
        {"\xc0\xaf", false},                    // overlong "/"
        {"\xe0\x80\xaf", false},                // overlong
        {"\xf0\x80\x80\xaf", false},            // overlong
        {"\xed\xa0\x80", false},                // surrogate
        {"\xf4\x90\x80\x80", false},            // above U+10FFFF
        {"\xf5\x80\x80\x80", false},
        {"ok\xc3(", false},                     // bad continuation
        {std::string("a\0b", 3), true},         // JSON escapes NUL; it is valid text
    };
    for (const Row& r : rows) EXPECT_EQ(isValidUtf8(r.text), r.valid) << testing::PrintToString(r.text);
}

TEST(ScanCandidates, equal_distances_keep_listing_order_on_either_side) {
    auto at = [](const char* name, int64_t s, int64_t ns = 0) { return Candidate{name, name, 60'000'000, Stamp{s, ns}}; };
    const Stamp rsv{1000, 0};
    auto names = [&](const std::vector<Candidate>& in, size_t limit) {
        std::vector<std::string> out;
        for (const Candidate& c : closestCandidates(in, rsv, limit)) out.push_back(c.name);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(names({at("A", 1005), at("B", 995), at("C", 1001)}, 5), (V{"C", "A", "B"}));
    EXPECT_EQ(names({at("B", 995), at("A", 1005), at("C", 1001)}, 5), (V{"C", "B", "A"}));
    EXPECT_EQ(names({at("A", 1005), at("B", 995), at("C", 1001)}, 2), (V{"C", "A"}));
    EXPECT_EQ(names({}, 5), V{});
    // Many ties, so that an unstable sort would show.
    std::vector<Candidate> ties;
    V expected;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "T" + std::to_string(i);
        ties.push_back(Candidate{name, name, 60'000'000, Stamp{i % 2 ? 1007 : 993, 0}});
        if (expected.size() < 5) expected.push_back(name);
    }
    ties.push_back(at("FAR", 2000));
    EXPECT_EQ(names(ties, 5), expected);
    // Dates far apart cannot overflow the distance.
    EXPECT_EQ(names({at("FAR", INT64_MAX / 2), at("NEAR", -INT64_MAX / 2 + 3000)}, 5), (V{"NEAR", "FAR"}));
}

TEST(ScanFsQueries, sizes_and_free_space_default_to_zero) {
    Scratch tree;
    EXPECT_EQ(fileSize(tree / "missing"), 0);
    EXPECT_EQ(fileSize(tree.sparse("big.MP4", 60'000'000)), 60'000'000);
    EXPECT_EQ(fileSize(tree.sparse("empty")), 0);
    EXPECT_EQ(fileSize(tree.link("link", "big.MP4")), 60'000'000);
    EXPECT_EQ(freeBytes(tree / "missing"), 0);
    EXPECT_GT(freeBytes(tree.path()), 0);
}

TEST(ScanMountDirectory, user_name_picks_the_media_folder) {
    const char* saved = std::getenv("USER");
    const std::string keep = saved ? saved : "";
    setenv("USER", "tv-nobody-here", 1);
    EXPECT_EQ(defaultMountDirectory(), "/media/tv-nobody-here");
    setenv("USER", "../etc", 1);  // not a name: the account's name is used instead
    EXPECT_EQ(defaultMountDirectory().find(".."), std::string::npos);
    if (saved) setenv("USER", keep.c_str(), 1); else unsetenv("USER");
}

// A write-protected card mounts read-only, and then even root may not write to it.
TEST(ScanReadOnlyVolume, lists_its_rsvs_but_offers_no_work_volume) {
    Scratch tree;
    tree.sparse("CARD/C1.RSV", 100, 1772379000);
    tree.folder("DISK");
    const std::string card = tree / "CARD";
    bool mounted = false;
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(card.c_str(), 0555), 0);
    } else {
        // A mount namespace of this test process alone: nothing outside sees the
        // read-only mount, and it goes with the process whatever happens.
        if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace: " << std::strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(card.c_str(), card.c_str(), nullptr, MS_BIND, nullptr) != 0)
            GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
        mounted = true;
        if (mount(nullptr, card.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            umount2(card.c_str(), MNT_DETACH);
            GTEST_SKIP() << "cannot remount read-only: " << std::strerror(errno);
        }
    }
    const Value result = scanRSV(tree.path(), systemVolumeQueries());
    if (mounted) umount2(card.c_str(), MNT_DETACH);

    ASSERT_EQ(result["rsvs"].size(), 1u);
    EXPECT_EQ(result["rsvs"][0]["vol"], "CARD");
    ASSERT_EQ(result["volumes"].size(), 1u);
    EXPECT_EQ(result["volumes"][0]["id"], "DISK");
}
