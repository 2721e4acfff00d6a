#include "bridgelog.h"

Q_LOGGING_CATEGORY(lcBridge, "vyx.bridge", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDiscovery, "vyx.discovery", QtWarningMsg)
Q_LOGGING_CATEGORY(lcPage, "vyx.page", QtWarningMsg)
