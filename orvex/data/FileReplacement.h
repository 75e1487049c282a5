#pragma once
// Writing a file whole or not at all: the content goes into a temporary file beside the
// target, which takes the target's permissions and is renamed over it once complete. The
// target's folder is opened once and every later step works relative to it, so that the
// permissions come from the file actually replaced, in the folder actually written.

#include "orvex/core/FileDescriptor.h"
#include "orvex/data/FilePermissions.h"

#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>
#include <system_error>

namespace orvex {

// Whether a replacement waits for its data to reach the disk before the rename.
enum class WriteDurability { Cached, Synced };

class FileReplacement {
public:
    using WriteFunction = std::function<bool(std::ostream&)>;

    // Looks at what `fileName` names, through symbolic links (saving through a link
    // replaces the file it points to): a new name or a regular file is replaced; a FIFO or
    // character device is written in place; anything else is refused: a directory with
    // EISDIR, a socket with ENXIO, a block device with EOPNOTSUPP, more than 40 links in a
    // row with ELOOP, a name with an embedded NUL with EINVAL. Nothing is opened but the
    // folder and, without reading it, the target.
    explicit FileReplacement(const std::string& fileName);

    // Why the name cannot be written; empty when it can.
    std::error_code error() const { return error_; }

    // Whether the write goes into the target as it is (a FIFO or character device) rather
    // than into a new file renamed over it.
    bool writesInPlace() const { return kind_ == Kind::InPlace; }

    // A new read-only descriptor of the regular file that the write replaces, opened
    // without waiting and checked to be the file looked at; -1 with errno set where it
    // cannot be opened, with ENOENT where no regular file is replaced.
    int openTargetForReading() const;

    // Fills a new file with `write` and puts it in place of the target. The new file is
    // created exclusively beside the target and kept readable by its owner only until its
    // data is written; it then takes the permissions of the file it replaces (owner and
    // group where the process may set them, mode, access ACL) or those the folder gives a
    // new file, is synced when `durability` asks for it, and is renamed over the target. A
    // FIFO or character device is written in place, a FIFO without a reader refused with
    // ENXIO at once. Reports why it failed: the folder's or the file system's errno, or
    // that of the failed write; EIO when `write` returns false without a failed write. On
    // failure the temporary file is removed and the target kept as it was; an exception
    // from `write` propagates after that. Call once.
    std::error_code write(const WriteFunction& write, WriteDurability durability = WriteDurability::Cached);

private:
    enum class Kind { NewFile, RegularFile, InPlace };

    std::error_code lookUp(const std::string& fileName);
    std::error_code openFolder(int base, const std::string& path);
    std::error_code classifyTarget();
    std::error_code writeInPlace(const WriteFunction& write) const;

    FileDescriptor folder_;
    std::string name_;
    FileDescriptor target_; // O_PATH, of the file found at the name; none for a new file
    struct stat targetStatus_ {};
    Kind kind_ = Kind::NewFile;
    FilePermissions permissions_;
    std::error_code error_;
};

} // namespace orvex
