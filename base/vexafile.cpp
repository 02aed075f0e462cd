// Saving without ever destroying the old file (see vexafile.h).
#include "vexafile.h"

#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#endif

namespace ORMELA {
namespace impl {

#if !defined(_WIN32)

namespace {

// A name part that no two saves share, in this process or another: the
// exclusive create catches the rare clash.
std::string UniqueSuffix() {
    static std::atomic<unsigned long long> counter(0);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long x =
        static_cast<unsigned long long>(now.tv_nsec) ^ (static_cast<unsigned long long>(now.tv_sec) << 30) ^
        (static_cast<unsigned long long>(getpid()) << 12) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 29;
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string suffix(8, 'x');
    for (char& c : suffix) {
        c = kDigits[x % 36];
        x /= 36;
    }
    return suffix;
}

// Follows the symbolic links at *path to the name that opening it for
// writing would reach: a relative link counts from the link's folder.
// False for a chain that does not end.
bool FollowLinks(std::string* path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char link[4096];
        const ssize_t n = readlink(path->c_str(), link, sizeof link);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return false;
        std::string next(link, static_cast<size_t>(n));
        const size_t slash = path->rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next.insert(0, *path, 0, slash + 1);
        path->swap(next);
    }
    return false;
}

// Makes the rename itself durable; a folder that cannot be opened or
// synced (some file systems refuse) changes nothing about the result.
void SyncFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const int synced = fsync(fd);  // nothing to undo if it fails: the new file is in place
    static_cast<void>(synced);
    close(fd);
}

}  // namespace

FILE* ReplacingFile::Open(const char* target, const char* fopenMode) {
    if (!target || !*target) return 0;
    struct stat st;
    if (stat(target, &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device or a pipe is no file to replace; a folder cannot be written.
        if (S_ISDIR(st.st_mode)) return 0;
        file = std::fopen(target, fopenMode);
        return file;
    }
    path = target;
    if (!FollowLinks(&path)) return 0;
    existed = stat(path.c_str(), &st) == 0;
    if (existed) {
        permissions = static_cast<unsigned>(st.st_mode & 07777);
        owner = static_cast<unsigned>(st.st_uid);
        group = static_cast<unsigned>(st.st_gid);
    }
    const size_t slash = path.rfind('/');
    const size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
    if (baseStart == path.size()) return 0;  // names a folder
    // Hidden, beside the target, and short enough for any name limit.
    const std::string stem = path.substr(0, baseStart) + "." + path.substr(baseStart, 200) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = stem + UniqueSuffix() + ".tmp";
        // Created as fopen creates, so that a new target gets the mode the
        // process's umask gives.
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            file = fdopen(fd, "wb");
            if (!file) {
                close(fd);
                Discard();
            }
            return file;
        }
        if (errno != EEXIST) break;
    }
    temporary.clear();
    return 0;
}

bool ReplacingFile::Commit() {
    if (!file) return false;
    FILE* const f = file;
    file = 0;
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (temporary.empty()) return (std::fclose(f) == 0) && ok;  // written in place
    const int fd = fileno(f);
    if (ok && existed) {
        // The owner first: a change of owner clears the set-user-ID bits
        // that the mode then restores. Only root may give a file away;
        // anyone else's new file stays theirs.
        const int given = fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group));
        static_cast<void>(given);
        ok = fchmod(fd, static_cast<mode_t>(permissions)) == 0;
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (std::fclose(f) != 0) ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        Discard();
        return false;
    }
    temporary.clear();
    SyncFolder(path);
    return true;
}

void ReplacingFile::Discard() {
    if (!temporary.empty()) unlink(temporary.c_str());
    temporary.clear();
}

#else

// Elsewhere the target is written in place.
FILE* ReplacingFile::Open(const char* target, const char* fopenMode) {
    if (!target || !*target) return 0;
    file = std::fopen(target, fopenMode);
    return file;
}

bool ReplacingFile::Commit() {
    if (!file) return false;
    FILE* const f = file;
    file = 0;
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    return (std::fclose(f) == 0) && ok;
}

void ReplacingFile::Discard() {}

#endif

ReplacingFile::~ReplacingFile() {
    if (file) std::fclose(file);
    Discard();
}

}  // namespace impl
}  // namespace ORMELA
