#ifndef KVT_OLMOVYXCOMMANDS_H
#define KVT_OLMOVYXCOMMANDS_H

#include <cstdint>
#include <string>

#include "kvt_olmoframe.h"

namespace kvt {

// Every server request; each builds one frame and queues it on the command
// channel. Results: 0 when queued, else the reported kvtError number; in particular
// kvtErrorNotConnected (11) when the client is not ready (IsReady false): the request
// is refused at once and nothing is queued.
class kvtIVyxCommands {
public:
    virtual ~kvtIVyxCommands() {}
    virtual int QueryFrame(kvtOlmoFrame *frame) = 0; // takes ownership
    virtual int QueryParametersUID() = 0;
    virtual int QueryParameterValue(int id) = 0;
    virtual int QueryParameterConfiguration(int id) = 0;
    virtual int QueryParameterSettings(int id) = 0;
    virtual int QueryParameterUIConfiguration(int id) = 0;
    virtual int QueryParameterCustomData(int id) = 0;
    virtual int QueryParameterReady(int id) = 0;
    virtual int QueryClientLevel() = 0;
    virtual int QueryDbMd5() = 0;
    virtual int QueryDbMaxSize() = 0;
    virtual int QueryUserUI(const std::string &key) = 0;
    virtual int QuerySendUserUI(const std::string &key, const std::string &data) = 0;
    virtual int QueryDbChange(const std::string &md5, const std::string &file) = 0;
    virtual int QueryClientsCount() = 0;
    virtual int QuerySystemTimeStamp() = 0;
    virtual int QueryServerVersion() = 0;
    virtual int QueryFolderCreate(const std::string &path) = 0;
    virtual int QueryFolderDelete(const std::string &path) = 0;
    virtual int QueryFileCreate(const std::string &path) = 0;
    virtual int QueryFileDelete(const std::string &path) = 0;
    virtual int QueryFileMd5(const std::string &path) = 0;
    virtual int QueryFileAppendData(const std::string &serverFile, const std::string &clientFile, int offset,
                                    unsigned count) = 0;
    virtual int QueryDownloadConfiguration(const std::string &clientFile, const std::string &clientMd5) = 0;
    virtual int QueryUploadConfiguration(const std::string &clientFile, unsigned chunkSize) = 0;
    virtual int QueryExecuteCommandLine(const std::string &commandLine) = 0;
    virtual int QueryEnableRawBusMessage() = 0;
    virtual int QueryEnableLogClients() = 0;
    virtual int QueryProjectJson() = 0;
    virtual int SendEnableRawBusMessage(unsigned char enable) = 0;
    virtual int SendEnableLogClients(unsigned char enable) = 0;
    virtual int SendBroadcastMessage(const std::string &message, int level) = 0;
    virtual int SendBroadcastData(const std::string &text) = 0;
    virtual int SendFrame(kvtOlmoFrame *frame) = 0; // takes ownership
    virtual int SendParameterValueAsByte(int id, unsigned char value, bool physical) = 0;
    virtual int SendParameterValueAsFloat(int id, float value, bool physical) = 0;
    virtual int SendParameterValueAsUint(int id, unsigned value, bool physical) = 0;
    virtual int SendParameterValueAsString(int id, const std::string &text, bool physical) = 0;
    virtual int SendParameterValueAsArray(int id, const uint8_t *bytes, unsigned length, bool physical) = 0;
    virtual int SendZephronFrame(const uint8_t *bytes, unsigned length, bool physical) = 0;
};

} // namespace kvt

#endif
