#include "ctlfleet.h"

#include "fleet.h"
#include "journalschema.h"
#include "journalwriter.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

const char kFleetUsage[] =
    "usage: vyxctl fleet backup --sites FILE --vault DIR [--parallel N] [--keep N] [--journal FILE] "
    "[--json]\n"
    "       vyxctl fleet status --sites FILE [--vault DIR] [--max-age DAYS] [--json]\n";

struct FleetArgs {
    std::string action;
    std::string sites;
    std::string vault;
    std::string journal;
    int parallel = 4;
    int keep = 0;
    int maxAgeDays = 0;
};

bool number(const std::string &text, int low, int high, int &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    out = int(v);
    return true;
}

bool parseArgs(const std::vector<std::string> &a, FleetArgs &f, std::string &error) {
    if (a.empty() || (a[0] != "backup" && a[0] != "status")) {
        error = "fleet needs backup or status";
        return false;
    }
    f.action = a[0];
    for (size_t i = 1; i < a.size(); ++i) {
        const std::string &k = a[i];
        if (k == "--json")
            continue; // taken by the global options
        if (i + 1 >= a.size()) {
            error = "missing value for " + k;
            return false;
        }
        const std::string &v = a[++i];
        bool ok = true;
        if (k == "--sites")
            f.sites = v;
        else if (k == "--vault")
            f.vault = v;
        else if (k == "--journal")
            f.journal = v;
        else if (k == "--parallel")
            ok = number(v, 1, 64, f.parallel);
        else if (k == "--keep")
            ok = number(v, 1, 100000, f.keep);
        else if (k == "--max-age")
            ok = number(v, 1, 100000, f.maxAgeDays);
        else {
            error = "unknown fleet option: " + k;
            return false;
        }
        if (!ok) {
            error = "invalid value for " + k + ": " + v;
            return false;
        }
    }
    if (f.sites.empty()) {
        error = "fleet " + f.action + " needs --sites FILE";
        return false;
    }
    if (f.action == "backup" && f.vault.empty()) {
        error = "fleet backup needs --vault DIR";
        return false;
    }
    return true;
}

std::string where(const FleetSite &s) {
    return s.host + ":" + std::to_string(s.port);
}

const int kJournalExit = 4;

// Every site's intent is on disk before any site is contacted, all in one transaction: a journal
// that cannot take them all stops the run there, with none of them written, and a site whose
// backup never ends reads back as unknown. False (with the reason in out) when they were not
// written.
bool writeIntents(vyxjournal::Writer &journal, const std::string &path, const std::string &vault,
                  const std::vector<FleetSite> &sites, std::vector<int64_t> &intents, CtlOutput &out) {
    std::vector<vyxjournal::Intent> batch;
    for (const FleetSite &s : sites)
        batch.push_back({{s.name, where(s), s.user},
                         vyxjournal::kKindBackup,
                         vyxjournal::argumentsJson({{"vault", vault}})});
    if (journal.open(path))
        intents = journal.intents(batch);
    if (intents.size() != sites.size()) {
        out.fail(journal.error() + "; nothing was sent");
        return false;
    }
    return true;
}

// One line per site and the summary; returns how many sites failed.
size_t printResults(const std::vector<FleetResult> &results, const Vault &vault, CtlOutput &out) {
    size_t failed = 0;
    std::string failures;
    for (const FleetResult &r : results) {
        CtlRecord rec;
        rec.add("site", r.site.name).add("host", r.site.host).add("port", r.site.port).addBool("ok", r.ok);
        rec.add("seconds", r.seconds);
        if (r.ok) {
            rec.add("file", vault.filePath(r.entry))
                .add("size", double(r.entry.size))
                .add("md5", r.entry.md5);
            rec.add("version", r.entry.version);
            out.print("ok      " + r.site.name + " (" + where(r.site) + "): " + std::to_string(r.entry.size) +
                          " bytes, md5 " + r.entry.md5 + ", " + vault.filePath(r.entry),
                      rec);
        } else {
            ++failed;
            failures += (failures.empty() ? "" : "; ") + r.site.name + " (" + r.reason + ")";
            rec.add("reason", r.reason);
            out.print("FAILED  " + r.site.name + " (" + where(r.site) + "): " + r.reason, rec);
        }
    }
    CtlRecord summary;
    summary.addBool("summary", true)
        .add("sites", double(results.size()))
        .add("ok", double(results.size() - failed));
    summary.add("failed", double(failed));
    out.print("fleet backup: " + std::to_string(results.size() - failed) + " of " +
                  std::to_string(results.size()) + " sites backed up" +
                  (failed ? "; failed: " + failures : std::string()),
              summary);
    return failed;
}

int backup(const FleetArgs &f, const std::vector<FleetSite> &sites, const CtlOptions &options,
           CtlOutput &out) {
    vyxjournal::Writer journal("vyxctl");
    std::vector<int64_t> intents;
    const std::string journalPath = f.journal.empty() ? options.journal : f.journal;
    if (!journalPath.empty() && !writeIntents(journal, journalPath, f.vault, sites, intents, out))
        return kJournalExit;
    std::atomic<bool> journalFailed{false};
    std::mutex journalErrorLock;
    std::string journalError;
    auto record = [&](size_t i, const FleetResult &r) {
        if (journal.result(intents[i], r.ok ? vyxjournal::kOutcomeSucceeded : vyxjournal::kOutcomeFailed,
                           fleetResultText(r)))
            return;
        journalFailed = true;
        std::lock_guard<std::mutex> guard(journalErrorLock);
        journalError = journal.error();
    };
    Vault vault(f.vault);
    FleetOptions fo;
    fo.parallel = f.parallel;
    fo.timeoutSeconds = options.timeoutSeconds;
    fo.keep = f.keep;
    fo.sshConfig = options.sshConfig;
    std::mutex noteLock;
    auto progress = [&](size_t i, const std::string &phase, double) {
        if (phase == "downloading" || phase == "connecting")
            return;
        std::lock_guard<std::mutex> guard(noteLock);
        out.note(sites[i].name + ": " + phase);
    };
    const std::vector<FleetResult> results =
        backupFleet(sites, vault, fo, options.verbose ? progress : FleetProgress(),
                    intents.empty() ? FleetSiteDone() : FleetSiteDone(record));
    const size_t failed = printResults(results, vault, out);
    if (journalFailed) {
        out.fail(journalError);
        return failed ? 1 : kJournalExit;
    }
    return failed ? 1 : 0;
}

// The site's backups on the status line: the newest verified copy and its age, and why the site
// needs a look. True when it does.
bool describeCopies(const std::vector<VaultEntry> &copies, int maxAgeDays, int64_t now, std::string &line,
                    CtlRecord &rec) {
    const auto verified =
        std::find_if(copies.begin(), copies.end(), [](const VaultEntry &e) { return e.verified; });
    bool attention = false;
    if (verified == copies.end()) {
        line += copies.empty() ? ", no backup" : ", no verified backup";
        attention = maxAgeDays > 0;
    } else {
        const VaultEntry &newest = *verified;
        const int64_t age = now - newest.time;
        const bool old = maxAgeDays > 0 && age > int64_t(maxAgeDays) * 86400;
        attention = old;
        line += ", newest backup " + Vault::timeText(newest.time) + " (" + Vault::ageText(age) + " old" +
                (old ? ", OLDER THAN " + std::to_string(maxAgeDays) + " DAYS" : "") + ")";
        if (!newest.version.empty())
            line += ", server " + newest.version;
        rec.add("newest", Vault::timeText(newest.time)).add("ageSeconds", double(age)).addBool("old", old);
        rec.add("version", newest.version);
    }
    rec.add("copies", double(copies.size()));
    const std::string why = Vault::attention(copies);
    if (!why.empty()) {
        line += ", ATTENTION: " + why;
        rec.add("attention", why);
    }
    return attention || !why.empty();
}

int status(const FleetArgs &f, const std::vector<FleetSite> &sites, const CtlOptions &options,
           CtlOutput &out) {
    // Probes run side by side in a bounded pool, as the backup's sites do.
    const std::vector<FleetProbe> probes = probeSites(sites, std::min(options.timeoutSeconds, 5) * 1000);
    const int64_t now = int64_t(std::time(nullptr));
    Vault vault(f.vault);
    bool attention = false;
    for (size_t i = 0; i < sites.size(); ++i) {
        const FleetSite &s = sites[i];
        const FleetProbe &p = probes[i];
        CtlRecord rec;
        rec.add("site", s.name).add("host", s.host).add("port", s.port).addBool("reachable", p.reachable);
        std::string line = s.name + " (" + where(s) + "): " +
                           (p.reachable ? "reachable (" + std::to_string(p.milliseconds) + " ms)"
                                        : "NOT reachable (" + p.reason + ")");
        if (!p.reachable) {
            rec.add("reason", p.reason);
            attention = true;
        }
        if (!f.vault.empty())
            attention = describeCopies(vault.list(s.host, s.port), f.maxAgeDays, now, line, rec) || attention;
        out.print(line, rec);
    }
    return attention ? 1 : 0;
}

} // namespace

int runFleetCommand(const CtlOptions &options, CtlOutput &output) {
    FleetArgs f;
    std::string error;
    // No password or tunnel is shared by the sites: each names its own in the sites file.
    if (options.passwordOption || !options.passwordFile.empty() || !options.passwordCommand.empty() ||
        !options.tunnel.empty())
        error = "fleet takes no password or tunnel option: the sites file names each site's own";
    if (!error.empty() || !parseArgs(options.args, f, error)) {
        output.fail(error);
        std::fputs(kFleetUsage, stderr);
        return 2;
    }
    std::vector<FleetSite> sites;
    if (!readFleetSites(f.sites, sites, error)) {
        output.fail(error);
        return 2;
    }
    if (sites.empty()) {
        output.fail("the sites file lists no site");
        return 2;
    }
    return f.action == "backup" ? backup(f, sites, options, output) : status(f, sites, options, output);
}
