#include "avtd-sandbox/sandbox.h"
#include "avtd-sandbox/setup.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// A host directory below a path the sandbox covers, held open so that it
// can be bound back once the cover is in place.
struct Kept {
  std::string path;
  int fd = -1;
};

bool below(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

std::vector<Kept> hold(const std::vector<std::string>& keep) {
  std::vector<Kept> held;
  for (const auto& wanted : keep) {
    char resolved[PATH_MAX];
    if (::realpath(wanted.c_str(), resolved) == nullptr) {
      continue;
    }
    std::string path = resolved;
    bool covered = false;
    for (const char* cover : {"/tmp", "/run", "/var/run"}) {
      covered = covered || below(path, cover);
    }
    bool inside_other = false;
    for (const auto& other : keep) {
      char other_resolved[PATH_MAX];
      if (::realpath(other.c_str(), other_resolved) != nullptr && below(path, other_resolved)) {
        inside_other = true;
      }
    }
    for (const auto& already : held) {
      inside_other = inside_other || already.path == path;
    }
    if (!covered || inside_other) {
      continue;
    }
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      held.push_back({path, fd});
    }
  }
  return held;
}

std::string make_directories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return failure("mkdir " + part);
    }
    if (slash == std::string::npos) {
      return {};
    }
  }
}

std::string bind_back(const std::vector<Kept>& held) {
  for (const auto& kept : held) {
    if (auto why = make_directories(kept.path); !why.empty()) {
      return why;
    }
    const std::string source = "/proc/self/fd/" + std::to_string(kept.fd);
    if (::mount(source.c_str(), kept.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      return failure("bind " + kept.path + " back");
    }
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

std::string setup_mounts(const std::vector<std::string>& keep) {
  const std::vector<Kept> held = hold(keep);
  struct Closer {
    const std::vector<Kept>& held;
    ~Closer() {
      for (const auto& kept : held) {
        ::close(kept.fd);
      }
    }
  } closer{held};

  // Nothing we mount may leak to the host, nor host mounts change under us.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failure("make / private");
  }
  // A /proc of our PID namespace: pids read there match what the processes
  // inside see of themselves (pid files, kill).
  if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return failure("mount proc");
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
  if (auto why = bind_back(held); !why.empty()) {
    return why;
  }
  // A sysfs of our own network namespace (entered before this), so that
  // /sys/class/net shows our links and not the host's.
  if (::mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    return failure("mount sysfs");
  }
  return {};
}

} // namespace avtd_sandbox
