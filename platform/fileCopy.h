#pragma once

#include <QString>

// Copying the database into a new file, the platform's own way.
//
// The target must not exist yet: anything standing at its path, a link
// included, makes the call fail rather than be written through. The new
// file's permissions are no wider than the source's, set as it is created,
// before any byte is written.
struct FileCopy {
    enum Status { Done, TargetNotCreated, ReadFailed, WriteFailed };
    Status status = Done;
    QString error; // the system's words for what failed
};

// Every byte of the source into a new file. The system's own copy where it
// can (no bytes through this process, blocks shared where the file system
// can), else the bytes in chunks. On Windows a file over 1 GiB is copied
// without the 512 bytes SQLite locks at 1 GiB, which it never reads and
// Windows refuses to read while they are locked: zeros stand in their place.
FileCopy copyToNewFile(const QString &source, const QString &target);

// An empty new file, created with the same care, for a copy that SQLite
// writes itself.
FileCopy createNewFile(const QString &target, const QString &permissionsOf);
