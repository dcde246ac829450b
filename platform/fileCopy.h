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

// Every byte of the source into a new file. The kernel's own copy where the
// file systems allow it (no bytes through this process, blocks shared where
// the file system can), else the bytes in chunks.
FileCopy copyToNewFile(const QString &source, const QString &target);

// An empty new file, created with the same care, for a copy that SQLite
// writes itself.
FileCopy createNewFile(const QString &target, const QString &permissionsOf);
