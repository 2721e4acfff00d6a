#pragma once
// The bridge's log categories. Each is quiet below warnings unless QT_LOGGING_RULES turns it on,
// e.g. QT_LOGGING_RULES="vyx.bridge.debug=true;vyx.page.debug=true".
//   vyx.bridge     the slots the page calls and the local services behind them
//   vyx.discovery  the search for servers on the local network
//   vyx.page       what the page's own scripts say (console messages, script errors)
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcBridge)
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)
Q_DECLARE_LOGGING_CATEGORY(lcPage)
