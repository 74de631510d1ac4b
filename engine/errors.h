// Error type of the repair engine. Every failure that the user must see is an
// EngineError whose message is a plain-words reason (printed after "Error:").
#pragma once

#include "engine_contract.h"

#include <stdexcept>
#include <string>

namespace tv {

class EngineError : public std::runtime_error {
public:
    enum class Kind {
        Usage = engine_contract::kExitUsage,
        Reference = engine_contract::kExitReference,
        Input = engine_contract::kExitInput,
        Output = engine_contract::kExitOutput,
        Io = engine_contract::kExitIo,
    };

    EngineError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    int exitCode() const noexcept { return static_cast<int>(kind_); }

private:
    Kind kind_;
};

}  // namespace tv
