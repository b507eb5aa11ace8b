#!/usr/bin/env bash
# Host programs in C99 and C++ built against an install tree, once with
# pkg-config and once with find_package, then run on a private PulseAudio
# loopback: each listens, dials a key, hears it, stops.
#
#   consumer_test.sh BUILD_DIR SOURCE_DIR            install BUILD_DIR to a stage
#   consumer_test.sh --system SOURCE_DIR             use what is installed (a package)
set -euo pipefail
build=$1
root=$2
work=$(mktemp -d)
pulse_dir=
cleanup() {
  [ -n "$pulse_dir" ] && "$root/scripts/pulse-private" stop "$pulse_dir"
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$build" = --system ]; then
  pc_path=${PKG_CONFIG_PATH:-}
  prefix_path=
else
  cmake --install "$build" --prefix "$work/stage" >/dev/null
  libdir=$(dirname "$(find "$work/stage" -name tonewatch.pc)")/..
  pc_path=$libdir/pkgconfig
  prefix_path=$work/stage
  export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
fi

mkdir "$work/pc"
flags=$(PKG_CONFIG_PATH=$pc_path pkg-config --cflags --libs tonewatch tonedial)
gcc -std=c99 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/consumer.c" $flags -o "$work/pc/consumer_c"
g++ -std=c++17 -Wall -Wextra -pedantic -Werror "$root/tests/consumer/consumer.cpp" $flags -o "$work/pc/consumer_cpp"

cmake -S "$root/tests/consumer" -B "$work/cmake" ${prefix_path:+-DCMAKE_PREFIX_PATH=$prefix_path} >/dev/null
cmake --build "$work/cmake" >/dev/null

eval "$("$root/scripts/pulse-private" start)"
pulse_dir=$TONEWATCH_PULSE_DIR
for program in pc/consumer_c pc/consumer_cpp cmake/consumer_c cmake/consumer_cpp; do
  echo "$program:"
  "$work/$program"
done
