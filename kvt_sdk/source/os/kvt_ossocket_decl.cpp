#include "kvt_ossocket_decl.h"

#include <atomic>

namespace kvt {

namespace {
std::atomic<int> g_socketLibraryReferences{0};
}

void ___kvt___init___wsocket___dll() {
    ++g_socketLibraryReferences;
}

void ___kvt___term___wsocket___dll() {
    --g_socketLibraryReferences;
}

std::string to_string(kvtSocketResult result) {
    switch (result) {
    case kvtSocketResult::Ok:
        return "ok";
    case kvtSocketResult::Error:
        return "error";
    case kvtSocketResult::TimeOut:
        return "time-out";
    case kvtSocketResult::Closed:
        return "closed by the peer";
    case kvtSocketResult::Pending:
        return "pending";
    }
    return "socket result " + std::to_string(static_cast<int>(result));
}

std::string to_string(kvtSocketState state) {
    switch (state) {
    case kvtSocketState::Connected:
        return "Connected";
    case kvtSocketState::Unreachable:
        return "Can Not Reach The Host";
    case kvtSocketState::Closed:
        return "Closed";
    }
    return std::string();
}

int kvtSocketLibraryReferences() {
    return g_socketLibraryReferences.load();
}

} // namespace kvt
