#include "avtd-sandbox/sandbox.h"
#include "avtd-sandbox/setup.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace avtd_sandbox {
namespace {

// /dev is rebuilt in a staging tmpfs and then moved over the host's /dev, so
// the host nodes stay reachable while we bind them.
constexpr char kStaging[] = "/run/.avtd-sandbox-dev";

constexpr const char* kDeviceNodes[] = {"null", "zero", "urandom", "random", "full", "tty"};

struct Link {
  const char* name;
  const char* target;
};
constexpr Link kDeviceLinks[] = {
    {"fd", "/proc/self/fd"},         {"stdin", "/proc/self/fd/0"}, {"stdout", "/proc/self/fd/1"},
    {"stderr", "/proc/self/fd/2"},   {"ptmx", "pts/ptmx"},
};

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string mount_tmpfs(const std::string& where, const char* options) {
  if (::mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
    return failure("mount tmpfs on " + where);
  }
  return {};
}

std::string build_dev(const std::string& root) {
  for (const char* node : kDeviceNodes) {
    std::string host = std::string("/dev/") + node;
    std::string target = root + "/" + node;
    int fd = ::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      return failure("create " + target);
    }
    ::close(fd);
    if (::mount(host.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return failure("bind " + host);
    }
  }
  for (const Link& link : kDeviceLinks) {
    std::string path = root + "/" + link.name;
    if (::symlink(link.target, path.c_str()) != 0) {
      return failure("symlink " + path);
    }
  }
  const std::string pts = root + "/pts";
  const std::string shm = root + "/shm";
  if (::mkdir(pts.c_str(), 0755) != 0 || ::mkdir(shm.c_str(), 01777) != 0) {
    return failure("mkdir in " + root);
  }
  // A private devpts instance, so ptys opened in the sandbox stay there.
  if (::mount("devpts", pts.c_str(), "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=620") != 0) {
    return failure("mount devpts");
  }
  if (::mount("tmpfs", shm.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    return failure("mount tmpfs on " + shm);
  }
  return {};
}

} // namespace

std::string setup_mounts() {
  // Nothing we mount may leak to the host, nor host mounts change under us.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failure("make / private");
  }
  if (auto why = mount_tmpfs("/tmp", "mode=1777"); !why.empty()) {
    return why;
  }
  if (auto why = mount_tmpfs("/run", "mode=0755"); !why.empty()) {
    return why;
  }
  // On most systems /var/run is a link to /run; if it is a directory of its
  // own it must be private too.
  struct stat st{};
  if (::lstat("/var/run", &st) == 0 && S_ISDIR(st.st_mode)) {
    if (auto why = mount_tmpfs("/var/run", "mode=0755"); !why.empty()) {
      return why;
    }
  }
  if (::mkdir(kStaging, 0755) != 0) {
    return failure(std::string("mkdir ") + kStaging);
  }
  if (::mount("tmpfs", kStaging, "tmpfs", MS_NOSUID, "mode=0755") != 0) {
    return failure("mount tmpfs for /dev");
  }
  if (auto why = build_dev(kStaging); !why.empty()) {
    return why;
  }
  if (::mount(kStaging, "/dev", nullptr, MS_MOVE, nullptr) != 0) {
    return failure("move the new /dev in place");
  }
  ::rmdir(kStaging);
  // A sysfs of our own network namespace (entered before this), so that
  // /sys/class/net shows our links and not the host's.
  if (::mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return failure("mount sysfs");
  }
  return {};
}

} // namespace avtd_sandbox
