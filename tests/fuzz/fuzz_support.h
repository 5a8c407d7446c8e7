// What the fuzz targets share: a scratch folder, an in-process server on a temporary
// installation, connections over socket pairs, and the reset that brings a source back to
// the same state before every input.
//
// A fuzz target runs one input after another in one process for hours. Everything an
// input leaves behind (objects, day files, user names, log lines) would otherwise pile up,
// slow every later input down and make a crash depend on the inputs before it; so each
// target puts the state an input can reach back where it was before the next one.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/socket.h"
#include "server/core/heraldon.h"
#include "server/net/source_connection.h"
#include "server/store/alarm_source.h"
#include "server/store/historic_files.h"

namespace fuzzing {

// A fresh folder (with a trailing '/'). In memory when /dev/shm is there: the store syncs
// its files after every write, which on a disk would cost more than the code under test.
inline std::string MakeScratchFolder(const std::string& what) {
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') base = tmp;
    if (std::filesystem::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/klaxora-fuzz-" + what + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern + "/";
}

inline void WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// Removes the plain files of a folder, leaving the folder.
inline void EmptyFolder(const std::string& folder) {
    for (const std::string& name : platform::fs::ListFiles(folder)) platform::fs::RemoveFile(folder + name);
}

// Some code under test reports on stdout (console mode, repair runs); at thousands of
// inputs a second that would bury libFuzzer's own report, which goes to stderr.
inline void SilenceStdout() {
    std::fflush(stdout);
    if (std::getenv("KLAXORA_FUZZ_STDOUT") != nullptr) return;
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
}

// The server of this process, started once on a temporary installation and stopped when
// the process ends normally. Never destroyed before that: its threads run between inputs.
class Installation {
public:
    // general: more [General] lines; extra: further sections of Heraldon.ini.
    Installation(const std::string& what, const std::string& general, const std::string& extra,
                 const std::string& sources)
        : folder_(MakeScratchFolder(what)) {
        WriteWholeFile(folder_ + "Heraldon.ini",
                       "[General]\nDataPath=data\nAlarmSourcePort=0\nClientListenPort=0\n"
                       "TesselListenPort=0\n" + general + extra);
        WriteWholeFile(folder_ + "AlarmSources.ini", sources);
        server_ = new heraldon::CHeraldon(folder_);
        server_->SetRunning(true);
        if (server_->StartUp() != heraldon::CHeraldon::StartOutcome::Run) {
            std::fprintf(stderr, "the server in %s did not start\n", folder_.c_str());
            std::abort();
        }
    }

    heraldon::CHeraldon& Server() { return *server_; }
    const std::string& Folder() const { return folder_; }

    // The end of the run: stops every server thread before the process's static objects
    // (hooks, the log) go away under them, then removes the installation.
    void Stop() {
        if (server_ == nullptr) return;
        server_->Shutdown();
        delete server_;
        server_ = nullptr;
        RemoveTree(folder_);
    }

private:
    std::string folder_;
    heraldon::CHeraldon* server_ = nullptr;
};

// One end of a socket pair for a connection object, and a thread reading everything that
// arrives at the other end, so the connection's writer never stalls on a full socket.
class Drain {
public:
    // The end to hand to the connection; -1 when no pair could be made.
    int Open() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
        peer_ = fds[1];
        reader_ = std::thread([fd = peer_] {
            char buffer[65536];
            while (::read(fd, buffer, sizeof buffer) > 0) {
            }
        });
        return fds[0];
    }
    // Once the connection's end is shut down the reader sees the end of the stream.
    void Close() {
        if (reader_.joinable()) reader_.join();
        if (peer_ >= 0) ::close(peer_);
        peer_ = -1;
    }
    ~Drain() { Close(); }

private:
    int peer_ = -1;
    std::thread reader_;
};

// A connection (SourceConnection or ClientConnection) in the server's list, on a socket
// pair, with its writer running.
template <typename Connection>
struct Attached {
    Drain drain;
    Connection* connection = nullptr;
};

template <typename Connection, typename List>
std::unique_ptr<Attached<Connection>> Attach(List& list) {
    auto attached = std::make_unique<Attached<Connection>>();
    int fd = attached->drain.Open();
    if (fd < 0) {
        std::perror("socketpair");
        std::abort();
    }
    auto connection = std::make_unique<Connection>(platform::net::Socket(fd));
    connection->queue.Start(connection->socket);
    attached->connection = connection.get();
    std::lock_guard<heraldon::FairRecursiveMutex> guard(heraldon::TheServer()->AlarmDataLock());
    list.push_back(std::move(connection));
    return attached;
}

// Takes the connection out of the list and ends it the way its own thread would.
template <typename Connection, typename List>
void Detach(std::unique_ptr<Attached<Connection>>& attached, List& list) {
    if (!attached) return;
    std::unique_ptr<Connection> owned;
    {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(heraldon::TheServer()->AlarmDataLock());
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->get() == attached->connection) {
                owned = std::move(*it);
                list.erase(it);
                break;
            }
        }
        if (owned) {
            // As the connection thread's own end does: a source must be free to connect again.
            if constexpr (std::is_same_v<Connection, heraldon::SourceConnection>) {
                if (owned->source != nullptr) owned->source->connection = nullptr;
                owned->source = nullptr;
            }
            owned->CloseSocket();
        }
    }
    if (owned) owned->queue.Stop();
    attached->drain.Close();
    owned.reset();
    attached.reset();
}

// What a source holds when an input starts: the files of its folder and of its "Historic"
// and "Comment" folders, and the objects loaded from them.
struct SourceState {
    std::vector<std::pair<std::string, std::string>> files;  // path inside the folder, bytes
    std::vector<heraldon::AlarmObject> inUse;
    std::vector<heraldon::AlarmObject> removed;
    int enabled = 1;
    int64_t lastCleanup = 0;

    // Taken with every change saved and the day files closed.
    static SourceState Of(const heraldon::AlarmSource& source) {
        SourceState taken;
        for (const char* sub : {"", "Historic/", "Comment/"}) {
            for (const std::string& name : platform::fs::ListFiles(source.folder + sub)) {
                std::string bytes;
                platform::fs::ReadWholeFile(source.folder + sub + name, bytes);
                taken.files.emplace_back(sub + name, std::move(bytes));
            }
        }
        for (const auto& object : source.inUse) taken.inUse.push_back(*object);
        for (const auto& object : source.removed) taken.removed.push_back(*object);
        for (auto* list : {&taken.inUse, &taken.removed}) {
            for (heraldon::AlarmObject& object : *list) object.Changed = object.Seen = 0;
        }
        taken.enabled = source.enabled;
        taken.lastCleanup = source.LastEventStatisticCleanup;
        return taken;
    }
};

// Brings a source back to state: its folders hold exactly the files taken, and (when
// loaded is set, as while the alarm threads run) its object file is open and its lists
// hold the objects as a load of those files gives them. The objects are copied rather
// than loaded: a load costs more than most inputs. Under the alarm data lock, as the
// source threads take it too.
inline void ResetSource(heraldon::AlarmSource& source, const SourceState& state, bool loaded = true) {
    heraldon::CloseHistoricFiles(source);
    source.objectFile.Close();
    EmptyFolder(source.folder);
    EmptyFolder(source.HistoricFolder());
    EmptyFolder(source.CommentFolder());
    for (const auto& [name, bytes] : state.files) WriteWholeFile(source.folder + name, bytes);
    // Subscriptions point at the objects about to go.
    if (heraldon::SourceHooks().dropAllSubscriptions) heraldon::SourceHooks().dropAllSubscriptions();
    source.inUse.Clear();
    source.removed.Clear();
    if (loaded) {
        source.objectFile = platform::File::OpenReadWrite(source.ObjectFilePath());
        for (const heraldon::AlarmObject& object : state.inUse) {
            source.inUse.Append(std::make_unique<heraldon::AlarmObject>(object));
        }
        for (const heraldon::AlarmObject& object : state.removed) {
            source.removed.Append(std::make_unique<heraldon::AlarmObject>(object));
        }
    }
    source.enabled = state.enabled;
    source.LastEventStatisticCleanup = state.lastCleanup;
    source.running = 0;
    source.refreshing = 0;
    source.refreshDeleteMissing = 0;
    source.refreshReserved = 0;
    source.refreshKeepDisabled = 0;
    source.changed = 0;
    source.flushNeeded = 0;
}

// The day's log file grows with every input; it is cut back to nothing now and then so the
// log stays on (its text conversion is code under test too) without filling the memory.
// Truncated, not removed: the log keeps its file open and appends at whatever end it has.
inline void TrimLog(heraldon::CHeraldon& server, uint64_t inputs) {
    if (inputs % 256 != 0) return;
    std::string folder = server.DataPath() + "LogFiles/";
    for (const std::string& name : platform::fs::ListFiles(folder)) {
        if (::truncate((folder + name).c_str(), 0) != 0) platform::fs::RemoveFile(folder + name);
    }
}

// A free TCP port on this host at the time of asking.
inline uint16_t UnusedPort() {
    platform::net::Socket probe = platform::net::Listen(0);
    return platform::net::LocalPort(probe);
}

}  // namespace fuzzing
