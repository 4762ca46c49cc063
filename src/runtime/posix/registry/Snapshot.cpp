// A parsed copy of the store kept in memory, so that lookups (class
// activation, ProgIDs) do not read the file each time.
//
// Freshness check: a stat of the store compared with the (device, inode,
// size, mtime, ctime) of the copy, plus a counter every write from this
// process bumps. stat reads inode metadata the kernel holds in memory; the
// file itself is read again only when one of those changed. Every write
// replaces the file by rename, so another process's write shows as a new
// inode even when size and times happen to match.
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "registry/File.h"
#include "tarvik/registry.h"

namespace tarvik::registry {
namespace {

struct Signature {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    struct timespec ctime = {0, 0};

    static Signature Of(const struct stat& st) {
        Signature s;
        s.exists = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
        s.ctime = st.st_ctim;
        return s;
    }
    bool operator==(const Signature& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

struct Cached {
    Signature signature;
    uint64_t generation = 0;
    std::shared_ptr<const Key> tree;
};

// Processes normally use one store; tests switch between a few. A small
// bound keeps a long-running host that is handed many paths from growing.
constexpr size_t kMaxCached = 8;

struct Cache {
    std::mutex mutex;
    std::unordered_map<std::string, Cached> entries;
};

// Left undestroyed on purpose: a component's event thread may activate a
// class (and so read the cache) while the process exits, and exit must not
// destroy the cache under it.
Cache& TheCache() {
    static Cache& cache = *new Cache;
    return cache;
}

std::atomic<uint64_t> g_reads{0};

}  // namespace

HRESULT Snapshot(std::shared_ptr<const Key>* out, const std::string& path) {
    if (!out)
        return E_POINTER;
    out->reset();
    // The generation is taken before the file is looked at: a write from
    // this process in between then makes the copy look stale (one extra
    // read) rather than making a stale copy look fresh. The copy's signature
    // is that of the very file read (fstat), for the same reason.
    uint64_t generation = file::LocalGeneration();
    struct stat st;
    Signature now;
    if (stat(path.c_str(), &st) == 0)
        now = Signature::Of(st);

    Cache& cache = TheCache();
    std::lock_guard lock(cache.mutex);
    auto it = cache.entries.find(path);
    if (it != cache.entries.end() && it->second.signature == now &&
        it->second.generation == generation) {
        *out = it->second.tree;
        return S_OK;
    }
    std::string text;
    struct stat readSt;
    auto tree = std::make_shared<Key>();
    Signature read;
    ++g_reads;
    switch (file::ReadAll(path, &text, &readSt)) {
        case file::ReadResult::Failed:
            return REGDB_E_READREGDB;
        case file::ReadResult::Missing:
            break;
        case file::ReadResult::Ok:
            if (!Parse(text, tree.get()))
                return REGDB_E_READREGDB;
            read = Signature::Of(readSt);
            break;
    }
    if (it == cache.entries.end() && cache.entries.size() >= kMaxCached)
        cache.entries.clear();
    cache.entries[path] = Cached{read, generation, tree};
    *out = std::move(tree);
    return S_OK;
}

uint64_t SnapshotReads() {
    return g_reads.load();
}

}  // namespace tarvik::registry
