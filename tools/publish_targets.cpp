// publish's two kinds of target (tools/publish_targets.h). Nothing a player
// may be reading is written in place: a release goes into a folder of its
// own, and the live manifest and its signature are each renamed into place.
#include "tools/publish_targets.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Runs `args` (no shell), its output and errors into *output; the exit code,
// or -1 when it could not run.
int RunProgram(const std::vector<std::string>& args, std::string* output) {
  int pipeFd[2];
  if (pipe(pipeFd) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(pipeFd[1], 1);
    dup2(pipeFd[1], 2);
    close(pipeFd[0]);
    close(pipeFd[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  close(pipeFd[1]);
  char buf[4096];
  ssize_t n;
  output->clear();
  while ((n = read(pipeFd[0], buf, sizeof buf)) > 0) output->append(buf, static_cast<size_t>(n));
  close(pipeFd[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Rsync(std::vector<std::string> args, std::string* error) {
  args.insert(args.begin(), "rsync");
  std::string out;
  const int rc = RunProgram(args, &out);
  if (rc == 0) return true;
  *error = "rsync exited with " + std::to_string(rc) + ": " + out;
  while (!error->empty() && error->back() == '\n') error->pop_back();
  return false;
}

std::string Slash(const std::string& s) { return s.empty() || s.back() == '/' ? s : s + "/"; }

std::string ReleasesOf(const Target& t, const std::string& product) {
  return Slash(t.dest) + "releases/" + product + "/";
}

bool WriteList(const fs::path& file, const std::vector<std::string>& paths) {
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  for (const std::string& p : paths) f << p << '\n';
  return static_cast<bool>(f.flush());
}

// A copy under a name of its own, renamed into place.
bool CopyInto(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  const fs::path part = to.parent_path() / ("." + to.filename().string() + ".part");
  fs::copy_file(from, part, fs::copy_options::overwrite_existing, ec);
  if (!ec)
    fs::permissions(
        part, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read, ec);
  if (!ec) fs::rename(part, to, ec);
  if (ec) {
    fs::remove(part);
    *error = "cannot write " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool IsRsyncDestination(const std::string& dest) {
  if (dest.rfind("rsync://", 0) == 0) return true;
  const size_t colon = dest.find(':'), slash = dest.find('/');
  return colon != std::string::npos && colon > 0 && (slash == std::string::npos || colon < slash);
}

std::string DescribeTarget(const Target& t) {
  if (t.rsync) return "rsync to " + t.dest + " (through the rsync program; SSH unless a daemon's address)";
  return "folder " + t.dest + " (copies; unchanged files hard-linked from the previous release)";
}

bool ListReleases(const Target& t, const std::string& product, std::vector<std::string>* names, std::string* error) {
  names->clear();
  if (!t.rsync) {
    std::error_code ec;
    const fs::path dir = ReleasesOf(t, product);
    if (!fs::exists(dir, ec)) return !ec || (*error = ec.message(), false);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_directory(ec)) names->push_back(it->path().filename().string());
    if (ec) *error = "cannot list " + dir.string() + ": " + ec.message();
    return !ec;
  }
  std::string out;
  const int rc = RunProgram({"rsync", "--list-only", ReleasesOf(t, product)}, &out);
  // 23: the folder is not there yet, before the first release.
  if (rc == 23 && out.find("No such file or directory") != std::string::npos) return true;
  if (rc != 0) {
    *error = "rsync --list-only exited with " + std::to_string(rc) + ": " + out;
    return false;
  }
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] != 'd') continue;
    const std::string name = line.substr(line.rfind(' ') + 1);
    if (name != "." && name != "..") names->push_back(name);
  }
  return true;
}

bool UploadRelease(const Target& t, const std::string& stage, const std::string& product, const std::string& name,
                   const std::string& previous, const std::vector<std::string>& same,
                   const std::vector<std::string>& rest, UploadCount* count, std::string* error) {
  const std::string dir = ReleasesOf(t, product) + name + "/";
  if (t.rsync) {
    const fs::path lists = fs::path(stage).parent_path();
    if (!WriteList(lists / "same.list", same) || !WriteList(lists / "rest.list", rest)) {
      *error = "cannot write the file lists in " + lists.string();
      return false;
    }
    // The unchanged files are known by their SHA-256 in both manifests, so
    // their size is check enough for --link-dest to link rather than send.
    if (!same.empty() && !previous.empty() &&
        !Rsync({"-rL", "--mkpath", "--size-only", "--link-dest=../" + previous + "/",
                "--files-from=" + (lists / "same.list").string(), Slash(stage), dir},
               error))
      return false;
    std::vector<std::string> all = rest;
    if (previous.empty()) all.insert(all.end(), same.begin(), same.end());
    if (!WriteList(lists / "rest.list", all) ||
        !Rsync({"-rLI", "--mkpath", "--files-from=" + (lists / "rest.list").string(), Slash(stage), dir}, error))
      return false;
    count->linked += previous.empty() ? 0 : static_cast<int>(same.size());
    count->copied += static_cast<int>(all.size());
    return true;
  }
  const fs::path from = ReleasesOf(t, product) + previous + "/";
  for (const std::string& rel : same) {
    std::error_code ec;
    const fs::path to = fs::path(dir) / rel;
    fs::create_directories(to.parent_path(), ec);
    if (!previous.empty() && link((from / rel).c_str(), to.c_str()) == 0) {
      ++count->linked;
      continue;
    }
    // Another file system, a mount that has no hard links, or no copy there.
    if (!CopyInto(fs::path(stage) / rel, to, error)) return false;
    ++count->copied;
    count->copiedBytes += fs::file_size(to, ec);
  }
  for (const std::string& rel : rest) {
    if (!CopyInto(fs::path(stage) / rel, fs::path(dir) / rel, error)) return false;
    std::error_code ec;
    ++count->copied;
    count->copiedBytes += fs::file_size(fs::path(dir) / rel, ec);
  }
  return true;
}

bool SwitchManifest(const Target& t, const std::string& dir, const std::string& product, std::string* error) {
  const std::string doc = product + ".json", sig = doc + ".sig";
  const fs::path from(dir);
  if (t.rsync) {
    // rsync writes each file under a temporary name and renames it. -I: a
    // new manifest often has the old one's size, and both may carry the same
    // second as their time, which rsync's quick check would take as unchanged.
    std::vector<std::string> args = {"-I", (from / doc).string()};
    if (fs::exists(from / sig)) args.push_back((from / sig).string());
    args.push_back(Slash(t.dest));
    return Rsync(args, error);
  }
  if (fs::exists(from / sig) && !CopyInto(from / sig, fs::path(t.dest) / sig, error)) return false;
  return CopyInto(from / doc, fs::path(t.dest) / doc, error);
}

bool RemoveRelease(const Target& t, const std::string& product, const std::string& name, std::string* error) {
  if (t.rsync) {
    const fs::path empty = fs::temp_directory_path() / ("realmporter-empty-" + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(empty, ec);
    const bool ok = Rsync(
        {"-r", "--delete", "--include=/" + name + "/***", "--exclude=*", Slash(empty.string()), ReleasesOf(t, product)},
        error);
    fs::remove(empty, ec);
    return ok;
  }
  std::error_code ec;
  fs::remove_all(ReleasesOf(t, product) + name, ec);
  if (ec) *error = ec.message();
  return !ec;
}
