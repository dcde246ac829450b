// Compiled by windows-check.sh with the flags of the project's sources: it
// fails unless Debian's Qt headers, configured for Linux, take their Windows
// branches under mingw-w64, so the check really sees the Windows side of
// every #ifdef Q_OS_WIN / Q_OS_UNIX in the sources.

#include <QProcess>
#include <QtGlobal>

#if !defined(Q_OS_WIN) || !defined(Q_OS_WIN64) || !defined(Q_CC_MINGW)
#error "Q_OS_WIN, Q_OS_WIN64 and Q_CC_MINGW must be defined"
#endif
#if defined(Q_OS_UNIX) || defined(Q_OS_LINUX)
#error "Q_OS_UNIX and Q_OS_LINUX must not be defined"
#endif
#if QT_VERSION < QT_VERSION_CHECK(5, 14, 0)
#error "Qt 5.14 or later"
#endif

// Declared by Qt's headers on Windows only.
[[maybe_unused]] static void (QProcess::*const windowsOnly)(const QString &) = &QProcess::setNativeArguments;
