#include "AppendFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <new>

#include "Module.h"
#include "tarvik/text.h"

namespace tarvik::companions {

struct AppendFile::Fd {
    explicit Fd(int f) : fd(f) {}
    ~Fd() { ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

void AppendFile::SetPath(std::string path) {
    std::shared_ptr<Fd> old;
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
    old = std::move(fd_);
    retryAfter_ = {};
}

std::string AppendFile::Path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

HRESULT AppendFile::SetPathBstr(BSTR path) {
    try {
        SetPath(path ? Utf16ToUtf8(std::u16string_view(path, SysStringLen(path))) : std::string());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT AppendFile::GetPathBstr(BSTR* path) const {
    if (!path)
        return E_POINTER;
    try {
        *path = nullptr;
        std::u16string p = Utf8ToUtf16(Path());
        *path = SysAllocStringLen(p.data(), static_cast<UINT>(p.size()));
        return *path ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void AppendFile::SetDefaultPath(const char* envVar, REFCLSID clsid, std::string_view setting) {
    const char* env = getenv(envVar);
    SetPath(env && *env ? std::string(env) : ClassSetting(clsid, setting));
}

std::shared_ptr<AppendFile::Fd> AppendFile::Current() {
    std::lock_guard lock(mutex_);
    if (fd_ || path_.empty())
        return fd_;
    auto now = std::chrono::steady_clock::now();
    if (now < retryAfter_)
        return nullptr;
    // Every writer of a file in the process shares one descriptor: a bank of
    // lines, each with its own log writer, would otherwise hold a descriptor
    // per line for the one log file.
    static std::mutex openLock;
    static auto* open = new std::map<std::string, std::weak_ptr<Fd>>;  // outlives every writer
    std::lock_guard openGuard(openLock);
    std::weak_ptr<Fd>* shared = nullptr;
    try {
        std::erase_if(*open, [](const auto& kv) { return kv.second.expired(); });
        shared = &(*open)[path_];
    } catch (...) {
        return nullptr;
    }
    if ((fd_ = shared->lock()))
        return fd_;
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        retryAfter_ = now + std::chrono::seconds(1);
        return nullptr;
    }
    try {
        fd_ = std::make_shared<Fd>(fd);
    } catch (...) {
        ::close(fd);
        return nullptr;
    }
    *shared = fd_;
    return fd_;
}

bool AppendFile::Append(std::string_view line) {
    std::shared_ptr<Fd> fd = Current();
    if (!fd)
        return false;
    // O_APPEND moves to the end and writes in one step, so one write(2) per
    // line keeps lines whole between writers. A short write (disk full) is
    // finished rather than leaving half a line behind.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd->fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool AppendFile::Sync() {
    std::shared_ptr<Fd> fd;
    {
        std::lock_guard lock(mutex_);
        fd = fd_;
    }
    return !fd || ::fdatasync(fd->fd) == 0;
}

void AppendEscapedUtf8(std::string* out, std::string_view utf8) {
    for (char c : utf8) {
        switch (c) {
            case '\\':
                out->append("\\\\");
                break;
            case '\t':
                out->append("\\t");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            default:
                out->push_back(c);
        }
    }
}

}  // namespace tarvik::companions
