// The receiver of the groups a walk accepts (the Assembly in a repair).
#pragma once

#include "rsv/one_group.h"

#include <cstddef>
#include <cstdint>

namespace tv {

class GroupSink {
public:
    virtual ~GroupSink() = default;
    virtual void add(const GroupResult& group) = 0;
    // The next group does not follow the previous one: bytes were skipped,
    // and `lostPictures` pictures' time lies between the two (0 when none or
    // unknown); the timeline keeps that gap in every track.
    virtual void markGap(int64_t lostPictures) = 0;
    // Called once at the end of a walk whose first groups damage took:
    // `lostPictures` pictures' time lay before the first group added; the
    // timeline starts after it.
    virtual void markLead(int64_t /*lostPictures*/) {}
    virtual WalkClock clock() const = 0;
    virtual size_t groups() const = 0;
};

}  // namespace tv
