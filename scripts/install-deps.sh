#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  qtbase5-dev libqt5webkit5-dev qtdeclarative5-dev qtquickcontrols2-5-dev libqt5sql5-sqlite
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
  qml-module-qtquick-templates2 qml-module-qtquick-layouts
  libzip-dev libcjson-dev libssl-dev libsqlite3-dev sqlite3
  qtkeychain-qt5-dev  # remembered passwords, in the desktop's Secret Service
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  zip unzip xvfb xauth fonts-dejavu-core iproute2 util-linux procps
  systemd openssh-client openssh-server  # systemd-analyze; the tunnel tests run their own sshd
  dbus-daemon gnome-keyring libsecret-tools  # the keyring tests run their own bus and Secret Service
  desktop-file-utils appstream dpkg-dev file man-db gzip lintian fakeroot
  clang-14 libclang-rt-14-dev clang-format-14
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  SUDO=()
else
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
