#!/bin/sh
# The whole test suite: set-up, format check, a -Werror build with every test, the same under
# address and undefined-behaviour sanitizers, the Debian package, and a short run of each fuzz
# target.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/setup.sh

echo "== clang-format"
git ls-files '*.h' '*.cc' | xargs clang-format --dry-run -Werror

echo "== build and test (g++, -Werror)"
scripts/build.sh build -DVRK_WERROR=ON
ctest --test-dir build --output-on-failure -j2

echo "== build and test (address + undefined sanitizers)"
scripts/build.sh build-asan -DVRK_WERROR=ON -DVRK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2

echo "== Debian package: build, lintian, systemd-analyze, started from its files"
scripts/package.sh build-deb
(cd tests && VRK_DEB=$(ls "$top"/build-deb/vrk-sched_*.deb) /usr/bin/python3 -m unittest -v package_test)

echo "== fuzz smoke run (clang, libFuzzer)"
scripts/fuzz.sh 5
echo "== all tests passed"
