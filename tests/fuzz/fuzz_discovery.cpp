// The discovery answer parser and the page call built from an answer: whatever a datagram holds,
// the call must be exactly (callback)("…","…") with two closed string literals, so the text
// reaches the page as data.
#include "pagescript.h"

#include <QByteArray>
#include <QString>

#include <cstdlib>

namespace {

// Reads one double-quoted literal from `at`; -1 when it is not well formed or not closed.
int literalEnd(const QString &text, int at) {
    if (at >= text.size() || text[at] != QLatin1Char('"'))
        return -1;
    for (int i = at + 1; i < text.size(); ++i) {
        const ushort c = text[i].unicode();
        if (c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029)
            return -1;
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '"')
            return i + 1;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    const QString answer = PageScript::discoveryAnswer(datagram);
    if (answer.isEmpty())
        return 0;
    if (answer.contains(QChar(0)) || !answer.contains(QLatin1String("vyx-kore-wa-desu")))
        std::abort();
    const QString call =
        PageScript::discoveryCall(QStringLiteral("found"), QStringLiteral("10.0.0.1"), answer);
    const QString head = QStringLiteral("(found)(");
    if (!call.startsWith(head))
        std::abort();
    const int first = literalEnd(call, head.size());
    if (first < 0 || first >= call.size() || call[first] != QLatin1Char(','))
        std::abort();
    const int second = literalEnd(call, first + 1);
    if (second != call.size() - 1 || call[second] != QLatin1Char(')'))
        std::abort();
    return 0;
}
