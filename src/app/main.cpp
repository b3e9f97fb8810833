#include "JsonCommands.h"
#include "Startup.h"

int main(int argc, char** argv) {
    if (const auto status = runJsonCommand(argc, argv))
        return *status;
    return appRun(argc, argv);
}
