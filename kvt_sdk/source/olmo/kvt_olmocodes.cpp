#include "kvt_olmocodes.h"

namespace kvt {

namespace {

// Indexed by the type code.
const char *const kValueTypeNames[] = {"none",   "bool", "char",  "byte",     "short",  "ushort",
                                       "int",    "uint", "long",  "ulong",    "float",  "double",
                                       "string", "data", "array", "longlong", "pointer"};
const int kValueTypeCount = int(sizeof(kValueTypeNames) / sizeof(kValueTypeNames[0]));
static_assert(kValueTypeCount == kvtTypePointer + 1, "one name per value type");

} // namespace

const char *kvtValueTypeName(int type) {
    return type >= 0 && type < kValueTypeCount ? kValueTypeNames[type] : "other";
}

kvtValueType kvtValueTypeFromName(const std::string &name) {
    for (int type = 0; type < kValueTypeCount; ++type)
        if (name == kValueTypeNames[type])
            return kvtValueType(type);
    return kvtTypeNone;
}

std::string to_string(kvtOlmoConnectionState state) {
    switch (state) {
    case kvtOlmoConnectionState::Ok:
        return "ConnectionState_Ok";
    case kvtOlmoConnectionState::MaxClients:
        return "Max client reached";
    case kvtOlmoConnectionState::AuthFailed:
        return "Authentication failed";
    case kvtOlmoConnectionState::Connecting:
        return "Connecting";
    case kvtOlmoConnectionState::SocketError:
        return "Socket error";
    case kvtOlmoConnectionState::TimeOut:
        return "Timeout";
    case kvtOlmoConnectionState::TooSlow:
        return "Too slow";
    case kvtOlmoConnectionState::InvalidData:
        return "Invalid data";
    case kvtOlmoConnectionState::ClosedByHost:
        return "Closed from host";
    case kvtOlmoConnectionState::ClosedByClient:
        return "Closed by client";
    }
    return std::string();
}

bool kvtOlmoIsLoss(kvtSocketState socketState, kvtOlmoConnectionState connectionState) {
    return socketState == kvtSocketState::Closed || (socketState == kvtSocketState::Connected &&
                                                     connectionState >= kvtOlmoConnectionState::SocketError &&
                                                     connectionState <= kvtOlmoConnectionState::ClosedByHost);
}

bool kvtOlmoIsRefusedLogin(kvtSocketState socketState, kvtOlmoConnectionState connectionState) {
    return socketState == kvtSocketState::Connected &&
           (connectionState == kvtOlmoConnectionState::MaxClients ||
            connectionState == kvtOlmoConnectionState::AuthFailed);
}

std::string to_string(kvtOlmoReadResult result) {
    switch (result) {
    case kvtOlmoReadResult::Ok:
        return "ok";
    case kvtOlmoReadResult::SocketError:
        return "socket error";
    case kvtOlmoReadResult::TimeOut:
        return "time-out";
    case kvtOlmoReadResult::Closed:
        return "closed by the peer";
    case kvtOlmoReadResult::TooLarge:
        return "frame too large";
    case kvtOlmoReadResult::BadChecksum:
        return "header checksum wrong";
    }
    return "read result " + std::to_string(static_cast<int>(result));
}

std::string to_string(kvtTransferError error) {
    switch (error) {
    case kvtTransferError::None:
        return "none";
    case kvtTransferError::DigestMismatch:
        return "digest mismatch";
    case kvtTransferError::Failed:
        return "failed";
    case kvtTransferError::ServerReadError:
        return "server read error";
    case kvtTransferError::ServerShutdown:
        return "server shut down";
    case kvtTransferError::TimedOut:
        return "timed out";
    case kvtTransferError::Interrupted:
        return "interrupted";
    }
    return "server error " + std::to_string(static_cast<int>(error));
}

} // namespace kvt
