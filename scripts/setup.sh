#!/usr/bin/env bash
# Installs every package that the build, the tests, the demo and the
# benchmarks need (Debian 12). Safe to run again: when everything is already
# there it touches nothing and needs no network.
#
#   scripts/setup.sh [--optional]
#     --optional   also the packet analyser and the profiler (not needed by
#                  the suite)
set -euo pipefail

REQUIRED=(
  build-essential cmake pkg-config                 # build
  googletest libgtest-dev libbenchmark-dev         # tests and benchmarks
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav      # test peers and demo
  iproute2 net-tools util-linux bsdutils procps ethtool # sandbox: ip, route, nsenter, logger, NIC model
  qemu-user g++-arm-linux-gnueabihf libc6-dev-armhf-cross # 32-bit ARM build and run
  valgrind                                         # leak checks of stream runs
  clang libclang-rt-14-dev                         # fuzz targets (libFuzzer)
  perl ccache                                      # demo relay; shared compiler cache
)
OPTIONAL=(tshark linux-perf)

packages=("${REQUIRED[@]}")
for arg in "$@"; do
  case "$arg" in
    --optional) packages+=("${OPTIONAL[@]}") ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" != "installed" ]; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi
echo "setup: installing ${missing[*]}"
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
