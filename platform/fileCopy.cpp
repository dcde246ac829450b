#include "fileCopy.h"

#include <QFile>

#include <vector>

namespace {

constexpr size_t chunkSize = 1 << 20;

FileCopy failure(FileCopy::Status status, const QString &error)
{
    return FileCopy{status, error};
}

} // namespace

#ifdef Q_OS_WIN

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QDir>

#include <algorithm>
#include <string>

namespace {

QString systemError(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString message = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return message;
}

FileCopy failure(FileCopy::Status status)
{
    return failure(status, systemError(GetLastError()));
}

class Handle {
public:
    explicit Handle(HANDLE handle)
        : handle(handle)
    {
    }
    ~Handle()
    {
        if (isOpen())
            CloseHandle(handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    bool isOpen() const
    {
        return handle != INVALID_HANDLE_VALUE;
    }
    const HANDLE handle;
};

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// CREATE_NEW fails on anything standing at the path, a link included. The
// new file takes its access rules from its folder, as the source does.
HANDLE openNew(const QString &target)
{
    return CreateFileW(
        nativePath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// SQLite locks bytes at 1 GiB (the pending byte, the reserved byte and the
// shared range, at the start of the lock-byte page), which it never reads
// or writes. Windows enforces those locks on reads: a copy that reads them
// fails with ERROR_LOCK_VIOLATION whenever the line's program holds one, as
// it does at the start of every read and during every write transaction in
// rollback mode. A file that reaches them is copied around them, with zeros
// in their place.
constexpr LONGLONG lockBytesStart = 0x40000000;
constexpr LONGLONG lockBytesSize = 512;

// Every byte but the lock bytes, in chunks, with zeros for those.
FileCopy copyAroundLockBytes(HANDLE in, HANDLE out)
{
    std::vector<char> buffer(chunkSize);
    for (LONGLONG offset = 0;;) {
        if (offset == lockBytesStart) {
            const std::vector<char> zeros(lockBytesSize, 0);
            LARGE_INTEGER skip;
            skip.QuadPart = lockBytesSize;
            DWORD written = 0;
            if (!SetFilePointerEx(in, skip, nullptr, FILE_CURRENT))
                return failure(FileCopy::ReadFailed);
            if (!WriteFile(out, zeros.data(), DWORD(zeros.size()), &written, nullptr) || written != zeros.size())
                return failure(FileCopy::WriteFailed);
            offset += lockBytesSize;
            continue;
        }
        LONGLONG want = LONGLONG(buffer.size());
        if (offset < lockBytesStart)
            want = std::min(want, lockBytesStart - offset);
        DWORD got = 0;
        if (!ReadFile(in, buffer.data(), DWORD(want), &got, nullptr))
            return failure(FileCopy::ReadFailed);
        if (got == 0)
            return FileCopy{};
        DWORD written = 0;
        if (!WriteFile(out, buffer.data(), got, &written, nullptr) || written != got)
            return failure(FileCopy::WriteFailed);
        offset += got;
    }
}

// The production program keeps the database open for writing, so the
// source is shared for everything.
HANDLE openSource(const QString &source)
{
    return CreateFileW(nativePath(source).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

FileCopy chunkCopy(const QString &source, const QString &target)
{
    const Handle in(openSource(source));
    if (!in.isOpen())
        return failure(FileCopy::ReadFailed);
    const Handle out(openNew(target));
    if (!out.isOpen())
        return failure(FileCopy::TargetNotCreated);
    return copyAroundLockBytes(in.handle, out.handle);
}

bool reachesLockBytes(const QString &source)
{
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(nativePath(source).c_str(), GetFileExInfoStandard, &info))
        return false;
    return (LONGLONG(info.nFileSizeHigh) << 32 | info.nFileSizeLow) > lockBytesStart;
}

} // namespace

// The system's own copy for every file below 1 GiB, as most days are.
FileCopy copyToNewFile(const QString &source, const QString &target)
{
    if (reachesLockBytes(source))
        return chunkCopy(source, target);
    const std::wstring to = nativePath(target);
    if (CopyFileExW(nativePath(source).c_str(), to.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS))
        return FileCopy{};
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS)
        return failure(FileCopy::TargetNotCreated, systemError(code));
    // Refused for another reason (a sharing mode, a file system that cannot):
    // whatever the system's copy left is its own, and the copy in chunks
    // says which side failed.
    DeleteFileW(to.c_str());
    return chunkCopy(source, target);
}

FileCopy createNewFile(const QString &target, const QString &)
{
    const Handle out(openNew(target));
    return out.isOpen() ? FileCopy{} : failure(FileCopy::TargetNotCreated);
}

#else

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileCopy failure(FileCopy::Status status, int code)
{
    return failure(status, QString::fromLocal8Bit(std::strerror(code)));
}

class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd(fd)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    const int fd;
};

// Group and others get at most what they have on the source. The owner is
// the viewer's own user, who must read and write its copy; that gives no
// one else anything. The umask narrows it further, as for any new file.
mode_t permissionsOf(const struct stat &source)
{
    return (source.st_mode & 0777) | S_IRUSR | S_IWUSR;
}

// O_EXCL fails on anything standing at the path, a dangling link included.
int openNew(const QString &target, mode_t mode)
{
    return ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool isWriteError(int code)
{
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS;
}

// The kernel copies without the bytes passing through this process. False
// with errno set when it fails; `refused` when it cannot copy between these
// two files at all (another file system, an old kernel), which leaves the
// rest to the copy in chunks, from where the kernel stopped.
bool kernelCopy(int in, int out, off_t sourceSize, bool &refused)
{
#ifdef __linux__
    ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    // One call may copy the whole file; the kernel says how far it got.
    constexpr size_t asMuchAsThereIs = size_t(1) << 62;
    for (bool first = true;; first = false) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, asMuchAsThereIs, 0);
        if (n > 0)
            continue;
        if (n == 0) {
            // Some file systems answer "nothing to copy" instead of refusing.
            refused = first && sourceSize > 0;
            return !refused;
        }
        if (errno == EINTR)
            continue;
        refused = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL;
        return false;
    }
#else
    (void)in;
    (void)out;
    (void)sourceSize;
    refused = true;
    return false;
#endif
}

FileCopy chunkCopy(int in, int out)
{
    std::vector<char> buffer(chunkSize);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0)
            return FileCopy{};
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure(FileCopy::ReadFailed, errno);
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t n = ::write(out, buffer.data() + written, size_t(got - written));
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                return failure(FileCopy::WriteFailed, n < 0 ? errno : ENOSPC);
            }
            written += n;
        }
    }
}

} // namespace

FileCopy copyToNewFile(const QString &source, const QString &target)
{
    const Descriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    struct stat sourceInfo { };
    if (in.fd < 0 || ::fstat(in.fd, &sourceInfo) != 0)
        return failure(FileCopy::ReadFailed, errno);
    const Descriptor out(openNew(target, permissionsOf(sourceInfo)));
    if (out.fd < 0)
        return failure(FileCopy::TargetNotCreated, errno);
    bool refused = false;
    if (kernelCopy(in.fd, out.fd, sourceInfo.st_size, refused))
        return FileCopy{};
    if (!refused)
        return failure(isWriteError(errno) ? FileCopy::WriteFailed : FileCopy::ReadFailed, errno);
    return chunkCopy(in.fd, out.fd);
}

FileCopy createNewFile(const QString &target, const QString &permissionsFrom)
{
    struct stat sourceInfo { };
    if (::stat(QFile::encodeName(permissionsFrom).constData(), &sourceInfo) != 0)
        return failure(FileCopy::ReadFailed, errno);
    const Descriptor out(openNew(target, permissionsOf(sourceInfo)));
    return out.fd >= 0 ? FileCopy{} : failure(FileCopy::TargetNotCreated, errno);
}

#endif
