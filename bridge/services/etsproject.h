#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <functional>

// Bounds of one project read.
struct EtsReadLimits {
    qint64 maxEntryBytes = 256LL * 1024 * 1024;
    int maxDepth = 64;
    int maxGroupAddresses = 200000;
    int maxGroupRanges = 65536;
    int maxDevices = 65536;
    int maxLinks = 2000000;
};

// Reads an ETS project archive (.knxproj) into one JSON object for the page: the project
// information, the group addresses written in the project's address style, the topology (areas,
// lines, devices) and, for each group address, the device objects linked to it. Protected
// projects are decrypted with the project password. The XML is read piece by piece as it is
// inflated, with bounded sizes and nesting; any failure names the entry and the line.
//
// Result members: "status" ("ok", "error", "needsPassword", "wrongPassword" or "cancelled"),
// "message", and with "ok": "project", "groupRanges", "groupAddresses", "areas", "skipped".
class EtsProjectReader {
public:
    enum class Style { ThreeLevel, TwoLevel, Free };

    using Limits = EtsReadLimits;

    // stage: a short English text; fraction: 0..1 of that stage.
    using Progress = std::function<void(const QString &stage, double fraction)>;

    // The password is used for the protected inner archive only and is not kept anywhere.
    static QJsonObject read(const QString &path, const QString &password,
                            const Progress &progress = Progress(), const std::atomic_bool *cancel = nullptr,
                            const Limits &limits = Limits());

    // The zip password of a protected project: the password itself (UTF-8) below schema 21,
    // from 21 on the Base64 text of PBKDF2-HMAC-SHA256 over the password as UTF-16LE.
    static QByteArray zipPassword(const QString &password, int schemaVersion);
    static QByteArray derivedPassword(const QString &password);

    static QString formatGroupAddress(quint32 raw, Style style);
    static Style styleFromName(const QString &name);
    static QString styleName(Style style);
    // "DPST-9-1" -> "9.001", "DPT-9" -> "9"; of several types the first.
    static QString normaliseDpt(const QString &text);
};
