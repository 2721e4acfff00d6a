// Bridge slots of remembered passwords: each answers its own callback with JSON, later, once the
// keyring has answered; the work is PasswordKeyring's.
#include "js.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString compact(const QJsonObject &object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject doneAnswer(const QString &error) {
    if (error.isEmpty())
        return {{QStringLiteral("status"), QStringLiteral("ok")}};
    return {{QStringLiteral("status"), QStringLiteral("error")}, {QStringLiteral("error"), error}};
}

} // namespace

void JS::keyringStatus(QString callback) {
    keyring.checkAvailable([this, callback](bool available, const QString &reason) {
        queueExpressionCall(callback, compact({{QStringLiteral("available"), available},
                                               {QStringLiteral("reason"), reason}}));
    });
}

void JS::rememberPassword(QString site, QString password, QString callback) {
    keyring.write(site, password, [this, callback](const QString &error) {
        queueExpressionCall(callback, compact(doneAnswer(error)));
    });
}

void JS::rememberedPassword(QString site, QString callback) {
    keyring.read(site, [this, callback](bool found, const QString &password, const QString &error) {
        QJsonObject answer = doneAnswer(error);
        answer.insert(QStringLiteral("found"), found);
        if (found)
            answer.insert(QStringLiteral("password"), password);
        queueExpressionCall(callback, compact(answer));
    });
}

void JS::forgetPassword(QString site, QString callback) {
    keyring.remove(site, [this, callback](const QString &error) {
        queueExpressionCall(callback, compact(doneAnswer(error)));
    });
}
