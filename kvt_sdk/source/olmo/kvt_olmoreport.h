#ifndef KVT_OLMOREPORT_H
#define KVT_OLMOREPORT_H

// Internal: builds a kvtError at the calling line and reports it; gives its number.
#include "kvt_error.h"

#define KVT_OLMO_REPORT(number, message, file, site)                                                         \
    ::kvt::kvtErrorReport(::kvt::kvtError((number), (message), (file), (site), __LINE__))

#endif
