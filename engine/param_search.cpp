#include "param_search.h"

#include "errors.h"

namespace tv {

RebuiltParameterSets searchH264ParameterSets(const ByteSource&, const RsvRecording&,
                                             const std::vector<std::vector<uint8_t>>&, Reporter&) {
    throw EngineError(EngineError::Kind::NeedsReference,
                      "this H.264 recording does not carry its parameter sets and they could not be "
                      "rebuilt; a reference clip from the same camera is needed");
}

}  // namespace tv
