#include "orvex/data/PosixAcl.h"

#include <cstdint>

namespace orvex {

namespace {

constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kEntrySize = 8;

enum Tag : std::uint16_t { UserObj = 0x01, User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20 };

std::uint32_t littleEndian(std::string_view bytes, std::size_t at, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Keeps only the permissions of the entry at `at` that `allowed` (three bits) grants.
mode_t restrictPermissions(std::string& acl, std::size_t at, mode_t allowed) {
    const mode_t permissions = littleEndian(acl, at + 2, 2) & allowed & 07;
    acl[at + 2] = static_cast<char>(permissions);
    acl[at + 3] = 0;
    return permissions;
}

} // namespace

std::optional<InheritedPermissions> inheritDefaultAcl(std::string_view defaultAcl, mode_t createMode) {
    if (defaultAcl.size() < kHeaderSize || (defaultAcl.size() - kHeaderSize) % kEntrySize != 0 ||
        littleEndian(defaultAcl, 0, 4) != kVersion)
        return std::nullopt;
    std::string acl(defaultAcl);
    std::optional<std::size_t> owner, owningGroup, mask, other;
    bool namedEntries = false;
    for (std::size_t at = kHeaderSize; at < acl.size(); at += kEntrySize) {
        switch (littleEndian(acl, at, 2)) {
        case UserObj: owner = at; break;
        case GroupObj: owningGroup = at; break;
        case Mask: mask = at; break;
        case Other: other = at; break;
        case User:
        case Group: namedEntries = true; break;
        default: return std::nullopt;
        }
    }
    if (!owner || !owningGroup || !other)
        return std::nullopt;
    InheritedPermissions inherited;
    inherited.mode = restrictPermissions(acl, *owner, createMode >> 6) << 6 |
                     restrictPermissions(acl, mask ? *mask : *owningGroup, createMode >> 3) << 3 |
                     restrictPermissions(acl, *other, createMode);
    if (namedEntries || mask)
        inherited.accessAcl = std::move(acl);
    return inherited;
}

} // namespace orvex
