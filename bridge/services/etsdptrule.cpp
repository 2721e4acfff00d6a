#include "etsdptrule.h"

#include <functional>

namespace {

// The first object, sending ones first, for which `take` gives a type.
EtsDptRule::Choice first(const QVector<EtsLinkedType> &objects,
                         const std::function<QString(const EtsLinkedType &)> &take) {
    for (const bool sending : {true, false})
        for (int i = 0; i < objects.size(); ++i) {
            if (objects.at(i).sends != sending)
                continue;
            const QString dpt = take(objects.at(i));
            if (!dpt.isEmpty())
                return {dpt, i, false};
        }
    return {};
}

} // namespace

EtsDptRule::Choice EtsDptRule::choose(const QVector<EtsLinkedType> &objects) {
    const Choice typed = first(objects, [](const EtsLinkedType &o) { return o.dpt; });
    if (!typed.dpt.isEmpty())
        return typed;
    Choice sized = first(objects, [](const EtsLinkedType &o) { return typeOfSize(o.size); });
    sized.bySize = !sized.dpt.isEmpty();
    return sized;
}

QString EtsDptRule::typeOfSize(const QString &size) {
    const QString s = size.simplified();
    if (s.compare(QLatin1String("1 Bit"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("DPT-1");
    if (s.compare(QLatin1String("4 Bit"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("DPT-3");
    return QString();
}
