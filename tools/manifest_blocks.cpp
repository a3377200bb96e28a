// realmporter-manifest blocks: the block maps with which launchers fetch
// only the changed parts of a large file they already hold.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "manifest/block_regions.h"
#include "manifest/blockmap.h"

namespace fs = std::filesystem;

namespace {

const char kBlocksUsage[] =
    "usage: realmporter-manifest blocks SOURCE_DIR OUT_DIR\n"
    "\n"
    "Writes OUT_DIR/<path>.blocks for every file of at least 1 MiB under\n"
    "SOURCE_DIR: its size, SHA-256, block size and per block a rolling and a\n"
    "strong checksum; and beside it <path>.regions, a digest of every 256\n"
    "blocks' entries, with which a launcher repairing a damaged copy fetches\n"
    "only the parts of the map it needs. Publish OUT_DIR as\n"
    "<mirror base><product>/blocks/ on every mirror, next to\n"
    "<product>/files/; a launcher that holds an older copy of\n"
    "such a file then fetches only the blocks it lacks. Run it again whenever\n"
    "the files change: a map that does not fit the manifest is ignored, and\n"
    "the file is fetched whole.\n";

// One pass over the file: the map's blocks and the whole digest together.
bool MapOfFile(const fs::path& path, std::string* map, std::uint64_t* size) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::error_code ec;
  *size = fs::file_size(path, ec);
  if (ec) {
    std::fclose(f);
    return false;
  }
  const std::uint32_t bs = BlockSizeFor(*size);
  BlockMapWriter writer(*size, bs);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  std::vector<unsigned char> buf(bs);
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, bs, f)) > 0) {
    EVP_DigestUpdate(ctx, buf.data(), n);
    writer.AddBlock(buf.data(), n);
  }
  const bool readOk = !std::ferror(f);
  std::fclose(f);
  unsigned char digest[32];
  unsigned len = 0;
  EVP_DigestFinal_ex(ctx, digest, &len);
  EVP_MD_CTX_free(ctx);
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  // A file that changed size while it was read does not make up its blocks.
  return readOk && writer.Finish(std::string_view(hex, 64), map);
}

// Written beside and renamed, so a mirror never serves half a file.
bool WriteBeside(const fs::path& target, const std::string& bytes) {
  const fs::path part = target.string() + ".part";
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  FILE* f = std::fopen(part.c_str(), "wb");
  bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (ok) fs::rename(part, target, ec);
  if (!ok || ec) {
    fs::remove(part, ec);
    std::cerr << "realmporter-manifest: cannot write " << target << "\n";
    return false;
  }
  return true;
}

}  // namespace

bool WriteMapsOf(const fs::path& source, const std::string& rel, const fs::path& out, std::uint64_t* size,
                 std::uint64_t* mapSize) {
  const fs::path file = source / rel;
  std::string map;
  if (!MapOfFile(file, &map, size)) {
    std::cerr << "realmporter-manifest: cannot read " << file << "\n";
    return false;
  }
  std::string regions;
  if (!RegionIndexOfMap(map, kBlocksPerRegion, &regions)) {
    std::cerr << "realmporter-manifest: cannot index the map of " << file << "\n";
    return false;
  }
  *mapSize = map.size();
  // An index left from an earlier map costs a launcher only the whole map:
  // the slices it fetches fail the index's digests.
  return WriteBeside(out / (rel + ".blocks"), map) && WriteBeside(out / (rel + ".regions"), regions);
}

int BlocksCommand(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::cout << kBlocksUsage;
      return 0;
    }
  if (argc != 4) {
    std::cerr << kBlocksUsage;
    return 2;
  }
  const fs::path source = argv[2], out = argv[3];
  std::error_code ec;
  if (!fs::is_directory(source, ec)) {
    std::cerr << "realmporter-manifest: " << source << " is not a folder\n";
    return 1;
  }
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && it->file_size(ec) >= kBlockMapMinFileSize) files.push_back(it->path());
  if (ec) {
    std::cerr << "realmporter-manifest: cannot list " << source << ": " << ec.message() << "\n";
    return 1;
  }
  std::sort(files.begin(), files.end());
  int written = 0;
  for (const fs::path& file : files) {
    const std::string rel = file.lexically_relative(source).generic_string();
    std::uint64_t size = 0, mapSize = 0;
    if (!WriteMapsOf(source, rel, out, &size, &mapSize)) return 1;
    std::printf("%s  %llu bytes, blocks of %u, map %llu bytes\n", rel.c_str(), static_cast<unsigned long long>(size),
                BlockSizeFor(size), static_cast<unsigned long long>(mapSize));
    ++written;
  }
  std::printf("%d block map(s) written to %s\n", written, out.c_str());
  return 0;
}
