#pragma once
// How a save puts its file down: byte runs written in order to the file's descriptor (or
// gathered in memory), and one long run of them written ahead on a helper thread.

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <future>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

namespace workbook::detail {

using Span = std::span<const std::uint8_t>;

// Writes `count` parts in order, from `at` when given, else from the descriptor's offset,
// again where a write was cut short (the parts are advanced past what is written); 0 or an
// errno value.
inline int writeParts(int fd, iovec* parts, std::size_t count,
                      std::optional<std::uint64_t> at = std::nullopt) {
    for (std::size_t i = 0; i < count;) {
        const int n = static_cast<int>(std::min<std::size_t>(count - i, IOV_MAX));
        ssize_t done =
            at ? ::pwritev(fd, &parts[i], n, static_cast<off_t>(*at)) : ::writev(fd, &parts[i], n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : EIO;
        if (at)
            *at += static_cast<std::uint64_t>(done);
        while (i < count && static_cast<std::size_t>(done) >= parts[i].iov_len)
            done -= static_cast<ssize_t>(parts[i++].iov_len);
        if (done > 0) {
            parts[i].iov_base = static_cast<std::uint8_t*>(parts[i].iov_base) + done;
            parts[i].iov_len -= static_cast<std::size_t>(done);
        }
    }
    return 0;
}

// Byte runs written in order to a file descriptor or gathered in memory.
class Sink {
public:
    void add(Span bytes) {
        if (!bytes.empty())
            m_parts.push_back({const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
    }
    void pad(std::uint64_t written, std::size_t unit) {
        if (const std::size_t rest = written % unit; rest != 0)
            add(Span(zeros.data(), unit - rest));
    }
    std::vector<std::uint8_t> gather() const {
        std::vector<std::uint8_t> out;
        for (const iovec& v : m_parts)
            out.insert(out.end(), static_cast<const std::uint8_t*>(v.iov_base),
                       static_cast<const std::uint8_t*>(v.iov_base) + v.iov_len);
        return out;
    }
    // The part that is `run` and starts `at` bytes into the file, if there is one.
    std::optional<std::size_t> find(Span run, std::uint64_t at) const {
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < m_parts.size() && offset <= at; ++i) {
            if (offset == at && m_parts[i].iov_base == run.data() &&
                m_parts[i].iov_len == run.size())
                return i;
            offset += m_parts[i].iov_len;
        }
        return std::nullopt;
    }
    // Writes every part but `skip`, which is passed over (written already); 0 or an errno
    // value.
    int write(int fd, std::optional<std::size_t> skip = std::nullopt) {
        if (!skip)
            return write(fd, 0, m_parts.size());
        if (const int error = write(fd, 0, *skip); error != 0)
            return error;
        if (::lseek(fd, static_cast<off_t>(m_parts[*skip].iov_len), SEEK_CUR) < 0)
            return errno;
        return write(fd, *skip + 1, m_parts.size());
    }

private:
    static constexpr std::array<std::uint8_t, 4096> zeros{};

    int write(int fd, std::size_t from, std::size_t to) {
        return writeParts(fd, m_parts.data() + from, to - from);
    }

    std::vector<iovec> m_parts;
};

// A run written ahead of the rest of the file, on a helper thread, its writeback begun, so
// that the disk is busy while the rest is laid out and the final flush has less to wait for.
// Waited for before it goes (an error of the layout, too, leaves no thread writing into the
// file's descriptor).
class AheadWrite {
public:
    // Shorter runs are written with the rest: a thread would cost more than it saves.
    static constexpr std::size_t From = std::size_t{1} << 20;

    explicit AheadWrite(int fd) : m_fd(fd) {}
    ~AheadWrite() { finish(); }
    AheadWrite(const AheadWrite&) = delete;
    AheadWrite& operator=(const AheadWrite&) = delete;

    void start(Span run, std::uint64_t at) {
        if (run.size() < From || m_done.valid())
            return;
        try {
            m_done = std::async(std::launch::async, [this, run, at] { return write(run, at); });
        } catch (const std::system_error&) {
            return; // no thread: the run is written with the rest
        }
        m_run = run;
        m_at = at;
    }
    bool started() const { return !m_run.empty(); }
    Span run() const { return m_run; }
    std::uint64_t at() const { return m_at; }
    // Waits for the write; 0 or an errno value.
    int finish() {
        if (m_done.valid())
            m_error = m_done.get();
        return m_error;
    }

private:
    // A MB at a time, each one's writeback begun once it is written (only begun: the file's
    // own flush waits for it), so that the disk starts on the run while the rest of it is
    // still being written.
    int write(Span run, std::uint64_t at) const {
        constexpr std::size_t Chunk = std::size_t{1} << 20;
        for (std::size_t done = 0; done < run.size();) {
            const std::size_t size = std::min(Chunk, run.size() - done);
            const ssize_t n =
                ::pwrite(m_fd, run.data() + done, size, static_cast<off_t>(at + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : EIO;
            ::sync_file_range(m_fd, static_cast<off_t>(at + done), n, SYNC_FILE_RANGE_WRITE);
            done += static_cast<std::size_t>(n);
        }
        return 0;
    }

    const int m_fd;
    std::future<int> m_done;
    int m_error = 0;
    Span m_run;
    std::uint64_t m_at = 0;
};

} // namespace workbook::detail
