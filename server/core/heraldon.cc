#include "server/core/heraldon.h"

#include "platform/fs.h"

namespace heraldon {

namespace {
std::atomic<CHeraldon*> g_server{nullptr};
}  // namespace

CHeraldon* TheServer() { return g_server.load(); }

CHeraldon::CHeraldon() {
    g_server.store(this);
    ReadServiceNames(platform::fs::ProgramFolder() + "Heraldon.ini");
}

CHeraldon::~CHeraldon() {
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
