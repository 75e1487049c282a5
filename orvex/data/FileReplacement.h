#pragma once
// Writing a file as a plain write does, but whole or not at all. The kernel decides, as for
// a plain open, whether the name may be written and where its links lead. The content is
// complete, in a file of its own, before the target is touched; it then replaces the target
// by a rename where that keeps all that a write into the file keeps, and is copied into
// the target otherwise.

#include "orvex/core/FileDescriptor.h"
#include "orvex/data/FilePermissions.h"
#include "orvex/data/InterruptionCheck.h"

#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>
#include <system_error>

namespace orvex {

class TemporaryFile;

// Whether a replacement waits for its data to reach the disk before it takes effect.
enum class WriteDurability { Cached, Synced };

class FileReplacement {
public:
    using WriteFunction = std::function<bool(std::ostream&)>;

    // Looks at what the kernel finds at `fileName`, through symbolic links: nothing (a new
    // name) or a regular file is written whole; a FIFO or character device is written as a
    // stream; anything else is refused without being opened: a directory with EISDIR, a
    // socket with ENXIO, a block device with EOPNOTSUPP; a name with an embedded NUL with
    // EINVAL; whatever the kernel refuses with its errno (ELOOP, EACCES, ...).
    explicit FileReplacement(const std::string& fileName);

    // Why the name cannot be written; empty when it can.
    std::error_code error() const { return error_; }

    // Whether the target is a FIFO or character device, written as a stream, never replaced.
    bool writesToStream() const { return kind_ == Kind::Stream; }

    // A new read-only descriptor of the regular file that the write replaces, checked to be
    // the file looked at. A lease holder is waited for as by a plain open, `interrupted`
    // asked when a signal ends the wait. -1 with errno set where it cannot be opened: ENOENT
    // where no regular file is replaced, EINTR where `interrupted` ended the wait.
    int openTargetForReading(const InterruptionCheck& interrupted = {}) const;

    // Writes the target with `write`, which runs once; `interrupted` is asked after every
    // interrupted or short write. An existing target is first opened for writing, without
    // truncating it: what the kernel refuses (EACCES, ETXTBSY, ...) is the write's error,
    // and `write` does not run. A FIFO or character device is written through that
    // descriptor (a FIFO without a reader refused with ENXIO at once). Otherwise the content
    // goes into a new file readable by its owner only: beside the target where a rename may
    // replace it, else unnamed, on the target's file system where its folder takes one
    // there, in $TMPDIR or in memory otherwise; once complete it becomes the target:
    // - a new name: the file takes the permissions the folder gives a new file and is
    //   renamed to it, never over anything (EEXIST where something took the name); in an
    //   append-only folder it is made without a name and linked to it;
    // - a regular file: renamed over it where the name resolves without magic links to a
    //   file of one link, not a mount point, not locked, without extended attributes but its
    //   access ACL, in a folder that allows renames, and the new file can take its owner,
    //   group, mode (set-ID bits as a write keeps them), access ACL and attribute flags,
    //   all looked at again right before the rename;
    //   otherwise, and where the rename is refused (EBUSY, EPERM, EXDEV), the target is
    //   truncated and the content copied into it. EAGAIN where another file took the name
    //   while the content was written.
    // The new file is synced before it takes effect when `durability` asks for it. Reports
    // why it failed: the file system's errno, that of the failed write, EINTR where
    // `interrupted` ended it, EIO when `write` returns false without a failed write. Until
    // the target is truncated, a failure leaves it as it was; the new file is removed. An
    // exception from `write` propagates after that. Call once.
    std::error_code write(const WriteFunction& write, WriteDurability durability = WriteDurability::Cached,
                          const InterruptionCheck& interrupted = {});

private:
    enum class Kind { NewFile, RegularFile, Stream };

    std::error_code classifyTarget();
    std::error_code locate();
    std::error_code openFolder(int base, const std::string& path);
    bool nameHolds(const struct stat& status) const;
    bool locateTarget(const struct stat& status);
    bool mayRenameOver(int target, const struct stat& status) const;
    std::error_code openStagingFile(bool located, const struct stat& status, FileDescriptor& file) const;
    std::error_code openForWriting(FileDescriptor& target, const InterruptionCheck& interrupted) const;
    std::error_code writeNewFile(const WriteFunction& write, WriteDurability durability,
                                 const InterruptionCheck& interrupted) const;
    std::error_code writeUnnamedNewFile(const WriteFunction& write, WriteDurability durability,
                                        const InterruptionCheck& interrupted) const;
    std::error_code fillNewFile(int descriptor, const WriteFunction& write, WriteDurability durability,
                                const InterruptionCheck& interrupted) const;
    std::error_code writeRegularFile(FileDescriptor target, const struct stat& status, const WriteFunction& write,
                                     WriteDurability durability, const InterruptionCheck& interrupted);
    std::error_code renameOver(TemporaryFile& temporary, int target, const struct stat& status,
                               WriteDurability durability, bool& renamed) const;

    std::string path_;
    FileDescriptor folder_; // where the links of the name end; open only where needed
    std::string name_;      // the name in folder_
    struct stat targetStatus_ {};
    Kind kind_ = Kind::NewFile;
    FilePermissions newFilePermissions_;
    std::error_code error_;
};

} // namespace orvex
