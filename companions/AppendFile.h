// A file that whole lines are appended to, shared by the log writer and the
// event reporter.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "tarvik/types.h"

namespace tarvik::companions {

class AppendFile {
  public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Names the file (empty: none). It is opened on the next write.
    void SetPath(std::string path);
    std::string Path() const;

    // The path as the owning object's COM methods take and give it (UTF-16
    // here, UTF-8 on disk).
    HRESULT SetPathBstr(BSTR path);
    HRESULT GetPathBstr(BSTR* path) const;
    // The starting path: the environment variable `envVar` where it is set
    // and not empty (so a test or host can redirect the file), else the
    // class's `setting` value.
    void SetDefaultPath(const char* envVar, REFCLSID clsid, std::string_view setting);

    // Appends `line` (which ends with "\n") with a single write, so lines from
    // other threads and processes appending to the same file never mix.
    // False when nothing was written (no file, cannot open, write failed).
    bool Append(std::string_view line);
    bool Sync();

    struct Fd;  // the open file of the platform; closes on destruction

  private:
    std::shared_ptr<Fd> Current();

    // Guards path_ and fd_. A writer takes its own reference on the open file
    // and writes outside the lock, so a SetPath meanwhile cannot close the
    // descriptor under it.
    mutable std::mutex mutex_;
    std::string path_;
    std::shared_ptr<Fd> fd_;
    // After a failed open, the next attempt waits a while instead of costing
    // a system call on every entry.
    std::chrono::steady_clock::time_point retryAfter_{};
};

// Escapes backslash, tab, line feed and carriage return as \\ \t \n \r.
void AppendEscapedUtf8(std::string* out, std::string_view utf8);

}  // namespace tarvik::companions
