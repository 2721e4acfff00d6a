#pragma once

#include <QString>

// Builds the JavaScript texts by which late answers reach the page. Anything that came from the
// network or the file system passes through here, so that it arrives in the page as data and
// never runs as code there (the page holds vyxDesk, which can write files).
namespace PageScript {

// A double-quoted JavaScript string literal holding exactly `text`. Quotes, backslashes, line
// terminators and other control characters are escaped; any other text stays byte-identical.
QString stringLiteral(const QString &text);

// A single-quoted JavaScript string literal holding exactly `text` (same escapes, and the single
// quote escaped as well).
QString singleQuotedLiteral(const QString &text);

// The body of stringLiteral() without the surrounding quotes.
QString escapeString(const QString &text);

// "(callback)(\"text\")": the string form, with the text escaped.
QString stringCall(const QString &callback, const QString &text);

// "(callback)(expression)": the expression form, for arguments this program built itself.
QString expressionCall(const QString &callback, const QString &expression);

// True when `text` is one complete JSON value (object, array, string, number, true, false, null).
bool isJsonValue(const QString &text);

// `text` unchanged when it is a JSON value, otherwise `text` as a string literal: a reply body from
// the network is safe to hand to the page either way.
QString jsonOrStringLiteral(const QString &text);

// The answer in a discovery datagram: its bytes up to the first NUL, as Latin-1, when they hold the
// answer marker "vyx-kore-wa-desu"; "" when the datagram is no answer.
QString discoveryAnswer(const QByteArray &datagram);

// The call that reports one found server: (callback)("sender|answer","answer"), both escaped.
QString discoveryCall(const QString &callback, const QString &sender, const QString &answer);

// "window.eval.call(window,%1)" with %1 replaced by `script`.
QString evalWrapped(const QString &script);

} // namespace PageScript
