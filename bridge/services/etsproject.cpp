#include "etsproject.h"

#include "etsarchive.h"
#include "etsdptrule.h"

#include <QHash>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSet>
#include <QVector>
#include <QXmlStreamReader>

#include <openssl/evp.h>

#include <algorithm>

Q_LOGGING_CATEGORY(lcEtsProject, "vyx.ets.project", QtWarningMsg)

namespace {

using Status = ZipArchive::Status;
using Limits = EtsProjectReader::Limits;

// Texts kept from the project are cut here: names and descriptions are short, a comment in rich
// text can be long but the page shows only its beginning.
constexpr int kMaxText = 4096;

QString cut(QStringRef text) {
    return text.left(kMaxText).toString();
}

struct Failure {
    QString status; // "error", "needsPassword", "wrongPassword", "cancelled"
    QString message;
};

enum class Step { Continue, Stop, Fail };

using TokenHandler = std::function<Step(QXmlStreamReader &, QString &)>;

struct Device {
    QString address;
    QString name;
    QString description;
    QString productRef;
    QString product;
    QString programRef;  // Hardware2ProgramRefId
    QString application; // the application program's id, from the hardware data
};

struct Line {
    QString address;
    QString name;
    QString description;
    QVector<int> devices;
};

struct Area {
    QString address;
    QString name;
    QString description;
    QVector<Line> lines;
};

// Where a linked object's data point type is written: the project's instance of the object, the
// program's reference to the object, or the program's object itself.
enum class TypeFrom { None, InstanceRef, ObjectRef, Object };

struct Link {
    int device;
    int number;
    QString name;
    QString function;
    bool send;
    QString ref; // the object reference inside the device's application program
    QString dpt; // the object's data point type, the first of several
    TypeFrom dptFrom;
    QString size; // ObjectSize, from the application program
};

// A communication object as the manufacturer's application program describes it.
struct ObjectText {
    QString reference; // ComObjectRef: the ComObject it refines
    int number;
    QString text;
    QString function;
    QString dpt;
    QString size;
};

// The data point type of a group address, and the object it came from when it is not its own.
struct GroupType {
    QString raw;
    QJsonValue from; // null: the group address's own type, or none
};

struct GroupAddress {
    quint32 raw;
    QString id;
    QString name;
    QString description;
    QString comment;
    QString range;
    QString dptRaw;
    bool secure;
    int rangeIndex; // into the ranges, -1 outside any
};

struct GroupRange {
    QString name;
    QString path;
    int depth;
    quint32 start;
    quint32 end;
};

// "P-0001-0_GA-12" and "GA-12" name the same group address.
QString groupAddressKey(QStringRef id) {
    const int at = id.lastIndexOf(QLatin1String("_GA-"));
    return (at >= 0 ? id.mid(at + 1) : id).toString();
}

// The object number from a reference such as "O-12_R-34" (or "M-0083_A-..._O-12_R-34").
int objectNumber(QStringRef ref) {
    int at = ref.startsWith(QLatin1String("O-")) ? 0 : ref.indexOf(QLatin1String("_O-"));
    if (at < 0)
        return -1;
    at += ref.at(at) == QLatin1Char('_') ? 3 : 2;
    int number = 0;
    int digits = 0;
    while (at < ref.size() && ref.at(at).isDigit() && digits < 6) {
        number = number * 10 + ref.at(at).digitValue();
        ++at;
        ++digits;
    }
    return digits ? number : -1;
}

bool parseNumber(QStringRef text, quint32 max, quint32 *out) {
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok);
    if (!ok || value > max)
        return false;
    *out = value;
    return true;
}

bool isDptSeparator(QChar c) {
    return c.isSpace() || c == QLatin1Char(',');
}

// Of several data point types (separated by blanks or commas) the first one.
QString firstDpt(QStringRef text) {
    int start = 0;
    while (start < text.size() && isDptSeparator(text.at(start)))
        ++start;
    int end = start;
    while (end < text.size() && !isDptSeparator(text.at(end)))
        ++end;
    return cut(text.mid(start, end - start));
}

int schemaFromNamespace(QStringRef uri) {
    static const QRegularExpression tail(QStringLiteral("/project/(\\d{1,4})/?$"));
    const auto m = tail.match(uri.toString());
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QString etsNameForSchema(int schema) {
    if (schema >= 21)
        return QStringLiteral("ETS6");
    if (schema >= 12)
        return QStringLiteral("ETS5");
    if (schema >= 10)
        return QStringLiteral("ETS4");
    return QString();
}

// A plain project keeps its data in P-xxxx/0.xml; a protected one in the archive P-xxxx.zip.
struct ProjectEntries {
    QString plain;  // the first P-xxxx/0.xml by name
    QString id;     // its P-xxxx
    QString locked; // the first P-xxxx.zip in the directory
};

ProjectEntries findProject(const ZipArchive &outer) {
    static const QRegularExpression plain(QStringLiteral("^(P-[0-9A-Za-z]+)/0\\.xml$"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression locked(QStringLiteral("^(P-[0-9A-Za-z]+)\\.zip$"),
                                           QRegularExpression::CaseInsensitiveOption);
    ProjectEntries found;
    const qint64 n = outer.count();
    for (qint64 i = 0; i < n; ++i) {
        const QString name = outer.name(i);
        QRegularExpressionMatch m = plain.match(name);
        if (m.hasMatch() && (found.plain.isEmpty() || name < found.plain)) {
            found.plain = name;
            found.id = m.captured(1);
        }
        m = locked.match(name);
        if (m.hasMatch() && found.locked.isEmpty())
            found.locked = name;
    }
    return found;
}

// The names wanted from the manufacturer's hardware data, filled in as it is read.
struct HardwareNames {
    QHash<QString, QString> products; // product id -> its name
    QHash<QString, QString> programs; // Hardware2Program id -> application program id
};

// program: the Hardware2Program being read.
Step hardwareToken(const QXmlStreamReader &xml, HardwareNames &names, QString &program) {
    if (xml.tokenType() == QXmlStreamReader::EndElement && xml.name() == QLatin1String("Hardware2Program"))
        program.clear();
    if (xml.tokenType() != QXmlStreamReader::StartElement)
        return Step::Continue;
    const QXmlStreamAttributes a = xml.attributes();
    if (xml.name() == QLatin1String("Product")) {
        const auto it = names.products.find(a.value(QLatin1String("Id")).toString());
        if (it != names.products.end() && it->isEmpty())
            *it = cut(a.value(QLatin1String("Text")));
    } else if (xml.name() == QLatin1String("Hardware2Program")) {
        const QString id = a.value(QLatin1String("Id")).toString();
        program = names.programs.contains(id) ? id : QString();
    } else if (xml.name() == QLatin1String("ApplicationProgramRef") && !program.isEmpty()) {
        names.programs[program] = cut(a.value(QLatin1String("RefId")));
    }
    return Step::Continue;
}

using WantedRefs = QHash<QString, QSet<QString>>; // application program -> ComObjectRef ids

// What the application programs say of the objects the project links.
struct ObjectTexts {
    QHash<QString, ObjectText> refs;    // ComObjectRef id -> what it says
    QHash<QString, ObjectText> objects; // ComObject id -> what it says
};

// What a ComObject and a ComObjectRef both may say.
ObjectText objectText(const QXmlStreamAttributes &a) {
    return {QString(),
            -1,
            cut(a.value(QLatin1String("Text"))),
            cut(a.value(QLatin1String("FunctionText"))),
            firstDpt(a.value(QLatin1String("DatapointType"))),
            cut(a.value(QLatin1String("ObjectSize")))};
}

// refs: the ComObjectRef ids wanted from this program; objects: the ComObjects they refine.
Step applicationToken(const QXmlStreamReader &xml, const QSet<QString> &refs, const QSet<QString> &objects,
                      ObjectTexts &texts) {
    if (xml.tokenType() != QXmlStreamReader::StartElement)
        return Step::Continue;
    const QXmlStreamAttributes a = xml.attributes();
    if (xml.name() == QLatin1String("ComObject")) {
        const QString id = a.value(QLatin1String("Id")).toString();
        if (objects.contains(id)) {
            quint32 number = 0;
            ObjectText object = objectText(a);
            object.number = parseNumber(a.value(QLatin1String("Number")), 65535, &number) ? int(number) : -1;
            texts.objects.insert(id, object);
        }
    } else if (xml.name() == QLatin1String("ComObjectRef")) {
        const QString id = a.value(QLatin1String("Id")).toString();
        if (refs.contains(id)) {
            ObjectText ref = objectText(a);
            ref.reference = cut(a.value(QLatin1String("RefId")));
            texts.refs.insert(id, ref);
        }
    }
    return Step::Continue;
}

// An object reference as the manufacturer data names it: with the application program in front.
QString fullObjectRef(const QString &application, const QString &ref) {
    return ref.startsWith(QLatin1String("M-")) ? ref : application + QLatin1Char('_') + ref;
}

class ProjectRead {
public:
    ProjectRead(const EtsProjectReader::Progress &progress, const std::atomic_bool *cancel,
                const Limits &limits)
        : m_progress(progress), m_cancel(cancel), m_limits(limits) {}

    QJsonObject run(const QString &path, const QString &password);

private:
    class EntryStream;

    // Where the project reader stands in the document.
    enum class Kind { Other, Topology, Area, Line, Device, ComObject, GroupRange, GroupAddress };
    // Where an element of the project data counts.
    enum class Where { Anywhere, InTopology, InArea, InDevice, InComObject, OutsideTopology };
    // Takes in one element; false when that breaks a bound, `error` then says which.
    using Enter = bool (ProjectRead::*)(const QXmlStreamReader &xml, QString &error);
    struct ElementRule {
        QLatin1String name;
        Where where;
        Kind kind;
        Enter enter;
    };

    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }
    void report(const QString &stage, double fraction) {
        if (m_progress)
            m_progress(stage, fraction);
    }
    bool fail(const QString &status, const QString &message) {
        m_failure = {status, message};
        return false;
    }
    bool failCancelled() {
        return fail(QStringLiteral("cancelled"), QStringLiteral("The import was cancelled."));
    }
    bool readFailure(Status status, const QString &entry, const QString &detail);
    bool stream(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password,
                const QString &stage, const TokenHandler &handler);
    bool readToChecksum(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password);

    bool readArchive(const QString &path, const QString &password);
    bool readMaster(ZipArchive &outer);
    bool readPlainProject(ZipArchive &outer, const QString &entry);
    bool readProtectedProject(ZipArchive &outer, const QString &entry, const QString &password);
    std::unique_ptr<ZipArchive> openProtected(ZipArchive &outer, const QString &entry);
    qint64 locateInner(const ZipArchive &inner, const QString &name) const;
    bool readInfo(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password);
    bool readProject(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password);

    Step projectToken(QXmlStreamReader &xml, QString &error);
    static const ElementRule *elementRule(QStringRef name);
    bool applies(Where where) const;
    Step leaveElement();
    void readRoot(const QXmlStreamReader &xml);
    bool enterTopology(const QXmlStreamReader &xml, QString &error);
    bool addArea(const QXmlStreamReader &xml, QString &error);
    bool addLine(const QXmlStreamReader &xml, QString &error);
    bool addDevice(const QXmlStreamReader &xml, QString &error);
    Line *deviceLine();
    bool addComObject(const QXmlStreamReader &xml, QString &error);
    bool addConnector(const QXmlStreamReader &xml, QString &error);
    bool addLink(QStringRef groupAddress, bool send, QString &error);
    bool addGroupRange(const QXmlStreamReader &xml, QString &error);
    QString rangePath() const;
    bool addGroupAddress(const QXmlStreamReader &xml, QString &error);
    void skipGroupAddress(const GroupAddress &ga, QStringRef address);

    void readManufacturerData(ZipArchive &outer);
    bool tolerate(bool ok);
    HardwareNames wantedHardware() const;
    bool readHardware(ZipArchive &outer, HardwareNames &names);
    void nameDevices(const HardwareNames &names);
    WantedRefs wantedObjectRefs() const;
    bool readApplications(ZipArchive &outer, const WantedRefs &wanted, ObjectTexts &texts);
    bool readApplication(ZipArchive &outer, const QString &application, const QSet<QString> &refs,
                         ObjectTexts &texts);
    void nameLinks(const ObjectTexts &texts);

    QJsonObject result() const;
    QJsonObject projectJson() const;
    QJsonArray rangesJson() const;
    QJsonArray groupAddressesJson() const;
    QJsonObject groupAddressJson(const GroupAddress &ga) const;
    const QVector<Link> &linksOf(const GroupAddress &ga) const;
    GroupType groupType(const GroupAddress &ga, const QVector<Link> &links) const;
    QString normalisedDpt(const QString &raw) const;
    QJsonArray linksJson(const QVector<Link> &links) const;
    QJsonArray areasJson() const;
    QJsonArray devicesJson(const QVector<int> &devices) const;

    EtsProjectReader::Progress m_progress;
    const std::atomic_bool *m_cancel;
    Limits m_limits;
    Failure m_failure;

    QString m_projectId;
    QString m_projectName;
    QString m_createdBy;
    QString m_toolVersion;
    int m_schema = 0;
    bool m_protected = false;
    EtsProjectReader::Style m_style = EtsProjectReader::Style::ThreeLevel;
    QString m_styleText = QStringLiteral("ThreeLevel");

    QVector<Kind> m_stack;
    int m_topologyDepth = 0;
    QVector<int> m_rangeIndices; // the ranges the reader stands in, innermost last
    int m_comObjectDevice = -1;
    int m_comObjectNumber = -1;
    QString m_comObjectName;
    QString m_comObjectFunction;
    QString m_comObjectRef;
    QString m_comObjectDpt;

    QVector<Area> m_areas;
    QVector<Device> m_devices;
    QVector<int> m_unassigned;
    QVector<GroupRange> m_ranges;
    QVector<GroupAddress> m_groupAddresses;
    QJsonArray m_skipped;
    QHash<QString, QVector<Link>> m_links; // by group address key
    int m_linkCount = 0;
    // A project uses a few dozen types over thousands of addresses and objects.
    mutable QHash<QString, QString> m_normalisedDpts;
};

// One entry fed to the XML reader piece by piece as it is inflated. Refuses what no project file
// has (a document type, nesting deeper than the bound) and reports the progress in whole percents.
class ProjectRead::EntryStream {
public:
    EntryStream(ProjectRead &read, const QString &stage, qint64 size, const TokenHandler &handler)
        : m_read(read), m_stage(stage), m_total(double(qMax<qint64>(1, size))), m_handler(handler) {}

    // The sink of the entry's read: false stops it.
    bool piece(const char *data, qint64 n);

    QXmlStreamReader xml;
    bool ended = false;   // the document is complete
    bool stopped = false; // the handler has all it wants
    bool cancelled = false;
    QString error; // why the XML was refused, at `line`
    qint64 line = 0;

private:
    void advance(qint64 n);
    bool pump();
    QString refusal(QXmlStreamReader::TokenType token);
    bool handle();
    bool refuse(const QString &why);

    ProjectRead &m_read;
    const QString m_stage;
    const double m_total;
    const TokenHandler &m_handler;
    int m_depth = 0;
    qint64 m_done = 0;
    int m_lastPercent = -1;
};

bool ProjectRead::EntryStream::piece(const char *data, qint64 n) {
    if (m_read.cancelled()) {
        cancelled = true;
        return false;
    }
    advance(n);
    if (ended)
        return true; // the rest is read only for its checksum
    xml.addData(QByteArray(data, int(n)));
    return pump();
}

void ProjectRead::EntryStream::advance(qint64 n) {
    m_done += n;
    const int percent = int(100.0 * double(m_done) / m_total);
    if (percent != m_lastPercent) {
        m_lastPercent = percent;
        m_read.report(m_stage, qMin(1.0, double(m_done) / m_total));
    }
}

// Reads the tokens the pieces so far hold; false stops the read.
bool ProjectRead::EntryStream::pump() {
    for (;;) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::Invalid) {
            if (xml.error() == QXmlStreamReader::PrematureEndOfDocumentError)
                return true; // wait for the next piece
            return refuse(xml.errorString());
        }
        if (token == QXmlStreamReader::EndDocument) {
            ended = true;
            return true;
        }
        const QString refused = refusal(token);
        if (!refused.isEmpty())
            return refuse(refused);
        if (!handle())
            return false;
    }
}

QString ProjectRead::EntryStream::refusal(QXmlStreamReader::TokenType token) {
    if (token == QXmlStreamReader::DTD)
        return QStringLiteral("a document type declaration, which project files never have");
    if (token == QXmlStreamReader::StartElement && ++m_depth > m_read.m_limits.maxDepth)
        return QStringLiteral("the elements are nested deeper than %1 levels").arg(m_read.m_limits.maxDepth);
    if (token == QXmlStreamReader::EndElement)
        --m_depth;
    return QString();
}

bool ProjectRead::EntryStream::handle() {
    QString why;
    const Step step = m_handler(xml, why);
    if (step == Step::Fail)
        return refuse(why);
    if (step == Step::Stop) {
        stopped = true;
        return false;
    }
    return true;
}

bool ProjectRead::EntryStream::refuse(const QString &why) {
    error = why;
    line = xml.lineNumber();
    return false;
}

bool ProjectRead::readFailure(Status status, const QString &entry, const QString &detail) {
    switch (status) {
    case Status::Ok:
        return true;
    case Status::NeedsPassword:
        return fail(QStringLiteral("needsPassword"),
                    QStringLiteral("This project is password-protected; enter its password to open it."));
    case Status::WrongPassword:
        return fail(QStringLiteral("wrongPassword"),
                    QStringLiteral("Wrong password: %1 could not be decrypted with it.").arg(entry));
    case Status::TooLarge:
        return fail(QStringLiteral("error"), QStringLiteral("%1: %2.").arg(entry, detail));
    case Status::NotFound:
    case Status::Damaged:
        break;
    }
    return fail(QStringLiteral("error"), QStringLiteral("%1 is damaged: %2.").arg(entry, detail));
}

// Feeds the entry to the XML reader piece by piece as it is inflated.
bool ProjectRead::stream(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password,
                         const QString &stage, const TokenHandler &handler) {
    EntryStream s(*this, stage, zip.size(index), handler);
    QString detail;
    const Status status = zip.read(
        index, password, m_limits.maxEntryBytes,
        [&s](const char *data, qint64 n) { return s.piece(data, n); }, &detail);
    if (s.cancelled)
        return failCancelled();
    if (status != Status::Ok)
        return readFailure(status, entry, detail);
    if (s.stopped)
        return true;
    // Data decrypted with a wrong password is garbage to the XML reader before its checksum is
    // reached: read the rest, and let the checksum decide.
    if (!s.error.isEmpty() && zip.encrypted(index) && !readToChecksum(zip, index, entry, password))
        return false;
    if (!s.error.isEmpty())
        return fail(QStringLiteral("error"),
                    QStringLiteral("%1, line %2: %3.").arg(entry).arg(s.line).arg(s.error));
    if (!s.ended)
        return fail(
            QStringLiteral("error"),
            QStringLiteral("%1, line %2: the XML ends before the document does (the entry is cut short).")
                .arg(entry)
                .arg(s.xml.lineNumber()));
    return true;
}

bool ProjectRead::readToChecksum(ZipArchive &zip, qint64 index, const QString &entry,
                                 const QByteArray &password) {
    QString detail;
    const Status check = zip.read(
        index, password, m_limits.maxEntryBytes, [this](const char *, qint64) { return !cancelled(); },
        &detail);
    if (cancelled())
        return failCancelled();
    return check == Status::Ok || readFailure(check, entry, detail);
}

QJsonObject ProjectRead::run(const QString &path, const QString &password) {
    if (!readArchive(path, password))
        return QJsonObject{{QStringLiteral("status"), m_failure.status},
                           {QStringLiteral("message"), m_failure.message}};
    report(QStringLiteral("Done"), 1);
    return result();
}

bool ProjectRead::readArchive(const QString &path, const QString &password) {
    report(QStringLiteral("Opening the archive"), 0);
    QString why;
    const auto outer = ZipArchive::openFile(path, &why);
    if (!outer)
        return fail(QStringLiteral("error"),
                    QStringLiteral("The file could not be opened as an ETS project archive (%1).").arg(why));
    const ProjectEntries project = findProject(*outer);
    if (project.plain.isEmpty() && project.locked.isEmpty())
        return fail(QStringLiteral("error"),
                    QStringLiteral(
                        "No project was found in this archive (no P-xxxx/0.xml and no protected P-xxxx.zip). "
                        "Is it an ETS project export (.knxproj)?"));
    m_projectId = project.id;
    if (!readMaster(*outer))
        return false;
    const bool read = project.plain.isEmpty() ? readProtectedProject(*outer, project.locked, password)
                                              : readPlainProject(*outer, project.plain);
    if (!read)
        return false;
    readManufacturerData(*outer);
    if (cancelled())
        return failCancelled();
    return true;
}

bool ProjectRead::readMaster(ZipArchive &outer) {
    const qint64 index = outer.locate(QStringLiteral("knx_master.xml"));
    if (index < 0)
        return true;
    return stream(outer, index, QStringLiteral("knx_master.xml"), QByteArray(),
                  QStringLiteral("Reading the archive"), [this](QXmlStreamReader &xml, QString &) {
                      if (xml.tokenType() != QXmlStreamReader::StartElement)
                          return Step::Continue;
                      m_schema = schemaFromNamespace(xml.namespaceUri());
                      if (m_createdBy.isEmpty()) {
                          m_createdBy = cut(xml.attributes().value(QLatin1String("CreatedBy")));
                          m_toolVersion = cut(xml.attributes().value(QLatin1String("ToolVersion")));
                      }
                      return Step::Stop;
                  });
}

bool ProjectRead::readPlainProject(ZipArchive &outer, const QString &entry) {
    const qint64 info = outer.locate(m_projectId + QStringLiteral("/project.xml"));
    if (info >= 0 && !readInfo(outer, info, outer.name(info), QByteArray()))
        return false;
    return readProject(outer, outer.locate(entry), entry, QByteArray());
}

bool ProjectRead::readProtectedProject(ZipArchive &outer, const QString &entry, const QString &password) {
    m_protected = true;
    m_projectId = entry.left(entry.size() - 4);
    report(QStringLiteral("Decrypting the project"), 0);
    const auto inner = openProtected(outer, entry);
    if (!inner)
        return false;
    const qint64 data = locateInner(*inner, QStringLiteral("0.xml"));
    const qint64 info = locateInner(*inner, QStringLiteral("project.xml"));
    if (data < 0)
        return fail(
            QStringLiteral("error"),
            QStringLiteral("The protected project %1 holds no 0.xml with the project data.").arg(entry));
    if (inner->encrypted(data) && password.isEmpty())
        return readFailure(Status::NeedsPassword, entry, QString());
    // Projects of schema 21 and later use AES with a derived password; when the schema is
    // unknown the entry's own method decides.
    const int schema = m_schema > 0 ? m_schema : (inner->aesEncrypted(data) ? 21 : 20);
    QByteArray zipPassword = EtsProjectReader::zipPassword(password, schema);
    const QString prefix = entry + QLatin1Char('/');
    const bool ok = (info < 0 || readInfo(*inner, info, prefix + inner->name(info), zipPassword)) &&
                    readProject(*inner, data, prefix + inner->name(data), zipPassword);
    zipPassword.fill('\0');
    return ok;
}

// The archive inside the protected project's entry, read whole within the entry bound.
std::unique_ptr<ZipArchive> ProjectRead::openProtected(ZipArchive &outer, const QString &entry) {
    QByteArray bytes;
    QString why;
    // Up to the entry bound inflated here: the cancel is looked at between pieces.
    const Status s = outer.readAll(outer.locate(entry), QByteArray(),
                                   qMin<qint64>(m_limits.maxEntryBytes, INT_MAX - 1), &bytes, &why, m_cancel);
    if (cancelled()) {
        failCancelled();
        return nullptr;
    }
    if (s != Status::Ok) {
        readFailure(s, entry, why);
        return nullptr;
    }
    auto inner = ZipArchive::openBytes(bytes, &why);
    if (!inner)
        fail(QStringLiteral("error"),
             QStringLiteral("The protected project %1 is damaged or cut short: %2.").arg(entry, why));
    return inner;
}

// An entry of the inner archive, at its top or in the project's folder.
qint64 ProjectRead::locateInner(const ZipArchive &inner, const QString &name) const {
    const qint64 index = inner.locate(name);
    return index >= 0 ? index : inner.locate(m_projectId + QLatin1Char('/') + name);
}

bool ProjectRead::readInfo(ZipArchive &zip, qint64 index, const QString &entry, const QByteArray &password) {
    bool root = true;
    return stream(zip, index, entry, password, QStringLiteral("Reading the project information"),
                  [&](QXmlStreamReader &xml, QString &) {
                      if (xml.tokenType() != QXmlStreamReader::StartElement)
                          return Step::Continue;
                      const QXmlStreamAttributes a = xml.attributes();
                      if (root) {
                          root = false;
                          if (m_schema == 0)
                              m_schema = schemaFromNamespace(xml.namespaceUri());
                          if (a.hasAttribute(QLatin1String("CreatedBy"))) {
                              m_createdBy = cut(a.value(QLatin1String("CreatedBy")));
                              m_toolVersion = cut(a.value(QLatin1String("ToolVersion")));
                          }
                      } else if (xml.name() == QLatin1String("ProjectInformation")) {
                          m_projectName = cut(a.value(QLatin1String("Name")));
                          const QStringRef style = a.value(QLatin1String("GroupAddressStyle"));
                          if (!style.isEmpty()) {
                              m_styleText = cut(style);
                              m_style = EtsProjectReader::styleFromName(m_styleText);
                          }
                          return Step::Stop;
                      }
                      return Step::Continue;
                  });
}

Step ProjectRead::projectToken(QXmlStreamReader &xml, QString &error) {
    if (xml.tokenType() == QXmlStreamReader::EndElement)
        return leaveElement();
    if (xml.tokenType() != QXmlStreamReader::StartElement)
        return Step::Continue;
    Kind kind = Kind::Other;
    if (m_stack.isEmpty()) {
        readRoot(xml);
    } else if (const ElementRule *rule = elementRule(xml.name())) {
        if (applies(rule->where)) {
            kind = rule->kind;
            if (!(this->*rule->enter)(xml, error))
                return Step::Fail;
        }
    }
    m_stack.append(kind);
    return Step::Continue;
}

// The elements of the project data that are read; all others are passed over.
const ProjectRead::ElementRule *ProjectRead::elementRule(QStringRef name) {
    static const ElementRule rules[] = {
        {QLatin1String("Topology"), Where::Anywhere, Kind::Topology, &ProjectRead::enterTopology},
        {QLatin1String("Area"), Where::InTopology, Kind::Area, &ProjectRead::addArea},
        {QLatin1String("Line"), Where::InArea, Kind::Line, &ProjectRead::addLine},
        {QLatin1String("DeviceInstance"), Where::InTopology, Kind::Device, &ProjectRead::addDevice},
        {QLatin1String("ComObjectInstanceRef"), Where::InDevice, Kind::ComObject, &ProjectRead::addComObject},
        {QLatin1String("Send"), Where::InComObject, Kind::Other, &ProjectRead::addConnector},
        {QLatin1String("Receive"), Where::InComObject, Kind::Other, &ProjectRead::addConnector},
        {QLatin1String("GroupRange"), Where::OutsideTopology, Kind::GroupRange, &ProjectRead::addGroupRange},
        {QLatin1String("GroupAddress"), Where::OutsideTopology, Kind::GroupAddress,
         &ProjectRead::addGroupAddress},
    };
    for (const ElementRule &rule : rules)
        if (name == rule.name)
            return &rule;
    return nullptr;
}

bool ProjectRead::applies(Where where) const {
    switch (where) {
    case Where::Anywhere:
        return true;
    case Where::InTopology:
        return m_topologyDepth > 0;
    case Where::InArea:
        return m_topologyDepth > 0 && m_stack.last() == Kind::Area;
    case Where::InDevice:
        return !m_devices.isEmpty() && m_stack.contains(Kind::Device);
    case Where::InComObject:
        return m_comObjectDevice >= 0;
    case Where::OutsideTopology:
        return m_topologyDepth == 0;
    }
    return false;
}

Step ProjectRead::leaveElement() {
    if (m_stack.isEmpty())
        return Step::Continue;
    const Kind kind = m_stack.takeLast();
    if (kind == Kind::Topology)
        --m_topologyDepth;
    else if (kind == Kind::GroupRange && !m_rangeIndices.isEmpty())
        m_rangeIndices.removeLast();
    else if (kind == Kind::ComObject)
        m_comObjectDevice = -1;
    return Step::Continue;
}

// The schema and the tool that wrote the project, unless the archive has told them already.
void ProjectRead::readRoot(const QXmlStreamReader &xml) {
    if (m_schema == 0)
        m_schema = schemaFromNamespace(xml.namespaceUri());
    if (m_createdBy.isEmpty()) {
        const QXmlStreamAttributes a = xml.attributes();
        m_createdBy = cut(a.value(QLatin1String("CreatedBy")));
        m_toolVersion = cut(a.value(QLatin1String("ToolVersion")));
    }
}

bool ProjectRead::enterTopology(const QXmlStreamReader &, QString &) {
    ++m_topologyDepth;
    return true;
}

bool ProjectRead::addArea(const QXmlStreamReader &xml, QString &) {
    const QXmlStreamAttributes a = xml.attributes();
    m_areas.append({cut(a.value(QLatin1String("Address"))),
                    cut(a.value(QLatin1String("Name"))),
                    cut(a.value(QLatin1String("Description"))),
                    {}});
    return true;
}

bool ProjectRead::addLine(const QXmlStreamReader &xml, QString &) {
    const QXmlStreamAttributes a = xml.attributes();
    Area &area = m_areas.last();
    area.lines.append({area.address + QLatin1Char('.') + a.value(QLatin1String("Address")).left(8),
                       cut(a.value(QLatin1String("Name"))),
                       cut(a.value(QLatin1String("Description"))),
                       {}});
    return true;
}

bool ProjectRead::addDevice(const QXmlStreamReader &xml, QString &error) {
    if (m_devices.size() >= m_limits.maxDevices) {
        error = QStringLiteral("the project has more than %1 devices").arg(m_limits.maxDevices);
        return false;
    }
    Line *line = deviceLine();
    const QXmlStreamAttributes a = xml.attributes();
    const QStringRef own = a.value(QLatin1String("Address"));
    Device device;
    device.address = line && !own.isEmpty() ? line->address + QLatin1Char('.') + own.left(8) : QString();
    device.name = cut(a.value(QLatin1String("Name")));
    device.description = cut(a.value(QLatin1String("Description")));
    device.productRef = cut(a.value(QLatin1String("ProductRefId")));
    device.programRef = cut(a.value(QLatin1String("Hardware2ProgramRefId")));
    m_devices.append(device);
    (line ? line->devices : m_unassigned).append(m_devices.size() - 1);
    return true;
}

// A device sits in a line, or in a segment of a line; devices elsewhere have no address.
Line *ProjectRead::deviceLine() {
    for (int i = m_stack.size() - 1; i >= 0; --i) {
        if (m_stack.at(i) == Kind::Line && !m_areas.isEmpty() && !m_areas.last().lines.isEmpty())
            return &m_areas.last().lines.last();
        if (m_stack.at(i) == Kind::Area || m_stack.at(i) == Kind::Topology)
            return nullptr;
    }
    return nullptr;
}

bool ProjectRead::addComObject(const QXmlStreamReader &xml, QString &error) {
    const QXmlStreamAttributes a = xml.attributes();
    m_comObjectDevice = m_devices.size() - 1;
    m_comObjectRef = cut(a.value(QLatin1String("RefId")));
    m_comObjectNumber = objectNumber(QStringRef(&m_comObjectRef));
    m_comObjectDpt = firstDpt(a.value(QLatin1String("DatapointType")));
    m_comObjectName = cut(a.value(QLatin1String("Text")));
    m_comObjectFunction = cut(a.value(QLatin1String("FunctionText")));
    // Newer projects list the linked addresses in one attribute, the sending one first.
    const QVector<QStringRef> links =
        a.value(QLatin1String("Links")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (int i = 0; i < links.size(); ++i)
        if (!addLink(links.at(i), i == 0, error))
            return false;
    return true;
}

// Older projects link each address in an element of its own.
bool ProjectRead::addConnector(const QXmlStreamReader &xml, QString &error) {
    const QXmlStreamAttributes a = xml.attributes();
    const QStringRef ref = a.value(QLatin1String("GroupAddressRefId"));
    return ref.isEmpty() || addLink(ref, xml.name() == QLatin1String("Send"), error);
}

// Links the communication object being read to the group address.
bool ProjectRead::addLink(QStringRef groupAddress, bool send, QString &error) {
    if (++m_linkCount > m_limits.maxLinks) {
        error = QStringLiteral("the project has more than %1 links").arg(m_limits.maxLinks);
        return false;
    }
    m_links[groupAddressKey(groupAddress)].append(
        {m_comObjectDevice, m_comObjectNumber, m_comObjectName, m_comObjectFunction, send, m_comObjectRef,
         m_comObjectDpt, m_comObjectDpt.isEmpty() ? TypeFrom::None : TypeFrom::InstanceRef, QString()});
    return true;
}

bool ProjectRead::addGroupRange(const QXmlStreamReader &xml, QString &error) {
    if (m_ranges.size() >= m_limits.maxGroupRanges) {
        error = QStringLiteral("the project has more than %1 group ranges").arg(m_limits.maxGroupRanges);
        return false;
    }
    const QXmlStreamAttributes a = xml.attributes();
    GroupRange range;
    range.name = cut(a.value(QLatin1String("Name")));
    range.depth = m_rangeIndices.size() + 1;
    // Cut like the names it is made of: every range and address below repeats it.
    range.path = m_rangeIndices.isEmpty() ? range.name
                                          : (rangePath() + QStringLiteral(" / ") + range.name).left(kMaxText);
    m_rangeIndices.append(m_ranges.size());
    if (!parseNumber(a.value(QLatin1String("RangeStart")), 65535, &range.start))
        range.start = 0;
    if (!parseNumber(a.value(QLatin1String("RangeEnd")), 65535, &range.end))
        range.end = range.start;
    m_ranges.append(range);
    return true;
}

// The path of the innermost range the reader stands in; shared by the addresses in it.
QString ProjectRead::rangePath() const {
    return m_rangeIndices.isEmpty() ? QString() : m_ranges.at(m_rangeIndices.last()).path;
}

bool ProjectRead::addGroupAddress(const QXmlStreamReader &xml, QString &error) {
    if (m_groupAddresses.size() >= m_limits.maxGroupAddresses) {
        error =
            QStringLiteral("the project has more than %1 group addresses").arg(m_limits.maxGroupAddresses);
        return false;
    }
    const QXmlStreamAttributes a = xml.attributes();
    GroupAddress ga;
    ga.id = cut(a.value(QLatin1String("Id")));
    ga.name = cut(a.value(QLatin1String("Name")));
    const QStringRef address = a.value(QLatin1String("Address"));
    if (!parseNumber(address, 65535, &ga.raw)) {
        skipGroupAddress(ga, address);
        return true;
    }
    ga.description = cut(a.value(QLatin1String("Description")));
    ga.comment = cut(a.value(QLatin1String("Comment")));
    ga.range = rangePath();
    ga.dptRaw = firstDpt(a.value(QLatin1String("DatapointType")));
    ga.secure = !a.value(QLatin1String("Key")).trimmed().isEmpty();
    ga.rangeIndex = m_rangeIndices.isEmpty() ? -1 : m_rangeIndices.last();
    m_groupAddresses.append(ga);
    return true;
}

// A group address without a usable address is left out; the page says which and why.
void ProjectRead::skipGroupAddress(const GroupAddress &ga, QStringRef address) {
    const QString what =
        ga.name.isEmpty() ? (ga.id.isEmpty() ? QStringLiteral("(unnamed group address)") : ga.id) : ga.name;
    m_skipped.append(QJsonObject{
        {QStringLiteral("what"), what},
        {QStringLiteral("why"),
         address.isNull()
             ? QStringLiteral("it has no address")
             : QStringLiteral("its address \"%1\" is not a number from 0 to 65535").arg(address.left(40))}});
}

bool ProjectRead::readProject(ZipArchive &zip, qint64 index, const QString &entry,
                              const QByteArray &password) {
    return stream(zip, index, entry, password, QStringLiteral("Reading group addresses and devices"),
                  [this](QXmlStreamReader &xml, QString &error) { return projectToken(xml, error); });
}

// Product names, and the names and numbers of linked objects that the project itself does not
// name, come from the manufacturer data kept in the archive: M-xxxx/Hardware.xml gives products
// and the application program of each device, M-xxxx/<program>.xml its communication objects.
// They are a courtesy: damaged or missing manufacturer data leaves them out.
void ProjectRead::readManufacturerData(ZipArchive &outer) {
    HardwareNames names = wantedHardware();
    if (names.products.isEmpty() && names.programs.isEmpty())
        return;
    if (!readHardware(outer, names))
        return;
    nameDevices(names);
    ObjectTexts texts;
    if (readApplications(outer, wantedObjectRefs(), texts))
        nameLinks(texts);
}

// Forgets the failure to read manufacturer data; false when the read was cancelled.
bool ProjectRead::tolerate(bool ok) {
    if (!ok) {
        qCDebug(lcEtsProject) << "manufacturer data not read:" << m_failure.message;
        if (m_failure.status != QLatin1String("cancelled"))
            m_failure = Failure();
    }
    return m_failure.status != QLatin1String("cancelled");
}

HardwareNames ProjectRead::wantedHardware() const {
    HardwareNames names;
    for (const Device &d : m_devices) {
        if (!d.productRef.isEmpty())
            names.products.insert(d.productRef, QString());
        if (!d.programRef.isEmpty())
            names.programs.insert(d.programRef, QString());
    }
    return names;
}

// Every M-xxxx/Hardware.xml; false when the read was cancelled.
bool ProjectRead::readHardware(ZipArchive &outer, HardwareNames &names) {
    static const QRegularExpression hardware(QStringLiteral("^M-[0-9A-Za-z]+/Hardware\\.xml$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const qint64 n = outer.count();
    for (qint64 i = 0; i < n && !cancelled(); ++i) {
        const QString entry = outer.name(i);
        if (!hardware.match(entry).hasMatch())
            continue;
        QString program;
        const bool ok =
            stream(outer, i, entry, QByteArray(), QStringLiteral("Reading product names"),
                   [&](QXmlStreamReader &xml, QString &) { return hardwareToken(xml, names, program); });
        if (!tolerate(ok))
            return false;
    }
    return true;
}

void ProjectRead::nameDevices(const HardwareNames &names) {
    for (Device &d : m_devices) {
        d.product = names.products.value(d.productRef);
        d.application = names.programs.value(d.programRef);
    }
}

// The object references wanted from each application program, with full ids.
WantedRefs ProjectRead::wantedObjectRefs() const {
    WantedRefs wanted;
    for (const QVector<Link> &links : m_links)
        for (const Link &l : links) {
            const QString &application = m_devices.at(l.device).application;
            if (!application.isEmpty() && !l.ref.isEmpty())
                wanted[application].insert(fullObjectRef(application, l.ref));
        }
    return wanted;
}

// False when the read was cancelled.
bool ProjectRead::readApplications(ZipArchive &outer, const WantedRefs &wanted, ObjectTexts &texts) {
    for (auto it = wanted.constBegin(); it != wanted.constEnd() && !cancelled(); ++it)
        if (!tolerate(readApplication(outer, it.key(), it.value(), texts)))
            return false;
    return true;
}

// M-xxxx/<application>.xml, when the archive has it.
bool ProjectRead::readApplication(ZipArchive &outer, const QString &application, const QSet<QString> &refs,
                                  ObjectTexts &texts) {
    const QString entry =
        application.section(QLatin1Char('_'), 0, 0) + QLatin1Char('/') + application + QStringLiteral(".xml");
    const qint64 index = outer.locate(entry);
    if (index < 0)
        return true;
    QSet<QString> objects;
    for (const QString &ref : refs)
        objects.insert(ref.left(ref.lastIndexOf(QLatin1String("_R-"))));
    return stream(
        outer, index, outer.name(index), QByteArray(), QStringLiteral("Reading object names"),
        [&](QXmlStreamReader &xml, QString &) { return applicationToken(xml, refs, objects, texts); });
}

// The object's type as the project writes it, else as the program's reference to the object
// does, else as the program's object does; its size from the program.
void inheritType(Link &l, const ObjectText &ref, const ObjectText &object) {
    if (l.dpt.isEmpty()) {
        const bool fromRef = !ref.dpt.isEmpty();
        l.dpt = fromRef ? ref.dpt : object.dpt;
        l.dptFrom = fromRef ? TypeFrom::ObjectRef : (l.dpt.isEmpty() ? TypeFrom::None : TypeFrom::Object);
    }
    l.size = !ref.size.isEmpty() ? ref.size : object.size;
}

// What the project says itself comes first, then the reference, then the object.
void ProjectRead::nameLinks(const ObjectTexts &texts) {
    const ObjectText none{QString(), -1, QString(), QString(), QString(), QString()};
    for (QVector<Link> &links : m_links)
        for (Link &l : links) {
            const QString &application = m_devices.at(l.device).application;
            if (application.isEmpty() || l.ref.isEmpty())
                continue;
            const QString id = fullObjectRef(application, l.ref);
            const ObjectText ref = texts.refs.value(id, none);
            const QString objectId =
                ref.reference.isEmpty() ? id.left(id.lastIndexOf(QLatin1String("_R-"))) : ref.reference;
            const ObjectText object = texts.objects.value(objectId, none);
            if (object.number >= 0)
                l.number = object.number;
            if (l.name.isEmpty())
                l.name = !ref.text.isEmpty() ? ref.text : object.text;
            if (l.function.isEmpty())
                l.function = !ref.function.isEmpty() ? ref.function : object.function;
            inheritType(l, ref, object);
        }
}

// A number of a data point type: 1 to 5 digits; -1 when it is none.
int dptNumber(QStringRef digits) {
    if (digits.isEmpty() || digits.size() > 5)
        return -1;
    int n = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - '0');
    }
    return n;
}

QString typeFromName(TypeFrom from) {
    switch (from) {
    case TypeFrom::InstanceRef:
        return QStringLiteral("ComObjectInstanceRef");
    case TypeFrom::ObjectRef:
        return QStringLiteral("ComObjectRef");
    case TypeFrom::Object:
        return QStringLiteral("ComObject");
    case TypeFrom::None:
        break;
    }
    return QString();
}

QString rangeAddress(const GroupRange &r, EtsProjectReader::Style style) {
    using S = EtsProjectReader::Style;
    if (style == S::ThreeLevel && r.depth == 1)
        return QString::number((r.start >> 11) & 0x1f);
    if (style == S::ThreeLevel && r.depth == 2)
        return QStringLiteral("%1/%2").arg((r.start >> 11) & 0x1f).arg((r.start >> 8) & 0x7);
    if (style == S::TwoLevel && r.depth == 1)
        return QString::number((r.start >> 11) & 0x1f);
    return QStringLiteral("%1-%2").arg(r.start).arg(r.end);
}

QJsonObject ProjectRead::result() const {
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")},
                       {QStringLiteral("message"), QString()},
                       {QStringLiteral("project"), projectJson()},
                       {QStringLiteral("groupRanges"), rangesJson()},
                       {QStringLiteral("groupAddresses"), groupAddressesJson()},
                       {QStringLiteral("areas"), areasJson()},
                       {QStringLiteral("unassignedDevices"), devicesJson(m_unassigned)},
                       {QStringLiteral("deviceCount"), m_devices.size()},
                       {QStringLiteral("skipped"), m_skipped}};
}

QJsonObject ProjectRead::projectJson() const {
    const QString etsName = etsNameForSchema(m_schema);
    QString version = m_createdBy.isEmpty() ? etsName : m_createdBy;
    if (!m_toolVersion.isEmpty())
        version += (version.isEmpty() ? QString() : QStringLiteral(" ")) + m_toolVersion;
    return QJsonObject{{QStringLiteral("id"), m_projectId},
                       {QStringLiteral("name"), m_projectName},
                       {QStringLiteral("etsVersion"), version},
                       {QStringLiteral("schemaVersion"), m_schema},
                       {QStringLiteral("groupAddressStyle"), EtsProjectReader::styleName(m_style)},
                       {QStringLiteral("protected"), m_protected}};
}

QJsonArray ProjectRead::rangesJson() const {
    QJsonArray ranges;
    for (const GroupRange &r : m_ranges)
        ranges.append(QJsonObject{{QStringLiteral("name"), r.name},
                                  {QStringLiteral("path"), r.path},
                                  {QStringLiteral("depth"), r.depth},
                                  {QStringLiteral("start"), int(r.start)},
                                  {QStringLiteral("end"), int(r.end)},
                                  {QStringLiteral("address"), rangeAddress(r, m_style)}});
    return ranges;
}

// In address order; addresses given twice keep the project's order.
QJsonArray ProjectRead::groupAddressesJson() const {
    QVector<const GroupAddress *> sorted;
    sorted.reserve(m_groupAddresses.size());
    for (const GroupAddress &ga : m_groupAddresses)
        sorted.append(&ga);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const GroupAddress *x, const GroupAddress *y) { return x->raw < y->raw; });
    QJsonArray addresses;
    for (const GroupAddress *ga : sorted)
        addresses.append(groupAddressJson(*ga));
    return addresses;
}

QJsonObject ProjectRead::groupAddressJson(const GroupAddress &ga) const {
    const QVector<Link> &links = linksOf(ga);
    const GroupType type = groupType(ga, links);
    return QJsonObject{{QStringLiteral("address"), EtsProjectReader::formatGroupAddress(ga.raw, m_style)},
                       {QStringLiteral("raw"), int(ga.raw)},
                       {QStringLiteral("id"), ga.id},
                       {QStringLiteral("name"), ga.name},
                       {QStringLiteral("description"), ga.description},
                       {QStringLiteral("comment"), ga.comment},
                       {QStringLiteral("range"), ga.range},
                       {QStringLiteral("rangeIndex"), ga.rangeIndex},
                       {QStringLiteral("dpt"), normalisedDpt(type.raw)},
                       {QStringLiteral("dptRaw"), type.raw},
                       {QStringLiteral("dptFrom"), type.from},
                       {QStringLiteral("secure"), ga.secure},
                       {QStringLiteral("links"), linksJson(links)}};
}

const QVector<Link> &ProjectRead::linksOf(const GroupAddress &ga) const {
    static const QVector<Link> none;
    const auto it = m_links.constFind(groupAddressKey(QStringRef(&ga.id)));
    return it == m_links.constEnd() ? none : *it;
}

// The group address's own type; without one, the type its linked objects give it.
GroupType ProjectRead::groupType(const GroupAddress &ga, const QVector<Link> &links) const {
    if (!ga.dptRaw.isEmpty() || links.isEmpty())
        return {ga.dptRaw, QJsonValue()};
    QVector<EtsLinkedType> objects;
    objects.reserve(links.size());
    for (const Link &l : links)
        objects.append({l.dpt, l.size, l.send});
    const EtsDptRule::Choice choice = EtsDptRule::choose(objects);
    if (choice.object < 0)
        return {QString(), QJsonValue()};
    const Link &l = links.at(choice.object);
    const Device &d = m_devices.at(l.device);
    return {choice.dpt, QJsonObject{{QStringLiteral("device"), d.address},
                                    {QStringLiteral("deviceName"), d.name},
                                    {QStringLiteral("number"), l.number},
                                    {QStringLiteral("source"), choice.bySize ? QStringLiteral("ObjectSize")
                                                                             : typeFromName(l.dptFrom)}}};
}

QString ProjectRead::normalisedDpt(const QString &raw) const {
    auto it = m_normalisedDpts.find(raw);
    if (it == m_normalisedDpts.end())
        it = m_normalisedDpts.insert(raw, EtsProjectReader::normaliseDpt(raw));
    return *it;
}

QJsonArray ProjectRead::linksJson(const QVector<Link> &links) const {
    QJsonArray json;
    for (const Link &l : links) {
        const Device &d = m_devices.at(l.device);
        json.append(QJsonObject{{QStringLiteral("device"), d.address},
                                {QStringLiteral("deviceName"), d.name},
                                {QStringLiteral("number"), l.number},
                                {QStringLiteral("name"), l.name},
                                {QStringLiteral("function"), l.function},
                                {QStringLiteral("send"), l.send},
                                {QStringLiteral("dpt"), normalisedDpt(l.dpt)}});
    }
    return json;
}

QJsonArray ProjectRead::areasJson() const {
    QJsonArray areas;
    for (const Area &area : m_areas) {
        QJsonArray lines;
        for (const Line &line : area.lines)
            lines.append(QJsonObject{{QStringLiteral("address"), line.address},
                                     {QStringLiteral("name"), line.name},
                                     {QStringLiteral("description"), line.description},
                                     {QStringLiteral("devices"), devicesJson(line.devices)}});
        areas.append(QJsonObject{{QStringLiteral("address"), area.address},
                                 {QStringLiteral("name"), area.name},
                                 {QStringLiteral("description"), area.description},
                                 {QStringLiteral("lines"), lines}});
    }
    return areas;
}

QJsonArray ProjectRead::devicesJson(const QVector<int> &devices) const {
    QJsonArray json;
    for (int i : devices) {
        const Device &d = m_devices.at(i);
        json.append(QJsonObject{{QStringLiteral("address"), d.address},
                                {QStringLiteral("name"), d.name},
                                {QStringLiteral("description"), d.description},
                                {QStringLiteral("product"), d.product}});
    }
    return json;
}

} // namespace

QJsonObject EtsProjectReader::read(const QString &path, const QString &password, const Progress &progress,
                                   const std::atomic_bool *cancel, const Limits &limits) {
    ProjectRead read(progress, cancel, limits);
    return read.run(path, password);
}

QByteArray EtsProjectReader::derivedPassword(const QString &password) {
    QByteArray utf16;
    utf16.reserve(password.size() * 2);
    for (const QChar c : password) {
        utf16.append(char(c.unicode() & 0xff));
        utf16.append(char(c.unicode() >> 8));
    }
    static const QByteArray salt("21.project.ets.knx.org");
    QByteArray key(32, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(
        utf16.constData(), utf16.size(), reinterpret_cast<const unsigned char *>(salt.constData()),
        salt.size(), 65536, EVP_sha256(), key.size(), reinterpret_cast<unsigned char *>(key.data()));
    utf16.fill('\0');
    const QByteArray text = ok == 1 ? key.toBase64() : QByteArray();
    key.fill('\0');
    return text;
}

QByteArray EtsProjectReader::zipPassword(const QString &password, int schemaVersion) {
    return schemaVersion >= 21 ? derivedPassword(password) : password.toUtf8();
}

QString EtsProjectReader::formatGroupAddress(quint32 raw, Style style) {
    switch (style) {
    case Style::Free:
        return QString::number(raw);
    case Style::TwoLevel:
        return QStringLiteral("%1/%2").arg((raw >> 11) & 0x1f).arg(raw & 0x7ff);
    case Style::ThreeLevel:
        break;
    }
    return QStringLiteral("%1/%2/%3").arg((raw >> 11) & 0x1f).arg((raw >> 8) & 0x7).arg(raw & 0xff);
}

EtsProjectReader::Style EtsProjectReader::styleFromName(const QString &name) {
    if (name.compare(QLatin1String("TwoLevel"), Qt::CaseInsensitive) == 0)
        return Style::TwoLevel;
    if (name.compare(QLatin1String("Free"), Qt::CaseInsensitive) == 0)
        return Style::Free;
    return Style::ThreeLevel;
}

QString EtsProjectReader::styleName(Style style) {
    switch (style) {
    case Style::TwoLevel:
        return QStringLiteral("TwoLevel");
    case Style::Free:
        return QStringLiteral("Free");
    case Style::ThreeLevel:
        break;
    }
    return QStringLiteral("ThreeLevel");
}

// "DPST-<main>-<sub>" or "DPT-<main>", letter case aside, each number of 1 to 5 digits. Read by
// hand: every group address and every linked object passes here.
QString EtsProjectReader::normaliseDpt(const QString &text) {
    const QString first = firstDpt(QStringRef(&text));
    const QVector<QStringRef> parts = first.splitRef(QLatin1Char('-'));
    const int main = parts.size() >= 2 ? dptNumber(parts.at(1)) : -1;
    if (parts.size() == 3 && parts.at(0).compare(QLatin1String("DPST"), Qt::CaseInsensitive) == 0 &&
        main >= 0 && dptNumber(parts.at(2)) >= 0)
        return QString::number(main) + QLatin1Char('.') +
               QString::number(dptNumber(parts.at(2))).rightJustified(3, QLatin1Char('0'));
    if (parts.size() == 2 && parts.at(0).compare(QLatin1String("DPT"), Qt::CaseInsensitive) == 0 && main >= 0)
        return QString::number(main);
    return first;
}
