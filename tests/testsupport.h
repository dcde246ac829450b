#pragma once

// Shared fixtures: a temporary working directory laid out as the viewer
// expects it, small SQLite databases built from SQL text, a controller on
// the snapshot of one, the process's time zone, and capture of standard
// output, standard error and the Qt log.

#include "sqlControler.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include <sqlite3.h>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

namespace testsupport {

inline const char *sourcePath()
{
    return "sqlDatabase/QOR-database.db";
}
inline const char *snapshotFile()
{
    return "sqlDatabase/QOR-database-temp.db";
}

// Makes a fresh temporary directory the working directory for its lifetime.
class WorkDir {
public:
    WorkDir()
        : previous(QDir::currentPath())
    {
        QDir::setCurrent(dir.path());
    }
    ~WorkDir()
    {
        QDir::setCurrent(previous);
    }
    QString path() const
    {
        return dir.path();
    }
    bool isValid() const
    {
        return dir.isValid();
    }

private:
    QTemporaryDir dir;
    QString previous;
};

// Runs SQL on a database file; returns SQLite's error text, empty on success.
inline std::string execSql(const std::string &file, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::string error;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        error = sqlite3_errmsg(db);
    } else {
        char *message = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
            error = message ? message : "unknown error";
        sqlite3_free(message);
    }
    sqlite3_close(db);
    return error;
}

// Creates sqlDatabase/QOR-database.db in the working directory from SQL.
inline std::string makeSourceDatabase(const std::string &sql)
{
    QDir().mkpath(QStringLiteral("sqlDatabase"));
    return execSql(sourcePath(), sql);
}

// Runs a query and returns its rows, each row's values joined by '|'.
inline QStringList queryRows(const std::string &file, const std::string &sql)
{
    QStringList rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, sql.c_str(),
            [](void *context, int argc, char **argv, char **) {
                QStringList values;
                for (int i = 0; i < argc; ++i)
                    values << (argv[i] ? QString::fromUtf8(argv[i]) : QStringLiteral("<null>"));
                static_cast<QStringList *>(context)->append(values.join(QLatin1Char('|')));
                return 0;
            },
            &rows, nullptr);
    }
    sqlite3_close(db);
    return rows;
}

// Every file and folder below root, with its size, so that anything
// created, left behind or changed shows.
inline QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(
        root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        entries << QDir(root).relativeFilePath(info.filePath())
                + (info.isDir() ? "/" : " " + QString::number(info.size()));
    }
    entries.sort();
    return entries;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes raw bytes to a file, creating its folder; false when it cannot.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A working directory with a source database built from SQL, and a
// controller that has taken and opened its snapshot. The controller is
// closed at the end unless the test closed it itself.
struct ControllerFixture {
    explicit ControllerFixture(const std::string &sql)
        : error(makeSourceDatabase(sql))
        , source(fileBytes(sourcePath()))
    {
        controller.initPara();
    }
    ~ControllerFixture()
    {
        if (!closed)
            controller.closeDatabase();
    }
    // Closes the controller; true when the source is still byte for byte
    // what it was and the snapshot is gone.
    bool close()
    {
        controller.closeDatabase();
        closed = true;
        return fileBytes(sourcePath()) == source && !QFile::exists(snapshotFile());
    }

    WorkDir dir;
    std::string error; // building the source, empty on success
    QByteArray source;
    sqlController controller;
    bool closed = false;
};

// Sets the process's time zone (TZ) while it lives and puts the previous
// setting back; the C library reads TZ again only on tzset().
class ProcessTimeZone {
public:
    explicit ProcessTimeZone(const QByteArray &tz)
        : previous(qgetenv("TZ"))
        , wasSet(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", tz);
        reread();
    }
    ~ProcessTimeZone()
    {
        if (wasSet)
            qputenv("TZ", previous);
        else
            qunsetenv("TZ");
        reread();
    }

private:
    QByteArray previous;
    bool wasSet;
    static void reread()
    {
#ifdef Q_OS_WIN
        _tzset();
#else
        tzset();
#endif
    }
};

// True when the Windows build runs under Wine, whose gaps a test names.
inline bool underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

enum class LinkKind { Symbolic, Hard };

// Makes a link at `link` to `target`, the system's own kind (not a Windows
// shortcut, which QFile::link makes there). Empty on success, else why it
// cannot be made here, for a test to skip with.
inline QString makeLink(LinkKind kind, const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    const std::wstring from = QDir::toNativeSeparators(link).toStdWString();
    const std::wstring to = QDir::toNativeSeparators(target).toStdWString();
    if (kind == LinkKind::Hard)
        return CreateHardLinkW(from.c_str(), to.c_str(), nullptr)
            ? QString()
            : QStringLiteral("CreateHardLinkW failed (error %1)").arg(GetLastError());
    // Unprivileged creation needs developer mode (Windows 10 1703 and later).
    constexpr DWORD allowUnprivileged = 0x2;
    if (!CreateSymbolicLinkW(from.c_str(), to.c_str(), allowUnprivileged))
        return QStringLiteral("symbolic links need an administrator or developer mode here (error %1)")
            .arg(GetLastError());
    const DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return underWine() ? QStringLiteral("Wine makes no symbolic links (CreateSymbolicLinkW reports success and "
                                            "creates nothing)")
                           : QStringLiteral("CreateSymbolicLinkW made no link");
    return QString();
#else
    const QByteArray from = QFile::encodeName(link);
    const QByteArray to = QFile::encodeName(target);
    const int rc = kind == LinkKind::Hard ? ::link(to.constData(), from.constData())
                                          : ::symlink(to.constData(), from.constData());
    return rc == 0 ? QString()
                   : QStringLiteral("making the link failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
#endif
}

// Captures what the code writes to std::cout or std::cerr while it lives.
class StreamCapture {
public:
    explicit StreamCapture(std::ostream &stream)
        : stream(stream)
        , previous(stream.rdbuf(buffer.rdbuf()))
    {
    }
    ~StreamCapture()
    {
        stream.rdbuf(previous);
    }
    std::string text() const
    {
        return buffer.str();
    }

private:
    std::ostream &stream;
    std::ostringstream buffer;
    std::streambuf *previous;
};

struct LogLine {
    QtMsgType type;
    QString message;
    QString file;
    int line;
    QString function;
};

// Collects Qt log messages, with their source location, while it lives.
class LogCapture {
public:
    LogCapture()
    {
        current() = this;
        previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }
    QList<LogLine> lines;

private:
    QtMessageHandler previous;
    static LogCapture *&current()
    {
        static LogCapture *instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (LogCapture *self = current())
            self->lines.append(
                {type, message, QString::fromUtf8(context.file), context.line, QString::fromUtf8(context.function)});
    }
};

// Mounts a small tmpfs (a full disk, or a read-only one, which holds even
// for root); unmounted again when done. Needs root and mount rights:
// `mounted` says whether it worked, `error` why not.
class Mount {
public:
    explicit Mount(const QString &path, const QString &size = QStringLiteral("8m"))
        : path(path)
    {
        QDir().mkpath(path);
        mounted = run({"-t", "tmpfs", "-o", "size=" + size, "tmpfs", path});
    }
    ~Mount()
    {
        if (!mounted)
            return;
        // A working directory inside the mount would keep it busy.
        if (QDir::currentPath().startsWith(path))
            QDir::setCurrent(QFileInfo(path).path());
        QProcess::execute("umount", {path});
    }
    bool makeReadOnly()
    {
        return run({"-o", "remount,ro", path});
    }
    bool mounted = false;
    QString error;

private:
    QString path;
    bool run(const QStringList &arguments)
    {
#ifdef Q_OS_WIN
        Q_UNUSED(arguments);
        error = QStringLiteral("Windows mounts no tmpfs");
        return false;
#else
        QProcess mount;
        mount.setProcessChannelMode(QProcess::MergedChannels);
        mount.start("mount", arguments);
        if (!mount.waitForFinished(10000) || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
            error = mount.errorString() + ": " + QString::fromLocal8Bit(mount.readAll()).trimmed();
            return false;
        }
        return true;
#endif
    }
};

} // namespace testsupport
