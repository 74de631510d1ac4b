// The receiver of the groups a walk accepts (the Assembly in a repair).
#pragma once

#include "rsv/one_group.h"

#include <cstddef>

namespace tv {

class GroupSink {
public:
    virtual ~GroupSink() = default;
    virtual void add(const GroupResult& group) = 0;
    // The next group does not follow the previous one: bytes were skipped.
    virtual void markDiscontinuity() = 0;
    virtual WalkClock clock() const = 0;
    virtual size_t groups() const = 0;
};

}  // namespace tv
