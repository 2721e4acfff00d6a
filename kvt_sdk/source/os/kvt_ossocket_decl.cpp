#include "kvt_ossocket_decl.h"

#include <atomic>

namespace kvt {

namespace {
std::atomic<int> g_socketLibraryReferences{0};
}

void ___kvt___init___wsocket___dll()
{
    ++g_socketLibraryReferences;
}

void ___kvt___term___wsocket___dll()
{
    --g_socketLibraryReferences;
}

int kvtSocketLibraryReferences()
{
    return g_socketLibraryReferences.load();
}

}  // namespace kvt
