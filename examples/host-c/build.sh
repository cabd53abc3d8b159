#!/usr/bin/env bash
# Builds the C host against an installed prefix, through pkg-config only.
# Usage: examples/host-c/build.sh PREFIX OUT
set -euo pipefail
prefix=$1 out=$2
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cc -std=c11 -Wall -Wextra -Werror "$(dirname "$0")/host.c" $(pkg-config --cflags --libs korvel-engine) \
  -pthread -Wl,-rpath,"$prefix/lib" -o "$out"
