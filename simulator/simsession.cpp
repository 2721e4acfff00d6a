#include "simsession.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

using kvt::kvtOlmoFrame;

SimSession::Extract SimSession::extract(kvtOlmoFrame &out) {
    const size_t header = kvt::kvtOlmoHeaderSize;
    size_t available = input.size() - inputPos;
    if (available < header)
        return NeedMore;
    const unsigned char *h = reinterpret_cast<const unsigned char *>(input.data()) + inputPos;
    if (!out.adjust_buffer(header))
        return TooLarge;
    std::memcpy(out.GetMutableBuffer(), h, header);
    if (!out.IsChecksumValid()) {
        inputPos += header;
        return Skipped;
    }
    if (!out.IsInlineType()) {
        // Bound the announced length before anything is allocated for it.
        uint32_t length = out.GetAnnouncedLength();
        if (length > kvt::kvtOlmoMaxPayload)
            return TooLarge;
        if (available < header + length)
            return NeedMore;
    }
    if (!out.reinterpret_frame()) {
        uint32_t length = out.GetBufferLength() - uint32_t(header);
        std::memcpy(out.GetMutableBuffer() + header, h + header, length);
        inputPos += header + length;
    } else {
        inputPos += header;
    }
    if (inputPos > 1u << 20 || inputPos == input.size()) {
        input.erase(0, inputPos);
        inputPos = 0;
    }
    return Frame;
}

void SimSession::queue(std::string bytes, uint64_t dueMs) {
    outputBytes += bytes.size();
    // Small frames due together leave in one send instead of one system call each.
    if (!m_output.empty() && m_output.back().due == dueMs && m_output.back().bytes.size() < kJoinBelow) {
        m_output.back().bytes += bytes;
        return;
    }
    m_output.push_back({dueMs, std::move(bytes)});
}

bool SimSession::hasDueOutput(uint64_t nowMs) const {
    return !m_output.empty() && m_output.front().due <= nowMs;
}

bool SimSession::flush(uint64_t nowMs) {
    while (!m_output.empty() && m_output.front().due <= nowMs) {
        const std::string &b = m_output.front().bytes;
        ssize_t n = ::send(fd, b.data() + m_outputPos, b.size() - m_outputPos, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            return false;
        }
        m_outputPos += size_t(n);
        if (m_outputPos < b.size())
            return true;
        outputBytes -= b.size();
        m_output.pop_front();
        m_outputPos = 0;
    }
    return true;
}

std::string SimSession::label() const {
    std::string r = role == Monitor ? "monitor" : role == Command ? "command" : "connection";
    return r + (clientId ? " #" + std::to_string(clientId) : std::string()) + " (" + peer + ")";
}
