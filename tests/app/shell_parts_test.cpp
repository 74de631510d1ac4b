// The window's helpers that need no window: the title and notices that
// follow the jobs, the remembered work folder, the removal of a job's
// unfinished files, and the paths of dropped files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "app/job_watch.h"
#include "app/page_policy.h"
#include "app/partials.h"
#include "app/settings.h"
#include "support/scratch.h"

TEST(JobWatch, the_title_follows_the_first_running_job_and_each_end_is_told_once) {
    JobWatch w;
    EXPECT_EQ(w.title(), "TORVELIN RECOVERY");
    w.admitted("a", "C0002.RSV");
    w.admitted("b", "C0003.RSV");
    struct Row {
        Value state;
        const char* title;
        const char* notice;  // nullptr: none
    };
    const Row rows[] = {
        {{{"id", "a"}, {"stage", "copy"}, {"pct", 37.9}}, "37 % · C0002.RSV 외 1개 — TORVELIN RECOVERY", nullptr},
        {{{"id", "zz"}, {"stage", "done"}}, "37 % · C0002.RSV 외 1개 — TORVELIN RECOVERY", nullptr},  // not ours
        {{{"id", "a"}, {"stage", "error"}, {"error", "복구 엔진 실패"}}, "0 % · C0003.RSV — TORVELIN RECOVERY",
         "복구 실패 — C0002.RSV"},
        {{{"id", "a"}, {"stage", "error"}}, "0 % · C0003.RSV — TORVELIN RECOVERY", nullptr},  // told already
        {{{"id", "b"}, {"stage", "verify"}, {"pct", 92}}, "92 % · C0003.RSV — TORVELIN RECOVERY", nullptr},
        {{{"id", "b"}, {"stage", "done"}, {"pct", 100}, {"partial", true}}, "TORVELIN RECOVERY",
         "일부 손상된 채 복구됨 — C0003.RSV"},
    };
    for (const Row& r : rows) {
        const std::optional<JobNotice> notice = w.update(r.state);
        EXPECT_EQ(w.title(), r.title) << r.state;
        EXPECT_EQ(notice ? notice->title : "", r.notice ? r.notice : "") << r.state;
    }
}

TEST(Settings, the_chosen_folder_survives_a_restart_and_bad_files_are_no_setting) {
    Scratch tree;
    const std::string folder = tree / "config/torvelin-recovery";
    EXPECT_FALSE(loadWorkFolder(folder).has_value());
    ASSERT_TRUE(saveWorkFolder(folder, "/srv/비디오"));
    ASSERT_TRUE(saveWorkFolder(folder, "/srv/later"));  // replaces the earlier choice
    EXPECT_EQ(loadWorkFolder(folder), std::optional<std::string>("/srv/later"));
    EXPECT_EQ(::access((folder + "/settings.json").c_str(), R_OK), 0);

    for (const std::string& text : {std::string("{not json"), std::string(R"({"work_folder":7})"),
                                    std::string(R"({"work_folder":""})"), std::string(20000, ' ')}) {
        tree.write("config/torvelin-recovery/settings.json", text);
        EXPECT_FALSE(loadWorkFolder(folder).has_value()) << text.substr(0, 30);
    }
    // A link in place of the folder is neither read nor written through.
    tree.write("elsewhere/settings.json", R"({"work_folder":"/x"})");
    tree.link("linked", tree / "elsewhere");
    EXPECT_FALSE(loadWorkFolder(tree / "linked").has_value());
    EXPECT_FALSE(saveWorkFolder(tree / "linked", "/y"));
    EXPECT_EQ(readFile(tree / "elsewhere/settings.json"), R"({"work_folder":"/x"})");
}

TEST(Partials, only_the_jobs_own_unfinished_files_are_removed) {
    Scratch tree;
    const auto admitted = std::chrono::system_clock::now();
    struct Row {
        const char* name;
        bool removed;
    };
    const Row rows[] = {
        {"C0002_fixed.MP4.partial", true},   {"C0002_fixed.MP4.partial-3", true},
        {"C0002.RSV.partial", true},         {"C0002_fixed.MP4", false},
        {"C0002_fixed.MP4.partial-x", false}, {"C0001_fixed.MP4.partial", false},  // another job's
        {"C0002.RSV", false},
    };
    for (const Row& r : rows) tree.write(std::string("work/") + r.name, "data");
    tree.write("work/C0002_fixed.MP4.partial-2", "old");
    tree.touch("work/C0002_fixed.MP4.partial-2", 1'000'000'000);  // left by an earlier run
    tree.write("target", "not ours");
    tree.link("work/C0002_fixed.MP4.partial-4", tree / "target");

    EXPECT_EQ(removePartials(tree / "work", {"C0002_fixed.MP4", "C0002.RSV"}, admitted), 3);
    for (const Row& r : rows)
        EXPECT_EQ(::access((tree / "work/" + r.name).c_str(), F_OK) != 0, r.removed) << r.name;
    EXPECT_EQ(readFile(tree / "work/C0002_fixed.MP4.partial-2"), "old");
    EXPECT_EQ(readFile(tree / "target"), "not ours");
    // A link in place of the work folder is not followed.
    tree.link("linkwork", tree / "work");
    EXPECT_EQ(removePartials(tree / "linkwork", {"C0002.RSV"}, admitted), 0);
}

TEST(DroppedFiles, only_local_paths_reach_the_page) {
    EXPECT_EQ(filePathsFromUris({"file:///media/SSD/C0001.MP4", "file://localhost/tmp/%EB%B9%84.MP4",
                                 "http://example.com/a.MP4", "file://otherhost/x.MP4", "file:///bad/%FF.MP4",
                                 "not a uri"}),
              (std::vector<std::string>{"/media/SSD/C0001.MP4", "/tmp/\xeb\xb9\x84.MP4"}));
}
