#pragma once
// The owner, group, mode and access ACL that a file written by replacement ends with:
// those that the file it replaces keeps through a plain write, or those the kernel gives a
// new file in its folder.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace orvex {

class FilePermissions {
public:
    // Those of the existing file open for writing as `descriptor`, read at one moment, and
    // its status then: its owner, group and access ACL, and its mode less the set-user-ID
    // and set-group-ID bits that a write by this process would clear. A process without
    // CAP_FSETID in the initial user namespace clears set-user-ID always, and set-group-ID
    // where the group may execute or the process is not in the file's group.
    static std::error_code ofFile(int descriptor, FilePermissions& permissions, struct stat& status);

    // Those a file created with mode 0666 in the folder open as `folder` gets: asked of the
    // kernel with an unnamed file made there; where the file system makes none, computed from
    // the folder's default ACL, or 0666 less the umask where it has none.
    static std::error_code ofNewFile(int folder, FilePermissions& permissions);

    // Gives them to the open file `descriptor`, which the caller owns, so that nobody these
    // refuse can open it meanwhile: its mode is cleared, then it takes a replaced file's
    // owner and group, then the access ACL (an ACL the file has and these have not is
    // removed), then the mode. Without ACLs on the file system, the mode alone. A replaced
    // file's owner, group and mode are confirmed: EPERM where the process cannot give them.
    std::error_code applyTo(int descriptor) const;

    bool operator==(const FilePermissions& other) const {
        return owner_ == other.owner_ && mode_ == other.mode_ && accessAcl_ == other.accessAcl_;
    }
    bool operator!=(const FilePermissions& other) const { return !(*this == other); }

private:
    std::error_code applyAccessAcl(int descriptor) const;
    std::error_code confirmOn(int descriptor) const;

    std::optional<std::pair<uid_t, gid_t>> owner_; // a replaced file's owner and group
    mode_t mode_ = 0;
    std::optional<std::string> accessAcl_;
};

} // namespace orvex
