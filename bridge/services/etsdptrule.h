#pragma once

#include <QString>
#include <QVector>

// What one communication object linked to a group address says of its data point type.
struct EtsLinkedType {
    QString dpt;  // the object's DatapointType (the first of several), empty when it has none
    QString size; // its ObjectSize ("1 Bit"), empty when unknown
    bool sends;   // the group address is the one the object sends on (its first link)
};

// The data point type that a group address without one of its own takes from the objects linked
// to it.
//
// ETS decodes a group address's telegrams with, in this order: the type set on the group address;
// the type of an object that sends on the address (of several, ETS takes any one); the default
// type for the size of the linked objects. We follow that order and fix its open choice:
//   1. the first object, in project order, that sends on the address and has a type;
//   2. else the first other linked object that has a type (ETS would go by size here; an
//      object's own type says more than its size);
//   3. else the type that an object's size implies, sending objects first: 1 Bit is DPT 1 and
//      4 Bit DPT 3; other sizes are shared by several main types and imply none.
// So when linked objects disagree, a sending object wins over listening ones, and of several
// sending objects the first in the project (by area, line, device, then object) wins.
class EtsDptRule {
public:
    struct Choice {
        QString dpt;     // "DPST-1-8" as the object writes it, or "DPT-1" from a size; empty: none
        int object = -1; // index of the object it came from
        bool bySize = false;
    };

    static Choice choose(const QVector<EtsLinkedType> &objects);
    // "1 Bit" -> "DPT-1", "4 Bit" -> "DPT-3", anything else -> "".
    static QString typeOfSize(const QString &size);
};
