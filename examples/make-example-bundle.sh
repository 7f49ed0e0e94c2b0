#!/bin/sh
# Assembles an example installer from a build directory:
#
#   <out-dir>/Example Installer.app/Contents/MacOS/launcher            (and launcher-window.so, if built)
#   <out-dir>/Example Installer.app/Contents/Resources/InstallAgent.zip (from examples/agent)
#   <out-dir>/Example Installer.app/Contents/Resources/bundle.zip       (from examples/payload)
#   <out-dir>/Example Installer.app/Contents/Resources/splash.png       (the download window's picture)
#
# With --no-agent the bundle ships no install agent, so the launcher has to
# download it; the agent's archive is left at <out-dir>/InstallAgent.zip for
# a server to offer.
set -eu

usage() {
    echo "usage: $0 [--no-agent] <build-dir> <out-dir>" >&2
    exit 2
}

with_agent=yes
count=0
build_dir=
out_dir=
for argument in "$@"; do
    case $argument in
        --no-agent) with_agent=no ;;
        --help | -h) usage ;;
        *)
            count=$((count + 1))
            case $count in
                1) build_dir=$argument ;;
                2) out_dir=$argument ;;
                *) usage ;;
            esac
            ;;
    esac
done
[ "$count" -eq 2 ] || usage

examples=$(cd "$(dirname "$0")" && pwd)
if [ ! -f "$build_dir/launcher" ]; then
    echo "$0: no launcher in $build_dir (build it first)" >&2
    exit 1
fi

mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
app="$out_dir/Example Installer.app"
macos="$app/Contents/MacOS"
resources="$app/Contents/Resources"

# Start from nothing, so no file of an earlier run is left behind.
rm -rf "$app"
mkdir -p "$macos" "$resources"

cp "$build_dir/launcher" "$macos/launcher"
chmod 755 "$macos/launcher"
if [ -f "$build_dir/launcher-window.so" ]; then
    cp "$build_dir/launcher-window.so" "$macos/launcher-window.so"
fi

if [ "$with_agent" = yes ]; then
    agent_zip="$resources/InstallAgent.zip"
else
    agent_zip="$out_dir/InstallAgent.zip"
fi
# zip adds to an existing archive; replace it instead.
rm -f "$agent_zip"
(cd "$examples/agent" && zip -q -X "$agent_zip" install)

(cd "$examples/payload" && zip -q -X -r "$resources/bundle.zip" .)
cp "$examples/splash.png" "$resources/splash.png"

echo "Made $app"
if [ "$with_agent" = no ]; then
    echo "Install agent for the download: $agent_zip"
fi
