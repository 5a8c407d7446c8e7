#include "server/core/heraldon.h"

#include "platform/fs.h"
#include "server/alarms/alarm_commands.h"
#include "server/alarms/alarm_hooks.h"
#include "server/store/historic_files.h"

namespace heraldon {

namespace {
std::atomic<CHeraldon*> g_server{nullptr};
}  // namespace

CHeraldon* TheServer() { return g_server.load(); }

CHeraldon::CHeraldon(std::string programFolder)
    : programFolder_(programFolder.empty() ? platform::fs::ProgramFolder() : std::move(programFolder)) {
    g_server.store(this);
    ReadServiceNames(programFolder_ + "Heraldon.ini");
    SourceHooks().sendAutoEnable = SendAutoEnable;
    SourceHooks().dropAllSubscriptions = DropAllSubscriptions;
    TheAlarmHooks().distributeObject = [](AlarmSource& source, AlarmObject& object) {
        SendObjectToClients(source, object, true);
    };
    TheAlarmHooks().sendSourceStateToClients = SendSourceStatusToClients;
    TheAlarmHooks().sendTextEvent = SendTextEvent;
    SourceHooks().mirrorWrite = [](AlarmSource& source, int64_t offset, const uint8_t* bytes, size_t size) {
        TheServer()->Pair().MirrorWrite(source, offset, bytes, size);
    };
    SourceHooks().mirrorWholeFile = [](AlarmSource& source) { TheServer()->Pair().MirrorWholeFile(source); };
    TheClientHooks().commentSaved = [](AlarmSource& source, AlarmObject& object, const std::string& path) {
        TheServer()->Pair().SendCommentFile(source, object, path);
    };
    TheAlarmHooks().storeHistoricEvent = [](AlarmSource& source, AlarmObject& object, int32_t type) {
        StoreHistoricEvent(source, object, type, TheServer()->UserNames());
    };
}

CHeraldon::~CHeraldon() {
    // Every thread of the server reaches it through TheServer(): all of them end first.
    SetRunning(false);
    pair_.Stop();
    redundancyThreadCounter_.WaitForZero();
    StopAlarmThreads();
    g_server.store(nullptr);
}

void CHeraldon::Run() {
    switch (StartUp()) {
        case StartOutcome::Failed:
            SetExitCode(1);
            return;
        case StartOutcome::Finished:
            return;
        case StartOutcome::Run:
            break;
    }
    SupervisoryLoop();
    Shutdown();
}

}  // namespace heraldon
