#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages, as a distribution builds them, from a copy of the
# tracked files in build-debian/:
#   1. dpkg-buildpackage -us -uc: the source package and keltools,
#      keltools-dev and keltools-standin, with the build-time tests;
#   2. the packages' metadata, files and binaries (tests/install_test.sh)
#      and lintian -I --pedantic on the .changes, which must say nothing;
#   3. a second build of the same source in another folder, later, under
#      another umask, time zone and locale (without the build-time tests,
#      which change nothing that is packaged), whose .deb files must be
#      byte for byte the same;
#   4. autopkgtest with the null runner, which installs the packages on
#      this machine: run only where that is possible (as root, with apt),
#      and otherwise said to be skipped, with the reason.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-debian
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
project=$(sed -n 's/^project(keltools VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ "$version" != "$project" ]; then
    echo "debian/changelog is at $version, the project at $project"
    exit 1
fi

# build FOLDER LOG [ENV...]: a copy of the tracked files in
# FOLDER/keltools-VERSION, built there with dpkg-buildpackage.
build() {
    local folder=$1 log=$2
    shift 2
    rm -rf "$folder"
    mkdir -p "$folder/keltools-$version"
    git ls-files -z | tar -c --null -T - | tar -x -C "$folder/keltools-$version"
    if ! (cd "$folder/keltools-$version" &&
        env "$@" dpkg-buildpackage -us -uc -j"$(nproc)") >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "dpkg-buildpackage failed in $folder; the whole log is $log"
        return 1
    fi
}

rm -rf "$out"
mkdir -p "$out"
echo "building the source and binary packages of keltools $version"
build "$out/first" "$out/first.log" || exit 1
changes=$(ls "$out"/first/keltools_"$version"_*.changes)
ls "$out"/first/*.deb "$out"/first/*.dsc | sed "s|^$out/||"

status=0
bash tests/install_test.sh packages "$out/first" || status=1

tags=$(lintian -I --pedantic "$changes" 2>&1 | grep -v '^running with root privileges')
if [ -n "$tags" ]; then
    echo "lintian:"
    echo "$tags"
    status=1
else
    echo "lintian -I --pedantic: nothing to say on the .changes"
fi

# Another folder, umask, time zone and locale, and a later time.
echo "building again, to compare"
build "$out/second/deeper" "$out/second.log" DEB_BUILD_OPTIONS=nocheck TZ=Pacific/Kiritimati \
    LC_ALL=C.UTF-8 LANG=C.UTF-8 bash -c 'umask 0002 && exec "$@"' sh || exit 1
same=1
for deb in "$out"/first/*.deb; do
    again=$out/second/deeper/$(basename "$deb")
    if ! cmp -s "$deb" "$again"; then
        echo "not reproducible: $(basename "$deb") differs between the two builds"
        same=0
        status=1
    fi
done
[ $same -eq 0 ] || echo "reproducible: both builds gave the same .deb files"
(cd "$out/first" && sha256sum ./*.deb)

# tests_passed LOG: every test of debian/tests/control passed, by the
# summary at the end of autopkgtest's log.
tests_passed() {
    local name
    for name in $(sed -n 's/.*test-name=\([a-z-]*\).*/\1/p' debian/tests/control); do
        grep -q "^$name  *PASS" "$1" && ! grep -q "^$name  *FAIL" "$1" || return 1
    done
}

packages=(keltools keltools-dev keltools-standin)
if [ "$(id -u)" -ne 0 ]; then
    echo "autopkgtest: skipped: it installs the packages, which needs root"
elif ! command -v autopkgtest >/dev/null; then
    echo "autopkgtest: skipped: it is not installed (scripts/setup.sh test installs it)"
else
    # The packages that this machine did not have before are removed again.
    before=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && before+=("$p")
    done
    autopkgtest "$changes" -- null >"$out/autopkgtest.log" 2>&1
    result=$?
    if [ $result -eq 0 ]; then
        grep -E '^[a-z-]+ +PASS' "$out/autopkgtest.log" | sort -u
    elif tests_passed "$out/autopkgtest.log" && grep -q 'error cleaning up' "$out/autopkgtest.log"; then
        # Its clean-up updates apt's indices; a mirror in the middle of a
        # sync fails that, after every test has passed.
        grep -E '^[a-z-]+ +PASS' "$out/autopkgtest.log" | sort -u
        echo "autopkgtest: every test passed; its clean-up could not update apt's indices (see $out/autopkgtest.log)"
    else
        tail -n 40 "$out/autopkgtest.log"
        echo "autopkgtest failed (status $result); the whole log is $out/autopkgtest.log"
        status=1
    fi
    remove=()
    for p in "${packages[@]}"; do
        [[ " ${before[*]} " == *" $p "* ]] || remove+=("$p")
    done
    dpkg --purge "${remove[@]}" >/dev/null 2>&1 || true
fi
exit $status
