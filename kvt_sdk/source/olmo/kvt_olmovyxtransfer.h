#ifndef KVT_OLMOVYXTRANSFER_H
#define KVT_OLMOVYXTRANSFER_H

#include <cstdint>
#include <string>

#include "kvt_olmoframe.h"
#include "kvt_olmomd5stream.h"
#include "kvt_olmovyxcommands.h"

namespace kvt {

// The error of a progress record is a kvtTransferError (kvt_olmocodes.h), or the server's own
// "err" of an upload step passed on unchanged; never a byte count.

// Progress of a configuration download.
struct kvtDownloadProgress {
    bool active = false;
    uint32_t serverBytes = 0;
    uint32_t receivedBytes = 0;
    float fraction = 0.0f;
    int error = 0;
    std::string info;
    std::string clientFile;
    std::string clientMd5;
    std::string serverMd5;

    bool IsEnd() const { return !active; }
    bool operator==(const kvtDownloadProgress &o) const {
        return active == o.active && serverBytes == o.serverBytes && receivedBytes == o.receivedBytes &&
               fraction == o.fraction && error == o.error && info == o.info && clientFile == o.clientFile &&
               clientMd5 == o.clientMd5 && serverMd5 == o.serverMd5;
    }
    bool operator!=(const kvtDownloadProgress &o) const { return !(*this == o); }
    uint32_t GetServerBytes() const { return serverBytes; }
    uint32_t GetReceivedBytes() const { return receivedBytes; }
    float GetPercentage() const { return fraction; }
    int GetError() const { return error; }
    const std::string &GetInfo() const { return info; }
    const std::string &GetClientFile() const { return clientFile; }
    const std::string &GetClientMd5File() const { return clientMd5; }
    const std::string &GetServerMd5File() const { return serverMd5; }
    void Reset() { *this = kvtDownloadProgress(); }
};

// Progress of a configuration upload.
struct kvtUploadProgress {
    static const uint32_t DefaultChunkSize = 524288;

    bool active = false;
    uint32_t chunkSize = DefaultChunkSize;
    uint32_t sentBytes = 0;
    float fraction = 0.0f;
    int error = 0;
    std::string info;
    uint32_t serverMaximum = 0;
    uint32_t clientBytes = 0;
    std::string clientFile;
    std::string serverFile;
    std::string clientMd5;
    std::string serverMd5;
    bool holdBeforeBlocks = false; // the owner asked to act before the first block
    bool holding = false;          // every check passed; no block goes before ResumeUpload

    bool IsEnd() const { return !active; }
    // The upload waits for the owner before its first block (see QueryUploadConfiguration).
    bool IsHolding() const { return holding; }
    bool operator==(const kvtUploadProgress &o) const {
        return active == o.active && chunkSize == o.chunkSize && sentBytes == o.sentBytes &&
               fraction == o.fraction && error == o.error && info == o.info &&
               serverMaximum == o.serverMaximum && clientBytes == o.clientBytes &&
               clientFile == o.clientFile && serverFile == o.serverFile && clientMd5 == o.clientMd5 &&
               serverMd5 == o.serverMd5 && holdBeforeBlocks == o.holdBeforeBlocks && holding == o.holding;
    }
    bool operator!=(const kvtUploadProgress &o) const { return !(*this == o); }
    uint32_t GetSentBytes() const { return sentBytes; }
    float GetPercentage() const { return fraction; }
    int GetError() const { return error; }
    const std::string &GetInfo() const { return info; }
    uint32_t GetClientBytes() const { return clientBytes; }
    const std::string &GetClientFile() const { return clientFile; }
    const std::string &GetClientMd5File() const { return clientMd5; }
    const std::string &GetServerMd5File() const { return serverMd5; }
    void Reset() { *this = kvtUploadProgress(); }
};

const char *const kvtOlmoUploadServerFile = ".pokayoka";
// The info of the record an upload that holds before its first block reports.
const char *const kvtOlmoUploadReadyInfo = "Ready to send the file";
// An upload whose appends the server answers this many times in a row without writing a byte ends:
// sending the same block again would never end.
const int kvtOlmoMaxIdleAppends = 5;

// The download's step machine. The owner holds its transfer lock around every call; the
// steps run on the monitor reader thread. Blocks go to a new file of a random name beside the
// target (kvtOsCreateFileBeside), kept open while it runs; the target is replaced only once
// every byte is on the disk and their digest matched, so a failed download never destroys it.
class kvtOlmoDownload {
public:
    kvtOlmoDownload() = default;
    ~kvtOlmoDownload();
    kvtOlmoDownload(const kvtOlmoDownload &) = delete;
    kvtOlmoDownload &operator=(const kvtOlmoDownload &) = delete;

    kvtDownloadProgress &Progress() { return m_Progress; }
    void Begin(const std::string &clientFile, const std::string &clientMd5);
    // One monitor frame; true when the download ended. *changed: the record moved.
    bool Step(const kvtIOlmoFrame *frame, bool *changed);
    // Ends it from outside (stop, time-out): the partial file goes. asked: this side stopped it,
    // which is reported as a note only.
    void Fail(kvtTransferError error, const std::string &info, bool asked = false);

private:
    void on_data_frame(const kvtIOlmoFrame *frame, bool *ended);
    bool on_length(uint32_t length);
    bool on_block(const kvtIOlmoFrame *frame);
    void on_end(unsigned char value);
    void verify_and_commit();
    bool commit_file();
    // report: tell the log; asked: this side stopped it, so only as a note.
    void failed(kvtTransferError error, const std::string &info, bool report, bool asked = false);
    void discard_partial();
    void close_file();

    kvtDownloadProgress m_Progress;
    std::string m_strTemp;  // partial download beside the target
    int m_iFile = -1;       // open from the length answer to the end
    kvtOlmoMd5Stream m_Md5; // digest of the bytes written to it so far
};

// The upload's step machine: deletes the server's temporary file, compares the digests,
// appends the file block by block, checks the server's digest of what it got, then asks
// the server to take it. Requests go out through the command set; same lock rule as above.
class kvtOlmoUpload {
public:
    explicit kvtOlmoUpload(kvtIVyxCommands &commands) : m_Commands(commands) {}

    kvtUploadProgress &Progress() { return m_Progress; }
    // Reads the file (size and digest) without any lock; gives an idle record with the
    // reason when the file cannot be uploaded, else an active one to Begin with.
    static kvtUploadProgress Prepare(const std::string &clientFile, unsigned chunkSize);
    void Begin(const kvtUploadProgress &prepared);
    // One monitor frame; true when the upload ended. *changed: the record moved.
    bool Step(const kvtIOlmoFrame *frame, bool *changed);
    // Sends the first block of an upload that holds before it; false when it does not hold.
    bool Resume();

private:
    struct Answer {
        std::string file;
        int err = 0;
        std::string info;
        int wrote = 0;
        std::string md5;
    };
    bool parse(const kvtIOlmoFrame *frame, Answer *answer);
    void append_next();
    // The first block goes (or the upload holds) once the digests differ and the size fits.
    void start_blocks();
    bool on_file_deleted(const kvtIOlmoFrame *frame);
    bool on_db_md5(const kvtIOlmoFrame *frame);
    bool on_db_max_size(const kvtIOlmoFrame *frame);
    bool on_appended(const kvtIOlmoFrame *frame, bool *changed);
    bool on_file_md5(const kvtIOlmoFrame *frame);
    bool on_db_change(const kvtIOlmoFrame *frame);
    // error: a kvtTransferError, or the server's own err number.
    bool refuse(int error, const std::string &info);
    bool refuse(kvtTransferError error, const std::string &info) {
        return refuse(static_cast<int>(error), info);
    }

    kvtIVyxCommands &m_Commands;
    kvtUploadProgress m_Progress;
    uint32_t m_uInFlight = 0; // bytes of the append request still unanswered
    bool m_bDigestsDiffer = false;
    bool m_bSizeFits = false;
    bool m_bBlocksStarted = false;
    int m_iIdleAppends = 0; // answers in a row that wrote nothing
};

// Reports a transfer's failure: under kvtErrorFailed (a note when this side asked for it), its
// transfer error named in the text; transfer errors are no kvtError numbers.
void kvtOlmoReportTransfer(int error, const std::string &info, const char *site, bool asked = false);

} // namespace kvt

#endif
