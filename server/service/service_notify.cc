#include "server/service/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace heraldon::service {

bool Notify(const std::string& text) {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName == nullptr) return false;
    std::string name = socketName;
    // Only file-system paths and the abstract namespace ("@"); other transports systemd
    // knows (vsock) are for virtual machines, not for this server.
    if (name.size() < 2 || (name[0] != '/' && name[0] != '@')) return false;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() > sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
        // An abstract address is exactly its bytes, a leading zero instead of the '@' and
        // no terminator.
        address.sun_path[0] = '\0';
    } else if (name.size() < sizeof address.sun_path) {
        ++length;  // include the terminator, as the kernel expects for a path
    }

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t sent = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == static_cast<ssize_t>(text.size());
}

}  // namespace heraldon::service
