#pragma once

#include "programoptions.h"

#include <QFile>
#include <QtTest>

// What the configuration tests of both programs and of their shared option
// reader have in common: writing a file for the reader, and the check that a
// program's option table is one that --help can list. Header-only.
namespace ConfigTesting {

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Every row a distinct small letter with a one-line description, in the
// order `letters` gives. A failed check fails the calling test.
inline void checkOptionTable(const ProgramOptions::Table& table, const QString& letters)
{
    QString seen;
    for (const ProgramOptions::Option& row : table) {
        QVERIFY2(!seen.contains(row.letter), qPrintable(QString(row.letter)));
        QVERIFY(row.letter.isLower());
        QVERIFY(!row.description.isEmpty() && !row.description.contains(QLatin1Char('\n')));
        seen += row.letter;
    }
    QCOMPARE(seen, letters);
}

} // namespace ConfigTesting
