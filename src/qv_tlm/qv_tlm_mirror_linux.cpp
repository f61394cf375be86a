// The mirrored ring storage on Linux: an unnamed file on the shared-memory
// filesystem (or a POSIX shared-memory object unlinked at once), its pages
// reserved with posix_fallocate, mapped with MAP_FIXED over both halves of
// an address range reserved first.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "qv_tlm/qv_tlm_mirror.h"

namespace {

// A shared-memory descriptor that never has a name: an unnamed file on the
// shared-memory filesystem, or where that is refused, a named object
// unlinked the moment it exists.
int unnamed_shm() {
    const int fd = open("/dev/shm", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    char name[64];
    int local = 0;
    std::snprintf(name, sizeof name, "/qv_%d_%p", int(getpid()), static_cast<void *>(&local));
    const int named = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (named >= 0) shm_unlink(name);
    return named;
}

// Storage of `bytes`, its pages reserved now: storage the filesystem cannot
// hold fails here, not with SIGBUS at some later write.
int new_storage(size_t bytes) {
    const int fd = unnamed_shm();
    if (fd < 0) return -1;
    int rc;
    do rc = posix_fallocate(fd, 0, off_t(bytes));
    while (rc == EINTR);
    if (rc == EOPNOTSUPP) rc = ftruncate(fd, off_t(bytes));  // a filesystem that cannot reserve: size it only
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Maps the storage over both halves of [base, base + 2 * bytes).
bool map_twice(void *base, int fd, size_t bytes) {
    constexpr int prot = PROT_READ | PROT_WRITE, flags = MAP_SHARED | MAP_FIXED;
    char *at = static_cast<char *>(base);
    return mmap(at, bytes, prot, flags, fd, 0) != MAP_FAILED && mmap(at + bytes, bytes, prot, flags, fd, 0) != MAP_FAILED;
}

bool copy_into(int fd, const char *from, size_t bytes) {
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = pwrite(fd, from + done, bytes - done, off_t(done));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) done += size_t(n);
    }
    return true;
}

}  // namespace

namespace qv::tlm {

size_t page_bytes() { return size_t(sysconf(_SC_PAGESIZE)); }

void *map_mirrored(size_t bytes) {
    const int fd = new_storage(bytes);
    if (fd < 0) return nullptr;
    void *base = mmap(nullptr, 2 * bytes, PROT_NONE, MAP_ANON | MAP_PRIVATE, -1, 0);
    if (base != MAP_FAILED && !map_twice(base, fd, bytes)) {
        munmap(base, 2 * bytes);
        base = MAP_FAILED;
    }
    close(fd);  // the two mappings keep the storage alive
    return base == MAP_FAILED ? nullptr : base;
}

void unmap_mirrored(void *base, size_t bytes) { munmap(base, 2 * bytes); }

bool own_copy_after_fork(void *base, size_t bytes) {
    const int fd = new_storage(bytes);
    const bool own = fd >= 0 && copy_into(fd, static_cast<const char *>(base), bytes) && map_twice(base, fd, bytes);
    if (fd >= 0) close(fd);
    return own;
}

}  // namespace qv::tlm
