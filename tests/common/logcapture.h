#pragma once
// Collects the messages of the logging categories a test turns on, for as long as it lives.
// Messages may come from any thread; the collected text is one line per message.
#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>

class LogCapture {
public:
    // rules as in QT_LOGGING_RULES, e.g. "vyx.connector.debug=true"
    explicit LogCapture(const QString &rules) {
        {
            std::lock_guard<std::mutex> locker(lock());
            text().clear();
        }
        QLoggingCategory::setFilterRules(rules);
        m_previous = qInstallMessageHandler(&LogCapture::collect);
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string Text() const {
        std::lock_guard<std::mutex> locker(lock());
        return text();
    }

private:
    static void collect(QtMsgType, const QMessageLogContext &, const QString &message) {
        std::lock_guard<std::mutex> locker(lock());
        text() += message.toStdString() + "\n";
    }
    static std::mutex &lock() {
        static std::mutex m;
        return m;
    }
    static std::string &text() {
        static std::string t;
        return t;
    }

    QtMessageHandler m_previous = nullptr;
};
