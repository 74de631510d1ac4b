#include "app/commands.h"

#include "job/cancel_request.h"
#include "job/recover_request.h"
#include "media/probe.h"
#include "scan/scan.h"

namespace {

// Without a window there is no file chooser to open; the window replaces this
// row with its own.
void refusePick(Bridge& bridge, int64_t call, const Value&) {
    bridge.reply(call, Value{{"error", "파일 선택 창을 열 수 없습니다 — 경로를 직접 입력하세요"}});
}

}  // namespace

void installCommands(Bridge& bridge) {
    bridge.setHandler("scan", handleScanRequest);
    bridge.setHandler("probe", handleProbeRequest);
    bridge.setHandler("recover", handleRecoverRequest);
    bridge.setHandler("pick", refusePick);
    bridge.setHandler("cancel", handleCancelRequest);
}
