#include "pagescript.h"

#include "kvt_discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace PageScript {

QString escapeString(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case 0x2028:
            out += QLatin1String("\\u2028");
            break;
        case 0x2029:
            out += QLatin1String("\\u2029");
            break;
        default:
            if (c.unicode() < 0x20 && c != QLatin1Char('\t'))
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString discoveryAnswer(const QByteArray &datagram) {
    const int zero = datagram.indexOf('\0');
    const QByteArray answer = zero < 0 ? datagram : datagram.left(zero);
    return answer.contains(kvt::kvtDiscoveryAnswerMarker) ? QString::fromLatin1(answer) : QString();
}

QString discoveryCall(const QString &callback, const QString &sender, const QString &answer) {
    // Both arguments come from the network: escaped, they reach the page as plain strings.
    return expressionCall(callback, stringLiteral(sender + QLatin1Char('|') + answer) + QLatin1Char(',') +
                                        stringLiteral(answer));
}

QString stringLiteral(const QString &text) {
    return QLatin1Char('"') + escapeString(text) + QLatin1Char('"');
}

QString singleQuotedLiteral(const QString &text) {
    QString body = escapeString(text);
    body.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + body + QLatin1Char('\'');
}

QString stringCall(const QString &callback, const QString &text) {
    return expressionCall(callback, stringLiteral(text));
}

QString expressionCall(const QString &callback, const QString &expression) {
    return QLatin1Char('(') + callback + QLatin1String(")(") + expression + QLatin1Char(')');
}

bool isJsonValue(const QString &text) {
    // Qt's parser takes only objects and arrays at the top, so wrap the text in an array and
    // require exactly one element: "1,2" or "[1]]" are not one value.
    QJsonParseError error;
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray("[") + text.toUtf8() + QByteArray("]"), &error);
    return error.error == QJsonParseError::NoError && doc.isArray() && doc.array().size() == 1;
}

QString jsonOrStringLiteral(const QString &text) {
    if (!isJsonValue(text))
        return stringLiteral(text);
    // Older script engines treat these two as line breaks even inside string literals.
    QString json = text;
    json.replace(QChar(0x2028), QLatin1String("\\u2028"));
    json.replace(QChar(0x2029), QLatin1String("\\u2029"));
    return json;
}

QString evalWrapped(const QString &script) {
    return QStringLiteral("window.eval.call(window,%1)").arg(script);
}

} // namespace PageScript
