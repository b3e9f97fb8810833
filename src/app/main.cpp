#include "CommandLine.h"
#include "Startup.h"

int main(int argc, char** argv) {
    if (const auto status = cmdRun(argc, argv)) {
        return *status;
    }
    return appRun(argc, argv);
}
