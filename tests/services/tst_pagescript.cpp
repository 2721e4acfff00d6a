#include "pagescript.h"

#include <QtTest>

class PageScriptTest : public QObject {
    Q_OBJECT

private slots:
    void stringLiterals_data();
    void stringLiterals();
    void jsonOrStringLiteral_data();
    void jsonOrStringLiteral();
    void callTexts();
};

void PageScriptTest::stringLiterals_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("doubleQuoted");
    QTest::addColumn<QString>("singleQuoted");
    QTest::newRow("plain") << "/home/a b"
                           << "\"/home/a b\""
                           << "'/home/a b'";
    QTest::newRow("quotes") << "o'neil \"x\""
                            << "\"o'neil \\\"x\\\"\""
                            << "'o\\'neil \\\"x\\\"'";
    QTest::newRow("backslash") << "C:\\dir\\"
                               << "\"C:\\\\dir\\\\\""
                               << "'C:\\\\dir\\\\'";
    QTest::newRow("line breaks") << "a\nb\rc"
                                 << "\"a\\nb\\rc\""
                                 << "'a\\nb\\rc'";
    QTest::newRow("separators") << QString(QChar(0x2028)) + QChar(0x2029) << "\"\\u2028\\u2029\""
                                << "'\\u2028\\u2029'";
    QTest::newRow("control") << QString(QChar(1)) << "\"\\u0001\""
                             << "'\\u0001'";
    QTest::newRow("unicode") << "Wärme €"
                             << "\"Wärme €\""
                             << "'Wärme €'";
    QTest::newRow("empty") << ""
                           << "\"\""
                           << "''";
}

void PageScriptTest::stringLiterals() {
    QFETCH(QString, text);
    QFETCH(QString, doubleQuoted);
    QFETCH(QString, singleQuoted);
    QCOMPARE(PageScript::stringLiteral(text), doubleQuoted);
    QCOMPARE(PageScript::singleQuotedLiteral(text), singleQuoted);
}

void PageScriptTest::jsonOrStringLiteral_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("argument");
    QTest::newRow("array") << "[1,2]"
                           << "[1,2]";
    QTest::newRow("object") << "{\"a\": \"b\"}\n"
                            << "{\"a\": \"b\"}\n";
    QTest::newRow("number") << "42"
                            << "42";
    QTest::newRow("string") << "\"x\""
                            << "\"x\"";
    QTest::newRow("code") << "alert(1)"
                          << "\"alert(1)\"";
    QTest::newRow("two values") << "1,2"
                                << "\"1,2\"";
    QTest::newRow("closing bracket") << "[1]]"
                                     << "\"[1]]\"";
    QTest::newRow("html") << "<p>\"hi\"</p>\n"
                          << "\"<p>\\\"hi\\\"</p>\\n\"";
    QTest::newRow("separator in json") << QString("[\"a") + QChar(0x2028) + "\"]"
                                       << "[\"a\\u2028\"]";
}

void PageScriptTest::jsonOrStringLiteral() {
    QFETCH(QString, body);
    QFETCH(QString, argument);
    QCOMPARE(PageScript::jsonOrStringLiteral(body), argument);
}

void PageScriptTest::callTexts() {
    QCOMPARE(PageScript::stringCall("app.done", "a\"b"), QString("(app.done)(\"a\\\"b\")"));
    QCOMPARE(PageScript::expressionCall("onData", "[1,2]"), QString("(onData)([1,2])"));
    QCOMPARE(PageScript::evalWrapped("(onData)([1,2])"), QString("window.eval.call(window,(onData)([1,2]))"));
}

QTEST_GUILESS_MAIN(PageScriptTest)
#include "tst_pagescript.moc"
