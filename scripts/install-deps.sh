#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again:
# it asks apt only for what is missing. Works as root or through sudo.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev
  libsimdjson-dev
  libboost-regex-dev
  libopencc-dev
  libsqlite3-dev
  libxlsxwriter-dev zlib1g-dev
  libcpp-httplib-dev
  curl
  time
  qt6-base-dev qt6-webengine-dev libqt6webenginecore6-bin libgl-dev
  qt6-translations-l10n
  xvfb xauth fonts-noto-cjk
  python3-xlrd python3-openpyxl
  clang libclang-rt-14-dev
  clang-format clang-tidy
  file dpkg-dev lintian desktop-file-utils appstream man-db bash-completion
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The chart library comes through npm. A Node.js from elsewhere brings its own
# npm, which Debian's package would clash with: ask for it only when there is none.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
