#pragma once
// What the command line asked of the manager before the window opens: which page to show and
// which server to log in to at once. Set by the process entry before the bridge is built.
#include <QString>

struct StartupConnection {
    QString host;
    quint16 port = 18000;
    QString user = QStringLiteral("admin");
    QString password;
    bool hasPassword = false;
    QString siteName; // the name under which the page saves the site
    QString tunnel;   // ssh://user@host[:port] when the server is reached through SSH
    bool isSet() const { return !host.isEmpty(); }
};

namespace Startup {

// Reads "[USER@]HOST[:PORT]" (an IPv6 host in brackets: "[::1]:18000"). False, with a sentence in
// error, when the text is not of that form.
bool parseConnection(const QString &text, StartupConnection &out, QString &error);

void setConnection(const StartupConnection &connection);
const StartupConnection &connection();
// Hands the start-up password out once: later callers get an empty text.
QString takePassword();

// The page shown at start. An explicit file wins; otherwise the page beside the program
// (data/html/ under the program's folder, as in the build tree), or the installed one
// (share/vyxdesk/html/ beside the program's bin folder). name is a file name inside that folder.
void setPageFile(const QString &absolutePath);
QString pageFile(const QString &name);
QString pageFolder();

// The folder whose data/ holds what the page writes (the working project, downloads): the
// program's folder when the page lies beside it, else the user's data folder
// (~/.local/share/vyxdesk), since an installed program's folder is not the user's to write in.
QString dataRoot();

} // namespace Startup
