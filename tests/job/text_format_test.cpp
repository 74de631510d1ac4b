#include <gtest/gtest.h>

#include "job/text_format.h"
#include "scan/fs_queries.h"

TEST(SizeText, sizes_read_as_the_page_writes_them) {
    struct Row {
        int64_t bytes;
        const char* text;
    };
    const Row rows[] = {
        {812'400'000'000, "812 GB"},
        {73'000'000'000, "73 GB"},
        {18'460'000'000, "18.5 GB"},
        {1'000'000'000, "1 GB"},
        {412'000'000, "412 MB"},
        {0, "0 MB"},
        // The need of a 3 MB recording is the margin, never "0GB".
        {spaceNeeded(3'000'000), "10 GB"},
    };
    for (const Row& r : rows) EXPECT_EQ(sizeText(r.bytes), r.text) << r.bytes;
}
