// Heraldon's program entry.

#include "platform/console.h"
#include "server/core/heraldon.h"

int main(int argc, char** argv) {
    heraldon::CHeraldon server;

    // Install and remove requests end the process, with a non-zero status when they failed
    // so that scripts can tell.
    if (server.HandleCommandLine(argc, argv)) return server.ExitCode();

    if (heraldon::CHeraldon_Service::ServiceModeRequested()) {
        // Started by systemd through our unit: the console is the journal, nobody presses
        // keys, and systemd's stop arrives through the service's own control handler.
        server.StartDispatcher();
        return server.ExitCode();
    }

    // Nothing stops an installed service's program from being run by hand; it then runs as
    // a console program like any other, after the reminder.
    if (server.IsInstalled()) {
        platform::console::Print(
            "Heraldon is installed as service, have you started from the Service Control "
            "Manager?\n");
    } else {
        platform::console::Print(
            "Heraldon is starting as normal application (not installed as service)\n");
    }
    platform::console::InstallStopSignals();
    server.SetConsoleMode(true);
    server.SetRunning(true);
    server.Run();
    return server.ExitCode();
}
