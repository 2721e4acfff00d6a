#ifndef KVT_OLMOMD5STREAM_H
#define KVT_OLMOMD5STREAM_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "kvt_osthread.h"

namespace kvt {

// MD5 over bytes fed in pieces. A download hashes its blocks as it writes them,
// instead of reading the whole file again at the end; the hashing runs on a
// thread of its own so it overlaps with receiving the next blocks.
class kvtOlmoMd5Stream {
public:
    kvtOlmoMd5Stream();
    ~kvtOlmoMd5Stream();
    kvtOlmoMd5Stream(const kvtOlmoMd5Stream &) = delete;
    kvtOlmoMd5Stream &operator=(const kvtOlmoMd5Stream &) = delete;

    void Reset();
    // Copies the bytes; waits while more than kMaxPending bytes are still unhashed.
    void Update(const void *data, size_t length);
    // 32 lower-case hexadecimal digits of everything fed since Reset; empty when
    // the digest could not be computed. Starts a new digest.
    std::string Final();

    static const size_t kMaxPending = 8u * 1024u * 1024u;

private:
    static void thread_hash(kvtIOsThread *thread, void *userData);
    void run();
    void drain(std::unique_lock<std::mutex> &lock);
    void hash(const std::vector<uint8_t> &block);
    void init();

    std::mutex m_Lock; // queue and flags; the digest context belongs to whoever holds an empty, idle queue
    std::condition_variable m_Changed;
    std::deque<std::vector<uint8_t>> m_Pending;
    // Hashed blocks kept for the next copies: a fresh buffer for every block would cost a
    // mapping and a page fault for every page of it.
    std::vector<std::vector<uint8_t>> m_Spare;
    size_t m_uPendingBytes = 0;
    bool m_bHashing = false;
    bool m_bQuit = false;
    kvtOsThread *m_pThread = nullptr; // started with the first block
    void *m_pContext;                 // EVP_MD_CTX
    bool m_bOk = false;
};

} // namespace kvt

#endif
