// Placeholder until the recovery job lands.
#include "job/recover_request.h"

void handleRecoverRequest(Bridge& bridge, int64_t call, const Value&) { bridge.reply(call, Value{{"error", "unknown cmd"}}); }
