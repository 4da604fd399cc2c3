"""The tvk module against caches of every layout, the tool, and the README."""
import json
import math
import os
import re
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tvk

CLI = os.environ.get("TVK_CLI", "tvk")
README = os.environ.get("TVK_README", os.path.join(os.path.dirname(__file__), "../../README.md"))

# (layout, arcgis): this system's layouts and ArcGIS V1/V2 caches (conf.xml).
LAYOUTS = [("original", False), ("compact", False), ("compact-v2", False),
           ("arcgis-exploded", False), ("compact", True), ("compact-v2", True),
           (".mbtiles", False), (".gpkg", False)]

# Tiles of varied sizes, over two bundles of level 8, given as every buffer kind.
TILES = {(3, 2, 5): b"\x89PNG one", (8, 0, 0): bytes(range(256)) * 40,
         (8, 127, 127): b"x", (8, 128, 3): b"other bundle" * 1000}
BUFFERS = [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8)]


def tool(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, text=True)


def make_cache(path, layout, arcgis):
    # A layout starting with "." is a single file of that kind.
    single = layout.startswith(".")
    cache = tvk.create(str(path) + (layout if single else ""), crs="EPSG:3857",
                       levels=range(0, 10), layout=None if single else layout, arcgis=arcgis)
    for i, (address, data) in enumerate(TILES.items()):
        cache.put(*address, BUFFERS[i % len(BUFFERS)](data))
    return cache


@pytest.fixture(params=LAYOUTS, ids=lambda p: p[0] + ("-arcgis" if p[1] else ""))
def cache(request, tmp_path):
    return make_cache(tmp_path / "cache", *request.param)


def test_every_call_on_every_layout(cache, tmp_path):
    # Bytes back as stored, also after reopening from the folder.
    single = cache.layout in ("mbtiles", "geopackage")
    reopened = tvk.open(cache.path if single else tmp_path / "cache")
    for address, data in TILES.items():
        assert cache.get(*address) == data and reopened.get(*address) == data
        assert cache.exists(*address)
    assert cache.get(8, 5, 5) is None and not cache.exists(8, 5, 5)

    listed = {(l, r, c): s for l, r, c, s in cache.tiles()}
    assert listed == {a: len(d) for a, d in TILES.items()}
    assert {t[:3] for t in cache.tiles(level=8)} == {a for a in TILES if a[0] == 8}
    assert {t[:3] for t in cache.tiles(levels=range(0, 4))} == {(3, 2, 5)}

    # info is the tool's JSON document.
    assert cache.info == json.loads(tool("info", "--json", cache.path).stdout)
    assert cache.info["layout"] == cache.layout and len(cache.info["levels"]) == 10

    # A stored tile is replaced only when asked; on bundles the old record
    # becomes dead space the check reports.
    with pytest.raises(FileExistsError, match="already holds a tile at level 8 row 0 column 0"):
        cache.put(8, 0, 0, b"new")
    assert cache.get(8, 0, 0) == TILES[(8, 0, 0)]
    cache.put(8, 0, 0, b"new", replace=True)
    assert cache.get(8, 0, 0) == b"new"
    assert cache.remove(8, 127, 127) is True and cache.remove(8, 127, 127) is False
    assert cache.get(8, 127, 127) is None

    report = cache.verify()
    assert report["ok"] and report["problems"] == [] and report["tiles"] == len(TILES) - 1
    assert report["bytes"] == sum(len(d) for d in TILES.values()) - len(TILES[(8, 0, 0)]) + 2
    if "compact" in cache.layout:
        assert report["dead_bytes"] >= len(TILES[(8, 0, 0)]) + 1
    assert cache.verify(level=3)["tiles"] == 1


def test_errors_raise_the_tools_messages(tmp_path):
    with pytest.raises(FileNotFoundError, match="no such file or folder"):
        tvk.open(tmp_path / "absent")
    (tmp_path / "empty").mkdir()
    with pytest.raises(FileNotFoundError, match="neither tilecache.xml nor conf.xml"):
        tvk.open(tmp_path / "empty")
    (tmp_path / "junk.xml").write_text("not xml <")
    with pytest.raises(tvk.Error, match="not a well-formed XML file"):
        tvk.open(tmp_path / "junk.xml")

    for bad in [dict(layout="bogus"), dict(levels=range(5, 2)), dict(levels=range(0, 9, 2)),
                dict(crs="EPSG:999999"), dict(tile_size=0), dict(tile_type="mixed")]:
        with pytest.raises(ValueError):
            tvk.create(str(tmp_path / "bad"), **{"crs": "EPSG:3857", **bad})

    cache = make_cache(tmp_path / "c", "compact", False)
    with pytest.raises(tvk.Error, match="already exists"):
        tvk.create(str(tmp_path / "c"), crs="EPSG:3857")
    for call in [lambda: cache.get(10, 0, 0), lambda: cache.put(-1, 0, 0, b"x"),
                 lambda: cache.tiles(level=10), lambda: cache.tiles(level=1, levels=range(2)),
                 lambda: cache.put(1, 0, 0, b""), lambda: cache.scheme.tile_bounds(99, 0, 0),
                 lambda: cache.put(1, 0, 0, np.zeros(4, dtype=np.int32)),
                 lambda: cache.scheme.tiles_for_bbox(3, (1, 1, 0, 0))]:
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        cache.put(1, 0, 0, "text is no tile")

    # A write that fails (the file-size limit of a child process) raises,
    # in put and in copy; nothing is stored. Works as root too.
    child = f"""
import resource, signal, sys, tvk
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200000, 200000))
cache = tvk.open({str(tmp_path / "c")!r})
for call in [lambda: cache.put(9, 3, 3, bytes(300000)),
             lambda: tvk.copy(cache, {str(tmp_path / "big")!r})]:
    try:
        call()
        sys.exit("no error")
    except tvk.Error as e:
        print(e)
"""
    big = tvk.create(str(tmp_path / "big"), crs="EPSG:3857", levels=range(10), layout="original")
    cache.put(9, 0, 0, bytes(300000))
    run = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "cannot store the tile at level 9 row 3 column 3" in run.stdout
    assert "cannot store the tile at level 9 row 0 column 0" in run.stdout
    assert cache.get(9, 3, 3) is None and big.get(9, 0, 0) is None and big.get(3, 2, 5)


def test_damaged_bundle_raises_while_listing_and_fails_the_check(tmp_path):
    cache = make_cache(tmp_path / "c", "compact", False)
    data = next(p for p in (tmp_path / "c").rglob("*.bundle") if "L08" in str(p))
    data.unlink()
    report = cache.verify()
    assert not report["ok"] and data.name.replace(".bundle", ".bundlx") in str(report["problems"])
    with pytest.raises(tvk.Error, match=data.stem):
        list(cache.tiles(level=8))


def test_parallel_reads_from_four_threads(tmp_path):
    cache = tvk.create(str(tmp_path / "c"), crs="EPSG:3857", levels=range(0, 9))
    tiles = {(8, r, c): os.urandom(100 + 37 * r + c) for r in range(120, 136) for c in range(16)}
    for address, data in tiles.items():
        cache.put(*address, data)
    results = [None] * 4

    def read(i):
        seen = {}
        for _ in range(20):
            for address in tiles:
                seen[address] = cache.get(*address)
        results[i] = seen

    threads = [threading.Thread(target=read, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    # Closing the bundles under the readers waits for their calls (it once
    # freed the handles they were reading through).
    while any(t.is_alive() for t in threads):
        cache.close()
    for t in threads:
        t.join()
    assert all(r == tiles for r in results)


def tree(root):
    return {p.relative_to(root): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("src_layout,dst_layout", [("compact", "original"),
                                                   ("arcgis-exploded", "compact-v2")])
def test_copy_round_trip_equals_the_tools(tmp_path, src_layout, dst_layout):
    src = make_cache(tmp_path / "src", src_layout, False)
    for name in ["py", "cli"]:
        tvk.create(str(tmp_path / name), crs="EPSG:3857", levels=range(0, 10), layout=dst_layout)
    calls = []
    counts = tvk.copy(src, str(tmp_path / "py"), progress=calls.append)
    assert counts["copied"] == len(TILES) and counts["failed"] == 0 and calls[-1] == counts
    assert tool("copy", tmp_path / "src", tmp_path / "cli").returncode == 0
    assert tree(tmp_path / "py" / "_alllayers") == tree(tmp_path / "cli" / "_alllayers")

    # And back: the same tiles as the source.
    back = tvk.create(str(tmp_path / "back"), crs="EPSG:3857", levels=range(10), layout=src_layout)
    tvk.copy(tvk.open(tmp_path / "py"), back)
    assert {t: back.get(*t[:3]) for t in back.tiles()} == {t: src.get(*t[:3]) for t in src.tiles()}

    # Levels, boxes and skipping as the tool does them.
    again = tvk.copy(src, tmp_path / "py", levels=range(8, 9), skip_existing=True)
    assert (again["total"], again["skipped"], again["copied"]) == (3, 3, 0)
    part = tvk.create(str(tmp_path / "part"), crs="EPSG:3857", levels=range(10),
                      layout=dst_layout)
    box = src.scheme.tile_bounds(8, 128, 3)
    assert tvk.copy(src, part, bbox=box)["copied"] == 1 and part.get(8, 128, 3)
    with pytest.raises(tvk.Error, match="cancelled"):
        tvk.copy(src, str(tmp_path / "py"), progress=lambda counts: False)
    with pytest.raises(ZeroDivisionError):
        tvk.copy(src, str(tmp_path / "py"), progress=lambda counts: 1 / 0)


def test_scheme_arithmetic_web_mercator(tmp_path):
    scheme = tvk.create(str(tmp_path / "c"), crs="EPSG:3857", levels=range(0, 19)).scheme
    half = 20037508.342789244
    assert scheme.tile_bounds(0, 0, 0) == pytest.approx((-half, -half, half, half))
    assert scheme.tile_bounds(1, 1, 0) == pytest.approx((-half, -half, 0, 0))
    assert scheme.origin == pytest.approx((-half, half)) and scheme.tile_size == 256
    assert scheme.tile_at(4, 0.0, 0.0) == (8, 8)
    assert scheme.tile_at(4, -1.0, 1.0) == (7, 7)

    def slippy(z, lon, lat):  # the usual Web Mercator tile formula
        n = 2 ** z
        y = (1 - math.asinh(math.tan(math.radians(lat))) / math.pi) / 2 * n
        return int(y), int((lon + 180) / 360 * n)

    assert scheme.tile_at(10, 2.35, 48.85, lonlat=True) == slippy(10, 2.35, 48.85)
    rows, cols = scheme.tiles_for_bbox(10, (2.2, 48.8, 2.5, 48.9), lonlat=True)
    (r0, c0), (r1, c1) = slippy(10, 2.2, 48.9), slippy(10, 2.5, 48.8)
    assert (rows, cols) == (range(r0, r1 + 1), range(c0, c1 + 1))
    # A box past the grid's edge is clipped to it.
    assert scheme.tiles_for_bbox(1, (-3 * half, -half, 0, 3 * half)) == (range(0, 2), range(0, 1))

    levels = scheme.levels
    assert len(levels) == 19
    for z, level in enumerate(levels):
        assert level["resolution"] == pytest.approx(2 * half / 256 / 2 ** z)
        assert (level["rows"], level["cols"]) == (2 ** z, 2 ** z)
        assert scheme.zoom_for_resolution(level["resolution"]) == z
        assert scheme.zoom_for_scale(level["scale_denominator"]) == z
    # Between two levels, the coarser one.
    assert scheme.zoom_for_resolution(levels[5]["resolution"] * 0.75) == 5
    assert scheme.zoom_for_scale(levels[5]["scale_denominator"] * 0.75) == 5


def test_readme_snippet_runs_as_written(tmp_path, monkeypatch):
    text = open(README, encoding="utf-8").read()
    section = text.split("## Python", 1)[1]
    snippet = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(snippet, "README.md", "exec"), {"__name__": "readme"})


def test_help_shows_the_docstrings():
    assert "FileNotFoundError" in tvk.__doc__ and "tvk info --json" in tvk.Cache.info.__doc__
    assert "replace" in tvk.Cache.put.__doc__ and issubclass(tvk.Error, Exception)


def test_pmtiles_archive_is_copied_whole_and_refuses_single_tiles(tmp_path):
    src = make_cache(tmp_path / "src", "compact", False)
    archive = tmp_path / "world.pmtiles"
    assert tvk.copy(src, str(archive))["copied"] == len(TILES) and archive.is_file()
    cache = tvk.open(str(archive))
    assert cache.layout == "pmtiles"
    assert {t[:3]: cache.get(*t[:3]) for t in cache.tiles()} == TILES
    assert cache.info == json.loads(tool("info", "--json", archive).stdout)
    with pytest.raises(tvk.Error, match="written once"):
        cache.put(8, 5, 5, b"new")
    with pytest.raises(tvk.Error, match="written once"):
        tvk.copy(src, str(archive))
    # A cancelled copy publishes nothing.
    with pytest.raises(tvk.Error, match="cancelled"):
        tvk.copy(src, str(tmp_path / "none.pmtiles"), progress=lambda counts: False)
    assert not (tmp_path / "none.pmtiles").exists()


def test_seed_from_a_served_cache(tmp_path):
    src = tmp_path / "src"
    tvk.create(str(src), crs="EPSG:3857", levels=range(0, 4), layout="compact")
    assert tool("demo-fill", src, "--levels", "0-3").returncode == 0
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = subprocess.Popen([CLI, "serve", src, "--name", "src", "--port", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        url = f"http://127.0.0.1:{port}/src/{{z}}/{{x}}/{{y}}.png"
        dst = tvk.create(str(tmp_path / "dst"), crs="EPSG:3857", levels=range(0, 4),
                         layout="original")
        calls = []
        counts = tvk.seed(dst, url, levels=range(0, 4), concurrency=3,
                          headers={"X-Test": "1"}, progress=calls.append)
        source = tvk.open(src)
        expected = {t[:3]: source.get(*t[:3]) for t in source.tiles()}
        assert len(expected) == 85 and calls and calls[-1]["done"] == 85
        assert (counts["stored"], counts["failed"], counts["total"]) == (85, 0, 85)
        assert counts["bytes"] == sum(map(len, expected.values()))
        assert {t[:3]: dst.get(*t[:3]) for t in dst.tiles()} == expected

        # A path works as a cache, and a second run skips what is there.
        again = tvk.seed(str(tmp_path / "dst"), url, levels=3, headers=["X-Test: 2"])
        assert (again["skipped"], again["stored"], again["requests"]) == (64, 0, 0)

        for bad in [dict(concurrency=0), dict(headers=["no colon"]), dict(levels=range(3, 1)),
                    dict(lonlat=True), dict(bbox=(1, 1, 0, 0))]:
            with pytest.raises(ValueError):
                tvk.seed(dst, url, **{"levels": 1, **bad})
        with pytest.raises(ValueError, match="template"):
            tvk.seed(dst, "http://127.0.0.1/{zz}.png", levels=1)
        # Slow enough that the first progress call comes before the end.
        slow = dict(levels=3, overwrite=True, concurrency=1, rate=20)
        with pytest.raises(tvk.Error, match="cancelled"):
            tvk.seed(dst, url, progress=lambda c: False, **slow)
        with pytest.raises(ZeroDivisionError):
            tvk.seed(dst, url, progress=lambda c: 1 / 0, **slow)
        # Closing the cache being seeded from its own callback would wait forever.
        with pytest.raises(tvk.Error, match="progress callback"):
            tvk.seed(dst, url, progress=lambda c: dst.close(), **slow)
        # A tile the server lacks is empty, not failed; a dead server fails.
        missing = tvk.seed(dst, f"http://127.0.0.1:{port}/src/{{z}}/{{x}}/{{y}}9.png", levels=1,
                           overwrite=True)
        assert missing["stored"] == 0 and missing["empty"] + missing["failed"] == 4
    finally:
        server.terminate()
        server.wait()
    with pytest.raises(tvk.Error, match="failed"):
        tvk.seed(dst, url, levels=0, overwrite=True, retries=0)
