#pragma once
// POSIX access control lists in the form the kernel keeps them in the extended attributes
// "system.posix_acl_access" and "system.posix_acl_default": a little-endian 32-bit version
// (2), then one entry of 8 bytes per tag (16-bit tag, 16-bit permissions, 32-bit id).

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvex {

inline constexpr char kAccessAclAttribute[] = "system.posix_acl_access";
inline constexpr char kDefaultAclAttribute[] = "system.posix_acl_default";

// The permissions a new file gets from the default ACL of its folder.
struct InheritedPermissions {
    mode_t mode = 0;       // permission bits (0777)
    std::string accessAcl; // its access ACL; empty when the mode says all of it
};

// What the kernel gives a file created with `createMode` (0666 for open) in a folder whose
// default ACL is `defaultAcl`: the owner, the owning group (or the mask, where there is one)
// and other entries keep only the bits `createMode` grants them, named entries stay as they
// are, and the mode is made of the owner, mask (or owning group) and other entries. The umask
// plays no part. A list of only those three entries is no ACL of its own: the mode says it.
// Nothing for an attribute the kernel would not keep: another version, a size that is no
// whole number of entries, an unknown tag, or no owner, owning group or other entry.
std::optional<InheritedPermissions> inheritDefaultAcl(std::string_view defaultAcl, mode_t createMode);

} // namespace orvex
