#include "registry/File.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <vector>

namespace tarvik::registry::file {
namespace {

std::atomic<uint64_t> g_generation{0};

// Closes the descriptor when the scope ends.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Folder(const std::string& path) {
    size_t cut = path.rfind('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

ReadResult ReadAll(const std::string& path, std::string* text, struct stat* st) {
    Fd f(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    struct stat local;
    if (!st)
        st = &local;
    if (fstat(f.fd, st) != 0 || !S_ISREG(st->st_mode))
        return ReadResult::Failed;
    text->clear();
    text->reserve(static_cast<size_t>(st->st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ReadResult::Failed;
        if (n == 0)
            break;
        text->append(buf, static_cast<size_t>(n));
    }
    return ReadResult::Ok;
}

bool ReplaceAtomically(const std::string& path, const std::string& text) {
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    Fd f(mkostemp(name.data(), O_CLOEXEC));
    if (f.fd < 0)
        return false;
    // The new file keeps the old one's permissions (mkostemp makes it 0600).
    struct stat old;
    mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = fchmod(f.fd, mode) == 0 && WriteAll(f.fd, text) && fsync(f.fd) == 0;
    if (ok)
        ok = rename(name.data(), path.c_str()) == 0;
    if (!ok) {
        unlink(name.data());
        return false;
    }
    BumpLocalGeneration();
    // The rename itself must reach the disk too, or a crash could bring the
    // old store back after callers were told the change was made.
    Fd dir(open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        fsync(dir.fd);
    return true;
}

uint64_t LocalGeneration() {
    return g_generation.load();
}
void BumpLocalGeneration() {
    ++g_generation;
}

}  // namespace tarvik::registry::file
