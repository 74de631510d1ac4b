// The file source refuses what is not a regular file it can read. (Its cached
// and direct reads are proven by every corpus repair, which reads through it.)
#include "base/byte_source.h"
#include "base/errors.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

TEST(file_source, missing_and_non_regular_files_are_refused) {
    EXPECT_THROW(FileSource::open("/nonexistent/x.rsv", int(EngineError::Kind::Input)), EngineError);
    EXPECT_THROW(FileSource::open("/tmp", int(EngineError::Kind::Input)), EngineError);
}

}  // namespace
}  // namespace tv
