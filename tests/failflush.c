/* LD_PRELOAD shim: the first flush of a folder waits a second, then fails with EIO as a disk would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

int fsync(int fd)
{
    static int failed;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || __atomic_exchange_n(&failed, 1, __ATOMIC_SEQ_CST))
        return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
    sleep(1);
    errno = EIO;
    return -1;
}
