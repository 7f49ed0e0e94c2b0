#!/bin/sh
# Assembles an example installer with the bundle tool of a build directory:
#
#   <out-dir>/Example Installer.app/launcher.desktop                   (starts it from a file manager)
#   <out-dir>/Example Installer.app/Contents/MacOS/launcher            (and launcher-window.so, if built)
#   <out-dir>/Example Installer.app/Contents/Resources/InstallAgent.zip (zipped from examples/agent)
#   <out-dir>/Example Installer.app/Contents/Resources/bundle.zip       (zipped from examples/payload)
#   <out-dir>/Example Installer.app/Contents/Resources/splash.png       (the download window's picture)
#
# With --no-agent the bundle ships no install agent, so the launcher has to
# download it; the agent's archive is left at <out-dir>/InstallAgent.zip for
# a server to offer.
#
# With --sign a throwaway minisign key pair is made: its public key goes into
# the bundle (Resources/InstallAgent.pub, so the launcher requires signed
# downloads), and the archive left for the server is signed beside it as
# <out-dir>/InstallAgent.zip.minisig. The secret key is thrown away.
set -eu

usage() {
    echo "usage: $0 [--no-agent] [--sign] <build-dir> <out-dir>" >&2
    exit 2
}

with_agent=yes
sign=no
count=0
build_dir=
out_dir=
for argument in "$@"; do
    case $argument in
        --no-agent) with_agent=no ;;
        --sign) sign=yes ;;
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
tool="$build_dir/launcher-bundle"
if [ ! -x "$tool" ]; then
    echo "$0: no launcher-bundle in $build_dir (build it first)" >&2
    exit 1
fi

mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$examples/payload" && zip -q -X -r "$work/bundle.zip" .)
set -- --replace --payload "$work/bundle.zip" --splash "$examples/splash.png"

if [ "$with_agent" = yes ]; then
    set -- "$@" --agent "$examples/agent"
else
    # zip adds to an existing archive; replace it instead.
    rm -f "$out_dir/InstallAgent.zip" "$out_dir/InstallAgent.zip.minisig"
    (cd "$examples/agent" && zip -q -X "$out_dir/InstallAgent.zip" install)
fi

if [ "$sign" = yes ]; then
    minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
    set -- "$@" --public-key "$work/key.pub"
    if [ "$with_agent" = no ]; then
        minisign -S -q -s "$work/key.sec" -m "$out_dir/InstallAgent.zip" -x "$out_dir/InstallAgent.zip.minisig" \
            -t "example install agent"
    fi
fi

"$tool" "$@" "$out_dir/Example Installer.app"
if [ "$with_agent" = no ]; then
    echo "Install agent for the download: $out_dir/InstallAgent.zip"
    [ "$sign" = no ] || echo "Its signature: $out_dir/InstallAgent.zip.minisig"
fi
