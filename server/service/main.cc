// Heraldon's program entry.

#include "platform/console.h"
#include "server/core/heraldon.h"

int main(int argc, char** argv) {
    heraldon::CHeraldon server;
    platform::console::InstallStopSignals();
    server.SetConsoleMode(true);
    server.SetRunning(true);
    platform::console::Print(
        "Heraldon is starting as normal application (not installed as service)\n");
    server.Run();
    return server.ExitCode();
}
