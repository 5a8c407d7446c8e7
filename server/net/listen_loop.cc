#include "server/net/listen_loop.h"

#include "platform/clock.h"
#include "server/core/log.h"

namespace heraldon::net {

void ListenLoop(ListenerSlot& slot, uint16_t port, const ListenerTexts& texts,
                const std::function<bool()>& keepRunning, const std::function<bool()>& ready,
                const std::function<void(platform::net::Socket)>& accepted) {
    while (keepRunning()) {
        do {
            platform::clock::SleepMs(10);
        } while (keepRunning() && !ready());
        if (!keepRunning()) return;

        platform::net::ListenError error;
        platform::net::Socket listener = platform::net::Listen(port, &error);
        if (!listener.IsOpen()) {
            const char* text = error == platform::net::ListenError::Create ? texts.cannotCreate
                               : error == platform::net::ListenError::Bind ? texts.cannotBind
                                                                           : texts.cannotListen;
            Log(text, port);
            if (texts.gaveUp != nullptr) Log(texts.gaveUp, port);
            return;
        }
        // The port actually bound: with port 0 the system chose it.
        uint16_t bound = platform::net::LocalPort(listener);
        if (!slot.Set(std::move(listener))) return;
        Log(texts.waiting, bound);
        for (;;) {
            platform::net::Socket connection = platform::net::Accept(slot.Socket());
            if (!connection.IsOpen()) break;
            accepted(std::move(connection));
        }
        slot.Close();
    }
}

}  // namespace heraldon::net
