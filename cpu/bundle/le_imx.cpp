#include "bundle/le_imx.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/le_env.h"
#include "base/le_log.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

constexpr size_t kCopyBuffer = 8u << 20;
constexpr uint64_t kManifestProbeMax = 4u << 20;
const char kMarkerSuffix[] = ".imx_unwrapped";

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string stripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isDirectory(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

std::string baseName(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parentDir(const std::string& path) {
  std::string p = stripTrailingSlashes(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string unwrapDirFor(const std::string& container) {
  std::string name = baseName(container);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".lebundle")) name += ".lebundle";
  const char* env = le::envValue("LE_IMX_UNWRAP_ROOT");
  std::string root = (env && *env) ? std::string(env) : parentDir(container);
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + "/" + name;
}

// Removes a tree without following symbolic links; errors are ignored because
// the directory is recreated right after and that step reports failures.
void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        removeTree(path + "/" + e->d_name);
      }
      ::closedir(d);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

// mkdir -p with mode 0755; an existing directory (or one another creator
// made first) counts as success.
bool makeDirs(const std::string& path) {
  if (path.empty()) return true;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return isDirectory(path);
}

bool unsafeName(const std::string& name) {
  return name.empty() || name[0] == '/' || name[0] == '\\' ||
         name.find("..") != std::string::npos || name.find('\0') != std::string::npos;
}

uint16_t le16(const unsigned char* b) {
  return uint16_t(b[0] | (b[1] << 8));
}
uint64_t le64(const unsigned char* b) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return v;
}

std::string trimBlanks(const std::string& s) {
  const char* blanks = " \t\r\n";
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

struct TocEntry {
  std::string name;
  uint64_t offset;
  uint64_t size;
};

std::mutex g_unwrapMutex;

bool readWhole(FILE* f, std::string& out) {
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
  return !std::ferror(f);
}

// True when the member is the placeholder manifest a packer inserts into
// containers that carry no manifest of their own.
bool isSyntheticManifest(FILE* c, const TocEntry& e) {
  if (e.size < 1 || e.size > kManifestProbeMax) return false;
  if (::fseeko(c, off_t(e.offset), SEEK_SET) != 0) return false;
  std::string text(size_t(e.size), '\0');
  if (std::fread(&text[0], 1, text.size(), c) != text.size()) return false;
  return text.find("_imx_synthetic_manifest") != std::string::npos;
}

void materialise(FILE* c, const std::string& container, const TocEntry& e,
                 const std::string& target, std::vector<char>& buf) {
  const std::string parent = parentDir(target);
  if (!makeDirs(parent)) fail("cannot create " + parent);
  if (e.offset > uint64_t(INT64_MAX) || ::fseeko(c, off_t(e.offset), SEEK_SET) != 0)
    fail(container + ": cannot seek to member " + e.name);
  const std::string part = target + ".part";
  File out(std::fopen(part.c_str(), "wb"));
  if (!out) fail("cannot write " + part);
  uint64_t left = e.size;
  while (left > 0) {
    size_t want = size_t(left < buf.size() ? left : buf.size());
    size_t got = std::fread(buf.data(), 1, want, c);
    if (got == 0) fail(container + ": truncated payload for member " + e.name);
    if (std::fwrite(buf.data(), 1, got, out.get()) != got)
      fail("short write materialising " + target);
    left -= got;
  }
  if (std::fflush(out.get()) != 0) fail("flush failed materialising " + target);
  if (std::fclose(out.release()) != 0) fail("flush failed materialising " + target);
  if (std::rename(part.c_str(), target.c_str()) != 0) {
    std::remove(part.c_str());
    fail("cannot place member " + target);
  }
}

std::string unwrap(const std::string& container) {
  const std::string dir = unwrapDirFor(container);
  const std::string marker = dir + kMarkerSuffix;
  std::lock_guard<std::mutex> lock(g_unwrapMutex);

  struct stat st;
  if (::lstat(container.c_str(), &st) != 0) fail("cannot stat container " + container);
  const int64_t mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  const std::string stamp = "imx-unwrapped.v2 " + baseName(container) + " " +
                            std::to_string(int64_t(st.st_size)) + " " + std::to_string(mtimeNs) +
                            " " + std::to_string(uint64_t(st.st_ino));

  if (isDirectory(dir)) {
    if (File m{std::fopen(marker.c_str(), "rb")}) {
      std::string seen;
      if (readWhole(m.get(), seen) && trimBlanks(seen) == stamp) return dir;
    }
  }

  std::remove(marker.c_str());
  removeTree(dir);
  if (!makeDirs(dir)) fail("cannot create unwrap dir " + dir);

  File c(std::fopen(container.c_str(), "rb"));
  if (!c) fail("cannot open container " + container);
  unsigned char head[8];
  if (std::fread(head, 1, 8, c.get()) != 8 || std::memcmp(head, "IMX\0", 4) != 0)
    fail(container + ": not an IMX\\0 container");
  const unsigned version = le16(head + 4);
  if (version != 2)
    fail(container + ": unsupported IMX container version " + std::to_string(version));
  const unsigned count = le16(head + 6);

  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char b[16];
    if (std::fread(b, 1, 2, c.get()) != 2)
      fail(container + ": truncated TOC at member " + std::to_string(i));
    std::string name(le16(b), '\0');
    if (!name.empty() && std::fread(&name[0], 1, name.size(), c.get()) != name.size())
      fail(container + ": truncated member name at " + std::to_string(i));
    if (std::fread(b, 1, 16, c.get()) != 16)
      fail(container + ": truncated TOC offsets at member " + name);
    toc.push_back({std::move(name), le64(b), le64(b + 8)});
  }

  std::vector<char> buf(kCopyBuffer);
  for (const TocEntry& e : toc) {
    if (unsafeName(e.name)) {
      // A zero byte would cut the message short; show it as \0.
      std::string shown;
      for (char ch : e.name) shown += ch ? std::string(1, ch) : std::string("\\0");
      fail(container + ": refusing unsafe member name '" + shown + "'");
    }
    if (e.name == "manifest.json" && isSyntheticManifest(c.get(), e)) continue;
    materialise(c.get(), container, e, dir + "/" + e.name, buf);
  }
  c.reset();

  File m(std::fopen(marker.c_str(), "wb"));
  if (!m) fail("cannot write unwrap marker " + marker);
  bool ok = std::fwrite(stamp.data(), 1, stamp.size(), m.get()) == stamp.size();
  ok = std::fflush(m.get()) == 0 && ok;
  ok = std::fclose(m.release()) == 0 && ok;
  if (!ok) fail("short write on unwrap marker " + marker);

  le::log(LogLevel::Info, "le", "unwrapped %s -> %s", container.c_str(), dir.c_str());
  return dir;
}

}  // namespace

bool isImxV2File(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  File f(std::fopen(path.c_str(), "rb"));
  unsigned char head[8];
  if (!f || std::fread(head, 1, 8, f.get()) != 8) return false;
  return std::memcmp(head, "IMX\0", 4) == 0 && le16(head + 4) == 2;
}

std::string resolveBundlePath(const std::string& path) {
  if (path.empty()) return path;
  const std::string bare = stripTrailingSlashes(path);
  if (isDirectory(path) && !exists(bare + kMarkerSuffix)) return path;
  if (path.size() > 3 && endsWith(path, ".imx") && isImxV2File(path)) return unwrap(path);
  if (isImxV2File(bare + ".imx")) return unwrap(bare + ".imx");
  if (isImxV2File(path)) return unwrap(path);
  return path;
}

}  // namespace le

#include "base/le_log.h"