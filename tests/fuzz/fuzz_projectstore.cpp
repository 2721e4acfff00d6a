// The project store loading an arbitrary file as a project: whatever the SQLite file holds, the
// load writes only inside the working project folder.
#include "filedialogs.h"
#include "projectstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

class NoDialogs : public FileDialogs {
public:
    QString openFileName(const QString &, const QString &, const QString &) override { return {}; }
    QString saveFileName(const QString &, const QString &, const QString &) override { return {}; }
    QString existingDirectory(const QString &, const QString &) override { return {}; }
};

QTemporaryDir *g_root = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    g_root = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString root = g_root->path();
    const QString project = root + QStringLiteral("/p.vyx");
    {
        QFile file(project);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    const QString app = root + QStringLiteral("/app");
    NoDialogs dialogs;
    {
        ProjectStore store(app, &dialogs, OperationLog(app));
        store.clearProject();
        store.loadProject(project, QString(), QString());
        store.loadProjectConfig(project, QString(), QString());
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));

    // Nothing but the project file, the log and the working folder may exist.
    const QString working = app + QStringLiteral("/data/project/");
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path == project || path.startsWith(project + QLatin1Char('-')) ||
            path == app + QStringLiteral("/log.txt") || path == app ||
            path == app + QStringLiteral("/data") || path.startsWith(working) ||
            path == app + QStringLiteral("/data/project")) {
            continue;
        }
        std::fprintf(stderr, "written outside the working folder: %s\n", qPrintable(path));
        std::abort();
    }
    return 0;
}
