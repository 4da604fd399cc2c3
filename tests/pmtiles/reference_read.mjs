// Reads a PMTiles archive with the format's reference JavaScript library and
// compares it with what the C++ test expects.
//   node reference_read.mjs MODULE_FOLDER ARCHIVE EXPECTED_JSON
// EXPECTED_JSON: {"header": {field: value...}, "metadata": {key: value...},
//                 "tiles": [[z, x, y, "hex bytes" or null], ...]}
// Prints "ok" and exits 0, or prints each difference and exits 1.
import { createRequire } from "node:module";
import { openSync, readSync, readFileSync } from "node:fs";
import { pathToFileURL } from "node:url";

const [moduleFolder, archive, expectedPath] = process.argv.slice(2);
const require = createRequire(moduleFolder + "/");
const { PMTiles } = await import(pathToFileURL(require.resolve("pmtiles")).href);

// The library's own sources are for browsers (File, fetch); a local file
// needs this small one.
class LocalSource {
  constructor(path) {
    this.path = path;
    this.fd = openSync(path, "r");
  }
  getKey() {
    return this.path;
  }
  async getBytes(offset, length) {
    const buffer = Buffer.alloc(length);
    const got = readSync(this.fd, buffer, 0, length, offset);
    return { data: buffer.buffer.slice(buffer.byteOffset, buffer.byteOffset + got) };
  }
}

const expected = JSON.parse(readFileSync(expectedPath, "utf8"));
const archiveReader = new PMTiles(new LocalSource(archive));
const problems = [];

const header = await archiveReader.getHeader();
for (const [key, want] of Object.entries(expected.header)) {
  const got = header[key];
  const same = typeof want === "number" ? Math.abs(got - want) <= 1e-7 : got === want;
  if (!same) problems.push(`header ${key}: ${got}, expected ${want}`);
}
const metadata = await archiveReader.getMetadata();
for (const [key, want] of Object.entries(expected.metadata)) {
  if (JSON.stringify(metadata[key]) !== JSON.stringify(want))
    problems.push(`metadata ${key}: ${JSON.stringify(metadata[key])}, expected ${JSON.stringify(want)}`);
}
// Many lookups in flight at once, as a map view makes them.
const batch = 64;
for (let i = 0; i < expected.tiles.length && problems.length <= 20; i += batch) {
  const slice = expected.tiles.slice(i, i + batch);
  const got = await Promise.all(slice.map(([z, x, y]) => archiveReader.getZxy(z, x, y)));
  slice.forEach(([z, x, y, want], k) => {
    const hex = got[k] ? Buffer.from(got[k].data).toString("hex") : null;
    if (hex !== want) problems.push(`tile ${z}/${x}/${y}: ${hex}, expected ${want}`);
  });
}
if (problems.length) {
  console.log(problems.join("\n"));
  process.exit(1);
}
console.log(`ok ${expected.tiles.length} tiles`);
