#include "JsonCommands.h"
#include "ReportCommand.h"
#include "Startup.h"

int main(int argc, char** argv) {
    // The modes that need no display come first; only the widget needs one.
    if (const auto status = runJsonCommand(argc, argv)) {
        return *status;
    }
    if (const auto status = cmdRun(argc, argv)) {
        return *status;
    }
    return appRun(argc, argv);
}
