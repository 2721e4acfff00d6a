#pragma once

#include <QString>

// Where the page's web storage (its local storage: the saved sites, the console's history) lives
// on QtWebKit: in the program's own folder under the user's data folder, not at the root of it
// where every QtWebKit program keeps its own. The folders are the user's alone (0700), and so is
// the local storage of the manager's pages (0600).
namespace WebStorage {

// The folder for QWebSettings::enablePersistentStorage, made ready: created private, and the
// manager's local storage moved there from where earlier versions kept it, once.
QString prepare();

// The same for the data folder `dataHome` (the user's XDG data folder); for tests.
QString prepareIn(const QString &dataHome);

// The local storage file of pages loaded from local files, as QtWebKit names it.
extern const char kFileOriginStorage[];

} // namespace WebStorage
