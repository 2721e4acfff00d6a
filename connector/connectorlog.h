#pragma once
// vyx.connector: what the connector makes of each server event. Warnings and above by default;
// QT_LOGGING_RULES="vyx.connector.debug=true" shows the whole conversation.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConnector)
