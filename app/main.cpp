// Start-up of TORVELIN RECOVERY: the window, or the headless front end.
#include <cstdio>

#include "app/commands.h"
#include "app/desktop_gio.h"
#include "app/headless.h"
#include "app/options.h"
#include "app/settings.h"
#include "app/window.h"
#include "bridge/resources.h"
#include "scan/scan.h"

int main(int argc, char** argv) {
    const CommandLine command = parseCommandLine(argc, argv);
    std::fputs(command.output.c_str(), stdout);
    std::fputs(command.error.c_str(), stderr);
    if (!command.run) return command.exitStatus;
    const std::optional<Options>& options = command.run;

    videoExts = {"mp4", "mov", "mxf"};
    if (!options->resources.empty()) setResourcesDir(options->resources);
    resourcesDir();  // settle the folder before any worker thread asks for it
    setMountDirectory(options->volumes.empty() ? defaultMountDirectory() : options->volumes);

    // The work folder chosen in an earlier run, if it is still there.
    if (const std::optional<std::string> chosen = loadWorkFolder(settingsFolder())) setChosenFolder(*chosen);

    static GioDesktop desktop;  // outlives the bridge and every work item
    std::shared_ptr<Bridge> bridge = Bridge::create();
    if (options->headless) {
        static HeadlessShell shell;
        installCommands(*bridge, desktop, shell);
        return runHeadless(bridge);
    }
    return runWindow(argc, argv, *options, bridge, desktop);
}
