#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (when any is missing), then
# configures and builds everything into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core
  firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-utils firebird3.0-server
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql postgresql sqlite3
  icewm x11-utils
  qt6-translations-l10n
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  # The Firebird server's SYSDBA password: the location frame's preset, so that the wizard's
  # defaults reach a local server.
  echo "firebird3.0-server shared/firebird/sysdba_password/first_install password quillcart" |
    $sudo debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"
