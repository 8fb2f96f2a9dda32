#!/usr/bin/env bash
# Packs the miner as a HiveOS custom miner: OUT_DIR/plominer-VERSION.tar.gz holding plominer/
# with contrib/hiveos/'s scripts and manifest (its CUSTOM_VERSION set to the binary's version),
# the plominer binary of BUILD_DIR (debug information stripped) and the shared libraries it
# needs that a rig does not have: those built in BUILD_DIR and the CUDA runtime (libcudart) of
# a CUDA build. System libraries (C and C++ runtimes, OpenSSL, Boost, the driver's libcuda and
# libnvidia-ml) are never packed.
# Usage: scripts/package-hiveos.sh BUILD_DIR OUT_DIR   (prints the path of the archive)
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) || { echo "package-hiveos: no build directory $1" >&2; exit 2; }
mkdir -p "$2"
out=$(cd "$2" && pwd)
binary=$build/app/plominer
[ -x "$binary" ] || { echo "package-hiveos: no plominer in $build/app (build it first)" >&2; exit 1; }

version=$("$binary" --version | sed -n 's/.* v\([0-9A-Za-z.+~-]*\)$/\1/p' | head -n 1)
if [ -z "$version" ]; then
  echo "package-hiveos: $binary --version printed no version" >&2
  exit 1
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
dest=$stage/plominer
mkdir "$dest"
for f in h-manifest.conf h-config.sh h-run.sh h-stats.sh; do
  cp "$root/contrib/hiveos/$f" "$dest/$f"
done
sed -i "s/^CUSTOM_VERSION=.*/CUSTOM_VERSION=$version/" "$dest/h-manifest.conf"
chmod 755 "$dest"/h-config.sh "$dest"/h-run.sh "$dest"/h-stats.sh
chmod 644 "$dest/h-manifest.conf"
strip --strip-debug -o "$dest/plominer" "$binary"

# bundled FILE: the libraries FILE needs that go into the package, one path a line.
bundled() {
  ldd "$1" | sed -n 's/^[[:space:]]*\([^[:space:]]*\) => \(\/[^[:space:]]*\).*/\1 \2/p' |
    while read -r name path; do
      real=$(readlink -f "$path")
      case "$real" in
        "$build"/*) echo "$path" ;;
        *) [[ "$name" == libcudart.so* ]] && echo "$path" ;;
      esac
    done
}
# The libraries of the libraries too (libplogpu needs the CUDA runtime).
queue=("$binary")
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r lib; do
    [ -n "$lib" ] || continue
    name=$(basename "$lib")
    [ -e "$dest/$name" ] && continue
    cp -L "$lib" "$dest/$name"
    chmod 644 "$dest/$name"
    queue+=("$lib")
  done < <(bundled "$file")
done

archive=$out/plominer-$version.tar.gz
tar -czf "$archive" -C "$stage" --owner=0 --group=0 plominer
echo "$archive"
