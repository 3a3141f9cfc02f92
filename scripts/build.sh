#!/bin/sh
# Configures and builds one tree: scripts/build.sh <dir> [cmake options...]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
ninja -C "$dir" -j2
