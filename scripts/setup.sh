#!/usr/bin/env bash
# Installs the Debian packages the build needs (only those missing), then
# configures and builds the project into build/ (or $COMMON_DTO_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${COMMON_DTO_BUILD_DIR:-$root/build}

packages=(
  build-essential cmake ninja-build pkg-config ccache file
  protobuf-compiler libprotobuf-dev
  googletest libgtest-dev libbenchmark-dev
  liblz4-dev libcli11-dev libfmt-dev libbz2-dev zlib1g-dev
  pybind11-dev python3-dev
  abigail-tools
  python3 python3-protobuf python3-numpy python3-lz4 python3-xarray python3-matplotlib
  python3-pytest python3-venv
  default-jdk-headless libprotobuf-java
  libhdf5-dev libnetcdf-dev python3-h5py python3-netcdf4
  libnats-dev nats-server
  libgdal-dev libproj-dev python3-gdal python3-rasterio python3-pyproj
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
