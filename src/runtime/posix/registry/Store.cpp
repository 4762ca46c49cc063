// The store file: where it lives, reading it, and read-modify-write updates.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "registry/File.h"
#include "tarvik/registry.h"

namespace tarvik::registry {
namespace {

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir)
        return pw.pw_dir;
    return ".";
}

// Holds an flock on the store's lock file. The lock lives on a separate file
// because every write replaces the store's inode: a lock on the store itself
// would be taken on a file that is no longer the store.
class StoreLock {
  public:
    StoreLock(const std::string& path, int operation) {
        fd_ = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return;
        int rc;
        do {
            rc = flock(fd_, operation);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~StoreLock() {
        if (fd_ >= 0)
            close(fd_);  // closing the descriptor drops the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool Held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Key names are written unquoted in section headers, where a line break
// cannot be represented; such a tree is refused rather than written as a file
// nobody could read back.
bool NamesWritable(const Key& key) {
    for (const auto& [name, sub] : key.Subkeys()) {
        if (name.find_first_of("\r\n") != std::string::npos)
            return false;
        if (!NamesWritable(*sub))
            return false;
    }
    return true;
}

}  // namespace

std::string DefaultPath() {
    if (const char* p = std::getenv("TARVIK_REGISTRY"); p && *p)
        return p;
    // XDG says a relative XDG_DATA_HOME is invalid and must be ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        return std::string(xdg) + "/tarvik/registry.reg";
    return HomeFolder() + "/.local/share/tarvik/registry.reg";
}

// Load takes no lock: writers replace the file by rename, so a reader opens
// either the complete old file or the complete new one, never a half-written
// one. Readers therefore never wait for a writer.
HRESULT Load(Key* root, const std::string& path) {
    if (!root)
        return E_POINTER;
    std::string text;
    switch (file::ReadAll(path, &text, nullptr)) {
        case file::ReadResult::Missing:
            *root = Key();
            return S_OK;
        case file::ReadResult::Failed:
            return REGDB_E_READREGDB;
        case file::ReadResult::Ok:
            break;
    }
    return Parse(text, root) ? S_OK : REGDB_E_READREGDB;
}

HRESULT Update(const std::function<HRESULT(Key& root)>& edit, const std::string& path) {
    if (!edit)
        return E_INVALIDARG;
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    StoreLock lock(path, LOCK_EX);
    if (!lock.Held())
        return REGDB_E_WRITEREGDB;

    std::string before;
    Key root;
    file::ReadResult read = file::ReadAll(path, &before, nullptr);
    if (read == file::ReadResult::Failed)
        return REGDB_E_READREGDB;
    // A file that does not parse is left exactly as it is: writing our view of
    // it would throw away whatever it held.
    if (read == file::ReadResult::Ok && !Parse(before, &root))
        return REGDB_E_READREGDB;

    HRESULT hr = edit(root);
    if (FAILED(hr))
        return hr;
    if (!NamesWritable(root))
        return REGDB_E_WRITEREGDB;
    std::string after = Serialize(root);
    if (read == file::ReadResult::Ok && after == before)
        return hr;  // nothing changed
    if (!file::ReplaceAtomically(path, after))
        return REGDB_E_WRITEREGDB;
    return hr;
}

HRESULT Update(const Scope&, const std::function<HRESULT(Key& root)>& edit,
               const std::string& path) {
    return Update(edit, path);
}

bool QueryString(std::string_view keyPath, std::string_view valueName, std::string* out,
                 const std::string& path) {
    std::shared_ptr<const Key> tree;
    if (FAILED(Snapshot(&tree, path)))
        return false;
    const Key* key = tree->Find(keyPath);
    if (!key)
        return false;
    const Value* value = key->GetValue(valueName);
    if (!value || value->type != ValueType::String)
        return false;
    if (out)
        *out = value->text;
    return true;
}

}  // namespace tarvik::registry
