// The connector's frame dispatch: arbitrary frames of every code, kind and type handed to OnRead
// as the monitor reader hands them over. Nothing goes to a server: the requests the handlers
// make are counted instead.
#include "fuzzframes.h"
#include "vyxconnector.h"

#include <QCoreApplication>

namespace {

class OfflineConnector : public VYXConnector {
public:
    size_t queries = 0;
    size_t userInterfaces = 0;

protected:
    void queryParameterValue(uint32_t) override { ++queries; }
    void sendUserUI(const QByteArray &, const QByteArray &) override { ++userInterfaces; }
    QByteArray loggedInUser() override { return "admin"; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    OfflineConnector connector;
    fuzzframes::forEachFrame(data, size, [&](const kvt::kvtOlmoFrame &frame) { connector.OnRead(&frame); });
    return 0;
}
