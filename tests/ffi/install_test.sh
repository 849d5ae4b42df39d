#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the example host against it twice, as a
# host application would: with the shared library through pkg-config, and with the static
# archive plus pkg-config's private libraries. Both must run and read the same configuration.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [EXTRA_C_FLAGS]
set -euo pipefail
build_dir="$1"
source_dir="$2"
cc="$3"
read -r -a extra <<<"${4:-}"

prefix="$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name quorvel-agent.pc -path '*/pkgconfig/*' | head -n 1)")/.."
export PKG_CONFIG_PATH="$libdir/pkgconfig"
test -f "$prefix/include/quorvel/agent.h"

# shellcheck disable=SC2046
"$cc" -std=c11 "${extra[@]}" "$source_dir/examples/quorvel_host.c" -o "$prefix/host_shared" \
    $(pkg-config --cflags --libs quorvel-agent) -pthread
private_libs="$(pkg-config --static --libs quorvel-agent | sed 's/-lquorvel_agent\b//')"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 "${extra[@]}" "$source_dir/examples/quorvel_host.c" -o "$prefix/host_static" \
    $(pkg-config --cflags quorvel-agent) "$libdir/libquorvel_agent.a" $private_libs

export QUORVEL_MIN_POW_DIFFICULTY=4
shared_pk="$(LD_LIBRARY_PATH="$libdir" "$prefix/host_shared" --public-key "$prefix/node.toml" 2>/dev/null)"
static_pk="$("$prefix/host_static" --public-key "$prefix/node.toml" 2>/dev/null)"
[[ "$shared_pk" =~ ^[0-9a-f]{64}$ ]] || { echo "shared host printed '$shared_pk'"; exit 1; }
[ "$shared_pk" = "$static_pk" ] || { echo "static host printed '$static_pk'"; exit 1; }
# The static host carries the agent inside: it needs no libquorvel_agent.so.
if ldd "$prefix/host_static" | grep -q libquorvel_agent; then
    echo "the static host links the shared library"
    exit 1
fi
echo "installed and linked both ways: $shared_pk"
