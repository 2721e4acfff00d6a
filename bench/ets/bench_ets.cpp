// Reads a synthetic ETS project of 20,000 group addresses and 2,000 devices (ten linked objects
// each), plain and protected with AES, and reports the best of a few runs. Every second group
// address has no type of its own and takes one from its objects: half of them give it in the
// project, the others only in their application program. Not a test: it prints numbers and one
// RESULT line per goal.
#include "etsproject.h"
#include "testzip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kGroupAddresses = 20000;
constexpr int kDevices = 2000;
constexpr int kObjectsPerDevice = 10;

QByteArray projectXml() {
    QByteArray xml;
    xml.reserve(16 * 1024 * 1024);
    xml += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<KNX xmlns=\"http://knx.org/xml/project/21\" "
           "CreatedBy=\"ETS6\" "
           "ToolVersion=\"6.1.0\">\n<Project Id=\"P-0001\"><Installations><Installation "
           "Name=\"\">\n<Topology>\n";
    int device = 0;
    for (int area = 1; area <= 10 && device < kDevices; ++area) {
        xml += "<Area Id=\"A-" + QByteArray::number(area) + "\" Name=\"Area " + QByteArray::number(area) +
               "\" Address=\"" + QByteArray::number(area) + "\">\n";
        for (int line = 1; line <= 10 && device < kDevices; ++line) {
            xml += " <Line Id=\"L-" + QByteArray::number(area * 100 + line) + "\" Name=\"Line\" Address=\"" +
                   QByteArray::number(line) + "\"><Segment Id=\"S-1\" Number=\"0\">\n";
            for (int d = 1; d <= kDevices / 100; ++d, ++device) {
                xml += "  <DeviceInstance Id=\"D-" + QByteArray::number(device) +
                       "\" Name=\"Switch actuator " + QByteArray::number(device) + "\" Address=\"" +
                       QByteArray::number(d) + "\" ProductRefId=\"M-0083_H-1_P-" +
                       QByteArray::number(device % 50) +
                       "\" Hardware2ProgramRefId=\"M-0083_H-1_HP-1\">"
                       "<ComObjectInstanceRefs>\n";
                for (int o = 0; o < kObjectsPerDevice; ++o) {
                    const int ga = (device * kObjectsPerDevice + o) % kGroupAddresses + 1;
                    xml += "   <ComObjectInstanceRef RefId=\"O-" + QByteArray::number(o) + "_R-" +
                           QByteArray::number(o) + "\" Text=\"Channel " + QByteArray::number(o) +
                           "\" FunctionText=\"Switching\"" +
                           (o % 2 ? QByteArray(" DatapointType=\"DPST-1-8\"") : QByteArray()) +
                           " Links=\"GA-" + QByteArray::number(ga) + " GA-" +
                           QByteArray::number(ga % kGroupAddresses + 1) + "\"/>\n";
                }
                xml += "  </ComObjectInstanceRefs></DeviceInstance>\n";
            }
            xml += " </Segment></Line>\n";
        }
        xml += "</Area>\n";
    }
    xml += "</Topology>\n<GroupAddresses><GroupRanges>\n";
    int ga = 0;
    for (int main = 0; main < 32 && ga < kGroupAddresses; ++main) {
        xml += "<GroupRange Id=\"R-" + QByteArray::number(main) + "\" Name=\"Main " +
               QByteArray::number(main) + "\" RangeStart=\"" + QByteArray::number(main << 11) +
               "\" RangeEnd=\"" + QByteArray::number((main << 11) + 2047) + "\">\n";
        for (int middle = 0; middle < 8 && ga < kGroupAddresses; ++middle) {
            xml += " <GroupRange Id=\"R-" + QByteArray::number(main * 8 + middle + 100) +
                   "\" Name=\"Middle\" RangeStart=\"" + QByteArray::number((main << 11) | (middle << 8)) +
                   "\" RangeEnd=\"" + QByteArray::number((main << 11) | (middle << 8) | 255) + "\">\n";
            for (int sub = 1; sub < 256 && ga < kGroupAddresses; ++sub) {
                ++ga;
                xml += "  <GroupAddress Id=\"P-0001-0_GA-" + QByteArray::number(ga) + "\" Address=\"" +
                       QByteArray::number((main << 11) | (middle << 8) | sub) + "\" Name=\"Light " +
                       QByteArray::number(ga) + " switch\" Description=\"Room " +
                       QByteArray::number(ga % 97) + "\"" +
                       (ga % 2 ? QByteArray(" DatapointType=\"DPST-1-1\"") : QByteArray()) + "/>\n";
            }
            xml += " </GroupRange>\n";
        }
        xml += "</GroupRange>\n";
    }
    xml += "</GroupRanges></GroupAddresses>\n</Installation></Installations></Project></KNX>\n";
    return xml;
}

QByteArray hardwareXml() {
    QByteArray xml =
        "<KNX xmlns=\"http://knx.org/xml/project/21\"><ManufacturerData><Manufacturer RefId=\"M-0083\">"
        "<Hardware><Hardware Id=\"M-0083_H-1\"><Products>";
    for (int p = 0; p < 50; ++p)
        xml += "<Product Id=\"M-0083_H-1_P-" + QByteArray::number(p) + "\" Text=\"Product " +
               QByteArray::number(p) + "\"/>";
    return xml + "</Products><Hardware2Programs><Hardware2Program Id=\"M-0083_H-1_HP-1\">"
                 "<ApplicationProgramRef RefId=\"M-0083_A-0001-10-ABCD\"/></Hardware2Program>"
                 "</Hardware2Programs></Hardware></Hardware></Manufacturer></ManufacturerData></KNX>";
}

// The devices' application program: each object's type on the object, none on its reference.
QByteArray applicationXml() {
    QByteArray objects, refs;
    for (int o = 0; o < kObjectsPerDevice; ++o) {
        const QByteArray id = "M-0083_A-0001-10-ABCD_O-" + QByteArray::number(o);
        objects += "<ComObject Id=\"" + id + "\" Number=\"" + QByteArray::number(o) + "\" Text=\"Output " +
                   QByteArray::number(o) + "\" ObjectSize=\"1 Bit\" DatapointType=\"DPST-1-1\"/>";
        refs += "<ComObjectRef Id=\"" + id + "_R-" + QByteArray::number(o) + "\" RefId=\"" + id + "\"/>";
    }
    return "<KNX xmlns=\"http://knx.org/xml/project/21\"><ManufacturerData><Manufacturer RefId=\"M-0083\">"
           "<ApplicationPrograms><ApplicationProgram Id=\"M-0083_A-0001-10-ABCD\"><Static><ComObjectTable>" +
           objects + "</ComObjectTable><ComObjectRefs>" + refs +
           "</ComObjectRefs></Static></ApplicationProgram></ApplicationPrograms></Manufacturer>"
           "</ManufacturerData></KNX>";
}

int inferredTypes(const QJsonObject &result) {
    int n = 0;
    for (const QJsonValue &ga : result.value("groupAddresses").toArray())
        n += ga.toObject().value("dptFrom").isObject() && !ga.toObject().value("dpt").toString().isEmpty();
    return n;
}

// Best of three reads, in seconds; -1 when a read fails.
double bestRead(const QString &path, const QString &password) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QJsonObject r = EtsProjectReader::read(path, password);
        const double seconds = timer.nsecsElapsed() / 1e9;
        if (r.value("status").toString() != "ok" ||
            r.value("groupAddresses").toArray().size() != kGroupAddresses ||
            r.value("deviceCount").toInt() != kDevices) {
            std::printf("read failed: %s\n", qPrintable(r.value("message").toString()));
            return -1;
        }
        if (inferredTypes(r) != kGroupAddresses / 2) {
            std::printf("read failed: %d group addresses took a type from their objects, not %d\n",
                        inferredTypes(r), kGroupAddresses / 2);
            return -1;
        }
        best = qMin(best, seconds);
    }
    return best;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QByteArray xml = projectXml();
    const QByteArray info =
        "<KNX xmlns=\"http://knx.org/xml/project/21\"><Project Id=\"P-0001\">"
        "<ProjectInformation Name=\"Bench\" GroupAddressStyle=\"ThreeLevel\"/></Project></KNX>";
    const QByteArray master = "<KNX xmlns=\"http://knx.org/xml/project/21\"/>";
    std::printf("project XML: %.1f MB, %d group addresses, %d devices, %d links\n", xml.size() / 1e6,
                kGroupAddresses, kDevices, kDevices * kObjectsPerDevice * 2);

    const QString plain = dir.filePath("plain.knxproj");
    const QString locked = dir.filePath("protected.knxproj");
    const QByteArray password = EtsProjectReader::derivedPassword("bench");
    const QByteArray inner = testZipBytes(
        {{"project.xml", info, ZIP_EM_AES_256, password}, {"0.xml", xml, ZIP_EM_AES_256, password}});
    if (!writeTestZip(plain, {{"knx_master.xml", master},
                              {"M-0083/Hardware.xml", hardwareXml()},
                              {"M-0083/M-0083_A-0001-10-ABCD.xml", applicationXml()},
                              {"P-0001/project.xml", info},
                              {"P-0001/0.xml", xml}}) ||
        inner.isEmpty() ||
        !writeTestZip(locked, {{"knx_master.xml", master},
                               {"M-0083/Hardware.xml", hardwareXml()},
                               {"M-0083/M-0083_A-0001-10-ABCD.xml", applicationXml()},
                               {"P-0001.zip", inner}})) {
        std::printf("could not write the synthetic archives\n");
        return 1;
    }
    const double plainSeconds = bestRead(plain, QString());
    const double lockedSeconds = bestRead(locked, QStringLiteral("bench"));
    if (plainSeconds < 0 || lockedSeconds < 0)
        return 1;
    std::printf("plain project: %.3f s\nprotected project (AES, derived password): %.3f s\n", plainSeconds,
                lockedSeconds);
    std::printf("RESULT ets_parse_20000_ga_2000_devices_s %.3f goal < 1\n", plainSeconds);
    std::printf("RESULT ets_parse_protected_s %.3f goal < 1\n", lockedSeconds);
    return plainSeconds < 1 && lockedSeconds < 1 ? 0 : 2;
}
