#include "Tabulon.h"

#include <QFile>
#include <QTextStream>

// Reads the INI-style display settings: section "avoid" hides columns whose
// value is exactly "true", section "customName" gives header texts. The
// first entry of a key wins; anything unrecognised is skipped silently.
bool Tabulon::readConfig(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        file.close();
        return false;
    }
    QTextStream in(&file);
    QString currentSection;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            currentSection = line.mid(1, line.length() - 2);
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || currentSection.isEmpty())
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (currentSection == QLatin1String("avoid")) {
            if (value == QLatin1String("true"))
                hiddenColumns.insert({key, value});
        } else if (currentSection == QLatin1String("customName")) {
            displayNames.insert({key, QString::fromUtf8(value.toUtf8().constData())});
        }
    }
    file.close();
    return true;
}
