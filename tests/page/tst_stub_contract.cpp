// The page tests run the workbench on a stand-in bridge (StubDesk). A stand-in that offers a slot
// the manager does not have, with another signature, or lacks one the page calls, lets page tests
// pass on calls that fail in the manager. This holds the two slot lists together.
#include "js.h"
#include "stubdesk.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

struct Slot {
    QByteArray signature; // name(types)
    QByteArray returnType;
};

// The public slots a class declares itself (not those inherited from QObject or QWidget).
QMap<QByteArray, Slot> ownPublicSlots(const QMetaObject &meta) {
    QMap<QByteArray, Slot> found;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod m = meta.method(i);
        if (m.methodType() != QMetaMethod::Slot || m.access() != QMetaMethod::Public)
            continue;
        found.insert(m.name(), Slot{m.methodSignature(), m.typeName()});
    }
    return found;
}

// Every quoted identifier in the page's scripts: slot names appear as string literals ('VYXConsole').
QSet<QByteArray> quotedNamesInPage(const QString &folder) {
    QSet<QByteArray> names;
    const QRegularExpression quoted(QStringLiteral("['\"]([A-Za-z_][A-Za-z0-9_]*)['\"]"));
    const QDir dir(folder);
    for (const QString &file : dir.entryList({QStringLiteral("*.js")}, QDir::Files)) {
        QFile f(dir.filePath(file));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        auto it = quoted.globalMatch(text);
        while (it.hasNext())
            names.insert(it.next().captured(1).toUtf8());
    }
    return names;
}

} // namespace

class StubContractTest : public QObject {
    Q_OBJECT

private slots:
    void everyStubSlotIsARealSlotWithTheSameSignature() {
        const auto real = ownPublicSlots(JS::staticMetaObject);
        const auto stub = ownPublicSlots(StubDesk::staticMetaObject);
        QVERIFY(real.size() > 50);
        QStringList drift;
        for (auto it = stub.cbegin(); it != stub.cend(); ++it) {
            if (!real.contains(it.key()))
                drift << QStringLiteral("%1: the manager has no such slot")
                             .arg(QString::fromUtf8(it->signature));
            else if (real[it.key()].signature != it->signature || real[it.key()].returnType != it->returnType)
                drift << QStringLiteral("%1 %2: the manager has %3 %4")
                             .arg(QString::fromUtf8(it->returnType), QString::fromUtf8(it->signature),
                                  QString::fromUtf8(real[it.key()].returnType),
                                  QString::fromUtf8(real[it.key()].signature));
        }
        QVERIFY2(drift.isEmpty(), qPrintable(drift.join(QStringLiteral("\n"))));
    }

    void everySlotThePageNamesIsInTheStub() {
        const QSet<QByteArray> named = quotedNamesInPage(QStringLiteral(VYX_PAGE_SCRIPTS));
        QVERIFY(named.contains("VYXConnect"));
        const auto real = ownPublicSlots(JS::staticMetaObject);
        const auto stub = ownPublicSlots(StubDesk::staticMetaObject);
        QStringList missing;
        for (const QByteArray &name : named) {
            if (real.contains(name) && !stub.contains(name))
                missing << QString::fromUtf8(real[name].signature);
        }
        missing.sort();
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("the page calls, the stub lacks: ") +
                                               missing.join(QStringLiteral(", "))));
    }
};

QTEST_MAIN(StubContractTest)
#include "tst_stub_contract.moc"
