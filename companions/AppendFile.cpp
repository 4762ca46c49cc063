#include "AppendFile.h"

#include <stdlib.h>

#ifdef _WIN32
#include "win32/System.h"
#else
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <map>
#include <new>

#include "Module.h"
#include "tarvik/text.h"

namespace tarvik::companions {

#ifdef _WIN32
// Appending through the C runtime is a seek to the end and then a write, so
// two handles on one file overwrite each other's lines. A handle with append
// access only makes the system put each write at the end in one step.
struct AppendFile::Fd {
    explicit Fd(void* h) : file(h) {}
    ~Fd() { win32::CloseHandle(file); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void* file;
};

namespace {
std::unique_ptr<AppendFile::Fd> OpenForAppend(const std::string& path) {
    void* h = win32::OpenFileForAppend(path);
    if (!h)
        return nullptr;
    auto f = std::unique_ptr<AppendFile::Fd>(new (std::nothrow) AppendFile::Fd(h));
    if (!f)
        win32::CloseHandle(h);
    return f;
}
// Wine writes through an append-only handle at the end it last saw, so two
// writers of one process can still meet at one offset there: the entries of
// this process also go out one at a time.
std::mutex g_appendLock;

bool WriteWhole(AppendFile::Fd& f, std::string_view bytes) {
    std::lock_guard lock(g_appendLock);
    return win32::AppendToFile(f.file, bytes.data(), bytes.size());
}
bool Flush(AppendFile::Fd& f) {
    return win32::FlushFile(f.file);
}
}  // namespace
#else
struct AppendFile::Fd {
    explicit Fd(int f) : fd(f) {}
    ~Fd() { ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

namespace {
// O_APPEND moves to the end and writes in one step, so one write(2) per line
// keeps lines whole between writers.
std::unique_ptr<AppendFile::Fd> OpenForAppend(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    auto f = std::unique_ptr<AppendFile::Fd>(new (std::nothrow) AppendFile::Fd(fd));
    if (!f)
        ::close(fd);
    return f;
}
// A short write (disk full) is finished rather than leaving half a line
// behind.
bool WriteWhole(AppendFile::Fd& f, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(f.fd, p, left);
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
bool Flush(AppendFile::Fd& f) {
    return ::fdatasync(f.fd) == 0;
}
}  // namespace
#endif

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
    // per line for the one log file. Both outlive every writer, including
    // those still logging while the process exits.
    static auto* openLock = new std::mutex;
    static auto* open = new std::map<std::string, std::weak_ptr<Fd>>;
    std::lock_guard openGuard(*openLock);
    std::weak_ptr<Fd>* shared = nullptr;
    try {
        std::erase_if(*open, [](const auto& kv) { return kv.second.expired(); });
        shared = &(*open)[path_];
    } catch (...) {
        return nullptr;
    }
    if ((fd_ = shared->lock()))
        return fd_;
    std::unique_ptr<Fd> opened = OpenForAppend(path_);
    if (!opened) {
        retryAfter_ = now + std::chrono::seconds(1);
        return nullptr;
    }
    try {
        fd_ = std::shared_ptr<Fd>(std::move(opened));
    } catch (...) {
        return nullptr;  // `opened` still owns the file and closes it
    }
    *shared = fd_;
    return fd_;
}

bool AppendFile::Append(std::string_view line) {
    std::shared_ptr<Fd> fd = Current();
    if (!fd)
        return false;
    return WriteWhole(*fd, line);
}

bool AppendFile::Sync() {
    std::shared_ptr<Fd> fd;
    {
        std::lock_guard lock(mutex_);
        fd = fd_;
    }
    return !fd || Flush(*fd);
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
