// The window of a build without GTK and WebKitGTK (TORVELIN_BUILD_APP=OFF):
// only the headless front end is available there.
#include <cstdio>

#include "app/window.h"

int runWindow(int, char**, const Options&, const std::shared_ptr<Bridge>&, Desktop&) {
    std::fprintf(stderr, "this build has no window; use --headless\n");
    return 1;
}
