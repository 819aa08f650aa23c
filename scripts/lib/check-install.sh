#!/usr/bin/env bash
# Checks the kit as an application gets it: installs a build into a temporary prefix, compiles every
# installed header on its own, looks for test hooks in them, links two small programs through
# pkg-config, builds examples/ through find_package, runs the store example offline and publishes a
# few seconds with the publish example to a private nginx, then checks the recording with ffprobe.
#   scripts/lib/check-install.sh [BUILD_DIR]     (default: build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
source "$root/scripts/lib/nginx-rtmp.sh"

work=$(mktemp -d)
cleanup() { nginx_rtmp_stop; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "-- installed headers compile on their own"
headers=$(cd "$prefix/include" && find . -name '*.h' | sed 's|^\./||' | sort)
[ -n "$headers" ] || fail "no headers installed"
compile_header() {
  echo "#include <$1>" | c++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$2/include" -x c++ - \
    || { echo "check-install: $1 does not compile on its own from the install" >&2; return 1; }
}
export -f compile_header
echo "$headers" | xargs -P "$(nproc)" -I{} bash -c 'compile_header "$1" "$2"' _ {} "$prefix" \
  || fail "some installed headers do not compile alone"

echo "-- no test hooks in the public API"
if hooks=$(grep -rnE 'ForTesting|[^A-Za-z_]impl\(\)' "$prefix/include"); then
  echo "$hooks" >&2
  fail "installed headers carry test hooks"
fi

echo "-- pkg-config consumers"
export PKG_CONFIG_PATH="$(find "$prefix" -type d -name pkgconfig | head -1)"
cat >"$work/kit.cpp" <<'CPP'
#include <cstdio>
#include <ZQLiveKit/ZQLiveKitVersion.h>
#include <ZQLiveKit/ZQLiveVideoConfiguration.h>
int main() {
    auto video = ZQLiveVideoConfiguration::defaultConfigurationForQuality(2, 1);
    std::printf("%s %.0fx%.0f\n", reinterpret_cast<const char*>(ZQLiveKitVersionString), video->videoSize().width,
                video->videoSize().height);
    return video->videoSize().width > 0 ? 0 : 1;
}
CPP
cat >"$work/store.cpp" <<'CPP'
#include <cstdio>
#include <ZQSLivePushStoreModule/ZQSLivePushStoreModule.h>
int main() {
    auto item = ZQSLivePushStoreFunc::getSingleItemMode({{"id", 7}, {"tag", "a,b"}});
    std::printf("%s %s\n", reinterpret_cast<const char*>(ZQSLivePushStoreModuleVersionString), item->id()->c_str());
    return item->tags()->size() == 2 ? 0 : 1;
}
CPP
for program in kit:zqlivekit store:zqslivepushstoremodule; do
  name=${program%%:*} module=${program#*:}
  libdir=$(pkg-config --variable=libdir "$module")
  # shellcheck disable=SC2046 # the flags are separate words
  c++ -std=c++20 "$work/$name.cpp" -o "$work/$name" $(pkg-config --cflags --libs "$module") -Wl,-rpath,"$libdir" \
    || fail "$name.cpp does not build with pkg-config $module"
  "$work/$name" >/dev/null || fail "$name (pkg-config $module) does not run"
done

echo "-- examples/ through find_package(ZQLiveKit)"
cmake -S "$root/examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null \
  || fail "examples/ does not configure against the install"
cmake --build "$work/examples" -j"$(nproc)" >/dev/null || fail "examples/ does not build against the install"

shelf=$("$work/examples/store_shelf") || fail "store_shelf failed"
[ "$(grep -c '"event":"product"' <<<"$shelf")" = 2 ] || fail "store_shelf printed: $shelf"

nginx_rtmp_start "$work/recordings"
out=$("$work/examples/publish_pushed_media" "rtmp://127.0.0.1:$NGINX_RTMP_PORT/live/example" 3) \
  || fail "publish_pushed_media failed: $out"
nginx_rtmp_stop
grep -q '"name":"ZQLiveStart"' <<<"$out" && grep -q '"name":"ZQLiveStop"' <<<"$out" \
  || fail "publish_pushed_media did not start and stop: $out"
streams=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/recordings/example.flv" | sort | tr '\n' ' ')
[ "$streams" = "aac h264 " ] || fail "the recording holds '$streams', not H.264 and AAC"
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/recordings/example.flv")
awk -v d="$duration" 'BEGIN { exit !(d >= 2.0) }' || fail "the recording lasts ${duration} s, not about 3 s"
echo "-- install checks passed (recording: ${duration} s of H.264 and AAC)"
