#!/usr/bin/env bash
# Host programs in C99 and C++ built against an install tree, once with
# pkg-config and once with find_package (and, from a build tree, once more
# with the source tree as a subproject). Those of libtonescan find a key plan
# in audio of their own; the others run on a private PulseAudio (or PipeWire)
# loopback: each listens, dials a key, hears it, stops.
#
#   consumer_test.sh BUILD_DIR SOURCE_DIR            install BUILD_DIR to a stage
#   consumer_test.sh --system SOURCE_DIR             use what is installed (a package)
set -euo pipefail
build=$1
root=$2
work=$(mktemp -d)
pulse_dir=
# PulseAudio where it is installed, PipeWire where pipewire-alsa keeps it out.
server=pulse-private
command -v pulseaudio >/dev/null || server=pipewire-private
cleanup() {
  [ -n "$pulse_dir" ] && "$root/scripts/$server" stop "$pulse_dir"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "consumer_test: $*" >&2
  exit 1
}

if [ "$build" = --system ]; then
  pc_path=${PKG_CONFIG_PATH:-}
  prefix_path=
  lib_path=${LD_LIBRARY_PATH:-}
else
  cmake --install "$build" --prefix "$work/stage" >/dev/null
  libdir=$(dirname "$(find "$work/stage" -name tonewatch.pc)")/..
  pc_path=$libdir/pkgconfig
  prefix_path=$work/stage
  # Only the programs linked with pkg-config's flags lack a run path.
  lib_path=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi

# The flags name the real header folder, not a path through the library folder.
for library in tonewatch tonedial tonescan; do
  includedir=$(PKG_CONFIG_PATH=$pc_path pkg-config --variable=includedir "$library")
  [ "$(realpath -m "$includedir")" = "$includedir" ] || fail "$library.pc: includedir $includedir is not canonical"
  [ -f "$includedir/$library.h" ] || fail "$library.pc: no $library.h in $includedir"
done

mkdir "$work/pc"
flags=$(PKG_CONFIG_PATH=$pc_path pkg-config --cflags --libs tonewatch tonedial)
gcc -std=c99 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/consumer.c" $flags -o "$work/pc/consumer_c"
g++ -std=c++17 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/consumer.cpp" $flags -o "$work/pc/consumer_cpp"
# libtonescan's own dependencies stay behind it: a host links it alone.
libs=$(PKG_CONFIG_PATH=$pc_path pkg-config --libs-only-l tonescan | xargs)
[ "$libs" = -ltonescan ] || fail "tonescan.pc gives more than libtonescan to link: $libs"
flags=$(PKG_CONFIG_PATH=$pc_path pkg-config --cflags --libs tonescan)
gcc -std=c99 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/tonescan_consumer.c" $flags -lm \
  -o "$work/pc/tonescan_consumer_c"
g++ -std=c++17 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/tonescan_consumer.cpp" $flags \
  -o "$work/pc/tonescan_consumer_cpp"
needed=$(readelf -d "$work/pc/tonescan_consumer_c" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[[ $needed = *libtonescan.so.0* && $needed != *sndfile* ]] || fail "a libtonescan host needs: $needed"

cmake -S "$root/tests/consumer" -B "$work/cmake" ${prefix_path:+-DCMAKE_PREFIX_PATH=$prefix_path} >/dev/null
cmake --build "$work/cmake" >/dev/null
programs=(pc/consumer_c pc/consumer_cpp cmake/consumer_c cmake/consumer_cpp)
scanners=(pc/tonescan_consumer_c pc/tonescan_consumer_cpp cmake/tonescan_consumer_c cmake/tonescan_consumer_cpp)

# A component the package does not have fails find_package and says why.
if cmake -S "$root/tests/consumer" -B "$work/unknown" ${prefix_path:+-DCMAKE_PREFIX_PATH=$prefix_path} \
         "-DCONSUMER_COMPONENTS=tonewatch;tonebell" >"$work/unknown.log" 2>&1; then
  fail "find_package(Tonewatch COMPONENTS tonebell) succeeded"
fi
grep -q "no component 'tonebell'" "$work/unknown.log" || { cat "$work/unknown.log" >&2; fail "no reason given for tonebell"; }

if [ "$build" != --system ]; then
  cmake -S "$root/tests/consumer" -B "$work/subproject" -DCONSUMER_TONEWATCH_SOURCE="$root" >/dev/null
  cmake --build "$work/subproject" -j"$(nproc)" >/dev/null
  programs+=(subproject/consumer_c subproject/consumer_cpp)
  scanners+=(subproject/tonescan_consumer_c subproject/tonescan_consumer_cpp)
fi

run() {
  echo "$1:"
  if [[ $1 = pc/* ]]; then
    TMPDIR=$work LD_LIBRARY_PATH=$lib_path "$work/$1"
  else
    TMPDIR=$work "$work/$1"
  fi
}
for program in "${scanners[@]}"; do
  run "$program"
done

eval "$("$root/scripts/$server" start)"
pulse_dir=$TONEWATCH_PULSE_DIR
for program in "${programs[@]}"; do
  run "$program"
done
