// An open directory stream, closed when the handle goes.
#pragma once

#include <dirent.h>

#include <memory>

struct DirCloser {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;
