#!/usr/bin/python3
# store_io_model.py DAY_XLS [ROUNDS]: how the disk side of a store into DAY_XLS could go,
# without the store itself. The store's own work is stood in for by sleeping (its thread holds
# one core; the writes and flushes below go on beside it). Four ways, alternating, medians:
#   copy           read the file, write a copy, fsync (what bench_store compares with)
#   told           as the store writes today: its work until the run of kept rows is told
#                  (5.6 ms), the run written on a helper a MB at a time with its writeback
#                  begun, the rest of the work (0.9 ms), the rest of the file, fsync
#   early copy     a kernel copy of the file into the temporary file begun at once, the same
#                  work (6.5 ms), then the changed sectors and the new rows, fsync
#   early flush    as early copy, the helper flushing the copy as soon as it is made, so that
#                  the last fsync has only the changed sectors left
# The times and sizes are those measured on our own 50,000-row day (docs/proofs.md).
import ctypes
import os
import statistics
import sys
import threading
import time

libc = ctypes.CDLL("libc.so.6", use_errno=True)
WORK_UNTIL_TOLD_MS, WORK_AFTER_TOLD_MS = 5.6, 0.9
RUN_AT, RUN_SIZE = 1_491_613, 4_900_000
NEW_ROWS, CHANGED = 650_000, 40_000
MB = 1 << 20
SYNC_FILE_RANGE_WRITE = 2  # <linux/fs.h>: begin writeback of the dirty pages, do not wait


def begin_writeback(fd, offset, size):
    libc.sync_file_range(fd, ctypes.c_longlong(offset), ctypes.c_longlong(size),
                        SYNC_FILE_RANGE_WRITE)


def work(ms):
    time.sleep(ms / 1000)


def copy(src, data, path):
    with open(src, 'rb') as f:
        content = f.read()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.write(fd, content)
    os.fsync(fd)
    os.close(fd)


def told(src, data, path):
    work(WORK_UNTIL_TOLD_MS)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    def ahead():
        for o in range(0, RUN_SIZE, MB):
            n = min(MB, RUN_SIZE - o)
            os.pwrite(fd, data[RUN_AT + o:RUN_AT + o + n], RUN_AT + o)
            begin_writeback(fd, RUN_AT + o, n)
    helper = threading.Thread(target=ahead)
    helper.start()
    work(WORK_AFTER_TOLD_MS)
    os.pwrite(fd, data[:RUN_AT], 0)
    os.pwrite(fd, data[RUN_AT + RUN_SIZE:], RUN_AT + RUN_SIZE)
    os.pwrite(fd, bytes(NEW_ROWS), len(data))
    helper.join()
    os.fsync(fd)
    os.close(fd)


def early(flush):
    def store(src, data, path):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        old = os.open(src, os.O_RDONLY)

        def copier():
            done = 0
            while done < len(data):
                n = os.copy_file_range(old, fd, min(MB, len(data) - done), done, done)
                begin_writeback(fd, done, n)
                done += n
            if flush:
                os.fdatasync(fd)
        helper = threading.Thread(target=copier)
        helper.start()
        work(WORK_UNTIL_TOLD_MS + WORK_AFTER_TOLD_MS)
        helper.join()
        os.pwrite(fd, b'\1' * CHANGED, RUN_AT - CHANGED)
        os.pwrite(fd, bytes(NEW_ROWS), len(data))
        os.fsync(fd)
        os.close(fd)
        os.close(old)
    return store


def main():
    src = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
    with open(src, 'rb') as f:
        data = f.read()
    ways = [('copy', copy), ('told', told), ('early copy', early(False)),
            ('early flush', early(True))]
    times = {name: [] for name, _ in ways}
    folder = os.path.dirname(os.path.abspath(src))
    for _ in range(rounds):
        for name, way in ways:
            path = os.path.join(folder, '.store_io_model.tmp')
            start = time.perf_counter()
            way(src, data, path)
            times[name].append((time.perf_counter() - start) * 1000)
            os.unlink(path)
    base = statistics.median(times['copy'])
    for name, _ in ways:
        t = times[name]
        print('%-12s median %5.1f ms (min %5.1f, max %5.1f)  %.2f x the copy' %
              (name, statistics.median(t), min(t), max(t), statistics.median(t) / base))


if __name__ == '__main__':
    main()
