#!/usr/bin/env bash
# Installs the Debian packages that the build, the demo and the tests need,
# where they are missing.  Safe to run again: it installs nothing twice.
set -euo pipefail

packages=(
    cmake make g++ binutils                # build and the ELF checks
    libgtest-dev libgmock-dev              # unit and end-to-end tests
    clang libclang-rt-dev                  # sanitizer build and libFuzzer
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
