#include "kvt_olmomd5stream.h"

#include <new>

#include <openssl/evp.h>

#include "kvt_osfile.h"

namespace kvt {

namespace {
EVP_MD_CTX *ctx(void *p) {
    return static_cast<EVP_MD_CTX *>(p);
}
} // namespace

kvtOlmoMd5Stream::kvtOlmoMd5Stream() : m_pContext(EVP_MD_CTX_new()) {
    init();
}

kvtOlmoMd5Stream::~kvtOlmoMd5Stream() {
    if (m_pThread) {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_bQuit = true;
        }
        m_Changed.notify_all();
        m_pThread->Stop();
        delete m_pThread;
    }
    EVP_MD_CTX_free(ctx(m_pContext));
}

void kvtOlmoMd5Stream::init() {
    m_bOk = m_pContext && EVP_DigestInit_ex(ctx(m_pContext), EVP_md5(), nullptr) == 1;
}

void kvtOlmoMd5Stream::hash(const std::vector<uint8_t> &block) {
    if (m_bOk)
        m_bOk = EVP_DigestUpdate(ctx(m_pContext), block.data(), block.size()) == 1;
}

void kvtOlmoMd5Stream::drain(std::unique_lock<std::mutex> &lock) {
    m_Changed.wait(lock, [this] { return m_Pending.empty() && !m_bHashing; });
}

void kvtOlmoMd5Stream::Reset() {
    std::unique_lock<std::mutex> lock(m_Lock);
    drain(lock);
    init();
}

void kvtOlmoMd5Stream::Update(const void *data, size_t length) {
    if (!data || !length)
        return;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    std::vector<uint8_t> block;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_Spare.empty()) {
            block = std::move(m_Spare.back());
            m_Spare.pop_back();
        }
    }
    block.assign(bytes, bytes + length);
    if (!m_pThread) {
        m_pThread = new (std::nothrow) kvtOsThread(&kvtOlmoMd5Stream::thread_hash, this, false);
        if (m_pThread && !m_pThread->Start(0)) {
            delete m_pThread;
            m_pThread = nullptr;
        }
    }
    std::unique_lock<std::mutex> lock(m_Lock);
    if (!m_pThread) {
        drain(lock);
        hash(block); // no worker: hash here
        return;
    }
    m_Changed.wait(lock, [this] { return m_uPendingBytes < kMaxPending; });
    m_uPendingBytes += block.size();
    m_Pending.push_back(std::move(block));
    lock.unlock();
    m_Changed.notify_all();
}

std::string kvtOlmoMd5Stream::Final() {
    std::unique_lock<std::mutex> lock(m_Lock);
    drain(lock);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = m_bOk && EVP_DigestFinal_ex(ctx(m_pContext), digest, &size) == 1;
    init();
    if (!ok)
        return std::string();
    return kvtHexText(digest, size);
}

void kvtOlmoMd5Stream::thread_hash(kvtIOsThread *, void *userData) {
    static_cast<kvtOlmoMd5Stream *>(userData)->run();
}

void kvtOlmoMd5Stream::run() {
    std::unique_lock<std::mutex> lock(m_Lock);
    for (;;) {
        m_Changed.wait(lock, [this] { return m_bQuit || !m_Pending.empty(); });
        if (m_bQuit)
            return;
        std::vector<uint8_t> block = std::move(m_Pending.front());
        m_Pending.pop_front();
        m_bHashing = true;
        lock.unlock();
        hash(block); // the context is this thread's while m_bHashing is set
        lock.lock();
        m_bHashing = false;
        m_uPendingBytes -= block.size();
        // Enough spares for the pending bound in blocks of a download's usual size; a huge
        // block is not worth keeping.
        if (m_Spare.size() < 32 && block.capacity() <= kMaxPending)
            m_Spare.push_back(std::move(block));
        m_Changed.notify_all();
    }
}

} // namespace kvt
