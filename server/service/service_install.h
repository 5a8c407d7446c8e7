// Installing and removing Heraldon as a systemd service, and the command line that asks for
// it.
//
// "Installed" means the unit file <unit folder>/<ServiceName>.service exists. Install
// writes that file and enables it the way `systemctl enable` would: a link in
// multi-user.target.wants, so the service starts at boot. Both operations finish with
// `systemctl daemon-reload` when systemd runs, so the change is seen at once.
//
// Everything the operations touch comes in a ServiceSetup, so tests point them at a
// temporary folder and a stand-in systemctl.
#pragma once

#include <string>

namespace heraldon::service {

enum class ServiceCommand { None, Install, Remove };

// Only the first argument counts, in any case: "-i" or "/i" installs, "-u" or "/u" removes.
ServiceCommand ParseServiceCommand(int argc, const char* const* argv);

struct ServiceSetup {
    std::string serviceName;
    std::string displayName;
    std::string executable;     // full path of the program the unit starts
    std::string programFolder;  // its working directory
    std::string unitFolder;     // where unit files live, e.g. "/etc/systemd/system"
    std::string systemctl;      // program for daemon-reload; empty: no reload
};

// The setup of this process: the running executable, the unit folder from
// HERALDON_UNIT_DIR (default /etc/systemd/system) and systemctl from HERALDON_SYSTEMCTL
// (default "systemctl", and then only when systemd is running).
ServiceSetup SetupFromEnvironment(const std::string& serviceName, const std::string& displayName);

// A name systemd accepts as a unit name and that stays inside the unit folder: ASCII
// letters, digits and ":-_.\", not starting with "-" or ".", at most 255 characters with
// ".service".
bool IsValidUnitName(const std::string& serviceName);

std::string UnitPath(const ServiceSetup& setup);
std::string WantsLinkPath(const ServiceSetup& setup);
std::string UnitText(const ServiceSetup& setup);

bool IsInstalled(const ServiceSetup& setup);

// What the command printed and the exit status it asks for: 0 when done or when there was
// nothing to do, 1 when it failed.
struct CommandResult {
    std::string message;
    int exitCode = 0;
};

// Writes the events of a successful install (100), a removal (101) or a failed removal
// (102).
CommandResult InstallService(const ServiceSetup& setup);
CommandResult RemoveService(const ServiceSetup& setup);

}  // namespace heraldon::service
