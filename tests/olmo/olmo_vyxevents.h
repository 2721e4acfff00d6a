#ifndef OLMO_VYXEVENTS_H
#define OLMO_VYXEVENTS_H

// Records what a two-channel client tells its owner, for tests and benchmarks.

#include <atomic>
#include <mutex>
#include <tuple>
#include <vector>

#include "kvt_olmotcpclientvyx.h"

namespace olmotest {

struct VyxEvents {
    std::mutex lock;
    std::atomic<int> ready{0};
    std::atomic<int> reads{0};
    std::vector<std::tuple<kvt::kvtOlmoTcpClient *, int, int>> connection;
    std::vector<kvt::kvtOlmoFrame> frames;
    std::vector<kvt::kvtDownloadProgress> downloads;
    std::vector<kvt::kvtUploadProgress> uploads;
    bool keepFrames = true;

    static void OnReady(void *o) { static_cast<VyxEvents *>(o)->ready++; }
    static void OnConnection(void *o, kvt::kvtOlmoTcpClient *c, int s, int cs) {
        auto *e = static_cast<VyxEvents *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->connection.emplace_back(c, s, cs);
    }
    static void OnRead(void *o, const kvt::kvtIOlmoFrame *f) {
        auto *e = static_cast<VyxEvents *>(o);
        e->reads++;
        if (!e->keepFrames)
            return;
        std::lock_guard<std::mutex> l(e->lock);
        e->frames.push_back(*static_cast<const kvt::kvtOlmoFrame *>(f));
    }
    static void OnDownload(void *o, const kvt::kvtDownloadProgress *p) {
        auto *e = static_cast<VyxEvents *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->downloads.push_back(*p);
    }
    static void OnUpload(void *o, const kvt::kvtUploadProgress *p) {
        auto *e = static_cast<VyxEvents *>(o);
        std::lock_guard<std::mutex> l(e->lock);
        e->uploads.push_back(*p);
    }
    void Attach(kvt::kvtOlmoTcpClientVyx &c) {
        c.SetCallbacks(this, OnReady, OnConnection, OnRead, OnDownload, OnUpload);
    }

    bool HasConnection(kvt::kvtOlmoTcpClient *c, int s, int cs) {
        std::lock_guard<std::mutex> l(lock);
        for (auto &t : connection)
            if (std::get<0>(t) == c && std::get<1>(t) == s && std::get<2>(t) == cs)
                return true;
        return false;
    }
    bool DownloadEnded() {
        std::lock_guard<std::mutex> l(lock);
        return !downloads.empty() && downloads.back().IsEnd();
    }
    bool UploadEnded() {
        std::lock_guard<std::mutex> l(lock);
        return !uploads.empty() && uploads.back().IsEnd();
    }
    kvt::kvtDownloadProgress LastDownload() {
        std::lock_guard<std::mutex> l(lock);
        return downloads.back();
    }
    kvt::kvtUploadProgress LastUpload() {
        std::lock_guard<std::mutex> l(lock);
        return uploads.back();
    }
    void ClearDownloads() {
        std::lock_guard<std::mutex> l(lock);
        downloads.clear();
    }
    std::vector<kvt::kvtDownloadProgress> Downloads() {
        std::lock_guard<std::mutex> l(lock);
        return downloads;
    }
    size_t DownloadCount() {
        std::lock_guard<std::mutex> l(lock);
        return downloads.size();
    }
    size_t UploadCount() {
        std::lock_guard<std::mutex> l(lock);
        return uploads.size();
    }
    std::vector<kvt::kvtOlmoFrame> Frames() {
        std::lock_guard<std::mutex> l(lock);
        return frames;
    }
};

} // namespace olmotest

#endif
