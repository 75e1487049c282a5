#pragma once
// POSIX ACLs for the tests of file writers: the attribute bytes of an ACL, setting a
// folder's default ACL, and the mode and access ACL a file has.

#include "orvex/data/PosixAcl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>

namespace orvex::testing {

enum AclTag : std::uint16_t {
    AclUserObj = 0x01,
    AclUser = 0x02,
    AclGroupObj = 0x04,
    AclGroup = 0x08,
    AclMask = 0x10,
    AclOther = 0x20
};

struct AclEntry {
    AclTag tag;
    std::uint16_t permissions;
    std::uint32_t id = 0xFFFFFFFF; // named entries only
};

// The attribute bytes of an ACL whose entries are given in the kernel's order (by tag).
inline std::string aclBytes(std::initializer_list<AclEntry> entries) {
    std::string bytes;
    const auto append = [&bytes](std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i)
            bytes.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
    };
    append(2, 4);
    for (const AclEntry& entry : entries) {
        append(entry.tag, 2);
        append(entry.permissions, 2);
        append(entry.id, 4);
    }
    return bytes;
}

// Sets an extended attribute; false where the file system keeps no ACLs.
inline bool setAcl(const std::filesystem::path& path, const char* attribute, const std::string& acl) {
    if (::setxattr(path.c_str(), attribute, acl.data(), acl.size(), 0) == 0)
        return true;
    if (errno != ENOTSUP && errno != EOPNOTSUPP)
        throw std::system_error(errno, std::generic_category(), "setxattr");
    return false;
}

// The mode (07777) and access ACL of a file; no ACL where it has none.
struct Permissions {
    mode_t mode = 0;
    std::optional<std::string> acl;
    bool operator==(const Permissions& other) const { return mode == other.mode && acl == other.acl; }
};

inline void PrintTo(const Permissions& permissions, std::ostream* out) {
    *out << "mode 0" << std::oct << permissions.mode << std::dec << ", ";
    if (!permissions.acl) {
        *out << "no ACL";
        return;
    }
    *out << "ACL";
    for (std::size_t at = 4; at + 8 <= permissions.acl->size(); at += 8)
        *out << " " << static_cast<int>(static_cast<unsigned char>((*permissions.acl)[at])) << ":"
             << static_cast<int>((*permissions.acl)[at + 2]);
}

inline Permissions permissionsOf(const std::filesystem::path& path) {
    Permissions permissions;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0)
        permissions.mode = status.st_mode & 07777;
    char value[1024];
    const ssize_t length = ::getxattr(path.c_str(), kAccessAclAttribute, value, sizeof value);
    if (length >= 0)
        permissions.acl = std::string(value, static_cast<std::size_t>(length));
    return permissions;
}

// The permissions of a file that a plain open(O_CREAT, 0666) creates in `folder`.
inline Permissions plainlyCreated(const std::filesystem::path& folder) {
    const std::filesystem::path path = folder / "plainly-created";
    ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    const Permissions permissions = permissionsOf(path);
    std::filesystem::remove(path);
    return permissions;
}

} // namespace orvex::testing
