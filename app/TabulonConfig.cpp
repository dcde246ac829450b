#include "Tabulon.h"

#include <QFile>
#include <QTextCodec>
#include <QTextStream>

namespace {

// Notepad on Windows 10 and 11 saves UTF-8 without a byte-order mark; older
// files may be in the system's code page (GBK on a Chinese PC), and those
// are seldom valid UTF-8. So bytes that are valid UTF-8 are read as such,
// others in the system's code page. A byte-order mark still decides first:
// the stream detects it whatever codec it was given.
QTextCodec *codecFor(const QByteArray &bytes)
{
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0 ? utf8 : QTextCodec::codecForLocale();
}

} // namespace

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
    // The raw bytes for the choice; the stream then reads the file as it
    // always has, text mode included.
    file.setTextModeEnabled(false);
    const QByteArray bytes = file.readAll();
    file.setTextModeEnabled(true);
    file.seek(0);
    QTextStream in(&file);
    in.setCodec(codecFor(bytes));
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
