// "open" and "reveal" on a Linux desktop: the default application through GIO,
// the file manager through the FileManager1 D-Bus interface (falling back to
// opening the containing folder). Asynchronous; failures are not reported.
#pragma once

#include "bridge/desktop.h"

class GioDesktop : public Desktop {
public:
    void open(const std::string& path) override;
    void reveal(const std::string& path) override;
};
