#ifndef KVT_OLMOCODES_H
#define KVT_OLMOCODES_H

#include <cstdint>
#include <string>

#include "kvt_ossocket_decl.h"

namespace kvt {

// Frame kinds (bits 0-3 of the first header word).
enum kvtOlmoKind : uint8_t {
    kvtOlmoKindRead = 0,
    kvtOlmoKindWrite = 1,
    kvtOlmoKindResponse = 2,
    kvtOlmoKindPhysical = 3
};

// Value type codes shared by kvtValue and the frame header (the frame uses 0 to 13).
enum kvtValueType : uint8_t {
    kvtTypeNone = 0,
    kvtTypeBool = 1,
    kvtTypeChar = 2,
    kvtTypeUChar = 3,
    kvtTypeShort = 4,
    kvtTypeUShort = 5,
    kvtTypeInt = 6,
    kvtTypeUInt = 7,
    kvtTypeLong = 8,
    kvtTypeULong = 9,
    kvtTypeFloat = 10,
    kvtTypeDouble = 11,
    kvtTypeString = 12,
    kvtTypeData = 13,
    kvtTypeArray = 14,
    kvtTypeLongLong = 15,
    kvtTypePointer = 16
};

// The short name of a value type as the tools, the simulator's files and the page write it
// ("byte" for kvtTypeUChar, "uint", "ulong", "float", "string", ...); "other" for a code outside
// the table.
const char *kvtValueTypeName(int type);
// The type a short name stands for; kvtTypeNone for any other text.
kvtValueType kvtValueTypeFromName(const std::string &name);

// Command codes. Parameter frames use the parameter identifier as code instead.
enum kvtOlmoCommand : uint32_t {
    CmdAuthenticationMonitor = 1000001,
    CmdAuthenticationCommand = 1000002,
    CmdRelation = 1000003,
    CmdQueryParametersUID = 1010001,
    CmdQueryParameterConfiguration = 1010002,
    CmdSystemReload = 1010003,
    CmdQueryParameterUIConfiguration = 1010004,
    CmdQueryUserUI = 1010005,
    CmdQueryDownloadConfiguration = 1010006,
    CmdQueryDbMd5 = 1010007,
    CmdQueryDbMaxSize = 1010008,
    CmdQueryClientLevel = 1010009,
    CmdQueryFolderDelete = 1010010,
    CmdQueryFolderCreate = 1010011,
    CmdQueryFileDelete = 1010012,
    CmdQueryFileCreate = 1010013,
    CmdQueryFileAppendData = 1010014,
    CmdQueryFileMd5 = 1010015,
    CmdQueryDbChange = 1010016,
    CmdQueryParameterReady = 1010018,
    CmdQueryClientsCount = 1010019,
    CmdQuerySystemTimeStamp = 1010021,
    CmdSendBroadcastMessage = 1010022,
    CmdQueryParameterSettings = 1010023,
    CmdQueryExecuteCommandLine = 1010024,
    CmdSendBroadcastData = 1010025,
    CmdQueryServerVersion = 1010028,
    CmdQueryParameterCustomData = 1010029,
    CmdEnableRawBusMessage = 1010030,
    CmdSendZephronFrame = 1010033,
    CmdQueryProjectJson = 1010034,
    CmdEnableLogClients = 1010035
};

// Authentication: the request carries "user|password" with every byte XORed with the mask;
// the first byte of the answer is the result, followed on success by the client id.
const uint8_t kvtOlmoLoginMask = 0xA5;
enum kvtOlmoLoginResult : uint8_t {
    kvtOlmoLoginAccepted = 0,
    kvtOlmoLoginMaxClients = 1, // the credentials are right, but the server serves no more clients
    kvtOlmoLoginRefused = 2
};

// Masks (or, applied again, unmasks) the credentials text of an authentication request.
inline std::string kvtOlmoMaskCredentials(std::string text) {
    for (char &c : text)
        c = static_cast<char>(static_cast<uint8_t>(c) ^ kvtOlmoLoginMask);
    return text;
}

// Values of the one-byte answer that ends a configuration download.
enum kvtOlmoDownloadEnd : uint8_t {
    kvtOlmoDownloadEndDone = 0,   // every byte sent: verify and take the file
    kvtOlmoDownloadEndSynced = 1, // the client's digest is the server's: nothing to do
    kvtOlmoDownloadEndNoResources = 2,
    kvtOlmoDownloadEndReadError = 3,
    kvtOlmoDownloadEndShutdown = 4
};

// Connection states of one channel. The numbers and texts reach the page and the tools.
enum class kvtOlmoConnectionState : int {
    Ok = 0,
    MaxClients = 1,
    AuthFailed = 2,
    Connecting = 3,
    SocketError = 4,
    TimeOut = 5,
    TooSlow = 6,
    InvalidData = 7,
    ClosedByHost = 8,
    // The channel was closed on this side (Stop, or a rebuild after a failure that
    // was reported before). A closed channel is never reported with state Ok.
    ClosedByClient = 9
};
// The page's texts: "ConnectionState_Ok", "Max client reached", "Authentication failed",
// "Connecting", "Socket error", "Timeout", "Too slow", "Invalid data", "Closed from host",
// "Closed by client"; "" for any other value.
std::string to_string(kvtOlmoConnectionState state);

// A connection event that ends a channel: its close, or a failure (SocketError to ClosedByHost)
// that comes right before the close.
bool kvtOlmoIsLoss(kvtSocketState socketState, kvtOlmoConnectionState connectionState);
// A login the server answered but refused: its client limit, or wrong credentials.
bool kvtOlmoIsRefusedLogin(kvtSocketState socketState, kvtOlmoConnectionState connectionState);

// Outcome of reading one frame. Never a byte count: the bytes read come through an out-parameter.
// The socket outcomes keep the platform's numbers.
enum class kvtOlmoReadResult : int {
    Ok = 0,
    SocketError = -1,
    TimeOut = -2,
    Closed = -3,   // the peer closed the connection
    TooLarge = -5, // a header announced a payload above kvtOlmoMaxPayload
    // A header whose checksum is wrong. Frames carry no sync marker, so the stream
    // position can no longer be trusted: the channel closes.
    BadChecksum = -6
};
std::string to_string(kvtOlmoReadResult result);

// Why a configuration transfer failed: the error of its progress record (GetError). 1 to 4
// are the values of the transfer's own steps and of the server's end values; an upload also
// passes on the server's own "err" number unchanged, so the record keeps an int.
enum class kvtTransferError : int {
    None = 0,
    DigestMismatch = 1,  // the received copy's MD5 is not the server's
    Failed = 2,          // a local write, a refusal by the server, or an answer out of step
    ServerReadError = 3, // the server could not read its configuration file
    ServerShutdown = 4,  // the server shut down during the download
    TimedOut = 100,      // no answer for the transfer time-out; the channel is rebuilt
    Interrupted = 101    // Stop, or the connection closed while it ran
};
std::string to_string(kvtTransferError error);

// Parameter identifiers are 20-bit codes: 1 up to this.
const uint32_t kvtOlmoMaxParameterId = 0xFFFFF;

// True for the command codes above. Any other code of a frame is a parameter
// identifier (20 bits, so identifiers from 1000000 up exist too).
inline bool kvtOlmoIsCommandCode(uint32_t code) {
    switch (code) {
    case CmdAuthenticationMonitor:
    case CmdAuthenticationCommand:
    case CmdRelation:
    case CmdQueryParametersUID:
    case CmdQueryParameterConfiguration:
    case CmdSystemReload:
    case CmdQueryParameterUIConfiguration:
    case CmdQueryUserUI:
    case CmdQueryDownloadConfiguration:
    case CmdQueryDbMd5:
    case CmdQueryDbMaxSize:
    case CmdQueryClientLevel:
    case CmdQueryFolderDelete:
    case CmdQueryFolderCreate:
    case CmdQueryFileDelete:
    case CmdQueryFileCreate:
    case CmdQueryFileAppendData:
    case CmdQueryFileMd5:
    case CmdQueryDbChange:
    case CmdQueryParameterReady:
    case CmdQueryClientsCount:
    case CmdQuerySystemTimeStamp:
    case CmdSendBroadcastMessage:
    case CmdQueryParameterSettings:
    case CmdQueryExecuteCommandLine:
    case CmdSendBroadcastData:
    case CmdQueryServerVersion:
    case CmdQueryParameterCustomData:
    case CmdEnableRawBusMessage:
    case CmdSendZephronFrame:
    case CmdQueryProjectJson:
    case CmdEnableLogClients:
        return true;
    default:
        return false;
    }
}

} // namespace kvt

#endif
