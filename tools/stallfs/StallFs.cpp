// A file system whose files stop answering, the way a network share or a dying disk behaves:
// the tests mount it to drop or play a file that stalls.
//   loopstage_stallfs MOUNTPOINT -f     (serves until unmounted or killed)
// /stalled.mp4 never answers a read (a reader that is killed is let go). /slow.mp4 answers every
// read, with zeros, after 0.4 s. /playing.mkv serves the file named by LOOPSTAGE_STALLFS_SOURCE
// until the server gets SIGUSR1; from then on its reads never answer either. Reads bypass the page
// cache, so each one reaches the server.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kStalled = "/stalled.mp4";
constexpr const char* kSlow = "/slow.mp4";
constexpr const char* kPlaying = "/playing.mkv";

int g_source = -1;
std::atomic<bool> g_stallNow{false};  // lock-free, so the signal handler may set it

bool is(const char* path, const char* name) { return std::strcmp(path, name) == 0; }

int getattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (is(path, "/")) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    struct stat source {};
    if (is(path, kPlaying) && (g_source < 0 || ::fstat(g_source, &source) != 0)) return -ENOENT;
    if (!is(path, kStalled) && !is(path, kSlow) && !is(path, kPlaying)) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = is(path, kPlaying) ? source.st_size : 1 << 20;
    return 0;
}

int open(const char* path, fuse_file_info* info) {
    if (!is(path, kStalled) && !is(path, kSlow) && !(is(path, kPlaying) && g_source >= 0))
        return -ENOENT;
    info->direct_io = 1;
    return 0;
}

int read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    if (is(path, kSlow)) {
        ::usleep(400'000);
        const off_t left = offset < (1 << 20) ? (1 << 20) - offset : 0;
        const size_t n = std::min<size_t>(size, static_cast<size_t>(left));
        std::memset(buffer, 0, n);
        return static_cast<int>(n);
    }
    if (is(path, kPlaying) && !g_stallNow) {
        const ssize_t n = ::pread(g_source, buffer, size, offset);
        return n < 0 ? -errno : static_cast<int>(n);
    }
    // Long enough to outlast any test; the unmount at the end of it ends the wait. A reader
    // that is killed is let go, as the kernel's own network file systems let it go: otherwise
    // the kernel keeps its process from ending for as long as the read waits.
    for (int i = 0; i < 60'000 && !fuse_interrupted(); ++i) ::usleep(10'000);
    return fuse_interrupted() ? -EINTR : -EIO;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* source = std::getenv("LOOPSTAGE_STALLFS_SOURCE"))
        g_source = ::open(source, O_RDONLY | O_CLOEXEC);
    std::signal(SIGUSR1, [](int) { g_stallNow.store(true); });
    fuse_operations operations{};
    operations.getattr = getattr;
    operations.open = open;
    operations.read = read;
    return fuse_main(argc, argv, &operations, nullptr);
}
