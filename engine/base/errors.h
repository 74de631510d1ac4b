// Error type of the repair engine. Every failure that the user must see is an
// EngineError whose message is a plain-words reason (printed after "Error:").
#pragma once

#include "base/engine_contract.h"

#include <cerrno>
#include <stdexcept>
#include <string>

namespace tv {

class EngineError : public std::runtime_error {
public:
    // The kind is the engine's exit status.
    enum class Kind {
        Usage = engine_contract::kExitUsage,
        Reference = engine_contract::kExitReference,
        Input = engine_contract::kExitInput,
        Output = engine_contract::kExitOutput,
        Io = engine_contract::kExitIo,
        ReferenceMismatch = engine_contract::kExitReferenceMismatch,
        ReferenceFormat = engine_contract::kExitReferenceFormat,
        ReferenceNeeded = engine_contract::kExitReferenceNeeded,
        NoSpace = engine_contract::kExitNoSpace,
    };

    EngineError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    // A failed write of the output: a full volume (or quota) has a kind of its
    // own, so the application can tell the user to pick another volume.
    static EngineError writing(int errnum, const std::string& message) {
        return EngineError(errnum == ENOSPC || errnum == EDQUOT ? Kind::NoSpace : Kind::Output, message);
    }

    Kind kind() const noexcept { return kind_; }
    int exitCode() const noexcept { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

}  // namespace tv
