#pragma once
// A fleet of sites: the sites file, where their passwords come from, a reachability probe that
// does not log in, and backing up many sites into a vault a few at a time, each on its own
// connection. Qt-free; used by vyxctl and the workbench.
#include "vault.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct FleetSite {
    std::string name;
    std::string host;
    int port = 18000;
    std::string user = "admin";
    std::string password;
    // Why the site has no password of its own ("no password..."): it is then skipped, never sent
    // another site's password or a default. Empty when it has one.
    std::string passwordMissing;
    std::string tunnel; // ssh://user@host[:port]: the site is reached through SSH
};

// Reads a sites file: {"sites": [...]} or a bare array of {"name", "host", "port", "user",
// "tunnel", and one password source}. A site's password comes only from its own source:
//   "passwordFile": a file inside the sites file's own folder (or below it) or under
//     $CREDENTIALS_DIRECTORY, not a symbolic link; outside the credentials it must belong to the
//     user and be readable by the user alone (chmod 600). A file anywhere else is refused, so a
//     sites file from elsewhere cannot send ~/.ssh/... to a host it names.
//   "credential": the name of a systemd credential ($CREDENTIALS_DIRECTORY/<name>, LoadCredential=).
//     Outside a service (no $CREDENTIALS_DIRECTORY) the site has no password.
//   "passwordEnv": the name of an environment variable, which must be set.
// A site that names none has no password and is skipped by a backup; $VYX_PASSWORD and the
// server's default are never used for a site. A "password" member is refused: the sites file is
// not a secret store.
bool readFleetSites(const std::string &path, std::vector<FleetSite> &sites, std::string &error);
// The same from a JSON text; sitesFileDir is the sites file's folder.
bool parseFleetSites(const std::string &text, const std::string &sitesFileDir, std::vector<FleetSite> &sites,
                     std::string &error);

struct FleetProbe {
    bool reachable = false;
    int milliseconds = 0;
    std::string reason; // why not, when not
};

// A TCP connect to the site's port, closed at once: no login. It goes where the protocol client
// would connect: the host's first IPv4 address (the client speaks IPv4 only), so a name whose first
// answer is an IPv6 address is probed as the client reaches it. Ends early, unreachable with the
// reason "cancelled", once *cancel holds.
FleetProbe probeSite(const std::string &host, int port, int timeoutMs,
                     const std::atomic<bool> *cancel = nullptr);

// Probes side by side: a site that does not answer costs its time-out once, not once per site.
const int kFleetProbeParallel = 32;

// Runs job(0) .. job(count - 1), at most `parallel` at a time, on threads of its own and this one;
// returns when every job has ended. The bounded pool of a fleet backup and of its probes.
void runBounded(size_t count, int parallel, const std::function<void(size_t index)> &job);

// Probes every site at most kFleetProbeParallel at a time; each result goes to `each` (on a
// worker thread; it must be thread-safe) as soon as it is known. Results in the order of sites.
std::vector<FleetProbe> probeSites(const std::vector<FleetSite> &sites, int timeoutMs,
                                   const std::atomic<bool> *cancel = nullptr,
                                   const std::function<void(size_t, const FleetProbe &)> &each = {});

struct FleetResult {
    FleetSite site;
    bool ok = false;
    std::string reason; // why it failed
    VaultEntry entry;   // the copy, when ok; also a suspect copy that was kept (then not ok)
    double seconds = 0;
};

// What the journal keeps of a site's backup: the copy's MD5 and size, or why it failed.
std::string fleetResultText(const FleetResult &result);

struct FleetOptions {
    int parallel = 4;
    int timeoutSeconds = 15; // for the connection and for each silence during the transfer
    int keep = 0;            // retention per site, 0 = keep all
    std::string sshConfig;   // the ssh_config for sites reached through a tunnel; empty: the user's
    // Once it holds, the sites that run end at their next look (within a tenth of a second while
    // they wait for the server) and the sites not begun fail at once, with the reason "cancelled".
    const std::atomic<bool> *cancel = nullptr;
};

// Progress of one site: phase is "connecting", "downloading", "done" or "failed"; fraction 0..1.
// Called on worker threads; the callee must be thread-safe and quick.
using FleetProgress = std::function<void(size_t index, const std::string &phase, double fraction)>;

// One site: open its tunnel if it has one, log in, ask its version, download its database into
// the vault. A site without a password fails at once with passwordMissing. Never throws.
FleetResult backupSite(const FleetSite &site, const Vault &vault, const FleetOptions &options,
                       const std::function<void(const std::string &, double)> &progress = {});

// The result of one site as soon as it is known, before the other sites end (a journal records it
// then, so a run that is killed keeps what it finished). Called on worker threads.
using FleetSiteDone = std::function<void(size_t index, const FleetResult &result)>;

// Every site, at most options.parallel at a time. Results in the order of sites.
std::vector<FleetResult> backupFleet(const std::vector<FleetSite> &sites, const Vault &vault,
                                     const FleetOptions &options, const FleetProgress &progress = {},
                                     const FleetSiteDone &siteDone = {});
