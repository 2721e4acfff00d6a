#include "etsimport.h"
#include "etsproject.h"
#include "testzip.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray masterXml(int schema) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"utf-8\"?><KNX xmlns=\"http://knx.org/xml/project/%1\" "
               "CreatedBy=\"ETS%2\" ToolVersion=\"%2.1.0\"><MasterData/></KNX>")
        .arg(schema)
        .arg(schema >= 21 ? 6 : 5)
        .toUtf8();
}

QByteArray infoXml(int schema, const QString &style) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"utf-8\"?><KNX xmlns=\"http://knx.org/xml/project/%1\">"
               "<Project Id=\"P-0A1B\"><ProjectInformation Name=\"Haus M&#252;ller &amp; Co\" %2/>"
               "</Project></KNX>")
        .arg(schema)
        .arg(style.isEmpty() ? QString() : QStringLiteral("GroupAddressStyle=\"%1\"").arg(style))
        .toUtf8();
}

// Two areas; the second line's devices sit in a segment as newer projects have it; one device
// has no place in the topology. The first device links its objects the older way (Connectors),
// the second with the Links attribute.
QByteArray dataXml(int schema) {
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
               "<KNX xmlns=\"http://knx.org/xml/project/%1\" CreatedBy=\"ETS%2\" ToolVersion=\"%2.7.1\">\n"
               "<Project Id=\"P-0A1B\"><Installations><Installation Name=\"\">\n"
               "<Topology>\n"
               " <Area Id=\"A-1\" Name=\"Ground floor\" Address=\"1\">\n"
               "  <Line Id=\"L-1\" Name=\"Lights\" Address=\"1\" Description=\"main line\">\n"
               "   <DeviceInstance Id=\"D-1\" Name=\"Actuator\" Description=\"kitchen box\" Address=\"5\" "
               "ProductRefId=\"M-0083_H-1-1_P-SA8\" Hardware2ProgramRefId=\"M-0083_H-1-1_HP-0001\">\n"
               "    <ComObjectInstanceRefs>\n"
               "     <ComObjectInstanceRef RefId=\"O-12_R-3\" Text=\"Channel A\" "
               "FunctionText=\"Switching\">\n"
               "      <Connectors><Send GroupAddressRefId=\"P-0A1B-0_GA-1\"/><Receive "
               "GroupAddressRefId=\"P-0A1B-0_GA-3\"/></Connectors>\n"
               "     </ComObjectInstanceRef>\n"
               "     <ComObjectInstanceRef RefId=\"O-13_R-4\" FunctionText=\"Status\"><Connectors><Send "
               "GroupAddressRefId=\"P-0A1B-0_GA-4\"/></Connectors></ComObjectInstanceRef>\n"
               "    </ComObjectInstanceRefs>\n"
               "   </DeviceInstance>\n"
               "  </Line>\n"
               "  <Line Id=\"L-2\" Name=\"Sensors\" Address=\"2\">\n"
               "   <Segment Id=\"S-1\" Number=\"0\">\n"
               "    <DeviceInstance Id=\"D-2\" Name=\"Push button\" Address=\"17\" "
               "ProductRefId=\"M-0083_H-2-1_P-TB\">\n"
               "     <ComObjectInstanceRefs><ComObjectInstanceRef RefId=\"O-0_R-1\" Text=\"Rocker 1\" "
               "Links=\"GA-3 GA-1\"/></ComObjectInstanceRefs>\n"
               "    </DeviceInstance>\n"
               "   </Segment>\n"
               "  </Line>\n"
               " </Area>\n"
               " <Area Id=\"A-2\" Name=\"Attic\" Address=\"2\"/>\n"
               " <UnassignedDevices><DeviceInstance Id=\"D-3\" Name=\"Spare\" "
               "ProductRefId=\"M-0083_H-9_P-X\"/></UnassignedDevices>\n"
               "</Topology>\n"
               "<GroupAddresses><GroupRanges>\n"
               " <GroupRange Id=\"R-1\" Name=\"Lighting\" RangeStart=\"2048\" RangeEnd=\"4095\">\n"
               "  <GroupRange Id=\"R-2\" Name=\"Kitchen &amp; dining\" RangeStart=\"2048\" "
               "RangeEnd=\"2303\">\n"
               "   <GroupAddress Id=\"P-0A1B-0_GA-3\" Address=\"2050\" Name=\"Kitchen status\" "
               "DatapointType=\"DPST-1-11\"/>\n"
               "   <GroupAddress Id=\"P-0A1B-0_GA-1\" Address=\"2049\" Name=\"Kitchen &lt;main&gt;\" "
               "Description=\"ceiling\" "
               "Comment=\"installed 2024\" DatapointType=\"DPST-1-1\" Key=\"AAECAwQFBgcICQoLDA0ODw==\"/>\n"
               "  </GroupRange>\n"
               " </GroupRange>\n"
               " <GroupRange Id=\"R-3\" Name=\"Climate\" RangeStart=\"4096\" RangeEnd=\"6143\">\n"
               "  <GroupAddress Id=\"P-0A1B-0_GA-4\" Address=\"4097\" Name=\"Temperature\" "
               "DatapointType=\"DPST-9-1\"/>\n"
               "  <GroupAddress Id=\"P-0A1B-0_GA-5\" Address=\"300\" Name=\"Two types\" "
               "DatapointType=\"DPST-5-1 DPST-5-4\"/>\n"
               "  <GroupAddress Id=\"P-0A1B-0_GA-6\" Address=\"65536\" Name=\"Too big\"/>\n"
               "  <GroupAddress Id=\"P-0A1B-0_GA-7\" Name=\"No address\"/>\n"
               " </GroupRange>\n"
               "</GroupRanges></GroupAddresses>\n"
               "</Installation></Installations></Project></KNX>\n")
        .arg(schema)
        .arg(schema >= 21 ? 6 : 5)
        .toUtf8();
}

const QByteArray kHardware =
    "<KNX xmlns=\"http://knx.org/xml/project/20\"><ManufacturerData><Manufacturer RefId=\"M-0083\"><Hardware>"
    "<Hardware Id=\"M-0083_H-1-1\"><Products><Product Id=\"M-0083_H-1-1_P-SA8\" Text=\"Switch actuator "
    "8-fold\"/></Products>"
    "<Hardware2Programs><Hardware2Program Id=\"M-0083_H-1-1_HP-0001\"><ApplicationProgramRef "
    "RefId=\"M-0083_A-0001-10-ABCD\"/>"
    "</Hardware2Program></Hardware2Programs></Hardware>"
    "<Hardware Id=\"M-0083_H-2-1\"><Products><Product Id=\"M-0083_H-2-1_P-TB\" Text=\"Push button "
    "4-fold\"/></Products></Hardware>"
    "</Hardware></Manufacturer></ManufacturerData></KNX>";

// The application program of the actuator: names the object that the project leaves unnamed.
const QByteArray kApplication =
    "<KNX xmlns=\"http://knx.org/xml/project/20\"><ManufacturerData><Manufacturer "
    "RefId=\"M-0083\"><ApplicationPrograms>"
    "<ApplicationProgram Id=\"M-0083_A-0001-10-ABCD\"><Static><ComObjectTable>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-12\" Number=\"12\" Text=\"Output\" FunctionText=\"On/off\"/>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-13\" Number=\"113\" Text=\"Status channel A\" "
    "FunctionText=\"Feedback\"/>"
    "</ComObjectTable><ComObjectRefs>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-12_R-3\" RefId=\"M-0083_A-0001-10-ABCD_O-12\" Text=\"Ref "
    "text\"/>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-13_R-4\" RefId=\"M-0083_A-0001-10-ABCD_O-13\"/>"
    "</ComObjectRefs></Static></ApplicationProgram></ApplicationPrograms></Manufacturer></ManufacturerData></"
    "KNX>";

// An application program whose objects give their types at different levels: O-1 in its
// reference (over the object's own), O-2 in the object (its reference has none), O-3 only by its
// size of 1 bit, O-4 in the object, O-5 not at all (1 byte could be one of several types).
const QByteArray kTypedApplication =
    "<KNX xmlns=\"http://knx.org/xml/project/20\"><ManufacturerData><Manufacturer RefId=\"M-0083\">"
    "<ApplicationPrograms><ApplicationProgram Id=\"M-0083_A-0001-10-ABCD\"><Static><ComObjectTable>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-1\" Number=\"11\" DatapointType=\"DPST-1-1\" "
    "ObjectSize=\"1 Bit\"/>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-2\" Number=\"12\" DatapointType=\"DPST-5-1 DPST-5-4\" "
    "ObjectSize=\"1 Byte\"/>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-3\" Number=\"13\" ObjectSize=\"1 Bit\"/>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-4\" Number=\"14\" DatapointType=\"DPST-9-1\" "
    "ObjectSize=\"2 Bytes\"/>"
    "<ComObject Id=\"M-0083_A-0001-10-ABCD_O-5\" Number=\"15\" ObjectSize=\"1 Byte\"/>"
    "</ComObjectTable><ComObjectRefs>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-1_R-1\" RefId=\"M-0083_A-0001-10-ABCD_O-1\" "
    "DatapointType=\"DPST-1-8\"/>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-2_R-2\" RefId=\"M-0083_A-0001-10-ABCD_O-2\"/>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-3_R-3\" RefId=\"M-0083_A-0001-10-ABCD_O-3\"/>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-4_R-4\" RefId=\"M-0083_A-0001-10-ABCD_O-4\"/>"
    "<ComObjectRef Id=\"M-0083_A-0001-10-ABCD_O-5_R-5\" RefId=\"M-0083_A-0001-10-ABCD_O-5\"/>"
    "</ComObjectRefs></Static></ApplicationProgram></ApplicationPrograms></Manufacturer></ManufacturerData>"
    "</KNX>";

// Group address 0/0/1, with `ownType` when not empty, linked to one object of the program above in
// each of the devices 1.1.1, 1.1.2, ... in turn. An object is "send <n> [type]" or "listen <n> [type]":
// object O-<n>, sending on 0/0/1 or only listening to it (it sends on 0/0/2), with the type that
// the project gives its instance.
QByteArray typedProjectXml(const QString &ownType, const QStringList &objects) {
    QString devices;
    for (int i = 0; i < objects.size(); ++i) {
        const QStringList words = objects.at(i).split(' ');
        const QString type = words.value(2).isEmpty() ? QString() : " DatapointType=\"" + words.at(2) + "\"";
        const QString connectors = words.at(0) == "send" ? "<Send GroupAddressRefId=\"P-0001-0_GA-1\"/>"
                                                         : "<Send GroupAddressRefId=\"P-0001-0_GA-2\"/>"
                                                           "<Receive GroupAddressRefId=\"P-0001-0_GA-1\"/>";
        devices += QStringLiteral("<DeviceInstance Address=\"%1\" Name=\"Device %1\" "
                                  "Hardware2ProgramRefId=\"M-0083_H-1-1_HP-0001\"><ComObjectInstanceRefs>"
                                  "<ComObjectInstanceRef RefId=\"O-%2_R-%2\"%3><Connectors>%4</Connectors>"
                                  "</ComObjectInstanceRef></ComObjectInstanceRefs></DeviceInstance>")
                       .arg(i + 1)
                       .arg(words.at(1), type, connectors);
    }
    const QString own = ownType.isEmpty() ? QString() : " DatapointType=\"" + ownType + "\"";
    return QStringLiteral(
               "<KNX xmlns=\"http://knx.org/xml/project/20\"><Project Id=\"P-0001\"><Installations>"
               "<Installation><Topology><Area Address=\"1\"><Line Address=\"1\">%1</Line></Area>"
               "</Topology><GroupAddresses><GroupRanges><GroupRange Name=\"All\" RangeStart=\"0\" "
               "RangeEnd=\"255\"><GroupAddress Id=\"P-0001-0_GA-1\" Address=\"1\" Name=\"Test\"%2/>"
               "<GroupAddress Id=\"P-0001-0_GA-2\" Address=\"2\" Name=\"Other\" "
               "DatapointType=\"DPST-14-56\"/></GroupRange></GroupRanges></GroupAddresses>"
               "</Installation></Installations></Project></KNX>")
        .arg(devices, own)
        .toUtf8();
}

// "1.1.2 #11 ComObjectRef": where a group address's type came from; empty when it is its own.
QString typeSource(const QJsonObject &ga) {
    const QJsonObject from = ga.value("dptFrom").toObject();
    if (from.isEmpty())
        return QString();
    return QStringLiteral("%1 #%2 %3")
        .arg(from.value("device").toString())
        .arg(from.value("number").toInt())
        .arg(from.value("source").toString());
}

QList<TestZipEntry> plainProject(const QString &style, int schema = 20) {
    return {{"knx_master.xml", masterXml(schema)},
            {"M-0083/Hardware.xml", kHardware},
            {"M-0083/M-0083_A-0001-10-ABCD.xml", kApplication},
            {"P-0A1B/project.xml", infoXml(schema, style)},
            {"P-0A1B/0.xml", dataXml(schema)}};
}

QList<TestZipEntry> protectedProject(int schema, quint16 method, const QByteArray &zipPassword,
                                     const QByteArray &data) {
    const QByteArray inner =
        testZipBytes({{"project.xml", infoXml(schema, "ThreeLevel"), method, zipPassword},
                      {"0.xml", data, method, zipPassword}});
    return {{"knx_master.xml", masterXml(schema)},
            {"M-0083/Hardware.xml", kHardware},
            {"P-0A1B.signature", "sig"},
            {"P-0A1B.zip", inner}};
}

QJsonObject findByAddress(const QJsonObject &result, const QString &address) {
    for (const QJsonValue &v : result.value("groupAddresses").toArray())
        if (v.toObject().value("address").toString() == address)
            return v.toObject();
    return QJsonObject();
}

QStringList column(const QJsonArray &array, const QString &key) {
    QStringList out;
    for (const QJsonValue &v : array)
        out << v.toObject().value(key).toVariant().toString();
    return out;
}

} // namespace

Q_DECLARE_METATYPE(QList<TestZipEntry>)

class EtsProjectTest : public QObject {
    Q_OBJECT

private slots:
    void init() { m_dir.reset(new QTemporaryDir); }
    void addressStyles_data();
    void addressStyles();
    void readsProjectTopologyAndLinks();
    void protectedProjects_data();
    void protectedProjects();
    void passwordDerivationMatchesAnIndependentVector();
    void damagedAndHostileArchives_data();
    void damagedAndHostileArchives();
    void boundsAreErrorsNamingTheEntry();
    void deepRangePathsAreCut();
    void aCancelledReadSaysSo();
    void aCancelWhileTheProtectedProjectInflatesStopsIt();
    void importRunsOffTheCallingThread();
    void dataPointTypes();
    void linkedObjectsGiveTheirType_data();
    void linkedObjectsGiveTheirType();

private:
    QString path(const QString &name) const { return m_dir->path() + "/" + name; }
    QJsonObject read(const QList<TestZipEntry> &entries, const QString &password = QString(),
                     const EtsProjectReader::Limits &limits = EtsProjectReader::Limits()) {
        const QString file = path("project.knxproj");
        if (!writeTestZip(file, entries))
            return QJsonObject{{"status", "fixture not written"}};
        return EtsProjectReader::read(file, password, {}, nullptr, limits);
    }

    QScopedPointer<QTemporaryDir> m_dir;
};

void EtsProjectTest::addressStyles_data() {
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("shownStyle");
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QStringList>("ranges");
    // Raw addresses 300, 2049, 2050, 4097 in document order of the sorted result.
    QTest::newRow("three levels") << "ThreeLevel"
                                  << "ThreeLevel" << QStringList{"0/1/44", "1/0/1", "1/0/2", "2/0/1"}
                                  << QStringList{"1", "1/0", "2"};
    QTest::newRow("two levels") << "TwoLevel"
                                << "TwoLevel" << QStringList{"0/300", "1/1", "1/2", "2/1"}
                                << QStringList{"1", "2048-2303", "2"};
    QTest::newRow("free") << "Free"
                          << "Free" << QStringList{"300", "2049", "2050", "4097"}
                          << QStringList{"2048-4095", "2048-2303", "4096-6143"};
    QTest::newRow("no style given") << ""
                                    << "ThreeLevel" << QStringList{"0/1/44", "1/0/1", "1/0/2", "2/0/1"}
                                    << QStringList{"1", "1/0", "2"};
}

void EtsProjectTest::addressStyles() {
    QFETCH(QString, style);
    QFETCH(QString, shownStyle);
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, ranges);
    const QJsonObject r = read(plainProject(style));
    QCOMPARE(r.value("status").toString(), QString("ok"));
    QCOMPARE(r.value("project").toObject().value("groupAddressStyle").toString(), shownStyle);
    QCOMPARE(column(r.value("groupAddresses").toArray(), "address"), addresses);
    QCOMPARE(column(r.value("groupRanges").toArray(), "address"), ranges);
}

void EtsProjectTest::readsProjectTopologyAndLinks() {
    const QJsonObject r = read(plainProject("ThreeLevel"));
    QCOMPARE(r.value("status").toString(), QString("ok"));
    const QJsonObject project = r.value("project").toObject();
    QCOMPARE(project.value("name").toString(), QString::fromUtf8("Haus M\xc3\xbcller & Co"));
    QCOMPARE(project.value("etsVersion").toString(), QString("ETS5 5.1.0"));
    QCOMPARE(project.value("schemaVersion").toInt(), 20);
    QCOMPARE(project.value("id").toString(), QString("P-0A1B"));
    QCOMPARE(project.value("protected").toBool(), false);

    const QJsonObject kitchen = findByAddress(r, "1/0/1");
    QCOMPARE(kitchen.value("name").toString(), QString("Kitchen <main>"));
    QCOMPARE(kitchen.value("description").toString(), QString("ceiling"));
    QCOMPARE(kitchen.value("comment").toString(), QString("installed 2024"));
    QCOMPARE(kitchen.value("range").toString(), QString("Lighting / Kitchen & dining"));
    QCOMPARE(kitchen.value("rangeIndex").toInt(), 1);
    QCOMPARE(findByAddress(r, "2/0/1").value("rangeIndex").toInt(), 2);
    QCOMPARE(column(r.value("groupRanges").toArray(), "depth"), (QStringList{"1", "2", "1"}));
    QCOMPARE(kitchen.value("dpt").toString(), QString("1.001"));
    QCOMPARE(kitchen.value("dptRaw").toString(), QString("DPST-1-1"));
    QVERIFY(kitchen.value("dptFrom").isNull());
    QCOMPARE(kitchen.value("secure").toBool(), true);
    QVERIFY2(!QJsonDocument(r).toJson().contains("AAECAwQF"), "the key itself never leaves the reader");
    QCOMPARE(findByAddress(r, "2/0/1").value("dpt").toString(), QString("9.001"));
    QCOMPARE(findByAddress(r, "2/0/1").value("secure").toBool(), false);
    QCOMPARE(findByAddress(r, "0/1/44").value("dpt").toString(), QString("5.001"));

    // Links from both notations: Connectors (Send/Receive) and the Links list (first one sends).
    const QJsonArray kitchenLinks = kitchen.value("links").toArray();
    QCOMPARE(kitchenLinks.size(), 2);
    QCOMPARE(kitchenLinks.at(0).toObject(), (QJsonObject{{"device", "1.1.5"},
                                                         {"deviceName", "Actuator"},
                                                         {"number", 12},
                                                         {"name", "Channel A"},
                                                         {"function", "Switching"},
                                                         {"send", true},
                                                         {"dpt", ""}}));
    QCOMPARE(kitchenLinks.at(1).toObject().value("device").toString(), QString("1.2.17"));
    QCOMPARE(kitchenLinks.at(1).toObject().value("number").toInt(), 0);
    QCOMPARE(kitchenLinks.at(1).toObject().value("send").toBool(), false);
    const QJsonArray statusLinks = findByAddress(r, "1/0/2").value("links").toArray();
    QCOMPARE(column(statusLinks, "device"), (QStringList{"1.1.5", "1.2.17"}));
    QCOMPARE(column(statusLinks, "send"), (QStringList{"false", "true"}));
    // Unnamed in the project: number and name from the application program, the project's own
    // function text kept.
    QCOMPARE(findByAddress(r, "2/0/1").value("links").toArray(),
             (QJsonArray{QJsonObject{{"device", "1.1.5"},
                                     {"deviceName", "Actuator"},
                                     {"number", 113},
                                     {"name", "Status channel A"},
                                     {"function", "Status"},
                                     {"send", true},
                                     {"dpt", ""}}}));
    QCOMPARE(findByAddress(r, "0/1/44").value("links").toArray().size(), 0);

    const QJsonArray areas = r.value("areas").toArray();
    QCOMPARE(column(areas, "address"), (QStringList{"1", "2"}));
    const QJsonArray lines = areas.at(0).toObject().value("lines").toArray();
    QCOMPARE(column(lines, "address"), (QStringList{"1.1", "1.2"}));
    QCOMPARE(lines.at(0).toObject().value("description").toString(), QString("main line"));
    const QJsonObject actuator = lines.at(0).toObject().value("devices").toArray().at(0).toObject();
    QCOMPARE(actuator, (QJsonObject{{"address", "1.1.5"},
                                    {"name", "Actuator"},
                                    {"description", "kitchen box"},
                                    {"product", "Switch actuator 8-fold"}}));
    QCOMPARE(column(lines.at(1).toObject().value("devices").toArray(), "product"),
             QStringList{"Push button 4-fold"});
    QCOMPARE(column(r.value("unassignedDevices").toArray(), "name"), QStringList{"Spare"});
    QCOMPARE(column(r.value("unassignedDevices").toArray(), "product"), QStringList{""});
    QCOMPARE(r.value("deviceCount").toInt(), 3);

    const QJsonArray skipped = r.value("skipped").toArray();
    QCOMPARE(column(skipped, "what"), (QStringList{"Too big", "No address"}));
    QVERIFY(skipped.at(0).toObject().value("why").toString().contains("65536"));
}

void EtsProjectTest::protectedProjects_data() {
    QTest::addColumn<int>("schema");
    QTest::addColumn<int>("method");
    QTest::addColumn<QByteArray>("zipPassword");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("status");
    const QString password = QString::fromUtf8("Pässwörd€1");
    const QByteArray derived = "eisI8M0w70vA9ZzseOFlEbU3YQTw2Zm77MBplrSgFnk=";
    QTest::newRow("ETS5 PKWARE") << 20 << int(ZIP_EM_TRAD_PKWARE) << password.toUtf8() << password << "ok";
    QTest::newRow("ETS5 wrong") << 20 << int(ZIP_EM_TRAD_PKWARE) << password.toUtf8() << "Passwörd€1"
                                << "wrongPassword";
    QTest::newRow("ETS5 none") << 20 << int(ZIP_EM_TRAD_PKWARE) << password.toUtf8() << ""
                               << "needsPassword";
    QTest::newRow("ETS6 AES") << 21 << int(ZIP_EM_AES_256) << derived << password << "ok";
    QTest::newRow("ETS6 wrong") << 21 << int(ZIP_EM_AES_256) << derived << "Pässwörd€2"
                                << "wrongPassword";
    QTest::newRow("ETS6 none") << 21 << int(ZIP_EM_AES_256) << derived << ""
                               << "needsPassword";
    QTest::newRow("ETS6 derived text typed")
        << 21 << int(ZIP_EM_AES_256) << derived << QString(derived) << "wrongPassword";
}

void EtsProjectTest::protectedProjects() {
    QFETCH(int, schema);
    QFETCH(int, method);
    QFETCH(QByteArray, zipPassword);
    QFETCH(QString, given);
    QFETCH(QString, status);
    const QJsonObject r =
        read(protectedProject(schema, quint16(method), zipPassword, dataXml(schema)), given);
    QCOMPARE(r.value("status").toString(), status);
    if (status == "wrongPassword")
        QVERIFY2(r.value("message").toString().contains("Wrong password"),
                 qPrintable(r.value("message").toString()));
    if (status != "ok")
        return;
    QCOMPARE(r.value("project").toObject().value("protected").toBool(), true);
    QCOMPARE(r.value("project").toObject().value("name").toString(),
             QString::fromUtf8("Haus M\xc3\xbcller & Co"));
    QCOMPARE(findByAddress(r, "1/0/1").value("links").toArray().size(), 2);
    QCOMPARE(r.value("areas")
                 .toArray()
                 .at(0)
                 .toObject()
                 .value("lines")
                 .toArray()
                 .at(0)
                 .toObject()
                 .value("devices")
                 .toArray()
                 .at(0)
                 .toObject()
                 .value("product")
                 .toString(),
             QString("Switch actuator 8-fold"));
}

void EtsProjectTest::passwordDerivationMatchesAnIndependentVector() {
    // Computed with Python: base64(hashlib.pbkdf2_hmac('sha256', p.encode('utf-16-le'),
    // b'21.project.ets.knx.org', 65536, 32)).
    QCOMPARE(EtsProjectReader::derivedPassword("Geheim!"),
             QByteArray("8OSt5LUUVh+O6isDTe9RNRdIhq529jg4x920tdAUflI="));
    QCOMPARE(EtsProjectReader::derivedPassword(QString::fromUtf8("Pässwörd€1")),
             QByteArray("eisI8M0w70vA9ZzseOFlEbU3YQTw2Zm77MBplrSgFnk="));
    QCOMPARE(EtsProjectReader::derivedPassword(""),
             QByteArray("a/wV5L61/gTOfxSn9IoDBw4EDcvJCKjUFlzyMXurLmg="));
    QCOMPARE(EtsProjectReader::zipPassword(QString::fromUtf8("Pässwörd€1"), 20),
             QString::fromUtf8("Pässwörd€1").toUtf8());
    QCOMPARE(EtsProjectReader::zipPassword("Geheim!", 22),
             QByteArray("8OSt5LUUVh+O6isDTe9RNRdIhq529jg4x920tdAUflI="));
}

void EtsProjectTest::damagedAndHostileArchives_data() {
    QTest::addColumn<QList<TestZipEntry>>("entries");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("words");

    QByteArray inner = testZipBytes({{"0.xml", dataXml(20), ZIP_EM_TRAD_PKWARE, "pw"}});
    QTest::newRow("truncated inner archive")
        << QList<TestZipEntry>{{"knx_master.xml", masterXml(20)},
                               {"P-0A1B.zip", inner.left(inner.size() / 2)}}
        << "pw" << QStringList{"P-0A1B.zip", "damaged or cut short"};
    QTest::newRow("entry that is no XML")
        << QList<TestZipEntry>{{"P-0A1B/0.xml", QByteArray("PK\x03\x04\x00\x01binary", 12)}} << ""
        << QStringList{"P-0A1B/0.xml, line 1:"};
    QByteArray deep = "<KNX>\n";
    for (int i = 0; i < 100; ++i)
        deep += "<a>";
    QTest::newRow("nested too deep") << QList<TestZipEntry>{{"P-0A1B/0.xml", deep}} << ""
                                     << QStringList{"P-0A1B/0.xml, line 2:", "deeper than 64"};
    QByteArray billion = "<?xml version=\"1.0\"?>\n<!DOCTYPE KNX [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                         "\"&a;&a;&a;&a;\">]>\n<KNX>&b;</KNX>";
    QTest::newRow("document type with entities") << QList<TestZipEntry>{{"P-0A1B/0.xml", billion}} << ""
                                                 << QStringList{"P-0A1B/0.xml, line 2:", "document type"};
    QTest::newRow("XML cut short") << QList<TestZipEntry>{{"P-0A1B/0.xml", dataXml(20).left(900)}} << ""
                                   << QStringList{"P-0A1B/0.xml, line", "cut short"};
    QTest::newRow("mismatched tags in the info")
        << QList<TestZipEntry>{{"P-0A1B/project.xml", "<KNX>\n<Project>\n</KNX>"},
                               {"P-0A1B/0.xml", dataXml(20)}}
        << "" << QStringList{"P-0A1B/project.xml, line 3:"};
    QTest::newRow("encrypted entry that is no XML")
        << protectedProject(20, ZIP_EM_TRAD_PKWARE, "pw", "plain text, not xml") << "pw"
        << QStringList{"P-0A1B.zip/0.xml, line 1:"};
    QTest::newRow("no project inside")
        << QList<TestZipEntry>{{"knx_master.xml", masterXml(20)}, {"readme.txt", "hello"}} << ""
        << QStringList{"No project was found"};
}

void EtsProjectTest::damagedAndHostileArchives() {
    QFETCH(QList<TestZipEntry>, entries);
    QFETCH(QString, password);
    QFETCH(QStringList, words);
    const QJsonObject r = read(entries, password);
    QCOMPARE(r.value("status").toString(), QString("error"));
    const QString message = r.value("message").toString();
    for (const QString &w : words)
        QVERIFY2(message.contains(w), qPrintable(message));

    QFile notZip(path("notes.knxproj"));
    QVERIFY(notZip.open(QIODevice::WriteOnly));
    notZip.write("plain text");
    notZip.close();
    const QJsonObject n = EtsProjectReader::read(path("notes.knxproj"), QString());
    QCOMPARE(n.value("status").toString(), QString("error"));
    QVERIFY(n.value("message").toString().contains("could not be opened as an ETS project archive"));
}

void EtsProjectTest::boundsAreErrorsNamingTheEntry() {
    EtsProjectReader::Limits addresses, bytes, devices, ranges;
    addresses.maxGroupAddresses = 3;
    bytes.maxEntryBytes = 1000;
    devices.maxDevices = 2;
    ranges.maxGroupRanges = 2;
    const QList<QPair<EtsProjectReader::Limits, QString>> cases = {
        {addresses, "P-0A1B/0.xml, line 36: the project has more than 3 group addresses"},
        {bytes, "P-0A1B/0.xml: the entry is larger than 1000 bytes"},
        {devices, "P-0A1B/0.xml, line 25: the project has more than 2 devices"},
        {ranges, "P-0A1B/0.xml, line 34: the project has more than 2 group ranges"}};
    for (const auto &c : cases) {
        const QJsonObject r = read(plainProject("ThreeLevel"), QString(), c.first);
        QCOMPARE(r.value("status").toString(), QString("error"));
        QVERIFY2(r.value("message").toString().contains(c.second), qPrintable(r.value("message").toString()));
    }
}

void EtsProjectTest::deepRangePathsAreCut() {
    // Each range below a range, and each address in it, repeats its path: deep ranges with long
    // names must not multiply into texts beyond the bound of one.
    const QString name(200, QChar('n'));
    QByteArray ranges, ends;
    for (int i = 0; i < 30; ++i) {
        ranges +=
            QStringLiteral("<GroupRange Name=\"%1\" RangeStart=\"0\" RangeEnd=\"65535\">").arg(name).toUtf8();
        ends += "</GroupRange>";
    }
    const QByteArray data = "<KNX><Project><GroupAddresses><GroupRanges>" + ranges +
                            "<GroupAddress Id=\"GA-1\" Address=\"1\"/>" + ends +
                            "</GroupRanges></GroupAddresses></Project></KNX>";
    const QJsonObject r = read({{"P-0A1B/0.xml", data}});
    QCOMPARE(r.value("status").toString(), QString("ok"));
    const QString deepest = r.value("groupRanges").toArray().last().toObject().value("path").toString();
    QCOMPARE(deepest.size(), 4096);
    QVERIFY(deepest.startsWith(name + " / " + name));
    QCOMPARE(findByAddress(r, "0/0/1").value("range").toString(), deepest);
}

void EtsProjectTest::aCancelledReadSaysSo() {
    QVERIFY(writeTestZip(path("p.knxproj"), plainProject("ThreeLevel")));
    std::atomic_bool cancel(true);
    const QJsonObject r = EtsProjectReader::read(path("p.knxproj"), QString(), {}, &cancel);
    QCOMPARE(r.value("status").toString(), QString("cancelled"));
}

// The cancel comes while the protected inner archive is being inflated. Its last byte is damaged:
// a reader that looked at its cancel only after inflating the whole entry would find the damage
// and answer with that error instead.
void EtsProjectTest::aCancelWhileTheProtectedProjectInflatesStopsIt() {
    QList<TestZipEntry> entries =
        protectedProject(21, ZIP_EM_AES_256, EtsProjectReader::derivedPassword("Geheim!"), dataXml(21));
    const QByteArray inner = testZipBytes(
        {{"project.xml", infoXml(21, "ThreeLevel")}, {"padding.bin", QByteArray(4 * 1024 * 1024, 'x')}});
    entries.last() = TestZipEntry("P-0A1B.zip", inner, ZIP_EM_NONE, QByteArray(), true);
    QVERIFY(writeTestZip(path("p.knxproj"), entries));
    QFile file(path("p.knxproj"));
    QVERIFY(file.open(QIODevice::ReadWrite));
    const qint64 at = file.readAll().indexOf(inner);
    QVERIFY(at > 0);
    QVERIFY(file.seek(at + inner.size() - 1));
    QVERIFY(file.putChar(char(inner.at(inner.size() - 1) ^ 0x5a)));
    file.close();

    std::atomic_bool cancel(false);
    QStringList stages;
    const QJsonObject r = EtsProjectReader::read(
        path("p.knxproj"), "Geheim!",
        [&](const QString &stage, double) {
            stages << stage;
            if (stage == QLatin1String("Decrypting the project"))
                cancel = true;
        },
        &cancel);
    QVERIFY2(stages.contains("Decrypting the project"), qPrintable(stages.join(", ")));
    QCOMPARE(r.value("status").toString(), QString("cancelled"));
    // Uncancelled, the same archive is damaged: the cancel came before its end was read.
    const QJsonObject whole = EtsProjectReader::read(path("p.knxproj"), "Geheim!");
    QCOMPARE(whole.value("status").toString(), QString("error"));
}

void EtsProjectTest::importRunsOffTheCallingThread() {
    QVERIFY(writeTestZip(
        path("p.knxproj"),
        protectedProject(21, ZIP_EM_AES_256, EtsProjectReader::derivedPassword("Geheim!"), dataXml(21))));
    EtsImport import;
    QSignalSpy progress(&import, &EtsImport::progress);
    QSignalSpy finished(&import, &EtsImport::finished);
    // A read replaced by a new one never answers.
    import.start(path("p.knxproj"), "wrong");
    import.start(path("p.knxproj"), "Geheim!");
    QVERIFY(finished.wait(30000));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
    const QJsonObject r = QJsonDocument::fromJson(finished.at(0).at(0).toString().toUtf8()).object();
    QCOMPARE(r.value("status").toString(), QString("ok"));
    QCOMPARE(r.value("groupAddresses").toArray().size(), 4);
    QVERIFY(!import.running());
    QVERIFY(progress.size() >= 2);
    const QJsonObject last = QJsonDocument::fromJson(progress.last().at(0).toString().toUtf8()).object();
    QCOMPARE(last.value("fraction").toDouble(), 1.0);
}

void EtsProjectTest::dataPointTypes() {
    const QList<QPair<QString, QString>> cases = {{"DPST-1-1", "1.001"},
                                                  {"DPST-9-1", "9.001"},
                                                  {"DPST-20-102", "20.102"},
                                                  {"dpst-14-56", "14.056"},
                                                  {"DPT-9", "9"},
                                                  {"", ""},
                                                  {"DPST-5-1 DPST-5-4", "5.001"},
                                                  {"DPST-5-1,DPST-5-4", "5.001"},
                                                  {"weird", "weird"},
                                                  {"DPST-1-123456", "DPST-1-123456"},
                                                  {"DPT-", "DPT-"},
                                                  {"DPST-1-1-1", "DPST-1-1-1"},
                                                  {"  DPT-14 ", "14"}};
    for (const auto &c : cases)
        QCOMPARE(EtsProjectReader::normaliseDpt(c.first), c.second);
    using S = EtsProjectReader::Style;
    QCOMPARE(EtsProjectReader::formatGroupAddress(65535, S::ThreeLevel), QString("31/7/255"));
    QCOMPARE(EtsProjectReader::formatGroupAddress(65535, S::TwoLevel), QString("31/2047"));
    QCOMPARE(EtsProjectReader::formatGroupAddress(65535, S::Free), QString("65535"));
    QCOMPARE(EtsProjectReader::formatGroupAddress(0, S::TwoLevel), QString("0/0"));
}

void EtsProjectTest::linkedObjectsGiveTheirType_data() {
    QTest::addColumn<QString>("ownType");
    QTest::addColumn<QStringList>("objects");
    QTest::addColumn<bool>("withProgram");
    QTest::addColumn<QString>("dpt");
    QTest::addColumn<QString>("dptRaw");
    QTest::addColumn<QString>("from");
    QTest::newRow("the address's own type wins")
        << "DPST-9-1" << QStringList{"send 1 DPST-1-9"} << true << "9.001"
        << "DPST-9-1"
        << "";
    QTest::newRow("the instance reference wins over the object reference")
        << "" << QStringList{"send 1 DPST-1-9"} << true << "1.009"
        << "DPST-1-9"
        << "1.1.1 #11 ComObjectInstanceRef";
    QTest::newRow("of several types on the instance, the first")
        << "" << QStringList{"send 1 DPST-1-10,DPST-1-9"} << true << "1.010"
        << "DPST-1-10"
        << "1.1.1 #11 ComObjectInstanceRef";
    QTest::newRow("the object reference wins over the program's object")
        << "" << QStringList{"send 1"} << true << "1.008"
        << "DPST-1-8"
        << "1.1.1 #11 ComObjectRef";
    QTest::newRow("an object reference without a type falls back to the program's object")
        << "" << QStringList{"send 2"} << true << "5.001"
        << "DPST-5-1"
        << "1.1.1 #12 ComObject";
    QTest::newRow("disagreeing: a sending object wins over a listening one before it")
        << "" << QStringList{"listen 4", "send 1"} << true << "1.008"
        << "DPST-1-8"
        << "1.1.2 #11 ComObjectRef";
    QTest::newRow("disagreeing senders: the first in the project wins")
        << "" << QStringList{"send 2", "send 1", "send 4"} << true << "5.001"
        << "DPST-5-1"
        << "1.1.1 #12 ComObject";
    QTest::newRow("a sender without a type leaves it to a listening object")
        << "" << QStringList{"send 5", "listen 5", "listen 4"} << true << "9.001"
        << "DPST-9-1"
        << "1.1.3 #14 ComObject";
    QTest::newRow("no type anywhere: 1 bit is DPT 1")
        << "" << QStringList{"listen 5", "send 3"} << true << "1"
        << "DPT-1"
        << "1.1.2 #13 ObjectSize";
    QTest::newRow("no type, and a size that several types share: none")
        << "" << QStringList{"send 5"} << true << ""
        << ""
        << "";
    QTest::newRow("without the program, only the project's instances count")
        << "" << QStringList{"send 1", "listen 2 DPST-5-4"} << false << "5.004"
        << "DPST-5-4"
        << "1.1.2 #2 ComObjectInstanceRef";
    QTest::newRow("no linked object") << "" << QStringList{} << true << ""
                                      << ""
                                      << "";
}

void EtsProjectTest::linkedObjectsGiveTheirType() {
    QFETCH(QString, ownType);
    QFETCH(QStringList, objects);
    QFETCH(bool, withProgram);
    QFETCH(QString, dpt);
    QFETCH(QString, dptRaw);
    QFETCH(QString, from);
    QList<TestZipEntry> entries{{"M-0083/Hardware.xml", kHardware},
                                {"P-0001/0.xml", typedProjectXml(ownType, objects)}};
    if (withProgram)
        entries.append({"M-0083/M-0083_A-0001-10-ABCD.xml", kTypedApplication});
    const QJsonObject r = read(entries);
    QCOMPARE(r.value("status").toString(), QString("ok"));
    const QJsonObject ga = findByAddress(r, "0/0/1");
    QCOMPARE(ga.value("dpt").toString(), dpt);
    QCOMPARE(ga.value("dptRaw").toString(), dptRaw);
    QCOMPARE(typeSource(ga), from);
    QVERIFY(ga.contains("dptFrom"));
    // Each linked object shows its own type, the address's own type left alone.
    QCOMPARE(ga.value("links").toArray().size(), objects.size());
    QCOMPARE(findByAddress(r, "0/0/2").value("dpt").toString(), QString("14.056"));
    QVERIFY(findByAddress(r, "0/0/2").value("dptFrom").isNull());
}

QTEST_GUILESS_MAIN(EtsProjectTest)
#include "tst_etsproject.moc"
