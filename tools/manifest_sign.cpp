// The operator's signing keys and .sig files (manifest/signature.h), with
// OpenSSL. The private key never leaves the machine that runs this tool.
#include "tools/manifest_sign.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "manifest/signature.h"

namespace fs = std::filesystem;

namespace {

const char kKeygenUsage[] =
    "usage: realmporter-manifest keygen [--inside-work-tree-i-know] NAME\n"
    "Makes an ECDSA P-256 key pair: NAME.key (private, PEM, readable by you only)\n"
    "and NAME.pub (public, PEM) to build into the launcher as\n"
    "REALMPORTER_OPERATOR_KEY. An existing NAME.key is never overwritten.\n"
    "Keep NAME outside the launcher's sources, e.g. ~/realmporter-keys/operator:\n"
    "a private key inside a git work tree is one 'git add' away from being\n"
    "published, so the tool refuses that unless given --inside-work-tree-i-know.\n";
const char kInsideWorkTreeOption[] = "--inside-work-tree-i-know";
const char kSignUsage[] =
    "usage: realmporter-manifest sign --key NAME.key FILE...\n"
    "Writes FILE.sig beside each FILE: one line\n"
    "  realmporter-sig-v1 ecdsa-p256-sha256 KEYID SIG\n"
    "signing the SHA-256 of the file's exact bytes. Publish it at the file's URL\n"
    "followed by .sig, after the file itself.\n";
const char kVerifySigUsage[] =
    "usage: realmporter-manifest verify-sig --pub NAME.pub FILE...\n"
    "Checks FILE.sig of each FILE against the public key. Exits 1 when any is\n"
    "missing, malformed, made with another key or does not match the file.\n";

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

int Fail(const std::string& message) {
  std::cerr << "realmporter-manifest: " << message << "\n";
  return 1;
}

bool WantsHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
  return false;
}

// The key's uncompressed point, only for a P-256 key.
bool PointOf(EVP_PKEY* key, EcPoint* point) {
  char group[64] = {};
  size_t len = 0;
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC ||
      !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) ||
      std::strcmp(group, "prime256v1") != 0)
    return false;
  return EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point->data(), point->size(), &len) &&
         len == point->size() && (*point)[0] == 0x04;
}

Pkey ReadKey(const std::string& path, bool isPrivate, std::string* keyId) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return nullptr;
  Pkey key(isPrivate ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr)
                     : PEM_read_PUBKEY(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  EcPoint point;
  if (!key || !PointOf(key.get(), &point) || !KeyIdOfPoint(point, keyId)) return nullptr;
  return key;
}

// Feeds the file through `update` a megabyte at a time.
template <class Update>
bool FeedFile(const std::string& path, Update update) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<unsigned char> buf(1 << 20);
  size_t n;
  bool ok = true;
  while (ok && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0) ok = update(buf.data(), n) == 1;
  ok = ok && !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool SignFile(EVP_PKEY* key, const std::string& path, EcSignature* rs) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
  if (!FeedFile(path, [&](const unsigned char* p, size_t n) { return EVP_DigestSignUpdate(ctx.get(), p, n); }))
    return false;
  size_t len = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &len) != 1) return false;
  std::vector<unsigned char> der(len);
  if (EVP_DigestSignFinal(ctx.get(), der.data(), &len) != 1) return false;
  const unsigned char* p = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len));
  if (!sig) return false;
  bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs->data(), 32) == 32 &&
            BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs->data() + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  return ok;
}

// Whether `rs` signs the bytes that `feed` passes to its update function.
template <class Feed>
bool VerifyFed(EVP_PKEY* key, const EcSignature& rs, Feed feed) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(rs.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(rs.data() + 32, 32, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  unsigned char* der = nullptr;
  int derLen = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  if (derLen <= 0) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1;
  ok = ok && feed([&](const unsigned char* p, size_t n) { return EVP_DigestVerifyUpdate(ctx.get(), p, n); });
  ok = ok && EVP_DigestVerifyFinal(ctx.get(), der, static_cast<size_t>(derLen)) == 1;
  OPENSSL_free(der);
  return ok;
}

bool VerifyFile(EVP_PKEY* key, const std::string& path, const EcSignature& rs, bool* readable) {
  *readable = false;
  return VerifyFed(key, rs, [&](auto update) { return *readable = FeedFile(path, update); });
}

bool WritePem(const std::string& path, mode_t mode, EVP_PKEY* key, bool isPrivate) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) return false;
  FILE* f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    return false;
  }
  bool ok = isPrivate ? PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                      : PEM_write_PUBKEY(f, key) == 1;
  return std::fclose(f) == 0 && ok;
}

// The top of the git work tree that holds `dir` (a folder with .git, a
// folder or a file for a linked work tree), or empty.
fs::path WorkTreeAbove(const fs::path& dir) {
  std::error_code ec;
  for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
    if (fs::exists(p / ".git", ec)) return p;
    if (p == p.root_path()) break;
  }
  return {};
}

int Keygen(int argc, char** argv) {
  if (WantsHelp(argc, argv)) return std::cout << kKeygenUsage, 0;
  std::string name;
  bool insideTreeAllowed = false;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], kInsideWorkTreeOption))
      insideTreeAllowed = true;
    else if (name.empty())
      name = argv[i];
    else
      return Fail(kKeygenUsage);
  }
  if (name.empty()) return Fail(kKeygenUsage);
  std::error_code ec;
  const fs::path keyPath = fs::weakly_canonical(fs::absolute(name + ".key", ec), ec);
  const fs::path tree = WorkTreeAbove(keyPath.parent_path());
  if (!tree.empty() && !insideTreeAllowed)
    return Fail(keyPath.string() + " would be inside the git work tree " + tree.string() +
                ", where one 'git add' publishes it. Make the key outside the sources, e.g.\n"
                "  mkdir -p -m 700 ~/realmporter-keys && realmporter-manifest keygen ~/realmporter-keys/operator\n"
                "or, if this is really what you want, add " +
                kInsideWorkTreeOption + ".");
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  std::string id;
  EcPoint point;
  if (!key || !PointOf(key.get(), &point) || !KeyIdOfPoint(point, &id)) return Fail("cannot make a P-256 key");
  if (!WritePem(name + ".key", 0600, key.get(), true))
    return Fail("cannot create " + name + ".key (" + std::strerror(errno) + "); an existing key is never overwritten");
  if (!WritePem(name + ".pub", 0644, key.get(), false)) {
    unlink((name + ".key").c_str());
    return Fail("cannot create " + name + ".pub (" + std::strerror(errno) + ")");
  }
  const fs::path pubPath = fs::path(keyPath).replace_extension(".pub");
  std::cout << keyPath.string() << ": the private key, readable by you only. Never publish it: keep it off the\n"
            << "  mirrors, the web site and every repository, and keep a copy somewhere safe; whoever has it\n"
            << "  can sign for your launcher, and without it you cannot publish.\n"
            << pubPath.string() << ": the public key (id " << id << "), for REALMPORTER_OPERATOR_KEY\n";
  if (!tree.empty()) std::cout << "warning: both are inside the git work tree " << tree.string() << "\n";
  return 0;
}

// --key/--pub PATH FILE...: the key path and the files.
bool KeyAndFiles(int argc, char** argv, const char* option, std::string* key, std::vector<std::string>* files) {
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], option) && i + 1 < argc)
      *key = argv[++i];
    else
      files->push_back(argv[i]);
  }
  return !key->empty() && !files->empty();
}

int Sign(int argc, char** argv) {
  if (WantsHelp(argc, argv)) return std::cout << kSignUsage, 0;
  std::string keyPath, id;
  std::vector<std::string> files;
  if (!KeyAndFiles(argc, argv, "--key", &keyPath, &files)) return Fail(kSignUsage);
  Pkey key = ReadKey(keyPath, true, &id);
  if (!key) return Fail(keyPath + " is not a readable P-256 private key");
  for (const std::string& file : files) {
    SignatureLine line;
    line.keyId = id;
    if (!SignFile(key.get(), file, &line.rs)) return Fail("cannot sign " + file);
    std::ofstream out(file + kSignatureSuffix, std::ios::binary | std::ios::trunc);
    out << FormatSignatureLine(line);
    if (!out.flush()) return Fail("cannot write " + file + kSignatureSuffix);
    std::cout << file << kSignatureSuffix << "\n";
  }
  return 0;
}

int VerifySig(int argc, char** argv) {
  if (WantsHelp(argc, argv)) return std::cout << kVerifySigUsage, 0;
  std::string keyPath, id;
  std::vector<std::string> files;
  if (!KeyAndFiles(argc, argv, "--pub", &keyPath, &files)) return Fail(kVerifySigUsage);
  Pkey key = ReadKey(keyPath, false, &id);
  if (!key) return Fail(keyPath + " is not a readable P-256 public key");
  int rc = 0;
  for (const std::string& file : files) {
    std::ifstream in(file + kSignatureSuffix, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    SignatureLine line;
    bool readable = false;
    std::string problem;
    if (!in)
      problem = "no " + file + kSignatureSuffix;
    else if (!ParseSignatureLine(text.str(), &line))
      problem = file + kSignatureSuffix + " is not a signature line";
    else if (line.keyId != id)
      problem = "signed with another key (" + line.keyId + ", not " + id + ")";
    else if (!VerifyFile(key.get(), file, line.rs, &readable))
      problem = readable ? "signature does not match the file" : "cannot read the file";
    if (problem.empty()) {
      std::cout << file << ": ok\n";
    } else {
      rc = Fail(file + ": " + problem);
    }
  }
  return rc;
}

}  // namespace

bool RunSigningCommand(const std::string& cmd, int argc, char** argv, int* rc) {
  if (cmd == "keygen")
    *rc = Keygen(argc, argv);
  else if (cmd == "sign")
    *rc = Sign(argc, argv);
  else if (cmd == "verify-sig")
    *rc = VerifySig(argc, argv);
  else
    return false;
  return true;
}

bool IsPublicKeyFile(const std::string& pubPath) {
  std::string id;
  return ReadKey(pubPath, false, &id) != nullptr;
}

std::string SignatureProblem(const std::string& pubPath, std::string_view bytes, std::string_view sigText) {
  std::string id;
  Pkey key = ReadKey(pubPath, false, &id);
  SignatureLine line;
  if (!key) return pubPath + " is not a readable P-256 public key";
  if (sigText.size() > kSignatureFileLimit || !ParseSignatureLine(sigText, &line)) return "not a signature line";
  if (line.keyId != id) return "signed with another key (" + line.keyId + ", not " + id + ")";
  const bool ok = VerifyFed(key.get(), line.rs, [&](auto update) {
    return update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
  });
  return ok ? std::string() : "does not match the document (stale, or the document changed after signing)";
}

std::string SignFileWithKey(const std::string& keyPath, const std::string& file) {
  std::string id;
  Pkey key = ReadKey(keyPath, true, &id);
  if (!key) return keyPath + " is not a readable P-256 private key";
  SignatureLine line;
  line.keyId = id;
  if (!SignFile(key.get(), file, &line.rs)) return "cannot sign " + file;
  std::ofstream out(file + kSignatureSuffix, std::ios::binary | std::ios::trunc);
  out << FormatSignatureLine(line);
  return out.flush() ? std::string() : "cannot write " + file + kSignatureSuffix;
}
