#!/usr/bin/env bash
# Sets up, builds, assembles the example bundle with the bundle tool and runs
# the launcher on it: first with its shipped install agent, then with the
# agent downloaded from a loopback server (twice: a fresh download, then the
# cached agent by ETag), and last with a signed download.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

out=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT

echo "== The example bundle with its shipped install agent"
examples/make-example-bundle.sh build "$out/shipped"
"$out/shipped/Example Installer.app/Contents/MacOS/launcher" "first argument" 'second $argument'

echo
echo "== The same bundle without an agent: downloaded from a loopback server"
examples/make-example-bundle.sh build "$out/download" --no-agent
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
coproc SERVER { exec python3 tests/support/http_test_server.py; }
server_pid=$SERVER_PID
read -r _ port <&"${SERVER[0]}"
url="http://127.0.0.1:$port/agent.zip?file=$out/download/InstallAgent.zip&etag=%22demo-1%22"
export HOME="$out/home" ZX_INTERNAL_INSTALL_AGENT_URL="$url"
launcher="$out/download/Example Installer.app/Contents/MacOS/launcher"
echo
echo "-- What the bundle tool says a run will do:"
build/launcher-bundle --check "$out/download/Example Installer.app"
echo
"$launcher" --from-download
echo
echo "== Again: the server's ETag matches the cache, so the cached agent runs"
"$launcher" --from-cache

echo
echo "== A bundle that requires signed downloads: the agent is served with its signature"
export HOME="$out/signed-home"
export ZX_INTERNAL_INSTALL_AGENT_URL="http://127.0.0.1:$port/agent.zip?file=$out/signed/InstallAgent.zip&etag=%22demo-signed%22"
examples/make-example-bundle.sh build "$out/signed" --no-agent --sign
"$out/signed/Example Installer.app/Contents/MacOS/launcher" --from-signed-download
