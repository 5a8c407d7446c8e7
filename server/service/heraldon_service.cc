#include "server/service/heraldon_service.h"

#include "platform/clock.h"
#include "platform/ini.h"
#include "server/core/log.h"

namespace heraldon {

CHeraldon_Service::CHeraldon_Service() = default;

CHeraldon_Service::~CHeraldon_Service() { Trace("CHeraldon_Service::~CHeraldon_Service()"); }

void CHeraldon_Service::Run() {
    Trace("Entering CHeraldon_Service::Run()");
    while (IsRunning()) platform::clock::SleepMs(100);
    Trace("Leaving CHeraldon_Service::Run()");
}

void CHeraldon_Service::ReadServiceNames(const std::string& iniPath) {
    serviceName_ = platform::ini::ReadString(iniPath, "General", "ServiceName", "Heraldon");
    if (serviceName_.size() > 63) serviceName_.resize(63);
    displayName_ =
        platform::ini::ReadString(iniPath, "General", "DisplayName", "Heraldon (Klaxora) Server");
    if (displayName_.size() > 255) displayName_.resize(255);
    SetTraceName(serviceName_);
}

}  // namespace heraldon
