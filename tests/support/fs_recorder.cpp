// A recorder of the file-system calls a process makes in one folder, loaded with LD_PRELOAD:
// every call that changes what is on the disk (open, write, truncate, sync, rename, link,
// unlink, close, a kernel-side copy) on a path in the folder WB_FSREC_FOLDER is appended to
// the log WB_FSREC_LOG, one line each, in the order the calls took effect, with the bytes
// written, so that the disk a power cut could leave can be rebuilt afterwards. A sync also
// logs the whole file as it then is, which covers writes the recorder cannot see (those
// glibc's stdio makes from inside the C library).
//
// WB_FSREC_FAULTS makes chosen calls fail instead of running them: rules separated by ';',
// each "kind:name:n:errno" where kind is sync (fsync, fdatasync), write (write, pwrite,
// writev, sendfile, copy_file_range), link, rename or create; name a glob on the file's name
// in the folder ("." is the folder itself); n the ordinal of the matching call ("3"), or
// "3+" for the third and every later one; errno EIO, ENOSPC, EDQUOT or EROFS.
//
// The calls run one at a time under one lock (the journal's worker thread syncs while the
// window writes), so the log's order is the order of their effects. wb_fsrec_mark(text)
// puts a line of the test's own into the log at that point; wb_fsrec_start(log, folder,
// faults) ends one recording and starts the next, as the three variables start the first.
//
// Log lines: "<seq> <op> <fields>", texts and bytes in hexadecimal:
//   open <fd> <flags> <path>        tmpfile <fd> <folder>        close <fd>
//   write <fd> <offset> <ret> <errno> <bytes>       trunc <fd> <length> <ret> <errno>
//   sync <fd> <ret> <errno> <whole file or ->       unlink <ret> <errno> <path>
//   rename <ret> <errno> <from> <to>                link <ret> <errno> <fd or -1> <from> <to>
//   mark <text>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <functional>
#include <linux/fs.h>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

template <class F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using WritevFn = ssize_t (*)(int, const iovec*, int);
using PwritevFn = ssize_t (*)(int, const iovec*, int, off_t);
using TruncFn = int (*)(int, off_t);
using SyncFn = int (*)(int);
using CloseFn = int (*)(int);
using RenameFn = int (*)(const char*, const char*);
using RenameatFn = int (*)(int, const char*, int, const char*);
using Renameat2Fn = int (*)(int, const char*, int, const char*, unsigned);
using LinkFn = int (*)(const char*, const char*);
using LinkatFn = int (*)(int, const char*, int, const char*, int);
using UnlinkFn = int (*)(const char*);
using UnlinkatFn = int (*)(int, const char*, int);
using MkstempFn = int (*)(char*);
using MkostempFn = int (*)(char*, int);
using SendfileFn = ssize_t (*)(int, int, off_t*, size_t);
using CopyRangeFn = ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned);
using IoctlFn = int (*)(int, unsigned long, void*);
using DupFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using FopenFn = FILE* (*)(const char*, const char*);

pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct Rule {
    std::string kind, glob;
    long first = 0;
    bool onwards = false;
    int error = 0;
    long seen = 0;
};

// What a folder descriptor stands for; the file's identity tells a descriptor number that was
// closed out of sight (stdio closes inside the C library) and reused for something else.
struct Slot {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct State {
    bool ready = false;
    int log = -1;
    std::string folder;
    long seq = 0;
    std::vector<Rule> rules;
    std::vector<Slot> fds; // the folder's descriptors; an empty path for others
};

// Never destroyed: descriptors are still closed while the process exits.
State& state() {
    static State* s = new State;
    return *s;
}

// The lock held for a recorded call; the state made ready on first use.
class Guard {
public:
    Guard() {
        pthread_mutex_lock(&g_lock);
        State& s = state();
        if (!s.ready)
            init(s);
    }
    ~Guard() { pthread_mutex_unlock(&g_lock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    static int errnoNamed(const std::string& name) {
        if (name == "EIO")
            return EIO;
        if (name == "ENOSPC")
            return ENOSPC;
        if (name == "EDQUOT")
            return EDQUOT;
        if (name == "EROFS")
            return EROFS;
        return EIO;
    }
    static void parseRules(State& s, const char* text) {
        std::string all(text);
        std::size_t at = 0;
        while (at < all.size()) {
            std::size_t end = all.find(';', at);
            if (end == std::string::npos)
                end = all.size();
            const std::string one = all.substr(at, end - at);
            at = end + 1;
            std::vector<std::string> f;
            std::size_t p = 0;
            for (std::size_t q; (q = one.find(':', p)) != std::string::npos; p = q + 1)
                f.push_back(one.substr(p, q - p));
            f.push_back(one.substr(p));
            if (f.size() != 4)
                continue;
            Rule r;
            r.kind = f[0];
            r.glob = f[1];
            r.onwards = !f[2].empty() && f[2].back() == '+';
            r.first = std::strtol(f[2].c_str(), nullptr, 10);
            r.error = errnoNamed(f[3]);
            s.rules.push_back(r);
        }
    }
    static void init(State& s) {
        s.ready = true;
        s.fds.assign(65536, Slot());
        begin(s, std::getenv("WB_FSREC_LOG"), std::getenv("WB_FSREC_FOLDER"),
              std::getenv("WB_FSREC_FAULTS"));
    }

public:
    // Recording starts into `log` for `folder` with the fault rules `faults` (both may be
    // null); an earlier recording ends.
    static void begin(State& s, const char* log, const char* folder, const char* faults) {
        if (s.log >= 0)
            real<CloseFn>("close")(s.log);
        s.log = -1;
        s.seq = 0;
        s.rules.clear();
        for (Slot& slot : s.fds)
            slot = Slot();
        if (log == nullptr || folder == nullptr)
            return;
        s.folder = folder;
        while (s.folder.size() > 1 && s.folder.back() == '/')
            s.folder.pop_back();
        s.log = real<OpenFn>("open")(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (faults != nullptr)
            parseRules(s, faults);
    }
};

bool recording() {
    return state().log >= 0;
}

std::string hex(const void* data, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    const auto* b = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[b[i] >> 4];
        out += digits[b[i] & 15];
    }
    return out.empty() ? std::string("-") : out;
}

std::string hex(const std::string& s) {
    return hex(s.data(), s.size());
}

void emit(const std::string& line) {
    State& s = state();
    const std::string out = std::to_string(++s.seq) + ' ' + line + '\n';
    const WriteFn w = real<WriteFn>("write");
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t n = w(s.log, out.data() + done, out.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

// A path made absolute against the working folder or the folder of a descriptor.
std::string absolute(int dirfd, const char* path) {
    if (path == nullptr)
        return {};
    if (path[0] == '/')
        return path;
    std::string base;
    if (dirfd == AT_FDCWD) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            base = cwd;
    } else {
        char link[PATH_MAX];
        const std::string proc = "/proc/self/fd/" + std::to_string(dirfd);
        const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
        if (n > 0)
            base.assign(link, static_cast<std::size_t>(n));
    }
    std::string rel = path;
    while (rel.rfind("./", 0) == 0)
        rel.erase(0, 2);
    return rel == "." ? base : base + '/' + rel;
}

// Whether `path` is the folder or a name in it.
bool inFolder(const std::string& path) {
    const std::string& f = state().folder;
    if (!recording() || path.empty())
        return false;
    if (path == f)
        return true;
    return path.size() > f.size() + 1 && path.compare(0, f.size(), f) == 0 &&
           path[f.size()] == '/' && path.find('/', f.size() + 1) == std::string::npos;
}

std::string nameOf(const std::string& path) {
    return path == state().folder ? std::string(".") : path.substr(path.rfind('/') + 1);
}

// The folder path behind `fd`, or an empty text.
const std::string& pathOf(int fd) {
    static const std::string none;
    if (fd < 0 || static_cast<std::size_t>(fd) >= state().fds.size())
        return none;
    Slot& slot = state().fds[static_cast<std::size_t>(fd)];
    if (slot.path.empty())
        return none;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_dev != slot.dev || st.st_ino != slot.ino) {
        emit("close " + std::to_string(fd));
        slot = Slot();
        return none;
    }
    return slot.path;
}

// The error a rule injects into this call, or 0 to run it.
int injected(const char* kind, const std::string& path) {
    if (path.empty())
        return 0;
    for (Rule& r : state().rules) {
        if (r.kind != kind || fnmatch(r.glob.c_str(), nameOf(path).c_str(), 0) != 0)
            continue;
        ++r.seen;
        if (r.seen == r.first || (r.onwards && r.seen > r.first))
            return r.error;
    }
    return 0;
}

// The descriptor now stands for `path` (a folder path, or "" for another file); a folder
// descriptor taken over without a close the recorder saw is logged closed first.
void track(int fd, const std::string& path, int flags) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= state().fds.size())
        return;
    Slot& slot = state().fds[static_cast<std::size_t>(fd)];
    if (!slot.path.empty())
        emit("close " + std::to_string(fd));
    slot = Slot();
    struct stat st {};
    if (!inFolder(path) || fstat(fd, &st) != 0)
        return;
    // A file without a name yet (O_TMPFILE) is known as "<unnamed>" in the folder.
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    slot = {unnamed ? path + "/<unnamed>" : path, st.st_dev, st.st_ino};
    if (unnamed)
        emit("tmpfile " + std::to_string(fd) + ' ' + hex(path));
    else
        emit("open " + std::to_string(fd) + ' ' + std::to_string(flags) + ' ' + hex(path));
}

// The whole content of the file behind `fd`, read through /proc (the descriptor itself may
// be write-only); nothing for a folder.
bool contentOf(int fd, std::string& out) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const int r = real<OpenFn>("open")(proc.c_str(), O_RDONLY | O_CLOEXEC);
    if (r < 0)
        return false;
    struct stat st {};
    bool ok = fstat(r, &st) == 0 && S_ISREG(st.st_mode);
    out.clear();
    char buf[65536];
    for (ssize_t n; ok && (n = read(r, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    real<CloseFn>("close")(r);
    return ok;
}

std::string bytesAt(int fd, off_t offset, std::size_t n) {
    std::string all;
    if (!contentOf(fd, all) || offset < 0 || static_cast<std::size_t>(offset) >= all.size())
        return {};
    return all.substr(static_cast<std::size_t>(offset), n);
}

// Where the next write on `fd` lands.
off_t writeOffset(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_APPEND)) {
        struct stat st {};
        return fstat(fd, &st) == 0 ? st.st_size : 0;
    }
    return lseek(fd, 0, SEEK_CUR);
}

void logWrite(int fd, off_t offset, ssize_t ret, int error, const std::string& bytes) {
    emit("write " + std::to_string(fd) + ' ' + std::to_string(offset) + ' ' + std::to_string(ret) +
         ' ' + std::to_string(error) + ' ' + hex(bytes));
}

int openCommon(int dirfd, const char* path, int flags, mode_t mode, bool at) {
    Guard g;
    const std::string full = absolute(dirfd, path);
    if ((flags & O_CREAT) && inFolder(full)) {
        struct stat st {};
        if (stat(full.c_str(), &st) != 0)
            if (const int e = injected("create", full)) {
                emit("create-refused " + std::to_string(e) + ' ' + hex(full));
                errno = e;
                return -1;
            }
    }
    const int fd = at ? real<OpenatFn>("openat")(dirfd, path, flags, mode)
                      : real<OpenFn>("open")(path, flags, mode);
    const int saved = errno;
    track(fd, full, flags);
    errno = saved;
    return fd;
}

mode_t modeArg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

ssize_t writeCommon(int fd, const std::string& bytes, off_t at, bool positioned,
                    const std::function<ssize_t()>& run) {
    Guard g;
    const std::string path = pathOf(fd);
    if (path.empty())
        return run();
    const off_t offset = positioned ? at : writeOffset(fd);
    ssize_t ret = -1;
    int error = injected("write", path);
    if (error == 0) {
        ret = run();
        error = ret < 0 ? errno : 0;
    }
    logWrite(fd, offset, ret, error,
             ret > 0 ? bytes.substr(0, static_cast<std::size_t>(ret)) : std::string());
    errno = error;
    return ret;
}

int syncCommon(int fd, const char* which) {
    Guard g;
    const std::string path = pathOf(fd);
    if (path.empty())
        return real<SyncFn>(which)(fd);
    std::string whole;
    const bool file = contentOf(fd, whole);
    int ret = 0;
    int error = injected("sync", path);
    if (error != 0) {
        ret = -1;
    } else {
        ret = real<SyncFn>(which)(fd);
        error = ret == 0 ? 0 : errno;
    }
    emit("sync " + std::to_string(fd) + ' ' + std::to_string(ret) + ' ' + std::to_string(error) +
         ' ' + (file ? hex(whole) : std::string("-")));
    errno = error;
    return ret;
}

int renameCommon(const std::string& from, const std::string& to, const std::function<int()>& run) {
    Guard g;
    if (!inFolder(from) && !inFolder(to))
        return run();
    int ret = -1;
    int error = injected("rename", to);
    if (error == 0) {
        ret = run();
        error = ret == 0 ? 0 : errno;
    }
    emit("rename " + std::to_string(ret) + ' ' + std::to_string(error) + ' ' + hex(from) + ' ' +
         hex(to));
    errno = error;
    return ret;
}

int unlinkCommon(const std::string& path, const std::function<int()>& run) {
    Guard g;
    if (!inFolder(path))
        return run();
    const int ret = run();
    const int error = ret == 0 ? 0 : errno;
    emit("unlink " + std::to_string(ret) + ' ' + std::to_string(error) + ' ' + hex(path));
    errno = error;
    return ret;
}

// A link from "/proc/self/fd/N" names the file behind descriptor N (an unnamed temporary).
int linkCommon(const std::string& from, const std::string& to, const std::function<int()>& run) {
    Guard g;
    if (!inFolder(to))
        return run();
    int fd = -1;
    if (from.rfind("/proc/self/fd/", 0) == 0)
        fd = std::atoi(from.c_str() + 14);
    int ret = -1;
    int error = injected("link", to);
    if (error == 0) {
        ret = run();
        error = ret == 0 ? 0 : errno;
    }
    emit("link " + std::to_string(ret) + ' ' + std::to_string(error) + ' ' + std::to_string(fd) +
         ' ' + hex(from) + ' ' + hex(to));
    errno = error;
    return ret;
}

} // namespace

extern "C" {

// Ends the recording so far and starts another, as the environment starts the first (a
// null log: none). Lets one process record several runs.
__attribute__((visibility("default"))) void wb_fsrec_start(const char* log, const char* folder,
                                                           const char* faults) {
    Guard g;
    Guard::begin(state(), log, folder, faults);
}

__attribute__((visibility("default"))) void wb_fsrec_mark(const char* text) {
    Guard g;
    if (recording())
        emit("mark " + hex(std::string(text)));
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openCommon(AT_FDCWD, path, flags, mode, false);
}
int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openCommon(AT_FDCWD, path, flags, mode, false);
}
int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openCommon(dirfd, path, flags, mode, true);
}
int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openCommon(dirfd, path, flags, mode, true);
}
int __open_2(const char* path, int flags) {
    return openCommon(AT_FDCWD, path, flags, 0, false);
}
int __open64_2(const char* path, int flags) {
    return openCommon(AT_FDCWD, path, flags, 0, false);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return openCommon(dirfd, path, flags, 0, true);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return openCommon(dirfd, path, flags, 0, true);
}
int creat(const char* path, mode_t mode) {
    return openCommon(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}
int creat64(const char* path, mode_t mode) {
    return openCommon(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}

// mkstemp and stdio open their files inside the C library, where the open is not seen.
int mkstemp(char* name) {
    Guard g;
    const int fd = real<MkstempFn>("mkstemp")(name);
    const int saved = errno;
    track(fd, fd >= 0 ? absolute(AT_FDCWD, name) : std::string(), O_RDWR | O_CREAT | O_EXCL);
    errno = saved;
    return fd;
}
int mkstemp64(char* name) {
    return mkstemp(name);
}
int mkostemp(char* name, int flags) {
    Guard g;
    const int fd = real<MkostempFn>("mkostemp")(name, flags);
    const int saved = errno;
    track(fd, fd >= 0 ? absolute(AT_FDCWD, name) : std::string(),
          O_RDWR | O_CREAT | O_EXCL | flags);
    errno = saved;
    return fd;
}
int mkostemp64(char* name, int flags) {
    return mkostemp(name, flags);
}
FILE* fopen(const char* path, const char* mode) {
    Guard g;
    FILE* f = real<FopenFn>("fopen")(path, mode);
    const int saved = errno;
    if (f != nullptr) {
        int flags = O_RDONLY;
        if (std::strchr(mode, 'w'))
            flags = O_WRONLY | O_CREAT | O_TRUNC;
        else if (std::strchr(mode, 'a'))
            flags = O_WRONLY | O_CREAT | O_APPEND;
        track(fileno(f), absolute(AT_FDCWD, path), flags);
    }
    errno = saved;
    return f;
}
FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

ssize_t write(int fd, const void* buf, size_t n) {
    return writeCommon(fd, std::string(static_cast<const char*>(buf), n), 0, false,
                       [&] { return real<WriteFn>("write")(fd, buf, n); });
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    return writeCommon(fd, std::string(static_cast<const char*>(buf), n), at, true,
                       [&] { return real<PwriteFn>("pwrite")(fd, buf, n, at); });
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
    return writeCommon(fd, std::string(static_cast<const char*>(buf), n), at, true,
                       [&] { return real<PwriteFn>("pwrite64")(fd, buf, n, at); });
}
ssize_t writev(int fd, const iovec* iov, int count) {
    std::string bytes;
    {
        Guard g;
        if (!pathOf(fd).empty())
            for (int i = 0; i < count; ++i)
                bytes.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    }
    return writeCommon(fd, bytes, 0, false,
                       [&] { return real<WritevFn>("writev")(fd, iov, count); });
}

ssize_t pwritev(int fd, const iovec* iov, int count, off_t at) {
    std::string bytes;
    {
        Guard g;
        if (!pathOf(fd).empty())
            for (int i = 0; i < count; ++i)
                bytes.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    }
    return writeCommon(fd, bytes, at, true,
                       [&] { return real<PwritevFn>("pwritev")(fd, iov, count, at); });
}
ssize_t pwritev64(int fd, const iovec* iov, int count, off_t at) {
    return pwritev(fd, iov, count, at);
}

// A copy the kernel makes: the bytes are read back from the file they went into.
ssize_t sendfile(int out, int in, off_t* offset, size_t n) {
    Guard g;
    if (pathOf(out).empty())
        return real<SendfileFn>("sendfile")(out, in, offset, n);
    const off_t at = writeOffset(out);
    ssize_t ret = -1;
    int error = injected("write", pathOf(out));
    if (error == 0) {
        ret = real<SendfileFn>("sendfile")(out, in, offset, n);
        error = ret < 0 ? errno : 0;
    }
    logWrite(out, at, ret, error,
             ret > 0 ? bytesAt(out, at, static_cast<std::size_t>(ret)) : std::string());
    errno = error;
    return ret;
}
ssize_t sendfile64(int out, int in, off_t* offset, size_t n) {
    return sendfile(out, in, offset, n);
}
ssize_t copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t n,
                        unsigned flags) {
    Guard g;
    if (pathOf(out).empty())
        return real<CopyRangeFn>("copy_file_range")(in, inOffset, out, outOffset, n, flags);
    const off_t at = outOffset != nullptr ? *outOffset : writeOffset(out);
    ssize_t ret = -1;
    int error = injected("write", pathOf(out));
    if (error == 0) {
        ret = real<CopyRangeFn>("copy_file_range")(in, inOffset, out, outOffset, n, flags);
        error = ret < 0 ? errno : 0;
    }
    logWrite(out, at, ret, error,
             ret > 0 ? bytesAt(out, at, static_cast<std::size_t>(ret)) : std::string());
    errno = error;
    return ret;
}
// A clone (FICLONE) makes the target a copy of the whole source.
int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    Guard g;
    const int ret = real<IoctlFn>("ioctl")(fd, request, arg);
    const int error = errno;
    if (ret == 0 && request == FICLONE && !pathOf(fd).empty()) {
        std::string whole;
        contentOf(fd, whole);
        emit("trunc " + std::to_string(fd) + " 0 0 0");
        logWrite(fd, 0, static_cast<ssize_t>(whole.size()), 0, whole);
    }
    errno = error;
    return ret;
}

int ftruncate(int fd, off_t length) {
    Guard g;
    const int ret = real<TruncFn>("ftruncate")(fd, length);
    const int error = errno;
    if (!pathOf(fd).empty())
        emit("trunc " + std::to_string(fd) + ' ' + std::to_string(length) + ' ' +
             std::to_string(ret) + ' ' + std::to_string(ret == 0 ? 0 : error));
    errno = error;
    return ret;
}
int ftruncate64(int fd, off_t length) {
    return ftruncate(fd, length);
}

int fsync(int fd) {
    return syncCommon(fd, "fsync");
}
int fdatasync(int fd) {
    return syncCommon(fd, "fdatasync");
}

int close(int fd) {
    Guard g;
    if (!pathOf(fd).empty()) {
        emit("close " + std::to_string(fd));
        state().fds[static_cast<std::size_t>(fd)] = Slot();
    }
    return real<CloseFn>("close")(fd);
}
int dup(int fd) {
    Guard g;
    const int r = real<DupFn>("dup")(fd);
    const int saved = errno;
    track(r, pathOf(fd), O_RDWR);
    errno = saved;
    return r;
}
int dup2(int fd, int to) {
    Guard g;
    const int r = real<Dup2Fn>("dup2")(fd, to);
    const int saved = errno;
    if (r >= 0)
        track(r, pathOf(fd), O_RDWR);
    errno = saved;
    return r;
}
int dup3(int fd, int to, int flags) {
    Guard g;
    const int r = real<Dup3Fn>("dup3")(fd, to, flags);
    const int saved = errno;
    if (r >= 0)
        track(r, pathOf(fd), O_RDWR);
    errno = saved;
    return r;
}

int rename(const char* from, const char* to) {
    return renameCommon(absolute(AT_FDCWD, from), absolute(AT_FDCWD, to),
                        [&] { return real<RenameFn>("rename")(from, to); });
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
    return renameCommon(absolute(fromDir, from), absolute(toDir, to),
                        [&] { return real<RenameatFn>("renameat")(fromDir, from, toDir, to); });
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return renameCommon(absolute(fromDir, from), absolute(toDir, to), [&] {
        return real<Renameat2Fn>("renameat2")(fromDir, from, toDir, to, flags);
    });
}
int link(const char* from, const char* to) {
    return linkCommon(absolute(AT_FDCWD, from), absolute(AT_FDCWD, to),
                      [&] { return real<LinkFn>("link")(from, to); });
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return linkCommon(absolute(fromDir, from), absolute(toDir, to),
                      [&] { return real<LinkatFn>("linkat")(fromDir, from, toDir, to, flags); });
}
int unlink(const char* path) {
    return unlinkCommon(absolute(AT_FDCWD, path), [&] { return real<UnlinkFn>("unlink")(path); });
}
int unlinkat(int dir, const char* path, int flags) {
    return unlinkCommon(absolute(dir, path),
                        [&] { return real<UnlinkatFn>("unlinkat")(dir, path, flags); });
}
int remove(const char* path) {
    return unlinkCommon(absolute(AT_FDCWD, path), [&] {
        struct stat st {};
        if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode))
            return rmdir(path);
        return real<UnlinkFn>("unlink")(path);
    });
}

} // extern "C"
