#pragma once
// A fleet of sites: the sites file, where their passwords come from, a reachability probe that
// does not log in, and backing up many sites into a vault a few at a time, each on its own
// connection. Qt-free; used by vyxctl and the workbench.
#include "vault.h"

#include <functional>
#include <string>
#include <vector>

struct FleetSite {
    std::string name;
    std::string host;
    int port = 18000;
    std::string user = "admin";
    std::string password;
};

// Reads a sites file: {"sites": [...]} or a bare array of {"name", "host", "port", "user",
// "passwordEnv", "passwordFile"}. A password comes from the variable passwordEnv names, from
// passwordFile (which must be a regular file that only its owner can read), or else from
// $VYX_PASSWORD. A "password" member is refused: the sites file is not a secret store.
bool readFleetSites(const std::string &path, std::vector<FleetSite> &sites, std::string &error);
// The same from a JSON text; sitesFileDir resolves relative password files.
bool parseFleetSites(const std::string &text, const std::string &sitesFileDir, std::vector<FleetSite> &sites,
                     std::string &error);
// The first line of a password file, after checking that only its owner can read it.
bool readSecretFile(const std::string &path, std::string &secret, std::string &error);

struct FleetProbe {
    bool reachable = false;
    int milliseconds = 0;
    std::string reason; // why not, when not
};

// A TCP connect to the site's port, closed at once: no login.
FleetProbe probeSite(const std::string &host, int port, int timeoutMs);

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
};

// Progress of one site: phase is "connecting", "downloading", "done" or "failed"; fraction 0..1.
// Called on worker threads; the callee must be thread-safe and quick.
using FleetProgress = std::function<void(size_t index, const std::string &phase, double fraction)>;

// One site: log in, ask its version, download its database into the vault. Never throws.
FleetResult backupSite(const FleetSite &site, const Vault &vault, const FleetOptions &options,
                       const std::function<void(const std::string &, double)> &progress = {});

// The result of one site as soon as it is known, before the other sites end (a journal records it
// then, so a run that is killed keeps what it finished). Called on worker threads.
using FleetSiteDone = std::function<void(size_t index, const FleetResult &result)>;

// Every site, at most options.parallel at a time. Results in the order of sites.
std::vector<FleetResult> backupFleet(const std::vector<FleetSite> &sites, const Vault &vault,
                                     const FleetOptions &options, const FleetProgress &progress = {},
                                     const FleetSiteDone &siteDone = {});
