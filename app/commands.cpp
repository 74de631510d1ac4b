#include "app/commands.h"

#include <algorithm>
#include <vector>

#include "app/partials.h"
#include "bridge/desktop_requests.h"
#include "job/cancel_request.h"
#include "job/recover_request.h"
#include "media/probe.h"
#include "scan/scan.h"

namespace {

const char kNoWindow[] = "창이 없어 열 수 없습니다 — 경로를 직접 입력하세요";

void refuse(Bridge& bridge, int64_t call, const char* sentence) { bridge.reply(call, Value{{"error", sentence}}); }

// job/'s "recover" row, telling the shell which job it made for which file.
void recover(Shell& shell, Bridge& bridge, int64_t call, const Value& args) {
    std::vector<std::string> before;
    for (const auto& entry : bridge.jobs) before.push_back(entry.first);
    handleRecoverRequest(bridge, call, args);
    auto rsv = args.find("rsv");
    if (bridge.jobs.size() == before.size() || rsv == args.end() || !rsv->is_string()) return;
    for (const auto& entry : bridge.jobs)
        if (std::find(before.begin(), before.end(), entry.first) == before.end())
            shell.jobAdmitted(entry.first, rsv->get<std::string>());
}

}  // namespace

void HeadlessShell::pickFile(Bridge& bridge, int64_t call, const Value&) {
    refuse(bridge, call, "파일 선택 창을 열 수 없습니다 — 경로를 직접 입력하세요");
}

void HeadlessShell::chooseFolder(Bridge& bridge, int64_t call, const Value&) { refuse(bridge, call, kNoWindow); }

void HeadlessShell::copyText(Bridge& bridge, int64_t call, const Value&) {
    refuse(bridge, call, "클립보드를 쓸 수 없습니다");
}

void installCommands(Bridge& bridge, Desktop& desktop, Shell& shell) {
    const std::pair<const char*, CommandHandler> rows[] = {
        {"scan", handleScanRequest},
        {"probe", handleProbeRequest},
        {"recover", [&shell](Bridge& b, int64_t call, const Value& args) { recover(shell, b, call, args); }},
        {"cancel", handleCancelRequest},
        {"open", [&desktop](Bridge& b, int64_t call, const Value& args) { handleOpenRequest(desktop, b, call, args); }},
        {"licenses", handleLicensesRequest},
        {"pick", [&shell](Bridge& b, int64_t call, const Value& args) { shell.pickFile(b, call, args); }},
        {"choose_folder", [&shell](Bridge& b, int64_t call, const Value& args) { shell.chooseFolder(b, call, args); }},
        {"copy", [&shell](Bridge& b, int64_t call, const Value& args) { shell.copyText(b, call, args); }},
        {"remove_partials", handleRemovePartialsRequest},
    };
    for (const auto& [name, handler] : rows) bridge.setHandler(name, handler);
}
