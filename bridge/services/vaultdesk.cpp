#include "vaultdesk.h"

#include "fleet.h"
#include "journal.h"
#include "journalschema.h"
#include "vault.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QStandardPaths>

#include <algorithm>
#include <ctime>
#include <vector>

Q_LOGGING_CATEGORY(lcVault, "vyx.vault", QtWarningMsg)

namespace {

std::string utf8(const QString &s) {
    return s.toUtf8().toStdString();
}

QString text(const std::string &s) {
    return QString::fromUtf8(s.data(), int(s.size()));
}

QString json(const QJsonObject &o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

int portOf(const QString &port) {
    bool ok = false;
    const int p = port.trimmed().toInt(&ok);
    return ok && p > 0 && p < 65536 ? p : 0;
}

QJsonObject entryObject(const Vault &vault, const VaultEntry &e, int64_t now) {
    return QJsonObject{{QStringLiteral("site"), text(e.site)},
                       {QStringLiteral("host"), text(e.host)},
                       {QStringLiteral("port"), e.port},
                       {QStringLiteral("time"), double(e.time)},
                       {QStringLiteral("utc"), text(Vault::timeText(e.time))},
                       {QStringLiteral("age"), double(now - e.time)},
                       {QStringLiteral("size"), double(e.size)},
                       {QStringLiteral("md5"), text(e.md5)},
                       {QStringLiteral("version"), text(e.version)},
                       {QStringLiteral("file"), text(e.file)},
                       {QStringLiteral("path"), text(vault.filePath(e))},
                       {QStringLiteral("verified"), e.verified},
                       {QStringLiteral("suspect"), text(e.suspect)}};
}

// The page's site lists are bounded here as well: the page is ours, the numbers are still checked.
const int kMaxSites = 1000;
// A site that does not answer a probe within this is shown as not reachable.
const int kProbeTimeoutMs = 3000;

} // namespace

VaultDesk::VaultDesk(QObject *parent) : QObject(parent) {
    m_root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
             QStringLiteral("/vyxdesk/vault");
}

VaultDesk::~VaultDesk() {
    // Every job looks at its token in slices of a wait or between pieces of a file.
    m_work.cancelAll();
    m_work.waitForDone();
}

quint64 VaultDesk::run(const QString &lane, const QString &callback, WorkRunner::Work work) {
    const auto toPage = [this, callback](const QString &json) { emit answer(callback, json); };
    return m_work.start(lane, std::move(work), WorkRunner::Handlers{toPage, toPage, toPage});
}

QString VaultDesk::list(const QString &host, const QString &port) const {
    const Vault vault(utf8(m_root));
    const int p = portOf(port);
    QJsonArray copies;
    const int64_t now = int64_t(std::time(nullptr));
    const std::vector<VaultEntry> entries =
        p ? vault.list(utf8(host.trimmed()), p) : std::vector<VaultEntry>();
    for (const VaultEntry &e : entries)
        copies.append(entryObject(vault, e, now));
    return json(
        QJsonObject{{QStringLiteral("root"), m_root},
                    {QStringLiteral("folder"), p ? text(vault.sitePath(utf8(host.trimmed()), p)) : QString()},
                    {QStringLiteral("copies"), copies},
                    {QStringLiteral("attention"), text(Vault::attention(entries))}});
}

void VaultDesk::overview(const QString &sitesJson, const QString &callback) {
    run(QStringLiteral("overview:") + callback, callback,
        [this, sitesJson](WorkRunner::Job &) { return overviewNow(sitesJson); });
}

QString VaultDesk::overviewNow(const QString &sitesJson) const {
    const Vault vault(utf8(m_root));
    const QJsonArray sites = QJsonDocument::fromJson(sitesJson.toUtf8()).array();
    const int64_t now = int64_t(std::time(nullptr));
    QJsonArray out;
    for (int i = 0; i < sites.size() && i < kMaxSites; ++i) {
        const QJsonObject s = sites.at(i).toObject();
        const QString host = s.value(QStringLiteral("host")).toString().trimmed();
        const int p = portOf(s.value(QStringLiteral("port")).toVariant().toString());
        QJsonObject row{{QStringLiteral("host"), host}, {QStringLiteral("port"), p}};
        if (p && !host.isEmpty()) {
            const std::vector<VaultEntry> copies = vault.list(utf8(host), p);
            row.insert(QStringLiteral("count"), int(copies.size()));
            if (!copies.empty())
                row.insert(QStringLiteral("newest"), entryObject(vault, copies.front(), now));
            const auto verified =
                std::find_if(copies.begin(), copies.end(), [](const VaultEntry &e) { return e.verified; });
            if (verified != copies.end())
                row.insert(QStringLiteral("newestVerified"), entryObject(vault, *verified, now));
            row.insert(QStringLiteral("attention"), text(Vault::attention(copies)));
        }
        out.append(row);
    }
    return QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact));
}

QString VaultDesk::partPath(const QString &host, const QString &port) const {
    const int p = portOf(port);
    if (!p || host.trimmed().isEmpty())
        return json(QJsonObject{{QStringLiteral("error"), QStringLiteral("no valid site address")}});
    std::string error;
    const std::string path = Vault(utf8(m_root)).partPath(utf8(host.trimmed()), p, error);
    if (path.empty())
        return json(QJsonObject{{QStringLiteral("error"), text(error)}});
    return json(QJsonObject{{QStringLiteral("path"), text(path)}});
}

bool VaultDesk::isPart(const QString &path) const {
    const QFileInfo info(path);
    const QString folder = QDir::cleanPath(info.absolutePath());
    const QString root = QDir::cleanPath(QDir(m_root).absolutePath());
    return !path.isEmpty() && info.fileName().startsWith(QStringLiteral(".part-")) &&
           QDir::cleanPath(folder + QStringLiteral("/..")) == root;
}

bool VaultDesk::discard(const QString &part) const {
    // Only a part file directly inside a site folder of this vault.
    return isPart(part) && QFile::remove(QFileInfo(part).absoluteFilePath());
}

namespace {

// What the journal keeps of a download the vault took in: the copy, or why it is no backup.
QString vaultResultText(bool ok, const VaultEntry &e, const std::string &error) {
    if (!ok)
        return QStringLiteral("downloaded, but not kept in the vault: ") + text(error);
    if (!e.suspect.empty())
        return QStringLiteral(
                   "suspect copy kept: %1 (MD5 %2); it does not count as a backup, the last verified "
                   "copy stays")
            .arg(text(e.suspect), text(e.md5));
    return QStringLiteral("MD5 %1, %2 bytes, in the vault as %3")
        .arg(text(e.md5))
        .arg(e.size)
        .arg(text(e.file));
}

} // namespace

void VaultDesk::add(const QString &requestJson, const QString &callback, qint64 journalIntent,
                    const QString &writtenMd5) {
    const QJsonObject r = QJsonDocument::fromJson(requestJson.toUtf8()).object();
    const QString host = r.value(QStringLiteral("host")).toString().trimmed();
    const int port = portOf(r.value(QStringLiteral("port")).toVariant().toString());
    const QString part = r.value(QStringLiteral("part")).toString();
    const Vault vault(utf8(m_root));
    // The part file must be the one this vault handed out for the site.
    const QString expected = QDir::cleanPath(text(vault.sitePath(utf8(host), port)));
    if (!port || host.isEmpty() || QDir::cleanPath(QFileInfo(part).absolutePath()) != expected ||
        !QFileInfo(part).fileName().startsWith(QStringLiteral(".part-"))) {
        if (m_journal && journalIntent > 0)
            m_journal->queueResult(journalIntent, QLatin1String(vyxjournal::kOutcomeFailed),
                                   QStringLiteral("downloaded, but not kept in the vault: not a download of "
                                                  "this vault"));
        emit answer(callback, json(QJsonObject{{QStringLiteral("ok"), false},
                                               {QStringLiteral("error"),
                                                QStringLiteral("not a download of this vault")}}));
        return;
    }
    const std::string site = utf8(r.value(QStringLiteral("site")).toString());
    const std::string md5 = utf8(r.value(QStringLiteral("md5")).toString());
    const std::string version = utf8(r.value(QStringLiteral("version")).toString());
    const int keep = r.value(QStringLiteral("keep")).toInt(0);
    const std::string hostText = utf8(host), partText = utf8(part), root = utf8(m_root);
    const std::string written = utf8(writtenMd5);
    // Each copy is a request of its own: a second download does not replace the first one's.
    run(QStringLiteral("add:") + part, callback,
        [this, site, hostText, port, partText, md5, version, keep, root, journalIntent,
         written](WorkRunner::Job &) {
            const Vault v(root);
            VaultEntry e;
            std::string error;
            const bool ok = v.add(site, hostText, port, partText, md5, version, int64_t(std::time(nullptr)),
                                  keep > 0 ? keep : 0, e, error, written);
            if (!ok)
                qCWarning(lcVault) << "vault copy not added:" << text(error);
            if (journalIntent > 0)
                postResult(journalIntent, ok && e.suspect.empty(), vaultResultText(ok, e, error));
            return json(
                ok ? QJsonObject{{QStringLiteral("ok"), true},
                                 {QStringLiteral("copy"), entryObject(v, e, e.time)}}
                   : QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), text(error)}});
        });
}

void VaultDesk::prune(const QString &host, const QString &port, int keep, const QString &callback) {
    const int p = portOf(port);
    const std::string hostText = utf8(host.trimmed()), root = utf8(m_root);
    run(QStringLiteral("prune:") + callback, callback, [p, hostText, root, keep](WorkRunner::Job &job) {
        std::string error;
        const int removed = p ? Vault(root).prune(hostText, p, keep, error, job.cancelFlag()) : -1;
        if (removed < 0)
            return json(QJsonObject{
                {QStringLiteral("error"), p ? text(error) : QStringLiteral("no valid site address")}});
        return json(QJsonObject{{QStringLiteral("removed"), removed}});
    });
}

namespace {

// The sites of the page's request, bounded; a site without a name is called by its address.
std::vector<FleetSite> fleetSitesFrom(const QJsonArray &list) {
    std::vector<FleetSite> sites;
    for (int i = 0; i < list.size() && i < kMaxSites; ++i) {
        const QJsonObject s = list.at(i).toObject();
        FleetSite f;
        f.name = utf8(s.value(QStringLiteral("name")).toString().left(100));
        f.host = utf8(s.value(QStringLiteral("host")).toString().trimmed());
        f.port = portOf(s.value(QStringLiteral("port")).toVariant().toString());
        f.user = utf8(s.value(QStringLiteral("user")).toString().left(100));
        f.password = utf8(s.value(QStringLiteral("password")).toString());
        if (f.name.empty())
            f.name = f.host + ":" + std::to_string(f.port);
        sites.push_back(std::move(f));
    }
    return sites;
}

QJsonArray resultsJson(const Vault &vault, const std::vector<FleetResult> &results) {
    QJsonArray out;
    for (size_t i = 0; i < results.size(); ++i) {
        const FleetResult &res = results[i];
        QJsonObject o{{QStringLiteral("index"), int(i)},
                      {QStringLiteral("name"), text(res.site.name)},
                      {QStringLiteral("ok"), res.ok},
                      {QStringLiteral("seconds"), res.seconds}};
        // A suspect copy is kept although the site failed: both are told.
        if (!res.entry.file.empty())
            o.insert(QStringLiteral("copy"), entryObject(vault, res.entry, res.entry.time));
        if (!res.ok)
            o.insert(QStringLiteral("reason"), text(res.reason));
        out.append(o);
    }
    return out;
}

} // namespace

void VaultDesk::probe(const QString &sitesJson, const QString &callback) {
    const std::vector<FleetSite> sites = fleetSitesFrom(QJsonDocument::fromJson(sitesJson.toUtf8()).array());
    const quint64 generation = run(QStringLiteral("probe"), callback, [sites](WorkRunner::Job &job) {
        const QJsonValue g = double(job.generation());
        probeSites(sites, kProbeTimeoutMs, job.cancelFlag(), [&](size_t i, const FleetProbe &p) {
            job.post(json(QJsonObject{{QStringLiteral("generation"), g},
                                      {QStringLiteral("index"), int(i)},
                                      {QStringLiteral("host"), text(sites[i].host)},
                                      {QStringLiteral("port"), sites[i].port},
                                      {QStringLiteral("reachable"), p.reachable},
                                      {QStringLiteral("ms"), p.milliseconds},
                                      {QStringLiteral("reason"), text(p.reason)}}));
        });
        return json(QJsonObject{{QStringLiteral("generation"), g}, {QStringLiteral("done"), true}});
    });
    // Told before any answer of this probe can come: the page takes only answers of this generation.
    emit answer(callback, json(QJsonObject{{QStringLiteral("generation"), double(generation)},
                                           {QStringLiteral("sites"), int(sites.size())}}));
}

std::vector<qint64> VaultDesk::recordIntents(const std::vector<FleetSite> &sites) const {
    if (!m_journal)
        return {};
    // All of them in one transaction: a fleet is recorded whole or not at all. Queued, as every
    // record of the window: the sites are contacted while it is written.
    QList<JournalIntent> batch;
    for (const FleetSite &s : sites)
        batch << JournalIntent{
            JournalServer{text(s.name), text(s.host) + QLatin1Char(':') + QString::number(s.port),
                          text(s.user)},
            QLatin1String(vyxjournal::kKindBackup), QJsonObject{{QStringLiteral("vault"), m_root}}};
    const QList<qint64> ids = m_journal->queueIntents(batch);
    return std::vector<qint64>(ids.begin(), ids.end());
}

void VaultDesk::postResult(qint64 intent, const FleetResult &res) {
    postResult(intent, res.ok, text(fleetResultText(res)));
}

void VaultDesk::postResult(qint64 intent, bool ok, const QString &result) {
    QMetaObject::invokeMethod(
        this,
        [this, intent, ok, result] {
            if (m_journal)
                m_journal->queueResult(
                    intent, QLatin1String(ok ? vyxjournal::kOutcomeSucceeded : vyxjournal::kOutcomeFailed),
                    result);
        },
        Qt::QueuedConnection);
}

bool VaultDesk::backup(const QString &requestJson, const QString &callback) {
    if (backupRunning())
        return false;
    const QJsonObject r = QJsonDocument::fromJson(requestJson.toUtf8()).object();
    const std::vector<FleetSite> sites = fleetSitesFrom(r.value(QStringLiteral("sites")).toArray());
    FleetOptions options;
    options.parallel = qBound(1, r.value(QStringLiteral("parallel")).toInt(3), 16);
    options.keep = qMax(0, r.value(QStringLiteral("keep")).toInt(0));
    options.timeoutSeconds = qBound(1, r.value(QStringLiteral("timeout")).toInt(15), 600);
    const std::string root = utf8(m_root);
    // Intents are queued here, before the sites' job starts; the workers hand each result back to
    // this thread, which queues it after them. A site whose backup never ends stays unknown.
    const std::vector<qint64> intents = recordIntents(sites);
    run(QStringLiteral("backup"), callback, [this, sites, options, root, intents](WorkRunner::Job &job) {
        FleetOptions cancellable = options;
        cancellable.cancel = job.cancelFlag();
        // A site's phases each reach the page; its download only at each whole percent.
        std::vector<int> shown(sites.size(), -1);
        const Vault vault(root);
        const std::vector<FleetResult> results = backupFleet(
            sites, vault, cancellable,
            [&job, &shown](size_t index, const std::string &phase, double f) {
                const int percent = phase == "downloading" ? int(f * 100) : -1;
                if (percent >= 0 && percent == shown[index])
                    return;
                shown[index] = percent;
                job.post(json(QJsonObject{{QStringLiteral("index"), int(index)},
                                          {QStringLiteral("phase"), text(phase)},
                                          {QStringLiteral("fraction"), f}}));
            },
            [this, &intents](size_t index, const FleetResult &res) {
                if (index < intents.size() && intents[index] > 0)
                    postResult(intents[index], res);
            });
        return json(QJsonObject{{QStringLiteral("done"), true},
                                {QStringLiteral("results"), resultsJson(vault, results)}});
    });
    return true;
}
