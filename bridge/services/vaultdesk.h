#pragma once
// The backup vault and the fleet of sites for the page: lists of copies, adding a finished download
// to the vault, retention, reachability probes and backing up several sites on connections of
// their own. Work that grows with a copy's size or with the number of sites runs on the work
// runner, off the GUI thread; answers come back as `answer` signals on the GUI thread, each with
// the page callback it belongs to and a JSON text.
#include "workrunner.h"

#include <QObject>
#include <QString>

#include <vector>

class Journal;
struct FleetResult;
struct FleetSite;

class VaultDesk : public QObject {
    Q_OBJECT

public:
    explicit VaultDesk(QObject *parent = nullptr);
    // Cancels the fleet backup, the probes and the rest, and waits for their jobs, which end
    // within a fraction of a second.
    ~VaultDesk() override;

    // $XDG_DATA_HOME/vyxdesk/vault unless set otherwise (tests).
    QString root() const { return m_root; }
    void setRoot(const QString &root) { m_root = root; }

    // {"root", "folder", "copies": [...], "attention"} for one site, newest copy first; attention
    // says why the site needs a look (empty when it does not), each copy why it is suspect.
    QString list(const QString &host, const QString &port) const;
    // The newest copy of each site of a JSON list [{"host","port"}], read off the GUI thread (it
    // opens the index once per site): the callback gets
    // [{"host","port","count","newest","newestVerified","attention"}]. A newer request to the same
    // callback replaces an older one still running.
    void overview(const QString &sitesJson, const QString &callback);
    // The same, at once (tests and tools).
    QString overviewNow(const QString &sitesJson) const;
    // Where a download into the vault is written while it runs; {"path"} or {"error"}.
    QString partPath(const QString &host, const QString &port) const;
    // True for a download in progress into this vault (a part file directly in a site folder).
    bool isPart(const QString &path) const;
    // Removes a download that did not finish (only part files inside the vault).
    bool discard(const QString &part) const;
    // Adds a finished download: {"site","host","port","part","md5","version","keep"}, off the GUI
    // thread; the callback gets {"ok", "error"|"copy"}. writtenMd5: the digest the download
    // computed over what it wrote (its end record's), so that the copy is not read again; when
    // empty the copy is hashed. journalIntent: the download's record, completed here with what the
    // vault made of the copy (0 for none).
    void add(const QString &requestJson, const QString &callback, qint64 journalIntent = 0,
             const QString &writtenMd5 = QString());
    // Keeps the newest `keep` copies (never removing the newest verified one), off the GUI thread:
    // every verified copy is hashed again. The callback gets {"removed"} or {"error"}.
    void prune(const QString &host, const QString &port, int keep, const QString &callback);
    // A TCP connect to each site of [{"host","port"}], side by side. The callback gets, in order:
    // {"generation","sites"} at once; one {"generation","index","host","port","reachable","ms",
    // "reason"} per site as it ends; {"generation","done": true}. A new probe replaces the one
    // still running: nothing of the old one comes after the new one's first answer.
    void probe(const QString &sitesJson, const QString &callback);
    // Backs up the sites of {"sites": [{"name","host","port","user","password"}], "parallel",
    // "keep", "timeout"}: per-site {"index","phase","fraction"}, then {"done": true, "results"}.
    // False when a fleet backup is already running.
    bool backup(const QString &requestJson, const QString &callback);
    bool backupRunning() const { return m_work.running(QStringLiteral("backup")); }
    // Ends the fleet backup, the probes and every other job now (the window closes); returns at once.
    void cancelAll() { m_work.cancelAll(); }
    // The runner of this object's jobs (tests look at it).
    const WorkRunner &work() const { return m_work; }
    // The journal each site's backup is recorded in (none when null). It must outlive this object's
    // event handling and be used on this object's thread: records are written there only.
    void setJournal(Journal *journal) { m_journal = journal; }

signals:
    void answer(const QString &callback, const QString &json);

private:
    // Runs `work` as the request of `lane`; its answers go to `callback`.
    quint64 run(const QString &lane, const QString &callback, WorkRunner::Work work);
    // One intent per site, written before any site is contacted (0 where none was written).
    std::vector<qint64> recordIntents(const std::vector<FleetSite> &sites) const;
    // From a worker: a site's result goes to the journal on this object's thread.
    void postResult(qint64 intent, const FleetResult &result);
    void postResult(qint64 intent, bool ok, const QString &result);

    QString m_root;
    Journal *m_journal = nullptr;
    // Last: cancelled and waited for first on destruction, so no job outlives this object.
    WorkRunner m_work{6};
};
