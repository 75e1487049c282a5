#pragma once
// Whether this process runs in the kernel's initial namespaces, where a capability it holds
// counts for every file and /proc lists what every process holds.

namespace orvex {

// Whether the process's user namespace is the initial one; false where /proc cannot tell.
bool inInitialUserNamespace();

// Whether the process's pid namespace is the initial one; false where /proc cannot tell.
bool inInitialPidNamespace();

} // namespace orvex
