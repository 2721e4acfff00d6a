#pragma once
// The backup vault and the fleet of sites for the page: lists of copies, adding a finished download
// to the vault, retention, reachability probes and backing up several sites on connections of
// their own. Slow work runs off the GUI thread; answers come back as `answer` signals on the GUI
// thread, each with the page callback it belongs to and a JSON text.
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <vector>

class Journal;
struct FleetResult;
struct FleetSite;

class VaultDesk : public QObject {
    Q_OBJECT

public:
    explicit VaultDesk(QObject *parent = nullptr);
    ~VaultDesk() override;

    // $XDG_DATA_HOME/vyxdesk/vault unless set otherwise (tests).
    QString root() const { return m_root; }
    void setRoot(const QString &root) { m_root = root; }

    // {"root", "folder", "copies": [...], "attention"} for one site, newest copy first; attention
    // says why the site needs a look (empty when it does not), each copy why it is suspect.
    QString list(const QString &host, const QString &port) const;
    // The newest copy of each site of a JSON list [{"host","port"}]:
    // [{"host","port","count","newest","newestVerified","attention"}].
    QString overview(const QString &sitesJson) const;
    // Where a download into the vault is written while it runs; {"path"} or {"error"}.
    QString partPath(const QString &host, const QString &port) const;
    // True for a download in progress into this vault (a part file directly in a site folder).
    bool isPart(const QString &path) const;
    // Removes a download that did not finish (only part files inside the vault).
    bool discard(const QString &part) const;
    // Adds a finished download: {"site","host","port","part","md5","version","keep"}. The copy is
    // hashed again off the GUI thread; the callback gets {"ok", "error"|"copy"}. journalIntent:
    // the download's record, completed here with what the vault made of the copy (0 for none).
    void add(const QString &requestJson, const QString &callback, qint64 journalIntent = 0);
    // Keeps the newest `keep` copies (never removing the newest verified one); {"removed"} or {"error"}.
    QString prune(const QString &host, const QString &port, int keep) const;
    // A TCP connect to each site of [{"host","port"}], side by side; the callback gets one answer
    // per site {"index","reachable","ms","reason"}, in the order they end.
    void probe(const QString &sitesJson, const QString &callback);
    // Backs up the sites of {"sites": [{"name","host","port","user","password"}], "parallel",
    // "keep", "timeout"}: per-site {"index","phase","fraction"}, then {"done": true, "results"}.
    // False when a fleet backup is already running.
    bool backup(const QString &requestJson, const QString &callback);
    bool backupRunning() const { return m_backupRunning; }
    // The journal each site's backup is recorded in (none when null). It must outlive this object's
    // event handling and be used on this object's thread: records are written there only.
    void setJournal(Journal *journal) { m_journal = journal; }

signals:
    void answer(const QString &callback, const QString &json);

private:
    // From a worker: the answer reaches the page through the GUI thread.
    void post(const QString &callback, const QString &json);
    // One intent per site, written before any site is contacted (0 where none was written).
    std::vector<qint64> recordIntents(const std::vector<FleetSite> &sites) const;
    // From a worker: a site's result goes to the journal on this object's thread.
    void postResult(qint64 intent, const FleetResult &result);
    void postResult(qint64 intent, bool ok, const QString &result);

    QString m_root;
    Journal *m_journal = nullptr;
    std::atomic<bool> m_backupRunning{false};
    QThreadPool m_pool; // waited for on destruction, so no work outlives this object
};
