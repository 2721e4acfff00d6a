#include "boundedxml.h"

#include <QXmlStreamReader>

namespace BoundedXml {

bool withinBounds(const QByteArray &xml) {
    if (xml.size() > kMaxBytes)
        return false;
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > kMaxDepth)
                return false;
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    return true;
}

} // namespace BoundedXml
