// "open" and "reveal" on a Linux desktop: the default application through GIO,
// the file manager through the FileManager1 D-Bus interface (falling back to
// opening the containing folder). Asynchronous; each request reports once, on
// the main thread, whether the desktop took it.
#pragma once

#include "bridge/desktop.h"

class GioDesktop : public Desktop {
public:
    void open(const std::string& path, DesktopDone done) override;
    void reveal(const std::string& path, DesktopDone done) override;
};

// The sentences the page shows when the desktop cannot serve a request.
extern const char kNoSuchFile[];
extern const char kNoOpener[];
extern const char kNoFileManager[];
