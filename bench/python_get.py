#!/usr/bin/python3
"""cache.get from Python against the C++ LoadImageData loop and MapProxy.

16,384 tiles of 20,000 bytes (one 128 x 128 block of level 7) in a Compact V1
cache of ArcGIS's structure (about 330 MB, in a temporary folder, read once first so that the page
cache is warm). Prints tiles/s and the ratios the module aims at: one Python
thread within 1.5x the C++ time per tile, four threads at least 1.6x one
thread, at least 5x MapProxy's CompactCacheV1.load_tile.

  PYTHONPATH=build/python /usr/bin/python3 bench/python_get.py build/bench/bench_storage_load_loop
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

import tvk

LEVEL, SIDE, SIZE, ROUNDS = 7, 128, 20000, 3
ADDRESSES = [(LEVEL, r, c) for r in range(SIDE) for c in range(SIDE)]


def build(folder):
    cache = tvk.create(folder, crs="EPSG:3857", levels=range(0, LEVEL + 1), layout="compact",
                         arcgis=True)  # the V1 structure MapProxy reads
    noise = os.urandom(SIZE + 4096)
    for i, address in enumerate(ADDRESSES):
        cache.put(*address, memoryview(noise)[i % 4096:i % 4096 + SIZE])
    cache.close()
    return tvk.open(folder)


def best_rate(fn, tiles):
    """Best tiles/s of ROUNDS runs, and the CPUs the process used in that run
    (CPU time / wall time): on a busy machine threads cannot go faster than
    the cores they are given, whatever the GIL does."""
    best, cpus = 0.0, 0.0
    for _ in range(ROUNDS):
        cpu, start = time.process_time(), time.perf_counter()
        fn()
        wall = time.perf_counter() - start
        if tiles / wall > best:
            best, cpus = tiles / wall, (time.process_time() - cpu) / wall
    return best, cpus


def python_rate(cache, threads):
    def read():
        get = cache.get
        for address in ADDRESSES:
            get(*address)

    def run():
        workers = [threading.Thread(target=read) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    return best_rate(run if threads > 1 else read, threads * len(ADDRESSES))


def mapproxy_rate(folder, cache):
    from mapproxy.cache.compact import CompactCacheV1
    from mapproxy.cache.tile import Tile

    mp = CompactCacheV1(cache_dir=os.path.join(folder, "_alllayers"))
    # The same bytes through both readers, or the comparison means nothing.
    for level, row, col in ADDRESSES[::997]:
        tile = Tile((col, row, level))
        assert mp.load_tile(tile) and tile.source.as_buffer().read() == cache.get(level, row, col)

    def read():
        for level, row, col in ADDRESSES:
            mp.load_tile(Tile((col, row, level)))

    return best_rate(read, len(ADDRESSES))


def cpp_rate(binary, folder):
    env = dict(os.environ, TVK_BENCH_CACHE=os.path.join(folder, "conf.xml"),
               TVK_BENCH_LEVEL=str(LEVEL))
    out = subprocess.run([binary, "--benchmark_format=json"], env=env, check=True,
                         capture_output=True, text=True).stdout
    # The loop from one thread, then from two sharing the storage.
    return [b["items_per_second"] for b in json.loads(out)["benchmarks"]]


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else "build/bench/bench_storage_load_loop"
    with tempfile.TemporaryDirectory() as folder:
        cache = build(folder)
        python_rate(cache, 1)  # warm the page cache
        cpp, cpp2 = cpp_rate(binary, folder)
        one, cpus1 = python_rate(cache, 1)
        four, cpus4 = python_rate(cache, 4)
        mp, _ = mapproxy_rate(folder, cache)
    print(f"C++ LoadImageData loop : {cpp:12,.0f} tiles/s ({1e6 / cpp:.2f} us/tile)")
    print(f"C++ loop, 2 threads    : {cpp2:12,.0f} tiles/s ({cpp2 / cpp:.2f}x one thread)")
    print(f"Python get, 1 thread   : {one:12,.0f} tiles/s ({1e6 / one:.2f} us/tile, "
          f"{cpus1:.2f} CPUs used)")
    print(f"Python get, 4 threads  : {four:12,.0f} tiles/s ({cpus4:.2f} CPUs used)")
    print(f"Load average           : {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"MapProxy load_tile     : {mp:12,.0f} tiles/s")
    print(f"Python 1 thread time / C++ time : {cpp / one:.2f}  (target <= 1.5)")
    print(f"Python 4 threads / 1 thread     : {four / one:.2f}  (target >= 1.6)")
    print(f"Python 1 thread / MapProxy      : {one / mp:.2f}  (target >= 5)")


if __name__ == "__main__":
    main()
