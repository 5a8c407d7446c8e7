// Files, common filters, comments and small comments for clients.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/text.h"
#include "server/core/heraldon.h"
#include "server/core/log.h"
#include "server/net/client_connection.h"
#include "server/net/client_protocol.h"

namespace heraldon {

namespace {

using net::ClientPacketBuilder;

constexpr size_t kMaxCommentPacket = 0x1FFF0;

// Writes of the common filter file from different clients must not interleave.
std::mutex g_commonFilterLock;

// The file a client asks for, inside the data folder and nowhere else: a '\' counts as a
// '/', the name is made canonical (links followed), and only a regular file that is still
// inside the data folder is served. Empty when there is no such file.
std::string ResolveInDataFolder(const std::string& dataFolder, std::string name) {
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    char folder[PATH_MAX], file[PATH_MAX];
    if (::realpath(dataFolder.c_str(), folder) == nullptr) return "";
    std::string inside = std::string(folder) + "/";
    if (::realpath((inside + platform::text::AnsiToUtf8(name)).c_str(), file) == nullptr) return "";
    std::string resolved = file;
    struct stat st {};
    if (resolved.compare(0, inside.size(), inside) != 0 || ::stat(file, &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        return "";
    }
    return resolved;
}

bool UsableFilterText(const std::string& text, bool isKey) {
    if (isKey) {
        // The INI reader skips blanks and takes a line starting with '[', ';' or '#' for
        // a section or a comment: such a name would be written and then vanish.
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text.find('=') != std::string::npos ||
            std::string_view("[;#").find(text[first]) != std::string_view::npos) {
            return false;
        }
    }
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

AlarmObject* ObjectOfHandle(uint32_t handle, AlarmSource** source) {
    int32_t record = 0;
    *source = SourceForHandle(TheServer()->AlarmSources(), handle, &record);
    return *source != nullptr ? (*source)->inUse.FindByRecord(record) : nullptr;
}

}  // namespace

std::string SanitisedTag(std::string_view shownTag) {
    static constexpr std::string_view kReplaced = "{[]}\\|'/.#%*$:+?@^~";
    std::string name(shownTag);
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u >= 128 || kReplaced.find(c) != std::string_view::npos) c = '_';
    }
    return name;
}

std::string CommentFilePath(const AlarmSource& source, std::string_view shownTag) {
    return source.CommentFolder() + SanitisedTag(shownTag) + ".txt";
}

void SendFile(ClientConnection& c, const std::string& name) {
    CHeraldon* server = TheServer();
    auto send = [&](uint32_t type, const std::string& payload) {
        std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
        return SendToClient(c, type, payload);
    };
    if (name.empty()) {
        send(net::PACKET_TYPE_FILE_BEGIN, ClientPacketBuilder().Int32(-1).String("").Payload());
        send(net::PACKET_TYPE_FILE_END, "");
        return;
    }
    std::string path = ResolveInDataFolder(server->DataPath(), name);
    platform::File file = path.empty() ? platform::File() : platform::File::OpenReadOnly(path);
    int64_t size = file.IsOpen() ? file.Size() : -1;
    std::string shownPath = path.empty() ? server->DataPath() + name : path;
    if (size < 0 || size > INT32_MAX) {
        send(net::PACKET_TYPE_FILE_BEGIN, ClientPacketBuilder().Int32(-1).String(shownPath).Payload());
        Log("File '%s' was not found, it was requested by client '%s'", shownPath.c_str(),
            c.address.c_str());
    } else {
        send(net::PACKET_TYPE_FILE_BEGIN,
             ClientPacketBuilder().Int32(static_cast<int32_t>(size)).String(shownPath).Payload());
        std::string chunk(net::kFileChunk, '\0');
        for (int64_t offset = 0; offset < size;) {
            size_t n = static_cast<size_t>(std::min<int64_t>(net::kFileChunk, size - offset));
            // A file that shrinks while it is read ends early: only bytes read are sent.
            if (!file.ReadAt(offset, chunk.data(), n)) break;
            ClientPacketBuilder p;
            p.Int32(static_cast<int32_t>(offset)).UInt16(static_cast<uint16_t>(n));
            p.Raw(std::string_view(chunk.data(), n));
            if (!send(net::PACKET_TYPE_FILE_DATA, p.Payload())) break;
            offset += static_cast<int64_t>(n);
        }
    }
    send(net::PACKET_TYPE_FILE_END, "");
}

void SendCommonFilters(ClientConnection& c) {
    const std::string& path = TheServer()->CommonFilterPath();
    SendToClient(c, net::PACKET_TYPE_COMMONFILTER_BEGIN, "");
    for (const std::string& key : platform::ini::KeyNames(path, "General")) {
        std::string value = platform::ini::ReadString(path, "General", key, "");
        ClientPacketBuilder p(1024);
        p.String(key).String(std::string_view(value).substr(0, 511));
        SendToClient(c, net::PACKET_TYPE_COMMONFILTER, p.Payload());
    }
    SendToClient(c, net::PACKET_TYPE_COMMONFILTER_END, "");
}

void SetCommonFilter(ClientConnection& c, const std::string& key, const std::string* value) {
    CHeraldon* server = TheServer();
    if (!UsableFilterText(key, true) || (value != nullptr && !UsableFilterText(*value, false))) {
        Log("Common filter '%s' from client %s was refused, its name or value can not be stored",
            key.c_str(), c.address.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_commonFilterLock);
        const std::string& path = server->CommonFilterPath();
        if (value != nullptr) {
            platform::ini::WriteString(path, "General", key, *value);
        } else {
            platform::ini::DeleteKey(path, "General", key);
        }
    }
    std::lock_guard<FairRecursiveMutex> guard(server->AlarmDataLock());
    for (auto& connection : server->ClientConnections()) SendCommonFilters(*connection);
}

void SendComment(ClientConnection& c, uint32_t handle, const std::string& tag) {
    int32_t record = 0;
    AlarmSource* source = SourceForHandle(TheServer()->AlarmSources(), handle, &record);
    ClientPacketBuilder p;
    p.Int32(static_cast<int32_t>(handle)).String(tag);
    if (source == nullptr) {
        p.String("").Bytes32("");
        SendToClient(c, net::PACKET_TYPE_COMMENT, p.Payload());
        return;
    }
    std::string path = CommentFilePath(*source, tag);
    p.String(path);
    std::string text;
    platform::fs::ReadWholeFile(path, text);
    size_t room = kMaxCommentPacket - p.Payload().size() - 4;
    if (text.size() > room) {
        text.resize(room);
        Log("File '%s' was to big it has been truncated, it was requested by client '%s'",
            path.c_str(), c.address.c_str());
    }
    p.Bytes32(text);
    SendToClient(c, net::PACKET_TYPE_COMMENT, p.Payload());
}

void SaveComment(ClientConnection& c, uint32_t handle, const std::string& tag,
                 const std::string& text) {
    // The file is the one the server itself names for this handle's source and tag; a
    // path in the packet is never trusted.
    std::string path;
    {
        std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
        int32_t record = 0;
        if (AlarmSource* source = SourceForHandle(TheServer()->AlarmSources(), handle, &record)) {
            path = CommentFilePath(*source, tag);
        }
    }
    if (path.empty() || !platform::fs::ReplaceFileAtomically(path, text)) {
        Log("File '%s' could not be created and written", path.c_str());
        return;
    }
    Log("File '%s' was created and written", path.c_str());
    AlarmSource* source = nullptr;
    std::lock_guard<FairRecursiveMutex> guard(TheServer()->AlarmDataLock());
    if (AlarmObject* o = ObjectOfHandle(handle, &source)) {
        if (TheClientHooks().commentSaved) TheClientHooks().commentSaved(*source, *o, path);
    }
}

void SetSmallComment(ClientConnection& c, uint32_t handle, const std::string& text) {
    AlarmSource* source = nullptr;
    AlarmObject* o = ObjectOfHandle(handle, &source);
    if (o == nullptr) return;
    SetText(o->SmallComment, text);
    Log("Alarm Small comment to '%s' from client %s updated '%s'", o->Tag, c.address.c_str(),
        text.c_str());
    SendObjectToClients(*source, *o, false);
    o->MarkChanged();
}

}  // namespace heraldon
