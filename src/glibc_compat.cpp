// Linked into the release module only, and only on glibc with libstdc++
// (see CMakeLists.txt): it keeps the statically linked C++ runtime from
// tying the wheel to the glibc it was built on.
//
// The runtime's string and exception code, compiled against glibc 2.32 or
// newer, reads __libc_single_threaded to skip atomic reference counts in a
// process that has one thread. Resolved from libc, that one variable alone
// would make the module refuse to load on any older glibc. This definition
// satisfies those references inside the module instead; it is hidden, like
// everything but the init function, so libc's own variable is untouched. It
// stays 0, "possibly several threads", which always takes the atomic path:
// correct in every process, and none of it is on a hot path here.
extern "C" {
char __libc_single_threaded = 0;
}
