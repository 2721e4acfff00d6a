#pragma once

#include <QByteArray>

// XML from a server is parsed into a DOM only after one streaming pass has shown that it stays
// within bounds: DOM building, rendering and freeing recurse once per level, and the handlers
// run on threads with small stacks.
namespace BoundedXml {

constexpr int kMaxDepth = 64;
constexpr int kMaxBytes = 16 * 1024 * 1024;

// False for a document larger than kMaxBytes or with elements nested deeper than kMaxDepth.
// A document that is not well-formed is left to the DOM parser to refuse.
bool withinBounds(const QByteArray &xml);

} // namespace BoundedXml
