// A file system with one file whose reads never answer, the way a network share or a dying
// disk behaves: the tests mount it to drop a file that stalls.
//   loopstage_stallfs MOUNTPOINT -f     (serves until unmounted or killed)
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kFile = "/stalled.mp4";

int getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kFile) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = 1 << 20;
    return 0;
}

int open(const char* path, fuse_file_info*) { return std::strcmp(path, kFile) == 0 ? 0 : -ENOENT; }

int read(const char*, char*, size_t, off_t, fuse_file_info*) {
    // Long enough to outlast any test; the unmount at the end of it ends the wait.
    ::sleep(600);
    return -EIO;
}

}  // namespace

int main(int argc, char** argv) {
    fuse_operations operations{};
    operations.getattr = getattr;
    operations.open = open;
    operations.read = read;
    return fuse_main(argc, argv, &operations, nullptr);
}
