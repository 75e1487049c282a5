#include "orvex/data/ProcessNamespaces.h"

#include <sys/stat.h>

namespace orvex {

namespace {

// The inode numbers that the kernel gives its initial namespaces (PROC_USER_INIT_INO,
// PROC_PID_INIT_INO), whatever else it numbers.
constexpr ino_t kInitialUserNamespace = 0xEFFFFFFDU;
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;

bool namespaceIs(const char* path, ino_t inode) {
    struct stat status {};
    return ::stat(path, &status) == 0 && status.st_ino == inode;
}

} // namespace

bool inInitialUserNamespace() { return namespaceIs("/proc/self/ns/user", kInitialUserNamespace); }

bool inInitialPidNamespace() { return namespaceIs("/proc/self/ns/pid", kInitialPidNamespace); }

} // namespace orvex
