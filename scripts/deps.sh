#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and only
# those that are missing. Runs apt-get directly as root, through sudo otherwise.
#   deps.sh            what `make test` and the other targets need
#   deps.sh --lintian  the same and lintian, for `make lintian` only
#   deps.sh fuzz       the same and what only `make fuzz` needs, so the ordinary
#                      build and CI's test step do not wait for a second compiler
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev          # Qt 6 Core, Gui, Widgets, Test and moc
  qt6-charts-dev        # the trend chart
  libqt6opengl6-dev     # ... whose CMake package asks for Qt6OpenGL, which qt6-charts-dev does not pull in
  libqt6sql6-sqlite     # the station's records, one file per station
  libqt6sql6-psql       # ... or on a PostgreSQL server shared by a line
  postgresql            # a throwaway server for the records tests
  qt6-l10n-tools        # lupdate and lrelease: the English catalogue
  qt6-translations-l10n # Qt's own dialog texts in both languages
  fonts-wqy-microhei    # renders the Chinese texts
  util-linux            # flock(1), used by the exclusive-open test
  xvfb xauth            # make screenshot: a display without a desktop
  mbpoll                # third-party Modbus master, talks to the simulated module in a test
  stm32flash            # third-party bootloader host, a black-box peer in the tests
  dpkg-dev              # make package: dpkg-shlibdeps finds the package's library dependencies
  desktop-file-utils    # the package test validates the menu entry
  appstream             # ... and the AppStream metadata
  man-db                # ... and reads the manual pages as man does
  strace                # shows that a record goes to the log in one write, then fsync
)
if [ "${1:-}" = --lintian ]; then
  packages+=(lintian)
fi
if [ "${1:-}" = fuzz ]; then
  packages+=(
    clang-14              # libFuzzer targets are built with clang
    libclang-rt-14-dev    # libFuzzer and the sanitizer runtimes for clang
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null; then
  SUDO=(sudo)
else
  echo "deps: missing packages and neither root nor sudo: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
