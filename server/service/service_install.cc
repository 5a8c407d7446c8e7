#include "server/service/service_install.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "server/service/service_events.h"

extern char** environ;

namespace heraldon::service {

namespace {

constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";
constexpr const char* kWantsFolder = "multi-user.target.wants";
constexpr size_t kMaxUnitFileName = 255;  // systemd's limit, ".service" included
const std::string kSuffix = ".service";

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string Format(const char* format, const std::string& a, const std::string& b = "") {
    char text[1024];
    std::snprintf(text, sizeof text, format, a.c_str(), b.c_str());
    return text;
}

std::string Format(const char* format, const std::string& a, int number) {
    char text[1024];
    std::snprintf(text, sizeof text, format, a.c_str(), number);
    return text;
}

// systemd expands "%" specifiers in every value we write.
std::string EscapeSpecifiers(const std::string& value) {
    std::string out;
    for (char c : value) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// A double-quoted word of a unit's command line: the quotes keep a path with spaces in one
// piece, and inside them a backslash and a quote need a backslash.
std::string QuoteCommand(const std::string& path) {
    std::string out = "\"";
    for (char c : EscapeSpecifiers(path)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A line break in a value would end the line and start a setting of its own.
bool HasControlCharacter(const std::string& value) {
    for (char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool LinksTo(const std::string& link, const std::string& target) {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 && std::string(buffer, static_cast<size_t>(n)) == target;
}

// Creates the file only when it does not exist yet, so an install never overwrites a unit
// somebody else wrote. Returns 0 or the errno of the failure; a failed write leaves no file.
int WriteNewFile(const std::string& path, const std::string& contents) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    // The umask must not decide whether systemd (and every user) can read the unit.
    int error = ::fchmod(fd, 0644) == 0 ? 0 : errno;
    size_t done = 0;
    while (error == 0 && done < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) ::unlink(path.c_str());
    return error;
}

// Runs "<systemctl> daemon-reload" without a shell, so no part of a path is ever
// interpreted. True when it ran and succeeded.
bool DaemonReload(const std::string& systemctl) {
    std::vector<char*> argv{const_cast<char*>(systemctl.c_str()),
                            const_cast<char*>("daemon-reload"), nullptr};
    pid_t pid = -1;
    if (::posix_spawnp(&pid, systemctl.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Appended to the fixed message when systemd was not told: the change on disk is done, and
// systemd reads it at the next reload or boot.
std::string Reload(const ServiceSetup& setup) {
    if (setup.systemctl.empty() || DaemonReload(setup.systemctl)) return "";
    return "Note: \"" + setup.systemctl + " daemon-reload\" failed; run it yourself\n";
}

}  // namespace

ServiceCommand ParseServiceCommand(int argc, const char* const* argv) {
    if (argc < 2 || argv[1] == nullptr) return ServiceCommand::None;
    std::string first = argv[1];
    for (const char* form : {"-i", "/i"}) {
        if (platform::text::EqualsNoCase(first, form)) return ServiceCommand::Install;
    }
    for (const char* form : {"-u", "/u"}) {
        if (platform::text::EqualsNoCase(first, form)) return ServiceCommand::Remove;
    }
    return ServiceCommand::None;
}

ServiceSetup SetupFromEnvironment(const std::string& serviceName, const std::string& displayName) {
    ServiceSetup setup;
    setup.serviceName = serviceName;
    setup.displayName = displayName;
    setup.programFolder = platform::fs::ProgramFolder();
    if (setup.programFolder.size() > 1 && setup.programFolder.back() == '/') {
        setup.programFolder.pop_back();
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) setup.executable.assign(buffer, static_cast<size_t>(n));

    const char* unitFolder = std::getenv("HERALDON_UNIT_DIR");
    setup.unitFolder =
        unitFolder != nullptr && unitFolder[0] != '\0' ? unitFolder : kDefaultUnitFolder;
    const char* systemctl = std::getenv("HERALDON_SYSTEMCTL");
    if (systemctl != nullptr && systemctl[0] != '\0') {
        setup.systemctl = systemctl;
    } else if (platform::fs::IsDirectory("/run/systemd/system")) {
        // systemd's own test of whether it is the running init (sd_booted).
        setup.systemctl = "systemctl";
    }
    return setup;
}

bool IsValidUnitName(const std::string& serviceName) {
    if (serviceName.empty() || serviceName.size() + kSuffix.size() > kMaxUnitFileName) {
        return false;
    }
    // A leading "-" reads as an option to systemctl, a leading "." hides the file.
    if (serviceName[0] == '-' || serviceName[0] == '.') return false;
    for (char c : serviceName) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == ':' || c == '-' || c == '_' || c == '.' || c == '\\';
        if (!ok) return false;
    }
    return true;
}

std::string UnitPath(const ServiceSetup& setup) {
    return Join(setup.unitFolder, setup.serviceName + kSuffix);
}

std::string WantsLinkPath(const ServiceSetup& setup) {
    return Join(Join(setup.unitFolder, kWantsFolder), setup.serviceName + kSuffix);
}

std::string UnitText(const ServiceSetup& setup) {
    std::string unit;
    unit += "# Norvane Heraldon (Klaxora) Alarm Server\n";
    unit += "# Written by \"heraldon -i\"; \"heraldon -u\" removes it.\n";
    unit += "[Unit]\n";
    unit += "Description=" + EscapeSpecifiers(setup.displayName) + "\n";
    unit += "After=network-online.target\n";
    unit += "Wants=network-online.target\n";
    unit += "\n[Service]\n";
    // Started means ready (READY=1), not merely forked.
    unit += "Type=notify\n";
    unit += "ExecStart=" + QuoteCommand(setup.executable) + "\n";
    unit += "Environment=HERALDON_SERVICE=1\n";
    unit += "WorkingDirectory=" + EscapeSpecifiers(setup.programFolder) + "\n";
    // Saving every alarm object file at a stop takes time on a big plant; the server also
    // extends this while its shutdown is still under way.
    unit += "TimeoutStopSec=120\n";
    unit += "Restart=on-failure\n";
    // A configuration error would otherwise restart the server ten times a second.
    unit += "RestartSec=5\n";
    unit += "\n[Install]\n";
    unit += "WantedBy=multi-user.target\n";
    return unit;
}

bool IsInstalled(const ServiceSetup& setup) {
    return IsValidUnitName(setup.serviceName) && Exists(UnitPath(setup));
}

CommandResult InstallService(const ServiceSetup& setup) {
    auto failed = [&](int error) {
        return CommandResult{Format("%s failed to install. Error %d\n", setup.serviceName, error),
                             1};
    };
    if (!IsValidUnitName(setup.serviceName) || setup.executable.empty() ||
        HasControlCharacter(setup.executable) || HasControlCharacter(setup.programFolder) ||
        HasControlCharacter(setup.displayName)) {
        return failed(EINVAL);
    }
    std::string unit = UnitPath(setup);
    if (Exists(unit)) return {Format("%s is already installed\n", setup.serviceName), 0};

    if (int error = WriteNewFile(unit, UnitText(setup)); error != 0) return failed(error);

    // Enabled the way "systemctl enable" does it. Should this fail, everything written so
    // far goes again: a half-installed service would make the next "-i" say "already
    // installed" and never finish the job.
    std::string wantsFolder = Join(setup.unitFolder, kWantsFolder);
    std::string link = WantsLinkPath(setup);
    bool madeFolder = ::mkdir(wantsFolder.c_str(), 0755) == 0;
    if (::symlink(unit.c_str(), link.c_str()) != 0 && !(errno == EEXIST && LinksTo(link, unit))) {
        int error = errno;
        if (madeFolder) ::rmdir(wantsFolder.c_str());
        ::unlink(unit.c_str());
        return failed(error);
    }

    std::string note = Reload(setup);
    WriteEvent(setup.serviceName, kEventInstalled, setup.serviceName);
    return {Format("%s installed\n", setup.serviceName) + note, 0};
}

CommandResult RemoveService(const ServiceSetup& setup) {
    if (!IsInstalled(setup)) return {Format("%s is not installed\n", setup.serviceName), 0};

    auto failed = [&](int error) {
        WriteEvent(setup.serviceName, kEventRemoveFailed, setup.serviceName);
        return CommandResult{Format("Could not remove %s. Error %d\n", setup.serviceName, error),
                             1};
    };
    // The link first: a unit left without it is merely disabled, a link left without its
    // unit would be a dangling enable.
    if (::unlink(WantsLinkPath(setup).c_str()) != 0 && errno != ENOENT) return failed(errno);
    if (::unlink(UnitPath(setup).c_str()) != 0) return failed(errno);

    std::string note = Reload(setup);
    WriteEvent(setup.serviceName, kEventRemoved, setup.serviceName);
    return {Format("%s removed. (You must uninstall the program (%s) yourself.)\n",
                   setup.serviceName, setup.executable) +
                note,
            0};
}

}  // namespace heraldon::service
