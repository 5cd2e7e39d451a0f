#!/bin/sh
# Builds every configuration and runs every test: the host tests (plain and
# under AddressSanitizer/UndefinedBehaviorSanitizer), a bounded run of the
# engine's fuzz target, the 64-bit build's Windows tests under wine64, then the
# 32-bit product's in a QEMU guest with a real 32-bit Wine (its image is built
# on first use and cached outside the build tree), then builds the release files
# (scripts/package.sh) and checks them. Prints how long each stage took.
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)
stage_started=$started
stage_done() {
    now=$(date +%s)
    echo "test: $1 took $((now - stage_started)) s"
    stage_started=$now
}

scripts/install-deps.sh --guest --package --browser
stage_done "installing missing packages"

for preset in native fuzz win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
stage_done "building the four presets"

for preset in native fuzz win64 win32; do
    ctest --preset "$preset"
    stage_done "the $preset tests"
done

# The release files, built and checked as an administrator would receive them.
scripts/package.sh
release=dist
if [ -d dist/TEST-SIGNED-NOT-FOR-RELEASE ]; then
    release=dist/TEST-SIGNED-NOT-FOR-RELEASE
fi
tests/packaging/check_release.sh "$release"
python3 tests/packaging/check_registration_rows.py "$release/x64/ieTalvenor.DLL" \
    "$release"/ieTalvenor-x64*.msi
tests/packaging/check_msi_under_wine.sh "$release"
tests/packaging/check_msi_in_guest.sh "$release"
stage_done "the release files"
echo "test: all tests passed in $(($(date +%s) - started)) s"
