#pragma once
// What renaming a new file over an existing one would lose that a write into the file
// keeps: the questions asked of the target and its folder before a replacement by rename.

#include <sys/stat.h>

#include <string>

namespace orvex {

// Whether the kernel resolves `path` without a magic link of /proc (such as
// /proc/self/fd/N, whose text may name the file it leads to) to the file of `status`.
// False where the kernel cannot resolve that way.
bool resolvesWithoutMagicLinks(const std::string& path, const struct stat& status);

// Whether the open file is the root of a mount: a file bind-mounted onto its name.
bool isMountRoot(int descriptor);

// Whether another open file description holds a lock on the open file by fcntl (a POSIX or
// an open file description lock), asked of the kernel without taking one.
bool isRecordLocked(int descriptor);

// Whether another open file description holds a flock lock on the open file of `status`, as
// /proc/locks lists them: the kernel lets that list be read once it holds every lock list
// still, which takes a grace period of its read-copy-update (milliseconds) unless another
// read went just before. Where the list may leave some out (outside the initial pid
// namespace, or without /proc), a lock is taken and let go at once to find out.
bool isFlockLocked(int descriptor, const struct stat& status);

// Whether the open file carries extended attributes besides its access ACL.
bool hasOtherAttributes(int descriptor);

// Whether the folder open as `folder` lets its names be replaced and removed: neither
// append-only nor immutable.
bool allowsRenames(int folder);

// Whether two open files carry the same attribute flags that chattr sets (nodump, noatime,
// ...), as far as their file systems keep them.
bool sameAttributeFlags(int file, int other);

} // namespace orvex
