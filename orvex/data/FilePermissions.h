#pragma once
// The owner, group, mode and access ACL that a file written by replacement ends with:
// those of the file it replaces, or those the kernel gives a new file in its folder.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <system_error>

namespace orvex {

class FilePermissions {
public:
    // Those of the existing file open as `descriptor` (an O_PATH descriptor will do), whose
    // status is `status`: its owner and group, mode and access ACL.
    static std::error_code ofFile(int descriptor, const struct stat& status, FilePermissions& permissions);

    // Those a file created with mode 0666 in the folder open as `folder` gets: asked of the
    // kernel with an unnamed file made there; where the file system makes none, computed from
    // the folder's default ACL, or 0666 less the umask where it has none.
    static std::error_code ofNewFile(int folder, FilePermissions& permissions);

    // Gives them to the open file `descriptor`, which the caller owns: the owner and group
    // where the process may set them (the group alone where it may set only that, neither
    // where it may set none), then the mode, set-user-ID and set-group-ID bits only when
    // owner and group were both kept, then the access ACL; an ACL the file has and these
    // have not is removed. Without ACLs on the file system, the mode alone.
    std::error_code applyTo(int descriptor) const;

private:
    std::optional<std::pair<uid_t, gid_t>> owner_; // a replaced file's owner and group
    mode_t mode_ = 0;
    std::optional<std::string> accessAcl_;
};

} // namespace orvex
