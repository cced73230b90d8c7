#!/usr/bin/env bash
# Installs the Debian packages a job needs, only those that are missing.
#   setup.sh demo   what building and running the kwotarv tool on the simulator needs
#   setup.sh test   that, plus everything the test suite uses (the default), and the sources of
#                   the libraries kwotarv.exe's web configuration file needs (see fetch_sources)
# Progress goes to standard error, so a caller's standard output stays its own.
set -euo pipefail
exec 3>&1 1>&2

job=${1:-test}

# Building kwotarv and running it against the simulated board; python3 for the README's
# `demo.sh --json | python3 -m json.tool`.
demo_packages=(
  cmake ninja-build g++ pkg-config
  nlohmann-json3-dev libcli11-dev
  # serve's web configuration file: TLS, bcrypt password checks, the YAML parser.
  libssl-dev libcrypt-dev libyaml-cpp-dev
  # the demo's README pipeline (json.tool)
  python3
)

# The test suite: GoogleTest, the real driver images (mingw-w64 for x86 and x64, the image
# checks), the peers the tests start (qemu makes a real firmware dump; Wine runs the real image,
# with the replacement HAL built by the posix-thread mingw-w64), and clang with its libFuzzer
# runtime for the fuzz targets.
test_packages=(
  libgtest-dev libgmock-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  python3 python3-pefile
  # kwotarv.lib (llvm-dlltool) and the program that proves it links with lld-link
  llvm lld
  qemu-system-x86 seabios
  clang-14 libclang-rt-14-dev
  # kwotarv serve's peers: HTTP client, Prometheus and promtool, Alertmanager for the alert
  # rules, node_exporter, a browser; Wine for the real image and kwotarv.exe; Google Benchmark
  # for the benchmarks.
  libcpp-httplib-dev prometheus prometheus-alertmanager prometheus-node-exporter chromium
  wine wine32:i386 wine64
  libbenchmark-dev
  # The TLS tests: their certificates, and curl as the HTTPS client.
  openssl curl
  # kwotarv.exe's web configuration file: bcrypt from libxcrypt's source (built for mingw-w64 with
  # our port headers, cmake/ports/bcrypt.cmake); dpkg-source unpacks yaml-cpp's source package.
  libxcrypt-source dpkg-dev
)
# Foreign architectures the test packages need (name:arch entries above).
test_architectures=(i386)

case "$job" in
  demo) packages=("${demo_packages[@]}") architectures=() ;;
  test) packages=("${demo_packages[@]}" "${test_packages[@]}")
        architectures=("${test_architectures[@]}") ;;
  *) echo "usage: $0 [demo|test]" >&2; exit 2 ;;
esac

# Debian has no mingw-w64 build of yaml-cpp: the cross build compiles Debian's own source package,
# fetched once into this folder (cmake/ports/yaml-cpp.cmake looks there, or at
# -DKWOTARV_YAML_CPP_SOURCE). apt needs deb-src entries for it: those of the machine's Debian
# sources, in a file of their own.
source_cache=/var/cache/kwotarv
source_entries=/etc/apt/sources.list.d/kwotarv-src.sources

# Root through sudo unless this is root: need_root WHAT-IS-MISSING WHAT-NEEDS-ROOT.
as_root=()
need_root() {
  [ "$(id -u)" -eq 0 ] || [ ${#as_root[@]} -gt 0 ] && return 0
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup: $1" >&2
    echo "setup: $2 needs root, and sudo is not installed. Either run this as root" >&2
    echo "       (su -c 'bash $0 $job'), or install sudo and add yourself to the sudo group." >&2
    exit 1
  fi
  as_root=(sudo)
}

install_packages() {
  local missing=() package arch
  for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  ((${#missing[@]})) || return 0
  need_root "these packages are missing: ${missing[*]}" "installing them"
  echo "Installing: ${missing[*]}"
  for arch in "${architectures[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${as_root[@]}" dpkg --add-architecture "$arch"
    fi
  done
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

fetch_sources() {
  compgen -G "$source_cache/yaml-cpp-*/CMakeLists.txt" >/dev/null && return 0
  need_root "yaml-cpp's source package is not in $source_cache" "fetching it"
  echo "Fetching yaml-cpp's source package into $source_cache"
  if ! apt-cache showsrc yaml-cpp 2>/dev/null | grep -q '^Package:'; then
    if [ ! -f /etc/apt/sources.list.d/debian.sources ]; then
      echo "setup: no /etc/apt/sources.list.d/debian.sources to take deb-src entries from;" >&2
      echo "       add deb-src entries for your Debian suite and run this again." >&2
      exit 1
    fi
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${as_root[@]}" tee "$source_entries" >/dev/null
    "${as_root[@]}" apt-get update -qq
  fi
  "${as_root[@]}" mkdir -p "$source_cache"
  local log
  log=$(mktemp)
  if ! (cd "$source_cache" && "${as_root[@]}" apt-get source -qq yaml-cpp) >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

install_packages
if [ "$job" = test ]; then
  fetch_sources
fi
