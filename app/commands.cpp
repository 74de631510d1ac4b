#include "app/commands.h"

#include "job/recover_request.h"
#include "media/probe.h"
#include "scan/scan.h"

void installCommands(Bridge& bridge) {
    bridge.setHandler("scan", handleScanRequest);
    bridge.setHandler("probe", handleProbeRequest);
    bridge.setHandler("recover", handleRecoverRequest);
}
