#include "bridge/desktop_requests.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "bridge/resources.h"
#include "bridge/utf8.h"

namespace {

const char kNoLicenses[] = "오픈소스 라이선스 파일을 찾을 수 없습니다";

}  // namespace

void handleOpenRequest(Desktop& desktop, Bridge& bridge, int64_t call, const Value& args) {
    auto pathIt = args.find("path");
    const std::string path = (pathIt != args.end() && pathIt->is_string()) ? pathIt->get<std::string>() : "";
    auto revealIt = args.find("reveal");
    const bool reveal = revealIt != args.end() && revealIt->is_boolean() && revealIt->get<bool>();
    // The desktop may have nothing to open the file with and then shows
    // nothing at all; the page says so next to the button instead.
    DesktopDone done = [self = bridge.shared_from_this(), call](std::optional<std::string> error) {
        self->reply(call, error ? Value{{"error", *error}} : Value{{"ok", true}});
    };
    if (reveal)
        desktop.reveal(path, std::move(done));
    else
        desktop.open(path, std::move(done));
}

void handleLicensesRequest(Bridge& bridge, int64_t call, const Value&) {
    std::string text = kNoLicenses;
    if (auto path = resourcePath("LICENSES.txt")) {
        std::ifstream in(*path, std::ios::binary);
        std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if ((in.good() || in.eof()) && isValidUtf8(contents)) text = std::move(contents);
    }
    bridge.reply(call, Value{{"text", text}});
}
