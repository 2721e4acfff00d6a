#include "kvt_olmovyxtransfer.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "kvt_json.h"
#include "kvt_olmoreport.h"
#include "kvt_osfile.h"
#include "kvt_osfolder.h"

#define KVT_DOWNLOAD_SITE "kvt::kvtOlmoTcpClientVyx::update_download_configuration"
#define KVT_UPLOAD_SITE "kvt::kvtOlmoTcpClientVyx::update_upload_configuration"

namespace kvt {

namespace {
const char *const kFile = "kvt_sdk/source/olmo/kvt_olmotcpclientvyx";
const char *const kMd5Mismatch = "Md5 do not match, you must download database again";

std::string system_error() {
    return std::string(": ") + std::strerror(errno);
}

// Writes all of it, going on after a write that took only part.
bool write_all(int fd, const uint8_t *bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
} // namespace

void kvtOlmoReportTransfer(int error, const std::string &info, const char *site, bool asked) {
    KVT_OLMO_REPORT(asked ? kvtInfo : kvtErrorFailed,
                    info + " (transfer error " + std::to_string(error) + ": " +
                        to_string(static_cast<kvtTransferError>(error)) + ")",
                    kFile, site);
}

// ================================================================ download

kvtOlmoDownload::~kvtOlmoDownload() {
    close_file();
}

void kvtOlmoDownload::Begin(const std::string &clientFile, const std::string &clientMd5) {
    discard_partial();
    m_Progress.Reset();
    m_Progress.active = true;
    m_Progress.clientFile = clientFile;
    m_Progress.clientMd5 = kvtLowerHex(clientMd5);
    m_Md5.Reset();
}

void kvtOlmoDownload::Fail(kvtTransferError error, const std::string &info, bool asked) {
    failed(error, info, true, asked);
}

void kvtOlmoDownload::close_file() {
    if (m_iFile >= 0)
        ::close(m_iFile);
    m_iFile = -1;
}

void kvtOlmoDownload::discard_partial() {
    close_file();
    if (!m_strTemp.empty())
        std::remove(m_strTemp.c_str());
    m_strTemp.clear();
}

void kvtOlmoDownload::failed(kvtTransferError error, const std::string &info, bool report, bool asked) {
    m_Progress.error = static_cast<int>(error);
    m_Progress.info = info;
    if (report)
        kvtOlmoReportTransfer(m_Progress.error, info, KVT_DOWNLOAD_SITE, asked);
    discard_partial();
}

bool kvtOlmoDownload::Step(const kvtIOlmoFrame *frame, bool *changed) {
    // Only an answer can move the download; whatever else the server pushes meanwhile is no news.
    *changed = frame->GetKind() == kvtOlmoKindResponse;
    if (!*changed)
        return false;
    bool ended = false;
    switch (frame->GetCode()) {
    case CmdQueryDbMd5:
        m_Progress.info = "Save Server MD5";
        m_Progress.serverMd5 = kvtLowerHex(frame->GetAsString());
        break;
    case CmdQueryDownloadConfiguration:
        m_Progress.info = "Donwload Data";
        on_data_frame(frame, &ended);
        break;
    default:
        *changed = false; // swallowed: a download consumes every monitor frame
        break;
    }
    return ended;
}

void kvtOlmoDownload::on_data_frame(const kvtIOlmoFrame *frame, bool *ended) {
    switch (frame->GetType()) {
    case kvtTypeULong:
        m_Progress.info = "Get Length of file to donwload";
        *ended = !on_length(frame->GetAsULong());
        return;
    case kvtTypeData:
        *ended = !on_block(frame);
        return;
    case kvtTypeUChar:
        m_Progress.info = "Donwload End";
        *ended = true;
        on_end(frame->GetAsUChar());
        return;
    default:
        return;
    }
}

bool kvtOlmoDownload::on_length(uint32_t length) {
    discard_partial();
    m_iFile = kvtOsCreateFileBeside(m_Progress.clientFile, &m_strTemp);
    if (m_iFile < 0) {
        failed(kvtTransferError::Failed, "Can not write db in " + m_Progress.clientFile + system_error(),
               true);
        return false;
    }
    m_Progress.serverBytes = length;
    m_Progress.receivedBytes = 0;
    m_Progress.fraction = 0.0f;
    m_Md5.Reset();
    return true;
}

bool kvtOlmoDownload::on_block(const kvtIOlmoFrame *frame) {
    const uint32_t length = frame->GetBufferLength() - kvtOlmoHeaderSize;
    if (m_iFile < 0) {
        failed(kvtTransferError::Failed, "Data came before the length of the file", true);
        return false;
    }
    // Never more than announced: the counters stay within 32 bits and the file
    // within what the server said it would send.
    if (length > m_Progress.serverBytes - m_Progress.receivedBytes) {
        failed(kvtTransferError::Failed,
               "The server sent more than the " + std::to_string(m_Progress.serverBytes) +
                   " bytes it announced",
               true);
        return false;
    }
    if (length == 0)
        return true;
    // The digest thread takes its copy first, so hashing this block overlaps with writing it.
    m_Md5.Update(frame->GetAsData(), length);
    if (!write_all(m_iFile, frame->GetAsData(), length)) {
        failed(kvtTransferError::Failed, "Can not write all data in " + m_strTemp + system_error(), true);
        return false;
    }
    // Start writing this block to the disk now, so the sync at the end finds little left
    // (best effort: where the call is missing, the sync does it all).
    ::sync_file_range(m_iFile, static_cast<off_t>(m_Progress.receivedBytes), length, SYNC_FILE_RANGE_WRITE);
    m_Progress.receivedBytes += length;
    m_Progress.fraction = m_Progress.serverBytes ? static_cast<float>(m_Progress.receivedBytes) /
                                                       static_cast<float>(m_Progress.serverBytes)
                                                 : 1.0f;
    return true;
}

bool kvtOlmoDownload::commit_file() {
    // Every byte must be on the disk before the digest counts: a failed sync or close
    // fails the download.
    const int fd = m_iFile;
    m_iFile = -1;
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    std::string why = ok ? std::string() : system_error();
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = system_error();
    }
    if (!ok)
        failed(kvtTransferError::Failed, "Can not write all data in " + m_strTemp + why, true);
    return ok;
}

void kvtOlmoDownload::verify_and_commit() {
    if (m_iFile < 0) { // no length came: nothing was written
        failed(kvtTransferError::DigestMismatch, kMd5Mismatch, false);
        return;
    }
    if (m_Progress.receivedBytes != m_Progress.serverBytes) {
        failed(kvtTransferError::Failed,
               "Download ended after " + std::to_string(m_Progress.receivedBytes) + " of " +
                   std::to_string(m_Progress.serverBytes) + " bytes",
               true);
        return;
    }
    if (!commit_file())
        return;
    // The digest of exactly the bytes written (each write checked, then synced): no second
    // pass over the file.
    const std::string md5 = m_Md5.Final();
    if (md5.empty() || md5 != m_Progress.serverMd5) {
        failed(kvtTransferError::DigestMismatch, kMd5Mismatch, false);
        return;
    }
    if (std::rename(m_strTemp.c_str(), m_Progress.clientFile.c_str()) != 0) {
        failed(kvtTransferError::Failed, "Can not write db in " + m_Progress.clientFile + system_error(),
               true);
        return;
    }
    // The new name is on the disk only once its folder is.
    kvtSyncFolderOf(m_Progress.clientFile);
    m_strTemp.clear();
    m_Progress.clientMd5 = m_Progress.serverMd5;
}

void kvtOlmoDownload::on_end(unsigned char value) {
    switch (value) {
    case kvtOlmoDownloadEndDone:
        verify_and_commit();
        return;
    case kvtOlmoDownloadEndSynced:
        // In sync with nothing: no digest was given, so no local copy is the server's.
        if (m_Progress.clientMd5.empty()) {
            failed(kvtTransferError::Failed,
                   "The server answered that the copy is in sync, but none was named: no file was written",
                   true);
            return;
        }
        m_Progress.error = static_cast<int>(kvtTransferError::None);
        m_Progress.info = "Database is synced, no need to update it";
        discard_partial();
        return;
    case kvtOlmoDownloadEndNoResources:
        failed(kvtTransferError::Failed, "No resources available in the server to send configuration file",
               true);
        return;
    case kvtOlmoDownloadEndReadError:
        failed(kvtTransferError::ServerReadError, "Error reading the server configuration file", true);
        return;
    case kvtOlmoDownloadEndShutdown:
        failed(kvtTransferError::ServerShutdown, "Can not finish download because server is shutdown", true);
        return;
    default:
        failed(kvtTransferError::Failed,
               "The server ended the download with the unknown code " + std::to_string(value) +
                   ": no file was written",
               true);
        return;
    }
}

// ================================================================ upload

kvtUploadProgress kvtOlmoUpload::Prepare(const std::string &clientFile, unsigned chunkSize) {
    kvtUploadProgress prepared;
    int size = 0;
    kvtOsFile::GetFileSize(clientFile, &size);
    prepared.active = true;
    // A chunk size of 0 would never move the upload on.
    prepared.chunkSize = chunkSize ? chunkSize : kvtUploadProgress::DefaultChunkSize;
    prepared.clientFile = clientFile;
    prepared.serverFile = kvtOlmoUploadServerFile;
    prepared.clientBytes = size > 0 ? static_cast<uint32_t>(size) : 0;
    prepared.clientMd5 = kvtLowerHex(kvtMd5File(clientFile));
    if (prepared.clientBytes == 0 || prepared.clientMd5.empty()) {
        // Nothing to append would ever end the exchange: refuse it here.
        prepared.active = false;
        prepared.error = static_cast<int>(kvtTransferError::Failed);
        prepared.info = prepared.clientBytes == 0 ? "Configuration file is empty" : "Can not read file";
    }
    return prepared;
}

void kvtOlmoUpload::Begin(const kvtUploadProgress &prepared) {
    m_Progress = prepared;
    m_uInFlight = 0;
    m_bDigestsDiffer = false;
    m_bSizeFits = false;
    m_bBlocksStarted = false;
    m_iIdleAppends = 0;
}

void kvtOlmoUpload::start_blocks() {
    if (!m_bDigestsDiffer || !m_bSizeFits || m_bBlocksStarted)
        return;
    m_bBlocksStarted = true;
    if (m_Progress.holdBeforeBlocks) {
        m_Progress.holding = true;
        m_Progress.info = kvtOlmoUploadReadyInfo;
        return;
    }
    append_next();
}

bool kvtOlmoUpload::Resume() {
    if (!m_Progress.active || !m_Progress.holding)
        return false;
    m_Progress.holding = false;
    m_Progress.info = "Upload Data";
    append_next();
    return true;
}

void kvtOlmoUpload::append_next() {
    const uint32_t remaining = m_Progress.clientBytes - m_Progress.sentBytes;
    const uint32_t n = remaining < m_Progress.chunkSize ? remaining : m_Progress.chunkSize;
    if (n == 0)
        return;
    m_uInFlight = n;
    m_Commands.QueryFileAppendData(m_Progress.serverFile, m_Progress.clientFile,
                                   static_cast<int>(m_Progress.sentBytes), n);
}

bool kvtOlmoUpload::parse(const kvtIOlmoFrame *frame, Answer *answer) {
    const std::string text = frame->GetAsString();
    kvtJson json;
    if (json.LoadFromString(text) != 0 || !json.GetRoot()) {
        const std::string message = "Can not load setting data from " + text;
        KVT_OLMO_REPORT(kvtErrorFailed, message, kFile, KVT_UPLOAD_SITE);
        // An answer that cannot be read ends the upload as a failure, never as "same".
        m_Progress.error = static_cast<int>(kvtTransferError::Failed);
        m_Progress.info = message;
        return false;
    }
    // Each step's answer carries only some of the members: a missing one keeps its default and
    // is no error to report.
    const cJSON *root = json.GetRoot();
    auto readInt = [root](const char *name, int *value) {
        if (const cJSON *node = kvtJson::GetMember(root, name))
            kvtJson::GetNodeValueAsInt(node, value);
    };
    auto readText = [root](const char *name, std::string *value) {
        if (const cJSON *node = kvtJson::GetMember(root, name))
            kvtJson::GetNodeValueAsString(node, value);
    };
    readInt("err", &answer->err);
    readText("info", &answer->info);
    readText("file", &answer->file);
    readInt("wrotebytes", &answer->wrote);
    readText("md5", &answer->md5);
    return true;
}

bool kvtOlmoUpload::refuse(int error, const std::string &info) {
    m_Progress.error = error;
    m_Progress.info = info;
    kvtOlmoReportTransfer(error, info, KVT_UPLOAD_SITE);
    return true;
}

bool kvtOlmoUpload::Step(const kvtIOlmoFrame *frame, bool *changed) {
    *changed = frame->GetKind() == kvtOlmoKindResponse;
    if (!*changed)
        return false;
    switch (frame->GetCode()) {
    case CmdQueryFileDelete:
        return on_file_deleted(frame);
    case CmdQueryDbMd5:
        return on_db_md5(frame);
    case CmdQueryDbMaxSize:
        return on_db_max_size(frame);
    case CmdQueryFileAppendData:
        return on_appended(frame, changed);
    case CmdQueryFileMd5:
        return on_file_md5(frame);
    case CmdQueryDbChange:
        return on_db_change(frame);
    default:
        *changed = false;
        return false;
    }
}

bool kvtOlmoUpload::on_file_deleted(const kvtIOlmoFrame *frame) {
    m_Progress.info = "Delete Temporary Server File";
    Answer answer;
    if (!parse(frame, &answer))
        return true;
    if (answer.file != m_Progress.serverFile) {
        KVT_OLMO_REPORT(m_Progress.error, m_Progress.info, kFile, KVT_UPLOAD_SITE);
        m_Progress.error = static_cast<int>(kvtTransferError::Failed);
        m_Progress.info = "Can not free temporary server resources file";
        return true;
    }
    m_Commands.QueryDbMd5();
    m_Commands.QueryDbMaxSize();
    return false;
}

bool kvtOlmoUpload::on_db_md5(const kvtIOlmoFrame *frame) {
    m_Progress.info = "Check Client - Server MD5 ... ";
    m_Progress.serverMd5 = kvtLowerHex(frame->GetAsString());
    if (m_Progress.serverMd5 == m_Progress.clientMd5) {
        m_Progress.info += "Same, upload not necessary";
        m_Progress.error = static_cast<int>(kvtTransferError::None);
        return true;
    }
    m_Progress.info += "Upload configuration";
    m_bDigestsDiffer = true;
    start_blocks();
    return false;
}

bool kvtOlmoUpload::on_db_max_size(const kvtIOlmoFrame *frame) {
    m_Progress.info = "Save Server Max Db Size";
    m_Progress.serverMaximum = frame->GetAsULong();
    if (m_Progress.serverMaximum < m_Progress.clientBytes)
        return refuse(kvtTransferError::Failed, "Configuration file is too big");
    // Both answers decide whether anything is sent; they may come in either order.
    m_bSizeFits = true;
    start_blocks();
    return false;
}

bool kvtOlmoUpload::on_appended(const kvtIOlmoFrame *frame, bool *changed) {
    if (frame->GetType() != kvtTypeString) {
        *changed = false; // only the text answer moves the upload on
        return false;
    }
    m_Progress.info = "Upload Data";
    Answer answer;
    if (!parse(frame, &answer))
        return true;
    if (answer.file != m_Progress.serverFile)
        return false;
    // The server can only have written what was sent in the one block outstanding.
    if (answer.wrote < 0 || static_cast<uint32_t>(answer.wrote) > m_uInFlight) {
        return refuse(kvtTransferError::Failed, "The server confirmed " + std::to_string(answer.wrote) +
                                                    " bytes of a block of " + std::to_string(m_uInFlight));
    }
    m_uInFlight = 0;
    m_Progress.sentBytes += static_cast<uint32_t>(answer.wrote);
    m_Progress.fraction = m_Progress.clientBytes ? static_cast<float>(m_Progress.sentBytes) /
                                                       static_cast<float>(m_Progress.clientBytes)
                                                 : 0.0f;
    if (answer.err != 0)
        return refuse(answer.err, answer.info);
    m_iIdleAppends = answer.wrote == 0 ? m_iIdleAppends + 1 : 0;
    if (m_iIdleAppends >= kvtOlmoMaxIdleAppends)
        return refuse(kvtTransferError::Failed,
                      "The server wrote nothing of " + std::to_string(m_iIdleAppends) +
                          " blocks in a row: the upload stopped at " + std::to_string(m_Progress.sentBytes) +
                          " of " + std::to_string(m_Progress.clientBytes) + " bytes");
    if (m_Progress.sentBytes >= m_Progress.clientBytes) {
        m_Commands.QueryFileMd5(m_Progress.serverFile);
    } else {
        append_next();
    }
    return false;
}

bool kvtOlmoUpload::on_file_md5(const kvtIOlmoFrame *frame) {
    m_Progress.serverMd5 = kvtLowerHex(frame->GetAsString());
    if (m_Progress.serverMd5 != m_Progress.clientMd5)
        return refuse(kvtTransferError::Failed, "MD5 do not match!");
    m_Commands.QueryDbChange(m_Progress.serverMd5, m_Progress.serverFile);
    return false;
}

bool kvtOlmoUpload::on_db_change(const kvtIOlmoFrame *frame) {
    m_Progress.info = "Check Change DB";
    Answer answer;
    if (!parse(frame, &answer))
        return true;
    // An answer about another file says nothing about this one: never a success.
    if (answer.file != m_Progress.serverFile)
        return refuse(kvtTransferError::Failed, "The server answered the replacement for another file (" +
                                                    answer.file + ") than the one sent (" +
                                                    m_Progress.serverFile + ")");
    m_Progress.error = answer.err;
    m_Progress.info = answer.info;
    if (answer.md5 != m_Progress.clientMd5) {
        m_Progress.error = static_cast<int>(kvtTransferError::Failed);
        m_Progress.info = "MD5 of new DB differ from source client file";
    }
    return true;
}

} // namespace kvt
