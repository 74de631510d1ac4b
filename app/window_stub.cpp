// Placeholder until the GTK window lands.
#include <cstdio>

#include "app/window.h"

int runWindow(int, char**, const Options&, const std::shared_ptr<Bridge>&) {
    std::fprintf(stderr, "the window is not built yet; use --headless\n");
    return 1;
}
